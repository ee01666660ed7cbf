// Owning pointers to OpenSSL objects, each released by OpenSSL's own free
// function, and the error-queue check of the exported functions, for every
// library of the platform.
#ifndef CSP_COMMON_OSSLPTR_H
#define CSP_COMMON_OSSLPTR_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

namespace csp {

template <auto Free>
struct OsslFree {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
template <class T, auto Free>
using OsslPtr = std::unique_ptr<T, OsslFree<Free>>;

// Bytes OpenSSL allocated (an i2d_ encoding): OPENSSL_free is a macro.
inline void openssl_free(void* p) { OPENSSL_free(p); }
using OsslBytes = OsslPtr<unsigned char, openssl_free>;

using PkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using X509Ptr = OsslPtr<X509, X509_free>;
using BnPtr = OsslPtr<BIGNUM, BN_clear_free>;  // BIGNUMs here may hold secrets
using Pkcs12Ptr = OsslPtr<PKCS12, PKCS12_free>;

// Stacks, freed with their elements (the sk_ functions are macros).
inline void free_safe_bags(STACK_OF(PKCS12_SAFEBAG)* p) { sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free); }
inline void free_pkcs7_stack(STACK_OF(PKCS7)* p) { sk_PKCS7_pop_free(p, PKCS7_free); }
using SafeBagsPtr = OsslPtr<STACK_OF(PKCS12_SAFEBAG), free_safe_bags>;
using Pkcs7StackPtr = OsslPtr<STACK_OF(PKCS7), free_pkcs7_stack>;

// Runs a decoding call that may succeed by a fallback: OpenSSL 3 offers a key
// to its providers' decoders before an engine's methods, so a key the engine
// decodes leaves the providers' "unsupported" queued. On success those
// entries are dropped; on failure they stay for the caller to judge.
template <class F>
auto decode_quietly(F&& decode) {
  ERR_set_mark();
  auto result = decode();
  if (result)
    ERR_pop_to_mark();
  else
    ERR_clear_last_mark();
  return result;
}

// Runs an OpenSSL call whose failure is an answer, not an error (does this
// parse, is this the issuer): whatever it queues is dropped either way.
template <class F>
auto probe(F&& call) {
  ERR_set_mark();
  auto result = call();
  ERR_pop_to_mark();
  return result;
}

// OpenSSL's error queue is per thread and shared with everything else in
// the process: a function that leaves an error there makes a later, unrelated
// ERR_get_error report it. Every exported function opens with CSP_ENTRY; when
// QUILL_CHECK_ERROR_QUEUE is set in the environment (the test runs set it),
// leaving the function with an error queued that was not there on entry
// aborts with the function's name and the error (set to "report": prints
// the same line, empties the queue and goes on). A queue that was already
// non-empty on entry belongs to the caller (or to an outer exported function
// calling this one) and is not judged.
enum class QueueCheck { off, abort, report };
inline QueueCheck error_queue_check() {
  static const QueueCheck mode = [] {
    const char* v = std::getenv("QUILL_CHECK_ERROR_QUEUE");
    if (!v) return QueueCheck::off;
    return std::strcmp(v, "report") == 0 ? QueueCheck::report : QueueCheck::abort;
  }();
  return mode;
}

class ErrorQueueCheck {
 public:
  explicit ErrorQueueCheck(const char* function)
      : function_(function), mode_(error_queue_check()),
        armed_(mode_ != QueueCheck::off && ERR_peek_error() == 0) {}
  ErrorQueueCheck(const ErrorQueueCheck&) = delete;
  ErrorQueueCheck& operator=(const ErrorQueueCheck&) = delete;
  ~ErrorQueueCheck() {
    if (!armed_) return;
    const char *file = nullptr, *func = nullptr;
    int line = 0;
    unsigned long e = ERR_peek_error_all(&file, &line, &func, nullptr, nullptr);
    if (!e) return;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    std::fprintf(stderr, "%s left OpenSSL's error queue non-empty: %s (%s, %s:%d)\n", function_,
                 text, func ? func : "", file ? file : "", line);
    if (mode_ == QueueCheck::abort) std::abort();
    ERR_clear_error();
  }

 private:
  const char* function_;
  QueueCheck mode_;
  bool armed_;
};

#define CSP_ENTRY ::csp::ErrorQueueCheck csp_entry_check_(__func__)

}  // namespace csp

#endif
