// The C client of the TLS rows (natives of bench.CClient): libssl over
// memory BIOs, fed from the socket by the caller's own reads of a given size,
// as the bridge's package is fed by the Java caller. One JNI call runs a
// whole connection, so the figures are libssl's and the socket's alone.
//
// A context is an SSL_CTX for one protocol version and the session its last
// connection ended with. Benchmark code: errors are printed and reported as
// a failed connection, and the benchmark stops.
#include <arpa/inet.h>
#include <jni.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_CClient.h"

namespace {

struct Client {
  SSL_CTX* ctx = nullptr;
  SSL_SESSION* session = nullptr;
  std::vector<unsigned char> in;   // the socket reads
  std::vector<unsigned char> out;  // what goes to the socket
  unsigned char plain[16384];
};

bool failed(const char* what) {
  std::fprintf(stderr, "C client: %s\n", what);
  ERR_print_errors_fp(stderr);
  return false;
}

// Sends everything libssl has written for the peer.
bool flush(Client& c, SSL* ssl, int fd) {
  BIO* wbio = SSL_get_wbio(ssl);
  for (size_t n; (n = BIO_ctrl_pending(wbio)) > 0;) {
    if (c.out.size() < n) c.out.resize(n);
    int got = BIO_read(wbio, c.out.data(), static_cast<int>(n));
    if (got <= 0) return failed("BIO_read");
    for (int sent = 0; sent < got;) {
      ssize_t k = send(fd, c.out.data() + sent, static_cast<size_t>(got - sent), 0);
      if (k <= 0) return failed("send");
      sent += static_cast<int>(k);
    }
  }
  return true;
}

// One read of the socket into libssl's input; false at the end of the stream.
bool receive(Client& c, SSL* ssl, int fd) {
  ssize_t n = recv(fd, c.in.data(), c.in.size(), 0);
  if (n <= 0) return failed(n == 0 ? "the server closed without close-notify" : "recv");
  return BIO_write(SSL_get_rbio(ssl), c.in.data(), static_cast<int>(n)) == n || failed("BIO_write");
}

int dial(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The connection's exchange; `got` counts the data bytes after the mark.
bool exchange(Client& c, SSL* ssl, int fd, long long bytes, bool check, int& mark, long long& got) {
  for (;;) {
    int r = SSL_do_handshake(ssl);
    if (!flush(c, ssl, fd)) return false;
    if (r == 1) break;
    if (SSL_get_error(ssl, r) != SSL_ERROR_WANT_READ) return failed("handshake");
    if (!receive(c, ssl, fd)) return false;
  }
  char request[32];
  int len = std::snprintf(request, sizeof request, "%lld\n", bytes);
  size_t w = 0;
  if (!SSL_write_ex(ssl, request, static_cast<size_t>(len), &w) || !flush(c, ssl, fd)) return failed("request");
  for (;;) {
    size_t n = 0;
    if (SSL_read_ex(ssl, c.plain, sizeof c.plain, &n)) {
      size_t from = 0;
      if (mark < 0) {
        mark = c.plain[0];
        from = 1;
      }
      if (check) {
        for (size_t i = from; i < n; ++i) {
          unsigned long long at = static_cast<unsigned long long>(got) + (i - from);
          if (c.plain[i] != static_cast<unsigned char>((at % 16384) * 131 + 7)) return failed("wrong data");
        }
      }
      got += static_cast<long long>(n - from);
      continue;
    }
    int err = SSL_get_error(ssl, 0);
    if (err == SSL_ERROR_ZERO_RETURN) {
      // Our close-notify in answer; without it libssl would not resume
      // the session.
      SSL_shutdown(ssl);
      return flush(c, ssl, fd);
    }
    if (err != SSL_ERROR_WANT_READ) return failed("SSL_read");
    if (!flush(c, ssl, fd) || !receive(c, ssl, fd)) return false;
  }
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_bench_CClient_context(JNIEnv*, jclass, jint version) {
  auto* c = new Client;
  c->ctx = SSL_CTX_new(TLS_client_method());
  if (!c->ctx || SSL_CTX_set_min_proto_version(c->ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(c->ctx, version == 13 ? TLS1_3_VERSION : TLS1_2_VERSION) != 1) {
    failed("SSL_CTX");
    SSL_CTX_free(c->ctx);
    delete c;
    return 0;
  }
  // As the bridge's credentials with manual validation: the server's
  // handshake signature is checked, its certificate chain is not.
  SSL_CTX_set_verify(c->ctx, SSL_VERIFY_NONE, nullptr);
  return reinterpret_cast<jlong>(c);
}

JNIEXPORT void JNICALL Java_bench_CClient_free(JNIEnv*, jclass, jlong h) {
  auto* c = reinterpret_cast<Client*>(h);
  if (!c) return;
  SSL_SESSION_free(c->session);
  SSL_CTX_free(c->ctx);
  delete c;
}

// One connection: handshake (offering the last session when `resume`), the
// request for `bytes`, everything up to the server's close-notify read in
// socket reads of `readSize` bytes, then the end of the stream. Returns the
// data bytes received times 2, plus 1 when the server resumed a session;
// -1 on failure.
JNIEXPORT jlong JNICALL Java_bench_CClient_connect(JNIEnv*, jclass, jlong h, jint port, jboolean resume,
                                                   jint readSize, jlong bytes, jboolean check) {
  auto* c = reinterpret_cast<Client*>(h);
  if (!c || readSize <= 0) return -1;
  if (c->in.size() != static_cast<size_t>(readSize)) c->in.assign(static_cast<size_t>(readSize), 0);
  int fd = dial(port);
  if (fd < 0) {
    failed("connect");
    return -1;
  }
  SSL* ssl = SSL_new(c->ctx);
  BIO* rbio = BIO_new(BIO_s_mem());
  BIO* wbio = BIO_new(BIO_s_mem());
  bool ok = ssl && rbio && wbio;
  if (ok) {
    BIO_set_mem_eof_return(rbio, -1);
    SSL_set_bio(ssl, rbio, wbio);
    SSL_set_connect_state(ssl);
    ok = SSL_set_tlsext_host_name(ssl, "localhost") == 1;
    if (ok && resume && c->session) ok = SSL_set_session(ssl, c->session) == 1;
  } else {
    BIO_free(rbio);
    BIO_free(wbio);
  }
  int mark = -1;
  long long got = 0;
  ok = ok && exchange(*c, ssl, fd, bytes, check, mark, got);
  if (ok) {
    // TLS 1.3 tickets arrive after the handshake: the session to offer
    // next is the one the connection ends with.
    SSL_SESSION* s = SSL_get1_session(ssl);
    SSL_SESSION_free(c->session);
    c->session = s;
    // The server ends the stream after its close-notify.
    unsigned char rest[256];
    while (recv(fd, rest, sizeof rest, 0) > 0) {
    }
  }
  SSL_free(ssl);
  close(fd);
  ERR_clear_error();
  if (!ok || got != bytes || (mark != 'R' && mark != 'F')) return -1;
  return got * 2 + (mark == 'R' ? 1 : 0);
}

}  // extern "C"
