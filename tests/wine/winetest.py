"""Running the Windows launcher and the Windows test programs under Wine.

Every Wine call here is headless (no DISPLAY), quiet (WINEDEBUG=-all), in the
tests' own prefix, bounded by a time-out, and runs with its current directory
in a throw-away scratch folder: Wine 8's shell delete, given a path over 260
characters, empties the current directory, so no Wine process may ever start
in the work tree or a build folder.

Standard streams of Wine calls go through files, not pipes: Wine starts
background processes (services, device drivers) that inherit whatever the
first client had, and a pipe held by them would not reach end-of-file until
the Wine server shuts down.

Configuration comes from the environment, set by CTest (tests/wine/
CMakeLists.txt):
  VESKAR_BIN_DIR      the launchers, and windows-tests/ with the test programs
  VESKAR_PACKER       veskar-pack, or empty while there is none
  VESKAR_WINE_PREFIX  the tests' own Wine prefix
  VESKAR_TEST_WORK    where scratch folders are made
"""

import fcntl
import hashlib
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "pysupport"))
import container  # noqa: E402  (tests/pysupport)
from scratch import scratch_dir  # noqa: E402

WINE = os.environ.get("VESKAR_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")

BIN_DIR = os.environ.get("VESKAR_BIN_DIR", "")
PACKER = os.environ.get("VESKAR_PACKER", "")
PREFIX = os.environ.get("VESKAR_WINE_PREFIX", "")
WORK = os.environ.get("VESKAR_TEST_WORK", "")

TESTS_DIR = os.path.join(BIN_DIR, "windows-tests")
STUB = os.path.join(BIN_DIR, "veskar-launcher.exe")
HARNESS = os.path.join(TESTS_DIR, "harness.exe")
PROBE_CONSOLE = os.path.join(TESTS_DIR, "probe-console.exe")
PROBE_GUI = os.path.join(TESTS_DIR, "probe-gui.exe")
REMOVAL_TEST = os.path.join(TESTS_DIR, "removal-test.exe")

# What the default console event handling leaves as a process's exit code.
# Windows ends the process with STATUS_CONTROL_C_EXIT for Ctrl+C; Wine 8's
# default handler ends it with 0.
WINE_CTRL_C_EXIT_CODE = 0


def hex16(text):
    """The hex of the UTF-16LE code units of `text` (lone surrogates kept)."""
    return text.encode("utf-16-le", "surrogatepass").hex()


def unhex16(text):
    return bytes.fromhex(text).decode("utf-16-le", "surrogatepass")


def to_windows(path):
    """The Windows path of a Unix path, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def to_unix(path):
    """The Unix path of a Windows path of this prefix (C:, Z:, \\\\?\\)."""
    if path.startswith("\\\\?\\"):
        path = path[4:]
    if len(path) < 2 or path[1] != ":":
        raise ValueError(f"not a drive path: {path!r}")
    drive = os.path.realpath(
        os.path.join(PREFIX, "dosdevices", path[0].lower() + ":"))
    rest = path[2:].replace("\\", "/").lstrip("/")
    return os.path.join(drive, rest)


def wine_temp_directory():
    """The Unix path of %TEMP% in the prefix, for every user it has."""
    users = os.path.join(PREFIX, "drive_c", "users")
    return [os.path.join(users, u, "Temp") for u in sorted(os.listdir(users))
            if os.path.isdir(os.path.join(users, u, "Temp"))]


def unpack_directories(directory):
    """Names of the unpack directories in `directory`."""
    if not os.path.isdir(directory):
        return set()
    return {n for n in os.listdir(directory) if n.startswith("onefile_")}


def base_environment(extra=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY")
           and not k.startswith("VESKAR_PROBE_")}
    env.update(WINEPREFIX=PREFIX, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    if extra:
        env.update(extra)
    return env


def check_setup():
    """Skips outside CTest; fails when the Windows build is missing."""
    if not (BIN_DIR and PREFIX and WORK):
        raise unittest.SkipTest("run through CTest (VESKAR_BIN_DIR, "
                                "VESKAR_WINE_PREFIX, VESKAR_TEST_WORK)")
    for path in (WINE, STUB, HARNESS, PROBE_CONSOLE, PROBE_GUI, REMOVAL_TEST):
        if not os.path.exists(path):
            raise AssertionError(f"missing {path}: build the Windows "
                                 "configuration first (scripts/build)")


def scratch():
    """A throw-away folder, removed afterwards."""
    return scratch_dir(WORK, "wine-")


class Completed:
    def __init__(self, returncode, stdout, stderr, seconds):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.seconds = seconds


def wine(args, timeout=60, stdin=b"", env=None):
    """Runs `WINE args` in a fresh scratch folder; standard streams through
    files. A time-out kills it and raises."""
    with scratch() as cwd:
        with open(os.path.join(cwd, ".stdin"), "wb") as f:
            f.write(stdin)
        started = time.monotonic()
        with open(os.path.join(cwd, ".stdin"), "rb") as i, \
                open(os.path.join(cwd, ".stdout"), "wb") as o, \
                open(os.path.join(cwd, ".stderr"), "wb") as e:
            process = subprocess.Popen([WINE] + list(args), cwd=cwd,
                                       stdin=i, stdout=o, stderr=e,
                                       env=base_environment(env),
                                       start_new_session=True)
            try:
                returncode = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, 9)
                process.wait()
                raise AssertionError(f"Wine call timed out after {timeout} s: {args}")
        seconds = time.monotonic() - started
        with open(os.path.join(cwd, ".stdout"), "rb") as f:
            stdout = f.read()
        with open(os.path.join(cwd, ".stderr"), "rb") as f:
            stderr = f.read()
        return Completed(returncode, stdout, stderr, seconds)


_prepared = False


def prepare_prefix():
    """Creates the prefix once (under a lock: several test processes may
    start at once) and keeps a Wine server with its services running, so
    that each later call costs a fraction of a second."""
    global _prepared
    if _prepared:
        return
    os.makedirs(PREFIX, exist_ok=True)
    os.makedirs(WORK, exist_ok=True)
    devnull = subprocess.DEVNULL
    with open(PREFIX + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(PREFIX, "system.reg")):
            with scratch() as cwd:
                subprocess.run([WINE, "wineboot", "-i"], cwd=cwd,
                               env=base_environment(), stdin=devnull,
                               stdout=devnull, stderr=devnull, timeout=300,
                               check=True)
        with scratch() as cwd:
            # Lives on for 60 s after the last Wine process, then ends.
            subprocess.run([WINESERVER, "-p60"], cwd=cwd,
                           env=base_environment(), stdin=devnull,
                           stdout=devnull, stderr=devnull, timeout=30)
            subprocess.run([WINE, HARNESS], cwd=cwd, env=base_environment(),
                           stdin=devnull, stdout=devnull, stderr=devnull,
                           timeout=120)
    _prepared = True


class HarnessResult:
    def __init__(self, completed):
        self.completed = completed
        self.stdout = completed.stdout
        self.stderr = completed.stderr
        text = completed.stdout.decode("utf-8", "replace")
        self.exit_codes = [int(m.group(1)) for m in
                           re.finditer(r"^harness: exit-code (\d+) ", text, re.M)]
        m = re.search(r"^harness: ended-after-ctrl-c-ms (\d+)", text, re.M)
        self.ctrl_c_ms = int(m.group(1)) if m else None
        m = re.search(r"^harness: ran-ms (\d+)", text, re.M)
        self.ran_ms = int(m.group(1)) if m else None
        self.timed_out = "harness: timeout" in text

    @property
    def exit_code(self):
        if len(self.exit_codes) != 1:
            raise AssertionError("harness reported no single exit code: "
                                 + repr(self.completed.stdout) + " "
                                 + repr(self.completed.stderr))
        return self.exit_codes[0]


def harness(app, command_line=None, cwd=None, env=None, stdin=b"",
            copies=1, ctrl_c_when=None, ctrl_c_delay_ms=0,
            timeout_ms=30000, wine_env=None):
    """Starts the Windows program at the Unix path `app` through the harness
    with exactly `command_line` (default: the quoted Windows path), in the
    Windows directory `cwd`, with `env` set in the harness's environment."""
    app_windows = to_windows(app)
    if command_line is None:
        command_line = f'"{app_windows}"'
    args = [HARNESS, "run", "--app", hex16(app_windows),
            "--command-line", hex16(command_line),
            "--timeout", str(timeout_ms)]
    if cwd is not None:
        args += ["--cwd", hex16(cwd)]
    for name, value in (env or {}).items():
        args += ["--env", hex16(f"{name}={value}")]
    if copies != 1:
        args += ["--copies", str(copies)]
    if ctrl_c_when is not None:
        args += ["--ctrl-c-when", hex16(ctrl_c_when),
                 "--ctrl-c-delay", str(ctrl_c_delay_ms)]
    completed = wine(args, timeout=timeout_ms / 1000 + 60, stdin=stdin,
                     env=wine_env)
    return HarnessResult(completed)


class Report:
    """What the probe child wrote about itself."""

    def __init__(self, path):
        self.files = {}
        self.directories = set()
        self.env = {}
        self.std = {}
        self.stdin = None
        self.holder = None
        self.complete = False
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(" ")
                if key == "command-line":
                    self.command_line = unhex16(value)
                elif key in ("parent-var", "binary-var"):
                    setattr(self, key.replace("-", "_"),
                            None if value == "-" else unhex16(value))
                elif key == "current-directory":
                    self.current_directory = unhex16(value)
                elif key == "module-path":
                    self.module_path = unhex16(value)
                elif key == "pid":
                    self.pid = int(value)
                elif key.startswith("std-"):
                    self.std[key[4:]] = value
                elif key == "env":
                    name, _, content = unhex16(value).partition("=")
                    self.env[name] = content
                elif key == "directory":
                    self.directories.add(unhex16(value))
                elif key == "file":
                    name, size, digest = value.split(" ")
                    self.files[unhex16(name)] = (int(size), digest)
                elif key == "stdin":
                    self.stdin = bytes.fromhex(value)
                elif key == "holder":
                    self.holder = value
                elif key == "end":
                    self.complete = True

    @property
    def unpack_directory(self):
        """The Windows path of the directory the probe runs from."""
        return self.module_path.rsplit("\\", 1)[0]


def file_table(records):
    """{name: (size, sha256)} for archive records, as the probe reports them."""
    return {name: (len(data), hashlib.sha256(data).hexdigest())
            for name, data in records}


def pack_windows(records, out):
    """Writes `out`, the Windows launcher carrying `records`, through the
    packer's attach command."""
    if not PACKER:
        raise unittest.SkipTest("no packer in this build")
    blob = out + ".container"
    with open(blob, "wb") as f:
        f.write(container.container(records))
    result = subprocess.run([PACKER, "attach", blob, "-o", out,
                             "--target", "windows"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=120)
    os.unlink(blob)
    if result.returncode != 0:
        raise AssertionError("veskar-pack attach failed: "
                             + result.stdout.decode("utf-8", "replace"))


def probe_records(probe=PROBE_CONSOLE, extra=()):
    """An application: the probe first, then a few files of several kinds."""
    with open(probe, "rb") as f:
        records = [("probe.exe", f.read())]
    records += [
        ("data\\empty.bin", b""),
        ("data\\nested\\deeper\\note.txt", b"a note\r\n"),
        ("data\\gr\u00fc\u00dfe \u65e5\u672c.txt", "gr\u00fc\u00dfe".encode("utf-8")),
        ("big.bin", os.urandom(300 * 1024)),
    ]
    records += list(extra)
    return records


class WineTestCase(unittest.TestCase):
    """Checks the Windows build is there; prepares the prefix once."""

    @classmethod
    def setUpClass(cls):
        check_setup()
        prepare_prefix()

    def make_scratch(self):
        """A scratch folder that lives until the test ends."""
        context = scratch()
        path = context.__enter__()
        self.addCleanup(context.__exit__, None, None, None)
        return path
