/* Looks at and operates the launcher's windows from inside the Wine desktop.
 *
 *   wintool msgbox TIMEOUT_MS
 *       Waits for a message box captioned "Error", prints its caption, text
 *       and whether it shows the error icon, then presses its OK button.
 *   wintool watch TIMEOUT_MS COUNT [close|minimize|none]
 *       Waits COUNT times for the progress window to be shown and then to
 *       go away, printing "shown ..." and "gone ..." lines. With close or
 *       minimize it chooses that command from the window's system menu the
 *       first time the window shows. Prints "timeout" when it waits in vain.
 *   wintool absent MS
 *       Polls for MS milliseconds; prints "seen" if the progress window
 *       shows during that time and "absent" otherwise.
 *
 * Output is UTF-8, one fact a line; times are milliseconds since 1601 on the
 * same clock that the stand-in runtime logs with.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const wchar_t kProgressClass[] = L"wren_progress_bar_class";

static long long now_ms(void) {
  FILETIME ft;
  ULARGE_INTEGER v;
  GetSystemTimeAsFileTime(&ft);
  v.LowPart = ft.dwLowDateTime;
  v.HighPart = ft.dwHighDateTime;
  return (long long)(v.QuadPart / 10000);
}

static void out(const char *text) {
  DWORD written;
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  WriteFile(h, text, (DWORD)strlen(text), &written, NULL);
  WriteFile(h, "\n", 1, &written, NULL);
}

static void to_utf8(const wchar_t *in, char *buf, int size) {
  if (!WideCharToMultiByte(CP_UTF8, 0, in, -1, buf, size, NULL, NULL)) buf[0] = 0;
}

static HWND visible_progress_window(void) {
  HWND w = FindWindowW(kProgressClass, NULL);
  return w && IsWindowVisible(w) ? w : NULL;
}

struct box_search {
  HWND found;
};

static BOOL CALLBACK find_error_box(HWND w, LPARAM param) {
  wchar_t cls[64], title[64];
  GetClassNameW(w, cls, 64);
  GetWindowTextW(w, title, 64);
  if (wcscmp(cls, L"#32770") == 0 && wcscmp(title, L"Error") == 0 && IsWindowVisible(w)) {
    ((struct box_search *)param)->found = w;
    return FALSE;
  }
  return TRUE;
}

struct box_parts {
  wchar_t text[512];
  int icon;
  HWND ok;
};

static BOOL CALLBACK read_box_part(HWND w, LPARAM param) {
  struct box_parts *parts = (struct box_parts *)param;
  wchar_t cls[64], text[512];
  LONG style;
  GetClassNameW(w, cls, 64);
  GetWindowTextW(w, text, 512);
  style = GetWindowLongW(w, GWL_STYLE);
  if (_wcsicmp(cls, L"Static") == 0) {
    if ((style & SS_TYPEMASK) == SS_ICON) {
      parts->icon = SendMessageW(w, STM_GETICON, 0, 0) != 0;
    } else if (text[0]) {
      wcscpy(parts->text, text);
    }
  } else if (_wcsicmp(cls, L"Button") == 0 && GetDlgCtrlID(w) == IDOK) {
    parts->ok = w;
  }
  return TRUE;
}

static int cmd_msgbox(DWORD timeout) {
  struct box_search search = {NULL};
  struct box_parts parts;
  DWORD start = GetTickCount();
  char line[1600], text8[1500];
  wchar_t caption[64];
  while (!search.found) {
    EnumWindows(find_error_box, (LPARAM)&search);
    if (search.found) break;
    if (GetTickCount() - start > timeout) {
      out("timeout");
      return 1;
    }
    Sleep(100);
  }
  Sleep(200); /* let the box finish laying itself out */
  memset(&parts, 0, sizeof parts);
  EnumChildWindows(search.found, read_box_part, (LPARAM)&parts);
  GetWindowTextW(search.found, caption, 64);
  to_utf8(caption, text8, sizeof text8);
  snprintf(line, sizeof line, "caption=%s", text8);
  out(line);
  to_utf8(parts.text, text8, sizeof text8);
  snprintf(line, sizeof line, "text=%s", text8);
  out(line);
  snprintf(line, sizeof line, "icon=%d ok=%d", parts.icon, parts.ok != NULL);
  out(line);
  PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)parts.ok);
  return 0;
}

static int cmd_watch(DWORD timeout, int count, const char *action) {
  int seen;
  char line[1024], title8[512];
  for (seen = 0; seen < count; seen++) {
    DWORD start = GetTickCount();
    HWND w;
    wchar_t title[256];
    RECT rect;
    while (!(w = visible_progress_window())) {
      if (GetTickCount() - start > timeout) {
        out("timeout");
        return 1;
      }
      Sleep(20);
    }
    GetWindowTextW(w, title, 256);
    to_utf8(title, title8, sizeof title8);
    GetWindowRect(w, &rect);
    snprintf(line, sizeof line, "shown T%lld rect=%ld,%ld,%ld,%ld full=%d,%d style=%lx title=%s",
             now_ms(), rect.left, rect.top, rect.right, rect.bottom,
             GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN),
             (unsigned long)GetWindowLongW(w, GWL_STYLE), title8);
    out(line);
    if (seen == 0 && strcmp(action, "close") == 0) {
      PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (seen == 0 && strcmp(action, "minimize") == 0) {
      PostMessageW(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    }
    start = GetTickCount();
    while (IsWindow(w) && IsWindowVisible(w)) {
      if (GetTickCount() - start > timeout) {
        out("timeout");
        return 1;
      }
      Sleep(20);
    }
    snprintf(line, sizeof line, "gone T%lld", now_ms());
    out(line);
  }
  return 0;
}

static int cmd_absent(DWORD ms) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    if (visible_progress_window()) {
      out("seen");
      return 1;
    }
    Sleep(20);
  }
  out("absent");
  return 0;
}

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "msgbox") == 0) return cmd_msgbox((DWORD)atol(argv[2]));
  if (argc >= 4 && strcmp(argv[1], "watch") == 0)
    return cmd_watch((DWORD)atol(argv[2]), atoi(argv[3]), argc >= 5 ? argv[4] : "none");
  if (argc >= 3 && strcmp(argv[1], "absent") == 0) return cmd_absent((DWORD)atol(argv[2]));
  fprintf(stderr, "usage: wintool msgbox MS | watch MS COUNT [close|minimize|none] | absent MS\n");
  return 2;
}
