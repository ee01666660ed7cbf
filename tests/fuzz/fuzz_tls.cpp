// The TLS client facing a hostile server. The client is libsecprov's, driven
// as an application drives it: InitializeSecurityContext until the stream is
// open, then DecryptMessage, each fed what has arrived so far and handing
// back SECBUFFER_EXTRA / SECBUFFER_MISSING as the stream requires.
//
// Two ways to play the server, chosen by the input's last byte:
//  - raw: the input itself is the server's stream, in pieces;
//  - live: an OpenSSL server in memory answers the client, and the input
//    decides how each of its flights travels: whole, split into pieces,
//    with a byte changed, cut short or with bytes of the input appended; it
//    then sends application data (across a key update or a renegotiation,
//    and a close-notify). When nothing was changed on the way the handshake
//    must complete and the client must read exactly what the server sent.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "csp/schannel.h"
#include "csp/sspi.h"
#include "fuzz_cert.h"

namespace {

PSecurityFunctionTableA g_sspi;
CredHandle g_cred;
SSL_CTX* g_server[2];  // without and with session tickets

constexpr unsigned long kReq = ISC_REQ_STREAM | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONFIDENTIALITY |
                               ISC_REQ_MANUAL_CRED_VALIDATION;

// The client and what the server sent it that it has not taken yet.
struct Client {
  CtxtHandle ctx{};
  bool have = false, open = false, done = false;
  std::vector<uint8_t> in, to_server;
  std::string plain;

  bool inside(const void* p, unsigned long n) const {
    auto* b = static_cast<const uint8_t*>(p);
    return n == 0 || (b >= in.data() && b + n <= in.data() + in.size());
  }
  void keep_extra(const SecBuffer& b) {
    if (b.BufferType != SECBUFFER_EXTRA) return in.clear();
    if (!inside(b.pvBuffer, b.cbBuffer) || b.cbBuffer > in.size()) fuzz::die("extra outside input");
    in.erase(in.begin(), in.end() - long(b.cbBuffer));
  }
  // One handshake call; false when the client is waiting or finished.
  bool handshake() {
    SecBuffer ib[2] = {{(unsigned long)in.size(), SECBUFFER_TOKEN, in.data()}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer ob[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc idesc{SECBUFFER_VERSION, 2, ib}, odesc{SECBUFFER_VERSION, 1, ob};
    unsigned long attr = 0;
    SECURITY_STATUS st = g_sspi->InitializeSecurityContextA(
        &g_cred, have ? &ctx : nullptr, nullptr, kReq, 0, 0, have ? &idesc : nullptr, 0,
        have ? nullptr : &ctx, &odesc, &attr, nullptr);
    if (ob[0].pvBuffer) {
      auto* t = static_cast<uint8_t*>(ob[0].pvBuffer);
      to_server.insert(to_server.end(), t, t + ob[0].cbBuffer);
      g_sspi->FreeContextBuffer(ob[0].pvBuffer);
    }
    if (!have) {
      if (st != SEC_I_CONTINUE_NEEDED) fuzz::die("no ClientHello");
      have = true;
      return !in.empty();
    }
    size_t before = in.size();
    switch (st) {
      case SEC_E_OK:
        open = true;
        keep_extra(ib[1]);
        return !in.empty();
      case SEC_I_CONTINUE_NEEDED:
        keep_extra(ib[1]);
        return !in.empty() && in.size() < before;
      case SEC_E_INCOMPLETE_MESSAGE:
        if (ib[1].BufferType == SECBUFFER_MISSING && ib[1].cbBuffer == 0) fuzz::die("missing 0");
        return false;
      case SEC_I_INCOMPLETE_CREDENTIALS:
        return true;  // answered by the next call, with no certificate
      default:
        if (st >= 0) fuzz::die("unexpected handshake status");
        done = true;
        return false;
    }
  }
  // One DecryptMessage call; false when the client is waiting or finished.
  bool decrypt() {
    SecBuffer b[4] = {{(unsigned long)in.size(), SECBUFFER_DATA, in.data()},
                      {0, SECBUFFER_EMPTY, nullptr}, {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    SECURITY_STATUS st = g_sspi->DecryptMessage(&ctx, &desc, 0, nullptr);
    if (st == SEC_E_INCOMPLETE_MESSAGE) return false;
    if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE && st != SEC_I_CONTEXT_EXPIRED) {
      if (st >= 0) fuzz::die("unexpected decrypt status");
      done = true;
      return false;
    }
    if (b[1].BufferType != SECBUFFER_DATA || !inside(b[1].pvBuffer, b[1].cbBuffer))
      fuzz::die("data outside input");
    plain.append(static_cast<char*>(b[1].pvBuffer), b[1].cbBuffer);
    keep_extra(b[3]);
    if (st == SEC_I_CONTEXT_EXPIRED) done = true;
    if (st == SEC_I_RENEGOTIATE) open = false;
    return !done && !in.empty();
  }
  void pump() {
    for (int i = 0; i < 64 && !done && (open ? decrypt() : handshake());) ++i;
  }
  void give(const uint8_t* p, size_t n) {
    in.insert(in.end(), p, p + n);
    pump();
  }
  ~Client() {
    if (have) g_sspi->DeleteSecurityContext(&ctx);
  }
};

void raw(FuzzedDataProvider& f) {
  Client c;
  c.pump();
  while (f.remaining_bytes() && !c.done) {
    auto piece = f.ConsumeBytes<uint8_t>(f.ConsumeIntegralInRange<size_t>(1, 20000));
    c.give(piece.data(), piece.size());
  }
}

// Moves what the server wrote to the client, as the input says; true when
// it arrived changed.
bool carry(FuzzedDataProvider& f, BIO* from, Client& c) {
  std::vector<uint8_t> flight(BIO_ctrl_pending(from));
  if (flight.empty()) return false;
  BIO_read(from, flight.data(), int(flight.size()));
  bool changed = false;
  switch (f.ConsumeIntegralInRange<int>(0, 7)) {
    case 4: {  // in pieces
      for (size_t at = 0; at < flight.size();) {
        size_t n = std::min(flight.size() - at, f.ConsumeIntegralInRange<size_t>(1, 600));
        c.give(flight.data() + at, n);
        at += n;
      }
      return false;
    }
    case 5:
      flight[f.ConsumeIntegralInRange<size_t>(0, flight.size() - 1)] ^= f.ConsumeIntegralInRange<uint8_t>(1, 255);
      changed = true;
      break;
    case 6:
      flight.resize(f.ConsumeIntegralInRange<size_t>(0, flight.size() - 1));
      changed = true;
      break;
    case 7: {
      auto more = f.ConsumeBytes<uint8_t>(f.ConsumeIntegralInRange<size_t>(1, 256));
      flight.insert(flight.end(), more.begin(), more.end());
      changed = !more.empty();
      break;
    }
    default:
      break;
  }
  c.give(flight.data(), flight.size());
  return changed;
}

void live(FuzzedDataProvider& f, size_t size_hint) {
  SSL* s = SSL_new(g_server[f.ConsumeBool()]);
  BIO* rb = BIO_new(BIO_s_mem());
  BIO* wb = BIO_new(BIO_s_mem());
  SSL_set_bio(s, rb, wb);
  SSL_set_accept_state(s);
  if (f.ConsumeBool()) SSL_set_max_proto_version(s, TLS1_2_VERSION);
  Client c;
  std::string sent;
  bool changed = false;
  int data_rounds = 0;
  c.pump();
  for (int round = 0; round < 24 && !c.done; ++round) {
    if (!c.to_server.empty()) {
      BIO_write(rb, c.to_server.data(), int(c.to_server.size()));
      c.to_server.clear();
    }
    if (!SSL_is_init_finished(s)) {
      ERR_clear_error();
      if (SSL_do_handshake(s) <= 0 && SSL_get_error(s, 0) != SSL_ERROR_WANT_READ) break;
    }
    if (SSL_is_init_finished(s) && c.open) {
      if (++data_rounds > 1 && f.remaining_bytes() == 0) break;
      uint8_t buf[512];
      while (SSL_read(s, buf, sizeof buf) > 0) {
      }
      switch (f.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: {
          std::string msg = "message " + std::to_string(round) +
                            std::string(f.ConsumeIntegralInRange<size_t>(0, 20000), 'x');
          if (SSL_write(s, msg.data(), int(msg.size())) > 0) sent += msg;
          break;
        }
        case 1:
          if (SSL_version(s) == TLS1_3_VERSION) SSL_key_update(s, SSL_KEY_UPDATE_REQUESTED);
          else SSL_renegotiate(s);
          SSL_do_handshake(s);
          break;
        case 2:
          SSL_shutdown(s);
          break;
        default:
          if (SSL_write(s, "ping", 4) > 0) sent += "ping";
          break;
      }
    }
    if (BIO_ctrl_pending(wb) == 0 && c.to_server.empty()) {
      if (data_rounds > 0 && f.remaining_bytes() == 0) break;
      if (!c.open) break;
      continue;
    }
    changed |= carry(f, wb, c);
  }
  if (!changed && !c.plain.empty() && sent.compare(0, c.plain.size(), c.plain) != 0)
    fuzz::die("the client read other data than the server sent");
  if (!changed && c.plain.size() > sent.size()) fuzz::die("the client read more than was sent");
  // Untouched, an input that ends early runs a clean handshake and a message.
  if (!changed && size_hint == 0 && (!c.open || c.plain != sent)) fuzz::die("a clean exchange failed");
  SSL_free(s);
}

SSL_CTX* server_ctx(EVP_PKEY* key, X509* cert, bool tickets) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx || SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1)
    fuzz::die("server context");
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
  SSL_CTX_set_num_tickets(ctx, tickets ? 2 : 0);
  return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::private_root();
  g_sspi = InitSecurityInterfaceA();
  SCHANNEL_CRED sc;
  memset(&sc, 0, sizeof sc);
  sc.dwVersion = SCHANNEL_CRED_VERSION;
  sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  if (g_sspi->AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                        nullptr, &sc, nullptr, nullptr, &g_cred, nullptr) != SEC_E_OK)
    fuzz::die("client credential");
  // A self-signed P-256 server certificate, made once.
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("fuzz server"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  if (!key || !X509_sign(cert, key, EVP_sha256())) fuzz::die("server certificate");
  g_server[0] = server_ctx(key, cert, false);
  g_server[1] = server_ctx(key, cert, true);
  X509_free(cert);
  EVP_PKEY_free(key);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider f(data, size);
  fuzz::NoLeaks check;
  if (f.ConsumeIntegralInRange<int>(0, 3) == 3)
    raw(f);
  else
    live(f, size);
  return 0;
}
