#!/usr/bin/env python3
"""Tests of the installer launcher (setup.exe), run under Wine.

Every group runs setup.exe in a private Wine prefix on an Xvfb screen with a
stand-in java.exe whose behaviour each case writes into HOME\\fake.cfg, and
reads what the stand-in logged (its command lines, working directory, the
files it saw, when it connected and ended) and what wintool.exe saw of the
launcher's windows from inside the Wine desktop.

  up        create the prefix (once), start Xvfb and the wineserver
  down      stop them
  binary    static checks of setup.exe (no Wine)
  discovery Java runtime search: environment, registry, version probe
  start     file checks, messages, the delete list, restarts
  window    the progress window and the readiness connection
"""
import argparse
import fcntl
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

DESKTOP = "800x600"
JARS = ["forms_rt.jar", "Wreninst.jar", "WreninstGUI.jar", "asn1rt.jar", "ASN1P.jar", "Wren.jar"]
MAIN_CLASS = "ru.Kestrel.Installer.InstallerForm"
TITLE_EN = "Starting Wren installer..."
TITLE_RU = "Запуск установщика Wren..."
FILETIME_UNIX_OFFSET_MS = 11644473600000
WS_MINIMIZEBOX = 0x20000
WS_MAXIMIZEBOX = 0x10000

failures = []


def check(condition, what, detail=""):
    status = "ok  " if condition else "FAIL"
    print(f"  [{status}] {what}" + (f"\n         {detail}" if (detail and not condition) else ""))
    if not condition:
        failures.append(what)
    return condition


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.prefix = os.path.join(self.work, "prefix")
        self.helper = os.path.join(args.scripts, "wine-prefix.sh")
        self.locale_dir = os.path.join(self.work, "locale")

    def env(self, extra=None):
        env = dict(os.environ)
        for name in ("JAVA_HOME", "JDK_HOME", "JRE_HOME", "LC_ALL", "LANG", "LANGUAGE"):
            env.pop(name, None)
        env_file = os.path.join(self.prefix, "env.sh")
        if not os.path.exists(env_file):
            sys.exit("wine_tests: the Wine environment is not up (run the 'up' step first)")
        with open(env_file) as f:
            for line in f:
                m = re.match(r"export (\w+)='(.*)'", line.strip())
                if m:
                    env[m.group(1)] = m.group(2)
        if os.path.isdir(self.locale_dir):
            env["LOCPATH"] = self.locale_dir
        env.update(extra or {})
        return env

    def run(self, argv, extra=None, timeout=60, cwd=None):
        return subprocess.run(["wine"] + argv, env=self.env(extra), cwd=cwd, timeout=timeout,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)

    def reg_add(self, key, name, data, view):
        self.run(["reg", "add", "HKLM\\" + key, "/v", name, "/t", "REG_SZ", "/d", data,
                  "/reg:" + view, "/f"])

    def tool(self, *argv, extra=None):
        """Starts wintool.exe; its output is read line by line."""
        return subprocess.Popen(["wine", self.args.wintool] + list(argv), env=self.env(extra),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, encoding="utf-8")

    def setup(self, cwd, extra=None):
        return subprocess.Popen(["wine", self.args.setup], env=self.env(extra), cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)


def wait(process, timeout, what):
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        check(False, f"{what} ends within {timeout} s")
        return None


def read_lines(process, timeout):
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, _ = process.communicate()
    return out.splitlines()


class Case:
    """A launch directory, Java homes with stand-in runtimes, and the log."""

    def __init__(self, wine, name, jars=JARS):
        self.wine = wine
        self.root = os.path.join(wine.work, "cases", name)
        shutil.rmtree(self.root, ignore_errors=True)
        self.launch = os.path.join(self.root, "launch dir")
        os.makedirs(self.launch)
        for jar in jars:
            open(os.path.join(self.launch, jar), "w").close()
        self.log = os.path.join(self.root, "calls.log")

    def home(self, name, with_java=True, **config):
        home = os.path.join(self.root, name)
        os.makedirs(os.path.join(home, "bin"), exist_ok=True)
        if with_java:
            shutil.copy(self.wine.args.java, os.path.join(home, "bin", "java.exe"))
        with open(os.path.join(home, "fake.cfg"), "w") as f:
            for key, value in config.items():
                f.write(f"{key}={value}\n")
        return home

    def env(self, **variables):
        extra = {"FAKEJAVA_LOG": winpath(self.log)}
        extra.update(variables)
        return extra

    def entries(self):
        """The stand-in's log as (kind, fields) pairs."""
        if not os.path.exists(self.log):
            return []
        result = []
        with open(self.log, encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                kind, _, rest = line.partition(" ")
                result.append((kind, rest))
        return result

    def starts(self):
        starts = []
        for kind, rest in self.entries():
            if kind == "start":
                m = re.match(r"T(\d+) home=(.*) cwd=(.*) cmd=(.*)$", rest)
                starts.append({"t": int(m.group(1)), "home": m.group(2), "cwd": m.group(3),
                               "cmd": m.group(4)})
        return starts

    def probes(self):
        return [s for s in self.starts() if s["cmd"].endswith(" -version")]

    def installer_runs(self):
        return [s for s in self.starts() if not s["cmd"].endswith(" -version")]

    def times(self, kind):
        return [int(rest.split()[0][1:]) for k, rest in self.entries() if k == kind]


def probe_line(home_win):
    return f'"{home_win}\\bin\\java.exe"  -version'


def installer_line(home_win, launch_win):
    jars = "".join(f'"{launch_win}\\{jar}";' for jar in JARS)
    return f'"{home_win}\\bin\\java.exe" -Xbootclasspath/a:.;{jars} {MAIN_CLASS}'


def run_with_message(wine, case, extra, what):
    """Runs setup.exe expecting one error message box; returns (text, exit code)."""
    launcher = wine.setup(case.launch, case.env(**extra))
    tool = wine.tool("msgbox", "60000")
    lines = read_lines(tool, 90)
    code = wait(launcher, 60, f"{what}: launcher")
    fields = dict(line.split("=", 1) for line in lines if "=" in line and " " not in line[:8])
    check(fields.get("caption") == "Error", f"{what}: message box captioned \"Error\"", lines)
    check("icon=1 ok=1" in lines, f"{what}: error icon and an OK button", lines)
    return fields.get("text"), code


# --------------------------------------------------------------------------
# up / down


def group_up(wine):
    os.makedirs(wine.work, exist_ok=True)
    subprocess.run([wine.helper, "create", wine.prefix, "--desktop", DESKTOP], check=True,
                   stdin=subprocess.DEVNULL)
    subprocess.run([wine.helper, "start", wine.prefix], check=True, stdin=subprocess.DEVNULL)
    # The Russian locale may not be generated system-wide; a private copy does.
    available = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout
    if "ru_RU.utf8" not in available and not os.path.isdir(os.path.join(wine.locale_dir, "ru_RU.UTF-8")):
        os.makedirs(wine.locale_dir, exist_ok=True)
        subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8",
                        os.path.join(wine.locale_dir, "ru_RU.UTF-8")], check=True)
    # Bring up the desktop now, so that its process holds none of the
    # test's pipes later.
    subprocess.run(["wine", wine.args.wintool, "absent", "10"], env=wine.env(),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120)
    check(True, "Wine prefix and X server are up")


def group_down(wine):
    subprocess.run([wine.helper, "stop", wine.prefix], stdin=subprocess.DEVNULL)
    check(True, "Wine and X server stopped")


# --------------------------------------------------------------------------
# binary


def group_binary(wine):
    objdump = shutil.which("i686-w64-mingw32-objdump") or shutil.which("objdump")
    dump = subprocess.run([objdump, "-p", wine.args.setup], stdout=subprocess.PIPE, text=True).stdout
    dlls = sorted({d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)})
    system = {"kernel32.dll", "user32.dll", "advapi32.dll", "comctl32.dll", "ws2_32.dll",
              "msvcrt.dll", "gdi32.dll"}
    check(dlls and set(dlls) <= system, "setup.exe imports system DLLs only", dlls)
    check(re.search(r"Subsystem\s+00000002", dump) is not None, "setup.exe is a GUI program")
    check("pei-i386" in dump, "setup.exe is a 32-bit program")
    data = open(wine.args.setup, "rb").read()
    check(b'level="requireAdministrator"' in data, "manifest requires administrator rights")
    check(re.search(rb'name="Microsoft\.Windows\.Common-Controls" version="6\.0\.0\.0"', data)
          is not None, "manifest binds common controls 6.0.0.0")
    wide = lambda s: s.encode("utf-16-le")
    for text in ("setup for Wren", "1, 0, 0, 1", "041904b0", "setup"):
        check(wide(text) in data, f"version resource holds \"{text}\"")
    check(b"\x19\x04\xb0\x04" in data, "version resource declares Russian, Unicode")


# --------------------------------------------------------------------------
# discovery


def clear_registry(wine):
    for key in ("JavaSoft", "Eclipse Adoptium", "AdoptOpenJDK", "Semeru"):
        for view in ("32", "64"):
            wine.run(["reg", "delete", f"HKLM\\SOFTWARE\\{key}", "/f", f"/reg:{view}"])


def group_discovery(wine):
    print("no runtime anywhere; variables naming a file and a directory without java.exe")
    case = Case(wine, "discovery-none")
    clear_registry(wine)
    a_file = os.path.join(case.root, "not a dir")
    open(a_file, "w").close()
    empty = case.home("no java", with_java=False)
    text, code = run_with_message(wine, case, {"JAVA_HOME": winpath(a_file), "JDK_HOME": winpath(empty)},
                                  "no runtime")
    check(text == "Error occurred: JRE not found.", "the message reads \"Error occurred: JRE not found.\"", text)
    check(code == 0, "launcher exit code 0", code)
    check(case.starts() == [], "nothing was started", case.starts())

    print("variables in order, then the registry rows in order, both views")
    case = Case(wine, "discovery-registry")
    h17 = case.home("env 17", version='java version "17.0.1"')
    nojava = case.home("no java", with_java=False)
    regular = os.path.join(case.root, "a file")
    open(regular, "w").close()
    homes = {}
    for name, version in [("h1", "17.0.1"), ("h2", "11.0.2"), ("h3", "17.0.1"), ("h4", "21"),
                          ("h5", "11.0.2"), ("h6", "17.0.1"), ("h7", "1.8.0_301"), ("h8", "1.8.0_301")]:
        homes[name] = winpath(case.home(name, version=f'openjdk version "{version}"', exits="0"))
    jre, jdk = "SOFTWARE\\JavaSoft\\Java Runtime Environment", "SOFTWARE\\JavaSoft\\Java Development Kit"
    rows = [
        (jre + "\\1.8", "JavaHome", homes["h1"], "32"),
        (jre + "\\1.8.0_301", "JavaHome", homes["h1"], "32"),
        (jre + "\\1.6", "Other", homes["h8"], "32"),           # no JavaHome value
        (jre + "\\1.8", "JavaHome", homes["h1"], "64"),        # same home, other view
        (jre + "\\9", "JavaHome", homes["h2"], "64"),
        (jdk + "\\1.7", "JavaHome", winpath(nojava), "32"),    # no bin\java.exe
        (jdk + "\\1.5", "JavaHome", winpath(regular), "32"),   # not a directory
        (jdk + "\\17", "JavaHome", homes["h3"], "64"),
        ("SOFTWARE\\Eclipse Adoptium\\JDK\\8.0.1\\hotspot\\MSI", "Path", homes["h4"], "32"),
        ("SOFTWARE\\AdoptOpenJDK\\JDK\\8\\openj9\\MSI", "Path", homes["h5"], "32"),
        ("SOFTWARE\\AdoptOpenJDK\\JDK\\11\\openj9\\MSI", "Path", homes["h6"], "32"),
        ("SOFTWARE\\AdoptOpenJDK\\JRE\\8\\hotspot\\MSI", "Path", homes["h5"], "64"),
        ("SOFTWARE\\AdoptOpenJDK\\JRE\\8\\MSI", "Path", homes["h8"], "64"),  # wrong suffix
        ("SOFTWARE\\Semeru\\JRE\\8\\openj9\\MSI", "Path", homes["h7"], "64"),
    ]
    for key, name, data, view in rows:
        wine.reg_add(key, name, data, view)
    run = wine.setup(case.launch, case.env(JAVA_HOME=winpath(regular), JDK_HOME=winpath(nojava),
                                           JRE_HOME=winpath(h17)))
    code = wait(run, 120, "registry search: launcher")
    probed = [p["home"] for p in case.probes()]
    expected = [winpath(h17)] + [homes[h] for h in ("h1", "h2", "h3", "h4", "h5", "h6", "h7")]
    check(probed == expected,
          "probe order: JRE_HOME, then each registry home once, in row order, 32-bit view first",
          f"probed {probed}\n         expected {expected}")
    check(all(p["cmd"] == probe_line(p["home"]) for p in case.probes()),
          "probe command line is the quoted java.exe, two blanks, -version",
          [p["cmd"] for p in case.probes()][:2])
    check(all(p["cwd"] == winpath(case.launch) for p in case.starts()),
          "every child runs in the launch directory")
    runs = case.installer_runs()
    check(len(runs) == 1 and runs[0]["home"] == homes["h7"],
          "the first home that passes the probe starts the installer", runs)
    check(code == 0, "launcher exit code 0", code)

    print("JAVA_HOME wins, unchanged, over JDK_HOME and the registry")
    case = Case(wine, "discovery-java-home")
    h8 = case.home("java home 8", version='java version "1.8.0_301"', exits="0")
    other = case.home("jdk home", version='java version "1.8.0_301"', exits="0")
    home_var = winpath(h8) + "\\"
    run = wine.setup(case.launch, case.env(JAVA_HOME=home_var, JDK_HOME=winpath(other)))
    code = wait(run, 60, "JAVA_HOME: launcher")
    starts = case.starts()
    check([s["cmd"] for s in starts] == [probe_line(home_var), installer_line(home_var, winpath(case.launch))],
          "one probe of JAVA_HOME, then the installer, each with the home as given (trailing backslash kept)",
          [s["cmd"] for s in starts])
    check(code == 0, "launcher exit code 0", code)


# --------------------------------------------------------------------------
# start


def group_start(wine):
    print("installer modules and Wren.jar are checked in order")
    case = Case(wine, "start-modules", jars=["forms_rt.jar", "WreninstGUI.jar", "asn1rt.jar", "ASN1P.jar"])
    home = case.home("jre", version='java version "1.8.0_301"')
    text, code = run_with_message(wine, case, {"JAVA_HOME": winpath(home)}, "Wreninst.jar missing")
    check(text == "Error occurred: installer modules not found.",
          "Wreninst.jar missing: \"Error occurred: installer modules not found.\"", text)
    check(code == 0, "launcher exit code 0", code)
    check(case.installer_runs() == [], "the installer is not started")

    case = Case(wine, "start-wren", jars=[j for j in JARS if j != "Wren.jar"])
    home = case.home("jre", version='java version "1.8.0_301"')
    text, code = run_with_message(wine, case, {"JAVA_HOME": winpath(home)}, "Wren.jar missing")
    check(text == "Error occurred: Wren not found.", "Wren.jar missing: \"Error occurred: Wren not found.\"", text)
    check(code == 0, "launcher exit code 0", code)
    check(case.installer_runs() == [], "the installer is not started")

    print("restart on exit code 2, delete list before every start, end on 3")
    case = Case(wine, "start-restart", jars=[j for j in JARS if j != "asn1rt.jar"])
    home = case.home("jre", version='java version "1.8.0_301"', exits="2,2,3,0",
                     dellist_run="1", dellist="a.tmp|b file.tmp",
                     watch="a.tmp|b file.tmp|c.tmp|keep.tmp|del.list")
    for name in ("a.tmp", "b file.tmp", "c.tmp", "keep.tmp"):
        open(os.path.join(case.launch, name), "w").close()
    with open(os.path.join(case.launch, "del.list"), "w") as f:
        f.write("c.tmp\nmissing.tmp\n")
    started = time.time()
    run = wine.setup(case.launch, case.env(JAVA_HOME=winpath(home)))
    code = wait(run, 90, "restart: launcher")
    elapsed = time.time() - started
    runs = case.installer_runs()
    check(len(runs) == 3, "three installer runs for exit codes 2, 2, 3", len(runs))
    seen = [rest for kind, rest in case.entries() if kind == "seen"]
    check(seen[:5] == ["a.tmp=1", "b file.tmp=1", "c.tmp=0", "keep.tmp=1", "del.list=0"],
          "del.list present at launch is processed before the first start", seen[:5])
    check(seen[5:10] == ["a.tmp=0", "b file.tmp=0", "c.tmp=0", "keep.tmp=1", "del.list=0"],
          "del.list from the installer (last line without a line feed) is processed before the restart",
          seen[5:10])
    check(all(r["cmd"] == runs[0]["cmd"] for r in runs), "every restart uses the same command line")
    check(code == 0, "launcher exit code 0", code)
    check(elapsed < 30, "an installer that never connects does not keep the launcher waiting",
          f"{elapsed:.1f} s")

    print("exit code 1 ends the launcher")
    case = Case(wine, "start-exit1")
    home = case.home("jre", version='java version "1.8.0_301"', exits="1,0")
    run = wine.setup(case.launch, case.env(JAVA_HOME=winpath(home)))
    code = wait(run, 60, "exit code 1: launcher")
    check(len(case.installer_runs()) == 1, "one installer run", len(case.installer_runs()))
    check(code == 0, "launcher exit code 0", code)


# --------------------------------------------------------------------------
# window


def parse_shown(line):
    m = re.match(r"shown T(\d+) rect=(-?\d+),(-?\d+),(-?\d+),(-?\d+) full=(\d+),(\d+) style=([0-9a-f]+) title=(.*)$",
                 line)
    if not m:
        return None
    v = [int(x) for x in m.groups()[:7]]
    return {"t": v[0], "rect": v[1:5], "full": v[5:7], "style": int(m.group(8), 16), "title": m.group(9)}


def readiness_socket():
    """A socket for the readiness port; connections the launcher left in
    TIME_WAIT must not make the port look taken."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    return sock


def port_free():
    probe = readiness_socket()
    try:
        probe.bind(("127.0.0.1", 31031))
        return True
    except OSError:
        return False
    finally:
        probe.close()


def wait_for_exit(case, timeout):
    """Waits until the stand-in installer has ended, so that no run outlives its case."""
    deadline = time.time() + timeout
    while not case.times("exit") and time.time() < deadline:
        time.sleep(0.2)
    check(bool(case.times("exit")), "the installer ends by itself later")


def group_window(wine):
    print("progress window in two start cycles, closed when the installer connects")
    case = Case(wine, "window-connect")
    home = case.home("jre", version='java version "1.8.0_301"', exits="2,0", connect_ms="2500", run_ms="4000")
    launcher = wine.setup(case.launch, case.env(JAVA_HOME=winpath(home)))
    tool = wine.tool("watch", "60000", "2")
    lines = []
    shot = os.path.join(wine.args.output, "setup-progress.png")
    for line in tool.stdout:
        lines.append(line.rstrip("\n"))
        if len(lines) == 1 and line.startswith("shown"):
            os.makedirs(wine.args.output, exist_ok=True)
            subprocess.run(["import", "-window", "root", shot], env=wine.env(), timeout=60)
    wait(tool, 60, "window watcher")
    code = wait(launcher, 60, "connect: launcher")
    shown = [parse_shown(line) for line in lines if line.startswith("shown")]
    gone = [int(line.split()[1][1:]) for line in lines if line.startswith("gone")]
    connected = case.times("connected")
    exits = case.times("exit")
    check(len(shown) == 2 and len(gone) == 2, "the window shows in both start cycles", lines)
    check(os.path.getsize(shot) > 0 if os.path.exists(shot) else False, f"screenshot saved as {shot}")
    if shown and shown[0]:
        w = shown[0]
        left, top, right, bottom = w["rect"]
        cx, cy = w["full"]
        check(w["title"] == TITLE_EN, f"title \"{TITLE_EN}\"", w["title"])
        check((right - left, bottom - top) == (300, 75), "size 300 by 75", w["rect"])
        check((left, top) == (int((cx - 300) / 2), int((cy - 75) / 2)),
              "centred on the full-screen work area", f"{w['rect']} in {cx}x{cy}")
        check(w["style"] & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX) == 0, "no minimise or maximise box",
              hex(w["style"]))
    if len(gone) == 2 and len(connected) == 2 and len(exits) == 2:
        delays = [g - c for g, c in zip(gone, connected)]
        # The stand-in notes its connection after connect() returns; the
        # launcher may already have closed the window by then, so the
        # watcher's time can come a few milliseconds earlier.
        check(all(-100 <= d <= 1500 for d in delays), "window gone within about a second of the connection",
              f"delays {delays} ms")
        check(all(g < e for g, e in zip(gone, exits)), "while the installer keeps running")
    else:
        check(False, "the installer connected twice and ended twice", case.entries())
    check(code == 0, "launcher exit code 0", code)

    print("Russian title; closing the window ends the launcher with exit code 1")
    case = Case(wine, "window-close")
    # The installer outlives the window by a wide margin: on a loaded machine
    # showing and closing the window under Wine can take several seconds.
    home = case.home("jre", version='java version "1.8.0_301"', run_ms="20000")
    launcher = wine.setup(case.launch, case.env(JAVA_HOME=winpath(home), LC_ALL="ru_RU.UTF-8"))
    lines = read_lines(wine.tool("watch", "60000", "1", "close"), 90)
    code = wait(launcher, 30, "close: launcher")
    shown = [parse_shown(line) for line in lines if line.startswith("shown")]
    check(bool(shown) and shown[0]["title"] == TITLE_RU, f"title \"{TITLE_RU}\" in a Russian locale", lines)
    check(code == 1, "closing the window: launcher exit code 1", code)
    # The stand-in logs its start once it runs, which under Wine on qemu can
    # come after the launcher has already ended.
    deadline = time.time() + 15
    while not case.installer_runs() and time.time() < deadline:
        time.sleep(0.2)
    check(len(case.installer_runs()) == 1 and not case.times("exit"), "the installer keeps running",
          case.entries())
    check(port_free(), "the running installer does not hold the readiness port")
    wait_for_exit(case, 45)

    print("Minimize from the system menu ends the launcher with exit code 1")
    case = Case(wine, "window-minimize")
    home = case.home("jre", version='java version "1.8.0_301"', run_ms="5000")
    launcher = wine.setup(case.launch, case.env(JAVA_HOME=winpath(home)))
    lines = read_lines(wine.tool("watch", "60000", "1", "minimize"), 90)
    code = wait(launcher, 30, "minimize: launcher")
    check(any(line.startswith("shown") for line in lines), "the window was shown", lines)
    check(code == 1, "minimising the window: launcher exit code 1", code)
    wait_for_exit(case, 30)

    print("port 31031 taken: no window, no wait for a connection")
    case = Case(wine, "window-port-taken")
    home = case.home("jre", version='java version "1.8.0_301"', run_ms="4000")
    blocker = readiness_socket()
    try:
        blocker.bind(("127.0.0.1", 31031))
        blocker.listen(5)
        launcher = wine.setup(case.launch, case.env(JAVA_HOME=winpath(home)))
        tool = wine.tool("absent", "6000")
        lines = read_lines(tool, 60)
        code = wait(launcher, 60, "port taken: launcher")
        ended = time.time() * 1000 + FILETIME_UNIX_OFFSET_MS
    finally:
        blocker.close()
    check(lines == ["absent"], "no progress window appears", lines)
    exits = case.times("exit")
    check(len(exits) == 1 and ended - exits[0] < 5000,
          "the launcher ends soon after the installer", f"{(ended - exits[0]) if exits else None} ms")
    check(code == 0, "launcher exit code 0", code)


GROUPS = {"up": group_up, "down": group_down, "binary": group_binary, "discovery": group_discovery,
          "start": group_start, "window": group_window}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--setup", required=True)
    parser.add_argument("--java", required=True)
    parser.add_argument("--wintool", required=True)
    parser.add_argument("--scripts", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("group", choices=sorted(GROUPS))
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    if args.group in ("discovery", "start", "window"):
        # Port 31031 is machine-wide: test runs of other build trees wait.
        lock = open(os.path.join(tempfile.gettempdir(), "setup-wine-tests.lock"), "w")
        fcntl.flock(lock, fcntl.LOCK_EX)
    GROUPS[args.group](Wine(args))
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
