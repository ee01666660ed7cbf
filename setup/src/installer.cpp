// The installer's start cycle: file checks, the delete list, the java.exe
// command line, and restarts while the installer asks for them (exit code 2).
#include "launcher.h"

#include <cstdio>
#include <string>

namespace {

const wchar_t kMainClass[] = L"ru.Kestrel.Installer.InstallerForm";

// The jars in boot class path order.
const wchar_t *const kBootJars[] = {L"forms_rt.jar", L"Wreninst.jar", L"WreninstGUI.jar",
                                    L"asn1rt.jar",   L"ASN1P.jar",    L"Wren.jar"};

const DWORD kRestartExitCode = 2;

}  // namespace

void ShowError(const wchar_t *text) {
  MessageBoxW(nullptr, text, L"Error", MB_ICONERROR | MB_OK);
}

std::wstring BuildInstallerCommandLine(const std::wstring &javaHome,
                                       const std::wstring &launchDir) {
  std::wstring line = L"\"" + javaHome + L"\\bin\\java.exe\"";
  line += L" -Xbootclasspath/a:.;";
  for (const wchar_t *jar : kBootJars) {
    line += L"\"" + launchDir + L"\\" + jar + L"\";";
  }
  line += L" ";
  line += kMainClass;
  return line;
}

void ProcessDeleteList() {
  FILE *list = std::fopen("del.list", "rt");
  if (!list) return;
  std::string name;
  bool more = true;
  while (more) {
    // One line per file name; a last line without a line feed counts too.
    name.clear();
    int c;
    while ((c = std::fgetc(list)) != EOF && c != '\n') name.push_back(static_cast<char>(c));
    more = c != EOF;
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) std::remove(name.c_str());
  }
  std::fclose(list);
  std::remove("del.list");
}

void StartInstaller() {
  const std::wstring javaHome = FindJavaHome();
  if (javaHome.empty()) {
    ShowError(L"Error occurred: JRE not found.");
    return;
  }
  if (!PathExists(LaunchDirectory, L"\\forms_rt.jar") ||
      !PathExists(LaunchDirectory, L"\\Wreninst.jar") ||
      !PathExists(LaunchDirectory, L"\\WreninstGUI.jar")) {
    ShowError(L"Error occurred: installer modules not found.");
    return;
  }
  if (!PathExists(LaunchDirectory, L"\\Wren.jar")) {
    ShowError(L"Error occurred: Wren not found.");
    return;
  }

  for (;;) {
    ProcessDeleteList();
    std::wstring commandLine = BuildInstallerCommandLine(javaHome, LaunchDirectory);

    StartupFeedback feedback;
    BeginStartupFeedback(feedback);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_DEFAULT_ERROR_MODE | CREATE_NO_WINDOW,
                        nullptr, LaunchDirectory.c_str(), &startup, &child)) {
      ShowError(L"Process's start failed.");
      EndStartupFeedback(feedback);
      return;
    }
    ResumeThread(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);

    EndStartupFeedback(feedback);

    DWORD exitCode = 0;
    const BOOL haveExitCode = GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    if (!haveExitCode) {
      // Without an exit code there is nothing to decide a restart on.
      ShowError(L"Process fulfilment failed.");
      return;
    }
    if (exitCode != kRestartExitCode) return;
  }
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  FreeConsole();
  CaptureLaunchDirectory();
  StartInstaller();
  return 0;
}
