// The progress window shown while the installer starts, and the listener that
// closes it when the installer connects to 127.0.0.1:31031.
#include "launcher.h"

#include <winsock2.h>
#include <commctrl.h>
#include <process.h>

#include <cstdlib>

namespace {

const wchar_t kWindowClass[] = L"wren_progress_bar_class";
const wchar_t kTitleEnglish[] = L"Starting Wren installer...";
const wchar_t kTitleRussian[] =
    L"\u0417\u0430\u043f\u0443\u0441\u043a \u0443\u0441\u0442\u0430\u043d\u043e\u0432"
    L"\u0449\u0438\u043a\u0430 Wren...";
const LCID kRussianLocale = 0x0419;

const int kWindowWidth = 300;
const int kWindowHeight = 75;
const int kBarMargin = 5;

const char kReadinessAddress[] = "127.0.0.1";
const u_short kReadinessPort = 31031;
const int kBacklog = 5;

// How long the main thread gives the listener to finish once asked to stop.
const DWORD kListenerGrace = 5000;

// Thread message that tells the progress thread to show its window.
const UINT kShowWindowMessage = WM_APP + 1;

// Marks a window whose thread has left its message loop: the WM_DESTROY that
// arrives while the thread is being torn down is not the user's doing.
const LONG_PTR kLoopFinished = 1;

// The user closing or minimising the window ends the launcher.
void QuitLauncher() {
  PostQuitMessage(0);
  std::exit(1);
}

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      if (GetWindowLongPtrW(window, GWLP_USERDATA) == kLoopFinished) break;
      QuitLauncher();
      break;
    case WM_CLOSE:
      QuitLauncher();
      break;
    case WM_SYSCOMMAND: {
      const WPARAM command = wParam & 0xFFF0;
      if (command == SC_MINIMIZE || command == SC_CLOSE) QuitLauncher();
      break;
    }
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Registers the window class on first use; later cycles reuse it.
bool EnsureWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = ProgressWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hIconSm = LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_INACTIVEBORDER + 1));
  windowClass.lpszClassName = kWindowClass;
  return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// Thread entry of the progress window; the argument is an event that is set
// as soon as the thread can receive thread messages.
unsigned __stdcall ProgressWindowThread(void *started) {
  MSG message;
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  SetEvent(static_cast<HANDLE>(started));

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  InitCommonControls();
  const int width = GetSystemMetrics(SM_CXFULLSCREEN);
  const int height = GetSystemMetrics(SM_CYFULLSCREEN);

  if (!EnsureWindowClass(instance)) return 1;

  const wchar_t *title = GetUserDefaultLCID() == kRussianLocale ? kTitleRussian : kTitleEnglish;
  const HWND window = CreateWindowExW(0, kWindowClass, title, WS_OVERLAPPEDWINDOW,
                                      (width - kWindowWidth) / 2, (height - kWindowHeight) / 2,
                                      kWindowWidth, kWindowHeight, nullptr, nullptr, instance,
                                      nullptr);
  if (!window) return 1;

  const LONG style = GetWindowLongW(window, GWL_STYLE);
  SetWindowLongW(window, GWL_STYLE, style & ~(WS_MAXIMIZEBOX | WS_MINIMIZEBOX));

  RECT client = {};
  GetClientRect(window, &client);
  const HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, L"",
                                   WS_CHILD | WS_VISIBLE | PBS_MARQUEE | PBS_SMOOTH,
                                   client.left + kBarMargin, client.top + kBarMargin,
                                   client.right - 2 * kBarMargin, client.bottom - 2 * kBarMargin,
                                   window, nullptr, instance, nullptr);
  SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);

  // The window shows once the main thread knows that the listener is up
  // (kShowWindowMessage); when the listener could not be set up, WM_QUIT
  // comes instead and the window is never seen.
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.hwnd == nullptr && message.message == kShowWindowMessage) {
      ShowWindow(window, SW_SHOW);
      UpdateWindow(window);
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // The window goes away with this thread.
  SetWindowLongPtrW(window, GWLP_USERDATA, kLoopFinished);
  return 0;
}

// Thread entry of the readiness listener; the argument is the cycle's
// ListenerRecord. Signals the record's event once listening (or failed) and
// again when it is done.
unsigned __stdcall ReadinessListenerThread(void *argument) {
  ListenerRecord &record = *static_cast<ListenerRecord *>(argument);

  WSADATA winsock;
  const int started = WSAStartup(MAKEWORD(2, 2), &winsock);
  record.status = started;
  if (started != 0) {
    if (!SetEvent(record.event)) record.status = 1;
    return 0;
  }

  SOCKET listener = INVALID_SOCKET;
  WSAEVENT incoming = WSA_INVALID_EVENT;
  do {
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
      record.status = 1;
      break;
    }
    // Sockets are inheritable by default, and the installer is started with
    // handle inheritance on: it would keep the port bound after we are done.
    SetHandleInformation(reinterpret_cast<HANDLE>(listener), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(kReadinessAddress);
    address.sin_port = htons(kReadinessPort);
    record.status = bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    if (record.status == SOCKET_ERROR) break;
    record.status = listen(listener, kBacklog);
    if (record.status == SOCKET_ERROR) break;

    // Wait for a connection or for the main thread's word that the installer
    // has ended without connecting, whichever comes first.
    incoming = WSACreateEvent();
    if (incoming == WSA_INVALID_EVENT || WSAEventSelect(listener, incoming, FD_ACCEPT) != 0) {
      record.status = 1;
      break;
    }

    if (!SetEvent(record.event)) {  // first signal: listening
      record.status = 1;
      break;
    }

    bool connected = false;
    const HANDLE waitFor[] = {incoming, record.stop};
    while (!connected) {
      const DWORD woke = WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
      if (woke != WAIT_OBJECT_0) break;  // stop requested, or the wait failed
      WSAResetEvent(incoming);
      // The accepted connection is left open: the installer holds its end.
      const SOCKET connection = accept(listener, nullptr, nullptr);
      if (connection != INVALID_SOCKET) {
        SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
        connected = true;
      } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        break;
      }
    }
    if (connected) {
      StopThread(*record.progress);
      record.status = closesocket(listener);
      listener = INVALID_SOCKET;
    }
  } while (false);

  if (listener != INVALID_SOCKET) closesocket(listener);
  if (incoming != WSA_INVALID_EVENT) WSACloseEvent(incoming);
  if (!SetEvent(record.event)) record.status = 1;  // second signal: done
  WSACleanup();
  return 0;
}

// Starts a thread and waits until it has signalled `running` (or ended):
// threads are started one at a time, never back to back.
ThreadRef StartThread(unsigned(__stdcall *entry)(void *), void *argument, HANDLE running) {
  ThreadRef ref;
  const uintptr_t handle = _beginthreadex(nullptr, 0, entry, argument, 0, &ref.id);
  if (handle == 0) return ThreadRef();
  ref.handle = reinterpret_cast<HANDLE>(handle);
  const HANDLE waitFor[] = {running, ref.handle};
  WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
  return ref;
}

void CloseThreadRef(ThreadRef &ref) {
  CloseHandle(ref.handle);
  ref.handle = nullptr;
  ref.id = 0;
}

}  // namespace

void StopThread(ThreadRef &ref) {
  if (!ref.handle) return;
  if (PostThreadMessageW(ref.id, WM_QUIT, 0, 0)) WaitForSingleObject(ref.handle, 1000);
  DWORD exitCode = 0;
  if (GetExitCodeThread(ref.handle, &exitCode) && exitCode == STILL_ACTIVE) {
    TerminateThread(ref.handle, 0);
  }
  CloseThreadRef(ref);
}

void BeginStartupFeedback(StartupFeedback &feedback) {
  const HANDLE windowRunning = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  feedback.progress = StartThread(ProgressWindowThread, windowRunning, windowRunning);
  if (windowRunning) CloseHandle(windowRunning);
  // Once the listener runs, the progress ThreadRef is the listener's to use.
  const HANDLE windowThread = feedback.progress.handle;
  const unsigned windowThreadId = feedback.progress.id;

  ListenerRecord *record = new ListenerRecord;
  record->progress = &feedback.progress;
  record->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  record->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  record->status = 0;
  feedback.record = record;

  if (record->event && record->stop) {
    // The record's event doubles as the listener's "running" signal.
    feedback.listener = StartThread(ReadinessListenerThread, record, record->event);
  }
  if (!feedback.listener.handle) {
    // Without a listener nobody would close the window.
    record->status = 1;
    StopThread(feedback.progress);
    return;
  }
  ResetEvent(record->event);
  if (record->status != 0) {
    StopThread(feedback.progress);
  } else if (windowThread) {
    PostThreadMessageW(windowThreadId, kShowWindowMessage, 0, 0);
  }
}

void EndStartupFeedback(StartupFeedback &feedback) {
  ListenerRecord *record = feedback.record;
  if (feedback.listener.handle) {
    // The installer has ended: a listener still waiting for its connection
    // will not get one.
    SetEvent(record->stop);
    if (WaitForSingleObject(feedback.listener.handle, kListenerGrace) == WAIT_TIMEOUT) {
      TerminateThread(feedback.listener.handle, 0);
    }
    CloseThreadRef(feedback.listener);
  }
  // Still shown when the installer never connected.
  StopThread(feedback.progress);

  if (record) {
    if (record->event) CloseHandle(record->event);
    if (record->stop) CloseHandle(record->stop);
    delete record;
    feedback.record = nullptr;
  }
}
