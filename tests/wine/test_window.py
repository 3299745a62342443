"""The progress window and the error box of the Windows launcher, under Wine
in a virtual X display of the test's own (Xvfb): the window of a slow start,
seen and photographed in the display and gone once the child runs; its close
message ending the run as a Ctrl+C does; the box of a fatal ending nobody
could read, its title found in the display and its text through
window-helper.exe; no box with a pipe. Without a display the launcher
shows nothing (test_launcher's runs, all headless, never ask for one).

The pictures are kept in the test's work folder (artefacts/); docs/ holds
copies of them. Without Xvfb, xwininfo or xwd every test here is skipped.

The class runs in a Wine prefix of its own (build/wineprefix-x11, made on
its first run): a Wine desktop draws through the display driver its first
process found, and the shared prefix's is headless.

What Wine cannot show: high DPI (Xvfb's screen is 96 dpi) and the look
under a real Windows theme; without a window manager in the display the
window has no frame or title bar in the pictures.
"""

import os
import shutil
import subprocess
import threading
import unittest

import packtest
import support
import winetest
import xdisplay
from probe import hex16
from winetest import PROBE_GUI, TESTS_DIR, to_windows, wine

WINDOW_HELPER = os.path.join(TESTS_DIR, "window-helper.exe")
TITLE = "Veskar Window Test"
# What a Ctrl+C leaves as a process's exit code on Windows. The Cancel ends
# the run with it under Wine too (the launcher ends the process itself),
# where Wine's own default handling of a real Ctrl+C leaves 0.
STATUS_CONTROL_C_EXIT = 0xC000013A


def unhex16(text):
    return bytes.fromhex(text).decode("utf-16-le")


@unittest.skipIf(xdisplay.missing_tools(),
                 "no virtual X display: " + ", ".join(xdisplay.missing_tools())
                 + " missing (scripts/setup installs them)")
class WindowTest(winetest.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        support.require_files(WINDOW_HELPER)
        cls.display = xdisplay.Display()
        cls.shared_prefix = os.environ["WINEPREFIX"]
        os.environ["WINEPREFIX"] = cls.shared_prefix + "-x11"
        os.environ["DISPLAY"] = cls.display.name
        cls.wine_server("-k")
        if not os.path.exists(os.path.join(os.environ["WINEPREFIX"],
                                           "system.reg")):
            wine(["wineboot", "-i"], timeout=300)
        cls.artefacts = os.path.join(support.setting("VESKAR_TEST_WORK"),
                                     "artefacts")
        os.makedirs(cls.artefacts, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.wine_server("-k")
        os.environ["WINEPREFIX"] = cls.shared_prefix
        os.environ.pop("DISPLAY", None)
        cls.display.close()
        super().tearDownClass()

    @staticmethod
    def wine_server(*args):
        """Runs this prefix's wineserver with `args` (-k: ends it, and every
        Wine process of the prefix)."""
        server = os.path.join(os.path.dirname(winetest.WINE), "wineserver")
        if not os.access(server, os.X_OK):
            server = shutil.which("wineserver") or "wineserver"
        subprocess.run([server, *args], env=os.environ.copy(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)

    def pack(self, app, *options):
        out = os.path.join(self.make_scratch(), "Windowed.exe")
        packtest.pack("build", app, "-o", out, "--product", TITLE,
                      "--level", "1", "--quiet", *options)
        return out

    def slow_app(self, files=20000):
        """The probe, then enough to write that the start takes seconds
        under Wine: 200 MB of zeros and `files` small files. Under Wine the
        window shows about 3 s into a start (the process and the window's
        libraries), and on a loaded machine later: the files keep the
        unpacking going well past that."""
        app = os.path.join(self.make_scratch(), "app")
        os.makedirs(os.path.join(app, "data"))
        shutil.copy(PROBE_GUI, os.path.join(app, "probe.exe"))
        for i in range(2):
            with open(os.path.join(app, "data", f"zero{i}.bin"), "wb") as f:
                f.truncate(100_000_000)
        # 5,000 files a folder. Wine looks a new file's name up in its whole
        # folder, so the cost grows with the square of a folder's size:
        # 20,000 in one folder took the unpacking past a minute, 500 a
        # folder let it end before the window showed; four folders keep it
        # at ten to twenty seconds.
        for i in range(files):
            folder = os.path.join(app, "data", f"d{i // 5000:02d}")
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, f"f{i:05d}.txt"), "w") as f:
                f.write("x" * 100)
        return app

    def start(self, launcher, temp, env=None):
        """Runs the launcher through the harness on a thread of its own;
        join() the thread, then look at .result."""
        runner = threading.Thread(target=lambda: setattr(
            runner, "result", winetest.harness(
                launcher, env=dict({"TEMP": to_windows(temp)}, **(env or {})),
                timeout_ms=120000)))
        runner.start()
        return runner

    def test_the_window_of_a_slow_start_goes_once_the_child_runs(self):
        launcher = self.pack(self.slow_app(), "--progress-window")
        base = self.make_scratch()
        temp = os.path.join(base, "temp")
        os.mkdir(temp)
        report = os.path.join(base, "report.txt")
        runner = self.start(launcher, temp, {
            "VESKAR_PROBE_REPORT": to_windows(report),
            "VESKAR_PROBE_SLEEP_MS": "3000"})
        try:
            self.assertTrue(self.display.await_title(TITLE),
                            "no progress window came")
            self.display.screenshot(os.path.join(self.artefacts,
                                                 "progress-window.png"))
            self.assertTrue(support.eventually(lambda: os.path.exists(report),
                                               60), "the child never ran")
            # The child runs (it sleeps after its report): the window is
            # gone, or goes at once.
            self.assertTrue(self.display.await_title(TITLE, present=False,
                                                     limit_s=10))
        finally:
            runner.join()
        self.assertEqual(runner.result.exit_code, 0)
        self.assertEqual(os.listdir(temp), [])

    def test_closing_the_window_ends_the_run_as_ctrl_c(self):
        # Long enough that the close comes while the files are written.
        launcher = self.pack(self.slow_app(), "--progress-window")
        base = self.make_scratch()
        temp = os.path.join(base, "temp")
        os.mkdir(temp)
        report = os.path.join(base, "report.txt")
        runner = self.start(launcher, temp,
                            {"VESKAR_PROBE_REPORT": to_windows(report)})
        try:
            # The helper watches from the start, and closes the window as
            # soon as it is there.
            closed = wine([WINDOW_HELPER, "close", hex16(TITLE), "60000"],
                          timeout=120)
            self.assertIn(b"window-helper: closed", closed.stdout)
        finally:
            runner.join()
        self.assertEqual(runner.result.exit_code, STATUS_CONTROL_C_EXIT)
        self.assertFalse(os.path.exists(report))
        self.assertEqual(os.listdir(temp), [])

    def box_run(self, mode):
        """A package whose payload is damaged, run through window-helper
        with no standard handles or with a pipe; gives the helper's
        lines and whether the box's title was seen in the X display."""
        app = self.make_scratch()
        shutil.copy(PROBE_GUI, os.path.join(app, "probe.exe"))
        with open(os.path.join(app, "data.bin"), "wb") as f:
            f.write(os.urandom(200_000))
        launcher = self.pack(app, "--error-box")
        offset, size = packtest.container_place(launcher)
        with open(launcher, "r+b") as f:
            f.seek(offset + size // 2)
            byte = f.read(1)
            f.seek(offset + size // 2)
            f.write(bytes([byte[0] ^ 0xFF]))
        go = os.path.join(self.make_scratch(), "go")
        seen = []

        def watch():
            seen.append(self.display.await_title(
                TITLE, limit_s=30 if mode == "none" else 0))
            if seen[0]:
                self.display.screenshot(os.path.join(self.artefacts,
                                                     "error-box.png"))
            with open(go, "w"):
                pass

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            result = wine([WINDOW_HELPER, "box", hex16(to_windows(launcher)),
                           hex16(TITLE), "60000", hex16(to_windows(go)), mode],
                          timeout=180)
        finally:
            watcher.join()
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        return lines, seen[0]

    def test_a_fatal_ending_nobody_reads_shows_the_box(self):
        lines, seen = self.box_run("none")
        self.assertTrue(seen, f"no box titled {TITLE!r} in the display: {lines}")
        texts = [unhex16(line.split()[-1]) for line in lines
                 if line.startswith("window-helper: box-text ")]
        self.assertIn("Error, couldn't decode attached data.", texts)
        self.assertIn("window-helper: exit-code 2", lines)

    def test_with_a_pipe_the_line_goes_there_and_no_box_shows(self):
        lines, seen = self.box_run("pipe")
        self.assertIn("window-helper: no-box", lines)
        piped = [bytes.fromhex(line.split()[-1]) for line in lines
                 if line.startswith("window-helper: piped ")]
        self.assertEqual(piped, [b"Error, couldn't decode attached data.\r\n"])
        self.assertIn("window-helper: exit-code 2", lines)


if __name__ == "__main__":
    support.main()
