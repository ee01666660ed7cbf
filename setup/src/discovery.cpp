// Finding a Java runtime of the 1.7 to 1.9 generation: environment variables
// first, then the homes that the runtime distributions record in the registry.
#include "launcher.h"

#include <algorithm>
#include <string>
#include <vector>

std::wstring LaunchDirectory;

void CaptureLaunchDirectory() {
  std::vector<wchar_t> buffer(4096);
  DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length >= buffer.size()) {
    // Longer than the usual buffer: ask again with the size reported.
    buffer.assign(length + 1, L'\0');
    length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length >= buffer.size()) length = 0;
  }
  LaunchDirectory.assign(buffer.data(), length);
}

bool PathExists(const std::wstring &base, const std::wstring &suffix) {
  const std::wstring path = base + suffix;
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

bool IsDirectory(const std::wstring &path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A home worth probing: an existing directory with bin\java.exe in it.
bool HasJavaExecutable(const std::wstring &home) {
  return IsDirectory(home) && PathExists(home, L"\\bin\\java.exe");
}

const size_t kVersionTextLimit = 4096;

// Moves whatever the pipe holds right now into text (bytes beyond the limit
// are read and dropped so that the child never blocks on a full pipe).
// Returns false once the pipe is broken or unreadable.
bool DrainPipe(HANDLE pipe, std::string &text) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char chunk[1024];
    DWORD got = 0;
    const DWORD want = available < sizeof chunk ? available : sizeof chunk;
    if (!ReadFile(pipe, chunk, want, &got, nullptr) || got == 0) return false;
    const size_t room = kVersionTextLimit - std::min(text.size(), kVersionTextLimit);
    text.append(chunk, std::min<size_t>(got, room));
  }
}

struct RegistrySource {
  const wchar_t *key;
  REGSAM view;
  const wchar_t *suffix;
  const wchar_t *value;
};

// Read in this order; for each key the 32-bit view comes before the 64-bit one.
const RegistrySource kRegistrySources[] = {
    {L"SOFTWARE\\JavaSoft\\Java Runtime Environment", KEY_WOW64_32KEY, nullptr, L"JavaHome"},
    {L"SOFTWARE\\JavaSoft\\Java Runtime Environment", KEY_WOW64_64KEY, nullptr, L"JavaHome"},
    {L"SOFTWARE\\JavaSoft\\Java Development Kit", KEY_WOW64_32KEY, nullptr, L"JavaHome"},
    {L"SOFTWARE\\JavaSoft\\Java Development Kit", KEY_WOW64_64KEY, nullptr, L"JavaHome"},
    {L"SOFTWARE\\Eclipse Adoptium\\JDK", KEY_WOW64_32KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Eclipse Adoptium\\JDK", KEY_WOW64_64KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Eclipse Adoptium\\JRE", KEY_WOW64_32KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\Eclipse Adoptium\\JRE", KEY_WOW64_64KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JDK", KEY_WOW64_32KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JDK", KEY_WOW64_64KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JRE", KEY_WOW64_32KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JRE", KEY_WOW64_64KEY, L"\\hotspot\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JDK", KEY_WOW64_32KEY, L"\\openj9\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JDK", KEY_WOW64_64KEY, L"\\openj9\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JRE", KEY_WOW64_32KEY, L"\\openj9\\MSI", L"Path"},
    {L"SOFTWARE\\AdoptOpenJDK\\JRE", KEY_WOW64_64KEY, L"\\openj9\\MSI", L"Path"},
    {L"SOFTWARE\\Semeru\\JDK", KEY_WOW64_32KEY, L"\\openj9\\MSI", L"Path"},
    {L"SOFTWARE\\Semeru\\JDK", KEY_WOW64_64KEY, L"\\openj9\\MSI", L"Path"},
    {L"SOFTWARE\\Semeru\\JRE", KEY_WOW64_32KEY, L"\\openj9\\MSI", L"Path"},
    {L"SOFTWARE\\Semeru\\JRE", KEY_WOW64_64KEY, L"\\openj9\\MSI", L"Path"},
};

}  // namespace

bool ProbeJavaVersion(const std::wstring &home) {
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return false;
  if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return false;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;

  std::wstring commandLine = L"\"" + home + L"\\bin\\java.exe" + L"\" " + L" -version";
  PROCESS_INFORMATION child = {};
  const BOOL started = CreateProcessW(
      nullptr, &commandLine[0], nullptr, nullptr, TRUE,
      CREATE_SUSPENDED | CREATE_DEFAULT_ERROR_MODE | CREATE_NO_WINDOW, nullptr,
      LaunchDirectory.c_str(), &startup, &child);
  // The child holds its own copy of the write end now; dropping ours lets the
  // pipe break when the child is gone.
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return false;
  }

  ResumeThread(child.hThread);
  // Read while waiting, so that a chatty runtime cannot fill the pipe and
  // stall, and a silent one cannot leave a read waiting for ever.
  std::string text;
  bool pipeOpen = true;
  for (;;) {
    const DWORD waited = WaitForSingleObject(child.hProcess, 50);
    if (pipeOpen) pipeOpen = DrainPipe(readEnd, text);
    if (waited != WAIT_TIMEOUT) break;
  }
  if (pipeOpen) DrainPipe(readEnd, text);

  DWORD exitCode = 0;
  const BOOL haveExitCode = GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(readEnd);
  // The exit code itself does not matter, only that the runtime ran.
  if (!haveExitCode) return false;

  return text.find("1.7") != std::string::npos || text.find("1.8") != std::string::npos ||
         text.find("1.9") != std::string::npos;
}

void AddRegistryJavaHomes(const wchar_t *key, REGSAM view, const wchar_t *suffix,
                          const wchar_t *valueName, std::vector<std::wstring> &list) {
  const REGSAM access = KEY_READ | view;
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, access, &root) != ERROR_SUCCESS) return;

  DWORD subkeys = 0;
  if (RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    subkeys = 0;
  }

  const size_t kNameLimit = 255;
  const DWORD kDataLimit = 0x3fff;
  std::vector<BYTE> data(kDataLimit + sizeof(wchar_t));
  for (DWORD index = 0; index < subkeys; ++index) {
    wchar_t name[kNameLimit];
    DWORD nameLength = kNameLimit;
    if (RegEnumKeyExW(root, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    std::wstring path(name, nameLength);
    if (suffix) path += suffix;
    if (path.size() >= kNameLimit) continue;  // name and suffix must fit the name buffer

    HKEY sub = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, access, &sub) != ERROR_SUCCESS) continue;

    std::fill(data.begin(), data.end(), 0);
    DWORD size = kDataLimit;
    if (RegQueryValueExW(sub, valueName, nullptr, nullptr, data.data(), &size) == ERROR_SUCCESS) {
      // Any value type is taken as text, up to its first NUL.
      const wchar_t *text = reinterpret_cast<const wchar_t *>(data.data());
      const size_t limit = size / sizeof(wchar_t);
      const std::wstring home(text, std::find(text, text + limit, L'\0'));
      if (std::find(list.begin(), list.end(), home) == list.end()) list.push_back(home);
    }
    RegCloseKey(sub);
  }
  RegCloseKey(root);
}

std::vector<std::wstring> CollectRegistryJavaHomes() {
  std::vector<std::wstring> found;
  for (const RegistrySource &row : kRegistrySources) {
    AddRegistryJavaHomes(row.key, row.view, row.suffix, row.value, found);
  }
  std::vector<std::wstring> kept;
  for (const std::wstring &home : found) {
    if (HasJavaExecutable(home)) kept.push_back(home);
  }
  return kept;
}

std::wstring FindJavaHome() {
  for (const wchar_t *variable : {L"JAVA_HOME", L"JDK_HOME", L"JRE_HOME"}) {
    const DWORD needed = GetEnvironmentVariableW(variable, nullptr, 0);
    if (needed <= 1) continue;  // unset or empty
    std::vector<wchar_t> buffer(needed);
    const DWORD length = GetEnvironmentVariableW(variable, buffer.data(), needed);
    if (length == 0 || length >= needed) continue;
    const std::wstring home(buffer.data(), length);
    if (HasJavaExecutable(home) && ProbeJavaVersion(home)) return home;
  }

  // The registry list is complete before the first probe; probing stops at
  // the first runtime that passes.
  for (const std::wstring &home : CollectRegistryJavaHomes()) {
    if (ProbeJavaVersion(home)) return home;
  }
  return std::wstring();
}
