// Certificate stores: memory stores, read-only file stores (DER, PEM, PKCS#7)
// and system stores kept on disk; adding, enumerating, finding, deleting.
//
// A store's list is its certificates in memory; what else keeps them is its
// back end (certobj.h), chosen when it is opened. Every change of the list
// or of a certificate's properties goes to the back end, which writes a
// system store's file (storefile.h) and refuses the changes of a read-only
// store. A system store is opened without making certificates of its file's
// entries: they become certificates of the store on first use.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "apiutil.h"
#include "atomicfile.h"
#include "certobj.h"
#include "storefile.h"

namespace csp::cert {

namespace {

constexpr size_t kMaxStoreName = 255;

std::string upper_ascii(const std::string& s) {
  std::string out = s;
  for (char& ch : out)
    if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
  return out;
}

// A file store's file, as it is.
LONG read_all(const std::string& path, Bytes& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    bool missing = errno == ENOENT || errno == ENOTDIR;
    return missing ? ERROR_FILE_NOT_FOUND : errno == EACCES ? ERROR_ACCESS_DENIED : CRYPT_E_FILE_ERROR;
  }
  LONG rc = read_fd(fd, kMaxStoreFile, out) ? CRYPT_E_FILE_ERROR : 0;
  close(fd);
  return rc;
}

void append(Store& s, const std::shared_ptr<Cert>& c) {
  c->store = s.handle;
  c->ctx.hCertStore = reinterpret_cast<HCERTSTORE>(s.handle);
  c->seq = s.next_seq++;
  s.push(c);
}

// Certificates of a file: DER, PEM with one or many, PKCS#7 in DER or PEM.
LONG parse_file_certs(const Bytes& raw, std::vector<Bytes>& out) {
  auto from_pkcs7 = [&](const BYTE* p, size_t n) -> LONG {
    const unsigned char* q = p;
    PKCS7* p7 = d2i_PKCS7(nullptr, &q, long(n));
    if (!p7) return CRYPT_E_ASN1_CORRUPT;
    STACK_OF(X509)* certs = nullptr;
    if (PKCS7_type_is_signed(p7) && p7->d.sign) certs = p7->d.sign->cert;
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
      unsigned char* der = nullptr;
      int len = i2d_X509(sk_X509_value(certs, i), &der);
      if (len > 0) out.emplace_back(der, der + len);
      OPENSSL_free(der);
    }
    PKCS7_free(p7);
    return 0;
  };
  if (raw.empty()) return 0;
  static const char kPem[] = "-----BEGIN ";
  if (std::search(raw.begin(), raw.end(), kPem, kPem + sizeof kPem - 1) != raw.end()) {
    BIO* bio = BIO_new_mem_buf(raw.data(), int(raw.size()));
    if (!bio) return NTE_NO_MEMORY;
    LONG rc = 0;
    for (;;) {
      char* name = nullptr;
      char* header = nullptr;
      unsigned char* data = nullptr;
      long len = 0;
      if (PEM_read_bio(bio, &name, &header, &data, &len) != 1) break;
      if (!strcmp(name, "CERTIFICATE") || !strcmp(name, "X509 CERTIFICATE")) {
        out.emplace_back(data, data + len);
      } else if (!strcmp(name, "PKCS7") || !strcmp(name, "CERTIFICATE CHAIN")) {
        rc = from_pkcs7(data, size_t(len));
      }
      OPENSSL_free(name);
      OPENSSL_free(header);
      OPENSSL_free(data);
      if (rc) break;
    }
    BIO_free(bio);
    ERR_clear_error();
    return rc;
  }
  if (raw[0] != 0x30) return CRYPT_E_ASN1_BADTAG;
  // A certificate, else PKCS #7: the first reading's failure is not news.
  const unsigned char* q = raw.data();
  X509* x = probe([&] { return d2i_X509(nullptr, &q, long(raw.size())); });
  if (x) {
    X509_free(x);
    out.push_back(raw);
    return 0;
  }
  return from_pkcs7(raw.data(), raw.size());
}

LONG fill_from_certs(Store& s, const std::vector<Bytes>& ders) {
  std::lock_guard<std::mutex> lock(s.mu);
  for (const auto& der : ders) {
    std::shared_ptr<Cert> c;
    if (LONG rc = make_cert(der.data(), der.size(), c)) return rc;
    if (!insert_cert(c)) return NTE_NO_MEMORY;
    append(s, c);
  }
  return 0;
}

// A store whose list is all there is.
class MemoryBackend final : public Backend {
 public:
  LONG writable() const override { return 0; }
  LONG put(Cert&) override { return 0; }
  LONG remove(const Cert&) override { return 0; }
};

// A store whose list does not change.
class ReadOnlyBackend final : public Backend {
 public:
  LONG writable() const override { return ERROR_ACCESS_DENIED; }
  LONG put(Cert&) override { return ERROR_ACCESS_DENIED; }
  LONG remove(const Cert&) override { return ERROR_ACCESS_DENIED; }
};

// A system store: every change is written to its file.
class SystemBackend final : public Backend {
 public:
  explicit SystemBackend(std::string path) : path_(std::move(path)) {}
  LONG writable() const override { return 0; }
  LONG put(Cert& c) override { return write_store_entry(path_, c); }
  LONG remove(const Cert& c) override { return remove_store_entry(path_, c.der); }

 private:
  const std::string path_;
};

}  // namespace

const std::shared_ptr<Backend>& memory_backend() {
  static const auto* b = new std::shared_ptr<Backend>(std::make_shared<MemoryBackend>());
  return *b;  // never destroyed, like the handle table
}

const std::shared_ptr<Backend>& read_only_backend() {
  static const auto* b = new std::shared_ptr<Backend>(std::make_shared<ReadOnlyBackend>());
  return *b;
}

struct PendingEntries {
  SnapPtr snap;
  // Entries made certificates ahead of the rest (one found by its
  // encoding), by index; null for one deleted since. fill_pending takes
  // these instead of making them again.
  std::map<size_t, std::shared_ptr<Cert>> made;
};

std::shared_ptr<Store> open_system_store(const std::string& name_in, bool machine, bool readonly,
                                         LONG& err) {
  err = 0;
  if (name_in.empty() || name_in.size() > kMaxStoreName) {
    err = E_INVALIDARG;
    return nullptr;
  }
  std::string path = store_file_path(machine, upper_ascii(name_in));
  SnapPtr snap;
  if ((err = read_store_file(path, snap))) return nullptr;
  auto s = new_store();
  if (!s) {
    err = NTE_NO_MEMORY;
    return nullptr;
  }
  if (readonly) {
    s->backend = read_only_backend();
  } else {
    s->backend = std::make_shared<SystemBackend>(std::move(path));
  }
  std::lock_guard<std::mutex> lock(s->mu);
  if (!snap->entries.empty()) {
    s->pending = std::make_shared<PendingEntries>(PendingEntries{snap, {}});
    s->next_seq = snap->entries.size() + 1;
  }
  return s;
}

namespace {

// The certificate of pending entry `i`, made as fill_pending makes it.
std::shared_ptr<Cert> make_pending(Store& s, size_t i) {
  const FileEntry& entry = *s.pending->snap->entries[i];
  auto c = new_cert(entry.proto->core);
  copy_props(*entry.proto, *c, false);
  if (!insert_cert(c)) throw std::bad_alloc();
  c->store = s.handle;
  c->ctx.hCertStore = reinterpret_cast<HCERTSTORE>(s.handle);
  c->seq = i + 1;
  return c;
}

// The certificate of the first pending entry of encoding `der`, made ahead
// of the others; null when no pending entry has it (`listed` false) or that
// one was deleted (then the store's list decides). Caller holds s.mu, and
// the store has pending entries.
std::shared_ptr<Cert> pending_by_encoding(Store& s, const Bytes& der, bool& listed) {
  size_t i = s.pending->snap->find(der);
  listed = i != s.pending->snap->entries.size();
  if (!listed) return nullptr;
  auto it = s.pending->made.find(i);
  if (it != s.pending->made.end()) return it->second;
  auto c = make_pending(s, i);
  s.pending->made.emplace(i, c);
  return c;
}

// The slot of `c` among the pending entries made ahead of the others (one
// found by its encoding), or null when it is not one of them.
std::shared_ptr<Cert>* made_ahead(Store& s, const Cert& c) {
  if (!s.pending || c.seq == 0) return nullptr;
  auto it = s.pending->made.find(size_t(c.seq - 1));
  return it != s.pending->made.end() && it->second.get() == &c ? &it->second : nullptr;
}

}  // namespace

void fill_pending(Store& s) {
  if (!s.pending) return;
  const auto& entries = s.pending->snap->entries;
  const auto& made = s.pending->made;
  std::vector<std::shared_ptr<Cert>> certs;
  std::vector<uint64_t> names;
  certs.reserve(entries.size() + s.certs.size());
  names.reserve(entries.size() + s.certs.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    std::shared_ptr<Cert> c;
    auto it = made.find(i);
    if (it != made.end()) {
      if (!it->second) continue;  // deleted
      c = it->second;
    } else {
      try {
        c = make_pending(s, i);
      } catch (const std::bad_alloc&) {
        // Those made here go; those made ahead stay pending.
        for (auto& m : certs)
          if (!made.count(size_t(m->seq - 1))) handle_release(m->handle, Kind::Cert);
        throw;
      }
    }
    names.push_back(Store::name_of(*c));
    certs.push_back(std::move(c));
  }
  certs.insert(certs.end(), s.certs.begin(), s.certs.end());
  names.insert(names.end(), s.names.begin(), s.names.end());
  s.replace(certs, names);
  s.pending.reset();
}

void take_pending(Store& s, std::vector<std::shared_ptr<Cert>>& out) {
  if (!s.pending) return;
  for (auto& [i, c] : s.pending->made)
    if (c) out.push_back(c);
  s.pending.reset();
}

LONG keep_props(Cert& c) {
  auto s = handle_get<Store>(c.store);
  // A read-only store keeps property changes in memory only.
  if (!s || s->backend->writable()) return 0;
  std::lock_guard<std::mutex> lock(s->mu);
  // An element deleted or replaced is no longer the store's to write.
  if (c.removed) return 0;
  return s->backend->put(c);
}

LONG add_cert(Store& s, const std::shared_ptr<Cert>& src, DWORD disposition, PCCERT_CONTEXT* pp) {
  if (pp) *pp = nullptr;
  if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
    return E_INVALIDARG;
  if (LONG rc = s.backend->writable()) return rc;
  // Declared before the lock: a certificate whose last reference goes here
  // is destroyed once the store's mutex is dropped.
  std::shared_ptr<Cert> existing, e;
  std::lock_guard<std::mutex> lock(s.mu);
  size_t pos = 0;
  if (s.pending && disposition != CERT_STORE_ADD_ALWAYS) {
    // Pending entries are made certificates only when one is this one.
    const Snapshot& snap = *s.pending->snap;
    if (snap.find(src->der) != snap.entries.size()) fill_pending(s);
  }
  if (disposition != CERT_STORE_ADD_ALWAYS) {
    for (size_t i = 0; i < s.certs.size(); ++i) {
      if (s.certs[i]->der == src->der) {
        existing = s.certs[i];
        pos = i;
        break;
      }
    }
  }
  bool inherit = disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES ||
                 disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES;
  if (existing) {
    switch (disposition) {
      case CERT_STORE_ADD_NEW:
        return CRYPT_E_EXISTS;
      case CERT_STORE_ADD_USE_EXISTING: {
        if (existing != src) copy_props(*src, *existing, true);
        if (LONG rc = s.backend->put(*existing)) return rc;
        if (pp && !(*pp = give(existing))) return NTE_NO_MEMORY;
        return 0;
      }
      case CERT_STORE_ADD_NEWER:
      case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES: {
        auto ft = [](const FILETIME& f) { return uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime; };
        if (ft(src->info.NotBefore) <= ft(existing->info.NotBefore)) return CRYPT_E_EXISTS;
        break;
      }
      default:
        break;
    }
  }
  e = new_cert(src->core);
  copy_props(*src, *e, false);
  if (existing && inherit) copy_props(*existing, *e, true);
  if (!insert_cert(e)) return NTE_NO_MEMORY;
  e->store = s.handle;
  e->ctx.hCertStore = reinterpret_cast<HCERTSTORE>(s.handle);
  if (LONG rc = s.backend->put(*e)) {
    handle_release(e->handle, Kind::Cert);
    return rc;
  }
  if (existing) {
    e->seq = existing->seq;
    s.put(pos, e);
    existing->removed = true;
    handle_release(existing->handle, Kind::Cert);  // the store's reference
  } else {
    e->seq = s.next_seq++;
    s.push(e);
  }
  if (pp && !(*pp = give(e))) return NTE_NO_MEMORY;
  return 0;
}

}  // namespace csp::cert

using namespace csp;
using namespace csp::cert;

namespace {

std::shared_ptr<Store> store_of(HCERTSTORE h) {
  return handle_get<Store>(reinterpret_cast<uintptr_t>(h));
}

HCERTSTORE handle_of(const std::shared_ptr<Store>& s) {
  return reinterpret_cast<HCERTSTORE>(s->handle);
}

bool provider_is(LPCSTR p, LPCSTR number, const char* name) {
  if (p == number) return true;
  return reinterpret_cast<uintptr_t>(p) > 0xFFFF && strcasecmp(p, name) == 0;
}

// A memory store of the certificates of a file's bytes.
HCERTSTORE store_from_bytes(const Bytes& raw, bool readonly) {
  std::vector<Bytes> ders;
  if (LONG rc = parse_file_certs(raw, ders)) return fail_null(rc);
  auto s = new_store();
  if (!s) return fail_null(NTE_NO_MEMORY);
  if (LONG rc = fill_from_certs(*s, ders)) {
    release_store(s->handle);
    return fail_null(rc);
  }
  if (readonly) s->backend = read_only_backend();
  return handle_of(s);
}

HCERTSTORE open_file_store(const std::string& path) {
  Bytes raw;
  if (LONG rc = read_all(path, raw)) return fail_null(rc);
  return store_from_bytes(raw, true);
}

HCERTSTORE open_system(const std::string& name, DWORD flags) {
  DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
  if (location != 0 && location != CERT_SYSTEM_STORE_CURRENT_USER &&
      location != CERT_SYSTEM_STORE_LOCAL_MACHINE)
    return fail_null(E_INVALIDARG);
  bool machine = location == CERT_SYSTEM_STORE_LOCAL_MACHINE;
  if (name.empty() || name.size() > kMaxStoreName) return fail_null(E_INVALIDARG);
  std::string path = store_file_path(machine, upper_ascii(name));
  if (flags & CERT_STORE_DELETE_FLAG) {
    if (LONG rc = delete_store_file(path)) return fail_null(rc);
    return fail_null(0);  // deleted: no store and no error
  }
  if (flags & CERT_STORE_OPEN_EXISTING_FLAG) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail_null(ERROR_FILE_NOT_FOUND);
  }
  LONG err;
  auto s = open_system_store(name, machine, flags & CERT_STORE_READONLY_FLAG, err);
  if (!s) return fail_null(err);
  return handle_of(s);
}

// Case-insensitive containment of wide text.
bool contains_ci(const std::wstring& hay, const std::wstring& needle) {
  auto low = [](std::wstring s) {
    for (auto& ch : s) ch = wchar_t(std::towlower(wint_t(ch)));
    return s;
  };
  return low(hay).find(low(needle)) != std::wstring::npos;
}

bool blob_is(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB* b) {
  return b && a.cbData == b->cbData && (a.cbData == 0 || memcmp(a.pbData, b->pbData, a.cbData) == 0);
}

// Whether `c` matches the find type; *bad when the type is not supported
// or its parameter is missing (only the name blobs may be, matching none).
bool matches(Cert& c, DWORD type, const void* para, bool& bad) {
  X509* x = c.x509.get();
  if (!para && type != CERT_FIND_ANY && type != CERT_FIND_SUBJECT_NAME && type != CERT_FIND_ISSUER_NAME) {
    bad = true;
    return false;
  }
  switch (type) {
    case CERT_FIND_ANY:
      return true;
    case CERT_FIND_EXISTING: {
      auto other = resolve(static_cast<PCCERT_CONTEXT>(para));
      if (!other) {
        bad = true;
        return false;
      }
      return other->der == c.der;
    }
    case CERT_FIND_SHA1_HASH:
    case CERT_FIND_MD5_HASH: {
      const auto* b = static_cast<const CRYPT_HASH_BLOB*>(para);
      Bytes d = digest_of(c, type == CERT_FIND_SHA1_HASH ? "SHA1" : "MD5");
      return b->cbData == d.size() && memcmp(b->pbData, d.data(), d.size()) == 0;
    }
    case CERT_FIND_SUBJECT_NAME:
      return blob_is(c.info.Subject, static_cast<const CERT_NAME_BLOB*>(para));
    case CERT_FIND_ISSUER_NAME:
      return blob_is(c.info.Issuer, static_cast<const CERT_NAME_BLOB*>(para));
    case CERT_FIND_SUBJECT_STR_A:
    case CERT_FIND_ISSUER_STR_A:
    case CERT_FIND_SUBJECT_STR_W:
    case CERT_FIND_ISSUER_STR_W: {
      std::wstring needle = (type == CERT_FIND_SUBJECT_STR_A || type == CERT_FIND_ISSUER_STR_A)
                                ? widen(static_cast<const char*>(para), CP_ACP)
                                : std::wstring(static_cast<const wchar_t*>(para));
      bool subject = type == CERT_FIND_SUBJECT_STR_A || type == CERT_FIND_SUBJECT_STR_W;
      return contains_ci(x500_text(subject ? X509_get_subject_name(x) : X509_get_issuer_name(x)),
                         needle);
    }
    case CERT_FIND_PROPERTY: {
      DWORD id;
      memcpy(&id, para, sizeof id);
      DWORD len = 0;
      return CertGetCertificateContextProperty(&c.ctx, id, nullptr, &len) != FALSE;
    }
    case CERT_FIND_KEY_SPEC: {
      DWORD want, have = 0, len = sizeof have;
      memcpy(&want, para, sizeof want);
      return CertGetCertificateContextProperty(&c.ctx, CERT_KEY_SPEC_PROP_ID, &have, &len) &&
             have == want;
    }
    case CERT_FIND_PUBLIC_KEY: {
      const auto* k = static_cast<const CERT_PUBLIC_KEY_INFO*>(para);
      const auto& mine = c.info.SubjectPublicKeyInfo.PublicKey;
      return mine.cbData == k->PublicKey.cbData &&
             memcmp(mine.pbData, k->PublicKey.pbData, mine.cbData) == 0;
    }
    case CERT_FIND_SUBJECT_CERT: {
      const auto* ci = static_cast<const CERT_INFO*>(para);
      return blob_is(c.info.Issuer, &ci->Issuer) && blob_is(c.info.SerialNumber, &ci->SerialNumber);
    }
    case CERT_FIND_ISSUER_OF: {
      auto subject = resolve(static_cast<PCCERT_CONTEXT>(para));
      if (!subject) {
        bad = true;
        return false;
      }
      return issued_by(x, subject->x509.get());
    }
    default:
      bad = true;
      return false;
  }
}

}  // namespace

extern "C" CSPAPI HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                                  HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                                                  const void* pvPara) {
  CSP_ENTRY;
  (void)dwEncodingType;
  (void)hCryptProv;
  return guarded_value<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (provider_is(lpszStoreProvider, CERT_STORE_PROV_MEMORY, sz_CERT_STORE_PROV_MEMORY)) {
      auto s = new_store();
      if (!s) return fail_null(NTE_NO_MEMORY);
      if (dwFlags & CERT_STORE_READONLY_FLAG) s->backend = read_only_backend();
      return handle_of(s);
    }
    if (lpszStoreProvider == CERT_STORE_PROV_FILENAME_A ||
        lpszStoreProvider == CERT_STORE_PROV_FILENAME_W) {
      // File stores are read: changes are never written back to the file.
      if (!pvPara) return fail_null(E_INVALIDARG);
      std::string path = lpszStoreProvider == CERT_STORE_PROV_FILENAME_A
                             ? std::string(static_cast<const char*>(pvPara))
                             : narrow(static_cast<const wchar_t*>(pvPara), CP_UTF8);
      return open_file_store(path);
    }
    if (lpszStoreProvider == CERT_STORE_PROV_PKCS7) {
      const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvPara);
      if (!blob || (blob->cbData && !blob->pbData)) return fail_null(E_INVALIDARG);
      Bytes raw(blob->pbData, blob->pbData + blob->cbData);
      return store_from_bytes(raw, dwFlags & CERT_STORE_READONLY_FLAG);
    }
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A ||
        provider_is(lpszStoreProvider, CERT_STORE_PROV_SYSTEM_W, sz_CERT_STORE_PROV_SYSTEM)) {
      if (!pvPara) return fail_null(E_INVALIDARG);
      std::string name = lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A
                             ? std::string(static_cast<const char*>(pvPara))
                             : narrow(static_cast<const wchar_t*>(pvPara), CP_UTF8);
      return open_system(name, dwFlags);
    }
    return fail_null(ERROR_FILE_NOT_FOUND);  // no such store provider
  });
}

extern "C" CSPAPI HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv,
                                                         LPCSTR szSubsystemProtocol) {
  CSP_ENTRY;
  (void)hProv;
  return guarded_value<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (!szSubsystemProtocol) return fail_null(E_INVALIDARG);
    return open_system(szSubsystemProtocol, CERT_SYSTEM_STORE_CURRENT_USER);
  });
}

extern "C" CSPAPI HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE hCertStore) {
  CSP_ENTRY;
  return guarded_value<HCERTSTORE>(nullptr, [&]() -> HCERTSTORE {
    if (!handle_add_ref(reinterpret_cast<uintptr_t>(hCertStore), Kind::Store))
      return fail_null(E_INVALIDARG);
    return hCertStore;
  });
}

extern "C" CSPAPI BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (!hCertStore) return TRUE;
    uintptr_t h = reinterpret_cast<uintptr_t>(hCertStore);
    // Contexts still held keep the store alive (also with the force flag:
    // freeing them under their holders would leave dangling pointers).
    if (!release_store(h)) return fail(E_INVALIDARG);
    if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && handle_lookup(h, Kind::Store))
      return fail(CRYPT_E_PENDING_CLOSE);
    return TRUE;
  });
}

namespace {

// Enumeration and find: the first certificate after `prev` that matches;
// `prev` is freed in every case.
PCCERT_CONTEXT next_match(HCERTSTORE h, PCCERT_CONTEXT prev, DWORD type, const void* para) {
  auto s = store_of(h);
  uint64_t after = 0;
  uintptr_t owner = 0;
  if (prev) {
    if (!take_back_prev(prev, after, owner)) return fail_null(E_INVALIDARG);
    if (!s || owner != s->handle) return fail_null(E_INVALIDARG);
  }
  if (!s) return fail_null(E_INVALIDARG);
  std::vector<std::shared_ptr<Cert>> candidates;
  // A first search for a certificate by its encoding looks among the
  // pending entries without making certificates of all of them: the first
  // pending entry of that encoding comes before every other match, and when
  // none has it only a certificate added since the store was opened can.
  std::shared_ptr<Cert> other;
  if (type == CERT_FIND_EXISTING && !prev) other = resolve(static_cast<PCCERT_CONTEXT>(para));
  {
    // The list is in the order of seq: the certificates after `prev` start
    // where seq first exceeds its seq. Enumerating takes the first of them.
    std::lock_guard<std::mutex> lock(s->mu);
    bool listed = true;
    std::shared_ptr<Cert> hit;
    if (other && s->pending) hit = pending_by_encoding(*s, other->der, listed);
    if (hit) {
      candidates.push_back(std::move(hit));
    } else if (!listed) {
      candidates = s->certs;
    } else {
      fill_pending(*s);
      auto from = std::partition_point(s->certs.begin(), s->certs.end(),
                                       [&](const std::shared_ptr<Cert>& c) { return c->seq <= after; });
      auto to = type == CERT_FIND_ANY && from != s->certs.end() ? from + 1 : s->certs.end();
      candidates.assign(from, to);
    }
  }
  for (auto& c : candidates) {
    bool bad = false;
    bool m = matches(*c, type, para, bad);
    if (bad) return fail_null(E_INVALIDARG);
    if (m) {
      PCCERT_CONTEXT out = give(c);
      return out ? out : fail_null(NTE_NO_MEMORY);
    }
  }
  return fail_null(CRYPT_E_NOT_FOUND);
}

}  // namespace

extern "C" CSPAPI PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                                    PCCERT_CONTEXT prev) {
  CSP_ENTRY;
  return guarded_value<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    return next_match(hCertStore, prev, CERT_FIND_ANY, nullptr);
  });
}

extern "C" CSPAPI PCCERT_CONTEXT WINAPI CertFindCertificateInStore(
    HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags, DWORD dwFindType,
    const void* pvFindPara, PCCERT_CONTEXT prev) {
  CSP_ENTRY;
  (void)dwCertEncodingType;
  (void)dwFindFlags;
  return guarded_value<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    return next_match(hCertStore, prev, dwFindType, pvFindPara);
  });
}

extern "C" CSPAPI BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                                               PCCERT_CONTEXT pCertContext,
                                                               DWORD dwAddDisposition,
                                                               PCCERT_CONTEXT* ppStoreContext) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (ppStoreContext) *ppStoreContext = nullptr;
    auto s = store_of(hCertStore);
    auto c = resolve(pCertContext);
    if (!s || !c) return fail(E_INVALIDARG);
    if (LONG rc = add_cert(*s, c, dwAddDisposition, ppStoreContext)) return fail(rc);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore,
                                                               DWORD dwCertEncodingType,
                                                               const BYTE* pbCertEncoded,
                                                               DWORD cbCertEncoded,
                                                               DWORD dwAddDisposition,
                                                               PCCERT_CONTEXT* ppCertContext) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    if (ppCertContext) *ppCertContext = nullptr;
    auto s = store_of(hCertStore);
    if (!s) return fail(E_INVALIDARG);
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
      return fail(E_INVALIDARG);
    std::shared_ptr<Cert> c;
    if (LONG rc = make_cert(pbCertEncoded, cbCertEncoded, c)) return fail(rc);
    if (LONG rc = add_cert(*s, c, dwAddDisposition, ppCertContext)) return fail(rc);
    return TRUE;
  });
}

extern "C" CSPAPI BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  CSP_ENTRY;
  return guarded([&]() -> BOOL {
    auto c = resolve(pCertContext);
    if (!c) return fail(E_INVALIDARG);
    LONG rc = 0;
    if (auto s = handle_get<Store>(c->store)) {
      std::lock_guard<std::mutex> lock(s->mu);
      // A pending entry made ahead of the others is deleted without making
      // the rest; any other is looked for in the store's list.
      std::shared_ptr<Cert>* slot = made_ahead(*s, *c);
      auto it = s->certs.end();
      if (!slot) {
        fill_pending(*s);
        it = std::find(s->certs.begin(), s->certs.end(), c);
      }
      if (!(rc = s->backend->writable()) && (slot || it != s->certs.end()) &&
          !(rc = s->backend->remove(*c))) {
        c->removed = true;
        if (slot) {
          slot->reset();
        } else {
          s->erase(size_t(it - s->certs.begin()));
        }
        handle_release(c->handle, Kind::Cert);  // the store's reference
      }
    }
    take_back(*c);  // the caller's context, whatever happened
    return rc ? fail(rc) : TRUE;
  });
}
