// A context's key pairs handed to the CSP's own libraries as OpenSSL keys.
#include "csp/provkey.h"

#include "apiutil.h"
#include "cryptobj.h"
#include "gost.h"
#include "provider.h"

using namespace csp;
using namespace csp::prov;

namespace {

// A new reference to `k`'s key, or null.
EVP_PKEY* new_ref(const PkeyPtr& k) {
  return k && EVP_PKEY_up_ref(k.get()) == 1 ? k.get() : nullptr;
}

}  // namespace

namespace {

// A new reference to the pair `spec` of a context, the private half unlocked
// first when asked for.
EVP_PKEY* user_key(HCRYPTPROV hProv, DWORD spec, bool with_private) {
  EVP_PKEY* result = nullptr;
  BOOL ok = guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    std::shared_ptr<Key> k;
    if (LONG rc = load_user_key(p, spec, k)) return fail(rc);
    std::lock_guard<std::mutex> lock(k->mu);
    if (with_private) {
      if (LONG rc = need_private(*k)) return fail(rc);
    }
    result = new_ref(k->pkey);
    return result ? TRUE : fail(NTE_FAIL);
  });
  return ok ? result : nullptr;
}

}  // namespace

extern "C" CSPAPI EVP_PKEY* csp_private_key(HCRYPTPROV hProv, DWORD dwKeySpec) {
  CSP_ENTRY;
  return user_key(hProv, dwKeySpec, true);
}

extern "C" CSPAPI EVP_PKEY* csp_public_key(HCRYPTPROV hProv, DWORD dwKeySpec) {
  CSP_ENTRY;
  return user_key(hProv, dwKeySpec, false);
}

extern "C" CSPAPI BOOL csp_gost_load(void) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL { return gost::available() ? TRUE : fail(NTE_PROV_DLL_NOT_FOUND); });
}

extern "C" CSPAPI DWORD csp_key_provider_type(EVP_PKEY* pkey) {
  CSP_ENTRY;
  if (!pkey) return 0;
  if (EVP_PKEY_get_base_id(pkey) == EVP_PKEY_RSA) return PROV_RSA_AES;
  return gost::provider_type_of(pkey);
}

extern "C" CSPAPI BOOL csp_import_key_pair(HCRYPTPROV hProv, DWORD dwKeySpec, EVP_PKEY* pkey,
                                           DWORD dwFlags, HCRYPTKEY* phKey) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (!pkey || !phKey) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~(CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED)) return fail(NTE_BAD_FLAGS);
    if (p->verify_only) return fail(NTE_BAD_KEYSET);
    ALG_ID alg = gost::pair_alg_of(pkey, dwKeySpec);
    if (!alg || !gost::available()) return fail(NTE_BAD_KEY);
    if (EVP_PKEY_up_ref(pkey) != 1) return fail(NTE_FAIL);
    PkeyPtr pair(pkey);
    if (LONG rc = store_user_key(*p, dwKeySpec, alg, dwFlags, pkey)) return fail(rc);
    auto k = make_rsa_key(p, alg, dwFlags, std::move(pair), true, 0);
    k->spec = dwKeySpec;
    HCRYPTKEY h = handle_insert(k);
    if (!h) return fail(NTE_NO_MEMORY);
    *phKey = h;
    return TRUE;
  });
}

extern "C" CSPAPI EVP_PKEY* csp_export_key_pair(HCRYPTKEY hKey) {
  CSP_ENTRY;
  EVP_PKEY* result = nullptr;
  BOOL ok = guarded([&]() -> BOOL {
    auto k = handle_get<Key>(hKey);
    if (!k) return fail(NTE_BAD_KEY);
    std::lock_guard<std::mutex> lock(k->mu);
    if (!(k->is_rsa() || gost::is_pair_alg(k->alg)) || !k->has_private) return fail(NTE_BAD_KEY);
    if (!exportable(*k)) return fail(NTE_BAD_KEY_STATE);
    if (LONG rc = need_private(*k)) return fail(rc);
    result = new_ref(k->pkey);
    return result ? TRUE : fail(NTE_FAIL);
  });
  return ok ? result : nullptr;
}
