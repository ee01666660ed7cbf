// Library load and unload, and the binding of the SSPI provider library.
//
// The library-wide state below is written only by JNI_OnLoad and
// JNI_OnUnload, which the VM runs before the first native call and after the
// last; natives only read it.
#include <jni.h>

#include "CSPSspi.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

// The VM the library was loaded into.
JavaVM* lGlobalJvm = nullptr;
#ifdef _WIN32
HMODULE g_security_library = nullptr;
#else
void* g_security_library = nullptr;
#endif
PSecurityFunctionTableA g_security_table = nullptr;

#ifndef _WIN32
// Where the CSP installs its TLS library; the dynamic loader's search path
// is tried after these.
const char* const kSecurityLibraryPaths[] = {
#if defined(__APPLE__)
    "/opt/vantor/lib/libsecprov.dylib",
    "libsecprov.dylib",
#elif defined(__x86_64__)
    "/opt/vantor/lib/amd64/libsecprov.so",
    "libsecprov.so",
#else
    "/opt/vantor/lib/ia32/libsecprov.so",
    "libsecprov.so",
#endif
};
#endif

}  // namespace

namespace quill {

bool LoadSecurityLibrary() {
#ifdef _WIN32
  g_security_library = LoadLibraryA("Security.dll");
  if (!g_security_library) return false;
  auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
      reinterpret_cast<void*>(GetProcAddress(g_security_library, "InitSecurityInterfaceA")));
#else
  for (const char* path : kSecurityLibraryPaths) {
    g_security_library = dlopen(path, RTLD_LAZY);
    if (g_security_library) break;
  }
  if (!g_security_library) return false;
  auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
      dlsym(g_security_library, "InitSecurityInterfaceA"));
#endif
  if (!init) return false;
  g_security_table = init();
  return g_security_table != nullptr;
}

void UnloadSecurityLibrary() {
#ifdef _WIN32
  if (g_security_library) FreeLibrary(g_security_library);
  g_security_library = nullptr;
#endif
  // Elsewhere the library stays mapped and the table stays valid.
}

PSecurityFunctionTableA SecurityTable() { return g_security_table; }

}  // namespace quill

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  lGlobalJvm = vm;
  quill::LoadSecurityLibrary();
  return JNI_VERSION_1_6;
}

extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) { quill::UnloadSecurityLibrary(); }

