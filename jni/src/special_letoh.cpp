// The little-endian to host structure copies. Every integer field is read as
// four stored little-endian bytes; on the little-endian hosts built here that
// is the stored value itself, so applied in place they change no byte.
#include <cstring>

#include "structs.h"

namespace quill {

namespace {

DWORD le32(const void* p) {
  const BYTE* b = static_cast<const BYTE*>(p);
  return DWORD(b[0]) | DWORD(b[1]) << 8 | DWORD(b[2]) << 16 | DWORD(b[3]) << 24;
}

// Copies a structure into a local first, then writes each listed field of
// dst from it (so dst == src is safe).
template <class T>
T snapshot(const T* src) {
  T local;
  std::memcpy(&local, src, sizeof local);
  return local;
}

void header_bytes(BLOBHEADER* dst, const BLOBHEADER* src) {
  const BYTE* s = reinterpret_cast<const BYTE*>(src);
  BYTE* d = reinterpret_cast<BYTE*>(dst);
  d[0] = s[0];  // bType
  d[1] = s[1];  // bVersion
  d[2] = s[2];  // reserved, byte for byte
  d[3] = s[3];
}

}  // namespace

void letoh32_inplace(void* p) {
  DWORD v = le32(p);
  std::memcpy(p, &v, 4);
}

BOOL letohbh_copy(BLOBHEADER* dst, BLOBHEADER* src) {
  header_bytes(dst, src);
  if (dst != src) dst->aiKeyAlg = le32(&src->aiKeyAlg);
  return TRUE;
}

BOOL letohpbh_copy(CRYPT_PUBKEY_INFO_HEADER* dst, CRYPT_PUBKEY_INFO_HEADER* src) {
  CRYPT_PUBKEY_INFO_HEADER s = snapshot(src);
  letohbh_copy(&dst->BlobHeader, &s.BlobHeader);
  dst->KeyParam.Magic = le32(&s.KeyParam.Magic);
  dst->KeyParam.BitLen = le32(&s.KeyParam.BitLen);
  return TRUE;
}

BOOL letohsbh_copy(CRYPT_SIMPLEBLOB_HEADER* dst, CRYPT_SIMPLEBLOB_HEADER* src) {
  CRYPT_SIMPLEBLOB_HEADER s = snapshot(src);
  letohbh_copy(&dst->BlobHeader, &s.BlobHeader);
  dst->Magic = le32(&s.Magic);
  dst->EncryptKeyAlgId = le32(&s.EncryptKeyAlgId);
  return TRUE;
}

BOOL letohdbh_copy(CRYPT_DIVERSBLOBHEADER* dst, CRYPT_DIVERSBLOBHEADER* src) {
  CRYPT_DIVERSBLOBHEADER s = snapshot(src);
  letohbh_copy(&dst->BlobHeader, &s.BlobHeader);
  dst->aiDiversAlgId = le32(&s.aiDiversAlgId);
  dst->dwDiversMagic = le32(&s.dwDiversMagic);
  dst->cbDiversData = le32(&s.cbDiversData);
  return TRUE;
}

BOOL letohtdbh_copy(CRYPT_KDF_TREE_DIVERSBLOB_HEADER* dst, CRYPT_KDF_TREE_DIVERSBLOB_HEADER* src) {
  CRYPT_KDF_TREE_DIVERSBLOB_HEADER s = snapshot(src);
  letohbh_copy(&dst->BlobHeader, &s.BlobHeader);
  dst->aiDiversAlgId = le32(&s.aiDiversAlgId);
  dst->dwIterNum = le32(&s.dwIterNum);
  return TRUE;
}

BOOL letohtdi_copy(CRYPT_KDF_TREE_DIVERS_INFO* dst, CRYPT_KDF_TREE_DIVERS_INFO* src) {
  CRYPT_KDF_TREE_DIVERS_INFO s = snapshot(src);
  dst->L_value = le32(&s.L_value);
  dst->R_value = le32(&s.R_value);
  dst->dwSeedLen = le32(&s.dwSeedLen);
  dst->dwLabelLen = le32(&s.dwLabelLen);
  return TRUE;
}

BOOL letohce_copy(CONTAINER_EXTENSION* dst, CONTAINER_EXTENSION* src) {
  CONTAINER_EXTENSION s = snapshot(src);
  dst->cbExtension = le32(&s.cbExtension);
  return TRUE;
}

BOOL letoh_rsa_sbh_copy(BLOBHEADER* dst, BLOBHEADER* src) { return letohbh_copy(dst, src); }
BOOL letoh_rsa_p8h_copy(BLOBHEADER* dst, BLOBHEADER* src) { return letohbh_copy(dst, src); }

BOOL letoh_rsa_pbh_copy(RSA_BLOB_HEADER* dst, RSA_BLOB_HEADER* src) {
  header_bytes(&dst->hdr, &src->hdr);
  if (dst != src) {
    dst->hdr.aiKeyAlg = le32(&src->hdr.aiKeyAlg);
    dst->rsa.magic = le32(&src->rsa.magic);
    dst->rsa.bitlen = le32(&src->rsa.bitlen);
    dst->rsa.pubexp = le32(&src->rsa.pubexp);
  }
  return TRUE;
}

BOOL letoh_rsa_prh_copy(RSA_BLOB_HEADER* dst, RSA_BLOB_HEADER* src) {
  return letoh_rsa_pbh_copy(dst, src);
}

BOOL letohvex_copy(PROV_PP_VERSION_EX* dst, PROV_PP_VERSION_EX* src) {
  PROV_PP_VERSION_EX s = snapshot(src);
  dst->PKZI_Build = le32(&s.PKZI_Build);
  dst->SKZI_Build = le32(&s.SKZI_Build);
  dst->TypeDebRel = le32(&s.TypeDebRel);
  dst->Architecture = le32(&s.Architecture);
  dst->OS = le32(&s.OS);
  return TRUE;
}

BOOL letohea_copy(PROV_ENUMALGS* dst, PROV_ENUMALGS* src) {
  PROV_ENUMALGS s = snapshot(src);
  dst->aiAlgid = le32(&s.aiAlgid);
  dst->dwBitLen = le32(&s.dwBitLen);
  dst->dwNameLen = le32(&s.dwNameLen);
  return TRUE;
}

BOOL letohsca_copy(QUILL_SCHANNEL_ALG* dst, QUILL_SCHANNEL_ALG* src) {
  QUILL_SCHANNEL_ALG s = snapshot(src);
  dst->dwUse = le32(&s.dwUse);
  dst->Algid = le32(&s.Algid);
  dst->cBits = le32(&s.cBits);
  dst->dwFlags = le32(&s.dwFlags);
  dst->dwReserved = le32(&s.dwReserved);
  return TRUE;
}

void normalise_key_blob(BYTE* blob, size_t size, DWORD blob_type, bool foreign) {
  if (!blob) return;
  auto fits = [size](size_t n) { return size >= n; };
  switch (blob_type) {
    case SIMPLEBLOB:
      if (foreign) {
        if (fits(sizeof(BLOBHEADER))) {
          letoh_rsa_sbh_copy(reinterpret_cast<BLOBHEADER*>(blob), reinterpret_cast<BLOBHEADER*>(blob));
        }
      } else if (fits(sizeof(CRYPT_SIMPLEBLOB_HEADER))) {
        auto* h = reinterpret_cast<CRYPT_SIMPLEBLOB_HEADER*>(blob);
        letohsbh_copy(h, h);
      }
      break;
    case PUBLICKEYBLOB:
    case PRIVATEKEYBLOB:
      if (foreign) {
        if (fits(sizeof(RSA_BLOB_HEADER))) {
          auto* h = reinterpret_cast<RSA_BLOB_HEADER*>(blob);
          if (blob_type == PUBLICKEYBLOB) {
            letoh_rsa_pbh_copy(h, h);
          } else {
            letoh_rsa_prh_copy(h, h);
          }
        }
      } else if (fits(sizeof(CRYPT_PUBKEY_INFO_HEADER))) {
        auto* h = reinterpret_cast<CRYPT_PUBKEY_INFO_HEADER*>(blob);
        letohpbh_copy(h, h);
      }
      break;
    case 25:
      if (foreign && fits(sizeof(BLOBHEADER))) {
        letoh_rsa_p8h_copy(reinterpret_cast<BLOBHEADER*>(blob), reinterpret_cast<BLOBHEADER*>(blob));
      }
      break;
    case 0x70:
      if (!foreign && fits(sizeof(CRYPT_DIVERSBLOBHEADER))) {
        auto* h = reinterpret_cast<CRYPT_DIVERSBLOBHEADER*>(blob);
        letohdbh_copy(h, h);
      }
      break;
    case 0x72:
      if (!foreign && fits(sizeof(CRYPT_KDF_TREE_DIVERSBLOB_HEADER))) {
        auto* h = reinterpret_cast<CRYPT_KDF_TREE_DIVERSBLOB_HEADER*>(blob);
        letohtdbh_copy(h, h);
        if (fits(sizeof(CRYPT_KDF_TREE_DIVERSBLOB_HEADER) + sizeof(CRYPT_KDF_TREE_DIVERS_INFO))) {
          auto* info = reinterpret_cast<CRYPT_KDF_TREE_DIVERS_INFO*>(blob + 16);
          letohtdi_copy(info, info);
        }
      }
      break;
    default:
      break;
  }
}

}  // namespace quill
