"""Running the Windows launcher and the Windows test programs under Wine.

Every Wine call here is headless, quiet, in the one Wine prefix, bounded by
a time-out, and runs with its current directory in a throw-away scratch
folder: Wine 8's shell delete, given a path over 260 characters, empties the
current directory, so no Wine process may ever start in the work tree or a
build folder.

Standard streams of Wine calls go through files, not pipes: Wine starts
background processes (services, device drivers) that inherit whatever the
first client had, and a pipe held by them would not reach end-of-file until
the Wine server shuts down.

The Wine settings come from scripts/wine-env, which CTest runs every Wine
test under (WINE, WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, no display); its
fixture test has prepared the prefix. The rest, from CTest too:
  VESKAR_BIN_DIR      the launchers, and windows-tests/ with the test programs
  VESKAR_PACKER       veskar-pack
  VESKAR_TEST_WORK    where scratch folders are made
"""

import hashlib
import os
import re
import subprocess

import container
import support
from probe import hex16

WINE = os.environ.get("WINE", "")
PREFIX = os.environ.get("WINEPREFIX", "")
BIN_DIR = os.environ.get("VESKAR_BIN_DIR", "")
PACKER = os.environ.get("VESKAR_PACKER", "")

TESTS_DIR = os.path.join(BIN_DIR, "windows-tests")
STUB = os.path.join(BIN_DIR, "veskar-launcher.exe")
HARNESS = os.path.join(TESTS_DIR, "harness.exe")
PROBE_CONSOLE = os.path.join(TESTS_DIR, "probe-console.exe")
PROBE_GUI = os.path.join(TESTS_DIR, "probe-gui.exe")
REMOVAL_TEST = os.path.join(TESTS_DIR, "removal-test.exe")
HOLD_TEST = os.path.join(TESTS_DIR, "hold-test.exe")
PACKER_PATHS_TEST = os.path.join(TESTS_DIR, "packer-paths-test.exe")
ABORT_TEST = os.path.join(TESTS_DIR, "abort-test.exe")
PRINT_TEST = os.path.join(TESTS_DIR, "print-test.exe")

# What the default console event handling leaves as a process's exit code.
# Windows ends the process with STATUS_CONTROL_C_EXIT for Ctrl+C; Wine 8's
# default handler ends it with 0.
WINE_CTRL_C_EXIT_CODE = 0


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


class Completed:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr


def environment():
    """The tests' environment, the Wine settings included, for a Wine call:
    without settings for the probe, which each launch gives its own."""
    return {k: v for k, v in os.environ.items()
            if not k.startswith("VESKAR_PROBE_")}


def wine(args, timeout=60, stdin=b""):
    """Runs `WINE args` in a fresh scratch folder; standard streams through
    files. A time-out kills it and raises."""
    with support.scratch_dir("wine-") as cwd:
        with open(os.path.join(cwd, ".stdin"), "wb") as f:
            f.write(stdin)
        with open(os.path.join(cwd, ".stdin"), "rb") as i, \
                open(os.path.join(cwd, ".stdout"), "wb") as o, \
                open(os.path.join(cwd, ".stderr"), "wb") as e:
            process = subprocess.Popen([WINE] + list(args), cwd=cwd,
                                       stdin=i, stdout=o, stderr=e,
                                       env=environment(),
                                       start_new_session=True)
            try:
                returncode = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, 9)
                process.wait()
                raise AssertionError(f"Wine call timed out after {timeout} s: {args}")
        with open(os.path.join(cwd, ".stdout"), "rb") as f:
            stdout = f.read()
        with open(os.path.join(cwd, ".stderr"), "rb") as f:
            stderr = f.read()
        return Completed(returncode, stdout, stderr)


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
        self.terminated = "harness: terminated" in text

    @property
    def exit_code(self):
        if len(self.exit_codes) != 1:
            raise AssertionError("harness reported no single exit code: "
                                 + repr(self.completed.stdout) + " "
                                 + repr(self.completed.stderr))
        return self.exit_codes[0]


def harness(app, command_line=None, cwd=None, env=None, stdin=b"",
            copies=1, ctrl_c_when=None, ctrl_c_delay_ms=0,
            terminate_when=None, timeout_ms=30000, stderr=None):
    """Starts the Windows program at the Unix path `app` through the harness
    with exactly `command_line` (default: the quoted Windows path), in the
    Windows directory `cwd`, with `env` set in the harness's environment.
    `ctrl_c_when` or `terminate_when`: a Windows path (wildcards in its last
    part) at which the harness sends Ctrl+C or calls TerminateProcess. Its
    standard error is the harness's own file, or with `stderr` "pipe" a
    pipe the harness copies to that file; with "console" the program runs on
    a pseudo console whose output (UTF-8 with VT sequences) the harness
    copies to that file."""
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
    if stderr is not None:
        args += ["--stderr", stderr]
    if ctrl_c_when is not None:
        args += ["--ctrl-c-when", hex16(ctrl_c_when),
                 "--ctrl-c-delay", str(ctrl_c_delay_ms)]
    if terminate_when is not None:
        args += ["--terminate-when", hex16(terminate_when)]
    completed = wine(args, timeout=timeout_ms / 1000 + 60, stdin=stdin)
    return HarnessResult(completed)


def short_name(long_name):
    """The short (8.3) name Wine gives a file named `long_name`, as
    GetShortPathNameW gives it: the file made in a scratch folder for the
    asking. Wine's short names are a hash of the long one ("AVER~STY.BIN"),
    not Windows' numbered ones ("AVERYL~1.BIN"), and the same in every
    folder."""
    with support.scratch_dir("short-") as folder:
        with open(os.path.join(folder, long_name), "wb"):
            pass
        result = wine([HARNESS, "short",
                       to_windows(os.path.join(folder, long_name))])
    text = result.stdout.decode("utf-8", "replace")
    m = re.search(r"^harness: short (.*)$", text, re.M)
    if m is None:
        raise AssertionError(f"harness short: {result.stdout!r} {result.stderr!r}")
    return m.group(1).rstrip("\r").split("\\")[-1]


def process_gone(pid, wait_ms):
    """Whether the Windows process `pid` has ended, or ends within
    `wait_ms`, as the prefix's Wine server sees it."""
    result = wine([HARNESS, "gone", str(pid), str(wait_ms)],
                  timeout=wait_ms / 1000 + 60)
    text = result.stdout.decode("utf-8", "replace")
    if "harness: gone" in text:
        return True
    if "harness: running" in text:
        return False
    raise AssertionError(f"harness gone: {result.stdout!r} {result.stderr!r}")


def unix_processes_naming(text):
    """Unix processes whose command line holds `text`: under Wine, those
    that run a program from a folder of that name."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def pack_windows(records, out, damage=None, **layout):
    """Writes `out`, the Windows launcher carrying `records`, through the
    packer's attach command; `damage`, when given, changes the container's
    bytes first. `layout` goes to container.container (frames, index)."""
    blob = out + ".container"
    body = container.container(records, **layout)
    with open(blob, "wb") as f:
        f.write(damage(body) if damage is not None else body)
    result = subprocess.run([PACKER, "attach", blob, "-o", out,
                             "--target", "windows"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=120)
    os.unlink(blob)
    if result.returncode != 0:
        raise AssertionError("veskar-pack attach failed: "
                             + result.stdout.decode("utf-8", "replace"))


def pack_windows_cached(records, out, template, mode=container.CACHE_SIZE):
    """pack_windows, with the launcher's build values then set for a cache
    mode (container.set_cache_mode). Gives the 64 hex digits of the
    container's digest."""
    bodies = []
    pack_windows(records, out, damage=lambda body: bodies.append(body) or body)
    with open(out, "rb") as f:
        image = f.read()
    with open(out, "wb") as f:
        f.write(container.set_cache_mode(image, bodies[0], records, template,
                                         mode))
    return hashlib.sha256(bodies[0]).hexdigest()


class WineTestCase(support.TestCase):
    """Fails at once when Wine, the packer or the Windows build is
    missing."""

    scratch_prefix = "wine-"

    def assertEveryCasePassed(self, result, cases):
        """`result` of a Windows test program that prints a line per case,
        PASS or FAIL first: all `cases` passed, and it ended with 0."""
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        self.assertEqual(
            [line.split(" ", 1)[0] for line in lines], ["PASS"] * cases,
            "\n".join(lines) + result.stderr.decode("utf-8", "replace"))
        self.assertEqual(result.returncode, 0)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        support.setting("WINEPREFIX")
        support.setting("VESKAR_BIN_DIR")
        support.require_files(support.setting("WINE"),
                              support.setting("VESKAR_PACKER"), STUB, HARNESS,
                              PROBE_CONSOLE, PROBE_GUI, REMOVAL_TEST,
                              ABORT_TEST, PRINT_TEST)
