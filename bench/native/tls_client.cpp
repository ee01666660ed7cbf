// bench_tls_client: the C client of the TLS rows of bench.TlsBench. libssl
// over memory BIOs, fed from the socket in reads of a given size, as the
// bridge's package is fed by its Java caller. It runs in a process of its
// own, so that nothing the bridge loads into the JVM's process (the GOST
// engine among it) touches its figures; it times itself, with the wall
// clock and its own CPU time.
//
// Commands, one a line on standard input, each answered by one line:
//   d <version> <port> <readSize> <bytes> <check>
//       one download of <bytes>, the last session offered; answers
//       "<wall ns> <cpu ns>"
//   h <version> <port> <resume> <nanos> <count>
//       connections for a round of at least <nanos> and <count> connections,
//       each a handshake and an empty request; answers
//       "<connections> <wall ns> <cpu ns> <resumed connections>"
// <version> is 12 (TLS 1.2) or 13 (up to TLS 1.3); sessions are kept per
// version and port. Any failure answers "error" and ends the process.
// Benchmark code: the commands are the benchmark's own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <time.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace {

struct Client {
  SSL_CTX* ctx = nullptr;
  SSL_SESSION* session = nullptr;  // the one to offer next
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

SSL_CTX* new_context(int version) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, version == 13 ? TLS1_3_VERSION : TLS1_2_VERSION) != 1) {
    failed("SSL_CTX");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  // As the bridge's credentials with manual validation: the server's
  // handshake signature is checked, its certificate chain is not.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  return ctx;
}

// One connection: handshake (offering the last session when `resume`), the
// request for `bytes`, everything up to the server's close-notify read in
// socket reads of `readSize` bytes, then the end of the stream. The mark is
// the server's: 'R' when it resumed a session.
bool connection(Client& c, int port, bool resume, size_t readSize, long long bytes, bool check, int& mark) {
  if (c.in.size() != readSize) c.in.assign(readSize, 0);
  int fd = dial(port);
  if (fd < 0) return failed("connect");
  SSL* ssl = SSL_new(c.ctx);
  BIO* rbio = BIO_new(BIO_s_mem());
  BIO* wbio = BIO_new(BIO_s_mem());
  bool ok = ssl && rbio && wbio;
  if (ok) {
    BIO_set_mem_eof_return(rbio, -1);
    SSL_set_bio(ssl, rbio, wbio);
    SSL_set_connect_state(ssl);
    ok = SSL_set_tlsext_host_name(ssl, "localhost") == 1;
    if (ok && resume && c.session) ok = SSL_set_session(ssl, c.session) == 1;
  } else {
    BIO_free(rbio);
    BIO_free(wbio);
  }
  mark = -1;
  long long got = 0;
  ok = ok && exchange(c, ssl, fd, bytes, check, mark, got);
  if (ok) {
    // TLS 1.3 tickets arrive after the handshake: the session to offer
    // next is the one the connection ends with.
    SSL_SESSION* s = SSL_get1_session(ssl);
    SSL_SESSION_free(c.session);
    c.session = s;
    // The server ends the stream after its close-notify.
    unsigned char rest[256];
    while (recv(fd, rest, sizeof rest, 0) > 0) {
    }
  }
  SSL_free(ssl);
  close(fd);
  ERR_clear_error();
  if (ok && got != bytes) ok = failed("short data");
  if (ok && mark != 'R' && mark != 'F') ok = failed("no mark");
  return ok;
}

long long now(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::map<int, SSL_CTX*> contexts;              // by version
  std::map<std::pair<int, int>, Client> clients;  // by version and port
  char line[256];
  while (std::fgets(line, sizeof line, stdin)) {
    char cmd = 0;
    int version = 0, port = 0, a = 0;
    long long b = 0, d = 0;
    bool ok = std::sscanf(line, "%c %d %d %d %lld %lld", &cmd, &version, &port, &a, &b, &d) == 6 &&
              (version == 12 || version == 13) && port > 0;
    SSL_CTX*& ctx = contexts[version];
    if (ok && !ctx) ok = (ctx = new_context(version)) != nullptr;
    Client& c = clients[{version, port}];
    c.ctx = ctx;
    int mark = 0;
    long long t0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_THREAD_CPUTIME_ID);
    if (ok && cmd == 'd' && a > 0) {
      ok = connection(c, port, true, static_cast<size_t>(a), b, d != 0, mark);
      if (ok) std::printf("%lld %lld\n", now(CLOCK_MONOTONIC) - t0, now(CLOCK_THREAD_CPUTIME_ID) - c0);
    } else if (ok && cmd == 'h') {
      long long n = 0, resumed = 0, wall = 0;
      do {
        ok = connection(c, port, a != 0, 16384 + 5 + 128, 0, false, mark);
        resumed += mark == 'R';
        ++n;
        wall = now(CLOCK_MONOTONIC) - t0;
      } while (ok && (wall < b || n < d));
      if (ok) std::printf("%lld %lld %lld %lld\n", n, wall, now(CLOCK_THREAD_CPUTIME_ID) - c0, resumed);
    } else {
      ok = false;
    }
    if (!ok) {
      std::printf("error\n");
      std::fflush(stdout);
      return 1;
    }
    std::fflush(stdout);
  }
  for (auto& kv : clients) SSL_SESSION_free(kv.second.session);
  for (auto& kv : contexts) SSL_CTX_free(kv.second);
  return 0;
}
