// MultiByteToWideChar / WideCharToMultiByte with arbitrary bytes, lengths,
// buffer sizes and code pages (CP_ACP under the C locale and under a legacy
// locale when one is available), and support_registry_get_long over a
// configuration file whose content and queried path come from the input.
#include <clocale>
#include <fstream>

#include "fuzz_common.h"

namespace {

std::string g_config;
const char* g_legacy = nullptr;  // a locale with a legacy character set, if any

void codepages(FuzzedDataProvider& f) {
  UINT cp = f.ConsumeBool() ? CP_UTF8 : f.ConsumeBool() ? CP_ACP : f.ConsumeIntegral<UINT>();
  DWORD flags = f.ConsumeIntegralInRange<int>(0, 15) == 0 ? f.ConsumeIntegral<DWORD>() : 0;
  if (g_legacy && cp == CP_ACP && f.ConsumeBool()) setlocale(LC_CTYPE, g_legacy);
  if (f.ConsumeBool()) {
    std::string in = f.ConsumeRandomLengthString(200);
    bool terminated = f.ConsumeBool();  // -1: the string's NUL ends it
    int src_len = terminated ? -1 : int(in.size());
    if (src_len == 0) src_len = f.ConsumeBool() ? 0 : -2;
    int want = MultiByteToWideChar(cp, flags, in.c_str(), src_len, nullptr, 0);
    int cap = f.ConsumeBool() ? want : f.ConsumeIntegralInRange<int>(0, 300);
    std::vector<wchar_t> out(size_t(cap > 0 ? cap : 0));
    int got = MultiByteToWideChar(cp, flags, in.c_str(), src_len, cap ? out.data() : nullptr,
                                  cap);
    if (got > cap && cap) fuzz::die("MultiByteToWideChar wrote past its buffer");
    if (cap && want && got && got != want) fuzz::die("MultiByteToWideChar size query differs");
  } else {
    size_t n = f.ConsumeIntegralInRange<size_t>(0, 64);
    std::vector<wchar_t> in(n + 1, 0);
    for (size_t i = 0; i < n; ++i)
      in[i] = wchar_t(f.ConsumeBool() ? f.ConsumeIntegralInRange<uint32_t>(1, 0x7F)
                                      : f.ConsumeIntegral<uint32_t>());
    bool terminated = f.ConsumeBool();
    int src_len = terminated ? -1 : int(n);
    BOOL used = FALSE;
    const char* def = f.ConsumeBool() ? "?" : nullptr;
    LPBOOL pused = f.ConsumeBool() ? &used : nullptr;
    int want = WideCharToMultiByte(cp, flags, in.data(), src_len, nullptr, 0, def, pused);
    int cap = f.ConsumeBool() ? want : f.ConsumeIntegralInRange<int>(0, 400);
    std::vector<char> out(size_t(cap > 0 ? cap : 0));
    int got = WideCharToMultiByte(cp, flags, in.data(), src_len, cap ? out.data() : nullptr,
                                  cap, def, pused);
    if (got > cap && cap) fuzz::die("WideCharToMultiByte wrote past its buffer");
  }
  setlocale(LC_CTYPE, "C");
}

// Input: the queried path, a NUL, then the configuration file's content.
void config(const uint8_t* data, size_t size) {
  const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
  if (!nul) return;
  std::string path(reinterpret_cast<const char*>(data), size_t(nul - data));
  {
    std::ofstream out(g_config, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(nul + 1), std::streamsize(size - size_t(nul - data) - 1));
  }
  long value = 0x5A5A;
  DWORD rc = support_registry_get_long(path.c_str(), &value);
  if (rc != 0 && rc != 2 && rc != 87 && rc != 1006) fuzz::die("unknown result code");
  if (rc != 0 && value != 0x5A5A) fuzz::die("value written on failure");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_config = fuzz::private_root() + "/csp.conf";
  // ru_RU.CP1251 is what the platform tests build under LOCPATH
  // (scripts/fuzz.sh points there when a test build has made it).
  for (const char* name : {"ru_RU.CP1251", "en_US.ISO-8859-1"}) {
    if (setlocale(LC_CTYPE, name)) {
      g_legacy = name;
      break;
    }
  }
  setlocale(LC_CTYPE, "C");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte: 'C' for the configuration reader, anything else for code pages.
  if (size == 0) return 0;
  if (data[0] == 'C') {
    config(data + 1, size - 1);
  } else {
    FuzzedDataProvider f(data + 1, size - 1);
    codepages(f);
  }
  return 0;
}
