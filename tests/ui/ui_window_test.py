#!/usr/bin/env python3
"""UI tests of the real updater under Xvfb: xdotool drives it, ImageMagick's
import reads the screen, and regions are compared with the bitmaps of res/.
Screenshots are kept under <build>/ui-screenshots/.

    ui_window_test.py --build-dir BUILD [--keep]
"""
import argparse
import ctypes
import ctypes.util
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RES = os.path.join(SOURCE, "res")
W, H = 437, 192
REPAINT = 2.4  # the watchdog repaints every 2 s while a file runs
# Deadlines for what a loaded machine may do late; a poll ends as soon as it
# sees the awaited state, so these only bound a failing run.
READY = 90
SETTLE = 30
DRAG = (200, 150)
DRAG_TRIES = 3
NEAR = 10  # pixels a drag may end off its mark


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw).stdout


class Image:
    """RGB pixels of a PNG or BMP (or a crop of it), read through ImageMagick."""

    def __init__(self, path, crop=None):
        args = ["convert", path]
        if crop:
            args += ["-crop", "%dx%d+%d+%d" % crop, "+repage"]
        geometry = run(args + ["-format", "%w %h", "info:"]).split()
        self.width, self.height = int(geometry[0]), int(geometry[1])
        self.data = run(args + ["-depth", "8", "rgb:-"])

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.data[i:i + 3])


def close(a, b, tolerance=10):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))


def region_matches(shot, x, y, ref, max_bad=0.02):
    bad = 0
    for j in range(ref.height):
        for i in range(ref.width):
            if not close(shot.pixel(x + i, y + j), ref.pixel(i, j)):
                bad += 1
    return bad <= max_bad * ref.width * ref.height, bad


class Session:
    """An X server, an update server tree and an install directory."""

    def __init__(self, build, shots):
        self.build, self.shots = build, shots
        self.tmp = tempfile.mkdtemp(prefix="updater-ui-")
        # Xvfb picks a free display and names it once it takes connections:
        # other test runs on the machine may hold any given number.
        ready, told = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(told), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                                      "-noreset"], pass_fds=(told,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(told)
        number = b""
        while not number.endswith(b"\n") and select.select([ready], [], [], READY)[0]:
            chunk = os.read(ready, 16)
            if not chunk:
                break
            number += chunk
        os.close(ready)
        check(number.strip().isdigit(), "Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.servers = []
        self.updater = None

    def close(self):
        if self.updater and self.updater.poll() is None:
            self.updater.kill()
            self.updater.wait()
        for s in self.servers:
            s.kill()
            s.wait()
        self.xvfb.kill()
        self.xvfb.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def server(self, root, rules=None):
        d = tempfile.mkdtemp(dir=self.tmp)
        rules_file, log, port_file = (os.path.join(d, n) for n in ("rules.json", "log", "port"))
        with open(rules_file, "w") as f:
            json.dump(rules or {}, f)
        p = subprocess.Popen([sys.executable, os.path.join(SOURCE, "tools", "test_server.py"), "--root", root,
                              "--rules", rules_file, "--log", log, "--port-file", port_file])
        self.servers.append(p)
        check(wait_for(lambda: os.path.exists(port_file), READY), "the test server did not start")
        port = int(open(port_file).read())
        return port, log

    def publish(self, name, files):
        """Publishes version 2 of |files| (name -> bytes) below a new root."""
        root = os.path.join(self.tmp, name)
        src = os.path.join(self.tmp, name + "-src")
        os.makedirs(src)
        for rel, content in files.items():
            with open(os.path.join(src, rel), "wb") as f:
                f.write(content)
        publish = os.path.join(self.build, "bin", "updater-publish")
        run([publish, "release", "--version", "2", "--from", src, "--to", root])
        run([publish, "versions", "--to", root, "--product", "2", "--max", "2"])
        return root

    def install(self, temps):
        inst = tempfile.mkdtemp(dir=self.tmp, prefix="install-")
        shutil.copy(os.path.join(self.build, "bin", "updater"), os.path.join(inst, "updater"))
        shutil.copy(os.path.join(self.build, "bin", "updater-gtk.so"), inst)
        with open(os.path.join(inst, "kelvora.exe"), "w") as f:
            f.write("#!/bin/sh\necho started > lobby.txt\n")
        os.chmod(os.path.join(inst, "kelvora.exe"), 0o755)
        lines = ["[Version]", "CurrentVersion=2", "[Temp]"]
        lines += ["Temp%d=127.0.0.1:%d" % (i + 1, p) for i, p in enumerate(temps)]
        with open(os.path.join(inst, "UpdateTemp.ini"), "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        return inst

    def start(self, inst, phase=""):
        log = open(os.path.join(inst, "output.txt"), "w")
        self.updater = subprocess.Popen([os.path.join(inst, "updater"), "127.0.0.1", "auto"], cwd="/",
                                        env=self.env, stdout=log, stderr=subprocess.STDOUT)
        self.window = self.find("自动升级", READY)
        if not self.window:
            status = self.updater.poll()
            log.close()
            output = open(os.path.join(inst, "output.txt"), errors="replace").read()[-2000:]
            raise Failure("the window did not appear %s (exit status %s): %s" % (phase, status, output))
        self.wait_ready(phase)

    def find(self, name, timeout):
        end = time.time() + timeout
        while time.time() < end:
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name], env=self.env,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.split()
            if out:
                return out[-1].decode()
            time.sleep(0.1)
        return None

    def wait_ready(self, phase=""):
        """Waits until the window is mapped and shows its skin: a loaded
        machine maps and paints late, and input sent before is lost."""
        def painted():
            info = subprocess.run(["xwininfo", "-id", self.window], env=self.env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL).stdout.decode()
            if "IsViewable" not in info:
                return False
            # Below the strip and what Wine shows there for a tray icon,
            # above the bar.
            x, y = self.position()
            body = Image(os.path.join(RES, "bitmap_133.bmp"), (W, 65, 0, 45))
            return region_matches(self.grab(x, y + 45, W, 65), 0, 0, body)[0]
        check(wait_for(painted, READY), "the window was not mapped and painted %s" % phase)

    def wait_drawn(self, window):
        """Waits until |window| shows more than one colour and two looks at
        it agree: it has painted and answers."""
        last = []

        def drawn():
            x, y = self.position(window)
            w, h = self.size(window)
            data = self.grab(x, y, w, h).data
            settled = last == [data] and len({data[i:i + 3] for i in range(0, len(data), 3 * 97)}) > 1
            last[:] = [data]
            return settled
        check(wait_for(drawn, READY), "the window %s was not drawn" % window)

    def grab(self, x, y, w, h):
        """A part of the screen, read now."""
        path = os.path.join(self.tmp, "grab.png")
        run(["import", "-display", self.display, "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), path])
        return Image(path)

    def shows(self, x, y, ref):
        """Whether the window shows |ref| at (x, y) of its own."""
        wx, wy = self.position()
        return region_matches(self.grab(wx + x, wy + y, ref.width, ref.height), 0, 0, ref)[0]

    def drag(self):
        """Drags the window by its top strip and checks it moved by about
        the pointer's offset; returns where it is then. The platform's drag
        may begin late, or take a move or two as its start, so the pointer
        creeps a pixel at a time until the window follows (each pixel of
        that is within NEAR), and only then goes on and lets go. A gesture
        that moved nothing is tried again from wherever the window is."""
        for _ in range(DRAG_TRIES):
            x, y = before = self.position()
            target = (x + DRAG[0], y + DRAG[1])
            self.xdo("mousemove", x + 100, y + 10, "mousedown", 1)
            self.xdo("mousemove", x + 104, y + 12)  # a move inside the strip starts the drag
            followed = False
            for nudge in range(1, NEAR - 1):
                self.xdo("mousemove", x + 104 + nudge, y + 12 + nudge)
                followed = wait_for(lambda: self.position() != before, 2)
                if followed:
                    break
            if followed:
                for step in range(1, 11):
                    self.xdo("mousemove", x + 104 + DRAG[0] * step // 10, y + 12 + DRAG[1] * step // 10)
                wait_for(lambda: near(self.position(), target), SETTLE)
            self.xdo("mouseup", 1)
            if followed:
                after = self.position()
                check(near(after, target), "the drag moved the window from %s to %s, not by %s" % (before, after, DRAG))
                return after
        raise Failure("%d drags did not move the window from %s" % (DRAG_TRIES, before))

    def xdo(self, *args):
        subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, check=True)

    def position(self, window=None):
        out = subprocess.run(["xdotool", "getwindowgeometry", window or self.window], env=self.env,
                             stdout=subprocess.PIPE).stdout.decode().split()
        return tuple(int(v) for v in out[out.index("Position:") + 1].split(","))

    def size(self, window):
        out = subprocess.run(["xdotool", "getwindowgeometry", window], env=self.env,
                             stdout=subprocess.PIPE).stdout.decode().split()
        return tuple(int(v) for v in out[out.index("Geometry:") + 1].split("x"))

    def check_stays_put(self, shot, after_what):
        """Moves the pointer along the top strip with no button held, keeps
        a screenshot, and checks the window stayed where it was; returns its
        position."""
        before = self.position()
        for x in range(30, 390, 30):
            self.xdo("mousemove", before[0] + x, before[1] + 10)
        # The sweep ends over the close button: once its hover cell shows,
        # the window has taken every move of the sweep.
        self.xdo("mousemove", before[0] + 410, before[1] + 12)
        wait_for(lambda: self.position() != before or self.shows(400, 5, cell(140, 1, 26, 16)), SETTLE)
        after = self.position()
        self.shot(shot)
        check(before == after, "after %s the window followed the pointer from %s to %s" % (after_what, before, after))
        return after

    def answer_box(self, key):
        box = self.find("提示", SETTLE)
        check(box, "no confirmation box")
        self.xdo("windowfocus", "--sync", box)
        self.xdo("key", key)
        check(wait_for(lambda: not self.find("提示", 0.1), SETTLE), "the box stayed")

    def shot(self, name):
        path = os.path.join(self.shots, name + ".png")
        run(["import", "-display", self.display, "-window", "root", "-crop", "1024x768+0+0", path])
        return Image(path)

    def exited(self, timeout):
        try:
            return self.updater.wait(timeout)
        except subprocess.TimeoutExpired:
            return None


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 24)]


def close_box(display, window):
    """What a click on a window manager's close box sends: WM_DELETE_WINDOW."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(display.encode())
    check(dpy, "cannot open " + display)
    event = _ClientMessage(type=33, window=int(window), format=32,  # ClientMessage
                           message_type=x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0))
    event.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(dpy, int(window), 0, 0, ctypes.byref(event))
    x11.XFlush(dpy)
    x11.XCloseDisplay(dpy)


def cell(bitmap, index, w, h):
    return Image(os.path.join(RES, "bitmap_%d.bmp" % bitmap), (w, h, w * index, 0))


def near(a, b):
    return all(abs(p - q) <= NEAR for p, q in zip(a, b))


def bar_width(shot):
    fill = Image(os.path.join(RES, "bitmap_141.bmp"))
    width = 0
    while width < 378 and close(shot.pixel(31 + width, 121), fill.pixel(width, 3)):
        width += 1
    return width


def glyph_runs(shot, x0, y0, w, h):
    """Masks of the runs of dark columns (glyphs) in a text region."""
    runs, current = [], []
    for i in range(w):
        column = tuple(int(sum(shot.pixel(x0 + i, y0 + j)) < 300) for j in range(h))
        if any(column):
            current.append(column)
        elif current:
            runs.append(tuple(current))
            current = []
    if current:
        runs.append(tuple(current))
    return runs


def requests(log, fragment):
    try:
        return sum(fragment in line for line in open(log, encoding="utf-8"))
    except OSError:
        return 0


def wait_for(predicate, timeout):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


# Large enough to come in five ranges.
BIG = bytes((i * 131 + (i >> 10)) & 255 for i in range(5000000))


def test_skin_progress_and_text(s):
    """The skin at its places; the bar at two progress points; real glyphs."""
    root = s.publish("progress", {"big.bin": BIG})
    texts = []
    for k in (300000, 700000):  # each of the five ranges stops after k bytes
        port, _ = s.server(root, {"/update/2/big.bin": "partial:%d" % k})
        inst = s.install([port])
        s.start(inst)
        percent = 5 * k * 100 // len(BIG)
        wait_for(lambda: bar_width(s.shot("progress-%d" % k)) >= percent * 378 // 100, SETTLE)
        time.sleep(REPAINT)  # a bar that runs on past its mark shows by now
        shot = s.shot("progress-%d" % k)
        width = bar_width(shot)
        check(width == percent * 378 // 100, "bar %d px at %d%%, expected %d" % (width, percent, percent * 378 // 100))
        texts.append(glyph_runs(shot, 32, 133, 78, 16))
        if k == 300000:
            bg = Image(os.path.join(RES, "bitmap_133.bmp"), (W, 100, 0, 0))
            ok, bad = region_matches(shot, 0, 0, bg)
            check(ok, "background differs in %d pixels" % bad)
            for bitmap, x, y, w, h in ((140, 400, 5, 26, 16), (142, 108, 155, 101, 28), (143, 230, 155, 101, 28)):
                ok, bad = region_matches(shot, x, y, cell(bitmap, 0, w, h))
                check(ok, "bitmap %d not in its normal cell at %d,%d (%d pixels differ)" % (bitmap, x, y, bad))
            # "正在更新版本号为 2中的文件：big.bin": distinct glyphs, not a row of boxes.
            runs = glyph_runs(shot, 115, 133, 300, 15)
            check(len(runs) >= 12, "status text has %d glyphs" % len(runs))
            check(len(set(runs[:8])) >= 7, "the Chinese status text renders as identical boxes")
            # A click on the exit spot ends the process: nothing may be drawn
            # there that invites one.
            strip = shot.pixel(340, 6)
            marked = sum(not close(shot.pixel(x, y), strip) for y in range(2, 12) for x in range(343, 362))
            check(marked == 0, "%d pixels are drawn on the exit spot" % marked)
        s.updater.kill()
        s.updater.wait()
    # The progress text reads "30% (0/1)", then "70% (0/1)": eight glyphs,
    # the same 0 in both places, and only the first digit changes.
    for runs in texts:
        check(len(runs) == 8 and runs[1] == runs[4], "the progress text does not read N0%% (0/1): %d glyphs" % len(runs))
    check(texts[0][0] != texts[1][0] and texts[0][1:] == texts[1][1:], "the progress text did not go from 30% to 70%")


def test_buttons(s):
    """Hover, pressed, No keeps the pressed cell, Switch + Yes asks server 2."""
    root = s.publish("buttons", {"big.bin": BIG})
    port1, _ = s.server(root, {"/update/2/big.bin": "stall"})
    port2, log2 = s.server(root)
    inst = s.install([port1, port2])
    s.start(inst)
    s.xdo("mousemove", 158, 169)
    check(wait_for(lambda: s.shows(108, 155, cell(142, 1, 101, 28)), SETTLE), "Skip shows no hover cell")
    s.shot("hover-skip")
    s.xdo("mousemove", 280, 169)
    check(wait_for(lambda: s.shows(230, 155, cell(143, 1, 101, 28)), SETTLE), "Switch server shows no hover cell")
    shot = s.shot("hover-switch")
    check(region_matches(shot, 108, 155, cell(142, 0, 101, 28))[0], "Skip kept its hover cell")
    s.xdo("mousedown", 1)
    box = s.find("提示", SETTLE)
    check(box, "no confirmation box for Switch server")
    check(wait_for(lambda: s.shows(230, 155, cell(143, 2, 101, 28)), SETTLE), "Switch server shows no pressed cell")
    s.shot("pressed-switch")
    s.xdo("mouseup", 1)
    s.xdo("windowfocus", "--sync", box)
    s.xdo("key", "Escape")  # No
    check(wait_for(lambda: not s.find("提示", 0.1), SETTLE), "the box stayed")
    time.sleep(REPAINT)
    shot = s.shot("after-no")
    check(region_matches(shot, 230, 155, cell(143, 2, 101, 28))[0], "the pressed cell went away before a move")
    check(requests(log2, "VerAndUrl") == 0, "No switched the server")
    # A second move, in case the first one reached the box as it closed.
    s.xdo("mousemove", 282, 170)
    s.xdo("mousemove", 283, 171)
    check(wait_for(lambda: s.shows(230, 155, cell(143, 1, 101, 28)), SETTLE), "no hover cell after the move")
    s.shot("moved")
    s.xdo("click", 1)
    box = s.find("提示", SETTLE)
    check(box, "no confirmation box the second time")
    s.xdo("windowfocus", "--sync", box)
    s.xdo("key", "Return")  # Yes
    check(wait_for(lambda: requests(log2, "VerAndUrl") == 1, SETTLE), "Switch + Yes did not ask server 2")
    check(s.exited(60) == 0, "the update from server 2 did not end with the lobby")
    check(os.path.exists(os.path.join(inst, "lobby.txt")), "the lobby did not start")


def test_skip_close_exit_spot_and_drag(s):
    root = s.publish("actions", {"big.bin": BIG})
    port, _ = s.server(root, {"/update/2/big.bin": "stall"})
    # Skip + Yes: the window closes and the lobby starts.
    inst = s.install([port])
    s.start(inst)
    s.xdo("mousemove", 150, 168, "click", 1)
    s.answer_box("Return")
    check(s.exited(SETTLE) == 0, "Skip + Yes did not end the run with the lobby")
    check(os.path.exists(os.path.join(inst, "lobby.txt")), "Skip + Yes did not start the lobby")
    # Close + Yes: this process ends with status 0, no lobby; another
    # program of the same name, started first, lives on.
    other = os.path.join(s.tmp, "other")
    os.makedirs(other)
    shutil.copy(shutil.which("sleep"), os.path.join(other, "updater"))
    namesake = subprocess.Popen([os.path.join(other, "updater"), "600"])
    s.servers.append(namesake)
    inst = s.install([port])
    s.start(inst, "for close")
    s.xdo("mousemove", 410, 12, "click", 1)
    s.answer_box("Return")
    check(s.exited(SETTLE) == 0, "close + Yes did not end this process with status 0")
    check(namesake.poll() is None, "close + Yes ended another program named updater")
    check(not os.path.exists(os.path.join(inst, "lobby.txt")), "close started the lobby")
    # The exit spot ends the process at once.
    inst = s.install([port])
    s.start(inst, "for the exit spot")
    s.xdo("mousemove", 350, 7, "click", 1)
    check(s.exited(SETTLE) == 0, "releasing over the exit spot did not end the process")
    # Dragging the strip moves the window.
    inst = s.install([port])
    s.start(inst, "for the drag")
    s.drag()
    s.shot("dragged")
    # The drag took the release: a later sweep with no button held leaves
    # the window where it is.
    where = s.check_stays_put("swept-after-drag", "a drag")
    s.updater.kill()
    s.updater.wait()


def test_close_and_skip_declined(s):
    """Close's hover and pressed cells; Close + No and Skip + No change
    nothing, and the box's release leaves no drag behind."""
    root = s.publish("declined", {"big.bin": BIG})
    port, _ = s.server(root, {"/update/2/big.bin": "stall"})
    inst = s.install([port])
    s.start(inst)
    s.xdo("mousemove", 410, 12)
    check(wait_for(lambda: s.shows(400, 5, cell(140, 1, 26, 16)), SETTLE), "close shows no hover cell")
    s.shot("hover-close")
    s.xdo("mousedown", 1)
    check(s.find("提示", SETTLE), "no confirmation box for close")
    check(wait_for(lambda: s.shows(400, 5, cell(140, 2, 26, 16)), SETTLE), "close shows no pressed cell")
    s.shot("pressed-close")
    s.xdo("mouseup", 1)
    s.answer_box("Escape")
    check(s.updater.poll() is None, "close + No ended the process")
    where = s.check_stays_put("swept-after-close-no", "close + No")
    s.xdo("mousemove", where[0] + 150, where[1] + 168, "click", 1)
    s.answer_box("Escape")
    where = s.check_stays_put("swept-after-skip-no", "Skip + No")
    check(s.updater.poll() is None, "Skip + No ended the process")
    check(not os.path.exists(os.path.join(inst, "lobby.txt")), "Skip + No started the lobby")
    s.updater.kill()
    s.updater.wait()


def motif_hints(env, window):
    """flags, functions, decorations of a window's _MOTIF_WM_HINTS, or None."""
    out = subprocess.run(["xprop", "-id", window, "_MOTIF_WM_HINTS"], env=env,
                         stdout=subprocess.PIPE).stdout.decode()
    if "=" not in out:
        return None
    return [int(v, 16) for v in out.split("=", 1)[1].split(",")][:3]


def test_failure_dialog(s):
    root = s.publish("failure", {"small.bin": b"0123456789" * 100})
    for action in ("exit", "retry", "skip", "close-box"):
        port, log = s.server(root, {"/update/2/small.bin": "status:500"})
        inst = s.install([port])
        s.start(inst)
        dialog = s.find("提示", READY)
        check(dialog, "no failure dialog")
        s.shot("failure-" + action)
        if action == "exit":
            # The dialog carries the failure's message, not its default text:
            # "下载文件失败[small.bin], 错误代码 [6]" is far longer.
            def glyphs():
                x, y = s.position(dialog)
                w, h = s.size(dialog)
                shot = s.shot("failure-" + action)
                return max(len(glyph_runs(shot, x + 5, y + top, w - 10, 14)) for top in range(0, min(h, 90) - 14, 3))
            check(wait_for(lambda: glyphs() >= 20, SETTLE),
                  "the failure dialog shows %d glyphs, not the failure's message" % glyphs())
            # A fixed dialog: the window manager may move and close it, but
            # offers no minimise or maximise.
            hints = motif_hints(s.env, dialog)
            check(hints and hints[0] & 3 == 3, "the failure dialog leaves its frame to the window manager")
            check(hints[1] & (1 | 8 | 16) == 0 and hints[1] & 32, "the failure dialog may be minimised or maximised")
            check(hints[2] & (1 | 32 | 64) == 0, "the failure dialog has minimise or maximise boxes")
        if action == "close-box":
            close_box(s.display, dialog)
        else:
            s.xdo("windowfocus", "--sync", dialog)
            for key in {"exit": ["Escape"], "skip": ["Return"], "retry": ["Tab", "Return"]}[action]:
                s.xdo("key", key)
        if action in ("exit", "close-box"):
            check(s.exited(SETTLE) == 1, "%s did not end the run without the lobby" % action)
            check(not os.path.exists(os.path.join(inst, "lobby.txt")), "%s started the lobby" % action)
        elif action == "skip":
            check(s.exited(SETTLE) == 0, "Skip did not start the lobby")
        else:
            check(wait_for(lambda: requests(log, "small.bin.update") >= 1, SETTLE), "Retry did not ask for .update")
            s.updater.kill()
            s.updater.wait()


def run_tests(tests, make_session, only=None):
    """Runs each test in a session of its own; prints a line for each and
    the totals; returns the exit status."""
    passed = failed = 0
    for test in tests:
        if only and only not in test.__name__:
            continue
        s = None
        try:
            s = make_session()
            test(s)
            passed += 1
            print("PASS", test.__name__, flush=True)
        except (Failure, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
            failed += 1
            print("FAIL", test.__name__, "-", e, flush=True)
        finally:
            if s:
                s.close()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--only")
    args = parser.parse_args()
    for tool in ("Xvfb", "xdotool", "import", "xdpyinfo"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return 0
    shots = os.path.join(args.build_dir, "ui-screenshots")
    os.makedirs(shots, exist_ok=True)
    tests = [test_skin_progress_and_text, test_buttons, test_skip_close_exit_spot_and_drag, test_close_and_skip_declined,
             test_failure_dialog]
    return run_tests(tests, lambda: Session(args.build_dir, shots), args.only)

if __name__ == "__main__":
    sys.exit(main())
