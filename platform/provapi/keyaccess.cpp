// A context's key pair handed to the CSP's TLS package as an OpenSSL key.
#include "csp/provkey.h"

#include "apiutil.h"
#include "cryptobj.h"
#include "provider.h"

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI EVP_PKEY* csp_private_key(HCRYPTPROV hProv, DWORD dwKeySpec) {
  EVP_PKEY* result = nullptr;
  BOOL ok = guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    std::shared_ptr<Key> k;
    if (LONG rc = load_user_key(p, dwKeySpec, k)) return fail(rc);
    std::lock_guard<std::mutex> lock(k->mu);
    if (LONG rc = need_private(*k)) return fail(rc);
    if (!k->pkey || EVP_PKEY_up_ref(k->pkey.get()) != 1) return fail(NTE_FAIL);
    result = k->pkey.get();
    return TRUE;
  });
  return ok ? result : nullptr;
}
