// Fixed-layout structures of the CSP that the bridge normalises, beyond
// those the CryptoAPI headers declare. All integers are little-endian in the
// CSP's layout; offsets are given beside each field.
#ifndef QUILL_STRUCTS_H
#define QUILL_STRUCTS_H

#include "capi.h"

namespace quill {

struct CRYPT_PUBKEYPARAM {
  DWORD Magic;   // 8
  DWORD BitLen;  // 12
};

struct CRYPT_PUBKEY_INFO_HEADER {
  BLOBHEADER BlobHeader;  // 0
  CRYPT_PUBKEYPARAM KeyParam;
};

struct CRYPT_SIMPLEBLOB_HEADER {
  BLOBHEADER BlobHeader;   // 0
  DWORD Magic;             // 8
  ALG_ID EncryptKeyAlgId;  // 12
};

struct CRYPT_DIVERSBLOBHEADER {
  BLOBHEADER BlobHeader;  // 0
  ALG_ID aiDiversAlgId;   // 8
  DWORD dwDiversMagic;    // 12
  DWORD cbDiversData;     // 16
};

struct CRYPT_KDF_TREE_DIVERSBLOB_HEADER {
  BLOBHEADER BlobHeader;  // 0
  ALG_ID aiDiversAlgId;   // 8
  DWORD dwIterNum;        // 12
};

struct CRYPT_KDF_TREE_DIVERS_INFO {
  DWORD L_value;     // 0
  DWORD R_value;     // 4
  DWORD dwSeedLen;   // 8
  DWORD dwLabelLen;  // 12
};

// Followed by cbExtension bytes and the identifier as a C string.
struct CONTAINER_EXTENSION {
  BOOL bCritical;     // 0
  DWORD cbExtension;  // 4
};

struct PROV_PP_VERSION_EX {
  DWORD PKZI_Build;    // 0
  DWORD SKZI_Build;    // 4
  DWORD TypeDebRel;    // 8
  DWORD Architecture;  // 12
  DWORD OS;            // 16
};

struct QUILL_SCHANNEL_ALG {
  DWORD dwUse;       // 0
  ALG_ID Algid;      // 4
  DWORD cBits;       // 8
  DWORD dwFlags;     // 12
  DWORD dwReserved;  // 16
};

// A PUBLICKEYSTRUC followed by an RSAPUBKEY, as RSA key blobs begin.
struct RSA_BLOB_HEADER {
  BLOBHEADER hdr;
  RSAPUBKEY rsa;
};

static_assert(sizeof(BLOBHEADER) == 8, "BLOBHEADER layout");
static_assert(sizeof(CRYPT_PUBKEY_INFO_HEADER) == 16, "CRYPT_PUBKEY_INFO_HEADER layout");
static_assert(sizeof(CRYPT_SIMPLEBLOB_HEADER) == 16, "CRYPT_SIMPLEBLOB_HEADER layout");
static_assert(sizeof(CRYPT_DIVERSBLOBHEADER) == 20, "CRYPT_DIVERSBLOBHEADER layout");
static_assert(sizeof(CRYPT_KDF_TREE_DIVERSBLOB_HEADER) == 16, "KDF tree header layout");
static_assert(sizeof(CRYPT_KDF_TREE_DIVERS_INFO) == 16, "KDF tree info layout");
static_assert(sizeof(PROV_PP_VERSION_EX) == 20, "PROV_PP_VERSION_EX layout");
static_assert(sizeof(PROV_ENUMALGS) == 32, "PROV_ENUMALGS layout");
static_assert(sizeof(QUILL_SCHANNEL_ALG) == 20, "SCHANNEL_ALG layout");
static_assert(sizeof(RSA_BLOB_HEADER) == 20, "RSA blob header layout");

// Little-endian to host copies, one per structure: each writes only the
// fields its structure's rule lists and returns TRUE. dst may equal src.
BOOL letohbh_copy(BLOBHEADER* dst, BLOBHEADER* src);
BOOL letohpbh_copy(CRYPT_PUBKEY_INFO_HEADER* dst, CRYPT_PUBKEY_INFO_HEADER* src);
BOOL letohsbh_copy(CRYPT_SIMPLEBLOB_HEADER* dst, CRYPT_SIMPLEBLOB_HEADER* src);
BOOL letohdbh_copy(CRYPT_DIVERSBLOBHEADER* dst, CRYPT_DIVERSBLOBHEADER* src);
BOOL letohtdbh_copy(CRYPT_KDF_TREE_DIVERSBLOB_HEADER* dst, CRYPT_KDF_TREE_DIVERSBLOB_HEADER* src);
BOOL letohtdi_copy(CRYPT_KDF_TREE_DIVERS_INFO* dst, CRYPT_KDF_TREE_DIVERS_INFO* src);
BOOL letohce_copy(CONTAINER_EXTENSION* dst, CONTAINER_EXTENSION* src);
BOOL letoh_rsa_sbh_copy(BLOBHEADER* dst, BLOBHEADER* src);
BOOL letoh_rsa_p8h_copy(BLOBHEADER* dst, BLOBHEADER* src);
BOOL letoh_rsa_pbh_copy(RSA_BLOB_HEADER* dst, RSA_BLOB_HEADER* src);
BOOL letoh_rsa_prh_copy(RSA_BLOB_HEADER* dst, RSA_BLOB_HEADER* src);
BOOL letohvex_copy(PROV_PP_VERSION_EX* dst, PROV_PP_VERSION_EX* src);
BOOL letohea_copy(PROV_ENUMALGS* dst, PROV_ENUMALGS* src);
BOOL letohsca_copy(QUILL_SCHANNEL_ALG* dst, QUILL_SCHANNEL_ALG* src);

// Converts the first 32-bit value of a buffer in place.
void letoh32_inplace(void* p);

// Blob normalisation for key export and import, chosen by blob type and the
// foreign flag. `size` is the buffer's length: a structure the buffer cannot
// hold whole is left alone.
void normalise_key_blob(BYTE* blob, size_t size, DWORD blob_type, bool foreign);

}  // namespace quill

#endif
