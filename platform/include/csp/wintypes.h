/*
 * Win32-compatible base types, calling-convention macros and error codes for
 * the Linux CSP libraries. Widths follow the Win32 ABI: DWORD, LONG and BOOL
 * are 32 bits on every target; handles and ULONG_PTR are pointer-sized. WCHAR
 * is the platform's wchar_t (32 bits on Linux).
 */
#ifndef CSP_WINTYPES_H
#define CSP_WINTYPES_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define IN
#define OUT
#define OPTIONAL
#define CONST const

#if defined(__GNUC__)
#define CSPAPI __attribute__((visibility("default")))
#else
#define CSPAPI
#endif

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef size_t SIZE_T;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef void* HMODULE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* PWSTR;
typedef LONG HRESULT;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Code pages understood by the conversion functions. */
#define CP_ACP 0
#define CP_UTF8 65001

/* Win32 error codes used by the CSP libraries. */
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_BUSY 170L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_UNHANDLED_EXCEPTION 574L
#define ERROR_FILE_INVALID 1006L
#define ERROR_NO_TOKEN 1008L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_INVALID_PASSWORD 86L

#ifdef __cplusplus
}
#endif

#endif
