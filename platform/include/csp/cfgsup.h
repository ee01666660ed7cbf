/*
 * libcfgsup: the support library every CSP library links against. It keeps the
 * per-thread last error, converts text between code pages and wide strings,
 * and reads the CSP's configuration values.
 */
#ifndef CSP_CFGSUP_H
#define CSP_CFGSUP_H

#include "wintypes.h"

#ifdef __cplusplus
extern "C" {
#endif

CSPAPI DWORD WINAPI GetLastError(void);
CSPAPI void WINAPI SetLastError(DWORD dwErrCode);

/* Code page 0 (CP_ACP) is the character set of the process locale (LC_CTYPE);
 * under the C or POSIX locale it is UTF-8. Malformed input is refused with
 * ERROR_NO_UNICODE_TRANSLATION; characters the target lacks become '?'. */
CSPAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                      int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
CSPAPI int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                      int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                      LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

/* Reads the numeric configuration value at `path` (a key path and a value
 * name separated by the last backslash, for example
 * "\\config\\Parameters\\StrengthenedKeyUsageControl"). Returns 0 and stores
 * the value, 2 when the key or value does not exist, 87 for a malformed path,
 * 1006 when the value is not a number that fits in a long. *value is written
 * on success only. */
CSPAPI DWORD support_registry_get_long(const char* path, long* value);

#ifdef __cplusplus
}
#endif

#endif
