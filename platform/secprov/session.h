// A TLS session in stream mode: an SSL object that reads the caller's bytes
// in place for the length of a call and writes into a memory BIO, and that
// is handed only whole records, so that nothing stays buffered inside between
// calls and whatever it did not take is the caller's again. It knows records,
// handshake steps and faults; how a caller's buffers and statuses look is the
// SSPI front's business (context.cpp).
//
// A session is not thread safe: its owner serialises the calls on it.
#ifndef SECPROV_SESSION_H
#define SECPROV_SESSION_H

#include <openssl/ssl.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "osslptr.h"

namespace secprov {

using SslPtr = csp::OsslPtr<SSL, SSL_free>;
using SessionPtr = csp::OsslPtr<SSL_SESSION, SSL_SESSION_free>;

// Record layer limits: a record's header, the largest plaintext of one
// record, and the most a session adds behind the plaintext of a record it
// builds (AEAD tag or CBC MAC and padding, plus room for a short
// post-handshake record, such as a key update reply, that goes out first).
constexpr unsigned kRecordHeader = 5;
constexpr unsigned kMaxPlaintext = 16384;
constexpr unsigned kMaxTrailer = 128;
constexpr unsigned kMaxRecordBody = kMaxPlaintext + 2048;
// A peer's records that carry no application data (tickets, key updates,
// renegotiation requests, empty records) accepted in a row: beyond it the
// peer is flooding. And the most that post-handshake replies (key updates)
// may pile up for the peer: what fits in a trailer beside a record's own
// expansion.
constexpr unsigned kMaxIdleRecords = 32;
constexpr unsigned kMaxPendingReplies = kMaxTrailer - 32;

// The length of the whole records at the start of [p, p + n): `complete`
// bytes; `missing` is what the next record still lacks (0 when none is
// started). False for a record longer than TLS allows.
bool whole_records(const unsigned char* p, size_t n, size_t& complete, size_t& missing);

// Client sessions by target name, for resumption; shared by the sessions of
// one SSL_CTX. Its mutex is taken inside session calls (libssl callbacks).
class SessionCache {
 public:
  SessionPtr take(const std::string& target);
  void keep(const std::string& target, SSL_SESSION* session);

 private:
  std::mutex mu_;
  std::map<std::string, SessionPtr> sessions_;
};

enum class Role { Client, Server };

// Handshake: negotiating (the first handshake or a renegotiation); Open:
// records flow; Closed: a close-notify was sent or received; Failed: a
// fault ended the session, and every later call reports it.
enum class State { Handshake, Open, Closed, Failed };

// Why a session failed.
enum class Fault {
  None,
  Negotiation,  // no protocol version or cipher suite both sides accept
  Tampered,     // a record failed its integrity check
  Certificate,  // the peer's certificate failed a check (cert_error() says which)
  Protocol,     // a malformed or unexpected message, or the peer's fatal alert
  Seal,         // a record could not be built
  Internal,
};

// The certificate and key that answer a certificate request, owned by the
// caller for the duration of the call that passes them.
struct Identity {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
};

// What a handshake call came to.
enum class Progress {
  Incomplete,         // no whole record in the input: nothing was done
  NeedInput,          // waiting for the peer (output may be due: take_output)
  Done,               // the handshake completed
  CertificateWanted,  // the peer asked for a certificate: call again with the answer
  Failed,             // see fault()
};

// What opening one record came to.
struct Opened {
  enum Kind {
    Data,         // `length` bytes of plaintext (0: a record without any, such as a ticket)
    Incomplete,   // the first record is not whole: `missing` bytes short
    Closed,       // the peer's close-notify
    Renegotiate,  // the peer asks for a new handshake
    Failed,       // see fault()
  } kind;
  size_t record = 0;  // the input bytes of the record taken
  size_t length = 0;
  size_t missing = 0;
};

// The last alert a session sent or received (0, 0: none).
struct Alert {
  int level = 0;        // 1 warning, 2 fatal
  int description = 0;  // the alert's number
};

class TlsSession {
 public:
  explicit TlsSession(Role role) : role_(role) {}
  // A session that completed a handshake and did not fail stays resumable
  // even when it ends without our close-notify.
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Makes the SSL object from `ctx` (prepared with prepare_client_context
  // for a client). False: out of memory.
  bool start(SSL_CTX* ctx, SessionCache* cache);
  // The server's name: SNI and the host name check for a DNS name, the
  // address check for an IP address (checks only when `check`). False: a
  // name libssl refuses.
  bool set_peer_name(const std::string& name, bool check);
  // The ALPN protocol list, in its wire form. False: refused.
  bool set_alpn(const unsigned char* list, size_t n);
  // Offers the cached session for the peer name, if any.
  void resume();

  // Hands the whole records at the start of [in, in + n) to the handshake
  // and runs it on; the first call, with no input, makes our first flight.
  // `taken`: the input bytes consumed; `missing`: what the first record
  // lacks when none was whole. `answer` answers a certificate request.
  Progress handshake(const unsigned char* in, size_t n, size_t& taken, size_t& missing,
                     const Identity* answer = nullptr);
  // Seals `n` bytes (1 to kMaxPlaintext) into one record, appended to
  // `out` after any post-handshake record due first. False: failed.
  bool seal(const void* plain, size_t n, std::vector<unsigned char>& out);
  // Opens the first record of [in, in + n), its plaintext written to
  // `plain`, which has room for the record's body (the record's length less
  // kRecordHeader). A record without application data (a ticket, a key
  // update) gives Data of length 0.
  Opened open(const unsigned char* in, size_t n, unsigned char* plain);
  // Queues our close-notify; the session is closed.
  void close();

  // Everything queued for the peer so far (records of the handshake, alerts,
  // close-notify), taken out.
  std::vector<unsigned char> take_output();
  bool has_output() const;

  // Ends the session after a fault of the caller's finding.
  void fail(Fault f);

  Role role() const { return role_; }
  State state() const { return state_; }
  Fault fault() const { return fault_; }
  // Whether a certificate check failed, and the first that did (X509_V_ERR_*).
  bool cert_failed() const { return cert_failed_; }
  int cert_error() const { return cert_error_; }
  // Whether the session queries have a session to describe: a handshake
  // completed and no failure since.
  bool established() const { return established_ && state_ != State::Failed; }
  bool certificate_requested() const { return cert_request_ == CertRequest::Reported; }
  Alert alert_sent() const { return sent_; }
  Alert alert_received() const { return received_; }
  const std::string& peer_name() const { return peer_; }
  // For the session's queries (cipher, peer certificates).
  SSL* ssl() const { return ssl_.get(); }

  static constexpr size_t header_size() { return kRecordHeader; }
  static constexpr size_t trailer_size() { return kMaxTrailer; }
  static constexpr size_t max_message() { return kMaxPlaintext; }

 private:
  // Where a peer's request for our certificate stands when we hold none.
  enum class CertRequest {
    None,      // not asked for, or answered
    Reported,  // CertificateWanted went to the caller; its next call answers
  };

  Progress step();
  Fault fault_of_error() const;
  // The caller's bytes as the input of this call; discard_input ends the
  // view and says how many libssl left unread.
  void offer_input(const unsigned char* in, size_t n);
  size_t discard_input();

  friend struct Callbacks;  // libssl's callbacks into the session

  Role role_;
  SslPtr ssl_;
  BIO* rbio_ = nullptr;  // owned by ssl_: records from the peer, read in place
  BIO* wbio_ = nullptr;  // owned by ssl_: records for the peer
  SessionCache* cache_ = nullptr;
  std::string peer_;
  State state_ = State::Handshake;
  bool established_ = false;  // a handshake has completed
  unsigned idle_records_ = 0;  // records in a row without application data
  Fault fault_ = Fault::None;
  bool cert_failed_ = false;
  int cert_error_ = 0;
  CertRequest cert_request_ = CertRequest::None;
  const Identity* answer_ = nullptr;  // during a handshake call only
  Alert sent_, received_;
};

// Sets a client SSL_CTX up for sessions: the session cache callback, the
// certificate request callback and, when `verify`, automatic validation of
// the server's chain (the first failed check becomes the fault).
void prepare_client_context(SSL_CTX* ctx, bool verify);

}  // namespace secprov

#endif
