// Shared declarations of the installer launcher.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Working directory captured once at start-up. Every child process runs in it
// and every installer file is looked up under it.
extern std::wstring LaunchDirectory;

// Fills LaunchDirectory from the current directory (called once, before the
// main flow runs).
void CaptureLaunchDirectory();

// ---- Java runtime discovery ------------------------------------------------

// True when base + suffix names anything (file or directory).
bool PathExists(const std::wstring &base, const std::wstring &suffix);

// Runs home\bin\java.exe -version and accepts versions 1.7, 1.8 and 1.9.
bool ProbeJavaVersion(const std::wstring &home);

// Adds the homes named by one registry source row to the list, skipping
// strings the list already holds. suffix may be null.
void AddRegistryJavaHomes(const wchar_t *key, REGSAM view, const wchar_t *suffix,
                          const wchar_t *valueName, std::vector<std::wstring> &list);

// All registry homes in source order that are directories holding
// bin\java.exe (no version probe yet).
std::vector<std::wstring> CollectRegistryJavaHomes();

// The first acceptable Java home, or an empty string.
std::wstring FindJavaHome();

// ---- Installer start -------------------------------------------------------

// The java.exe command line that starts the installer from javaHome with
// the jars of launchDir on the boot class path.
std::wstring BuildInstallerCommandLine(const std::wstring &javaHome,
                                       const std::wstring &launchDir);

// Deletes the files named in "del.list" and then the list itself.
void ProcessDeleteList();

// Finds Java, checks the installer files and runs the start cycle.
void StartInstaller();

// ---- Start-up progress window and readiness listener -----------------------

struct ThreadRef {
  HANDLE handle = nullptr;
  unsigned id = 0;
};

struct ListenerRecord {
  ThreadRef *progress = nullptr;  // stopped by the listener on connection
  HANDLE event = nullptr;         // manual-reset: first and second signal
  volatile LONG status = 0;       // non-zero once the listener's set-up failed
  HANDLE stop = nullptr;          // set by the main thread when the installer ended
};

// Per-cycle state of the start-up feedback, owned by the main thread.
struct StartupFeedback {
  ThreadRef progress;
  ThreadRef listener;
  ListenerRecord *record = nullptr;
};

// Shows the progress window and starts the readiness listener; returns when
// the listener listens or has failed (then the window is closed again).
void BeginStartupFeedback(StartupFeedback &feedback);

// Called after the installer process has ended: ends the listener (also
// when the installer never connected), closes a window still shown and frees
// the cycle's record and handles.
void EndStartupFeedback(StartupFeedback &feedback);

// Asks a worker thread to quit, terminates it if it is still running after
// one second, and closes its handle.
void StopThread(ThreadRef &ref);

// Shows an error in a message box with the caption "Error".
void ShowError(const wchar_t *text);
