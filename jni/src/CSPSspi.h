// The security-interface loader, called from JNI_OnLoad and JNI_OnUnload.
#ifndef QUILL_CSPSSPI_H
#define QUILL_CSPSSPI_H

#include "capi.h"

namespace quill {

bool LoadSecurityLibrary();
void UnloadSecurityLibrary();
// The SSPI function table, or null when no security library was loaded.
PSecurityFunctionTableA SecurityTable();

}  // namespace quill

#endif
