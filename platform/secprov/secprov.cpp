// libsecprov: the TLS security package behind the SSPI function table, and
// its context queries.
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "package.h"

namespace secprov {

namespace {

// The stream sizes' buffer count (header, data, trailer, extra) and block
// size: the AES block, as a record's cipher block is reported; a stream
// cipher's block is one byte.
constexpr unsigned long kMessageBuffers = 4;
constexpr unsigned long kBlockSize = 16;
constexpr DWORD kStreamBlock = 1;

// Every entry of the table that the package does not offer.
SECURITY_STATUS SEC_ENTRY unsupported() { return SEC_E_UNSUPPORTED_FUNCTION; }
SECURITY_STATUS SEC_ENTRY accept_unsupported(PCredHandle, PCtxtHandle, PSecBufferDesc, unsigned long,
                                             unsigned long, PCtxtHandle, PSecBufferDesc,
                                             unsigned long*, PTimeStamp) {
  CSP_ENTRY;
  return SEC_E_UNSUPPORTED_FUNCTION;
}

SECURITY_STATUS SEC_ENTRY FreeContextBuffer(void* p) {
  CSP_ENTRY;
  std::free(p);
  return SEC_E_OK;
}

DWORD protocol_bits(const SSL* ssl, bool client) {
  switch (SSL_version(ssl)) {
    case TLS1_3_VERSION:
      return client ? SP_PROT_TLS1_3_CLIENT : SP_PROT_TLS1_3_SERVER;
    case TLS1_2_VERSION:
      return client ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_2_SERVER;
    default:
      return 0;
  }
}

void put_wide(WCHAR (&dst)[SZ_ALG_MAX_SIZE], const char* src) {
  size_t i = 0;
  for (; src && src[i] && i + 1 < SZ_ALG_MAX_SIZE; ++i) dst[i] = static_cast<WCHAR>(src[i]);
  dst[i] = 0;
}

const char* cipher_name(int nid) {
  switch (nid) {
    case NID_aes_128_gcm:
    case NID_aes_256_gcm:
      return "AES";
    case NID_chacha20_poly1305:
      return "CHACHA20_POLY1305";
    default:
      return OBJ_nid2sn(nid);
  }
}

const char* exchange_name(int nid) {
  switch (nid) {
    case NID_kx_ecdhe:
      return "ECDHE";
    case NID_kx_dhe:
      return "DH";
    case NID_kx_rsa:
      return "RSA";
    default:
      return "";  // TLS 1.3: any
  }
}

ALG_ID cipher_alg(int nid) {
  switch (nid) {
    case NID_aes_128_gcm:
      return CALG_AES_128;
    case NID_aes_256_gcm:
      return CALG_AES_256;
    default:
      return 0;
  }
}

ALG_ID hash_alg(const EVP_MD* md) {
  switch (md ? EVP_MD_get_type(md) : 0) {
    case NID_sha256:
      return CALG_SHA_256;
    case NID_sha384:
      return CALG_SHA_384;
    default:
      return 0;
  }
}

ALG_ID exchange_alg(int nid, int version) {
  if (version == TLS1_3_VERSION || nid == NID_kx_ecdhe) return CALG_ECDH_EPHEM;
  if (nid == NID_kx_dhe) return CALG_DH_EPHEM;
  if (nid == NID_kx_rsa) return CALG_RSA_KEYX;
  return 0;
}

SECURITY_STATUS cipher_info(Context& c, SecPkgContext_CipherInfo* out) {
  if (!c.session.established()) return SEC_E_INVALID_HANDLE;
  const SSL_CIPHER* cipher = SSL_get_current_cipher(c.session.ssl());
  if (!cipher) return SEC_E_INVALID_HANDLE;
  std::memset(out, 0, sizeof *out);
  out->dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  out->dwProtocol = protocol_bits(c.session.ssl(), (c.session.role() == Role::Client));
  out->dwCipherSuite = SSL_CIPHER_get_protocol_id(cipher);
  out->dwBaseCipherSuite = out->dwCipherSuite;
  put_wide(out->szCipherSuite, SSL_CIPHER_standard_name(cipher));
  put_wide(out->szCipher, cipher_name(SSL_CIPHER_get_cipher_nid(cipher)));
  int alg_bits = 0;
  out->dwCipherLen = static_cast<DWORD>(SSL_CIPHER_get_bits(cipher, &alg_bits));
  out->dwCipherBlockLen = SSL_CIPHER_get_cipher_nid(cipher) == NID_chacha20_poly1305 ? kStreamBlock : kBlockSize;
  const EVP_MD* md = SSL_CIPHER_get_handshake_digest(cipher);
  put_wide(out->szHash, md ? EVP_MD_get0_name(md) : "");
  out->dwHashLen = md ? static_cast<DWORD>(EVP_MD_get_size(md) * 8) : 0;
  put_wide(out->szExchange, exchange_name(SSL_CIPHER_get_kx_nid(cipher)));
  EVP_PKEY* tmp = nullptr;
  if (SSL_get_peer_tmp_key(c.session.ssl(), &tmp)) {
    out->dwMinExchangeLen = out->dwMaxExchangeLen = static_cast<DWORD>(EVP_PKEY_get_bits(tmp));
    EVP_PKEY_free(tmp);
  }
  X509* peer = SSL_get0_peer_certificate(c.session.ssl());
  EVP_PKEY* pub = peer ? X509_get0_pubkey(peer) : nullptr;
  put_wide(out->szCertificate, pub ? (EVP_PKEY_get_base_id(pub) == EVP_PKEY_EC ? "ECDSA" : "RSA") : "");
  return SEC_E_OK;
}

SECURITY_STATUS connection_info(Context& c, SecPkgContext_ConnectionInfo* out) {
  if (!c.session.established()) return SEC_E_INVALID_HANDLE;
  const SSL_CIPHER* cipher = SSL_get_current_cipher(c.session.ssl());
  if (!cipher) return SEC_E_INVALID_HANDLE;
  std::memset(out, 0, sizeof *out);
  out->dwProtocol = protocol_bits(c.session.ssl(), (c.session.role() == Role::Client));
  out->aiCipher = cipher_alg(SSL_CIPHER_get_cipher_nid(cipher));
  out->dwCipherStrength = static_cast<DWORD>(SSL_CIPHER_get_bits(cipher, nullptr));
  const EVP_MD* md = SSL_CIPHER_get_handshake_digest(cipher);
  out->aiHash = hash_alg(md);
  out->dwHashStrength = md ? static_cast<DWORD>(EVP_MD_get_size(md) * 8) : 0;
  out->aiExch = exchange_alg(SSL_CIPHER_get_kx_nid(cipher), SSL_version(c.session.ssl()));
  EVP_PKEY* tmp = nullptr;
  if (SSL_get_peer_tmp_key(c.session.ssl(), &tmp)) {
    out->dwExchStrength = static_cast<DWORD>(EVP_PKEY_get_bits(tmp));
    EVP_PKEY_free(tmp);
  }
  return SEC_E_OK;
}

SECURITY_STATUS session_info(Context& c, SecPkgContext_SessionInfo* out) {
  SSL_SESSION* s = SSL_get_session(c.session.ssl());
  if (!s || !c.session.established()) return SEC_E_INVALID_HANDLE;
  unsigned int len = 0;
  const unsigned char* id = SSL_SESSION_get_id(s, &len);
  std::memset(out, 0, sizeof *out);
  out->dwFlags = SSL_session_reused(c.session.ssl()) ? SSL_SESSION_RECONNECT : 0;
  out->cbSessionId = std::min<unsigned>(len, sizeof out->rgbSessionId);
  std::memcpy(out->rgbSessionId, id, out->cbSessionId);
  return SEC_E_OK;
}

// The CA names of the server's certificate request, in one block the caller
// frees with FreeContextBuffer: the blobs, then the encoded names.
SECURITY_STATUS issuer_list(Context& c, SecPkgContext_IssuerListInfoEx* out) {
  out->aIssuers = nullptr;
  out->cIssuers = 0;
  const STACK_OF(X509_NAME)* names = SSL_get0_peer_CA_list(c.session.ssl());
  int count = names ? sk_X509_NAME_num(names) : 0;
  if (count == 0) return SEC_E_OK;
  std::vector<std::vector<unsigned char>> der;
  size_t total = sizeof(CERT_NAME_BLOB) * size_t(count);
  for (int i = 0; i < count; ++i) {
    unsigned char* enc = nullptr;
    int n = i2d_X509_NAME(sk_X509_NAME_value(names, i), &enc);
    if (n < 0) return SEC_E_INTERNAL_ERROR;
    der.emplace_back(enc, enc + n);
    OPENSSL_free(enc);
    total += size_t(n);
  }
  auto* block = static_cast<unsigned char*>(std::malloc(total));
  if (!block) return SEC_E_INSUFFICIENT_MEMORY;
  auto* blobs = reinterpret_cast<CERT_NAME_BLOB*>(block);
  unsigned char* at = block + sizeof(CERT_NAME_BLOB) * size_t(count);
  for (int i = 0; i < count; ++i) {
    blobs[i].cbData = static_cast<DWORD>(der[i].size());
    blobs[i].pbData = at;
    std::memcpy(at, der[i].data(), der[i].size());
    at += der[i].size();
  }
  out->aIssuers = blobs;
  out->cIssuers = static_cast<DWORD>(count);
  return SEC_E_OK;
}

// The peer's certificate in a memory store of its own that holds the chain
// the peer sent (after a resumption: the certificate alone). The caller
// frees the context; the store goes with it.
SECURITY_STATUS remote_certificate(Context& c, PCCERT_CONTEXT* out) {
  *out = nullptr;
  if (!c.session.established()) return SEC_E_INVALID_HANDLE;
  std::vector<X509*> certs;
  if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(c.session.ssl()))
    for (int i = 0; i < sk_X509_num(chain); ++i) certs.push_back(sk_X509_value(chain, i));
  if (!(c.session.role() == Role::Client) || certs.empty()) {
    certs.clear();
    if (X509* peer = SSL_get0_peer_certificate(c.session.ssl())) certs.push_back(peer);
  }
  if (certs.empty()) return SEC_E_NO_CREDENTIALS;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!store) return SEC_E_INTERNAL_ERROR;
  PCCERT_CONTEXT leaf = nullptr;
  bool ok = true;
  for (size_t i = 0; ok && i < certs.size(); ++i) {
    unsigned char* der = nullptr;
    int len = i2d_X509(certs[i], &der);
    ok = len > 0 && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, static_cast<DWORD>(len),
                                                     CERT_STORE_ADD_USE_EXISTING, i == 0 ? &leaf : nullptr);
    OPENSSL_free(der);
  }
  if (!ok && leaf) {
    CertFreeCertificateContext(leaf);
    leaf = nullptr;
  }
  CertCloseStore(store, 0);
  if (!leaf) return SEC_E_INTERNAL_ERROR;
  *out = leaf;
  return SEC_E_OK;
}

}  // namespace

SECURITY_STATUS SEC_ENTRY QueryContextAttributesA(PCtxtHandle phContext, unsigned long ulAttribute,
                                                  void* pBuffer) {
  CSP_ENTRY;
  return guarded([&]() -> SECURITY_STATUS {
    auto c = context_of(phContext);
    if (!c) return SEC_E_INVALID_HANDLE;
    if (!pBuffer) return SEC_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(c->mu);
    switch (ulAttribute) {
      case SECPKG_ATTR_STREAM_SIZES: {
        auto* s = static_cast<SecPkgContext_StreamSizes*>(pBuffer);
        *s = SecPkgContext_StreamSizes{TlsSession::header_size(), TlsSession::trailer_size(),
                                       TlsSession::max_message(), kMessageBuffers, kBlockSize};
        return SEC_E_OK;
      }
      case SECPKG_ATTR_CIPHER_INFO:
        return cipher_info(*c, static_cast<SecPkgContext_CipherInfo*>(pBuffer));
      case SECPKG_ATTR_CONNECTION_INFO:
        return connection_info(*c, static_cast<SecPkgContext_ConnectionInfo*>(pBuffer));
      case SECPKG_ATTR_SESSION_INFO:
        return session_info(*c, static_cast<SecPkgContext_SessionInfo*>(pBuffer));
      case SECPKG_ATTR_REMOTE_CERT_CONTEXT:
      case SECPKG_ATTR_REMOTE_CERT_CHAIN:
        return remote_certificate(*c, static_cast<PCCERT_CONTEXT*>(pBuffer));
      case SECPKG_ATTR_ISSUER_LIST_EX:
        return issuer_list(*c, static_cast<SecPkgContext_IssuerListInfoEx*>(pBuffer));
      default:
        return SEC_E_UNSUPPORTED_FUNCTION;
    }
  });
}

namespace {

SecurityFunctionTableA make_table() {
  SecurityFunctionTableA t{};
  void* none = reinterpret_cast<void*>(&unsupported);
  t.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION_2;
  t.EnumerateSecurityPackagesA = none;
  t.QueryCredentialsAttributesA = none;
  t.AcquireCredentialsHandleA = AcquireCredentialsHandleA;
  t.FreeCredentialsHandle = FreeCredentialsHandle;
  t.InitializeSecurityContextA = InitializeSecurityContextA;
  t.AcceptSecurityContext = accept_unsupported;
  t.CompleteAuthToken = none;
  t.DeleteSecurityContext = DeleteSecurityContext;
  t.ApplyControlToken = ApplyControlToken;
  t.QueryContextAttributesA = QueryContextAttributesA;
  t.ImpersonateSecurityContext = none;
  t.RevertSecurityContext = none;
  t.MakeSignature = none;
  t.VerifySignature = none;
  t.FreeContextBuffer = FreeContextBuffer;
  t.QuerySecurityPackageInfoA = none;
  t.ExportSecurityContext = none;
  t.ImportSecurityContextA = none;
  t.AddCredentialsA = none;
  t.QuerySecurityContextToken = none;
  t.EncryptMessage = EncryptMessage;
  t.DecryptMessage = DecryptMessage;
  t.SetContextAttributesA = none;
  return t;
}

const SecurityFunctionTableA g_table = make_table();

}  // namespace

}  // namespace secprov

extern "C" CSPAPI PSecurityFunctionTableA SEC_ENTRY InitSecurityInterfaceA(void) {
  CSP_ENTRY;
  return const_cast<PSecurityFunctionTableA>(&secprov::g_table);
}
