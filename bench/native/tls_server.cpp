// bench_tls_server: the one TLS server the TLS rows of bench.TlsBench run
// against, whichever client is measured.
//
// It makes an RSA-2048 and an ECDSA P-256 key with a self-signed certificate
// each, listens on two loopback ports chosen by the kernel (one per key),
// prints "ports <rsa> <ecdsa>" on stdout and serves one connection at a time
// until its standard input ends (the benchmark holds the other end of that
// pipe, so the server goes when the benchmark does, however it ends).
//
// TLS 1.2 and 1.3, AES-128-GCM only (ECDHE for TLS 1.2), X25519 key
// exchange; sessions resume from the server's cache (TLS 1.2) and from
// tickets. One connection: the handshake, a request line "<n>\n" from the
// client, then one byte saying whether the handshake resumed a session ('R')
// or not ('F'), then n bytes written 16 KiB per record, close-notify, and the
// end of our side of the stream. The server waits for the client to close its
// side before closing the socket, so the loopback's TIME_WAIT entries collect
// here and not among the clients' ephemeral ports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kRecord = 16384;

int fail(const char* what) {
  std::fprintf(stderr, "bench_tls_server: %s\n", what);
  ERR_print_errors_fp(stderr);
  return 1;
}

// A self-signed certificate for localhost over `key`, valid for a day.
X509* self_signed(EVP_PKEY* key, const char* cn) {
  X509* x = X509_new();
  if (!x) return nullptr;
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(x, name);
  if (X509_set_pubkey(x, key) != 1 || X509_sign(x, key, EVP_sha256()) <= 0) {
    X509_free(x);
    return nullptr;
  }
  return x;
}

SSL_CTX* server_context(EVP_PKEY* key, const char* cn) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) return nullptr;
  X509* cert = self_signed(key, cn);
  bool ok = cert && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1 &&
            SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
            SSL_CTX_set_cipher_list(ctx, "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256") == 1 &&
            SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256") == 1 &&
            SSL_CTX_set1_groups_list(ctx, "X25519") == 1;
  X509_free(cert);
  if (!ok) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  static const unsigned char sid[] = "quill-bench";
  SSL_CTX_set_session_id_context(ctx, sid, sizeof sid - 1);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(ctx, 1 << 16);
  return ctx;
}

int listen_loopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;  // any free port
  socklen_t n = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// Reads the request line (at most 31 bytes up to '\n'); -1 when there is none.
long long read_request(SSL* ssl) {
  char line[32];
  size_t used = 0;
  while (used < sizeof line - 1) {
    size_t got = 0;
    if (!SSL_read_ex(ssl, line + used, sizeof line - 1 - used, &got)) return -1;
    used += got;
    if (std::memchr(line, '\n', used)) break;
  }
  line[used] = 0;
  char* end = nullptr;
  long long n = std::strtoll(line, &end, 10);
  return end != line && *end == '\n' && n >= 0 ? n : -1;
}

void serve(SSL_CTX* ctx, int fd, const unsigned char* block) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  SSL* ssl = SSL_new(ctx);
  if (ssl && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1) {
    long long n = read_request(ssl);
    if (n >= 0) {
      const char mark = SSL_session_reused(ssl) ? 'R' : 'F';
      size_t w = 0;
      bool ok = SSL_write_ex(ssl, &mark, 1, &w) == 1;
      while (ok && n > 0) {
        size_t k = n < static_cast<long long>(kRecord) ? static_cast<size_t>(n) : kRecord;
        ok = SSL_write_ex(ssl, block, k, &w) == 1;
        n -= static_cast<long long>(k);
      }
      if (ok) SSL_shutdown(ssl);
    }
  }
  ERR_clear_error();
  // Our side ends; the client's close (or its close-notify and close) ends
  // the connection.
  shutdown(fd, SHUT_WR);
  char sink[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(fd, sink, sizeof sink) > 0) {
  }
  SSL_free(ssl);
  close(fd);
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  EVP_PKEY* rsa = EVP_RSA_gen(2048);
  EVP_PKEY* ec = EVP_EC_gen("P-256");
  if (!rsa || !ec) return fail("key generation");
  SSL_CTX* ctx[2] = {server_context(rsa, "localhost"), server_context(ec, "localhost")};
  if (!ctx[0] || !ctx[1]) return fail("server context");
  int port[2] = {0, 0};
  int lfd[2] = {listen_loopback(&port[0]), listen_loopback(&port[1])};
  if (lfd[0] < 0 || lfd[1] < 0) return fail(std::strerror(errno));

  // The bytes of every record: a pattern the clients can check.
  static unsigned char block[kRecord];
  for (size_t i = 0; i < kRecord; ++i) block[i] = static_cast<unsigned char>(i * 131 + 7);

  std::printf("ports %d %d\n", port[0], port[1]);
  std::fflush(stdout);
  pollfd p[3] = {{lfd[0], POLLIN, 0}, {lfd[1], POLLIN, 0}, {0, POLLIN, 0}};
  for (;;) {
    if (poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return fail("poll");
    }
    if (p[2].revents) {
      char c;
      if (read(0, &c, 1) <= 0) break;  // the benchmark is gone
    }
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & POLLIN)) continue;
      int fd = accept(lfd[i], nullptr, nullptr);
      if (fd >= 0) serve(ctx[i], fd, block);
    }
  }
  SSL_CTX_free(ctx[0]);
  SSL_CTX_free(ctx[1]);
  EVP_PKEY_free(rsa);
  EVP_PKEY_free(ec);
  return 0;
}
