// support_registry_get_long on Windows.
//
// The first component of the key path selects a registry location under
// HKEY_LOCAL_MACHINE; paths that match no known prefix read the current
// user's settings, which also live under HKEY_LOCAL_MACHINE, below the text
// form of the user's security identifier.
#include "support.h"

#include <cwchar>
#include <initializer_list>
#include <new>

namespace {

constexpr DWORD kOk = 0;
constexpr DWORD kNotFound = 2;
constexpr DWORD kBadParameter = 87;
constexpr DWORD kNotNumber = 1006;
constexpr DWORD kPermission = 0x80090010;    // NTE_PERM
constexpr DWORD kNoMemory = 0x8009000E;      // NTE_NO_MEMORY
constexpr DWORD kProviderFail = 0x8009001D;  // NTE_PROVIDER_DLL_FAIL

constexpr size_t kMaxPath = 260;
constexpr size_t kMaxSubKey = 255;
constexpr size_t kSubKeyBuffer = 600;  // base + SID text + the rest, checked below

// Access flags of a location: 1 = read, 0x100 = the 64-bit registry view.
constexpr DWORD kRead = 1;
constexpr DWORD kView64 = 0x100;

struct Location {
  const wchar_t* prefix;
  const wchar_t* base;
  DWORD access;
};

const Location kLocations[] = {
    {L"\\GLOBAL", L"SOFTWARE\\Kestrel\\Settings", kRead},
    {L"\\POLICIES", L"SOFTWARE\\Policies", kRead},
    {L"\\SYSCONTROL", L"SYSTEM\\CurrentControlSet\\Control", kRead},
    {L"\\CONFIG", L"SOFTWARE\\Kestrel\\Cryptography\\CurrentVersion", kRead},
    {L"\\APPPATH", L"SOFTWARE\\Kestrel\\Cryptography\\CurrentVersion\\AppPath", kRead},
    {L"\\CRYPTOGRAPHY64", L"SOFTWARE\\Microsoft\\Cryptography", kRead | kView64},
    {L"\\CRYPTOGRAPHY", L"SOFTWARE\\Microsoft\\Cryptography", kRead},
};

const wchar_t kUsersBase[] = L"SOFTWARE\\Kestrel\\Settings\\Users";

DWORD map_registry_error(LONG rc) {
  switch (rc) {
    case ERROR_SUCCESS:
    case ERROR_MORE_DATA:
      return kOk;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NO_MORE_ITEMS:
      return kNotFound;
    case ERROR_ACCESS_DENIED:
      return kPermission;
    case ERROR_NOT_ENOUGH_MEMORY:
      return kNoMemory;
    case ERROR_INVALID_PARAMETER:
      return kBadParameter;
    default:
      return kProviderFail;
  }
}

bool starts_with_nocase(const wchar_t* s, const wchar_t* prefix) {
  return _wcsnicmp(s, prefix, wcslen(prefix)) == 0;
}

// Appends `text` to `out` (capacity kSubKeyBuffer); false when it does not fit.
bool append(wchar_t* out, const wchar_t* text) {
  size_t used = wcslen(out);
  size_t add = wcslen(text);
  if (used + add >= kSubKeyBuffer) return false;
  wmemcpy(out + used, text, add + 1);
  return true;
}

typedef struct {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} SidText;
typedef LONG(NTAPI* ConvertSidFn)(SidText*, PSID, BOOLEAN);
constexpr LONG kStatusBufferOverflow = (LONG)0x80000005;

// The text form of the current user's SID: the impersonated user when the
// thread has a token, else the process's. Returns 0 or a Win32 error.
DWORD user_sid_text(wchar_t* out, size_t capacity) {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token) &&
      !OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    if (GetLastError() != ERROR_NO_TOKEN) return GetLastError();
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
  }
  alignas(8) BYTE info[76];
  DWORD got = 0;
  BOOL ok = GetTokenInformation(token, TokenUser, info, sizeof info, &got);
  DWORD err = ok ? 0 : GetLastError();
  CloseHandle(token);
  if (!ok) return err ? err : ERROR_CALL_NOT_IMPLEMENTED;

  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto convert = ntdll ? reinterpret_cast<ConvertSidFn>(reinterpret_cast<void*>(
                             GetProcAddress(ntdll, "RtlConvertSidToUnicodeString")))
                       : nullptr;
  if (!convert) return ERROR_CALL_NOT_IMPLEMENTED;
  PSID sid = reinterpret_cast<TOKEN_USER*>(info)->User.Sid;
  for (USHORT chars : {USHORT(128), USHORT(187)}) {
    if (chars >= capacity) return ERROR_INSUFFICIENT_BUFFER;
    SidText text = {0, USHORT(chars * sizeof(wchar_t)), out};
    LONG status = convert(&text, sid, FALSE);
    if (status == kStatusBufferOverflow) continue;
    if (status < 0) return ERROR_INVALID_SID;
    out[text.Length / sizeof(wchar_t)] = L'\0';
    return 0;
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

// Builds the sub-key of the current user's settings for `rest` (a key path
// matching no known prefix).
DWORD user_sub_key(const wchar_t* rest, wchar_t* sub_key) {
  if (starts_with_nocase(rest, L"\\LOCAL")) rest += 6;
  wchar_t sid[200];
  DWORD saved_error = GetLastError();
  DWORD err = user_sid_text(sid, sizeof sid / sizeof sid[0]);
  if (err == ERROR_NO_TOKEN || err == ERROR_CALL_NOT_IMPLEMENTED) {
    wcscpy(sid, L"Default");
  } else if (err != 0) {
    return kProviderFail;
  } else {
    SetLastError(saved_error);
  }
  sub_key[0] = L'\0';
  if (!append(sub_key, kUsersBase) || !append(sub_key, L"\\") || !append(sub_key, sid)) {
    return kBadParameter;
  }
  if (*rest && *rest != L'\\' && !append(sub_key, L"\\")) return kBadParameter;
  return append(sub_key, rest) ? kOk : kBadParameter;
}

DWORD open_key(const wchar_t* sub_key, DWORD access, HKEY* key) {
  if (wcslen(sub_key) > kMaxSubKey) return kBadParameter;
  wchar_t copy[kMaxSubKey + 1];
  wcscpy(copy, sub_key);
  size_t n = wcslen(copy);
  if (n > 0 && copy[n - 1] == L'\\') copy[n - 1] = L'\0';
  REGSAM mask = 0;
  if (access & 1) mask |= KEY_QUERY_VALUE;
  if (access & 2) mask |= KEY_SET_VALUE;
  if (access & 4) mask |= KEY_CREATE_SUB_KEY;
  if (access & kView64) mask |= KEY_WOW64_64KEY;
  return map_registry_error(RegOpenKeyExW(HKEY_LOCAL_MACHINE, copy, 0, mask, key));
}

// One value read from the registry.
struct ValueRecord {
  BYTE* data = nullptr;
  DWORD size = 0;
  DWORD type = 0;
  ~ValueRecord() { delete[] data; }
};

DWORD read_value(HKEY key, const wchar_t* name, ValueRecord& rec) {
  DWORD size = 0;
  DWORD rc = map_registry_error(RegQueryValueExW(key, name, nullptr, &rec.type, nullptr, &size));
  if (rc != kOk) return rc;
  rec.data = new (std::nothrow) BYTE[size ? size : 1];
  if (!rec.data) return kNoMemory;
  rec.size = size;
  LONG second = RegQueryValueExW(key, name, nullptr, &rec.type, rec.data, &rec.size);
  // The value may have grown between the two queries: that is a failure too.
  if (second == ERROR_MORE_DATA) return kProviderFail;
  return map_registry_error(second);
}

}  // namespace

DWORD support_registry_get_long(const wchar_t* path, LONG* value) {
  if (!path || !value) return kBadParameter;
  size_t len = wcslen(path);
  if (len > kMaxPath || len == 0 || path[len - 1] == L'\\') return kBadParameter;
  wchar_t key_path[kMaxPath + 1];
  wmemcpy(key_path, path, len + 1);

  // The last backslash at index 1 or more ends the key path.
  size_t split = 0;
  for (size_t i = len - 1; i >= 1; --i) {
    if (key_path[i] == L'\\') {
      split = i;
      break;
    }
  }
  if (split == 0) return kBadParameter;
  key_path[split] = L'\0';
  const wchar_t* value_name = key_path + split + 1;

  wchar_t sub_key[kSubKeyBuffer] = L"";
  DWORD access = kRead;
  const Location* found = nullptr;
  for (const Location& loc : kLocations) {
    if (starts_with_nocase(key_path, loc.prefix)) {
      found = &loc;
      break;
    }
  }
  if (found) {
    if (!append(sub_key, found->base) || !append(sub_key, key_path + wcslen(found->prefix))) {
      return kBadParameter;
    }
    access = found->access;
  } else if (DWORD rc = user_sub_key(key_path, sub_key)) {
    return rc;
  }

  HKEY key = nullptr;
  if (DWORD rc = open_key(sub_key, access, &key)) return rc;
  ValueRecord rec;
  DWORD rc = read_value(key, value_name, rec);
  RegCloseKey(key);
  if (rc != kOk) return rc;

  if (rec.type == REG_DWORD && rec.size == 4) {
    DWORD v;
    memcpy(&v, rec.data, 4);
    *value = static_cast<LONG>(v);
    return kOk;
  }
  if (rec.type == REG_QWORD && rec.size == 8) {
    LONGLONG v;
    memcpy(&v, rec.data, 8);
    if (v >= -2147483648LL && v <= 2147483647LL) {
      *value = static_cast<LONG>(v);
      return kOk;
    }
  }
  return kNotNumber;
}
