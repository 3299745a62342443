"""The Linux launcher as a whole: a container appended to it, the Linux probe
as its child.

Containers are written by tests/pysupport/container.py (the `zstd` tool
compresses), not by the packer, so these runs check the launcher against an
independent writer. Each launch gets TMPDIR of its own, so a test sees
exactly the unpack directories it caused.

Configuration from the environment, set by CTest:
  VESKAR_LINUX_LAUNCHER  the Linux launcher stub
  VESKAR_LINUX_PROBE     the probe child
  VESKAR_TEST_WORK       where scratch folders are made
"""

import concurrent.futures
import errno
import os
import resource
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
import unittest.mock

import container
import probe
import support
from probe import file_table, unpack_directories, with_large_files

LAUNCHER = os.environ.get("VESKAR_LINUX_LAUNCHER", "")
PROBE = os.environ.get("VESKAR_LINUX_PROBE", "")


def probe_records():
    return probe.probe_records(PROBE, "probe")


def read_report(path):
    """The probe's report at `path`, or None when it wrote none."""
    return probe.Report(path, windows=False) if os.path.exists(path) else None


def running(pid):
    """Whether the process `pid` runs; a zombie waiting to be reaped does
    not."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class Launch:
    def __init__(self, process, stdout, stderr, report, temp):
        self.returncode = process.returncode
        self.pid = process.pid
        self.stdout, self.stderr = stdout, stderr
        self.report, self.temp = report, temp

    def unpack_directories(self):
        return unpack_directories(self.temp)


def tree_snapshot(root):
    """{relative path: what it is} below `root`, never following a link or
    opening anything but a plain file: a file's bytes, a link's target, a
    directory, or another kind."""
    found = {}
    for directory, directories, files in os.walk(root):
        for name in directories + files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            mode = os.lstat(path).st_mode
            if stat.S_ISLNK(mode):
                found[relative] = ("link", os.readlink(path))
            elif stat.S_ISDIR(mode):
                found[relative] = ("directory",)
            elif stat.S_ISREG(mode):
                with open(path, "rb") as f:
                    found[relative] = ("file", f.read())
            else:
                found[relative] = ("other", stat.S_IFMT(mode))
    return found


class LinuxLauncherTestCase(probe.LaunchTestCase):
    records = None
    scratch_prefix = "linux-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        support.require_files(support.setting("VESKAR_LINUX_LAUNCHER"),
                              support.setting("VESKAR_LINUX_PROBE"))
        cls.class_scratch = cls.make_class_scratch()
        os.makedirs(os.path.join(cls.class_scratch, "my app"))
        cls.launcher = os.path.join(cls.class_scratch, "my app", "app")
        cls.records = probe_records()
        container.append_to_linux_launcher(LAUNCHER, cls.records, cls.launcher)

    def start(self, argv=None, probe=None, env=None, launcher=None, cwd=None,
              stdin=b"", prepare_temp=None, preexec=None, wrapper=None):
        """Starts the launcher with `argv` (argv[0] included; default: its
        path) and a TMPDIR of its own, which `prepare_temp(temp)` may set up
        first; `preexec` runs in the launcher's process before it starts.
        A `wrapper` (["nohup"], ...) is started instead, with the launcher's
        path as its last argument, and must exec it in its own process.
        Returns (process, scratch, temp)."""
        scratch_dir = self.make_scratch()
        temp = os.path.join(scratch_dir, "temp")
        os.makedirs(temp)
        if prepare_temp is not None:
            prepare_temp(temp)
        environment = {k: v for k, v in os.environ.items()
                       if not k.startswith("VESKAR_PROBE_")}
        environment["TMPDIR"] = temp
        environment["VESKAR_PROBE_REPORT"] = os.path.join(scratch_dir, "report.txt")
        for name, value in (probe or {}).items():
            environment["VESKAR_PROBE_" + name] = value
        environment.update(env or {})
        launcher = launcher or self.launcher
        stdin_path = os.path.join(scratch_dir, ".stdin")
        with open(stdin_path, "wb") as f:
            f.write(stdin)
        with open(stdin_path, "rb") as stdin_file:
            command = argv or [launcher]
            if wrapper:
                command = list(wrapper) + [launcher]
            process = subprocess.Popen(
                command, executable=None if wrapper else launcher,
                env=environment,
                cwd=cwd or scratch_dir, stdin=stdin_file,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                start_new_session=True, preexec_fn=preexec)
        return process, scratch_dir, temp

    def finish(self, started, timeout=60):
        process, scratch_dir, temp = started
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            raise AssertionError("the launcher did not end in time")
        report = read_report(os.path.join(scratch_dir, "report.txt"))
        return Launch(process, stdout, stderr, report, temp)

    def launch(self, **options):
        return self.finish(self.start(**options))

    def interrupt_once_unpacking(self, started, directory):
        """Sends SIGINT to a started launcher as soon as an unpack
        directory ("onefile_...") appears in `directory`; checks that it
        ended by the signal before its child ran. Gives the Launch."""
        deadline = time.monotonic() + 20
        while not (os.path.isdir(directory) and any(
                n.startswith("onefile_") for n in os.listdir(directory))):
            self.assertLess(time.monotonic(), deadline, "no unpack directory")
            self.assertIsNone(started[0].poll(), "the launcher ended early")
            time.sleep(0.001)
        os.kill(started[0].pid, signal.SIGINT)
        launch = self.finish(started)
        self.assertEqual(launch.returncode, -signal.SIGINT)
        self.assertIsNone(launch.report, "the child ran")
        return launch

    def wait_for_report(self, started, timeout=20):
        """The report of a started launcher's child, once it has written
        it."""
        path = os.path.join(started[1], "report.txt")
        deadline = time.monotonic() + timeout
        while not os.path.exists(path):
            if started[0].poll() is not None or time.monotonic() > deadline:
                raise AssertionError("the child wrote no report")
            time.sleep(0.02)
        return read_report(path)



class ArgumentsTest(LinuxLauncherTestCase):
    def test_argv_reaches_the_child_unchanged(self):
        """Every argument, argv[0] included, byte for byte."""
        cases = [
            [self.launcher],
            ["app", "plain", "words"],
            ["custom name", "with spaces", 'quote " inside', "back\\slash\\"],
            ["./app", "gr\u00fc\u00dfe", "\u65e5\u672c\u8a9e", "\U0001F600"],
            [b"app", b"not utf-8 \xff\xfe", b"", b"  ", b"\t\n"],
            ["", "empty program name"],
        ]
        launches = self.launch_many([{"argv": c} for c in cases])
        for argv, launch in zip(cases, launches):
            with self.subTest(argv=argv):
                expected = [a if isinstance(a, bytes) else a.encode() for a in argv]
                self.assertIsNotNone(launch.report, launch.stderr)
                self.assertEqual(launch.report.args, expected)
                self.assertEqual(launch.returncode, 0)
                self.assertRemoved(launch)


class ExitStatusTest(LinuxLauncherTestCase):
    def test_child_status_comes_back(self):
        """The child's status, all 8 bits a Unix status carries; a child
        ended by a signal shows as 128 + the signal, as a shell shows it."""
        cases = [({"EXIT": "0"}, 0), ({"EXIT": "3"}, 3), ({"EXIT": "200"}, 200),
                 ({"EXIT": "255"}, 255), ({"RAISE": "9"}, 128 + 9),
                 ({"RAISE": "15"}, 128 + 15)]
        launches = self.launch_many([{"probe": p} for p, _ in cases])
        for (probe, status), launch in zip(cases, launches):
            with self.subTest(probe=probe):
                self.assertEqual(launch.returncode, status)
                self.assertRemoved(launch)


class EnvironmentTest(LinuxLauncherTestCase):
    def test_variables_directory_and_files(self):
        directory = os.path.join(self.make_scratch(), "w\u00f6rking dir")
        os.makedirs(directory)
        started = self.start(cwd=directory, env={
            "VESKAR_ONEFILE_PARENT": "-0012",
            "VESKAR_ONEFILE_BINARY": "/inherited/value",
            "VESKAR_TEST_INHERITED": "kept \u00e9",
        })
        launch = self.finish(started)
        report = launch.report
        self.assertIsNotNone(report, launch.stderr)
        self.assertEqual(launch.returncode, 0)
        parent = report.env["VESKAR_ONEFILE_PARENT"]
        self.assertEqual(parent, str(launch.pid))
        self.assertEqual(report.ppid, launch.pid)
        name = os.path.basename(report.unpack_directory)
        self.assertRegex(name, rf"^onefile_{parent}_\d+$")
        self.assertEqual(os.path.dirname(report.unpack_directory), launch.temp)
        self.assertEqual(report.env["VESKAR_ONEFILE_BINARY"],
                         os.path.realpath(self.launcher))
        self.assertEqual(report.env["VESKAR_TEST_INHERITED"], "kept \u00e9")
        self.assertEqual(report.cwd, directory)
        self.assertEqual(report.files, file_table(self.records, "/"))
        # The unpack directory and every directory in it are private.
        self.assertEqual(report.own_directory_mode, "700")
        self.assertEqual(report.directories, {
            "data": "700", "data/nested": "700", "data/nested/deeper": "700"})
        self.assertRemoved(launch)


class StandardStreamsTest(LinuxLauncherTestCase):
    def test_streams_reach_the_child(self):
        data = b"line one\nline two \xc3\xa9\x00\xff end"
        launch = self.launch(stdin=data, probe={"READ_STDIN": "1"})
        self.assertEqual(launch.returncode, 0)
        self.assertEqual(launch.report.stdin, data)
        self.assertEqual(launch.stdout, b"probe: a line on standard output\n")
        self.assertEqual(launch.stderr, b"probe: a line on standard error\n")
        self.assertRemoved(launch)


class UnpackDirectoryTest(LinuxLauncherTestCase):
    def case_insensitive_folder(self):
        """A real folder that takes two spellings for one file, made for
        this test: a loop-mounted vfat image, a folder with the casefold
        flag on a loop-mounted ext4 image, or the tests' own case-folding
        FUSE file system over a scratch folder (all need root, which CI
        has). Skips, saying why, when none can be made here."""
        scratch = self.make_scratch()
        image = os.path.join(scratch, "fs.img")
        mount = os.path.join(scratch, "mnt")
        os.makedirs(mount)
        why = []
        if os.geteuid() != 0:
            self.skipTest("not root: no file system can be mounted for a "
                          "case-insensitive folder")
        attempts = [
            (["mkfs.vfat", image], ["mount", "-o", "loop,uid=0,umask=077",
                                    image, mount], None),
            (["mkfs.ext4", "-q", "-O", "casefold", image],
             ["mount", "-o", "loop", image, mount], "casefold"),
        ]
        for make, attach, subfolder in attempts:
            if shutil.which(make[0]) is None:
                why.append(make[0] + " is not installed")
                continue
            with open(image, "wb") as f:
                f.truncate(64 << 20)
            made = subprocess.run(make, capture_output=True)
            if made.returncode != 0:
                why.append(make[0] + ": "
                           + made.stderr.decode(errors="replace").strip())
                continue
            mounted = subprocess.run(attach, capture_output=True)
            if mounted.returncode != 0:
                why.append(" ".join(attach[:3]) + ": "
                           + mounted.stderr.decode(errors="replace").strip())
                continue
            self.addCleanup(subprocess.run, ["umount", "-l", mount])
            folder = mount
            if subfolder is not None:
                folder = os.path.join(mount, subfolder)
                os.makedirs(folder)
                flagged = subprocess.run(["chattr", "+F", folder],
                                         capture_output=True)
                if flagged.returncode != 0:
                    why.append("chattr +F: " + flagged.stderr.decode(
                        errors="replace").strip())
                    continue
            if self.folds_case(folder):
                return folder
            why.append(make[0] + ": the folder keeps case apart")
        folder = self.casefold_fuse_mount(scratch, why)
        if folder is not None:
            if self.folds_case(folder):
                return folder
            why.append("casefold_fs: the folder keeps case apart")
        self.skipTest("no case-insensitive folder can be made here: "
                      + "; ".join(why))

    def folds_case(self, folder):
        """Makes `folder` private and says whether it takes a second
        spelling for a file: if not, a test in it shows nothing."""
        os.chmod(folder, 0o700)
        with open(os.path.join(folder, "Probe.TXT"), "wb"):
            pass
        folds = os.path.exists(os.path.join(folder, "probe.txt"))
        os.unlink(os.path.join(folder, "Probe.TXT"))
        return folds

    def casefold_fuse_mount(self, scratch, why):
        """The tests' case-folding FUSE file system mounted over a scratch
        folder, unmounted at the test's end; None, with the reason added to
        `why`, where it cannot be mounted."""
        program = os.environ.get("VESKAR_CASEFOLD_FS", "")
        if not program:
            why.append("casefold_fs was not built (no libfuse3; "
                       "scripts/setup installs it)")
            return None
        if not os.path.exists("/dev/fuse") or \
                shutil.which("fusermount3") is None:
            why.append("casefold_fs needs /dev/fuse and fusermount3")
            return None
        backing = os.path.join(scratch, "backing")
        mount = os.path.join(scratch, "fold")
        os.makedirs(backing)
        os.makedirs(mount)
        log = open(os.path.join(scratch, "casefold_fs.log"), "w+b")
        self.addCleanup(log.close)
        server = subprocess.Popen(
            [program, backing, mount, "-f", "-s",
             "-o", "default_permissions"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log)

        def unmount():
            if subprocess.run(["fusermount3", "-u", mount],
                              capture_output=True).returncode != 0:
                subprocess.run(["fusermount3", "-u", "-z", mount],
                               capture_output=True)
            server.wait()
        self.addCleanup(unmount)
        while server.poll() is None:
            with open("/proc/self/mounts") as f:
                if any(line.split()[1] == os.path.realpath(mount)
                       for line in f):
                    return mount
            time.sleep(0.01)
        log.seek(0)
        why.append("casefold_fs could not mount: "
                   + log.read().decode(errors="replace").strip())
        return None

    def test_a_case_insensitive_folder_keeps_the_later_record(self):
        """In a folder that takes BIG.BIN and big.bin for one file, a
        payload holding both ends with the later record's bytes, with the
        one-thread reader and the parallel one (an index in several frames):
        never 8 MiB of both, never a different file each run."""
        folder = self.case_insensitive_folder()
        later = b"later"
        records = probe_records() + [("BIG.BIN", os.urandom(8 << 20)),
                                     ("big.bin", later)]
        for layout in ({}, {"index": True, "checksums": (True,) * 6}):
            with self.subTest(layout=layout):
                launcher = os.path.join(self.make_scratch(), "fold")
                with open(LAUNCHER, "rb") as f:
                    image = f.read()
                with open(launcher, "wb") as f:
                    f.write(image + container.container(records, **layout))
                os.chmod(launcher, 0o755)
                launch = self.launch(launcher=launcher,
                                     env={"TMPDIR": folder})
                self.assertEqual(launch.returncode, 0, launch.stderr)
                files = {name.lower(): entry
                         for name, entry in launch.report.files.items()}
                self.assertEqual(len(files), len(launch.report.files))
                self.assertEqual(files["big.bin"],
                                 file_table([("big.bin", later)])["big.bin"])
                self.assertEqual(os.listdir(folder), [])

    def test_fatal_endings_leave_nothing(self):
        """Every fatal ending after extraction has begun removes what the
        run wrote: partial files, content that failed its checksum, the
        main program. The line and the status stay as they were."""
        good = probe_records()
        damaged_frame = lambda body: body[:20] + bytes(
            b ^ 0x55 for b in body[20:60]) + body[60:]
        # The frame's last four bytes are its content checksum.
        bad_checksum = lambda body: body[:-13] + bytes(
            [body[-13] ^ 1]) + body[-12:]
        cases = [
            ("failed start", [("readme.txt", b"not a program\n")] + good,
             None, b"", b"Error, couldn't launch child ([Error "),
            ("refused name", good + [("..\\evil", b"x")], None, b"",
             b"Error, refusing the name '..\\evil'"),
            ("failed open", good + [("d", b"1"), ("d\\x", b"2")], None, b"",
             b"Error, failed to open '"),
            ("damaged data", good, damaged_frame,
             b"Error, couldn't decode attached data.\n", b""),
            ("failed checksum", good, bad_checksum,
             b"Error, couldn't decode attached data.\n", b""),
        ]
        for label, records, damage, stdout, stderr_start in cases:
            with self.subTest(case=label):
                launcher = os.path.join(self.make_scratch(), "broken")
                body = container.container(records)
                if damage is not None:
                    body = damage(body)
                with open(LAUNCHER, "rb") as f:
                    image = f.read()
                with open(launcher, "wb") as f:
                    f.write(image + body)
                os.chmod(launcher, 0o755)
                launch = self.launch(launcher=launcher)
                self.assertEqual(launch.returncode, 2, launch.stderr)
                self.assertIsNone(launch.report)
                self.assertEqual(launch.stdout, stdout)
                self.assertTrue(launch.stderr.startswith(stderr_start),
                                launch.stderr)
                self.assertEqual(os.listdir(launch.temp), [])

    def test_a_directory_moved_away_and_replaced_stays(self):
        """The run removes the directory it made, known by its file id, not
        whatever is at its path when the child ends: moved away during the
        child's life, that directory stays where it went, and the directory
        a user then made at the path stays with the user's file."""
        started = self.start(probe={"SLEEP_MS": "60000"})
        report = self.wait_for_report(started)
        directory = report.unpack_directory
        moved = directory + "-moved"
        os.rename(directory, moved)
        os.mkdir(directory)
        with open(os.path.join(directory, "mine.txt"), "wb") as f:
            f.write(b"the user's")
        os.kill(report.pid, signal.SIGKILL)
        launch = self.finish(started)
        self.assertEqual(support.read_tree(directory),
                         {"mine.txt": b"the user's"}, launch.stderr)
        self.assertEqual(file_table(support.read_tree(moved).items(), "/"),
                         file_table(self.records, "/"))

    def test_a_write_that_fails_ends_the_run_before_the_child(self):
        """A file the file system cannot take (a full tmpfs, or a file size
        limit) ends the run with the unpack message naming the file and the
        system's reason, before the child starts, and nothing is left."""
        good = probe_records()
        records = good + [("data\\big.bin", os.urandom(3 << 20)),
                          ("data\\after.txt", b"after")]
        launcher = os.path.join(self.make_scratch(), "big")
        with open(LAUNCHER, "rb") as f:
            image = f.read()
        with open(launcher, "wb") as f:
            f.write(image + container.container(records))
        os.chmod(launcher, 0o755)
        room = sum(len(data) for _, data in good) + (1 << 20)

        def full_tmpfs(temp):
            mount = subprocess.run(
                ["mount", "-t", "tmpfs", "-o", f"size={room},mode=0700",
                 "tmpfs", temp], capture_output=True)
            if mount.returncode != 0:
                self.skipTest("cannot mount a tmpfs here: "
                              + mount.stderr.decode(errors="replace"))
            self.addCleanup(subprocess.run, ["umount", "-l", temp])

        def file_size_limit(disposition):
            def limit():
                import resource
                signal.signal(signal.SIGXFSZ, disposition)
                resource.setrlimit(resource.RLIMIT_FSIZE, (room, room))
            return limit

        # With SIGXFSZ at its default (ulimit -f in a shell), the signal
        # would kill the launcher half-way: it must take the same path.
        cases = [("a full tmpfs", dict(prepare_temp=full_tmpfs)),
                 ("a file size limit, SIGXFSZ ignored",
                  dict(preexec=file_size_limit(signal.SIG_IGN))),
                 ("a file size limit, SIGXFSZ at its default",
                  dict(preexec=file_size_limit(signal.SIG_DFL)))]
        for label, options in cases:
            with self.subTest(case=label):
                launch = self.launch(launcher=launcher, **options)
                self.assertEqual(launch.returncode, 2, launch.stderr)
                self.assertIsNone(launch.report)
                self.assertEqual(launch.stdout, b"")
                self.assertRegex(
                    launch.stderr,
                    rb"^Error, couldn't unpack file to target path\. "
                    rb"'[^'\n]*/onefile_[0-9]+_[0-9]+/data/big\.bin' "
                    rb"\(\[Error 112\] No space left on device\)\n$")
                self.assertEqual(os.listdir(launch.temp), [])

    def test_a_message_to_a_closed_pipe_still_ends_with_2(self):
        """A fatal message written to a pipe whose reader has gone (on
        standard output, and on standard error) is lost, but the status is
        still 2, not the death by SIGPIPE, and nothing is left."""
        refused = os.path.join(self.make_scratch(), "refused")
        container.append_to_linux_launcher(
            LAUNCHER, probe_records()[:1] + [("..\\x", b"x")], refused)
        rows = [("standard output, no payload", LAUNCHER, 1),
                ("standard error, a refused name", refused, 2)]
        for label, launcher, stream in rows:
            with self.subTest(row=label):
                temp = os.path.join(self.make_scratch(), "temp")
                os.makedirs(temp)
                read_end, write_end = os.pipe()
                os.close(read_end)
                streams = {1: subprocess.DEVNULL, 2: subprocess.DEVNULL}
                streams[stream] = write_end
                try:
                    result = subprocess.run(
                        [launcher], env=dict(os.environ, TMPDIR=temp),
                        cwd=temp, stdin=subprocess.DEVNULL,
                        stdout=streams[1], stderr=streams[2], timeout=30)
                finally:
                    os.close(write_end)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(os.listdir(temp), [])

    def test_stub_without_payload(self):
        scratch_dir = self.make_scratch()
        temp = os.path.join(scratch_dir, "temp")
        os.makedirs(temp)
        result = subprocess.run([LAUNCHER], env=dict(os.environ, TMPDIR=temp),
                                cwd=scratch_dir, capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"Error, couldn't find attached data header.\n")
        self.assertEqual(os.listdir(temp), [])


class HostileEnvironmentTest(LinuxLauncherTestCase):
    """What another user on a shared TMPDIR, or a bare environment, can do
    to a run: one row per hostile shape, each against the real launcher."""

    FIXED_PID, FIXED_SECONDS = 4242, 1800000000
    # {TIME}: 100-nanosecond ticks since 1601 for the fixed clock.
    FIXED_NAME = "onefile_%d_%d" % (FIXED_PID,
                                    116444736000000000 + FIXED_SECONDS * 10**7)
    OTHER_USER = 65534  # nobody: the one who plants

    def plant(self, kind, path, elsewhere):
        if kind == "directory of another user":
            os.mkdir(path)
            os.chmod(path, 0o777)
            os.chown(path, self.OTHER_USER, self.OTHER_USER)
        elif kind == "own leftover directory":
            os.mkdir(path, 0o700)
        elif kind == "link to another user's directory":
            os.chown(elsewhere, self.OTHER_USER, self.OTHER_USER)
            os.symlink(elsewhere, path)
        elif kind == "dangling link":
            os.symlink(os.path.join(elsewhere, "none"), path)
        elif kind == "file":
            with open(path, "wb") as f:
                f.write(b"planted")

    def test_something_planted_at_the_unpack_directory_is_never_used(self):
        """The launcher makes its unpack directory itself; whatever another
        user put at its path first ends the run with one line, and nothing
        is written there or through it."""
        shim = support.setting("VESKAR_FIXED_CLOCK")
        for kind in ("directory of another user", "own leftover directory",
                     "link to another user's directory", "dangling link",
                     "file"):
            with self.subTest(kind=kind):
                if "another user" in kind and os.geteuid() != 0:
                    self.skipTest("not root: no entry of another user can "
                                  "be made")
                scratch_dir = self.make_scratch()
                temp = os.path.join(scratch_dir, "temp")
                elsewhere = os.path.join(scratch_dir, "elsewhere")
                os.makedirs(temp)
                os.makedirs(elsewhere)
                os.chmod(scratch_dir, 0o755)
                planted = os.path.join(temp, self.FIXED_NAME)
                self.plant(kind, planted, elsewhere)
                result = subprocess.run(
                    [self.launcher], cwd=scratch_dir, capture_output=True,
                    timeout=60,
                    # Under the sanitizers the shim is loaded before their
                    # runtime, which they accept when told to.
                    env=dict(os.environ, TMPDIR=temp, LD_PRELOAD=shim,
                             ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                             ":verify_asan_link_order=0",
                             VESKAR_FIXED_PID=str(self.FIXED_PID),
                             VESKAR_FIXED_SECONDS=str(self.FIXED_SECONDS),
                             VESKAR_PROBE_REPORT=os.path.join(scratch_dir, "r")))
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, b"")
                self.assertRegex(
                    result.stderr.decode(),
                    r"^Error, couldn't create a fresh unpack directory "
                    r"'[^\n]*%s' \(\[Error 183\] [^\n]+\)\n$" % self.FIXED_NAME)
                self.assertFalse(os.path.exists(os.path.join(scratch_dir, "r")))
                self.assertEqual(os.listdir(elsewhere), [])
                if os.path.isdir(planted) and not os.path.islink(planted):
                    self.assertEqual(os.listdir(planted), [])
                self.assertEqual(sorted(os.listdir(temp)), [self.FIXED_NAME])

    def test_bare_environments_and_odd_tmpdirs_still_run(self):
        """No HOME (a service, "env -i"): the home comes from the password
        database, and the run goes on. TMPDIR is used only as an absolute
        path to an existing directory, taken literally; otherwise /tmp, and
        nothing is created for it anywhere."""
        cases = [
            ("no HOME", {"HOME": None}, None),
            ("empty HOME", {"HOME": ""}, None),
            ("relative TMPDIR", {"TMPDIR": "rel"}, "rel"),
            ("missing TMPDIR", {"TMPDIR": "@scratch/missing/deep"}, "missing"),
            # The backslash would come back as a separator: back/slash.
            ("TMPDIR with a backslash", {"TMPDIR": "@scratch/back\\slash"},
             "back/slash"),
        ]
        for label, changes, must_not_exist in cases:
            with self.subTest(case=label):
                scratch_dir = self.make_scratch()
                os.makedirs(os.path.join(scratch_dir, "back"))
                env = {k: v for k, v in os.environ.items()
                       if not k.startswith("VESKAR_PROBE_")}
                env["VESKAR_PROBE_REPORT"] = os.path.join(scratch_dir, "r")
                for name, value in changes.items():
                    if value is None:
                        env.pop(name, None)
                    else:
                        env[name] = value.replace("@scratch", scratch_dir)
                result = subprocess.run([self.launcher], cwd=scratch_dir, env=env,
                                        capture_output=True, timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                report = read_report(os.path.join(scratch_dir, "r"))
                self.assertIsNotNone(report)
                self.assertFalse(os.path.exists(report.unpack_directory))
                if "TMPDIR" in changes:
                    self.assertEqual(os.path.dirname(report.unpack_directory),
                                     "/tmp")
                if must_not_exist is not None:
                    self.assertFalse(os.path.lexists(
                        os.path.join(scratch_dir, must_not_exist)))

    def test_a_deep_tree_runs(self):
        """500 levels, within the name limit, extract and run."""
        deep = "a\\" * 500 + "leaf.txt"
        records = probe_records() + [(deep, b"deep")]
        launcher = os.path.join(self.make_scratch(), "deep")
        container.append_to_linux_launcher(LAUNCHER, records, launcher)
        launch = self.launch(launcher=launcher)
        self.assertEqual(launch.returncode, 0, launch.stderr)
        self.assertIn(deep.replace("\\", "/"), launch.report.files)
        self.assertRemoved(launch)

class DeepTreeTest(LinuxLauncherTestCase):
    def test_a_child_that_nests_10000_directories_keeps_its_status(self):
        """The application makes 10,000 nested directories in its own
        directory and ends with 7, under the common limit of 1,024 open
        files: its status comes back and the whole tree goes."""
        def few_files():
            resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
        started = self.start(probe={"NEST": "10000", "EXIT": "7"},
                             preexec=few_files)
        # A tree left behind would be too deep for the scratch folder's
        # own removal; rm walks any depth.
        self.addCleanup(subprocess.run, ["rm", "-rf", started[2]])
        launch = self.finish(started)
        self.assertEqual(launch.returncode, 7, launch.stderr)
        self.assertEqual(launch.report.nested, 10000)
        self.assertRemoved(launch)


class ProcessLimitsTest(LinuxLauncherTestCase):
    """The process's limits decide how the payload is read, never whether a
    package runs, and a refusal of the system's is named as such."""

    def write_launcher(self, records, frames=2, index=True, zstd_options=()):
        """A launcher whose container holds `records` in `frames` frames
        (with a payload index when `index`), each compressed by the `zstd`
        tool with `zstd_options` as well. Gives its path."""
        stream = container.archive_stream(records)
        cut = [len(stream) * i // frames for i in range(frames + 1)]
        packed = [subprocess.run(
            ["zstd", "-q", "-c", "-3", "--check", *zstd_options],
            input=stream[cut[i]:cut[i + 1]], stdout=subprocess.PIPE,
            check=True, timeout=120).stdout for i in range(frames)]
        head = b""
        if index:
            head = container.index_frame(
                [(name, len(data)) for name, data in records], len(stream),
                [(len(f), cut[i + 1] - cut[i]) for i, f in enumerate(packed)])
        body = b"VEY" + head + b"".join(packed) + b"\0\0"
        path = os.path.join(self.make_scratch(), "app")
        with open(LAUNCHER, "rb") as f:
            image = f.read()
        with open(path, "wb") as f:
            f.write(image + body + struct.pack("<Q", len(body)))
        os.chmod(path, 0o755)
        return path

    def test_few_descriptors_still_run_a_package_of_many_files(self):
        """Under `ulimit -n 64` and `128` a package of 600 files, read by
        its index, runs with every file as it is: the threads keep to a
        share of the descriptors left, or leave the payload to the
        one-thread reader."""
        records = self.records + [
            (f"many\\{i:03}.txt", f"file {i}\n".encode() * (i % 5))
            for i in range(600)]
        launcher = self.write_launcher(records)
        for limit in (64, 128):
            with self.subTest(limit=limit):
                def few(limit=limit):
                    resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
                launch = self.launch(launcher=launcher, preexec=few)
                self.assertEqual(launch.returncode, 0, launch.stderr)
                self.assertIsNotNone(launch.report, launch.stderr)
                self.assertEqual(launch.report.files,
                                 file_table(records, "/"))
                self.assertRemoved(launch)

    def test_memory_the_system_refuses_is_named_so(self):
        """An address-space limit the payload's mapping or its frame's
        window does not fit in ends with the memory message, in both
        readers (the one-thread reader on one processor), never with the
        header or decode message."""
        if len(os.sched_getaffinity(0)) < 2:
            self.skipTest("the parallel reader needs two processors")
        with open(LAUNCHER, "rb") as f:
            if b"__asan_init" in f.read():
                self.skipTest("a launcher built with the address sanitizer "
                              "cannot start under an address-space limit "
                              "(its shadow memory alone is larger)")
        memory = b"Error, couldn't allocate memory.\n"
        # A 128 MiB window (the frames' sizes not given): more than the
        # limit below leaves, however little else the launcher holds.
        window = ["--long=27"]
        big = self.records + [("noise.bin", os.urandom(80 << 20))]
        cases = [
            ("a window, with an index", self.write_launcher(
                self.records, zstd_options=window), None),
            ("a window, without an index", self.write_launcher(
                self.records, index=False, zstd_options=window), None),
            ("a window, on one processor", self.write_launcher(
                self.records, zstd_options=window), 1),
            ("the payload's mapping", self.write_launcher(big, frames=1), None),
        ]
        limit = 64 << 20
        for what, launcher, processors in cases:
            with self.subTest(what):
                def limited(processors=processors):
                    if processors:
                        os.sched_setaffinity(
                            0, set(sorted(os.sched_getaffinity(0))[:1]))
                    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
                launch = self.launch(launcher=launcher, preexec=limited)
                self.assertEqual(launch.returncode, 2, launch.stderr)
                self.assertEqual(launch.stdout, memory, launch.stderr)
                self.assertIsNone(launch.report)
                self.assertEqual(launch.unpack_directories(), set())


class MessagesTest(LinuxLauncherTestCase):
    def test_names_and_paths_stay_on_one_line(self):
        """A name or path in a fatal message keeps every character but
        shows each control character escaped: the message is one line and
        sends nothing to the terminal. Paths are shown as they are typed
        here, with '/', though the core keeps '\\' in them."""
        # A file where a directory must go: the open of the last record
        # fails, and its message carries TMPDIR and the record's name.
        rows = [
            ("a record name",
             probe_records()[:1] + [("x", b"f"),
                                    ("x\\a\x1b]0;title\x07\nb\u00e9", b"y")],
             "temp",
             "/x/a\\x1b]0;title\\x07\\x0ab\u00e9' for writing."),
            ("TMPDIR",
             probe_records()[:1] + [("x", b"f"), ("x\\y", b"y")],
             "t\x1b[2J\r\u65e5\u672c",
             "t\\x1b[2J\\x0d\u65e5\u672c/onefile_"),
        ]
        for label, records, temp_name, shown in rows:
            with self.subTest(row=label):
                launcher = os.path.join(self.make_scratch(), "app")
                container.append_to_linux_launcher(LAUNCHER, records, launcher)
                temp = os.path.join(self.make_scratch(), temp_name)
                os.makedirs(temp, exist_ok=True)
                launch = self.launch(launcher=launcher, env={"TMPDIR": temp})
                self.assertEqual(launch.returncode, 2, launch.stderr)
                text = launch.stderr.decode("utf-8")
                self.assertEqual(text.count("\n"), 1, text)
                self.assertTrue(text.endswith("\n"), text)
                for c in text[:-1]:
                    self.assertFalse(ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f,
                                     text)
                self.assertIn(shown, text)


class SignalTest(LinuxLauncherTestCase):
    """SIGINT, SIGTERM and SIGHUP play the console events."""

    def signal_launcher(self, number, probe, group=False):
        started = self.start(probe=probe)
        report = self.wait_for_report(started)
        sent = time.monotonic()
        if group:
            os.killpg(started[0].pid, number)  # as a terminal's Ctrl+C does
        else:
            os.kill(started[0].pid, number)
        launch = self.finish(started)
        return launch, report, time.monotonic() - sent

    def assertChildGone(self, pid):
        # Killed is not yet gone: a process's exit (an ASan build's large
        # mappings) takes a moment on a loaded machine.
        self.assertTrue(support.eventually(lambda: not running(pid), 10),
                        f"the child {pid} still runs")

    def test_child_that_ignores_the_signal_is_ended(self):
        """Sent to the launcher alone: it waits 5 s for the child, kills it,
        removes the unpack directory, and then ends by the same signal."""
        probe = {"IGNORE_SIGNALS": "1", "SLEEP_MS": "60000", "EXIT": "9"}
        numbers = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
        with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
            results = list(pool.map(
                lambda n: self.signal_launcher(n, probe), numbers))
        for number, (launch, report, seconds) in zip(numbers, results):
            with self.subTest(signal=number.name):
                self.assertEqual(launch.returncode, -number)
                self.assertGreaterEqual(seconds, 4.5)
                self.assertLess(seconds, 9)
                self.assertRemoved(launch)
                self.assertChildGone(report.pid)

    def test_signal_ending_wins_over_the_childs_status(self):
        """The child ignores SIGTERM but ends with 9 after 1.5 s, while the
        handler still waits for it: the launcher still ends by SIGTERM."""
        launch, report, seconds = self.signal_launcher(
            signal.SIGTERM,
            {"IGNORE_SIGNALS": "1", "SLEEP_MS": "1500", "EXIT": "9"})
        self.assertEqual(launch.returncode, -signal.SIGTERM)
        self.assertLess(seconds, 4.5)
        self.assertRemoved(launch)

    def test_during_extraction(self):
        """SIGINT as soon as the unpack directory exists, with 128 MiB still
        to write: the main thread stops writing, the handler removes the
        directory, nothing is written after it, and the child never
        starts."""
        records = with_large_files(probe_records())
        launcher = os.path.join(self.make_scratch(), "large")
        container.append_to_linux_launcher(LAUNCHER, records, launcher)
        started = self.start(launcher=launcher, probe={"EXIT": "9"})
        launch = self.interrupt_once_unpacking(started, started[2])
        self.assertRemoved(launch)

    def test_terminal_interrupt_reaches_both(self):
        """SIGINT to the whole process group: the child ends at once, and so
        does the launcher, by SIGINT, without its 5 s wait."""
        launch, report, seconds = self.signal_launcher(
            signal.SIGINT, {"SLEEP_MS": "60000", "EXIT": "9"}, group=True)
        self.assertEqual(launch.returncode, -signal.SIGINT)
        self.assertLess(seconds, 3)
        self.assertRemoved(launch)
        self.assertChildGone(report.pid)


def in_shell(script):
    """A wrapper that runs `script` in sh and then execs the command after
    it in the same process."""
    return ["sh", "-c", script + '; exec "$@"', "sh"]


def ignoring(name):
    """A wrapper that starts the command after it with the signal `name`
    ignored and every other signal as Python found it (a shell's trap
    cannot pass SIGCHLD on ignored)."""
    script = ("import os, signal, sys\n"
              "for s in (signal.SIGPIPE, signal.SIGXFSZ):\n"
              "    signal.signal(s, signal.SIG_DFL)\n"
              f"signal.signal(signal.{name}, signal.SIG_IGN)\n"
              "os.execv(sys.argv[1], sys.argv[1:])\n")
    return [sys.executable, "-c", script]


def block_signals(*numbers):
    return lambda: signal.pthread_sigmask(signal.SIG_BLOCK, numbers)


class InheritanceTest(LinuxLauncherTestCase):
    """The program packed is started with what it would be started with
    unpacked: each row starts the probe itself and the packed launcher the
    same way, and the two reports must agree on everything the probe was
    started with. The launcher's own signal handling (console events,
    writes that fail instead of killing it) must not show in the child."""

    # Variables that differ between two starts by construction: each start
    # has a report, a TMPDIR and a working directory of its own. (The
    # launcher's VESKAR_ONEFILE_ ones are left out too: it sets them on
    # purpose.)
    own_variables = ("VESKAR_PROBE_REPORT", "TMPDIR", "PWD", "OLDPWD", "_")

    def inherited(self, launch):
        self.assertIsNotNone(launch.report, launch.stderr)
        self.assertEqual(launch.returncode, 7, launch.stderr)
        seen = dict(launch.report.inherited)
        seen["environment"] = sorted(
            (name, value) for name, value in launch.report.env.items()
            if name not in self.own_variables
            and not name.startswith("VESKAR_ONEFILE_"))
        return seen

    def test_what_the_program_starts_with(self):
        """Rows: a name, how the start is made, and what that changes for a
        program started that way (the row's control: the unpacked report
        differs there from a plain start's)."""
        rows = [
            ("a plain start", {}, None),
            ("nohup", {"wrapper": ["nohup"]}, "ignored"),
            ("trap '' INT", {"wrapper": in_shell("trap '' INT")}, "ignored"),
            ("SIGPIPE ignored, as under systemd",
             {"wrapper": in_shell("trap '' PIPE")}, "ignored"),
            ("SIGTERM and SIGXFSZ ignored",
             {"wrapper": in_shell("trap '' TERM XFSZ")}, "ignored"),
            ("every signal of the launcher's own ignored",
             {"wrapper": in_shell("trap '' INT HUP TERM PIPE XFSZ")},
             "ignored"),
            # Ignored, it would have the kernel take the child's status.
            ("SIGCHLD ignored", {"wrapper": ignoring("SIGCHLD")},
             "ignored"),
            ("a blocked mask",
             {"preexec": block_signals(signal.SIGUSR1, signal.SIGTERM)},
             "blocked"),
            ("SIGHUP blocked and ignored",
             {"wrapper": ["nohup"],
              "preexec": block_signals(signal.SIGHUP)},
             "blocked"),
            ("umask 027", {"wrapper": in_shell("umask 027")}, "umask"),
            ("lower limits",
             {"wrapper": in_shell("ulimit -n 256; ulimit -f 409600")},
             "limit-nofile"),
            ("nice 5", {"wrapper": ["nice", "-n", "5"]}, "nice"),
            ("descriptors 7 and 9",
             {"wrapper": in_shell("exec 7</dev/null 9>&2")}, "descriptors"),
            ("an environment of its own",
             {"wrapper": ["env", "VESKAR_TEST_ROW=kept \u00e9",
                          "LC_ALL=C"]}, "environment"),
        ]
        calls = []
        for _, start, _ in rows:
            calls += [dict(start, launcher=PROBE, probe={"EXIT": "7"}),
                      dict(start, probe={"EXIT": "7"})]
        launches = self.launch_many(calls)
        unpacked, packed = launches[0::2], launches[1::2]
        plain = self.inherited(unpacked[0])
        for (name, _, changes), alone, launch in zip(rows, unpacked, packed):
            with self.subTest(row=name):
                expected = self.inherited(alone)
                if changes is not None:
                    self.assertNotEqual(expected[changes], plain[changes],
                                        "the row changes nothing")
                seen = self.inherited(launch)
                self.assertEqual(seen.keys(), expected.keys())
                self.assertEqual(
                    {key: (seen[key], value) for key, value in expected.items()
                     if seen[key] != value}, {},
                    "(packed, unpacked) where they differ")
                self.assertRemoved(launch)

    def test_a_signal_started_ignored_leaves_the_run_going(self):
        """The signal sent to the launcher alone while the child runs: when
        the launcher was started ignoring it, it has no effect, as it has
        none on the program unpacked, and the status is the child's. The
        control row, started plainly, ends by the signal."""
        rows = [
            ("nohup, then SIGHUP", ["nohup"], signal.SIGHUP, 7),
            ("trap '' INT, then SIGINT", in_shell("trap '' INT"),
             signal.SIGINT, 7),
            ("trap '' TERM, then SIGTERM", in_shell("trap '' TERM"),
             signal.SIGTERM, 7),
            ("a plain start, then SIGHUP", None, signal.SIGHUP,
             -signal.SIGHUP),
        ]

        def run(row):
            _, wrapper, number, _ = row
            started = self.start(wrapper=wrapper,
                                 probe={"AWAIT_GO": "1", "EXIT": "7"})
            self.wait_for_report(started)
            os.kill(started[0].pid, number)
            # The signal is pending or taken by now; only then may the
            # child end.
            with open(os.path.join(started[1], "report.txt.go"), "wb"):
                pass
            return self.finish(started)

        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            launches = list(pool.map(run, rows))
        for (name, _, _, status), launch in zip(rows, launches):
            with self.subTest(row=name):
                self.assertEqual(launch.returncode, status, launch.stderr)
                self.assertRemoved(launch)


class ChildLifetimeTest(LinuxLauncherTestCase):
    """The child ends with the launcher, however the launcher ends: the
    kernel sends it SIGKILL when the launcher dies (PR_SET_PDEATHSIG, set in
    the child before its program runs)."""

    def test_child_ends_when_the_launcher_is_killed(self):
        """SIGKILL to the launcher alone, which can do nothing about it,
        while the child sleeps for a minute. The child ignores SIGINT,
        SIGTERM and SIGHUP: only SIGKILL ends it for sure."""
        started = self.start(probe={"IGNORE_SIGNALS": "1", "SLEEP_MS": "60000",
                                    "EXIT": "9"})
        report = self.wait_for_report(started)
        self.assertEqual(report.ppid, started[0].pid)
        os.kill(started[0].pid, signal.SIGKILL)
        try:
            self.assertEqual(started[0].wait(timeout=30), -signal.SIGKILL)
            self.assertTrue(
                support.eventually(lambda: not running(report.pid), 10),
                f"the child {report.pid} still runs 10 s after its launcher "
                "was killed")
        finally:
            if running(report.pid):
                os.kill(report.pid, signal.SIGKILL)
        self.finish(started)

    def test_a_child_whose_launcher_seems_gone_never_runs_its_program(self):
        """A launcher that died before the child had set its parent-death
        signal would never send it: the child, finding another parent (a
        preloaded getppid() says 1, as after init adopted it), ends with 127
        before its program runs. The launcher takes that as the child's
        status and cleans up as after any child."""
        shim = support.setting("VESKAR_ORPHANED_CHILD")
        # Under the sanitizers the shim is loaded before their runtime,
        # which they accept when told to.
        preload = {"LD_PRELOAD": shim,
                   "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") +
                                   ":verify_asan_link_order=0"}
        launch = self.launch(probe={"EXIT": "9"},
                             env=dict(preload, VESKAR_SEEM_ORPHANED="1"))
        self.assertEqual(launch.returncode, 127, launch.stderr)
        self.assertIsNone(launch.report, "the program ran")
        self.assertRemoved(launch)
        # The same shim without the setting changes nothing.
        launch = self.launch(probe={"EXIT": "9"}, env=preload)
        self.assertEqual(launch.returncode, 9, launch.stderr)
        self.assertIsNotNone(launch.report)

    def test_grandchild_outlives_the_child_and_the_launcher(self):
        """The parent-death signal is the child's alone: a process the child
        leaves behind runs on after the launcher has ended, as it does on
        Windows, where it leaves the job."""
        started = self.start(probe={"GRANDCHILD": "1", "EXIT": "4"})
        launch = self.finish(started)
        self.assertEqual(launch.returncode, 4)
        self.assertRegex(launch.report.grandchild or "", r"^[1-9]\d*$")
        self.assertRemoved(launch)
        report_path = os.path.join(started[1], "report.txt")
        done = report_path + ".grandchild"
        self.assertFalse(os.path.exists(done))
        with open(report_path + ".go", "wb"):
            pass
        self.assertTrue(support.eventually(lambda: os.path.exists(done), 20),
                        "the grandchild ended with the launcher")

class SweepTest(LinuxLauncherTestCase):
    """What killed runs leave behind goes at the next start."""

    OTHER_USER = 65534

    def test_the_next_start_removes_what_a_killed_run_left(self):
        """A launcher killed with SIGKILL leaves its directory; the next
        start of any packed program in the same TEMP removes it, and with
        it a leftover whose id a later process holds, while a concurrent
        live run and a link named like a leftover stay."""
        temp = os.path.join(self.make_scratch(), "temp")
        os.makedirs(temp)
        shared = {"TMPDIR": temp}
        sleeping = {"SLEEP_MS": "60000", "EXIT": "9"}

        killed = self.start(probe=sleeping, env=shared)
        killed_report = self.wait_for_report(killed)
        os.kill(killed[0].pid, signal.SIGKILL)
        killed[0].wait()
        # The child may outlive its launcher (it is not this test's
        # subject), holding the launcher's output pipes.
        try:
            os.kill(killed_report.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        killed[0].communicate()
        killed_directory = killed_report.unpack_directory
        self.assertTrue(os.path.isdir(killed_directory))

        live = self.start(probe=sleeping, env=shared)
        live_report = self.wait_for_report(live)
        # A directory named for the live launcher's id with a {TIME} from
        # long before it started: a run that ended, whose id came back.
        reused = os.path.join(temp, "onefile_%d_%d" % (
            live[0].pid, 116444736000000000 + 10**7))
        os.makedirs(os.path.join(reused, "sub"))
        # An id no process holds, for the ones that must stay.
        ended = self.ended_pid()
        elsewhere = os.path.join(self.make_scratch(), "elsewhere")
        os.makedirs(elsewhere)
        with open(os.path.join(elsewhere, "kept"), "wb") as f:
            f.write(b"kept")
        link = os.path.join(temp, "onefile_%d_1" % ended)
        os.symlink(elsewhere, link)
        stays = {os.path.basename(live_report.unpack_directory),
                 os.path.basename(link)}

        quick = self.finish(self.start(probe={"EXIT": "0"}, env=shared))
        self.assertEqual(quick.returncode, 0, quick.stderr)
        self.assertFalse(os.path.exists(killed_directory))
        self.assertFalse(os.path.exists(reused))
        self.assertEqual(set(os.listdir(temp)), stays)
        self.assertEqual(os.listdir(elsewhere), ["kept"])
        self.assertEqual(file_table(support.read_tree(
            live_report.unpack_directory).items(), "/"),
            file_table(self.records, "/"))

        os.killpg(live[0].pid, signal.SIGINT)
        self.assertEqual(self.finish(live).returncode, -signal.SIGINT)
        self.assertFalse(os.path.exists(live_report.unpack_directory))

    @unittest.skipUnless(os.geteuid() == 0,
                         "not root: no entry of another user can be made")
    def test_another_users_leftover_stays(self):
        temp = os.path.join(self.make_scratch(), "temp")
        os.makedirs(temp)
        foreign = os.path.join(temp, "onefile_%d_2" % self.ended_pid())
        os.makedirs(os.path.join(foreign, "sub"))
        os.chown(foreign, self.OTHER_USER, self.OTHER_USER)
        ended = os.path.join(temp, "onefile_%d_3" % self.ended_pid())
        os.makedirs(ended)
        quick = self.finish(self.start(probe={"EXIT": "0"},
                                       env={"TMPDIR": temp}))
        self.assertEqual(quick.returncode, 0, quick.stderr)
        self.assertEqual(os.listdir(temp), [os.path.basename(foreign)])
        self.assertEqual(os.listdir(foreign), ["sub"])

    def test_a_live_run_whose_name_looks_ended_stays(self):
        """What proves a run has ended is that nothing holds its directory,
        not its process id or a clock. A run in another process-id namespace
        (unshare --pid --fork --mount-proc) names an id that no process
        holds here; after the wall clock was set forward, a live run's
        process looks created after its {TIME} by more than the slack (the
        preloaded clock plays a launcher that read its clock 12 s or 60 s
        before this one's). An ended run's leftover beside them still goes,
        and each live run still removes its own directory at its end."""
        temp = os.path.join(self.make_scratch(), "temp")
        os.makedirs(temp)
        shim = support.setting("VESKAR_FIXED_CLOCK")
        now = int(time.time())
        sleeping = {"SLEEP_MS": "60000", "EXIT": "9"}
        live = []
        for what, seconds in (("the clock set 12 s forward", now - 12),
                              ("the clock set 60 s forward", now - 60)):
            started = self.start(probe=sleeping, env={
                "TMPDIR": temp, "LD_PRELOAD": shim,
                "VESKAR_FIXED_SECONDS": str(seconds),
                "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") +
                                ":verify_asan_link_order=0"})
            live.append((what, started, self.wait_for_report(started)))
        namespaced, report = self.start_in_own_pid_namespace(temp, sleeping)
        live.append(("another process-id namespace", namespaced, report))
        leftover = os.path.join(temp, "onefile_%d_%d" % (
            self.ended_pid(), 116444736000000000 + now * 10**7))
        os.makedirs(os.path.join(leftover, "sub"))

        quick = self.finish(self.start(probe={"EXIT": "0"},
                                       env={"TMPDIR": temp}))
        self.assertEqual(quick.returncode, 0, quick.stderr)
        self.assertFalse(os.path.exists(leftover))
        for what, started, report in live:
            with self.subTest(what):
                self.assertEqual(file_table(support.read_tree(
                    report.unpack_directory).items(), "/"),
                    file_table(self.records, "/"))
        for what, started, report in live:
            os.killpg(started[0].pid, signal.SIGINT)
            self.finish(started)
        self.assertEqual(os.listdir(temp), [])

    def fuse_views(self, directory, count):
        """`count` FUSE mounts (bindfs) of `directory`, unmounted at the
        test's end; skips the test where none can be made."""
        if os.geteuid() != 0 or not os.path.exists("/dev/fuse") or \
                shutil.which("bindfs") is None:
            self.skipTest("a FUSE mount needs root, /dev/fuse and bindfs "
                          "(scripts/setup installs it)")
        views = []
        for i in range(count):
            view = os.path.join(os.path.dirname(directory), "view%d" % i)
            os.makedirs(view)
            mounted = subprocess.run(["bindfs", directory, view],
                                     capture_output=True)
            if mounted.returncode != 0:
                self.skipTest("bindfs could not mount here: %r" %
                              mounted.stderr)
            self.addCleanup(subprocess.run, ["umount", view])
            views.append(view)
        return views

    def test_a_run_reached_through_another_mount_is_never_swept(self):
        """Two mounts of one directory each keep their own locks: a FUSE
        mount (bindfs here; sshfs and NFS alike) of a local directory, or
        two of them. A run that holds its directory through one cannot be
        seen holding it through the other, so a start there never removes
        anything: neither a live run's directory nor a real leftover. The
        live run's name says it has ended: it runs in another process-id
        namespace."""
        real = os.path.join(self.make_scratch(), "temp")
        os.makedirs(real)
        first, second = self.fuse_views(real, 2)
        ended = self.ended_pid()
        sleeping = {"SLEEP_MS": "60000", "EXIT": "9"}
        for what, run_temp, start_temp in (
                ("a run through one FUSE mount, a start through another",
                 first, second),
                ("a run through the directory, a start through a FUSE mount",
                 real, first)):
            with self.subTest(what):
                started, report = self.start_in_own_pid_namespace(
                    run_temp, sleeping)
                name = os.path.basename(report.unpack_directory)
                leftover = os.path.join(real, "onefile_%d_2" % ended)
                os.makedirs(os.path.join(leftover, "sub"))

                quick = self.finish(self.start(probe={"EXIT": "0"},
                                               env={"TMPDIR": start_temp}))
                self.assertEqual(quick.returncode, 0, quick.stderr)
                self.assertNotIn(b"onefile", quick.stderr)
                self.assertEqual(file_table(support.read_tree(
                    os.path.join(real, name)).items(), "/"),
                    file_table(self.records, "/"))
                self.assertTrue(os.path.isdir(os.path.join(leftover, "sub")))

                os.killpg(started[0].pid, signal.SIGINT)
                self.finish(started)
                self.assertEqual(os.listdir(real), ["onefile_%d_2" % ended])
                shutil.rmtree(leftover)

    def start_in_own_pid_namespace(self, temp, probe):
        """Starts the launcher with TMPDIR `temp` in a process-id namespace
        of its own, where it is given an id that no process holds out here
        (a shell there starts as 1 and uses up the ids below it); gives the
        start and its child's report once there is one. Skips the test
        where no namespace can be made."""
        pid = self.free_small_pid()
        namespaced = self.start(
            argv=["unshare", "--pid", "--fork", "--mount-proc", "sh", "-c",
                  'i=2; while [ $i -lt %d ]; do /bin/true; i=$((i+1)); done;'
                  ' "$0"' % pid, self.launcher],
            launcher=shutil.which("unshare"), probe=probe,
            env={"TMPDIR": temp})
        try:
            report = self.wait_for_report(namespaced)
        except AssertionError:
            stderr = self.finish(namespaced).stderr
            self.skipTest("no process-id namespace here: %r" % stderr)
        self.assertTrue(os.path.basename(report.unpack_directory).startswith(
            "onefile_%d_" % pid), report.unpack_directory)
        self.assertFalse(os.path.exists("/proc/%d" % pid))
        return namespaced, report

    @staticmethod
    def free_small_pid():
        """An id below 1000 that no process holds: ids are handed out
        upward to the system's largest before they come round again, so it
        stays free while the test runs."""
        used = {int(n) for n in os.listdir("/proc") if n.isdigit()}
        return next(p for p in range(50, 1000) if p not in used)

    @staticmethod
    def ended_pid():
        process = subprocess.Popen(["true"])
        process.wait()
        return process.pid


class ParallelTest(LinuxLauncherTestCase):
    def test_twenty_launches_at_once(self):
        reports = os.path.join(self.make_scratch(), "reports")
        os.makedirs(reports)
        shared_temp = os.path.join(self.make_scratch(), "temp")
        os.makedirs(shared_temp)
        probe = {"REPORT": reports, "EXIT": "42", "SLEEP_MS": "300"}
        started = [self.start(probe=probe, env={"TMPDIR": shared_temp})
                   for _ in range(20)]
        launches = [self.finish(s) for s in started]
        self.assertEqual([l.returncode for l in launches], [42] * 20)
        found = [read_report(os.path.join(reports, n)) for n in os.listdir(reports)]
        self.assertEqual(len(found), 20)
        self.assertTrue(all(r.complete for r in found))
        self.assertEqual(len({r.unpack_directory for r in found}), 20)
        self.assertEqual({r.ppid for r in found}, {l.pid for l in launches})
        self.assertEqual(os.listdir(shared_temp), [])


class CacheTest(LinuxLauncherTestCase):
    """The cache modes: one directory per payload below XDG_CACHE_HOME,
    made by the first start and used as it is by later ones."""

    MARKER = ".onefile-marker"
    OTHER_USER = 65534

    def cache_setup(self, records=None, mode=container.CACHE_SIZE):
        """A cache-mode launcher of `records` (default: the probe's) and a
        fresh XDG_CACHE_HOME. Gives (launcher, cache directory, its parent,
        environment)."""
        scratch = self.make_scratch()
        launcher = os.path.join(scratch, "app")
        digest = container.cache_launcher(LAUNCHER, records or self.records,
                                          launcher, mode)
        home = os.path.join(scratch, "xdg")
        os.makedirs(home)
        parent = os.path.join(home, "PELTA", "Quorvane", "1.1.0.0")
        return (launcher, os.path.join(parent, digest[:16]), parent,
                {"XDG_CACHE_HOME": home})

    def assertRanFrom(self, launch, directory, records=None):
        """The run succeeded, from `directory`, where the child found the
        payload's files whole (and the marker)."""
        self.assertEqual(launch.returncode, 9, launch.stderr)
        self.assertTrue(launch.report.complete)
        self.assertEqual(launch.report.unpack_directory, directory)
        files = dict(launch.report.files)
        self.assertIn(self.MARKER, files)
        del files[self.MARKER]
        self.assertEqual(files, file_table(records or self.records, "/"))

    # What a program does to its own folder (the probe's folder mode), each
    # row as (unpacked, packed): the same in both, per run and in the cache,
    # but for the folder's own exclusive flock. The run's hold is a shared
    # flock on the folder, the one thing that proves the run alive here; a
    # program that flocks its own folder exclusively is refused (README).
    FOLDER_ROWS = {
        "open": ("ok", "ok"),
        "flock-exclusive": ("ok", "errno %d" % errno.EWOULDBLOCK),
        "watch": ("ok", "ok"),
        "rename-file": ("ok", "ok"),
        "delete-file": ("ok", "ok"),
        "rename-subfolder": ("ok", "ok"),
        "delete-subfolder": ("ok", "ok"),
        "rename-folder": ("ok", "ok"),
        "delete-folder": ("ok", "ok"),
    }

    def test_the_program_may_do_with_its_folder_what_it_may_unpacked(self):
        unpacked = os.path.join(self.make_scratch(), "unpacked")
        probe.write_unpacked(self.records, unpacked)
        os.chmod(os.path.join(unpacked, "probe"), 0o755)
        report_path = os.path.join(self.make_scratch(), "report.txt")
        alone = subprocess.run(
            [os.path.join(unpacked, "probe")], capture_output=True,
            env=dict(os.environ, VESKAR_PROBE_REPORT=report_path,
                     VESKAR_PROBE_FOLDER="1", VESKAR_PROBE_EXIT="9"))
        self.assertEqual(alone.returncode, 9, alone.stderr)
        runs = {"unpacked": read_report(report_path).folder}
        asked = {"FOLDER": "1", "EXIT": "9"}
        per_run = self.launch(probe=asked)
        self.assertEqual(per_run.returncode, 9, per_run.stderr)
        self.assertEqual(os.listdir(per_run.temp), [])
        runs["per run"] = per_run.report.folder
        launcher, directory, parent, env = self.cache_setup()
        cached = self.launch(launcher=launcher, env=env, probe=asked)
        self.assertEqual(cached.returncode, 9, cached.stderr)
        self.assertEqual(cached.report.unpack_directory, directory)
        runs["cache"] = cached.report.folder
        for how, rows in runs.items():
            expected = {row: results[how != "unpacked"]
                        for row, results in self.FOLDER_ROWS.items()}
            with self.subTest(how):
                self.assertEqual(rows, expected)

    def test_cold_then_warm_start(self):
        """The first start leaves the directory (mode 0700 at every level
        it made, no sibling); the next writes, renames and makes nothing,
        opens no file in it but the marker, and lists each directory
        once."""
        launcher, directory, parent, env = self.cache_setup()
        launch = self.launch(launcher=launcher, env=env, probe={"EXIT": "9"})
        self.assertRanFrom(launch, directory)
        self.assertEqual(os.listdir(parent), [os.path.basename(directory)])
        level = directory
        while level != env["XDG_CACHE_HOME"]:
            self.assertEqual(os.stat(level).st_mode & 0o777, 0o700, level)
            level = os.path.dirname(level)
        self.assertEqual(launch.unpack_directories(), set())

        trace = os.path.join(self.make_scratch(), "trace")
        launch = self.launch(
            argv=["strace", "-o", trace, "-e",
                  "trace=openat,creat,write,rename,renameat,renameat2,"
                  "mkdir,mkdirat,unlink,unlinkat", launcher],
            launcher="/usr/bin/strace", env=env, probe={"EXIT": "9"})
        self.assertRanFrom(launch, directory)
        with open(trace) as f:
            calls = [line for line in f if not line.startswith(("+++", "---"))]
        changes = [c for c in calls
                   if not c.startswith("openat") or "O_WRONLY" in c
                   or "O_RDWR" in c or "O_CREAT" in c]
        self.assertEqual(changes, [], "the warm start changed something")
        opened = [c for c in calls if directory in c]
        # The directory is held, and the hold checked, before the one file
        # is opened, for reading: the marker. Then each directory of the
        # payload is opened once, never through a link, to be listed.
        self.assertEqual(["O_DIRECTORY" in c for c in opened[:3]],
                         [True, True, False], opened)
        self.assertIn(self.MARKER, opened[2])
        directories = {os.path.join(directory, *name.split("\\")[:-1])
                       for name, _ in self.records}
        listed = [c.split('"')[1] for c in opened[3:]]
        self.assertEqual(sorted(listed), sorted(directories), opened)
        for c in opened[3:]:
            self.assertIn("O_DIRECTORY", c)
            self.assertIn("O_NOFOLLOW", c)

    def test_broken_files_are_repaired_before_the_child_starts(self):
        """Deleted, cut short, replaced by a file of another size (the main
        program itself), gone with its directory: the child finds every
        file whole."""
        def truncate(path):
            os.truncate(path, 1000)

        def replace(path):
            os.remove(path)
            with open(path, "wb") as f:
                f.write(b"#!/bin/sh\nexit 3\n")

        cases = [
            ("a deleted file", "data/nested/deeper/note.txt", os.remove),
            ("a truncated file", "big.bin", truncate),
            ("the replaced main program", "probe", replace),
            ("a deleted directory", "data/nested",
             lambda p: subprocess.run(["rm", "-r", p], check=True)),
        ]
        launcher, directory, parent, env = self.cache_setup()
        self.launch(launcher=launcher, env=env)
        for what, name, damage in cases:
            with self.subTest(what):
                damage(os.path.join(directory, name))
                launch = self.launch(launcher=launcher, env=env,
                                     probe={"EXIT": "9"})
                self.assertRanFrom(launch, directory)
                self.assertEqual(os.listdir(parent),
                                 [os.path.basename(directory)])

    def test_content_check_catches_a_change_of_the_same_size(self):
        """With the size check a same-size change stays (that is the
        default's bargain); with the content check it is repaired."""
        for mode, repaired in ((container.CACHE_SIZE, False),
                               (container.CACHE_CONTENT, True)):
            with self.subTest(mode=mode):
                launcher, directory, parent, env = self.cache_setup(mode=mode)
                self.launch(launcher=launcher, env=env)
                path = os.path.join(directory, "big.bin")
                with open(path, "r+b") as f:
                    f.seek(5000)
                    byte = f.read(1)
                    f.seek(5000)
                    f.write(bytes([byte[0] ^ 0xFF]))
                launch = self.launch(launcher=launcher, env=env,
                                     probe={"EXIT": "9"})
                if repaired:
                    self.assertRanFrom(launch, directory)
                else:
                    self.assertNotEqual(launch.report.files["big.bin"],
                                        file_table(self.records)["big.bin"])
                self.assertEqual(os.listdir(parent),
                                 [os.path.basename(directory)])

    def test_eight_parallel_cold_starts(self):
        """All run, from the one directory left; no sibling stays."""
        records = self.records + [(f"pad\\{i}.bin", bytes(4 << 20))
                                  for i in range(4)]
        launcher, directory, parent, env = self.cache_setup(records)
        reports = os.path.join(self.make_scratch(), "reports")
        os.makedirs(reports)
        started = [self.start(launcher=launcher, env=env,
                              probe={"REPORT": reports, "EXIT": "9"})
                   for _ in range(8)]
        launches = [self.finish(s) for s in started]
        self.assertEqual([l.returncode for l in launches], [9] * 8,
                         [l.stderr for l in launches])
        found = [read_report(os.path.join(reports, n))
                 for n in os.listdir(reports)]
        self.assertEqual(len(found), 8)
        self.assertEqual({r.unpack_directory for r in found}, {directory})
        self.assertTrue(all(r.complete for r in found))
        self.assertEqual(os.listdir(parent), [os.path.basename(directory)])

    def test_another_payload_uses_another_directory(self):
        launcher, directory, parent, env = self.cache_setup()
        self.assertRanFrom(self.launch(launcher=launcher, env=env,
                                       probe={"EXIT": "9"}), directory)
        newer = self.records + [("added.txt", b"new in this build")]
        scratch = self.make_scratch()
        other = os.path.join(scratch, "app")
        digest = container.cache_launcher(LAUNCHER, newer, other)
        other_directory = os.path.join(parent, digest[:16])
        self.assertNotEqual(other_directory, directory)
        self.assertRanFrom(self.launch(launcher=other, env=env,
                                       probe={"EXIT": "9"}),
                           other_directory, newer)
        # Nothing held the older build's directory: the newer build's start
        # reclaimed it. The older build, started again, unpacks it anew,
        # and in turn reclaims the newer one's.
        self.assertEqual(os.listdir(parent),
                         [os.path.basename(other_directory)])
        self.assertRanFrom(self.launch(launcher=launcher, env=env,
                                       probe={"EXIT": "9"}), directory)
        self.assertEqual(os.listdir(parent), [os.path.basename(directory)])

    def test_a_directory_not_of_this_payload_is_never_used(self):
        """Without a marker, with one of another payload, or a cut one: the
        run unpacks into its sibling and removes it at the end; the
        directory at the path is left exactly as it was."""
        launcher, directory, parent, env = self.cache_setup()
        self.launch(launcher=launcher, env=env)
        marker = os.path.join(directory, self.MARKER)
        with open(marker, "rb") as f:
            good = f.read()
        foreign = bytearray(good)
        foreign[12] ^= 1  # the digest
        for what, content in (("no marker", None),
                              ("another payload's", bytes(foreign)),
                              ("cut short", good[:-1])):
            with self.subTest(what):
                if os.path.exists(marker):
                    os.remove(marker)
                if content is not None:
                    with open(marker, "wb") as f:
                        f.write(content)
                with open(os.path.join(directory, "big.bin"), "wb") as f:
                    f.write(b"stale")
                before = support.read_tree(directory)
                launch = self.launch(launcher=launcher, env=env,
                                     probe={"EXIT": "9"})
                self.assertEqual(launch.returncode, 9, launch.stderr)
                self.assertNotEqual(launch.report.unpack_directory, directory)
                self.assertEqual(os.path.dirname(
                    launch.report.unpack_directory), parent)
                self.assertEqual(launch.report.files["big.bin"],
                                 file_table(self.records)["big.bin"])
                self.assertEqual(support.read_tree(directory), before)
                self.assertEqual(os.listdir(parent),
                                 [os.path.basename(directory)])

    def assertRanFromOwnSibling(self, launch, directory, parent, records,
                                level=""):
        """The run succeeded from a sibling of its own beside `directory`,
        with the payload's files whole (`records`, as seen from the program's
        `level`), and removed the sibling at its end."""
        self.assertEqual(launch.returncode, 9, launch.stderr)
        self.assertTrue(launch.report.complete)
        ran_in = launch.report.unpack_directory
        if level:
            self.assertEqual(os.path.basename(ran_in), level)
            ran_in = os.path.dirname(ran_in)
        self.assertNotEqual(ran_in, directory)
        self.assertEqual(os.path.dirname(ran_in), parent)
        self.assertEqual(dict(launch.report.files), file_table(records, "/"))
        self.assertEqual(os.listdir(parent), [os.path.basename(directory)])

    def test_a_marker_that_does_not_check_out_is_never_believed(self):
        """A marker is this payload's only when it is byte for byte the one
        its build values describe. Any other runs the start from its own
        sibling, whole, and leaves the directory exactly as it was: no
        permanent failure, no file left unrepaired, no program the marker
        chose. A fifo is not waited on."""
        records = self.records + [("tool.sh", b"#!/bin/sh\nexit 3\n")]

        def forged(header, listed):
            # The cold start's own header (magic, format, digest), with
            # other records.
            return header[:44] + container.cache_marker(
                listed, header[12:44])[44:]

        def fifo(path, good):
            os.mkfifo(path)

        def link(path, good):
            elsewhere = os.path.join(self.make_scratch(), "marker")
            with open(elsewhere, "wb") as f:
                f.write(good)
            os.symlink(elsewhere, path)

        cases = [
            ("fewer records, the one left out deleted",
             lambda path, good: forged(good, records[:-2] + records[-1:]),
             "big.bin"),
            ("a record the payload does not hold",
             lambda path, good: forged(good, records + [("ghost.txt", b"")]),
             None),
            ("another program first",
             lambda path, good: forged(good, records[-1:] + records[:-1]), None),
            ("'..\\x' first",
             lambda path, good: forged(good, [("..\\x", b"")] + records[1:]),
             None),
            ("its own name first",
             lambda path, good: forged(good, [(self.MARKER, b"")] + records[1:]),
             None),
            ("one extra trailing byte", lambda path, good: good + b"\0", None),
            ("format 1", lambda path, good: good[:8]
             + struct.pack("<I", 1) + good[12:], None),
            ("a fifo", fifo, None),
            ("a link to a good copy", link, None),
        ]
        for what, make, deleted in cases:
            with self.subTest(what):
                launcher, directory, parent, env = self.cache_setup(records)
                self.launch(launcher=launcher, env=env)
                marker = os.path.join(directory, self.MARKER)
                with open(marker, "rb") as f:
                    good = f.read()
                os.remove(marker)
                content = make(marker, good)
                if content is not None:
                    with open(marker, "wb") as f:
                        f.write(content)
                if deleted is not None:
                    os.remove(os.path.join(directory, deleted))
                before = tree_snapshot(directory)
                launch = self.launch(launcher=launcher, env=env,
                                     probe={"EXIT": "9"})
                self.assertRanFromOwnSibling(launch, directory, parent,
                                             records)
                self.assertEqual(tree_snapshot(directory), before)

    def test_a_cached_file_that_is_no_plain_file_is_repaired(self):
        """A fifo (in place of an empty file, too) or a link to a file of
        the same size elsewhere: written again before the child starts,
        with either check; the fifo is never waited on, and what the link
        led to is left as it was."""
        def fifo(path):
            os.remove(path)
            os.mkfifo(path)

        def link(path):
            with open(path, "rb") as f:
                size = len(f.read())
            elsewhere = os.path.join(self.make_scratch(), "same-size")
            with open(elsewhere, "wb") as f:
                f.write(b"x" * size)
            os.remove(path)
            os.symlink(elsewhere, path)
            return elsewhere

        for mode in (container.CACHE_SIZE, container.CACHE_CONTENT):
            for what, name, damage in (
                    ("a fifo for an empty file", "data/empty.bin", fifo),
                    ("a fifo", "big.bin", fifo),
                    ("a link of the same size",
                     "data/nested/deeper/note.txt", link)):
                with self.subTest(what, mode=mode):
                    launcher, directory, parent, env = self.cache_setup(
                        mode=mode)
                    self.launch(launcher=launcher, env=env)
                    path = os.path.join(directory, name)
                    elsewhere = damage(path)
                    launch = self.launch(launcher=launcher, env=env,
                                         probe={"EXIT": "9"})
                    self.assertRanFrom(launch, directory)
                    self.assertTrue(stat.S_ISREG(os.lstat(path).st_mode))
                    if elsewhere is not None:
                        with open(elsewhere, "rb") as f:
                            self.assertEqual(set(f.read()), {ord("x")})
                    self.assertEqual(os.listdir(parent),
                                     [os.path.basename(directory)])

    def test_a_level_that_is_a_link_or_no_directory_is_never_used(self):
        """A level below the cache directory that is a link to elsewhere
        (which holds files of the same sizes, or the program to start), or
        is not a directory, and a broken file that cannot be replaced: the
        start runs from its own sibling, and nothing is read, run or written
        through the link. Nothing in the directory or elsewhere changes."""
        records = [("bin\\" + name, data) for name, data in self.records]

        def linked(level, changed):
            """The level moved elsewhere, each of `changed` there given
            other bytes of the same size, and a link left in its place."""
            def damage(directory):
                elsewhere = os.path.join(self.make_scratch(), "elsewhere")
                os.rename(os.path.join(directory, level), elsewhere)
                for name, make in changed.items():
                    path = os.path.join(elsewhere, name)
                    size = os.path.getsize(path)
                    with open(path, "wb") as f:
                        f.write(make(size))
                os.symlink(elsewhere, os.path.join(directory, level))
                return elsewhere
            return damage

        def script(size):
            # A program that ends with 3, as long as the probe.
            text = b"#!/bin/sh\nexit 3\n#"
            return text + b"x" * (size - len(text))

        def plain_file(directory):
            level = os.path.join(directory, "bin", "data")
            subprocess.run(["rm", "-r", level], check=True)
            with open(level, "wb") as f:
                f.write(b"no directory")

        def directory_for_file(directory):
            path = os.path.join(directory, "bin", "big.bin")
            os.remove(path)
            os.makedirs(os.path.join(path, "inside"))

        cases = [
            ("a link at a level, same sizes elsewhere",
             linked("bin/data/nested",
                    {"deeper/note.txt": lambda size: b"b" * size})),
            ("a link at the program's level, same sizes elsewhere",
             linked("bin", {"probe": script})),
            ("a file at a level", plain_file),
            ("a file that cannot be replaced", directory_for_file),
        ]
        for what, damage in cases:
            with self.subTest(what):
                launcher, directory, parent, env = self.cache_setup(records)
                self.launch(launcher=launcher, env=env)
                elsewhere = damage(directory)
                before = tree_snapshot(directory)
                outside = elsewhere and tree_snapshot(elsewhere)
                launch = self.launch(launcher=launcher, env=env,
                                     probe={"EXIT": "9"})
                self.assertRanFromOwnSibling(launch, directory, parent,
                                             self.records, "bin")
                self.assertEqual(tree_snapshot(directory), before)
                if elsewhere:
                    self.assertEqual(tree_snapshot(elsewhere), outside)

    def test_a_file_size_limit_ends_a_cold_start_and_leaves_no_sibling(self):
        """ulimit -f, SIGXFSZ at its default: the write past the limit fails
        and is reported with its file, status 2, and the sibling goes."""
        records = self.records + [("data\\big.bin", os.urandom(3 << 20))]
        launcher, directory, parent, env = self.cache_setup(records)
        room = sum(len(data) for _, data in self.records) + (1 << 20)

        def file_size_limit():
            import resource
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (room, room))

        launch = self.launch(launcher=launcher, env=env, probe={"EXIT": "9"},
                             preexec=file_size_limit)
        self.assertEqual(launch.returncode, 2, launch.stderr)
        self.assertIsNone(launch.report)
        self.assertRegex(
            launch.stderr,
            rb"^Error, couldn't unpack file to target path\. "
            rb"'[^'\n]*/onefile_[0-9]+_[0-9]+/data/big\.bin' "
            rb"\(\[Error 112\] No space left on device\)\n$")
        self.assertEqual(os.listdir(parent), [])

    def test_other_builds_directories_are_reclaimed_only_when_unheld(self):
        """A start that runs from its own cache directory removes the
        directories that other builds of the package left beside it, once
        no run holds them; a running old build keeps its directory, and so
        do what an older launcher made (its runs hold nothing), a directory
        without a marker, a link and anything not named as a payload's
        level."""
        old, old_directory, parent, env = self.cache_setup()
        new_records = self.records + [("added.txt", b"a newer build")]
        new = os.path.join(self.make_scratch(), "app")
        digest = container.cache_launcher(LAUNCHER, new_records, new,
                                          container.CACHE_SIZE)
        new_directory = os.path.join(parent, digest[:16])
        self.assertRanFrom(self.launch(launcher=old, env=env,
                                       probe={"EXIT": "9"}), old_directory)

        # Beside them: what must stay whatever holds it.
        kept = {}
        def level(name):
            path = os.path.join(parent, name)
            kept[name] = path
            return path
        format_1 = level("1111111111111111")
        shutil.copytree(old_directory, format_1)
        marker = os.path.join(format_1, self.MARKER)
        with open(marker, "r+b") as f:
            f.seek(8)
            f.write(struct.pack("<I", 1))
        os.makedirs(os.path.join(level("2222222222222222"), "data"))
        os.symlink(old_directory, level("3333333333333333"))
        shutil.copytree(old_directory, level("not-a-level"))
        shutil.copytree(old_directory, level("4444444444444444X"))

        # The old build runs: its directory is held, and stays.
        running = self.start(launcher=old, env=env,
                             probe={"SLEEP_MS": "60000", "EXIT": "9"})
        self.wait_for_report(running)
        self.assertRanFrom(self.launch(launcher=new, env=env,
                                       probe={"EXIT": "9"}),
                           new_directory, new_records)
        self.assertTrue(os.path.isdir(old_directory))
        os.killpg(running[0].pid, signal.SIGINT)
        self.finish(running)

        # Once it has ended, the next start of the new build removes it.
        self.assertRanFrom(self.launch(launcher=new, env=env,
                                       probe={"EXIT": "9"}),
                           new_directory, new_records)
        self.assertFalse(os.path.lexists(old_directory))
        self.assertEqual(
            sorted(os.listdir(parent)),
            sorted([os.path.basename(new_directory)] + list(kept)))
        self.assertTrue(os.path.isdir(os.path.join(format_1, "data")))

    def test_interrupted_cold_start_leaves_no_directory(self):
        """SIGINT while the sibling is being filled: no directory at the
        path, and the sibling removed."""
        records = with_large_files(self.records)
        launcher, directory, parent, env = self.cache_setup(records)
        started = self.start(launcher=launcher, env=env, probe={"EXIT": "9"})
        self.interrupt_once_unpacking(started, parent)
        self.assertEqual(os.listdir(parent), [])

    def test_a_killed_cold_start_leaves_a_sibling_the_next_start_removes(self):
        """SIGKILL while the sibling is being filled: no directory at the
        path; the next start runs, puts its own into place and sweeps the
        dead run's sibling."""
        records = with_large_files(self.records)
        launcher, directory, parent, env = self.cache_setup(records)
        started = self.start(launcher=launcher, env=env)
        deadline = time.monotonic() + 20
        while not (os.path.isdir(parent) and os.listdir(parent)):
            self.assertLess(time.monotonic(), deadline, "no sibling")
            time.sleep(0.001)
        os.kill(started[0].pid, signal.SIGKILL)
        self.finish(started)
        left = os.listdir(parent)
        self.assertEqual(len(left), 1)
        self.assertTrue(left[0].startswith("onefile_"), left)
        launch = self.launch(launcher=launcher, env=env, probe={"EXIT": "9"})
        self.assertRanFrom(launch, directory, records)
        self.assertEqual(os.listdir(parent), [os.path.basename(directory)])

    def test_cache_dir_is_xdg_cache_home_or_dot_cache(self):
        launcher, directory, parent, env = self.cache_setup()
        home = os.path.dirname(env["XDG_CACHE_HOME"])
        for what, variables, root in (
                ("XDG_CACHE_HOME", env, env["XDG_CACHE_HOME"]),
                ("empty XDG_CACHE_HOME", {"XDG_CACHE_HOME": "", "HOME": home},
                 os.path.join(home, ".cache")),
                ("HOME alone", {"HOME": home}, os.path.join(home, ".cache"))):
            with self.subTest(what):
                environment = {k: v for k, v in os.environ.items()
                               if k != "XDG_CACHE_HOME"}
                environment.update(variables)
                with unittest.mock.patch.dict(os.environ, environment,
                                              clear=True):
                    launch = self.launch(launcher=launcher,
                                         probe={"EXIT": "9"})
                self.assertRanFrom(launch, os.path.join(
                    root, os.path.relpath(directory,
                                          env["XDG_CACHE_HOME"])))

    def test_a_link_or_another_users_directory_is_refused(self):
        """At the template's directory or at the payload's level: one line,
        status 2, nothing run, nothing written there."""
        def foreign(path):
            os.makedirs(path)
            os.chown(path, self.OTHER_USER, self.OTHER_USER)

        def link(path):
            elsewhere = os.path.join(self.make_scratch(), "elsewhere")
            os.makedirs(elsewhere)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.symlink(elsewhere, path)
            return elsewhere

        for what, at_parent, plant in (
                ("another user's directory", True, foreign),
                ("a link", True, link),
                ("another user's payload level", False, foreign),
                ("a link at the payload level", False, link)):
            with self.subTest(what):
                if plant is foreign and os.geteuid() != 0:
                    self.skipTest("not root: no entry of another user can "
                                  "be made")
                launcher, directory, parent, env = self.cache_setup()
                target = plant(parent if at_parent else directory)
                launch = self.launch(launcher=launcher, env=env,
                                     probe={"EXIT": "9"})
                self.assertEqual(launch.returncode, 2)
                self.assertIsNone(launch.report)
                lines = launch.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertIn("refusing the cache directory", lines[0])
                if target is not None:
                    self.assertEqual(os.listdir(target), [])

    def test_a_name_the_cache_keeps_for_itself_is_refused(self):
        for name in (".onefile-marker", ".OneFile-x\\y.txt"):
            with self.subTest(name):
                launcher, directory, parent, env = self.cache_setup(
                    self.records + [(name, b"x")])
                launch = self.launch(launcher=launcher, env=env)
                self.assertEqual(launch.returncode, 2)
                self.assertIsNone(launch.report)
                self.assertIn(b"which a cache directory keeps for its own",
                              launch.stderr)
                self.assertEqual(os.listdir(parent), [])


if __name__ == "__main__":
    support.main()
