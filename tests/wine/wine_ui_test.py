#!/usr/bin/env python3
"""UI tests of the Windows program under Wine in a Chinese locale, on Xvfb:
the GDI objects stay flat through a long download, the window never sticks
to the pointer, Close ends only this process, and every button and box does
what it says. Screenshots are kept under <linux build>/ui-screenshots/wine-*.

    wine_ui_test.py --win32-build BUILD_WIN32 --build-dir BUILD [--only NAME]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "ui"))
from ui_window_test import (BIG, H, READY, SETTLE, W, Session, bar_width, check, close,  # noqa: E402
                            close_box, requests, run_tests, wait_for)

# Each progress notification reports at most 4096 bytes: this many bytes
# make at least 20,000 of them.
NOTIFIED = 20000 * 4096 + 5 * 200000
GDI_SLACK = 64  # bitmaps, font and tray frames loaded once
# Deadlines that only bound a failing run: a loaded machine takes minutes
# for the long download, and for Wine to start a probe.
DOWNLOAD = 900
PROBE = 300


class WineSession(Session):
    def __init__(self, win32, build, shots):
        super().__init__(build, shots)
        self.win32 = win32
        self.env.update(WINEPREFIX=os.path.join(build, "wineprefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        if "zh_CN.utf8" in run_text(["locale", "-a"]):
            self.env["LC_ALL"] = "zh_CN.UTF-8"  # ANSI code page 936
        if not os.path.isdir(self.env["WINEPREFIX"]):
            subprocess.run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "reg", "add", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink",
                        "/v", "Arial", "/t", "REG_MULTI_SZ", "/d", "wqy-microhei.ttc,WenQuanYi Micro Hei", "/f"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.others = []

    def close(self):
        for p in self.others:
            if p.poll() is None:
                p.kill()
                p.wait()
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        super().close()

    def install(self, temps):
        inst = super().install(temps)
        os.remove(os.path.join(inst, "updater"))
        os.remove(os.path.join(inst, "kelvora.exe"))
        shutil.copy(os.path.join(self.win32, "bin", "updater.exe"), inst)
        shutil.copy(os.path.join(self.win32, "bin", "kelvora.exe"), inst)
        return inst

    def start(self, inst, phase=""):
        self.inst = inst
        log = open(os.path.join(inst, "output.txt"), "w")
        # The shell's trace names the window that owns each program started.
        env = dict(self.env, WINEDEBUG="-all,trace+exec")
        self.updater = subprocess.Popen(["wine", "updater.exe", "127.0.0.1", "auto"], cwd=inst, env=env,
                                        stdout=log, stderr=subprocess.STDOUT)
        self.window = self.find("自动升级", READY)
        check(self.window, "the window did not appear " + phase)
        self.wait_ready(phase)

    def wine(self, *args, **kw):
        kw.setdefault("stderr", subprocess.DEVNULL)
        return subprocess.Popen(["wine"] + list(args), env=self.env, stdout=subprocess.PIPE, **kw)

    def gdi_objects(self):
        p = self.wine(os.path.join(self.win32, "bin", "gui_probe.exe"), "gdi", "updater.exe", stderr=subprocess.PIPE)
        out, why = (b.decode(errors="replace").strip() for b in p.communicate(timeout=PROBE))
        check(p.returncode == 0 and out.isdigit(),
              "the GDI objects of updater.exe cannot be counted: %s" % (why.splitlines() or ["no reason given"])[-1])
        return int(out)

    def lobby(self):
        return os.path.exists(os.path.join(self.inst, "lobby-started.txt"))

    def lobby_owner(self):
        """The window handle the lobby was started with, from the trace."""
        for line in open(os.path.join(self.inst, "output.txt"), errors="replace"):
            if "SHELL_execute" in line and "kelvora.exe" in line:
                return int(re.search(r"hwnd=([0-9a-fA-F]+)", line).group(1), 16)
        return None

    def end(self):
        if self.updater.poll() is None:
            self.updater.kill()
            self.updater.wait()
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)


def run_text(cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode(errors="replace")


def test_gdi_objects_stay_flat(s):
    """A download of more than 20,000 progress notifications: the window's
    GDI objects do not grow, and the window still repaints at the end."""
    size = NOTIFIED
    root = s.publish("long", {"long.bin": os.urandom(size)})
    # The file's last 2000 bytes never come, however its ranges are cut
    # and taken over, so the window stays up with the bar at 99%.
    port, _ = s.server(root, {"/update/2/long.bin": "hold-from:%d" % (size - 2000)})
    # 30 s after the ranges stop, the stall watchdog gives the server up.
    # Servers that never answer come next, each for another 30 s: the
    # process is still there to be counted however late a loaded machine
    # gets to it.
    silent, _ = s.server(root, {"/update/VerAndUrl.xml": "stall-header"})
    s.start(s.install([port] + [silent] * 8))
    before = s.gdi_objects()
    full = 99 * 378 // 100
    seen = []

    def bar_full():
        x, y = s.position()
        seen[:] = [s.grab(x, y, W, H)]
        return bar_width(seen[0]) >= full
    check(wait_for(bar_full, DOWNLOAD), "the bar did not reach 99%% (the window stopped repainting?)")
    s.shot("wine-long-download")
    after = s.gdi_objects()
    check(after - before <= GDI_SLACK, "GDI objects grew from %d to %d during the download" % (before, after))
    # The look that showed the bar full, whatever the run did since.
    strip = seen[0].pixel(340, 6)
    marked = sum(not close(seen[0].pixel(x, y), strip) for y in range(2, 12) for x in range(343, 362))
    check(marked == 0, "%d pixels are drawn on the exit spot" % marked)
    s.end()


def test_no_drag_after_drag_or_no(s):
    root = s.publish("drag", {"big.bin": BIG})
    port, _ = s.server(root, {"/update/2/big.bin": "stall"})
    s.start(s.install([port]))
    s.drag()
    where = s.check_stays_put("wine-swept-after-drag", "a drag")
    s.xdo("mousemove", where[0] + 150, where[1] + 168, "click", 1)
    s.answer_box("n")
    where = s.check_stays_put("wine-swept-after-skip-no", "Skip + No")
    check(s.updater.poll() is None and not s.lobby(), "Skip + No ended the run")
    s.end()


def test_close(s):
    """Close + No keeps the run; Close + Yes ends this process with status 0
    and leaves another updater.exe, started first, running."""
    root = s.publish("close", {"big.bin": BIG})
    port, _ = s.server(root, {"/update/2/big.bin": "stall"})
    other = os.path.join(s.tmp, "other")
    os.makedirs(other)
    shutil.copy(os.path.join(s.win32, "bin", "gui_probe.exe"), os.path.join(other, "updater.exe"))
    namesake = s.wine("updater.exe", "wait", cwd=other)
    s.others.append(namesake)
    s.start(s.install([port]))
    s.xdo("mousemove", 410, 12, "click", 1)
    s.answer_box("n")
    time.sleep(1)
    check(s.updater.poll() is None, "Close + No ended the process")
    s.xdo("mousemove", 411, 13, "click", 1)
    s.answer_box("Return")
    check(s.exited(SETTLE) == 0, "Close + Yes did not end this process with status 0")
    s.shot("wine-closed")
    check(namesake.poll() is None, "Close + Yes ended another updater.exe")
    check(not s.lobby(), "Close started the lobby")
    s.end()


def test_skip_and_switch(s):
    root = s.publish("steer", {"big.bin": BIG})
    port1, _ = s.server(root, {"/update/2/big.bin": "stall"})
    port2, log2 = s.server(root)
    s.start(s.install([port1, port2]))
    s.xdo("mousemove", 280, 169, "click", 1)
    s.answer_box("Return")
    check(wait_for(lambda: requests(log2, "VerAndUrl") == 1, SETTLE), "Switch + Yes did not ask server 2")
    check(s.exited(60) == 0 and s.lobby(), "the update from server 2 did not end with the lobby")
    s.end()
    port, _ = s.server(root, {"/update/2/big.bin": "stall"})
    s.start(s.install([port]), "for Skip")
    s.xdo("mousemove", 150, 168, "click", 1)
    s.shot("wine-skip-asked")
    s.answer_box("Return")
    check(s.exited(SETTLE) == 0, "Skip + Yes did not end the run")
    check(wait_for(s.lobby, SETTLE), "Skip + Yes did not start the lobby")
    check(s.lobby_owner(), "the lobby was started with no owner window")
    s.end()


def test_failure_dialog(s):
    """Skip, Retry, Exit, Escape and the close box of the failure dialog."""
    root = s.publish("failure", {"small.bin": b"0123456789" * 100})
    for action in ("skip", "retry", "exit", "escape", "close-box"):
        port, log = s.server(root, {"/update/2/small.bin": "status:500"})
        s.start(s.install([port]), "for " + action)
        dialog = s.find("提示", READY)
        check(dialog, "no failure dialog")
        s.wait_drawn(dialog)
        s.shot("wine-failure-" + action)
        if action == "close-box":
            close_box(s.display, dialog)
        elif action == "escape":
            s.xdo("windowfocus", "--sync", dialog)
            s.xdo("key", "Escape")
        else:
            # The buttons' centres in the template's dialog units (229 x 95).
            x, y = s.position(dialog)
            w, h = s.size(dialog)
            du_x = {"skip": 44.5, "retry": 114.5, "exit": 183}[action]
            s.xdo("mousemove", x + int(w * du_x / 229), y + int(h * 72.5 / 95), "click", 1)
        if action == "skip":
            check(s.exited(SETTLE) == 0 and wait_for(s.lobby, SETTLE), "Skip did not start the lobby")
            check(s.lobby_owner(), "the failure dialog's Skip started the lobby with no owner window")
        elif action == "retry":
            check(wait_for(lambda: requests(log, "small.bin.update") >= 1, SETTLE), "Retry did not ask for .update")
        else:
            check(s.exited(SETTLE) is not None, "%s did not end the run" % action)
            check(not s.lobby(), "%s started the lobby" % action)
        s.end()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--win32-build", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--only")
    args = parser.parse_args()
    for tool in ("wine", "Xvfb", "xdotool", "import", "xdpyinfo"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return 0
    build, win32 = os.path.abspath(args.build_dir), os.path.abspath(args.win32_build)
    shots = os.path.join(build, "ui-screenshots")
    os.makedirs(shots, exist_ok=True)
    tests = [test_gdi_objects_stay_flat, test_no_drag_after_drag_or_no, test_close, test_skip_and_switch,
             test_failure_dialog]
    return run_tests(tests, lambda: WineSession(win32, build, shots), args.only)

if __name__ == "__main__":
    sys.exit(main())
