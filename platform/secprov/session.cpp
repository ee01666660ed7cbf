// The TLS session: libssl driven one whole record at a time (session.h).
#include "session.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace secprov {

namespace {

// The session's input BIO: a view of the caller's bytes for the length of
// one call, which libssl reads in place (a memory BIO would first clear room
// for them and copy them in). Empty, it asks for more, as a memory BIO with
// an end-of-data return of -1 does; a reset forgets the view.
struct InputView {
  const unsigned char* at = nullptr;
  size_t left = 0;
};

InputView* view_of(BIO* b) { return static_cast<InputView*>(BIO_get_data(b)); }

int view_read(BIO* b, char* out, int len) {
  InputView* v = view_of(b);
  BIO_clear_retry_flags(b);
  if (!out || len <= 0) return 0;
  if (v->left == 0) {
    BIO_set_retry_read(b);
    return -1;
  }
  size_t n = std::min(size_t(len), v->left);
  std::memcpy(out, v->at, n);
  v->at += n;
  v->left -= n;
  return int(n);
}

long view_ctrl(BIO* b, int cmd, long, void*) {
  InputView* v = view_of(b);
  switch (cmd) {
    case BIO_CTRL_PENDING:
      return long(v->left);
    case BIO_CTRL_EOF:
      return v->left == 0;
    case BIO_CTRL_RESET:
      *v = InputView();
      return 1;
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

int view_create(BIO* b) {
  auto* v = new (std::nothrow) InputView();
  BIO_set_data(b, v);
  BIO_set_init(b, v != nullptr);
  return v != nullptr;
}

int view_destroy(BIO* b) {
  delete view_of(b);
  BIO_set_data(b, nullptr);
  BIO_set_init(b, 0);
  return 1;
}

// Made once and never changed; null when libcrypto had no memory for it.
const BIO_METHOD* input_view_method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "TLS input");
    if (m && (!BIO_meth_set_read(m, view_read) || !BIO_meth_set_ctrl(m, view_ctrl) ||
              !BIO_meth_set_create(m, view_create) || !BIO_meth_set_destroy(m, view_destroy))) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  return method;
}

}  // namespace

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

SessionPtr SessionCache::take(const std::string& target) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(target);
  if (it == sessions_.end()) return nullptr;
  if (!SSL_SESSION_is_resumable(it->second.get())) {
    sessions_.erase(it);
    return nullptr;
  }
  SSL_SESSION_up_ref(it->second.get());
  return SessionPtr(it->second.get());
}

void SessionCache::keep(const std::string& target, SSL_SESSION* session) {
  std::lock_guard<std::mutex> lock(mu_);
  sessions_[target].reset(session);
}

struct Callbacks {
  static TlsSession* of(const SSL* ssl) { return static_cast<TlsSession*>(SSL_get_app_data(ssl)); }

  // Automatic validation: the first failed check of the peer's chain ends
  // the handshake and is kept as the session's certificate error.
  static int verify(int ok, X509_STORE_CTX* store) {
    if (ok) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TlsSession* s = ssl ? of(ssl) : nullptr;
    if (s && !s->cert_failed_) {
      s->cert_failed_ = true;
      s->cert_error_ = X509_STORE_CTX_get_error(store);
    }
    return 0;
  }

  static int new_session(SSL* ssl, SSL_SESSION* session) {
    TlsSession* s = of(ssl);
    if (!s || !s->cache_) return 0;
    s->cache_->keep(s->peer_, session);
    return 1;  // the cache owns the reference now
  }

  // The peer asked for a certificate and the context's own holds none. The
  // first time, the handshake stops (SSL_ERROR_WANT_X509_LOOKUP) and the
  // caller hears of it; its next call answers with the identity it passes,
  // or by going on without a certificate.
  static int client_cert(SSL* ssl, X509** x509, EVP_PKEY** pkey) {
    TlsSession* s = of(ssl);
    if (!s) return 0;
    if (s->cert_request_ == TlsSession::CertRequest::None) {
      s->cert_request_ = TlsSession::CertRequest::Reported;
      return -1;
    }
    s->cert_request_ = TlsSession::CertRequest::None;
    const Identity* answer = s->answer_;
    if (!answer || !answer->cert || !answer->key) return 0;
    if (X509_up_ref(answer->cert) != 1) return 0;
    if (EVP_PKEY_up_ref(answer->key) != 1) {
      X509_free(answer->cert);
      return 0;
    }
    *x509 = answer->cert;  // libssl takes both references
    *pkey = answer->key;
    return 1;
  }

  static void info(const SSL* ssl, int where, int ret) {
    if (!(where & SSL_CB_ALERT)) return;
    TlsSession* s = of(ssl);
    if (!s) return;
    Alert a{(ret >> 8) & 0xFF, ret & 0xFF};
    (where & SSL_CB_READ ? s->received_ : s->sent_) = a;
  }
};

void prepare_client_context(SSL_CTX* ctx, bool verify) {
  // libssl keeps no sessions of its own: the credential's cache does.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, Callbacks::new_session);
  SSL_CTX_set_client_cert_cb(ctx, Callbacks::client_cert);
  SSL_CTX_set_verify(ctx, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, verify ? Callbacks::verify : nullptr);
}

TlsSession::~TlsSession() {
  if (ssl_ && established()) SSL_set_shutdown(ssl_.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
}

bool TlsSession::start(SSL_CTX* ctx, SessionCache* cache) {
  cache_ = cache;
  ssl_.reset(SSL_new(ctx));
  const BIO_METHOD* input = input_view_method();
  rbio_ = input ? BIO_new(input) : nullptr;
  wbio_ = BIO_new(BIO_s_mem());
  if (!ssl_ || !rbio_ || !wbio_) {
    BIO_free(rbio_);
    BIO_free(wbio_);
    rbio_ = wbio_ = nullptr;
    ERR_clear_error();
    return false;
  }
  BIO_set_mem_eof_return(wbio_, -1);
  SSL_set_bio(ssl_.get(), rbio_, wbio_);
  SSL_set_app_data(ssl_.get(), this);
  SSL_set_info_callback(ssl_.get(), Callbacks::info);
  if (role_ == Role::Client)
    SSL_set_connect_state(ssl_.get());
  else
    SSL_set_accept_state(ssl_.get());
  return true;
}

bool TlsSession::set_peer_name(const std::string& name, bool check) {
  peer_ = name;
  if (name.empty()) return true;
  if (ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str())) {
    ASN1_OCTET_STRING_free(ip);
    if (check) X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), name.c_str());
    return true;
  }
  if (!SSL_set_tlsext_host_name(ssl_.get(), name.c_str()) ||
      (check && !SSL_set1_host(ssl_.get(), name.c_str()))) {
    ERR_clear_error();  // a name libssl refuses (too long, not a host name)
    return false;
  }
  return true;
}

bool TlsSession::set_alpn(const unsigned char* list, size_t n) {
  return SSL_set_alpn_protos(ssl_.get(), list, static_cast<unsigned>(n)) == 0;
}

void TlsSession::resume() {
  if (!cache_) return;
  if (SessionPtr s = cache_->take(peer_)) SSL_set_session(ssl_.get(), s.get());
}

// The fault is the whole report of a failure: what libssl queued on the way
// (already read by fault_of_error) is dropped.
void TlsSession::fail(Fault f) {
  state_ = State::Failed;
  fault_ = f;
  ERR_clear_error();
}

// The fault behind the OpenSSL failure that just ended a handshake or record
// call: the certificate verdict first, then the error queue.
Fault TlsSession::fault_of_error() const {
  if (cert_failed_) return Fault::Certificate;
  unsigned long e = ERR_peek_last_error();
  if (ERR_GET_LIB(e) != ERR_LIB_SSL) return Fault::Internal;
  switch (ERR_GET_REASON(e)) {
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_WRONG_CIPHER_RETURNED:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
      return Fault::Negotiation;
    case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
    case SSL_R_DECRYPTION_FAILED:
      return Fault::Tampered;
    case SSL_R_CERTIFICATE_VERIFY_FAILED:
      return Fault::Certificate;
    default:
      return Fault::Protocol;
  }
}

void TlsSession::offer_input(const unsigned char* in, size_t n) {
  InputView* v = view_of(rbio_);
  v->at = in;
  v->left = n;
}

size_t TlsSession::discard_input() {
  size_t left = BIO_ctrl_pending(rbio_);
  (void)BIO_reset(rbio_);
  return left;
}

Progress TlsSession::step() {
  ERR_clear_error();
  int rc = SSL_do_handshake(ssl_.get());
  if (rc == 1) {
    state_ = State::Open;
    established_ = true;
    return Progress::Done;
  }
  switch (SSL_get_error(ssl_.get(), rc)) {
    case SSL_ERROR_WANT_READ:
      return Progress::NeedInput;
    case SSL_ERROR_WANT_X509_LOOKUP:
      return Progress::CertificateWanted;
    case SSL_ERROR_ZERO_RETURN:
      // The peer's close-notify before the handshake completed: libssl
      // queues no error for it; it is the peer breaking off the negotiation.
      fail(Fault::Protocol);
      return Progress::Failed;
    default:
      fail(fault_of_error());
      return Progress::Failed;
  }
}

Progress TlsSession::handshake(const unsigned char* in, size_t n, size_t& taken, size_t& missing,
                               const Identity* answer) {
  taken = 0;
  size_t complete = 0;
  if (!whole_records(in, n, complete, missing)) {
    fail(Fault::Protocol);
    return Progress::Failed;
  }
  // Nothing to do without a whole record, unless this is our first flight
  // or the answer to a certificate request.
  if (complete == 0 && !certificate_requested() && !SSL_in_before(ssl_.get())) return Progress::Incomplete;
  offer_input(in, complete);
  answer_ = answer;
  Progress p = step();
  answer_ = nullptr;
  taken = complete - discard_input();
  return p;
}

bool TlsSession::seal(const void* plain, size_t n, std::vector<unsigned char>& out) {
  ERR_clear_error();
  size_t written = 0;
  if (!SSL_write_ex(ssl_.get(), plain, n, &written) || written != n) {
    fail(Fault::Seal);
    return false;
  }
  size_t at = out.size();
  out.resize(at + BIO_ctrl_pending(wbio_));
  int got = BIO_read(wbio_, out.data() + at, static_cast<int>(out.size() - at));
  out.resize(at + (got > 0 ? size_t(got) : 0));
  return true;
}

Opened TlsSession::open(const unsigned char* in, size_t n, unsigned char* plain) {
  Opened o{Opened::Data};
  size_t complete = 0;
  if (!whole_records(in, std::min<size_t>(n, kRecordHeader + kMaxRecordBody), complete, o.missing)) {
    fail(Fault::Protocol);
    return Opened{Opened::Failed};
  }
  if (complete == 0) return Opened{Opened::Incomplete, 0, 0, o.missing};
  o.missing = 0;
  o.record = kRecordHeader + ((size_t(in[3]) << 8) | in[4]);
  offer_input(in, o.record);
  ERR_clear_error();
  if (!SSL_read_ex(ssl_.get(), plain, o.record - kRecordHeader, &o.length)) {
    o.length = 0;
    switch (SSL_get_error(ssl_.get(), 0)) {
      case SSL_ERROR_WANT_READ:
        // A record without application data: a TLS 1.3 ticket or key update
        // (consumed here), or a request to renegotiate.
        if (SSL_in_init(ssl_.get())) {
          state_ = State::Handshake;
          o.kind = Opened::Renegotiate;
        }
        break;
      case SSL_ERROR_ZERO_RETURN:
        state_ = State::Closed;
        o.kind = Opened::Closed;
        break;
      default:
        fail(fault_of_error());
        o.kind = Opened::Failed;
    }
  }
  discard_input();
  // A flood of records without data, or of key update requests whose
  // replies could no longer go out in front of our next record, ends the
  // session instead of growing without bound.
  idle_records_ = o.length ? 0 : idle_records_ + 1;
  if (o.kind != Opened::Closed && o.kind != Opened::Failed &&
      (idle_records_ > kMaxIdleRecords ||
       (state_ == State::Open && BIO_ctrl_pending(wbio_) > kMaxPendingReplies))) {
    fail(Fault::Protocol);
    return Opened{Opened::Failed};
  }
  return o;
}

void TlsSession::close() {
  ERR_clear_error();
  SSL_shutdown(ssl_.get());
  state_ = State::Closed;
}

bool TlsSession::has_output() const { return BIO_ctrl_pending(wbio_) > 0; }

std::vector<unsigned char> TlsSession::take_output() {
  std::vector<unsigned char> out(BIO_ctrl_pending(wbio_));
  if (!out.empty()) {
    int got = BIO_read(wbio_, out.data(), static_cast<int>(out.size()));
    out.resize(got > 0 ? size_t(got) : 0);
  }
  return out;
}

}  // namespace secprov
