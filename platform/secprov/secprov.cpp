// libsecprov: the TLS security package behind the SSPI function table.
#include "csp/sspi.h"

namespace {

SecurityFunctionTableA make_table() {
  SecurityFunctionTableA t{};
  t.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION;
  return t;
}

const SecurityFunctionTableA g_table = make_table();

}  // namespace

extern "C" CSPAPI PSecurityFunctionTableA WINAPI InitSecurityInterfaceA(void) {
  return const_cast<PSecurityFunctionTableA>(&g_table);
}
