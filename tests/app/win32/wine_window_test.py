#!/usr/bin/env python3
"""The native Windows window (libupgrade.exe) under Wine on an Xvfb of its own,
driven with xdotool and read from the X server's pixels:

- start-up with the registry pointing at an embedded database opens the
  upgrade window; ticking 已备份好数据库 and starting upgrades the pre-2005
  fixture to the same database as libupgrade-cli on Linux, and the completion
  box "所有处理已完成！" is drawn;
- a missing data file shows the pre-flight error box and changes nothing;
- Ctrl+Alt+F1 and Ctrl+Alt+F2 reveal their controls, Alt+F1 nothing;
- an unreachable database opens the connection dialog, whose button reveals
  the parameter group; Enter moves through the parameters to the save button,
  which writes them to the registry and ends the program;
- every control stands where the Qt window's does, within a few pixels;
- the splash window draws its picture and its message;
- the upgrade window's shared behaviour suite (app_win32_tests.exe) passes.

Screenshots of each window are written as PNG to WINDOWS_BUILD/screenshots/.

    wine_window_test.py WINDOWS_BUILD LINUX_BUILD SOURCE_DIR [CASE...]

WINDOWS_BUILD/bin holds libupgrade.exe, window_rects.exe and
app_win32_tests.exe, LINUX_BUILD/bin
libsql, libupgrade-cli and qt_window_rects. Exit code 0 when every case
passed.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import screen  # noqa: E402

MAIN_TITLE = "图书管理系统升级 V6.2017.1(32位)"
DIALOG_TITLE = "设置数据库【Lib】连接参数"
BOX_TITLE = "提示信息"
ERROR_TITLE = "提示信息"  # the error boxes go by the same caption
KEY = r"HKLM\SOFTWARE\Quorvant\Lib"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wine_for(exe):
    """The Wine loader for the program: wine for a 32-bit program, wine64 for
    a 64-bit one (a machine without 32-bit support can run only the latter)."""
    if os.environ.get("WINE"):
        return os.environ["WINE"]
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    machine = int.from_bytes(data[pe + 4:pe + 6], "little")
    if machine == 0x8664:
        return shutil.which("wine64") or "/usr/lib/wine/wine64"
    return "wine"


class Session:
    """An Xvfb and a Wine prefix of their own, removed at the end."""

    def __init__(self, windows_build, linux_build, source):
        windows_build, linux_build = os.path.abspath(windows_build), os.path.abspath(linux_build)
        self.bin = os.path.join(windows_build, "bin")
        self.linux_bin = os.path.join(linux_build, "bin")
        self.source = os.path.abspath(source)
        self.shots = os.path.join(windows_build, "screenshots")
        os.makedirs(self.shots, exist_ok=True)
        self.tmp = tempfile.mkdtemp(prefix="libupgrade-wine-")
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write], stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                raise Failure("Xvfb did not start")
            number += chunk
        os.close(read)
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display, WINEPREFIX=os.path.join(self.tmp, "prefix"),
                        WINEDEBUG="-all", LANG="zh_CN.UTF-8", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.wine = wine_for(os.path.join(self.bin, "libupgrade.exe"))
        subprocess.run([self.wine, "wineboot", "--init"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        self.drive_c = os.path.join(self.tmp, "prefix", "drive_c")
        # The Chinese font the window asks for by name, as an administrator's
        # machine would have it.
        fonts = os.path.join(self.drive_c, "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        shutil.copy("/usr/share/fonts/truetype/wqy/wqy-microhei.ttc", fonts)
        self.program = os.path.join(self.drive_c, "libupgrade")
        os.makedirs(self.program)
        for exe in ("libupgrade.exe", "window_rects.exe"):
            shutil.copy(os.path.join(self.bin, exe), self.program)
        self.process = None

    def close(self):
        self.stop_program()
        wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        subprocess.run([wineserver, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        self.xvfb.terminate()
        self.xvfb.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)

    # The database and the registry.
    def fixture(self, name, script):
        path = os.path.join(self.program, name)
        if os.path.exists(path):
            os.remove(path)
        subprocess.run([os.path.join(self.linux_bin, "libsql"), "-d", path, "-i",
                        os.path.join(self.source, "data", "fixtures", script)],
                       check=True, stdout=subprocess.DEVNULL)
        return path

    def data_files(self, present=("zzm.dat", "other.dat", "MarcRule.txt")):
        for f in ("zzm.dat", "other.dat", "MarcRule.txt"):
            target = os.path.join(self.program, f)
            if os.path.exists(target):
                os.remove(target)
            if f in present:
                shutil.copy(os.path.join(self.source, "data", "sample", f), target)

    def registry(self, odbc):
        for name, value in (("ODBCNAME", odbc), ("USERNAME", "37073403"), ("PASSWORD", "")):
            subprocess.run([self.wine, "reg", "add", KEY, "/v", name, "/t", "REG_SZ", "/d", value,
                            "/f", "/reg:32"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def registry_values(self):
        out = subprocess.run([self.wine, "reg", "query", KEY, "/reg:32"], env=self.env,
                             capture_output=True).stdout.decode("utf-8", "replace")
        values = {}
        for line in out.splitlines():
            f = line.split(None, 2)
            if len(f) >= 2 and f[1] == "REG_SZ":
                values[f[0]] = f[2].strip() if len(f) == 3 else ""
        return values

    # The program.
    def start(self, exe="libupgrade.exe", *args):
        self.process = subprocess.Popen([self.wine, exe, *args], cwd=self.program, env=self.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def stop_program(self, timeout=20):
        if not self.process:
            return None
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self.process = None
        return code

    def find(self, title, timeout=60):
        """The X window with exactly this title; xdotool's search can come
        back empty at first, so it is asked again until the window is there."""
        pattern = "^" + re.escape(title) + "$"
        deadline = time.time() + timeout
        while time.time() < deadline:
            out = subprocess.run(["xdotool", "search", "--name", pattern], env=self.env,
                                 capture_output=True, text=True).stdout.split()
            if out:
                time.sleep(0.3)  # mapped and painted
                return out[0]
            time.sleep(0.2)
        raise Failure("no window %r appeared" % title)

    def gone(self, title, timeout=20):
        pattern = "^" + re.escape(title) + "$"
        deadline = time.time() + timeout
        while time.time() < deadline:
            out = subprocess.run(["xdotool", "search", "--name", pattern], env=self.env,
                                 capture_output=True, text=True).stdout.split()
            if not out:
                return True
            time.sleep(0.2)
        return False

    def keys(self, window, *keys):
        subprocess.run(["xdotool", "windowfocus", "--sync", window], env=self.env,
                       stderr=subprocess.DEVNULL)
        for k in keys:
            subprocess.run(["xdotool", "key", "--delay", "60", k], env=self.env, check=True)
            time.sleep(0.15)

    def grab(self, window, shot=None):
        image = screen.grab(window, self.display)
        if shot:
            image.write_png(os.path.join(self.shots, shot))
        return image

    def dump(self, path):
        """The catalogue and every row of every user table, datetime columns
        left out (they hold the time of the run)."""
        libsql = os.path.join(self.linux_bin, "libsql")

        def query(sql):
            return subprocess.run([libsql, "-d", path, "-h", "-1", "-W", "-s", "|", "-Q", sql],
                                  check=True, capture_output=True).stdout.decode("utf-8", "replace")

        out = [query("select o.name, c.name, c.xtype, c.length from sysobjects o, syscolumns c "
                     "where c.id = o.id and o.xtype = 'U' order by o.name, c.colid"),
               query("select name from sysindexes where name is not null order by name")]
        tables = query("select name from sysobjects where xtype = 'U' order by name").split()
        for t in tables:
            cols = query("select c.name from sysobjects o, syscolumns c where c.id = o.id and "
                         "o.name = '%s' and c.xtype not in (58, 61) order by c.colid" % t).split()
            if cols:
                out.append(t + "\n" + query("select %s from %s order by 1" % (",".join(cols), t)))
        return "\n".join(out)


def dark_pixels(image, left, top, width, height, below=110):
    return sum(1 for p in image.region(left, top, width, height) if max(p) < below)


def red_pixels(image, left, top, width, height):
    return sum(1 for r, g, b in image.region(left, top, width, height) if r > 180 and g < 90 and b < 90)


def case_upgrade(s):
    """Start-up opens the upgrade window; the run upgrades the pre-2005 fixture
    as the Linux run does and ends in the drawn completion box."""
    db = s.fixture("lib.db", "pre2005.sql")
    reference = os.path.join(s.tmp, "reference.db")
    shutil.copy(db, reference)
    s.data_files()
    s.registry(r"embedded:C:\libupgrade\lib.db")
    s.start()
    w = s.find(MAIN_TITLE)
    image = s.grab(w, "upgrade-window.png")
    check((image.width, image.height) == (453, 267), "client area %dx%d" % (image.width, image.height))
    check(red_pixels(image, 24, 16, 400, 14) > 200, "the red warning Label6 is not drawn")
    check(dark_pixels(image, 352, 208, 75, 25) > 20, "the 退出 button is not drawn")
    # Focus on 退出: Tab to 同时处理…, Tab to 已备份好数据库, tick it, Tab to
    # the start button (now enabled), Enter presses it.
    s.keys(w, "Tab", "Tab", "space")
    ticked = s.grab(w)
    check(dark_pixels(ticked, 24, 208, 185, 25) > dark_pixels(image, 24, 208, 185, 25),
          "ticking 已备份好数据库 did not enable the start button")
    s.keys(w, "Tab", "Return")
    box = s.find(BOX_TITLE, timeout=120)
    shot = s.grab(box, "completion-box.png")
    light = sum(1 for p in shot.region(0, 0, shot.width, shot.height) if min(p) > 150)
    check(light > shot.width * shot.height // 2, "the completion box is not drawn (dark)")
    check(dark_pixels(shot, 50, 10, shot.width - 60, 30) > 40,
          "no text drawn in the completion box")
    s.keys(box, "Return")
    check(s.gone(BOX_TITLE), "the completion box stayed")
    s.keys(w, "alt+F4")
    check(s.stop_program() == 0, "the program did not end with its window")
    subprocess.run([os.path.join(s.linux_bin, "libupgrade-cli"), "--backed-up", "--data-source",
                    "embedded:" + reference, "--data-dir", os.path.join(s.source, "data", "sample")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    check(s.dump(db) == s.dump(reference), "the database differs from the Linux run's")


def case_missing_data_file(s):
    """Without zzm.dat the pre-flight error box names it and nothing changes."""
    db = s.fixture("lib.db", "pre2005.sql")
    before = s.dump(db)
    s.data_files(present=("other.dat", "MarcRule.txt"))
    s.registry(r"embedded:C:\libupgrade\lib.db")
    s.start()
    w = s.find(MAIN_TITLE)
    s.keys(w, "Tab", "space", "Tab", "space", "Tab", "Return")
    box = s.find(ERROR_TITLE, timeout=60)
    shot = s.grab(box, "preflight-box.png")
    check(dark_pixels(shot, 40, 5, shot.width - 50, max(10, shot.height - 50)) > 40,
          "no text drawn in the error box")
    s.keys(box, "Return")
    s.keys(w, "alt+F4")
    check(s.stop_program() == 0, "the program did not end with its window")
    check(s.dump(db) == before, "the database changed")


def case_chords(s):
    """Ctrl+Alt+F1 reveals 删除旧著者码表, Ctrl+Alt+F2 生成Prt表; Alt+F1 nothing."""
    s.fixture("lib.db", "release_2015_03.sql")
    s.data_files()
    s.registry(r"embedded:C:\libupgrade\lib.db")
    s.start()
    w = s.find(MAIN_TITLE)
    ckb, crt = (216, 225, 113, 17), (352, 144, 75, 25)
    start = s.grab(w)
    s.keys(w, "alt+F1", "ctrl+F2")
    after = s.grab(w)
    check(after.region(*ckb) == start.region(*ckb), "Alt+F1 changed 删除旧著者码表's place")
    check(after.region(*crt) == start.region(*crt), "Ctrl+F2 changed 生成Prt表's place")
    s.keys(w, "ctrl+alt+F1")
    one = s.grab(w)
    check(dark_pixels(one, *ckb) > dark_pixels(start, *ckb) + 20, "Ctrl+Alt+F1 revealed nothing")
    s.keys(w, "ctrl+alt+F2")
    two = s.grab(w, "upgrade-window-chords.png")
    check(dark_pixels(two, *crt) > dark_pixels(start, *crt) + 20, "Ctrl+Alt+F2 revealed nothing")
    check(dark_pixels(two, 352, 168, 75, 25) == dark_pixels(start, 352, 168, 75, 25),
          "导出ZZM appeared")
    s.keys(w, "alt+F4")
    check(s.stop_program() == 0, "the program did not end with its window")


def case_dialog(s):
    """An unreachable database opens the dialog; 修改数据库连接参数 reveals the group."""
    s.registry(r"embedded:C:\libupgrade\missing\lib.db")
    s.start()
    d = s.find(DIALOG_TITLE)
    first = s.grab(d, "dialog.png")
    # The fixed warnings fill 483x105; the driver's own message (the missing
    # file) stands under them and the dialog grows by its height.
    extra = first.height - 105
    check(first.width == 483 and extra > 0,
          "client area %dx%d, no room for the driver's message" % (first.width, first.height))
    check(red_pixels(first, 24, 8, 120, 14) > 40, "the red Label4 is not drawn")
    check(dark_pixels(first, 8, 105, 400, max(extra - 2, 1)) > 60, "the driver's message is not drawn")
    s.keys(d, "Tab", "Return")  # from 取消 to 修改数据库连接参数
    time.sleep(0.5)
    d = s.find(DIALOG_TITLE)
    grown = s.grab(d, "dialog-parameters.png")
    check(grown.height > 200, "the parameter group did not show (height %d)" % grown.height)
    frame = [p for p in grown.region(8, 130 + extra, 3, 90) if max(p) < 200]
    check(len(frame) > 60, "the group's frame is not drawn")
    inside = grown.region(210, 130 + extra, 90, 20)
    check(sum(1 for p in inside if min(p) > 150) > len(inside) * 9 // 10,
          "the inside of the group is not painted")
    # Tab to the data source, type it, Enter on through the user (as read,
    # "sa") and the password to the save button; Enter there saves, the
    # dialog closes and the program ends.
    s.keys(d, "Tab")
    subprocess.run(["xdotool", "key", "ctrl+a", "BackSpace"], env=s.env, check=True)
    subprocess.run(["xdotool", "type", "--delay", "40", r"embedded:C:\lib.db"], env=s.env, check=True)
    s.keys(d, "Return", "Return", "Return")
    check(s.find(DIALOG_TITLE, timeout=2), "Enter on the way to the save button closed the dialog")
    s.keys(d, "Return")
    check(s.stop_program() == 0, "the program did not end when the dialog saved")
    values = s.registry_values()
    check(values.get("ODBCNAME") == r"embedded:C:\lib.db", "ODBCNAME is %r" % values.get("ODBCNAME"))
    check(values.get("USERNAME") == "37073403", "USERNAME is %r" % values.get("USERNAME"))
    check(values.get("PASSWORD", "") == "", "PASSWORD is %r" % values.get("PASSWORD"))


def case_rectangles(s):
    """Every control of both windows stands where the Qt window's does."""
    db = s.fixture("rects.db", "release_2015_03.sql")
    linux = subprocess.run([os.path.join(s.linux_bin, "qt_window_rects"), db], check=True,
                           capture_output=True, text=True,
                           env=dict(os.environ, QT_QPA_PLATFORM="offscreen")).stdout
    s.start("window_rects.exe", r"embedded:C:\libupgrade\rects.db")
    native = s.process.communicate(timeout=60)[0].decode()
    s.process = None

    def parse(text):
        return {tuple(f[:2]): list(map(int, f[2:])) for f in (l.split() for l in text.splitlines())
                if len(f) == 6}

    qt, win = parse(linux), parse(native)
    check(len(qt) > 30 and set(qt) == set(win), "not the same controls: %s" % (set(qt) ^ set(win)))
    for key, q in qt.items():
        n = win[key]
        # GDI's synthetic bold is a pixel wider a character than the font.
        slack = [3, 3, 3 + (34 if key == ("UpLibMain", "Label6") else 0), 3]
        check(all(abs(a - b) <= t for a, b, t in zip(q, n, slack)),
              "%s %s: Qt %s, native %s" % (key[0], key[1], q, n))


def case_splash(s):
    """The splash window draws its picture and its white message."""
    s.start("window_rects.exe", "splash")
    w = s.find("Quorvant", timeout=30)
    shot = s.grab(w, "splash.png")
    check((shot.width, shot.height) == (306, 206), "splash %dx%d" % (shot.width, shot.height))
    white = sum(1 for p in shot.region(16, 152, 200, 16) if min(p) > 200)
    check(white > 60, "the message is not drawn")
    check(len(set(shot.region(0, 0, 306, 140))) > 50, "the picture is not drawn")
    s.process.kill()
    s.process.wait()
    s.process = None


def case_behaviour(s):
    """The upgrade window's shared behaviour suite (tests/app/behaviour/),
    the same the core and the Qt window pass, on the native window."""
    run = subprocess.run([s.wine, os.path.join(s.bin, "app_win32_tests.exe")], cwd=s.tmp,
                         env=s.env, capture_output=True, timeout=600)
    out = run.stdout.decode("utf-8", "replace")
    passed = re.search(r"\[  PASSED  \] (\d+) tests?", out)
    check(run.returncode == 0 and passed and int(passed.group(1)) >= 7,
          "the behaviour suite failed:\n" + out[-4000:])


CASES = [case_behaviour, case_upgrade, case_missing_data_file, case_chords, case_dialog, case_rectangles,
         case_splash]


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    chosen = [c for c in CASES if len(sys.argv) == 4 or c.__name__ in sys.argv[4:]]
    s = Session(*sys.argv[1:4])
    failed = 0
    try:
        for case in chosen:
            started = time.time()
            try:
                case(s)
                print("[  OK  ] %s (%.1f s)" % (case.__name__, time.time() - started))
            except Exception as e:  # noqa: BLE001 - every case is reported
                failed += 1
                print("[FAILED] %s: %s" % (case.__name__, e))
                if not isinstance(e, Failure):
                    traceback.print_exc()
                s.stop_program(timeout=1)
    finally:
        s.close()
    print("%d of %d window cases passed; screenshots in %s" % (len(chosen) - failed, len(chosen), s.shots))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
