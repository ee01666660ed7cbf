// The objects of libcertapi and what its modules share.
//
// Certificate contexts. A certificate in a store is a Cert object in the
// handle table; callers get a pointer to its CERT_CONTEXT, which the library
// maps back to the handle (resolve), so a freed or forged pointer is refused
// instead of followed. The Cert's API references are: one held by its store
// while it is in the store, plus one per context handed out. Every context
// handed out also holds one reference on its store's handle, so a store
// lives until it is closed and its last context freed; when its last
// reference goes, it drops its own references on its certificates.
//
// Where a store's certificates are kept besides its list is its back end
// (Backend, below): memory, read-only or a system store's file.
//
// Lock order, for every lock a call into this library can take, outermost
// first: no lock is taken while one below it is held.
//  1. Store::mu, one store's at a time: its list and pending entries.
//  2. Cert::mu, one certificate's at a time: its properties.
//  3. The stores directory's lock (DirLock: this library's mutex, and flock
//     of the directory's lock file for other processes), taken by a system
//     store's back end under its Store::mu to change the file; then the
//     mutex of the cache of store files (storefile.cpp).
//  4. Leaves, each held only inside its own functions: the pointer
//     registry's mutex (cert.cpp), a certificate core's note of the issuer
//     that verified it (CertCore::verified_mu, chain.cpp) and libcfgsup's
//     handle table shard locks (an object whose last reference goes is
//     destroyed after the shard's lock is dropped).
// libprovapi takes its locks (a context's mutex and its in-memory
// container's, a key's, a hash's, the key directory's lock, the handle
// table's) only inside its own functions and never calls back into this
// library. It is called with none of the locks above held, but for
// CryptContextAddRef (an owned key context copied into a store, under the
// store's mutex) and the CryptGetProvParam reads of a key context's
// container, keyset and type when its entry is written (under the store's
// and the certificate's mutex): both only read the context under the
// handle table's mutex. Never under the directory lock, which covers file
// work only. A key context is acquired again before the certificate's mutex
// is taken and released after it is dropped (keyctx.cpp), and a Cert whose
// last reference a store function drops is destroyed after the store's
// mutex is (its key context's release is a provider call). The one-time
// loads of OpenSSL's legacy provider and of the GOST engine run with no
// lock held.
#ifndef CSP_CERTAPI_CERTOBJ_H
#define CSP_CERTAPI_CERTOBJ_H

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "csp/cfgsup.h"
#include "csp/handles.h"
#include "csp/wincrypt.h"
#include "osslptr.h"

namespace csp::cert {

using Bytes = std::vector<BYTE>;


// CERT_KEY_PROV_INFO_PROP_ID, unpacked.
struct ProvInfo {
  bool has_container = false, has_provider = false;
  std::wstring container, provider;
  DWORD type = 0, flags = 0, spec = 0;
  struct Param {
    DWORD id = 0, flags = 0;
    Bytes data;
  };
  std::vector<Param> params;
};

// CERT_KEY_CONTEXT_PROP_ID: the provider context holding the private key.
// `owned`: the property holds one API reference on it and releases it.
struct KeyContext {
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  bool owned = false;
};

// What a key context is persisted as: enough to acquire it again.
struct KeyReopen {
  std::string container;
  bool machine = false;
  DWORD spec = 0;
  DWORD type = PROV_RSA_AES;  // the provider type that keeps the pair
};

// A parsed certificate: its encoding, OpenSSL's object and CERT_INFO with
// the storage its pointers refer to (stable addresses). Never changed once
// made, and shared by every Cert of that encoding (its copies in other
// stores, the certificates of a cached store file), so that an encoding is
// parsed once: OpenSSL's decoding of the public key is most of the cost of
// a certificate. (The one thing that changes is the note of which issuer
// verified its signature, a cache of a fact about the fixed encoding.)
struct CertCore {
  Bytes der;
  X509Ptr x509;
  CERT_INFO info{};
  std::deque<std::string> strings;
  std::deque<Bytes> blobs;
  std::vector<CERT_EXTENSION> exts;
  // X509_NAME_hash_ex of the subject and issuer names (`hashed` when both
  // were made): names that differ in it are not the same name.
  bool hashed = false;
  unsigned long subject_hash = 0, issuer_hash = 0;
  // The issuer (itself, when self-signed) whose key last verified this
  // certificate's signature: the check depends only on this encoding and that
  // key, so it is not made again against the same issuer (chains built over
  // and over from cached stores). Weak: it keeps no issuer alive, and one that
  // is gone never passes for another made at its address.
  mutable std::mutex verified_mu;
  mutable std::weak_ptr<const CertCore> verified_by;
};

// The key properties of a certificate (read and changed in keyctx.cpp).
struct KeyProps {
  bool has_prov_info = false;
  ProvInfo prov_info;
  bool has_key_context = false;
  KeyContext key_context;
  // What acquires the key context again: read from a store file, until the
  // context is acquired or the property set.
  bool has_reopen = false;
  KeyReopen reopen;
};

class Cert : public Object {
 public:
  static constexpr Kind kKind = Kind::Cert;
  explicit Cert(std::shared_ptr<const CertCore> c)
      : Object(kKind), core(std::move(c)), der(core->der), x509(core->x509), info(core->info) {}
  ~Cert() override;

  CERT_CONTEXT ctx{};   // what callers see
  uintptr_t handle = 0;  // this object's handle, once inserted
  uintptr_t store = 0;   // handle of the store it belongs to
  uint64_t seq = 0;      // place in the store's order
  bool removed = false;  // deleted from its store or replaced there (guarded by the store's mu)
  const std::shared_ptr<const CertCore> core;
  const Bytes& der;
  const X509Ptr& x509;
  const CERT_INFO& info;

  // Properties, guarded by mu.
  std::mutex mu;
  std::map<DWORD, Bytes> props;  // all but 1, 2, 5 (and 6 when derived)
  KeyProps keys;
};

class Store;

// Where a store keeps its certificates besides its list in memory
// (store.cpp). One of three:
//  - memory: nowhere else (memory and PKCS #7 stores, the stores of PFX
//    import and of CertCreateCertificateContext); put and remove do nothing;
//  - read-only (file stores, and any store opened with
//    CERT_STORE_READONLY_FLAG): adding and deleting are refused with
//    ERROR_ACCESS_DENIED, and a property set on one of its certificates
//    changes it in memory only;
//  - system: the store's file (storefile.h), changed at every add, delete
//    and property set.
class Backend {
 public:
  virtual ~Backend() = default;
  // 0 when certificates may be added to the store and deleted from it;
  // otherwise the code adding and deleting fail with.
  virtual LONG writable() const = 0;
  // Keeps element `c` as it now is: new, in the place of one of its
  // encoding, or with changed properties. Caller holds the store's mutex.
  virtual LONG put(Cert& c) = 0;
  // Forgets element `c`. Caller holds the store's mutex.
  virtual LONG remove(const Cert& c) = 0;
};
// The back ends that keep nothing of their own, shared by every store.
const std::shared_ptr<Backend>& memory_backend();
const std::shared_ptr<Backend>& read_only_backend();

struct PendingEntries;  // store.cpp

class Store : public Object {
 public:
  static constexpr Kind kKind = Kind::Store;
  Store() : Object(kKind), backend(memory_backend()) {}

  std::shared_ptr<Backend> backend;  // set before the store is handed out

  // The entries of a system store's file that are not certificates of the
  // store yet: they become certs (seq 1..n, ahead of every other) on first
  // use by fill_pending, which everything that reads certs calls first.
  // Adding a certificate new to the store needs no certs, so opening a
  // large store to add one makes no certificate objects; finding one by its
  // encoding, and deleting that one, makes only that one.
  std::shared_ptr<PendingEntries> pending;

  uintptr_t handle = 0;
  std::mutex mu;
  std::vector<std::shared_ptr<Cert>> certs;  // by seq
  // The subject name hash of each of certs (kAnyName when not made), and
  // the positions sorted by it, made on the first issuer search after a
  // change: an issuer search looks its name up instead of reading every
  // certificate's. Changed only with certs, through the functions below
  // (caller holds mu).
  static constexpr uint64_t kAnyName = ~uint64_t(0);
  std::vector<uint64_t> names;
  static uint64_t name_of(const Cert& c) {
    return c.core->hashed ? uint64_t(c.core->subject_hash) : kAnyName;
  }
  void push(std::shared_ptr<Cert> c) {
    names.push_back(name_of(*c));
    certs.push_back(std::move(c));
    by_name_.clear();
  }
  void put(size_t i, std::shared_ptr<Cert> c) {
    names[i] = name_of(*c);
    certs[i] = std::move(c);
    by_name_.clear();
  }
  void erase(size_t i) {
    names.erase(names.begin() + long(i));
    certs.erase(certs.begin() + long(i));
    by_name_.clear();
  }
  void replace(std::vector<std::shared_ptr<Cert>>& c, std::vector<uint64_t>& n) {
    certs.swap(c);
    names.swap(n);
    by_name_.clear();
  }
  // Calls f(i) in order for each position whose name may be `name` (its
  // own, or one not made); for kAnyName, every position.
  template <class F>
  void each_named(uint64_t name, F f) {
    if (name == kAnyName) {
      for (size_t i = 0; i < certs.size(); ++i) f(i);
      return;
    }
    if (by_name_.size() != certs.size()) {
      by_name_.resize(certs.size());
      for (size_t i = 0; i < certs.size(); ++i) by_name_[i] = {names[i], i};
      std::sort(by_name_.begin(), by_name_.end());
    }
    auto range = [&](uint64_t v) {
      return std::equal_range(by_name_.begin(), by_name_.end(), std::pair<uint64_t, size_t>(v, 0),
                              [](const auto& a, const auto& b) { return a.first < b.first; });
    };
    auto [a, a_end] = range(name);
    auto [b, b_end] = range(kAnyName);
    while (a != a_end || b != b_end) {
      if (b == b_end || (a != a_end && a->second < b->second))
        f((a++)->second);
      else
        f((b++)->second);
    }
  }
  uint64_t next_seq = 1;

 private:
  std::vector<std::pair<uint64_t, size_t>> by_name_;  // empty: to be made
};
// Whether `issuer` issued `subject` by names, key identifiers and key usage.
// X509_check_issued decodes the issuer's key on the way and queues an error
// when it cannot: the answer is the verdict, the error is dropped.
inline bool issued_by(X509* issuer, X509* subject) {
  return probe([&] { return X509_check_issued(issuer, subject); }) == X509_V_OK;
}

inline std::nullptr_t fail_null(LONG code) {
  SetLastError(DWORD(code));
  return nullptr;
}

// ---- certificates (cert.cpp) -------------------------------------------

// Parses DER into a new Cert (not yet in the table); 0 or a CRYPT_E_* code.
LONG make_cert(const BYTE* der, size_t n, std::shared_ptr<Cert>& out);
// The same from an X509 already decoded (its encoding is taken from it).
LONG make_cert_x509(X509* x, std::shared_ptr<Cert>& out);
// A new Cert (not yet in the table, no properties) of a parsed certificate.
std::shared_ptr<Cert> new_cert(const std::shared_ptr<const CertCore>& core);
// The pointer registry: which handle a structure handed out belongs to.
void register_ptr(const void* p, uintptr_t h);
void unregister_ptr(const void* p, uintptr_t h);
uintptr_t lookup_ptr(const void* p);  // 0 when unknown
// The live Cert behind a context pointer, or null.
std::shared_ptr<Cert> resolve(PCCERT_CONTEXT p);
// Puts a new Cert into the table and the pointer registry.
bool insert_cert(const std::shared_ptr<Cert>& c);
// A context for the caller: one reference on the Cert and one on its store.
PCCERT_CONTEXT give(const std::shared_ptr<Cert>& c);
// Gives back what give() took.
void take_back(const Cert& c);
// Frees the previous context of an enumeration after noting its place and
// store; false (nothing freed) when it is not a live context.
bool take_back_prev(PCCERT_CONTEXT prev, uint64_t& seq, uintptr_t& store);
// Drops one reference on a store; the last one drops the store's own
// references on its certificates.
bool release_store(uintptr_t h);
// A new empty memory store with one reference for the caller.
std::shared_ptr<Store> new_store();

// Copies properties: all of them, or (inherit) only those `to` lacks.
void copy_props(Cert& from, Cert& to, bool inherit);

// SHA-1 and MD5 of the encoding.
Bytes digest_of(const Cert& c, const char* md);

// ---- stores (store.cpp) ------------------------------------------------

std::shared_ptr<Store> open_system_store(const std::string& name, bool machine, bool readonly,
                                         LONG& err);
// Makes the pending entries of the store certificates of it (caller holds
// s.mu); throws std::bad_alloc when the handle table is full.
void fill_pending(Store& s);
// Forgets the pending entries, moving the certificates made of them ahead
// of the others, whose references the store holds, to `out` (caller holds
// s.mu; the store is being destroyed).
void take_pending(Store& s, std::vector<std::shared_ptr<Cert>>& out);
// Adds `src` (a parsed certificate, in a store or not) by the disposition;
// *pp gets a context of the stored element when asked for.
LONG add_cert(Store& s, const std::shared_ptr<Cert>& src, DWORD disposition, PCCERT_CONTEXT* pp);
// Keeps a property change of `c` where its store keeps its certificates
// (caller holds no lock).
LONG keep_props(Cert& c);

// ---- key properties (keyctx.cpp) ---------------------------------------

// Properties 1 (the key context's handle), CERT_KEY_PROV_INFO_PROP_ID,
// CERT_KEY_CONTEXT_PROP_ID and CERT_KEY_SPEC_PROP_ID.
bool is_key_prop(DWORD id);
// CertGetCertificateContextProperty and CertSetCertificateContextProperty
// of those (each takes c.mu itself); set gives 0 or the code to fail with.
BOOL get_key_prop(Cert& c, DWORD id, BYTE* out, DWORD* len);
LONG set_key_prop(Cert& c, DWORD id, DWORD flags, const void* data);
// The ids of the key properties `c` has (caller holds c.mu).
void add_key_prop_ids(const Cert& c, std::vector<DWORD>& ids);
// Releases the key context when the property owns it (a Cert going).
void drop_key_context(Cert& c);
// Copies key properties: all of them, or (inherit) those `to` lacks; a key
// context owned is copied with a reference of its own. The handle `to`
// held before, to release once its certificate's mutex is dropped, or 0.
HCRYPTPROV adopt_key_props(const KeyProps& from, KeyProps& to, bool inherit);
// What the key context of `c` is persisted as (caller holds c.mu); false
// when there is nothing to persist.
bool reopen_of(const Cert& c, KeyReopen& out);
// Loads the GOST engine if it is installed, leaving the last error as it was.
bool load_gost();

// ---- time and text (name.cpp) ------------------------------------------

bool asn1_to_filetime(const ASN1_TIME* t, FILETIME& out);
// "YYYYMMDDHHMMSSZ" of a FILETIME; false when out of the years 1..9999.
bool filetime_to_generalized(const FILETIME& ft, std::string& out);
std::string narrow(const std::wstring& w, UINT cp);
// "CN=..., O=..." in the name's own order.
std::wstring x500_text(const X509_NAME* n);
std::wstring widen(const std::string& s, UINT cp);

}  // namespace csp::cert

#endif
