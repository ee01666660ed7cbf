// The platform interfaces the bridge calls: on Windows the system's CryptoAPI
// and SSPI headers, elsewhere the CSP's own Win32-compatible headers.
#ifndef QUILL_CAPI_H
#define QUILL_CAPI_H

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
#include <sspi.h>
#include <schannel.h>
#else
#include "csp/cfgsup.h"
#include "csp/sspi.h"
#include "csp/wincrypt.h"
#endif

#ifndef NTE_FAIL
#define NTE_FAIL ((LONG)0x80090020L)
#endif

#endif
