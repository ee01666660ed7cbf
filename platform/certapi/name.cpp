// Names and times: CertGetNameStringA, FILETIME from and to ASN.1 times,
// conversions between wide text and code pages.
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>

#include "apiutil.h"
#include "certobj.h"

namespace csp::cert {

namespace {

constexpr int64_t kUnixEpochIn1601 = 11644473600LL;  // seconds from 1601 to 1970
constexpr int64_t kTicksPerSecond = 10000000LL;

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = unsigned(y - era * 400);
  unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = unsigned(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = int64_t(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

// A value that does not convert reads as empty; OpenSSL's error for it is
// dropped, as is that of an alternative-name extension that does not decode
// (read as absent).
std::string entry_text(const X509_NAME_ENTRY* e) {
  unsigned char* utf8 = nullptr;
  int n = probe([&] { return ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e)); });
  std::string out;
  if (n > 0) out.assign(reinterpret_cast<char*>(utf8), size_t(n));
  OPENSSL_free(utf8);
  return out;
}

// The first value of attribute `nid` in the name; empty when absent.
std::string attr_text(const X509_NAME* n, int nid) {
  int i = X509_NAME_get_index_by_NID(n, nid, -1);
  return i < 0 ? std::string() : entry_text(X509_NAME_get_entry(n, i));
}

// The first subject alternative name of a type.
std::string alt_name(X509* x, int type) {
  auto* names = static_cast<GENERAL_NAMES*>(
      probe([&] { return X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr); }));
  std::string out;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && out.empty(); ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
    if (g->type != type) continue;
    const ASN1_IA5STRING* s = g->d.ia5;
    out.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), size_t(ASN1_STRING_length(s)));
  }
  GENERAL_NAMES_free(names);
  return out;
}

// CERT_NAME_SIMPLE_DISPLAY_TYPE: the common name, else the first attribute.
std::string simple_display(const X509_NAME* n) {
  std::string cn = attr_text(n, NID_commonName);
  if (!cn.empty()) return cn;
  for (int i = 0; i < X509_NAME_entry_count(n); ++i) {
    std::string v = entry_text(X509_NAME_get_entry(n, i));
    if (!v.empty()) return v;
  }
  return std::string();
}

}  // namespace

bool asn1_to_filetime(const ASN1_TIME* t, FILETIME& out) {
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return false;
  int64_t days = days_from_civil(int64_t(tm.tm_year) + 1900, unsigned(tm.tm_mon + 1),
                                 unsigned(tm.tm_mday));
  int64_t secs = days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec + kUnixEpochIn1601;
  if (secs < 0) return false;
  uint64_t ticks = uint64_t(secs) * uint64_t(kTicksPerSecond);
  out.dwLowDateTime = DWORD(ticks);
  out.dwHighDateTime = DWORD(ticks >> 32);
  return true;
}

bool filetime_to_generalized(const FILETIME& ft, std::string& out) {
  uint64_t ticks = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  int64_t secs = int64_t(ticks / uint64_t(kTicksPerSecond)) - kUnixEpochIn1601;
  int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
  int64_t rem = secs - days * 86400;
  int64_t y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  if (y < 1 || y > 9999) return false;
  char buf[32];
  snprintf(buf, sizeof buf, "%04d%02u%02u%02d%02d%02dZ", int(y), m, d, int(rem / 3600),
           int(rem / 60 % 60), int(rem % 60));
  out = buf;
  return true;
}

std::string narrow(const std::wstring& w, UINT cp) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(cp, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(cp, 0, w.data(), int(w.size()), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring widen(const std::string& s, UINT cp) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(cp, 0, s.data(), int(s.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(cp, 0, s.data(), int(s.size()), &out[0], n);
  return out;
}

std::wstring x500_text(const X509_NAME* n) {
  std::string out;
  for (int i = 0; i < X509_NAME_entry_count(n); ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(n, i);
    int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(e));
    const char* key = nid == NID_pkcs9_emailAddress  ? "E"
                      : nid == NID_stateOrProvinceName ? "S"
                      : nid != NID_undef               ? OBJ_nid2sn(nid)
                                                       : nullptr;
    char oid[128] = {0};
    if (!key) {
      OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(e), 1);
      key = oid;
    }
    if (!out.empty()) out += ", ";
    out += key;
    out += '=';
    out += entry_text(e);
  }
  return widen(out, CP_UTF8);
}

}  // namespace csp::cert

using namespace csp;
using namespace csp::cert;

extern "C" CSPAPI DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType,
                                                  DWORD dwFlags, void* pvTypePara,
                                                  LPSTR pszNameString, DWORD cchNameString) {
  CSP_ENTRY;
  return guarded_value<DWORD>(1, [&]() -> DWORD {
    if (pszNameString && cchNameString) *pszNameString = '\0';
    auto c = resolve(pCertContext);
    if (!c) {
      SetLastError(DWORD(E_INVALIDARG));
      return 1;
    }
    X509* x = c->x509.get();
    const X509_NAME* name =
        (dwFlags & CERT_NAME_ISSUER_FLAG) ? X509_get_issuer_name(x) : X509_get_subject_name(x);
    std::wstring wide;
    std::string utf8;
    switch (dwType) {
      case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
        {
          std::lock_guard<std::mutex> lock(c->mu);
          auto it = c->props.find(CERT_FRIENDLY_NAME_PROP_ID);
          if (!(dwFlags & CERT_NAME_ISSUER_FLAG) && it != c->props.end()) {
            size_t chars = it->second.size() / sizeof(WCHAR);
            wide.assign(reinterpret_cast<const WCHAR*>(it->second.data()), chars);
            wide.resize(wcsnlen(wide.c_str(), wide.size()));
          }
        }
        if (wide.empty()) utf8 = simple_display(name);
        break;
      }
      case CERT_NAME_SIMPLE_DISPLAY_TYPE:
        utf8 = simple_display(name);
        break;
      case CERT_NAME_ATTR_TYPE:
        if (pvTypePara) {
          ASN1_OBJECT* o = OBJ_txt2obj(static_cast<const char*>(pvTypePara), 1);
          int i = o ? X509_NAME_get_index_by_OBJ(name, o, -1) : -1;
          if (i >= 0) utf8 = entry_text(X509_NAME_get_entry(name, i));
          ASN1_OBJECT_free(o);
        }
        break;
      case CERT_NAME_EMAIL_TYPE:
        utf8 = (dwFlags & CERT_NAME_ISSUER_FLAG) ? std::string() : alt_name(x, GEN_EMAIL);
        if (utf8.empty()) utf8 = attr_text(name, NID_pkcs9_emailAddress);
        break;
      case CERT_NAME_DNS_TYPE:
        utf8 = (dwFlags & CERT_NAME_ISSUER_FLAG) ? std::string() : alt_name(x, GEN_DNS);
        if (utf8.empty()) utf8 = attr_text(name, NID_commonName);
        break;
      case CERT_NAME_URL_TYPE:
        if (!(dwFlags & CERT_NAME_ISSUER_FLAG)) utf8 = alt_name(x, GEN_URI);
        break;
      case CERT_NAME_RDN_TYPE:
        wide = x500_text(name);
        break;
      default:
        break;
    }
    if (wide.empty()) wide = widen(utf8, CP_UTF8);
    // The answer is in the ANSI code page, as container names are.
    std::string out = narrow(wide, CP_ACP);
    DWORD need = DWORD(out.size() + 1);
    if (!pszNameString || cchNameString == 0) return need;
    DWORD n = std::min<DWORD>(need - 1, cchNameString - 1);
    memcpy(pszNameString, out.data(), n);
    pszNameString[n] = '\0';
    return n + 1;
  });
}
