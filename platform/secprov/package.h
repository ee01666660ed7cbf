// libsecprov's objects: a credential (an SSL_CTX and its session cache) and a
// security context (an SSL object driven through two memory BIOs).
//
// Locking: a context's mutex is held for the whole of every call on it; the
// credential's mutex guards only its session cache and is taken inside a
// context call (session callbacks), never the other way round.
#ifndef SECPROV_PACKAGE_H
#define SECPROV_PACKAGE_H

#include <openssl/ssl.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "csp/handles.h"
#include "csp/sspi.h"
#include "csp/wincrypt.h"
#include "osslptr.h"

namespace secprov {

using SslCtxPtr = csp::OsslPtr<SSL_CTX, SSL_CTX_free>;
using SslPtr = csp::OsslPtr<SSL, SSL_free>;
using SessionPtr = csp::OsslPtr<SSL_SESSION, SSL_SESSION_free>;
using csp::PkeyPtr;
using csp::X509Ptr;

// Record layer limits: a record's header, the largest plaintext of one
// record, and the most the package adds behind the plaintext of a record it
// builds (AEAD tag or CBC MAC and padding, plus room for a short
// post-handshake record, such as a key update reply, that goes out first).
constexpr unsigned kRecordHeader = 5;
constexpr unsigned kMaxPlaintext = 16384;
constexpr unsigned kMaxTrailer = 128;
constexpr unsigned kMaxRecordBody = kMaxPlaintext + 2048;
// A peer's records that carry no application data (tickets, key updates,
// renegotiation requests, empty records) accepted in a row: beyond it the
// peer is flooding. And the most that post-handshake replies (key updates)
// may pile up for the peer: what fits in a trailer beside a record's own
// expansion.
constexpr unsigned kMaxIdleRecords = 32;
constexpr unsigned kMaxPendingReplies = kMaxTrailer - 32;

class Credential : public csp::Object {
 public:
  static constexpr csp::Kind kKind = csp::Kind::Credential;
  Credential() : Object(kKind) {}

  ~Credential() override;

  bool client = true;
  DWORD flags = 0;  // SCH_CRED_* of the SCHANNEL_CRED
  SslCtxPtr ctx;
  // The certificate presented, kept (with its key context property and the
  // provider reference that property owns) for the credential's lifetime,
  // and the same certificate and its key as libssl takes them.
  PCCERT_CONTEXT cert = nullptr;
  X509Ptr x509;
  PkeyPtr pkey;

  // Client sessions by target name, for resumption.
  SessionPtr take_session(const std::string& target);
  void keep_session(const std::string& target, SSL_SESSION* session);

 private:
  std::mutex mu_;
  std::map<std::string, SessionPtr> sessions_;
};

// Handshake: negotiating (the first handshake or a renegotiation); Open:
// records flow; Closed: a close-notify was sent or received; Failed: a
// failure ended the connection, and every later call reports it.
enum class State { Handshake, Open, Closed, Failed };

// Where a server's request for a client certificate stands on a context
// whose credential holds none.
enum class CertRequest {
  None,      // not asked for, or answered
  Reported,  // SEC_I_INCOMPLETE_CREDENTIALS went to the caller; its next call answers
};

class Context : public csp::Object {
 public:
  static constexpr csp::Kind kKind = csp::Kind::SecContext;
  Context() : Object(kKind) {}
  // A connection that did not fail keeps its session resumable even when
  // it ends without our close-notify.
  ~Context() override {
    if (ssl && established && state != State::Failed)
      SSL_set_shutdown(ssl.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  }
  // Ends the connection after a failure; the status is what every later
  // handshake and record call on the context returns.
  SECURITY_STATUS fail(SECURITY_STATUS status) {
    state = State::Failed;
    failure = status;
    return status;
  }
  // The status of a call on a context that can no longer make or take
  // records: the failure that ended it, or SEC_E_CONTEXT_EXPIRED after a
  // close-notify.
  SECURITY_STATUS ended() const { return state == State::Failed ? failure : SEC_E_CONTEXT_EXPIRED; }
  // Whether the session queries have a session to describe: a handshake
  // completed and no failure since.
  bool has_session() const { return established && state != State::Failed; }

  std::mutex mu;
  std::shared_ptr<Credential> cred;
  SslPtr ssl;
  BIO* rbio = nullptr;  // owned by ssl: records from the peer
  BIO* wbio = nullptr;  // owned by ssl: records for the peer
  std::string target;
  State state = State::Handshake;
  bool established = false;  // a handshake has completed on this context
  SECURITY_STATUS failure = SEC_E_OK;
  // The first certificate check that failed, as a status (0: none).
  SECURITY_STATUS verify_status = SEC_E_OK;
  unsigned idle_records = 0;  // records in a row without application data
  std::vector<unsigned char> plain;  // one record's plaintext

  // Client authentication without a certificate in the credential: the
  // request's state, the input the caller passes again after
  // SEC_I_INCOMPLETE_CREDENTIALS (libssl has already taken it), and the
  // credential of the current call, whose certificate (if any) answers.
  CertRequest cert_request = CertRequest::None;
  std::vector<unsigned char> taken_input;
  Credential* answer = nullptr;
};

// Handle pairs: dwLower is the handle table's value, dwUpper names the kind.
constexpr ULONG_PTR kCredentialTag = 0x51435244;  // "QCRD"
constexpr ULONG_PTR kContextTag = 0x51435458;     // "QCTX"

std::shared_ptr<Credential> credential_of(const CredHandle* h);
std::shared_ptr<Context> context_of(const CtxtHandle* h);

// The status for the OpenSSL failure that just ended a handshake or record
// call on `c` (its certificate verdict first, then the error queue).
SECURITY_STATUS failure_status(Context& c);

// Everything the SSL object has written for the peer so far.
std::vector<unsigned char> take_output(Context& c);

SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandleA(SEC_CHAR*, SEC_CHAR*, unsigned long, void*,
                                                    void*, SEC_GET_KEY_FN, void*, PCredHandle,
                                                    PTimeStamp);
SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle);
SECURITY_STATUS SEC_ENTRY InitializeSecurityContextA(PCredHandle, PCtxtHandle, SEC_CHAR*,
                                                     unsigned long, unsigned long, unsigned long,
                                                     PSecBufferDesc, unsigned long, PCtxtHandle,
                                                     PSecBufferDesc, unsigned long*, PTimeStamp);
SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle);
SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle, unsigned long, PSecBufferDesc, unsigned long);
SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle, PSecBufferDesc, unsigned long, unsigned long*);
SECURITY_STATUS SEC_ENTRY QueryContextAttributesA(PCtxtHandle, unsigned long, void*);

// Runs the body of an exported function; a C++ exception becomes a status.
template <class F>
SECURITY_STATUS guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return SEC_E_INSUFFICIENT_MEMORY;
  } catch (...) {
    return SEC_E_INTERNAL_ERROR;
  }
}

}  // namespace secprov

#endif
