// Key objects: generate, fetch, duplicate, derive, destroy; key parameters;
// key export and import with their blob headers brought into host order.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"
#include "structs.h"

using namespace quill;

namespace {


// The structure at the start of a key parameter's value that is brought
// into host order, as its size in bytes; 0 for values passed untouched.
size_t key_param_structure(DWORD param) {
  switch (param) {
    case KP_SCHANNEL_ALG:
      return sizeof(QUILL_SCHANNEL_ALG);
    case KP_PADDING:
    case KP_MODE:
    case KP_MODE_BITS:
    case KP_PERMISSIONS:
    case KP_ALGID:
    case KP_KEYLEN:
    case KP_EFFECTIVE_KEYLEN:
    case 34:  // KP_PREHASH
    case 0x65:
    case 0x6F:
    case 0x800000FDu:
    case 0x800000FFu:
      return 4;
    default:
      return 0;
  }
}

// Normalises a key parameter's value in place; an array too short for the
// value's structure is left as it is.
void normalise_key_param(BYTE* data, size_t size, DWORD param) {
  if (!data || size < key_param_structure(param)) return;
  if (param == KP_SCHANNEL_ALG) {
    auto* alg = reinterpret_cast<QUILL_SCHANNEL_ALG*>(data);
    letohsca_copy(alg, alg);
  } else if (key_param_structure(param) == 4) {
    letoh32_inplace(data);
  }
}

// Key parameters the provider takes as a CRYPT_DATA_BLOB around the bytes.
bool key_param_as_blob(DWORD param) {
  return param == 0x6C || param == 0x6E || param == 0x70 || param == 0x800000F1u ||
         param == 0x800000F3u;
}

// How many bytes the provider reads through the bare pointer for a key
// parameter: the value's structure, or for the IV and the salt their lengths
// as the provider reports them for this key. 0 where it reads none or
// decides for itself (a value passed as a blob carries its length).
size_t key_param_size(HCRYPTKEY key, DWORD param) {
  if (key_param_as_blob(param)) return 0;
  if (param == KP_IV || param == KP_SALT) {
    DWORD length = 0;
    // A key without the parameter (or an unknown handle) reports nothing
    // here and fails in the call itself.
    if (CryptGetKeyParam(key, param, nullptr, &length, 0)) return length;
    return 0;
  }
  return key_param_structure(param);
}

// How many bytes of a key blob its header normalisation covers; 0 when the
// blob type (with this foreign flag) has none.
size_t key_blob_header(DWORD blob_type, bool foreign) {
  switch (blob_type) {
    case SIMPLEBLOB:
      return foreign ? sizeof(BLOBHEADER) : sizeof(CRYPT_SIMPLEBLOB_HEADER);
    case PUBLICKEYBLOB:
    case PRIVATEKEYBLOB:
      return foreign ? sizeof(RSA_BLOB_HEADER) : sizeof(CRYPT_PUBKEY_INFO_HEADER);
    case 25:
      return foreign ? sizeof(BLOBHEADER) : 0;
    case 0x70:
      return foreign ? 0 : sizeof(CRYPT_DIVERSBLOBHEADER);
    case 0x72:
      return foreign ? 0
                     : sizeof(CRYPT_KDF_TREE_DIVERSBLOB_HEADER) + sizeof(CRYPT_KDF_TREE_DIVERS_INFO);
    default:
      return 0;
  }
}

}  // namespace

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGenKey(JNIEnv* env, jclass,
                                                                     jlong handle, jint algId,
                                                                     jint flags,
                                                                     jlongArray jhKey) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!has_element0(env, jhKey)) return kInvalidParameter;
  HCRYPTKEY key = 0;
  jint result = result_of(CryptGenKey(to_handle<HCRYPTPROV>(handle), static_cast<ALG_ID>(algId),
                                      static_cast<DWORD>(flags), &key));
  write_long0(env, jhKey, from_handle(key));
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGetUserKey(JNIEnv* env, jclass,
                                                                         jlong jhProv,
                                                                         jint jkeySpec,
                                                                         jlongArray jhKey) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!has_element0(env, jhKey)) return kInvalidParameter;
  HCRYPTKEY key = 0;
  jint result = result_of(
      CryptGetUserKey(to_handle<HCRYPTPROV>(jhProv), static_cast<DWORD>(jkeySpec), &key));
  write_long0(env, jhKey, from_handle(key));
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptDuplicateKey(JNIEnv* env, jclass,
                                                                           jlong handle,
                                                                           jintArray jReserved,
                                                                           jint flags,
                                                                           jlongArray jhKey) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!has_element0(env, jhKey)) return kInvalidParameter;
  DWORD* reserved = frame.in(jReserved, 0, length_of(env, jReserved));
  if (frame.failed()) return kNotEnoughMemory;
  HCRYPTKEY copy = 0;
  jint result = result_of(CryptDuplicateKey(to_handle<HCRYPTKEY>(handle), reserved,
                                            static_cast<DWORD>(flags), &copy));
  write_long0(env, jhKey, from_handle(copy));
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptDeriveKey(JNIEnv* env, jclass,
                                                                        jlong jhProv, jint jalgId,
                                                                        jlong hBaseDate,
                                                                        jint flags,
                                                                        jlongArray phKey) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!has_element0(env, phKey)) return kInvalidParameter;
  HCRYPTKEY key = 0;
  jint result = result_of(CryptDeriveKey(to_handle<HCRYPTPROV>(jhProv), static_cast<ALG_ID>(jalgId),
                                         to_handle<HCRYPTHASH>(hBaseDate),
                                         static_cast<DWORD>(flags), &key));
  write_long0(env, phKey, from_handle(key));
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptDestroyKey(JNIEnv*, jclass,
                                                                         jlong handle) {
  return result_of(CryptDestroyKey(to_handle<HCRYPTKEY>(handle)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGetKeyParam(JNIEnv* env, jclass,
                                                                          jlong jhKey, jint jparam,
                                                                          jbyteArray jData,
                                                                          jintArray jDataLen,
                                                                          jint flags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  // The provider reads and writes the length in place: an array without
  // element 0 is refused, not read.
  if (jDataLen && !has_element0(env, jDataLen)) return kInvalidParameter;
  DWORD length = 0;
  read_int0(env, jDataLen, length);
  const DWORD param = static_cast<DWORD>(jparam);
  // The provider reads and writes the length in place, and writes up to that
  // many bytes; the value's structure is normalised before it goes back.
  if (jData && jDataLen && !in_bounds(env, jData, 0, static_cast<jint>(length))) {
    return kInvalidParameter;
  }
  // Without a length the provider is given no room and only fails.
  Output data = frame.out(jData, jDataLen ? static_cast<jint>(length) : 0);
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(CryptGetKeyParam(to_handle<HCRYPTKEY>(jhKey), param, data.data(),
                                           jDataLen ? &length : nullptr, static_cast<DWORD>(flags)));
  if (result == 0 && data) {
    normalise_key_param(data.data(), length, param);
    data.put(length);
  }
  if (jDataLen) write_int0(env, jDataLen, length);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptSetKeyParam(JNIEnv* env, jclass,
                                                                          jlong jhKey,
                                                                          jint jdwParam,
                                                                          jbyteArray jpbData,
                                                                          jint flags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  const DWORD param = static_cast<DWORD>(jdwParam);
  const HCRYPTKEY key = to_handle<HCRYPTKEY>(jhKey);
  if (jpbData && !holds(env, jpbData, key_param_size(key, param))) return kInvalidParameter;
  const jsize size = length_of(env, jpbData);
  BYTE* data = frame.in(jpbData, 0, size);
  if (frame.failed()) return kNotEnoughMemory;
  CRYPT_DATA_BLOB blob = {0, nullptr};
  if (data) {
    normalise_key_param(data, static_cast<size_t>(size), param);
    blob.cbData = static_cast<DWORD>(size);
    blob.pbData = data;
  }
  const BYTE* argument = key_param_as_blob(param) ? reinterpret_cast<const BYTE*>(&blob) : data;
  return result_of(CryptSetKeyParam(key, param,
                                    const_cast<BYTE*>(argument), static_cast<DWORD>(flags)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptExportKey(
    JNIEnv* env, jclass, jlong jhKey, jlong jhExpKey, jint jdwBlobType, jint jdwFlags,
    jbyteArray jData, jintArray jDataLen, jboolean jForeign) {
  Frame frame(env);
  DWORD length = 0;
  read_int0(env, jDataLen, length);
  if (frame.exception_pending()) return kPendingException;
  const DWORD blob_type = static_cast<DWORD>(jdwBlobType);
  const bool foreign = low_byte(jForeign) != 0;
  // The provider writes up to `length` bytes; a blob too short for its
  // header is not normalised.
  if (jData && !in_bounds(env, jData, 0, static_cast<jint>(length))) return kInvalidParameter;
  Output data = frame.secret_out(jData, static_cast<jint>(length));
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(CryptExportKey(to_handle<HCRYPTKEY>(jhKey), to_handle<HCRYPTKEY>(jhExpKey),
                                         blob_type, static_cast<DWORD>(jdwFlags), data.data(), &length));
  if (result == 0 && data) {
    normalise_key_blob(data.data(), length, blob_type, foreign);
    data.put(length);
  }
  write_int0(env, jDataLen, length);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptImportKey(
    JNIEnv* env, jclass, jlong jhProv, jbyteArray jData, jint jDataLen, jlong jhImpKey, jint flags,
    jlongArray jphKey, jboolean jForeign) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  if (!has_element0(env, jphKey)) return kInvalidParameter;
  // The provider reads jDataLen bytes, whose header is normalised before
  // it sees them. A blob's type is its first byte, and the array must hold
  // the header of that type.
  if (!in_bounds(env, jData, 0, jDataLen)) return kInvalidParameter;
  const jsize size = length_of(env, jData);
  const jint copied = jDataLen > 0 || size == 0 ? jDataLen : 1;
  BYTE* data = frame.secret_in(jData, 0, copied);
  if (frame.failed()) return kNotEnoughMemory;
  if (data) {
    const bool foreign = low_byte(jForeign) != 0;
    if (size < 1) return kInvalidParameter;
    const DWORD blob_type = data[0];
    if (!holds(env, jData, key_blob_header(blob_type, foreign))) return kInvalidParameter;
    normalise_key_blob(data, static_cast<size_t>(copied), blob_type, foreign);
  }
  HCRYPTKEY key = 0;
  jint result = result_of(CryptImportKey(to_handle<HCRYPTPROV>(jhProv), data,
                                         static_cast<DWORD>(jDataLen),
                                         to_handle<HCRYPTKEY>(jhImpKey),
                                         static_cast<DWORD>(flags), &key));
  write_long0(env, jphKey, from_handle(key));
  return result;
}
