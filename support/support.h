// The CSP's configuration reader on Windows: values kept under
// HKEY_LOCAL_MACHINE, addressed by paths such as
// L"\\config\\Parameters\\StrengthenedKeyUsageControl".
#ifndef QUILL_SUPPORT_H
#define QUILL_SUPPORT_H

#include <windows.h>

// Reads the 32-bit value at `path` (a key path and a value name separated by
// the last backslash). Returns 0 and stores the value; otherwise 87 (bad
// path), 2 (key or value not found), 0x80090010 (access denied), 0x8009000E
// (out of memory), 0x8009001D (any other registry or system error) or 1006
// (the value is not a 32-bit number), and leaves *value untouched.
DWORD support_registry_get_long(const wchar_t* path, LONG* value);

#endif
