// bench_tls_client: the C client of the TLS rows of bench.TlsBench. libssl
// over memory BIOs, fed from the socket in reads of a given size, as the
// bridge's package is fed by its Java caller. It runs in a process of its
// own, so that nothing the bridge loads into the JVM's process (the GOST
// engine among it) touches its figures; it times itself, with the wall
// clock and its own CPU time.
//
// With "D" and "H" for "d" and "h" the same connections go through the
// platform's SSPI package (libsecprov) instead, called from C++ the way the
// bridge's natives call it, without JNI: the package's own cost next to
// libssl's.
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
#include <string>
#include <utility>
#include <vector>

#include "csp/schannel.h"
#include "csp/sspi.h"

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

// ---- the same connections through the SSPI package ----

struct PackageClient {
  PSecurityFunctionTableA table = nullptr;
  CredHandle cred{};
  bool have = false;
  std::vector<unsigned char> in;
  unsigned long fresh = 0;  // full handshakes name a target of their own
};

bool send_all(int fd, const void* p, size_t n) {
  for (size_t sent = 0; sent < n;) {
    ssize_t k = send(fd, static_cast<const char*>(p) + sent, n - sent, 0);
    if (k <= 0) return failed("send");
    sent += static_cast<size_t>(k);
  }
  return true;
}

// One socket read after the `len` bytes kept; false at the end of the stream.
bool fill(PackageClient& c, int fd, size_t& len) {
  if (len == c.in.size()) return failed("a record larger than the receive buffer");
  ssize_t n = recv(fd, c.in.data() + len, c.in.size() - len, 0);
  if (n <= 0) return failed("recv");
  len += static_cast<size_t>(n);
  return true;
}

bool package_credential(PackageClient& c, int version) {
  c.table = InitSecurityInterfaceA();
  if (!c.table) return failed("InitSecurityInterfaceA");
  SCHANNEL_CRED sc{};
  sc.dwVersion = SCHANNEL_CRED_VERSION;
  sc.grbitEnabledProtocols = version == 13 ? SP_PROT_TLS1_3_CLIENT : SP_PROT_TLS1_2_CLIENT;
  sc.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
  char package[] = UNISP_NAME_A;
  TimeStamp expiry;
  if (c.table->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &sc, nullptr, nullptr,
                                         &c.cred, &expiry) != SEC_E_OK)
    return failed("AcquireCredentialsHandleA");
  c.have = true;
  return true;
}

// Runs InitializeSecurityContextA on what `len` holds (nothing on the first
// call, no input at all for our close-notify) and sends its token; the
// status, with the unread rest moved to the front of the buffer.
SECURITY_STATUS package_step(PackageClient& c, CtxtHandle& ctx, bool first, const char* target, int fd,
                             size_t& len, bool disconnect = false) {
  unsigned long req = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                      ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
  SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
  SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
  SecBuffer in[2] = {{static_cast<unsigned long>(len), SECBUFFER_TOKEN, c.in.data()}, {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
  if (first) {
    in[0] = {0, SECBUFFER_APPLICATION_PROTOCOLS, nullptr};
    inDesc.cBuffers = 1;
  }
  unsigned long attrs = 0;
  TimeStamp expiry;
  SECURITY_STATUS st = c.table->InitializeSecurityContextA(
      &c.cred, first ? nullptr : &ctx, const_cast<SEC_CHAR*>(target), req, 0, SECURITY_NATIVE_DREP,
      disconnect ? nullptr : &inDesc, 0,
      first ? &ctx : nullptr, &outDesc, &attrs, &expiry);
  bool sent = !out[0].pvBuffer || !out[0].cbBuffer || send_all(fd, out[0].pvBuffer, out[0].cbBuffer);
  if (out[0].pvBuffer) c.table->FreeContextBuffer(out[0].pvBuffer);
  if (out[1].pvBuffer) c.table->FreeContextBuffer(out[1].pvBuffer);
  if (!sent) return SEC_E_INTERNAL_ERROR;
  if (!first && len) {
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= len) {
      std::memmove(c.in.data(), c.in.data() + (len - in[1].cbBuffer), in[1].cbBuffer);
      len = in[1].cbBuffer;
    } else if (st >= 0) {
      len = 0;
    }
  }
  return st;
}

bool package_exchange(PackageClient& c, CtxtHandle& ctx, const char* target, int fd, long long bytes, bool check,
                      int& mark, long long& got) {
  size_t len = 0;
  for (bool first = true;; first = false) {
    SECURITY_STATUS st = package_step(c, ctx, first, target, fd, len);
    if (st == SEC_E_OK) break;
    if (st != SEC_I_CONTINUE_NEEDED && st != SEC_E_INCOMPLETE_MESSAGE) return failed("package handshake");
    if ((st == SEC_E_INCOMPLETE_MESSAGE || len == 0) && !fill(c, fd, len)) return false;
  }
  // The request, as encryptMessage builds a record: header, data, trailer.
  char record[5 + 32 + 128];
  int n = std::snprintf(record + 5, 32, "%lld\n", bytes);
  SecBuffer parts[4] = {{5, SECBUFFER_STREAM_HEADER, record},
                        {static_cast<unsigned long>(n), SECBUFFER_DATA, record + 5},
                        {128, SECBUFFER_STREAM_TRAILER, record + 5 + n},
                        {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc msg = {SECBUFFER_VERSION, 4, parts};
  if (c.table->EncryptMessage(&ctx, 0, &msg, 0) != SEC_E_OK) return failed("EncryptMessage");
  if (!send_all(fd, record, parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer)) return false;
  for (;;) {
    // The records read are decrypted where they lie; what is left of the
    // last one moves to the front once per socket read.
    size_t off = 0;
    while (len > 0) {
      SecBuffer b[4] = {{static_cast<unsigned long>(len), SECBUFFER_DATA, c.in.data() + off},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc d = {SECBUFFER_VERSION, 4, b};
      SECURITY_STATUS st = c.table->DecryptMessage(&ctx, &d, 0, nullptr);
      if (st == SEC_E_INCOMPLETE_MESSAGE) break;
      if (st == SEC_I_CONTEXT_EXPIRED) {
        // The server's close-notify: the disconnect call gives ours, if
        // the package has one to send, as the bridge's caller does.
        len = 0;
        package_step(c, ctx, false, target, fd, len, true);
        return true;
      }
      if (st != SEC_E_OK) return failed("DecryptMessage");
      const SecBuffer* extra = nullptr;
      for (int i = 1; i < 4; ++i) {
        if (b[i].BufferType == SECBUFFER_DATA && b[i].cbBuffer) {
          auto* p = static_cast<const unsigned char*>(b[i].pvBuffer);
          size_t from = 0;
          if (mark < 0) {
            mark = p[0];
            from = 1;
          }
          if (check) {
            for (size_t k = from; k < b[i].cbBuffer; ++k) {
              unsigned long long at = static_cast<unsigned long long>(got) + (k - from);
              if (p[k] != static_cast<unsigned char>((at % 16384) * 131 + 7)) return failed("wrong data");
            }
          }
          got += static_cast<long long>(b[i].cbBuffer - from);
        } else if (b[i].BufferType == SECBUFFER_EXTRA) {
          extra = &b[i];
        }
      }
      size_t rest = extra ? extra->cbBuffer : 0;
      off = rest ? static_cast<size_t>(static_cast<unsigned char*>(extra->pvBuffer) - c.in.data()) : 0;
      len = rest;
    }
    if (off && len) std::memmove(c.in.data(), c.in.data() + off, len);
    if (!fill(c, fd, len)) return false;
  }
}

// One connection through the package, as `connection` makes it with libssl.
bool package_connection(PackageClient& c, int version, int port, bool resume, size_t readSize, long long bytes,
                        bool check, int& mark) {
  if (!c.have && !package_credential(c, version)) return false;
  if (c.in.size() != readSize) c.in.assign(readSize, 0);
  std::string target = resume ? "localhost" : "full-" + std::to_string(c.fresh++) + ".localhost";
  int fd = dial(port);
  if (fd < 0) return failed("connect");
  CtxtHandle ctx{};
  mark = -1;
  long long got = 0;
  bool ok = package_exchange(c, ctx, target.c_str(), fd, bytes, check, mark, got);
  if (ok) {
    unsigned char rest[256];
    while (recv(fd, rest, sizeof rest, 0) > 0) {
    }
  }
  if (ctx.dwLower || ctx.dwUpper) c.table->DeleteSecurityContext(&ctx);
  close(fd);
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
  std::map<int, PackageClient> packages;          // by version: one credential each
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
    PackageClient& pc = packages[version];
    bool package = cmd == 'D' || cmd == 'H';
    auto one = [&](bool resume, size_t readSize, long long bytes, bool check, int& mark) {
      return package ? package_connection(pc, version, port, resume, readSize, bytes, check, mark)
                     : connection(c, port, resume, readSize, bytes, check, mark);
    };
    int mark = 0;
    long long t0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_THREAD_CPUTIME_ID);
    if (ok && (cmd == 'd' || cmd == 'D') && a > 0) {
      ok = one(true, static_cast<size_t>(a), b, d != 0, mark);
      if (ok) std::printf("%lld %lld\n", now(CLOCK_MONOTONIC) - t0, now(CLOCK_THREAD_CPUTIME_ID) - c0);
    } else if (ok && (cmd == 'h' || cmd == 'H')) {
      long long n = 0, resumed = 0, wall = 0;
      do {
        ok = one(a != 0, 16384 + 5 + 128, 0, false, mark);
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
  for (auto& kv : packages)
    if (kv.second.have) kv.second.table->FreeCredentialsHandle(&kv.second.cred);
  return 0;
}
