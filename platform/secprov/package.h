// libsecprov's objects: a credential (an SSL_CTX and its session cache) and a
// security context (a TLS session, session.h, behind the SSPI calls).
//
// Locking: a context's mutex is held for the whole of every call on it; the
// credential's session cache has a mutex of its own, taken inside a context
// call (session callbacks), never the other way round.
#ifndef SECPROV_PACKAGE_H
#define SECPROV_PACKAGE_H

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "csp/handles.h"
#include "csp/sspi.h"
#include "csp/wincrypt.h"
#include "osslptr.h"
#include "session.h"

namespace secprov {

using SslCtxPtr = csp::OsslPtr<SSL_CTX, SSL_CTX_free>;
using csp::PkeyPtr;
using csp::X509Ptr;

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
  SessionCache sessions;

  Identity identity() const { return Identity{x509.get(), pkey.get()}; }
};

class Context : public csp::Object {
 public:
  static constexpr csp::Kind kKind = csp::Kind::SecContext;
  explicit Context(Role role) : Object(kKind), session(role) {}

  // The status of a call on a context that can no longer make or take
  // records: the failure that ended it, or SEC_E_CONTEXT_EXPIRED after a
  // close-notify.
  SECURITY_STATUS ended() const;
  bool ended_already() const {
    return session.state() == State::Closed || session.state() == State::Failed;
  }

  std::mutex mu;
  std::shared_ptr<Credential> cred;
  TlsSession session;
  // The input libssl took before it stopped at a certificate request: the
  // caller passes it again with its answer (SEC_I_INCOMPLETE_CREDENTIALS).
  std::vector<unsigned char> taken_input;
  // ApplyControlToken asked for a close-notify: the next handshake call
  // makes it.
  bool close_requested = false;
};

// Handle pairs: dwLower is the handle table's value, dwUpper names the kind.
constexpr ULONG_PTR kCredentialTag = 0x51435244;  // "QCRD"
constexpr ULONG_PTR kContextTag = 0x51435458;     // "QCTX"

std::shared_ptr<Credential> credential_of(const CredHandle* h);
std::shared_ptr<Context> context_of(const CtxtHandle* h);

// The status of the fault that ended a session.
SECURITY_STATUS status_of(const TlsSession& s);

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
SECURITY_STATUS SEC_ENTRY ApplyControlToken(PCtxtHandle, PSecBufferDesc);
SECURITY_STATUS SEC_ENTRY QueryContextAttributesA(PCtxtHandle, unsigned long, void*);

// Runs the body of an exported function; a C++ exception becomes a status.
// A failure is reported by its status alone: what OpenSSL queued on the way
// there is dropped, as the other libraries' exported functions do.
template <class F>
SECURITY_STATUS guarded(F&& body) noexcept {
  SECURITY_STATUS status;
  try {
    status = body();
  } catch (const std::bad_alloc&) {
    status = SEC_E_INSUFFICIENT_MEMORY;
  } catch (...) {
    status = SEC_E_INTERNAL_ERROR;
  }
  if (status < 0) ERR_clear_error();
  return status;
}

}  // namespace secprov

#endif
