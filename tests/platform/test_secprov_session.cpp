// The TLS session unit of libsecprov (platform/secprov/session.h) against
// libssl's own server over memory BIOs, and the SSPI front's shutdown
// control token, which the bridge does not call.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "csp/sspi.h"
#include "session.h"
#include "test_env.h"

using namespace secprov;

namespace {

using Bytes = std::vector<unsigned char>;

// A server with a fresh P-256 certificate, between two memory BIOs.
struct Server {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL* ssl = nullptr;
  BIO* in = nullptr;  // owned by ssl
  BIO* out = nullptr;

  explicit Server(int version) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    SSL_CTX_set_min_proto_version(ctx, version);
    SSL_CTX_set_max_proto_version(ctx, version);
    X509_free(cert);
    EVP_PKEY_free(key);
    reset();
  }
  ~Server() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
  // A new connection on the same context (whose session cache resumes).
  void reset() {
    SSL_free(ssl);
    ssl = SSL_new(ctx);
    in = BIO_new(BIO_s_mem());
    out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_accept_state(ssl);
  }
  void take(const Bytes& b) { BIO_write(in, b.data(), static_cast<int>(b.size())); }
  void give(Bytes& to) {
    unsigned char buf[4096];
    for (int n; (n = BIO_read(out, buf, sizeof buf)) > 0;) to.insert(to.end(), buf, buf + n);
  }
};

struct Client {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SessionCache cache;
  Client() { prepare_client_context(ctx, false); }
  ~Client() { SSL_CTX_free(ctx); }
};

// Runs the handshake, handing the client the server's bytes three at a
// time before the rest, so that the unit first sees less than a record.
void handshake(TlsSession& s, Server& server) {
  size_t taken = 0, missing = 0;
  Progress p = s.handshake(nullptr, 0, taken, missing);
  Bytes from_server;
  for (int round = 0; p == Progress::NeedInput && round < 10; ++round) {
    server.take(s.take_output());
    SSL_do_handshake(server.ssl);
    server.give(from_server);
    ASSERT_EQ(Progress::Incomplete, s.handshake(from_server.data(), 3, taken, missing));
    EXPECT_EQ(2u, missing);
    p = s.handshake(from_server.data(), from_server.size(), taken, missing);
    from_server.erase(from_server.begin(), from_server.begin() + long(taken));
  }
  ASSERT_EQ(Progress::Done, p);
  EXPECT_TRUE(from_server.empty());
  server.take(s.take_output());
  ASSERT_EQ(1, SSL_do_handshake(server.ssl));
}

// Opens every whole record of `in`; the plaintext, the last result.
Opened open_all(TlsSession& s, Bytes& in, std::string& plain) {
  Opened o{Opened::Incomplete};
  while (!in.empty()) {
    Bytes body(in.size());
    o = s.open(in.data(), in.size(), body.data());
    if (o.kind != Opened::Data) break;
    plain.append(reinterpret_cast<char*>(body.data()), o.length);
    in.erase(in.begin(), in.begin() + long(o.record));
  }
  return o;
}

}  // namespace

// A whole exchange per protocol version: handshake, records both ways (the
// TLS 1.3 tickets among them, which the cache keeps), a second connection
// that resumes, and its end (close-notify, or a damaged record that fails
// the session for good with the alert we sent).
TEST(TlsSession, ExchangesRecordsWithLibsslServer) {
  struct Row {
    int version;
    bool damage;
  } rows[] = {{TLS1_2_VERSION, false}, {TLS1_3_VERSION, false}, {TLS1_3_VERSION, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE("version " + std::to_string(row.version) + (row.damage ? " damaged" : ""));
    Server server(row.version);
    Client client;
    for (int connection = 0; connection < 2; ++connection) {
      server.reset();
      TlsSession s(Role::Client);
      ASSERT_TRUE(s.start(client.ctx, &client.cache));
      ASSERT_TRUE(s.set_peer_name("localhost", false));
      s.resume();
      handshake(s, server);
      ASSERT_EQ(State::Open, s.state());
      EXPECT_EQ(connection == 1, SSL_session_reused(s.ssl()) == 1);

      Bytes record;
      ASSERT_TRUE(s.seal("ping", 4, record));
      server.take(record);
      char got[8] = {};
      ASSERT_EQ(4, SSL_read(server.ssl, got, sizeof got));
      EXPECT_STREQ("ping", got);

      ASSERT_EQ(5, SSL_write(server.ssl, "hello", 5));
      Bytes in;
      server.give(in);
      std::string plain;
      if (row.damage && connection == 1) {
        in[in.size() - 3] ^= 1;  // inside the last record's tag
        EXPECT_EQ(Opened::Failed, open_all(s, in, plain).kind);
        EXPECT_EQ(Fault::Tampered, s.fault());
        EXPECT_EQ(2, s.alert_sent().level);
        EXPECT_EQ(SSL_AD_BAD_RECORD_MAC, s.alert_sent().description);
        continue;
      }
      EXPECT_EQ(Opened::Data, open_all(s, in, plain).kind);
      EXPECT_EQ("hello", plain);
      EXPECT_NE(nullptr, client.cache.take("localhost")) << "a session to resume";

      SSL_shutdown(server.ssl);
      server.give(in);
      EXPECT_EQ(Opened::Closed, open_all(s, in, plain).kind);
      EXPECT_EQ(State::Closed, s.state());
      EXPECT_EQ(1, s.alert_received().level);
      EXPECT_EQ(SSL_AD_CLOSE_NOTIFY, s.alert_received().description);
    }
  }
}

// ApplyControlToken with SCHANNEL_SHUTDOWN: the next handshake call makes
// the close-notify, whatever input it is given, and the server reads it as
// the end of the stream.
TEST(TlsSession, ShutdownControlTokenMakesCloseNotify) {
  testenv::private_root();
  PSecurityFunctionTableA t = InitSecurityInterfaceA();
  SCHANNEL_CRED sc{};
  sc.dwVersion = SCHANNEL_CRED_VERSION;
  sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION;
  CredHandle cred;
  TimeStamp ts;
  ASSERT_EQ(SEC_E_OK, t->AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A),
                                                   SECPKG_CRED_OUTBOUND, nullptr, &sc, nullptr, nullptr,
                                                   &cred, &ts));
  Server server(TLS1_3_VERSION);
  CtxtHandle ctx;
  unsigned long attrs = 0, req = ISC_REQ_STREAM;
  unsigned char token[8192];
  SecBuffer out{sizeof token, SECBUFFER_TOKEN, token};
  SecBufferDesc od{SECBUFFER_VERSION, 1, &out};
  SECURITY_STATUS st = t->InitializeSecurityContextA(&cred, nullptr, const_cast<SEC_CHAR*>("localhost"), req,
                                                     0, 0, nullptr, 0, &ctx, &od, &attrs, &ts);
  Bytes from_server;
  while (st == SEC_I_CONTINUE_NEEDED) {
    server.take(Bytes(token, token + out.cbBuffer));
    SSL_do_handshake(server.ssl);
    server.give(from_server);
    SecBuffer in[2] = {{static_cast<unsigned long>(from_server.size()), SECBUFFER_TOKEN, from_server.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc id{SECBUFFER_VERSION, 2, in};
    out.cbBuffer = sizeof token;
    st = t->InitializeSecurityContextA(&cred, &ctx, nullptr, req, 0, 0, &id, 0, nullptr, &od, &attrs, &ts);
    from_server.clear();
  }
  ASSERT_EQ(SEC_E_OK, st);
  server.take(Bytes(token, token + out.cbBuffer));
  ASSERT_EQ(1, SSL_do_handshake(server.ssl));

  DWORD type = 2;  // not a control token the package knows
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc cd{SECBUFFER_VERSION, 1, &control};
  EXPECT_EQ(SEC_E_UNSUPPORTED_FUNCTION, t->ApplyControlToken(&ctx, &cd));
  type = SCHANNEL_SHUTDOWN;
  ASSERT_EQ(SEC_E_OK, t->ApplyControlToken(&ctx, &cd));
  unsigned char junk[5] = {23, 3, 3, 0, 0};
  SecBuffer in[2] = {{sizeof junk, SECBUFFER_TOKEN, junk}, {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc id{SECBUFFER_VERSION, 2, in};
  out.cbBuffer = sizeof token;
  ASSERT_EQ(SEC_E_OK, t->InitializeSecurityContextA(&cred, &ctx, nullptr, req, 0, 0, &id, 0, nullptr, &od,
                                                    &attrs, &ts));
  server.take(Bytes(token, token + out.cbBuffer));
  char buf[16];
  EXPECT_EQ(0, SSL_read(server.ssl, buf, sizeof buf));
  EXPECT_EQ(SSL_ERROR_ZERO_RETURN, SSL_get_error(server.ssl, 0));
  EXPECT_EQ(SEC_E_CONTEXT_EXPIRED, t->ApplyControlToken(&ctx, &cd));
  EXPECT_EQ(SEC_E_OK, t->DeleteSecurityContext(&ctx));
  EXPECT_EQ(SEC_E_OK, t->FreeCredentialsHandle(&cred));
}
