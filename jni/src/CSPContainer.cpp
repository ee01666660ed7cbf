// Container PINs: hands the provider a PIN description for a provider
// parameter, to set or change the password of the context's container.
#include <cstring>

#include "ru_Kestrel_Quill_MSCAPI_CAPI.h"
#include "special.h"

using namespace quill;

namespace quill {

// The provider's PIN description: a kind byte, then (pointer-aligned) a union
// whose only member this library fills is the password pointer.
struct CRYPT_PIN_PARAM {
  BYTE type;
  union {
    char* passwd;
    void* other;  // the provider's other PIN kinds, never built here
  } dest;
};

}  // namespace quill

JNIEXPORT jint JNICALL Java_ru_Kestrel_Quill_MSCAPI_CAPI_changePin(JNIEnv* env, jclass,
                                                                   jlong jhProv, jint jdwParam,
                                                                   jbyte jPinType, jbyteArray jPin,
                                                                   jint jdwFlags) {
  Frame frame(env);
  if (frame.exception_pending()) return kPendingException;
  BYTE* pin = frame.secret_in(jPin, 0, length_of(env, jPin));
  if (frame.failed()) return kNotEnoughMemory;
#ifndef _WIN32
  // The description is built for the CSP's PIN parameters only; handed to
  // any other parameter the CSP would take it for that parameter's own
  // structure (a comment that stores the password in clear, an extension
  // whose pointers it follows). The system CSP on Windows decides for itself.
  if (jdwParam != PP_KEYEXCHANGE_PIN && jdwParam != PP_SIGNATURE_PIN) return kInvalidParameter;
#endif
  const BYTE type = static_cast<BYTE>(jPinType);
  if (type != 0 && type != 4 && type != 5) return kInvalidParameter;
  // The provider reads the password up to its terminating zero, which must
  // lie inside the array.
  if (pin && !holds_text(env, jPin, pin)) return kInvalidParameter;
  quill::CRYPT_PIN_PARAM pinParam;
  std::memset(&pinParam, 0, sizeof pinParam);
  pinParam.type = type;
  pinParam.dest.passwd = reinterpret_cast<char*>(pin);
  return result_of(CryptSetProvParam(to_handle<HCRYPTPROV>(jhProv), static_cast<DWORD>(jdwParam),
                                     reinterpret_cast<BYTE*>(&pinParam),
                                     static_cast<DWORD>(jdwFlags)));
}
