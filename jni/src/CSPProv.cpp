// Provider contexts: acquire, add a reference, release; provider enumeration.
#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"
#include "structs.h"
#ifdef _WIN32
#include "support.h"
#endif

using namespace quill;

namespace {

// A Java name in the system code page: UTF-8 to wide, wide to CP_ACP. Null
// for a null name; sets `failed` (and leaves the platform's last error) when
// a name was given but cannot be converted, so the caller never silently
// falls back to the default container or provider.
const char* system_name(Frame& frame, const char* utf8, bool& failed) {
  if (!utf8) return nullptr;
  const char* name = frame.keep(wchar2multi(CP_ACP, frame.keep(multi2wchar(CP_UTF8, utf8))));
  if (!name) failed = true;
  return name;
}

// Brings a returned provider structure into host order, in place; a value
// too short for its structure is left alone.
void normalise_prov_param(BYTE* data, size_t size, DWORD param) {
  if (!data) return;
  switch (param) {
    case PP_ENUMALGS:
      if (size >= sizeof(PROV_ENUMALGS)) {
        auto* p = reinterpret_cast<PROV_ENUMALGS*>(data);
        letohea_copy(p, p);
      }
      break;
    case 133:  // CONTAINER_EXTENSION
      if (size >= sizeof(quill::CONTAINER_EXTENSION)) {
        auto* p = reinterpret_cast<quill::CONTAINER_EXTENSION*>(data);
        letohce_copy(p, p);
      }
      break;
    case 138:  // PROV_PP_VERSION_EX
      if (size >= sizeof(quill::PROV_PP_VERSION_EX)) {
        auto* p = reinterpret_cast<quill::PROV_PP_VERSION_EX*>(data);
        letohvex_copy(p, p);
      }
      break;
    case PP_VERSION:
    case PP_PROVTYPE:
      if (size >= 4) letoh32_inplace(data);
      break;
    default:
      break;
  }
}

}  // namespace

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptAcquireContext(
    JNIEnv* env, jclass, jlongArray jphProv, jstring jContainer, jstring jProvider,
    jint jdwProvType, jint jdwFlags) {
  Frame frame(env);
  const char* container_utf = frame.utf(jContainer);
  const char* provider_utf = frame.utf(jProvider);
  bool unconvertible = false;
  const char* container = system_name(frame, container_utf, unconvertible);
  DWORD conversion_error = unconvertible ? GetLastError() : 0;
  const char* provider = system_name(frame, provider_utf, unconvertible);
  if (unconvertible && !conversion_error) conversion_error = GetLastError();
  if (frame.failed()) return kNotEnoughMemory;
  if (frame.exception_pending()) return kPendingException;
  // Without element 0 the context could not be handed over: it would be
  // acquired and lost.
  if (!has_element0(env, jphProv)) return kInvalidParameter;

  HCRYPTPROV hProv = 0;
  jint result;
  if (unconvertible) {
    result = conversion_error ? static_cast<jint>(conversion_error) : static_cast<jint>(NTE_FAIL);
  } else {
    result = result_of(CryptAcquireContextA(&hProv, container, provider,
                                            static_cast<DWORD>(jdwProvType),
                                            static_cast<DWORD>(jdwFlags)));
  }
  write_long0(env, jphProv, from_handle(hProv));
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptReleaseContext(JNIEnv*, jclass,
                                                                            jlong jhProv,
                                                                            jint jdwFlags) {
  return result_of(
      CryptReleaseContext(to_handle<HCRYPTPROV>(jhProv), static_cast<DWORD>(jdwFlags)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptContextAddRef(JNIEnv*, jclass,
                                                                           jlong jhProv,
                                                                           jint jdwFlags) {
  return result_of(
      CryptContextAddRef(to_handle<HCRYPTPROV>(jhProv), nullptr, static_cast<DWORD>(jdwFlags)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptEnumProviders(
    JNIEnv* env, jclass, jint jdwIndex, jint jdwFlags, jintArray jpdwProvType,
    jbyteArray jszProvName, jintArray jpcbProvName) {
  Frame frame(env);
  DWORD length = 0;
  DWORD type = 0;
  read_int0(env, jpcbProvName, length);
  read_int0(env, jpdwProvType, type);
  if (frame.exception_pending()) return kPendingException;
  // The platform writes the name through the length it is told; never let
  // it be told more than the array holds.
  if (jszProvName && !in_bounds(env, jszProvName, 0, static_cast<jint>(length))) return kInvalidParameter;
  Output name = frame.out(jszProvName, static_cast<jint>(length));
  if (frame.failed()) return kNotEnoughMemory;
  jint result = result_of(CryptEnumProvidersA(static_cast<DWORD>(jdwIndex), nullptr,
                                              static_cast<DWORD>(jdwFlags), &type,
                                              reinterpret_cast<LPSTR>(name.data()), &length));
  if (result == 0) name.put(length);
  write_int0(env, jpcbProvName, length);
  write_int0(env, jpdwProvType, type);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptGetProvParam(
    JNIEnv* env, jclass, jlong jhProv, jint jdwParam, jbyteArray jpbData, jintArray jpdwDataLen,
    jint jdwFlags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  // The provider reads and writes the length in place: an array without
  // element 0 is refused, not read.
  if (jpdwDataLen && !has_element0(env, jpdwDataLen)) return kInvalidParameter;
  DWORD length = 0;
  read_int0(env, jpdwDataLen, length);
  // The length in jpdwDataLen[0] is what the platform may write; it must
  // not exceed the array, and a length array must have its element.
  if (jpbData && jpdwDataLen && !in_bounds(env, jpbData, 0, static_cast<jint>(length))) {
    return kInvalidParameter;
  }
  // Without a length the platform is given no room and only fails.
  Output data = frame.out(jpbData, jpdwDataLen ? static_cast<jint>(length) : 0);
  if (frame.failed()) return kNotEnoughMemory;
  const DWORD param = static_cast<DWORD>(jdwParam);
  jint result = result_of(CryptGetProvParam(to_handle<HCRYPTPROV>(jhProv), param, data.data(),
                                            jpdwDataLen ? &length : nullptr,
                                            static_cast<DWORD>(jdwFlags)));
  if (result == 0 && data) {
    normalise_prov_param(data.data(), length, param);
    data.put(length);
  }
  if (jpdwDataLen) write_int0(env, jpdwDataLen, length);
  return result;
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_cryptSetProvParam(JNIEnv* env, jclass,
                                                                           jlong jhProv,
                                                                           jint jdwParam,
                                                                           jbyteArray jpbData,
                                                                           jint jdwFlags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  const jsize size = length_of(env, jpbData);
  BYTE* data = frame.secret_in(jpbData, 0, size);  // some parameters are PINs
  if (frame.failed()) return kNotEnoughMemory;
  CRYPT_DATA_BLOB blob = {0, nullptr};
  if (data) {
    blob.cbData = static_cast<DWORD>(size);
    blob.pbData = data;
  }
  // Parameter 132 takes a CERT_EXTENSION, whose pointers no Java array can
  // carry; setCertExtension builds it. Handing the CSP bytes it would follow
  // as pointers is refused.
  if (jdwParam == 132) return kInvalidParameter;
#ifndef _WIN32
  // The CSP's PIN parameters take a CRYPT_PIN_PARAM, whose password pointer
  // changePin sets; bytes from Java here would be followed as a pointer.
  if (jdwParam == PP_KEYEXCHANGE_PIN || jdwParam == PP_SIGNATURE_PIN) return kInvalidParameter;
#endif
  // Parameter 100 takes its bytes as a CRYPT_DATA_BLOB; every other one as
  // the bare bytes.
  const BYTE* argument = jdwParam == 100 ? reinterpret_cast<const BYTE*>(&blob) : data;
  return result_of(CryptSetProvParam(to_handle<HCRYPTPROV>(jhProv), static_cast<DWORD>(jdwParam),
                                     const_cast<BYTE*>(argument), static_cast<DWORD>(jdwFlags)));
}

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_setCertExtension(
    JNIEnv* env, jclass, jlong jhProv, jstring jOid, jboolean jCritical, jbyteArray jValue,
    jint jValueLength, jint jdwFlags) {
  Frame frame(env);
  const char* oid = frame.utf(jOid);
  if (frame.failed()) return kNotEnoughMemory;
  if (frame.exception_pending()) return kPendingException;
  if (!in_bounds(env, jValue, 0, jValueLength)) return kInvalidParameter;
  BYTE* value = frame.in(jValue, 0, jValueLength);
  if (frame.failed()) return kNotEnoughMemory;
  CERT_EXTENSION extension;
  extension.pszObjId = const_cast<LPSTR>(oid);
  extension.fCritical = low_byte(jCritical) != 0 ? TRUE : FALSE;
  extension.Value.cbData = static_cast<DWORD>(jValueLength);
  extension.Value.pbData = value;
  return result_of(CryptSetProvParam(to_handle<HCRYPTPROV>(jhProv), 132,
                                     reinterpret_cast<BYTE*>(&extension),
                                     static_cast<DWORD>(jdwFlags)));
}

// The CSP's strengthened key usage setting, read afresh on every call; -1
// when it is not configured or cannot be read.
JNIEXPORT jlong JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_getStrengthenedKeyUsageControl(JNIEnv*,
                                                                                         jclass) {
#ifdef _WIN32
  LONG value = 0;
  if (support_registry_get_long(L"\\config\\Parameters\\StrengthenedKeyUsageControl", &value) != 0) {
    return -1;
  }
  return static_cast<jlong>(value);
#else
  long value = 0;
  if (support_registry_get_long("\\config\\Parameters\\StrengthenedKeyUsageControl", &value) != 0) {
    return -1;
  }
  return static_cast<jlong>(value);
#endif
}
