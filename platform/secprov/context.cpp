// Security contexts: the SSPI front of the TLS session (session.h). These
// calls only map SecBuffer shapes and SECURITY_STATUS codes onto the
// session: what it did not take goes back to the caller as SECBUFFER_EXTRA,
// what a record lacks as SECBUFFER_MISSING.
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "package.h"

namespace secprov {

namespace {

SecBuffer* find_buffer(PSecBufferDesc desc, unsigned long type) {
  if (!desc || !desc->pBuffers) return nullptr;
  for (unsigned long i = 0; i < desc->cBuffers; ++i)
    if (desc->pBuffers[i].BufferType == type) return &desc->pBuffers[i];
  return nullptr;
}

void mark_missing(PSecBufferDesc in, size_t missing) {
  if (in && in->cBuffers > 1 && in->pBuffers[1].BufferType == SECBUFFER_EMPTY && missing) {
    in->pBuffers[1].BufferType = SECBUFFER_MISSING;
    in->pBuffers[1].cbBuffer = static_cast<unsigned long>(missing);
    in->pBuffers[1].pvBuffer = nullptr;
  }
}

// Reports the last `extra` bytes of the input token as unconsumed.
void mark_extra(PSecBufferDesc in, unsigned char* token, size_t n, size_t extra) {
  if (in && in->cBuffers > 1 && extra) {
    in->pBuffers[1].BufferType = SECBUFFER_EXTRA;
    in->pBuffers[1].cbBuffer = static_cast<unsigned long>(extra);
    in->pBuffers[1].pvBuffer = token + n - extra;
  }
}

// The ALPN list of a SECBUFFER_APPLICATION_PROTOCOLS input, in its wire
// form (none when the buffer names no ALPN list). False: malformed.
bool alpn_list(const SecBuffer* b, const unsigned char*& list, size_t& size) {
  list = nullptr;
  size = 0;
  if (!b || !b->pvBuffer || b->cbBuffer == 0) return true;
  const auto* p = static_cast<const unsigned char*>(b->pvBuffer);
  size_t n = b->cbBuffer, off = sizeof(unsigned long);
  if (n < off) return false;
  unsigned long lists = 0;
  std::memcpy(&lists, p, sizeof lists);
  if (lists > n - off) return false;
  size_t end = off + lists;
  constexpr size_t kListHead = sizeof(SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT) + sizeof(unsigned short);
  while (off + kListHead <= end) {
    SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT ext;
    unsigned short len = 0;
    std::memcpy(&ext, p + off, sizeof ext);
    std::memcpy(&len, p + off + sizeof ext, sizeof len);
    off += kListHead;
    if (len > end - off) return false;
    if (ext == SecApplicationProtocolNegotiationExt_ALPN && len > 0) {
      list = p + off;
      size = len;
      return true;
    }
    off += len;
  }
  return true;
}

unsigned long granted(unsigned long req, bool allocated) {
  unsigned long r = ISC_RET_STREAM | ISC_RET_CONFIDENTIALITY | ISC_RET_SEQUENCE_DETECT |
                    ISC_RET_REPLAY_DETECT;
  if (req & ISC_REQ_EXTENDED_ERROR) r |= ISC_RET_EXTENDED_ERROR;
  if (req & ISC_REQ_USE_SUPPLIED_CREDS) r |= ISC_RET_USED_SUPPLIED_CREDS;
  if (allocated) r |= ISC_RET_ALLOCATED_MEMORY;
  return r;
}

// Puts the token for the peer into the output descriptor: allocated for the
// caller (freed with FreeContextBuffer) or copied into its buffer.
SECURITY_STATUS put_token(PSecBufferDesc out, bool allocate, const std::vector<unsigned char>& t) {
  SecBuffer* b = find_buffer(out, SECBUFFER_TOKEN);
  if (!b) return t.empty() ? SEC_E_OK : SEC_E_INVALID_TOKEN;
  if (allocate) {
    b->pvBuffer = nullptr;
    b->cbBuffer = 0;
    if (t.empty()) return SEC_E_OK;
    void* p = std::malloc(t.size());
    if (!p) return SEC_E_INSUFFICIENT_MEMORY;
    std::memcpy(p, t.data(), t.size());
    b->pvBuffer = p;
    b->cbBuffer = static_cast<unsigned long>(t.size());
    return SEC_E_OK;
  }
  if (b->cbBuffer < t.size() || (!b->pvBuffer && !t.empty())) return SEC_E_BUFFER_TOO_SMALL;
  if (!t.empty()) std::memcpy(b->pvBuffer, t.data(), t.size());
  b->cbBuffer = static_cast<unsigned long>(t.size());
  return SEC_E_OK;
}

SECURITY_STATUS verdict_of(int err) {
  switch (err) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return SEC_E_CERT_EXPIRED;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return SEC_E_WRONG_PRINCIPAL;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return SEC_E_UNTRUSTED_ROOT;
    default:
      return SEC_E_CERT_UNKNOWN;
  }
}

SECURITY_STATUS status_of(Context& c, Progress p) {
  switch (p) {
    case Progress::Done:
      return SEC_E_OK;
    case Progress::NeedInput:
      return SEC_I_CONTINUE_NEEDED;
    case Progress::CertificateWanted:
      return SEC_I_INCOMPLETE_CREDENTIALS;
    case Progress::Incomplete:
      return SEC_E_INCOMPLETE_MESSAGE;
    case Progress::Failed:
      break;
  }
  return status_of(c.session);
}

SECURITY_STATUS new_context(const std::shared_ptr<Credential>& cred, const char* target,
                            PSecBufferDesc in, std::shared_ptr<Context>& out) {
  auto c = std::make_shared<Context>(cred->client ? Role::Client : Role::Server);
  c->cred = cred;
  TlsSession& s = c->session;
  if (!s.start(cred->ctx.get(), &cred->sessions)) return SEC_E_INSUFFICIENT_MEMORY;
  if (!s.set_peer_name(target ? target : "", !(cred->flags & SCH_CRED_NO_SERVERNAME_CHECK)))
    return SEC_E_TARGET_UNKNOWN;
  const unsigned char* alpn = nullptr;
  size_t alpn_size = 0;
  if (!alpn_list(find_buffer(in, SECBUFFER_APPLICATION_PROTOCOLS), alpn, alpn_size) ||
      (alpn && !s.set_alpn(alpn, alpn_size)))
    return SEC_E_INVALID_TOKEN;
  s.resume();
  out = std::move(c);
  return SEC_E_OK;
}

// The first call: a new context and its ClientHello.
SECURITY_STATUS first_call(PCredHandle phCredential, const char* target, PSecBufferDesc in,
                           PCtxtHandle phNewContext, PSecBufferDesc out, bool allocate) {
  auto cred = credential_of(phCredential);
  if (!cred || !cred->client) return SEC_E_INVALID_HANDLE;
  if (!phNewContext) return SEC_E_INVALID_PARAMETER;
  std::shared_ptr<Context> c;
  SECURITY_STATUS st = new_context(cred, target, in, c);
  if (st != SEC_E_OK) return st;
  std::lock_guard<std::mutex> lock(c->mu);
  size_t taken = 0, missing = 0;
  st = status_of(*c, c->session.handshake(nullptr, 0, taken, missing));
  SECURITY_STATUS put = put_token(out, allocate, c->session.take_output());
  if (put != SEC_E_OK) return put;
  uintptr_t h = csp::handle_insert(c);
  if (!h) return SEC_E_INSUFFICIENT_MEMORY;
  phNewContext->dwLower = h;
  phNewContext->dwUpper = kContextTag;
  return st;
}

// A call without input: on an established context (or after
// ApplyControlToken) our close-notify; in a handshake whatever is due for
// the peer (the ClientHello of a renegotiation) or a request for more input.
SECURITY_STATUS without_input(Context& c, PSecBufferDesc out, bool allocate) {
  if (c.close_requested || c.session.state() == State::Open) {
    c.session.close();
    return put_token(out, allocate, c.session.take_output());
  }
  std::vector<unsigned char> pending = c.session.take_output();
  if (pending.empty()) return SEC_E_INCOMPLETE_MESSAGE;
  SECURITY_STATUS st = put_token(out, allocate, pending);
  return st != SEC_E_OK ? st : SEC_I_CONTINUE_NEEDED;
}

// After SEC_I_INCOMPLETE_CREDENTIALS the caller passes its input again, but
// libssl has already taken the records up to the certificate request: those
// are skipped when the input starts with them. (Input that does not is new
// input from a caller that dropped the old.)
void skip_taken_input(Context& c, unsigned char*& p, size_t& n) {
  const std::vector<unsigned char>& taken = c.taken_input;
  if (!taken.empty() && n >= taken.size() && std::memcmp(p, taken.data(), taken.size()) == 0) {
    p += taken.size();
    n -= taken.size();
  }
  c.taken_input.clear();
}

// The peer's records of a handshake in progress; `answer` answers a
// certificate request.
SECURITY_STATUS with_input(Context& c, PSecBufferDesc in, SecBuffer* token, PSecBufferDesc out,
                           bool allocate, const Identity& answer) {
  auto* p = token ? static_cast<unsigned char*>(token->pvBuffer) : nullptr;
  size_t n = p ? token->cbBuffer : 0;
  if (c.session.certificate_requested()) skip_taken_input(c, p, n);
  size_t taken = 0, missing = 0;
  Progress progress = c.session.handshake(p, n, taken, missing, &answer);
  if (progress == Progress::Incomplete) {
    // Less than a record: what is still due for the peer, or a request for
    // the rest of the record.
    std::vector<unsigned char> pending = c.session.take_output();
    if (pending.empty()) return mark_missing(in, missing), SEC_E_INCOMPLETE_MESSAGE;
    SECURITY_STATUS st = put_token(out, allocate, pending);
    if (st == SEC_E_OK) mark_extra(in, p, n, n);
    return st != SEC_E_OK ? st : SEC_I_CONTINUE_NEEDED;
  }
  SECURITY_STATUS st = status_of(c, progress);
  SECURITY_STATUS put = put_token(out, allocate, c.session.take_output());
  if (put != SEC_E_OK && st >= 0) st = put;
  if (progress == Progress::CertificateWanted) {
    // Nothing is reported as extra: the caller keeps its input and passes
    // it again with its answer.
    c.taken_input.assign(p, p + taken);
    return st;
  }
  if (st >= 0) mark_extra(in, p, n, n - taken);
  return st;
}

// A later call on an existing context.
SECURITY_STATUS next_call(PCredHandle phCredential, PCtxtHandle phContext, PSecBufferDesc in,
                          PSecBufferDesc out, bool allocate) {
  auto c = context_of(phContext);
  if (!c) return SEC_E_INVALID_HANDLE;
  // The credential of this call answers a certificate request: the
  // context's own, or a new one that holds a certificate.
  std::shared_ptr<Credential> offered = credential_of(phCredential);
  std::lock_guard<std::mutex> lock(c->mu);
  if (c->ended_already()) return c->ended();
  SecBuffer* token = find_buffer(in, SECBUFFER_TOKEN);
  if (c->close_requested || ((!in || !token) && !c->session.certificate_requested()))
    return without_input(*c, out, allocate);
  if (c->session.state() == State::Open) return SEC_E_OK;  // nothing left to negotiate
  return with_input(*c, in, token, out, allocate, (offered ? *offered : *c->cred).identity());
}

}  // namespace

std::shared_ptr<Context> context_of(const CtxtHandle* h) {
  if (!h || h->dwUpper != kContextTag) return nullptr;
  return csp::handle_get<Context>(h->dwLower);
}

SECURITY_STATUS status_of(const TlsSession& s) {
  switch (s.fault()) {
    case Fault::Negotiation:
      return SEC_E_ALGORITHM_MISMATCH;
    case Fault::Tampered:
      return SEC_E_MESSAGE_ALTERED;
    case Fault::Certificate:
      return s.cert_failed() ? verdict_of(s.cert_error()) : SEC_E_CERT_UNKNOWN;
    case Fault::Protocol:
      return SEC_E_ILLEGAL_MESSAGE;
    case Fault::Seal:
      return SEC_E_ENCRYPT_FAILURE;
    default:
      return SEC_E_INTERNAL_ERROR;
  }
}

SECURITY_STATUS Context::ended() const {
  return session.state() == State::Failed ? status_of(session) : SEC_E_CONTEXT_EXPIRED;
}

SECURITY_STATUS SEC_ENTRY InitializeSecurityContextA(
    PCredHandle phCredential, PCtxtHandle phContext, SEC_CHAR* pszTargetName,
    unsigned long fContextReq, unsigned long, unsigned long, PSecBufferDesc pInput, unsigned long,
    PCtxtHandle phNewContext, PSecBufferDesc pOutput, unsigned long* pfContextAttr,
    PTimeStamp ptsExpiry) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    if (!(fContextReq & ISC_REQ_STREAM)) return SEC_E_UNSUPPORTED_FUNCTION;
    bool allocate = fContextReq & ISC_REQ_ALLOCATE_MEMORY;
    if (allocate)
      if (SecBuffer* b = find_buffer(pOutput, SECBUFFER_TOKEN)) b->pvBuffer = nullptr, b->cbBuffer = 0;
    if (pfContextAttr) *pfContextAttr = granted(fContextReq, allocate);
    if (ptsExpiry) *ptsExpiry = TimeStamp{0, 0};
    if (!phContext) return first_call(phCredential, pszTargetName, pInput, phNewContext, pOutput, allocate);
    return next_call(phCredential, phContext, pInput, pOutput, allocate);
  });
}

SECURITY_STATUS SEC_ENTRY ApplyControlToken(PCtxtHandle phContext, PSecBufferDesc pInput) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    auto c = context_of(phContext);
    if (!c) return SEC_E_INVALID_HANDLE;
    SecBuffer* token = find_buffer(pInput, SECBUFFER_TOKEN);
    DWORD type = 0;
    if (!token || !token->pvBuffer || token->cbBuffer < sizeof type) return SEC_E_INVALID_TOKEN;
    std::memcpy(&type, token->pvBuffer, sizeof type);
    if (type != SCHANNEL_SHUTDOWN) return SEC_E_UNSUPPORTED_FUNCTION;
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->ended_already()) return c->ended();
    c->close_requested = true;
    return SEC_E_OK;
  });
}

SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle phContext) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    if (!phContext || phContext->dwUpper != kContextTag) return SEC_E_INVALID_HANDLE;
    if (csp::handle_release(phContext->dwLower, csp::Kind::SecContext) == csp::Drop::Invalid)
      return SEC_E_INVALID_HANDLE;
    return SEC_E_OK;
  });
}

namespace {

// Lays the sealed record out as header, data and trailer in that order: any
// post-handshake record due first precedes the record, and its length then
// counts in the trailer.
SECURITY_STATUS lay_out_record(Context& c, const std::vector<unsigned char>& out, SecBuffer* header,
                               SecBuffer* data, SecBuffer* trailer) {
  size_t n = data->cbBuffer;
  if (out.size() < kRecordHeader + n || out.size() - kRecordHeader - n > trailer->cbBuffer) {
    c.session.fail(Fault::Internal);
    return status_of(c.session);
  }
  std::memcpy(header->pvBuffer, out.data(), kRecordHeader);
  header->cbBuffer = kRecordHeader;
  std::memcpy(data->pvBuffer, out.data() + kRecordHeader, n);
  trailer->cbBuffer = static_cast<unsigned long>(out.size() - kRecordHeader - n);
  std::memcpy(trailer->pvBuffer, out.data() + kRecordHeader + n, trailer->cbBuffer);
  return SEC_E_OK;
}

// The record's parts, in Schannel's order: header, data (decrypted in
// place), trailer and what followed the record.
void lay_out_opened(SecBuffer* b, unsigned char* p, size_t n, const Opened& o) {
  b[0] = SecBuffer{kRecordHeader, SECBUFFER_STREAM_HEADER, p};
  b[1] = SecBuffer{static_cast<unsigned long>(o.length), SECBUFFER_DATA, p + kRecordHeader};
  b[2] = SecBuffer{static_cast<unsigned long>(o.record - kRecordHeader - o.length), SECBUFFER_STREAM_TRAILER,
                   p + kRecordHeader + o.length};
  if (n > o.record)
    b[3] = SecBuffer{static_cast<unsigned long>(n - o.record), SECBUFFER_EXTRA, p + o.record};
  else
    b[3] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
}

}  // namespace

SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle phContext, unsigned long, PSecBufferDesc pMessage,
                                         unsigned long) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    auto c = context_of(phContext);
    if (!c) return SEC_E_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->ended_already()) return c->ended();
    if (c->session.state() != State::Open) return SEC_E_OUT_OF_SEQUENCE;
    SecBuffer* header = find_buffer(pMessage, SECBUFFER_STREAM_HEADER);
    SecBuffer* data = find_buffer(pMessage, SECBUFFER_DATA);
    SecBuffer* trailer = find_buffer(pMessage, SECBUFFER_STREAM_TRAILER);
    if (!header || !data || !trailer) return SEC_E_INVALID_TOKEN;
    if (!header->pvBuffer || header->cbBuffer < kRecordHeader || !trailer->pvBuffer ||
        trailer->cbBuffer < kMaxTrailer)
      return SEC_E_BUFFER_TOO_SMALL;
    // An empty message makes no record.
    if (!data->pvBuffer || data->cbBuffer == 0 || data->cbBuffer > kMaxPlaintext)
      return SEC_E_INVALID_PARAMETER;
    std::vector<unsigned char> out;
    if (!c->session.seal(data->pvBuffer, data->cbBuffer, out)) return status_of(c->session);
    return lay_out_record(*c, out, header, data, trailer);
  });
}

SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, unsigned long,
                                         unsigned long* pfQOP) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    if (pfQOP) *pfQOP = 0;
    auto c = context_of(phContext);
    if (!c) return SEC_E_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(c->mu);
    if (!pMessage || !pMessage->pBuffers || pMessage->cBuffers < 4) return SEC_E_INVALID_TOKEN;
    SecBuffer* data = find_buffer(pMessage, SECBUFFER_DATA);
    if (!data) return SEC_E_INVALID_TOKEN;
    // A failed context reports its failure, never a close: only the peer's
    // close-notify (or ours) ends a stream cleanly.
    if (c->ended_already()) return c->ended();
    if (c->session.state() != State::Open) return SEC_E_OUT_OF_SEQUENCE;
    auto* p = static_cast<unsigned char*>(data->pvBuffer);
    size_t n = p ? data->cbBuffer : 0;
    Opened o = c->session.open(p, n, p ? p + kRecordHeader : nullptr);
    SecBuffer* b = pMessage->pBuffers;
    switch (o.kind) {
      case Opened::Incomplete: {
        SecBuffer* spare = data == &b[0] ? &b[1] : &b[0];
        *spare = SecBuffer{static_cast<unsigned long>(o.missing), SECBUFFER_MISSING, nullptr};
        return SEC_E_INCOMPLETE_MESSAGE;
      }
      case Opened::Failed:
        return status_of(c->session);
      default:
        break;
    }
    if (o.length > o.record - kRecordHeader) return SEC_E_INTERNAL_ERROR;
    lay_out_opened(b, p, n, o);
    return o.kind == Opened::Closed ? SEC_I_CONTEXT_EXPIRED
           : o.kind == Opened::Renegotiate ? SEC_I_RENEGOTIATE : SEC_E_OK;
  });
}

}  // namespace secprov
