// Security contexts: the client handshake and record protection in stream
// mode. The SSL object reads from and writes to memory BIOs; every call hands
// it only whole records, so what it did not take can be given back to the
// caller as SECBUFFER_EXTRA and nothing stays buffered between calls.
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

// Length of the whole records at the start of [p, p + n): `complete` bytes;
// `missing` is what the next record still lacks (0 when none is started).
// False for a record longer than TLS allows.
bool whole_records(const unsigned char* p, size_t n, size_t& complete, size_t& missing) {
  complete = 0;
  missing = 0;
  while (complete + kRecordHeader <= n) {
    size_t body = (size_t(p[complete + 3]) << 8) | p[complete + 4];
    if (body > kMaxRecordBody) return false;
    if (complete + kRecordHeader + body > n) {
      missing = complete + kRecordHeader + body - n;
      return true;
    }
    complete += kRecordHeader + body;
  }
  if (complete < n) missing = complete + kRecordHeader - n;
  return true;
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

size_t discard_input(Context& c) {
  size_t left = BIO_ctrl_pending(c.rbio);
  (void)BIO_reset(c.rbio);
  return left;
}

// The ALPN list of a SECBUFFER_APPLICATION_PROTOCOLS input, if it has one.
bool set_alpn(SSL* ssl, const SecBuffer* b) {
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
    unsigned short size = 0;
    std::memcpy(&ext, p + off, sizeof ext);
    std::memcpy(&size, p + off + sizeof ext, sizeof size);
    off += kListHead;
    if (size > end - off) return false;
    if (ext == SecApplicationProtocolNegotiationExt_ALPN && size > 0)
      return SSL_set_alpn_protos(ssl, p + off, size) == 0;
    off += size;
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

SECURITY_STATUS new_context(const std::shared_ptr<Credential>& cred, const char* target,
                            PSecBufferDesc in, std::shared_ptr<Context>& out) {
  auto c = std::make_shared<Context>();
  c->cred = cred;
  c->target = target ? target : "";
  c->ssl.reset(SSL_new(cred->ctx.get()));
  c->rbio = BIO_new(BIO_s_mem());
  c->wbio = BIO_new(BIO_s_mem());
  if (!c->ssl || !c->rbio || !c->wbio) {
    BIO_free(c->rbio);
    BIO_free(c->wbio);
    return SEC_E_INSUFFICIENT_MEMORY;
  }
  BIO_set_mem_eof_return(c->rbio, -1);
  BIO_set_mem_eof_return(c->wbio, -1);
  SSL_set_bio(c->ssl.get(), c->rbio, c->wbio);
  SSL_set_app_data(c->ssl.get(), c.get());
  SSL_set_connect_state(c->ssl.get());
  if (!c->target.empty()) {
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(c->target.c_str());
    if (ip) {
      ASN1_OCTET_STRING_free(ip);
      if (!(cred->flags & SCH_CRED_NO_SERVERNAME_CHECK))
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl.get()), c->target.c_str());
    } else {
      if (!SSL_set_tlsext_host_name(c->ssl.get(), c->target.c_str())) return SEC_E_TARGET_UNKNOWN;
      if (!(cred->flags & SCH_CRED_NO_SERVERNAME_CHECK) && !SSL_set1_host(c->ssl.get(), c->target.c_str()))
        return SEC_E_TARGET_UNKNOWN;
    }
  }
  if (!set_alpn(c->ssl.get(), find_buffer(in, SECBUFFER_APPLICATION_PROTOCOLS)))
    return SEC_E_INVALID_TOKEN;
  if (SessionPtr s = cred->take_session(c->target)) SSL_set_session(c->ssl.get(), s.get());
  c->plain.resize(kMaxRecordBody);
  out = std::move(c);
  return SEC_E_OK;
}

// One step of the handshake after whole records were handed to the SSL.
SECURITY_STATUS step(Context& c) {
  ERR_clear_error();
  int rc = SSL_do_handshake(c.ssl.get());
  if (rc == 1) {
    c.state = State::Open;
    c.established = true;
    return SEC_E_OK;
  }
  switch (SSL_get_error(c.ssl.get(), rc)) {
    case SSL_ERROR_WANT_READ:
      return SEC_I_CONTINUE_NEEDED;
    case SSL_ERROR_WANT_X509_LOOKUP:  // a certificate request the caller must answer
      return SEC_I_INCOMPLETE_CREDENTIALS;
    case SSL_ERROR_ZERO_RETURN:
      // The peer's close-notify before the handshake completed: libssl
      // queues no error for it, and it is the peer breaking off the
      // negotiation, not a fault of ours.
      return c.fail(SEC_E_ILLEGAL_MESSAGE);
    default:
      return c.fail(failure_status(c));
  }
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

}  // namespace

std::shared_ptr<Context> context_of(const CtxtHandle* h) {
  if (!h || h->dwUpper != kContextTag) return nullptr;
  return csp::handle_get<Context>(h->dwLower);
}

std::vector<unsigned char> take_output(Context& c) {
  std::vector<unsigned char> out(BIO_ctrl_pending(c.wbio));
  if (!out.empty()) {
    int got = BIO_read(c.wbio, out.data(), static_cast<int>(out.size()));
    out.resize(got > 0 ? size_t(got) : 0);
  }
  return out;
}

SECURITY_STATUS failure_status(Context& c) {
  if (c.verify_status != SEC_E_OK) return c.verify_status;
  unsigned long e = ERR_peek_last_error();
  if (ERR_GET_LIB(e) != ERR_LIB_SSL) return SEC_E_INTERNAL_ERROR;
  switch (ERR_GET_REASON(e)) {
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_WRONG_CIPHER_RETURNED:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
      return SEC_E_ALGORITHM_MISMATCH;
    case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
    case SSL_R_DECRYPTION_FAILED:
      return SEC_E_MESSAGE_ALTERED;
    case SSL_R_CERTIFICATE_VERIFY_FAILED:
      return SEC_E_CERT_UNKNOWN;
    default:
      return SEC_E_ILLEGAL_MESSAGE;
  }
}

SECURITY_STATUS SEC_ENTRY InitializeSecurityContextA(
    PCredHandle phCredential, PCtxtHandle phContext, SEC_CHAR* pszTargetName,
    unsigned long fContextReq, unsigned long, unsigned long, PSecBufferDesc pInput, unsigned long,
    PCtxtHandle phNewContext, PSecBufferDesc pOutput, unsigned long* pfContextAttr,
    PTimeStamp ptsExpiry) {
  return guarded([&]() -> SECURITY_STATUS {
    if (!(fContextReq & ISC_REQ_STREAM)) return SEC_E_UNSUPPORTED_FUNCTION;
    bool allocate = fContextReq & ISC_REQ_ALLOCATE_MEMORY;
    if (allocate)
      if (SecBuffer* b = find_buffer(pOutput, SECBUFFER_TOKEN)) b->pvBuffer = nullptr, b->cbBuffer = 0;
    if (pfContextAttr) *pfContextAttr = granted(fContextReq, allocate);
    if (ptsExpiry) *ptsExpiry = TimeStamp{0, 0};

    std::shared_ptr<Context> c;
    SECURITY_STATUS st;
    if (!phContext) {
      // The first call: a new context and its ClientHello.
      auto cred = credential_of(phCredential);
      if (!cred || !cred->client) return SEC_E_INVALID_HANDLE;
      if (!phNewContext) return SEC_E_INVALID_PARAMETER;
      st = new_context(cred, pszTargetName, pInput, c);
      if (st != SEC_E_OK) return st;
      std::lock_guard<std::mutex> lock(c->mu);
      st = step(*c);
      SECURITY_STATUS put = put_token(pOutput, allocate, take_output(*c));
      if (put != SEC_E_OK) return put;
      uintptr_t h = csp::handle_insert(c);
      if (!h) return SEC_E_INSUFFICIENT_MEMORY;
      phNewContext->dwLower = h;
      phNewContext->dwUpper = kContextTag;
      return st;
    }

    c = context_of(phContext);
    if (!c) return SEC_E_INVALID_HANDLE;
    // The credential of this call answers a certificate request: the
    // context's own, or a new one that holds a certificate.
    std::shared_ptr<Credential> offered = credential_of(phCredential);
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->state == State::Closed || c->state == State::Failed) return c->ended();
    c->answer = offered ? offered.get() : c->cred.get();
    struct Unset {
      Context& c;
      ~Unset() { c.answer = nullptr; }
    } unset{*c};
    bool answering = c->cert_request == CertRequest::Reported;
    SecBuffer* token = find_buffer(pInput, SECBUFFER_TOKEN);
    if ((!pInput || !token) && !answering) {
      if (c->state == State::Open) {
        // No input on an established context: close it, the token being
        // our close-notify.
        ERR_clear_error();
        SSL_shutdown(c->ssl.get());
        c->state = State::Closed;
        return put_token(pOutput, allocate, take_output(*c));
      }
      // In a handshake: whatever is due for the peer (the ClientHello of a
      // renegotiation) or a request for more input.
      std::vector<unsigned char> pending = take_output(*c);
      if (pending.empty()) return SEC_E_INCOMPLETE_MESSAGE;
      st = put_token(pOutput, allocate, pending);
      return st != SEC_E_OK ? st : SEC_I_CONTINUE_NEEDED;
    }
    if (c->state == State::Open) return SEC_E_OK;  // nothing left to negotiate

    auto* p = token ? static_cast<unsigned char*>(token->pvBuffer) : nullptr;
    size_t n = p ? token->cbBuffer : 0;
    if (answering) skip_taken_input(*c, p, n);
    size_t complete = 0, missing = 0;
    if (!whole_records(p, n, complete, missing)) return c->fail(SEC_E_ILLEGAL_MESSAGE);
    std::vector<unsigned char> pending;
    if (complete == 0 && !answering) {
      pending = take_output(*c);
      if (pending.empty()) {
        mark_missing(pInput, missing);
        return SEC_E_INCOMPLETE_MESSAGE;
      }
      st = put_token(pOutput, allocate, pending);
      if (st == SEC_E_OK) mark_extra(pInput, p, n, n);
      return st != SEC_E_OK ? st : SEC_I_CONTINUE_NEEDED;
    }
    if (complete && BIO_write(c->rbio, p, static_cast<int>(complete)) != static_cast<int>(complete))
      return SEC_E_INSUFFICIENT_MEMORY;
    st = step(*c);
    size_t left = discard_input(*c);
    SECURITY_STATUS put = put_token(pOutput, allocate, take_output(*c));
    if (put != SEC_E_OK && st >= 0) st = put;
    if (st == SEC_I_INCOMPLETE_CREDENTIALS) {
      // Nothing is reported as extra: the caller keeps its input and passes
      // it again with its answer.
      c->taken_input.assign(p, p + (complete - left));
      return st;
    }
    if (st >= 0) mark_extra(pInput, p, n, left + (n - complete));
    return st;
  });
}

SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle phContext) {
  return guarded([&]() -> SECURITY_STATUS {
    if (!phContext || phContext->dwUpper != kContextTag) return SEC_E_INVALID_HANDLE;
    if (csp::handle_release(phContext->dwLower, csp::Kind::SecContext) == csp::Drop::Invalid)
      return SEC_E_INVALID_HANDLE;
    return SEC_E_OK;
  });
}

SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle phContext, unsigned long, PSecBufferDesc pMessage,
                                         unsigned long) {
  return guarded([&]() -> SECURITY_STATUS {
    auto c = context_of(phContext);
    if (!c) return SEC_E_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->state == State::Closed || c->state == State::Failed) return c->ended();
    if (c->state != State::Open) return SEC_E_OUT_OF_SEQUENCE;
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
    size_t n = data->cbBuffer;
    ERR_clear_error();
    size_t written = 0;
    if (!SSL_write_ex(c->ssl.get(), data->pvBuffer, n, &written) || written != n)
      return c->fail(SEC_E_ENCRYPT_FAILURE);
    // The bytes for the peer go out as header, data and trailer in that
    // order: the record itself, preceded by any post-handshake record due
    // first (its length then counts in the trailer).
    std::vector<unsigned char> out = take_output(*c);
    if (out.size() < kRecordHeader + n || out.size() - kRecordHeader - n > trailer->cbBuffer)
      return c->fail(SEC_E_INTERNAL_ERROR);
    std::memcpy(header->pvBuffer, out.data(), kRecordHeader);
    header->cbBuffer = kRecordHeader;
    std::memcpy(data->pvBuffer, out.data() + kRecordHeader, n);
    trailer->cbBuffer = static_cast<unsigned long>(out.size() - kRecordHeader - n);
    std::memcpy(trailer->pvBuffer, out.data() + kRecordHeader + n, trailer->cbBuffer);
    return SEC_E_OK;
  });
}

SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, unsigned long,
                                         unsigned long* pfQOP) {
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
    if (c->state == State::Closed || c->state == State::Failed) return c->ended();
    if (c->state != State::Open) return SEC_E_OUT_OF_SEQUENCE;

    auto* p = static_cast<unsigned char*>(data->pvBuffer);
    size_t n = p ? data->cbBuffer : 0;
    size_t complete = 0, missing = 0;
    if (!whole_records(p, std::min<size_t>(n, kRecordHeader + kMaxRecordBody), complete, missing))
      return c->fail(SEC_E_ILLEGAL_MESSAGE);
    SecBuffer* b = pMessage->pBuffers;
    if (complete == 0) {
      SecBuffer* spare = data == &b[0] ? &b[1] : &b[0];
      spare->BufferType = SECBUFFER_MISSING;
      spare->cbBuffer = static_cast<unsigned long>(missing);
      spare->pvBuffer = nullptr;
      return SEC_E_INCOMPLETE_MESSAGE;
    }
    size_t record = kRecordHeader + ((size_t(p[3]) << 8) | p[4]);
    if (BIO_write(c->rbio, p, static_cast<int>(record)) != static_cast<int>(record))
      return SEC_E_INSUFFICIENT_MEMORY;
    ERR_clear_error();
    size_t got = 0;
    SECURITY_STATUS st = SEC_E_OK;
    if (!SSL_read_ex(c->ssl.get(), c->plain.data(), c->plain.size(), &got)) {
      got = 0;
      int err = SSL_get_error(c->ssl.get(), 0);
      if (err == SSL_ERROR_WANT_READ) {
        // A record without application data: a TLS 1.3 ticket or key
        // update (consumed here), or a request to renegotiate.
        if (SSL_in_init(c->ssl.get())) {
          c->state = State::Handshake;
          st = SEC_I_RENEGOTIATE;
        }
      } else if (err == SSL_ERROR_ZERO_RETURN) {
        c->state = State::Closed;
        st = SEC_I_CONTEXT_EXPIRED;
      } else {
        discard_input(*c);
        return c->fail(failure_status(*c));
      }
    }
    discard_input(*c);
    // A flood of records without data, or of key update requests whose
    // replies could no longer go out in front of our next record, ends the
    // connection instead of growing without bound.
    c->idle_records = got ? 0 : c->idle_records + 1;
    if (st != SEC_I_CONTEXT_EXPIRED &&
        (c->idle_records > kMaxIdleRecords ||
         (c->state == State::Open && BIO_ctrl_pending(c->wbio) > kMaxPendingReplies)))
      return c->fail(SEC_E_ILLEGAL_MESSAGE);
    if (got > record - kRecordHeader) return SEC_E_INTERNAL_ERROR;
    std::memcpy(p + kRecordHeader, c->plain.data(), got);
    OPENSSL_cleanse(c->plain.data(), got);
    // The record's parts, in Schannel's order: header, data, trailer and
    // what followed the record.
    b[0] = SecBuffer{kRecordHeader, SECBUFFER_STREAM_HEADER, p};
    b[1] = SecBuffer{static_cast<unsigned long>(got), SECBUFFER_DATA, p + kRecordHeader};
    b[2] = SecBuffer{static_cast<unsigned long>(record - kRecordHeader - got), SECBUFFER_STREAM_TRAILER,
                     p + kRecordHeader + got};
    if (n > record)
      b[3] = SecBuffer{static_cast<unsigned long>(n - record), SECBUFFER_EXTRA, p + record};
    else
      b[3] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    return st;
  });
}

}  // namespace secprov
