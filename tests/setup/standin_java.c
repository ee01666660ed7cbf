/* A stand-in for a Java runtime's java.exe, for the launcher's tests.
 *
 * It lives in HOME\bin\java.exe and takes its behaviour from HOME\fake.cfg,
 * lines of key=value:
 *   version=TEXT        printed on standard error for "-version"
 *   exits=2,2,3         exit codes of successive installer runs (last one
 *                       repeats; runs are counted in HOME\runs.count)
 *   connect_ms=N        installer runs connect to 127.0.0.1:31031 after N ms
 *                       and keep the connection open
 *   run_ms=N            installer runs last N ms in all
 *   dellist_run=K       on installer run K ...
 *   dellist=A|B|C       ... write "del.list" naming A, B and C, the last
 *                       line without a line feed
 *   watch=A|B           files whose presence every installer run records
 *
 * Every start is appended to the log named by FAKEJAVA_LOG as UTF-8 lines:
 *   start T<ms> home=<home> cwd=<directory> cmd=<command line>
 *   seen <file>=0|1
 *   connected T<ms> | connect-failed
 *   exit T<ms> <code>
 */
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char config[8192];
static char home[MAX_PATH * 3];

static long long now_ms(void) {
  FILETIME ft;
  ULARGE_INTEGER v;
  GetSystemTimeAsFileTime(&ft);
  v.LowPart = ft.dwLowDateTime;
  v.HighPart = ft.dwHighDateTime;
  return (long long)(v.QuadPart / 10000);
}

static void to_utf8(const wchar_t *in, char *out, int size) {
  if (!WideCharToMultiByte(CP_UTF8, 0, in, -1, out, size, NULL, NULL)) out[0] = 0;
}

static void log_line(const char *line) {
  wchar_t path[MAX_PATH];
  HANDLE file;
  DWORD written;
  if (!GetEnvironmentVariableW(L"FAKEJAVA_LOG", path, MAX_PATH)) return;
  file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
  WriteFile(file, "\n", 1, &written, NULL);
  CloseHandle(file);
}

/* Value of key in the configuration, or NULL; copied into out. */
static const char *setting(const char *key, char *out, size_t size) {
  size_t keylen = strlen(key);
  const char *p = config;
  while (*p) {
    const char *end = strchr(p, '\n');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    if (len > keylen && strncmp(p, key, keylen) == 0 && p[keylen] == '=') {
      size_t vlen = len - keylen - 1;
      if (vlen && p[keylen + 1 + vlen - 1] == '\r') vlen--;
      if (vlen >= size) vlen = size - 1;
      memcpy(out, p + keylen + 1, vlen);
      out[vlen] = 0;
      return out;
    }
    p += len + (end ? 1 : 0);
  }
  return NULL;
}

static long setting_long(const char *key, long fallback) {
  char value[64];
  return setting(key, value, sizeof value) ? strtol(value, NULL, 10) : fallback;
}

static void read_file(const char *path, char *out, size_t size) {
  FILE *f = fopen(path, "rb");
  size_t n = 0;
  if (f) {
    n = fread(out, 1, size - 1, f);
    fclose(f);
  }
  out[n] = 0;
}

/* Counts installer runs; returns this run's number (1 for the first). */
static int next_run(void) {
  char path[sizeof home + 16], text[32];
  FILE *f;
  int run;
  snprintf(path, sizeof path, "%s\\runs.count", home);
  read_file(path, text, sizeof text);
  run = atoi(text) + 1;
  f = fopen(path, "wb");
  if (f) {
    fprintf(f, "%d", run);
    fclose(f);
  }
  return run;
}

static int exit_code_for(int run) {
  char list[256];
  char *p;
  int code = 0, i = 1;
  if (!setting("exits", list, sizeof list)) return 0;
  for (p = strtok(list, ","); p; p = strtok(NULL, ","), i++) {
    code = atoi(p);
    if (i == run) break;
  }
  return code;
}

static void write_delete_list(void) {
  char names[1024];
  FILE *f;
  char *p;
  if (!setting("dellist", names, sizeof names)) return;
  f = fopen("del.list", "wb");
  if (!f) return;
  for (p = names; *p; p++) fputc(*p == '|' ? '\n' : *p, f);
  fclose(f);
}

static void record_watched_files(void) {
  char names[1024], line[1200];
  char *p;
  if (!setting("watch", names, sizeof names)) return;
  for (p = strtok(names, "|"); p; p = strtok(NULL, "|")) {
    snprintf(line, sizeof line, "seen %s=%d", p, GetFileAttributesA(p) != INVALID_FILE_ATTRIBUTES);
    log_line(line);
  }
}

static int connect_readiness(void) {
  WSADATA wsa;
  SOCKET s;
  struct sockaddr_in addr;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 0;
  s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(31031);
  /* The socket stays open until this process ends. */
  return connect(s, (struct sockaddr *)&addr, sizeof addr) == 0;
}

int main(void) {
  wchar_t module[MAX_PATH], cwd[MAX_PATH];
  wchar_t *cmd = GetCommandLineW();
  char cwd8[MAX_PATH * 3], line[8192], cmd8[6000], cfgpath[sizeof home + 16];
  char text[512];
  wchar_t *slash;
  int i, run, code;
  long connect_ms, run_ms, started;

  GetModuleFileNameW(NULL, module, MAX_PATH);
  for (i = 0; i < 2; i++) { /* HOME\bin\java.exe -> HOME */
    slash = wcsrchr(module, L'\\');
    if (slash) *slash = 0;
  }
  to_utf8(module, home, sizeof home);
  GetCurrentDirectoryW(MAX_PATH, cwd);
  to_utf8(cwd, cwd8, sizeof cwd8);
  to_utf8(cmd, cmd8, sizeof cmd8);
  snprintf(cfgpath, sizeof cfgpath, "%s\\fake.cfg", home);
  read_file(cfgpath, config, sizeof config);

  snprintf(line, sizeof line, "start T%lld home=%s cwd=%s cmd=%s", now_ms(), home, cwd8, cmd8);
  log_line(line);

  if (wcsstr(cmd, L"-version")) {
    if (setting("version", text, sizeof text)) fprintf(stderr, "%s\n", text);
    fflush(stderr);
    return 0;
  }

  run = next_run();
  started = (long)GetTickCount();
  record_watched_files();
  connect_ms = setting_long("connect_ms", -1);
  run_ms = setting_long("run_ms", 0);
  if (connect_ms >= 0) {
    Sleep((DWORD)connect_ms);
    if (connect_readiness()) {
      snprintf(line, sizeof line, "connected T%lld", now_ms());
    } else {
      snprintf(line, sizeof line, "connect-failed");
    }
    log_line(line);
  }
  if (setting_long("dellist_run", 0) == run) write_delete_list();
  if (run_ms > (long)GetTickCount() - started) Sleep((DWORD)(run_ms - ((long)GetTickCount() - started)));

  code = exit_code_for(run);
  snprintf(line, sizeof line, "exit T%lld %d", now_ms(), code);
  log_line(line);
  return code;
}
