// Provider contexts: acquisition, reference counting, release, provider
// enumeration and the context's own parameters.
#include <cstring>

#include "apiutil.h"
#include "csp/provkey.h"
#include "gost.h"
#include "provider.h"

namespace csp::prov {

const char* const kProviderName = "Kestrel Quill RSA and AES Provider";
const char* const kRsaFullProviderName = "Kestrel Quill RSA Full Provider";

namespace {

constexpr DWORD kAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT |
                                CRYPT_DEFAULT_CONTAINER_OPTIONAL;
constexpr size_t kMaxContainerName = 260;
// What a PP_ENUMCONTAINERS size query answers: room for any name (MAX_PATH
// and its terminator), so one buffer serves the whole walk.
constexpr DWORD kEnumContainersSize = 260 + 1;

// Whether a name is one of this library's providers.
bool known_provider(const char* name) {
  for (DWORD i = 0, t; (t = gost::provider_type_at(i)) != 0; ++i)
    if (strcmp(name, gost::provider_name(t)) == 0) return true;
  return false;
}

// Checks the provider name and type a caller asked for.
LONG check_provider(LPCSTR name, DWORD type) {
  if (type == 0 || type > 999) return NTE_BAD_PROV_TYPE;
  const char* own = gost::provider_name(type);
  if (name && *name) {
    if (own && strcmp(name, own) == 0) return 0;
    return known_provider(name) ? NTE_PROV_TYPE_NO_MATCH : NTE_KEYSET_NOT_DEF;
  }
  return own ? 0 : NTE_PROV_TYPE_NOT_DEF;
}

BOOL get_enum_containers(Provider& p, BYTE* data, DWORD* len, DWORD flags) {
  std::lock_guard<std::mutex> lock(p.mu);
  if ((flags & CRYPT_FIRST) || !p.enum_containers_loaded) {
    p.enum_containers = ContainerStore::list(p.machine || (flags & CRYPT_MACHINE_KEYSET));
    p.enum_containers_pos = 0;
    p.enum_containers_loaded = true;
  }
  if (!data) return put_bytes(nullptr, len, nullptr, kEnumContainersSize);
  if (p.enum_containers_pos >= p.enum_containers.size()) return fail(ERROR_NO_MORE_ITEMS);
  const std::string& name = p.enum_containers[p.enum_containers_pos];
  if (*len < name.size() + 1) {
    *len = kEnumContainersSize;
    return fail(ERROR_MORE_DATA);
  }
  if (!put_string(data, len, name)) return FALSE;
  ++p.enum_containers_pos;
  return TRUE;
}

}  // namespace

LONG Provider::load_container(ContainerData& out) const {
  if (!memory) return ContainerStore::load(machine, container, out);
  std::lock_guard<std::mutex> lock(memory->mu);
  out = memory->data;
  return 0;
}

LONG Provider::update_container(const std::function<LONG(ContainerData&)>& change) const {
  if (!memory) return ContainerStore::update(machine, container, change);
  std::lock_guard<std::mutex> lock(memory->mu);
  ContainerData changed = memory->data;
  if (LONG rc = change(changed)) return rc;
  std::swap(memory->data, changed);  // the old records are wiped as `changed` goes
  return 0;
}

}  // namespace csp::prov

using namespace csp;
using namespace csp::prov;

extern "C" CSPAPI BOOL csp_acquire_memory_container(HCRYPTPROV* phProv, LPCSTR szContainer,
                                                    DWORD dwProvType) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (!phProv || !szContainer || !*szContainer) return fail(ERROR_INVALID_PARAMETER);
    if (LONG rc = check_provider(nullptr, dwProvType)) return fail(rc);
    if (strlen(szContainer) > kMaxContainerName) return fail(NTE_BAD_KEYSET_PARAM);
    auto p = std::make_shared<Provider>();
    p->type = dwProvType;
    p->silent = true;
    p->container = szContainer;
    p->memory = std::make_shared<MemoryContainer>();
    p->memory->data.name = szContainer;
    HCRYPTPROV h = handle_insert(p);
    if (!h) return fail(NTE_NO_MEMORY);
    *phProv = h;
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer,
                                                   LPCSTR szProvider, DWORD dwProvType,
                                                   DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (!phProv) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~kAcquireFlags) return fail(NTE_BAD_FLAGS);
    bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
    // CRYPT_NEWKEYSET beside CRYPT_VERIFYCONTEXT is ignored: there is no
    // container to make.
    bool create = !verify && (dwFlags & CRYPT_NEWKEYSET);
    bool remove = dwFlags & CRYPT_DELETEKEYSET;
    if ((create && remove) || (verify && remove)) return fail(NTE_BAD_FLAGS);
    if (verify && szContainer && *szContainer) return fail(NTE_BAD_FLAGS);
    if (LONG rc = check_provider(szProvider, dwProvType)) return fail(rc);

    bool machine = dwFlags & CRYPT_MACHINE_KEYSET;
    std::string name;
    if (!verify) {
      name = szContainer && *szContainer ? std::string(szContainer) : default_container_name();
      if (name.size() > kMaxContainerName) return fail(NTE_BAD_KEYSET_PARAM);
    }
    if (remove) {
      if (LONG rc = ContainerStore::remove(machine, name)) return fail(rc);
      *phProv = 0;
      return TRUE;
    }
    if (create) {
      if (LONG rc = ContainerStore::create(machine, name)) return fail(rc);
    } else if (!verify) {
      if (LONG rc = ContainerStore::exists(machine, name)) return fail(rc);
    }
    auto p = std::make_shared<Provider>();
    p->type = dwProvType;
    p->verify_only = verify;
    p->machine = machine;
    p->silent = dwFlags & CRYPT_SILENT;
    p->container = name;
    HCRYPTPROV h = handle_insert(p);
    if (!h) return fail(NTE_NO_MEMORY);
    *phProv = h;
    return TRUE;
  });
}

// A handle that names no context (0, released, made up) is an invalid
// parameter to these two, as on Windows; the other functions report
// NTE_BAD_UID for it.
extern "C" CSPAPI BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    // A wrong flag does not release: the caller still owns the reference.
    if (!handle_lookup(hProv, Kind::Prov)) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (handle_release(hProv, Kind::Prov) == Drop::Invalid) return fail(ERROR_INVALID_PARAMETER);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved,
                                                 DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (pdwReserved) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (!handle_add_ref(hProv, Kind::Prov)) return fail(ERROR_INVALID_PARAMETER);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CryptEnumProvidersA(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags,
                                                  DWORD* pdwProvType, LPSTR szProvName,
                                                  DWORD* pcbProvName) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (pdwReserved || !pcbProvName) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    DWORD type = gost::provider_type_at(dwIndex);
    if (!type) return fail(ERROR_NO_MORE_ITEMS);
    if (pdwProvType) *pdwProvType = type;
    return put_string(reinterpret_cast<BYTE*>(szProvName), pcbProvName, gost::provider_name(type));
  });
}

extern "C" CSPAPI BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                                DWORD* pdwDataLen, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto p = handle_get<Provider>(hProv);
    if (!p) return fail(NTE_BAD_UID);
    if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
    switch (dwParam) {
      case PP_NAME:
        return put_string(pbData, pdwDataLen, gost::provider_name(p->type));
      case PP_PROVTYPE:
        return put_dword(pbData, pdwDataLen, p->type);
      case PP_VERSION:
        return put_dword(pbData, pdwDataLen, kProviderVersion);
      case PP_IMPTYPE:
        return put_dword(pbData, pdwDataLen, CRYPT_IMPL_SOFTWARE);
      case PP_CONTAINER:
        if (p->verify_only) return fail(NTE_BAD_KEYSET);
        return put_string(pbData, pdwDataLen, p->container);
      case PP_UNIQUE_CONTAINER:
        if (p->verify_only) return fail(NTE_BAD_KEYSET);
        return put_string(pbData, pdwDataLen, ContainerStore::unique_name(p->container));
      case PP_ENUMCONTAINERS:
        if (dwFlags & ~DWORD(CRYPT_FIRST | CRYPT_MACHINE_KEYSET)) return fail(NTE_BAD_FLAGS);
        return get_enum_containers(*p, pbData, pdwDataLen, dwFlags);
      default:
        return get_more_prov_param(*p, dwParam, pbData, pdwDataLen, dwFlags);
    }
  });
}
