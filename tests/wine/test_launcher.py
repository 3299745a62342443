"""The Windows launcher under Wine, with the probe child packed inside.

Every launch goes through the console harness, which passes an exact
command line, sets TEMP and TMP to a folder of the test's own (so each test
sees exactly the unpack directories it caused, even when tests run in
parallel in one prefix) and reports the full 32-bit exit code.

Where Wine does not behave like Windows, the test says so where it checks.
"""

import ntpath
import os
import re
import signal
import subprocess

import container
import probe
import support
import winetest
from probe import Report, file_table, unpack_directories, with_large_files
from winetest import (PRINT_TEST, PROBE_CONSOLE, PROBE_GUI, STUB, harness,
                      pack_windows, to_unix, to_windows, unix_processes_naming,
                      wine_temp_directory)


def probe_records(program=PROBE_CONSOLE):
    """The console or GUI probe with a few files."""
    return probe.probe_records(program, "probe.exe")


class Launch:
    """One launch of a packed launcher: the harness's result, the probe's
    report (None when it wrote none), the Unix path the report was asked
    for, and the TEMP folder used."""

    def __init__(self, result, report, report_path, temp):
        self.result = result
        self.report = report
        self.report_path = report_path
        self.temp = temp

    def unpack_directories(self):
        return unpack_directories(self.temp)


class LauncherTestCase(winetest.WineTestCase, probe.LaunchTestCase):
    # The application packed for the whole class: the probe and a few files.
    records = None
    probe = PROBE_CONSOLE

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.class_scratch = cls.make_class_scratch()
        # A space in the launcher's own path, as under "Program Files".
        os.makedirs(os.path.join(cls.class_scratch, "my app"))
        cls.launcher = os.path.join(cls.class_scratch, "my app", "App.exe")
        cls.records = probe_records(cls.probe)
        pack_windows(cls.records, cls.launcher)

    def launch(self, command_line=None, probe=None, env=None, launcher=None,
               ctrl_c_on=None, terminate_on_report=False, temp=None,
               **options):
        """Runs the launcher through the harness with a fresh TEMP (or
        `temp`, made when missing) and a report file; `probe` holds
        VESKAR_PROBE_* settings (without the prefix). `ctrl_c_on` "report"
        has the harness send Ctrl+C once the report is there, "unpack" once
        an unpack directory is. `terminate_on_report`: the harness ends the
        launcher with TerminateProcess once the report is there."""
        scratch = self.make_scratch()
        temp = temp or os.path.join(scratch, "temp")
        os.makedirs(temp, exist_ok=True)
        report = os.path.join(scratch, "report.txt")
        variables = {"TEMP": to_windows(temp), "TMP": to_windows(temp),
                     "VESKAR_PROBE_REPORT": to_windows(report)}
        for name, value in (probe or {}).items():
            variables["VESKAR_PROBE_" + name] = value
        variables.update(env or {})
        if ctrl_c_on == "report":
            options["ctrl_c_when"] = to_windows(report)
        elif ctrl_c_on == "unpack":
            options["ctrl_c_when"] = to_windows(temp) + "\\onefile_*"
        if terminate_on_report:
            options["terminate_when"] = to_windows(report)
        result = harness(launcher or self.launcher, command_line,
                         env=variables, **options)
        return Launch(result, Report(report, windows=True)
                      if os.path.exists(report) else None, report, temp)

    def assertFailsLeavingNothing(self, launch, stdout, stderr):
        """The launcher ended with 2 before the child ran, saying `stdout`
        (its own lines) and what the pattern `stderr` matches, and left
        nothing in TEMP."""
        self.assertEqual(launch.result.exit_code, 2)
        self.assertIsNone(launch.report)
        own = [line.rstrip("\r") for line in
               launch.result.stdout.decode().splitlines()
               if not line.startswith("harness: ")]
        self.assertEqual("\n".join(own), stdout)
        self.assertRegex(launch.result.stderr.decode("utf-8", "replace"),
                         stderr)
        self.assertEqual(os.listdir(launch.temp), [])


class CacheTest(LauncherTestCase):
    """A cache mode through the real Windows launcher, with the cache in
    the test's own TEMP ({TEMP} is a template variable like any other)."""

    # The marker's name where a run's hold lies beside its directory, which
    # launchers of earlier releases do not know (launcher/cache.cpp).
    MARKER = ".onefile-lock-marker"

    def assertOnlyTheCacheDirectory(self, parent, directory):
        """Nothing in `parent` but the cache directory and its lock file,
        which stays beside it as long as the directory does."""
        name = os.path.basename(directory)
        self.assertEqual(sorted(os.listdir(parent)), [name, name + ".lock"])

    def cache_setup(self, records=None):
        """A cache-mode launcher and a TEMP for it. Gives (launcher, TEMP,
        the cache directory, its parent), Unix paths."""
        scratch = self.make_scratch()
        launcher = os.path.join(scratch, "cached.exe")
        digest = winetest.pack_windows_cached(records or self.records,
                                              launcher, "{TEMP}\\cache")
        temp = os.path.join(scratch, "temp")
        os.makedirs(temp)
        parent = os.path.join(temp, "cache")
        return launcher, temp, os.path.join(parent, digest[:16]), parent

    def assertRanFrom(self, launch, directory):
        self.assertEqual(launch.result.exit_code, 9, launch.result.stdout)
        self.assertTrue(launch.report.complete)
        self.assertEqual(launch.report.unpack_directory.lower(),
                         to_windows(directory).lower())
        files = dict(launch.report.files)
        self.assertIsNotNone(files.pop(self.MARKER, None))
        self.assertEqual(files, file_table(self.records))

    # What a program does to its own folder (the probe's folder mode): each
    # row the same unpacked, per run and in the cache. The run's hold lies
    # beside the folder, so the program may open its folder sharing reading
    # only or nothing; a hold on the folder with write access refused both
    # with a sharing violation (32). The folder cannot be deleted while the
    # program runs from it, packed or not: it is not empty (145). Wine
    # renames a folder that holds a running program, where Windows refuses
    # it (the program's image is open); packed or not, either way.
    FOLDER_ROWS = {
        "open-sharing-reading": "ok",
        "open-sharing-nothing": "ok",
        "open-sharing-everything": "ok",
        "watch": "ok",
        "rename-file": "ok",
        "delete-file": "ok",
        "rename-subfolder": "ok",
        "delete-subfolder": "ok",
        "rename-folder": "ok",
        "delete-folder": "error 145",
    }

    def test_the_program_may_do_with_its_folder_what_it_may_unpacked(self):
        unpacked = os.path.join(self.make_scratch(), "unpacked")
        probe.write_unpacked(self.records, unpacked)
        asked = {"FOLDER": "1", "EXIT": "9"}
        alone = self.launch(launcher=os.path.join(unpacked, self.records[0][0]),
                            probe=asked)
        self.assertEqual(alone.result.exit_code, 9, alone.result.stdout)
        runs = {"unpacked": alone.report.folder}
        per_run = self.launch(probe=asked)
        self.assertEqual(per_run.result.exit_code, 9, per_run.result.stdout)
        self.assertEqual(os.listdir(per_run.temp), [])
        runs["per run"] = per_run.report.folder
        launcher, temp, directory, parent = self.cache_setup()
        cached = self.launch(launcher=launcher, temp=temp, probe=asked)
        self.assertRanFrom(cached, directory)
        runs["cache"] = cached.report.folder
        for row, result in self.FOLDER_ROWS.items():
            with self.subTest(row):
                self.assertEqual(runs["unpacked"][row], result)
        for how in ("per run", "cache"):
            with self.subTest(how):
                self.assertEqual(runs[how], runs["unpacked"])

    def test_other_builds_directories_are_reclaimed_under_either_marker(self):
        """A start that runs from its own cache directory removes other
        builds' directories that no run holds: one of this release (its
        marker named for the hold beside it, its lock file beside it) and
        one of an earlier release (the marker it knew, no lock file), each
        with what lies beside it. A directory without a marker stays."""
        launcher, temp, directory, parent = self.cache_setup()
        marker = container.cache_marker(self.records, bytes(32))
        for level, name, lock in (("1111111111111111", self.MARKER, True),
                                  ("2222222222222222", ".onefile-marker",
                                   False),
                                  ("3333333333333333", None, False)):
            os.makedirs(os.path.join(parent, level, "data"))
            if name is not None:
                with open(os.path.join(parent, level, name), "wb") as f:
                    f.write(marker)
            if lock:
                with open(os.path.join(parent, level + ".lock"), "wb"):
                    pass
        self.assertRanFrom(self.launch(launcher=launcher, temp=temp,
                                       probe={"EXIT": "9"}), directory)
        name = os.path.basename(directory)
        self.assertEqual(sorted(os.listdir(parent)),
                         sorted(["3333333333333333", name, name + ".lock"]))

    def test_cold_warm_and_repaired_starts(self):
        launcher, temp, directory, parent = self.cache_setup()
        run = lambda: self.launch(launcher=launcher, temp=temp,
                                  probe={"EXIT": "9"})
        self.assertRanFrom(run(), directory)
        self.assertRanFrom(run(), directory)
        os.remove(os.path.join(directory, "data", "nested", "deeper",
                               "note.txt"))
        os.truncate(os.path.join(directory, "big.bin"), 10)
        self.assertRanFrom(run(), directory)
        self.assertOnlyTheCacheDirectory(parent, directory)

    def test_eight_parallel_cold_starts(self):
        launcher, temp, directory, parent = self.cache_setup()
        launches = self.launch_many(
            [{"launcher": launcher, "temp": temp, "probe": {"EXIT": "9"}}] * 8)
        for launch in launches:
            self.assertRanFrom(launch, directory)
        self.assertOnlyTheCacheDirectory(parent, directory)

    def assertRanFromOwnSibling(self, launch, directory, parent):
        """The run succeeded from a sibling of its own beside `directory`,
        with the payload's files whole, and removed it at its end."""
        self.assertEqual(launch.result.exit_code, 9, launch.result.stdout)
        self.assertTrue(launch.report.complete)
        ran_in = launch.report.unpack_directory.lower()
        self.assertNotEqual(ran_in, to_windows(directory).lower())
        self.assertEqual(ntpath.dirname(ran_in), to_windows(parent).lower())
        self.assertEqual(dict(launch.report.files), file_table(self.records))
        self.assertOnlyTheCacheDirectory(parent, directory)

    def test_a_marker_with_fewer_records_is_not_believed(self):
        """The payload's digest and a record fewer, the file it leaves out
        deleted: the start runs from its own sibling, whole, and the
        directory is left as it was."""
        launcher, temp, directory, parent = self.cache_setup()
        self.launch(launcher=launcher, temp=temp)
        marker = os.path.join(directory, self.MARKER)
        with open(marker, "rb") as f:
            good = f.read()
        fewer = [r for r in self.records if r[0] != "big.bin"]
        with open(marker, "wb") as f:
            f.write(good[:44] + container.cache_marker(fewer, good[12:44])[44:])
        os.remove(os.path.join(directory, "big.bin"))
        launch = self.launch(launcher=launcher, temp=temp,
                             probe={"EXIT": "9"})
        self.assertRanFromOwnSibling(launch, directory, parent)
        self.assertFalse(os.path.exists(os.path.join(directory, "big.bin")))

    def test_a_broken_file_held_open_elsewhere(self):
        """Another process holds a broken cached file open without delete
        sharing (as a running instance holds its files): it cannot be
        replaced, and this start runs from a sibling of its own instead of
        failing. Wine refuses the replacement as Windows does."""
        launcher, temp, directory, parent = self.cache_setup()
        self.launch(launcher=launcher, temp=temp)
        held = os.path.join(directory, "big.bin")
        os.truncate(held, 10)
        ready = os.path.join(self.make_scratch(), "ready")
        with support.scratch_dir("wine-") as cwd:
            holder = subprocess.Popen(
                [winetest.WINE, winetest.HARNESS, "hold", to_windows(held),
                 "20000", to_windows(ready)], cwd=cwd,
                env=winetest.environment(), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True)
            try:
                self.assertTrue(support.eventually(
                    lambda: os.path.exists(ready), 30), "no holder")
                launch = self.launch(launcher=launcher, temp=temp,
                                     probe={"EXIT": "9"})
            finally:
                os.killpg(holder.pid, signal.SIGKILL)
                holder.wait()
        self.assertRanFromOwnSibling(launch, directory, parent)
        self.assertEqual(os.path.getsize(held), 10)

    def test_ctrl_c_during_a_cold_start(self):
        """Ctrl+C once the sibling exists, with 128 MiB still to write: no
        directory at the cache directory's path, and no sibling."""
        launcher, temp, directory, parent = self.cache_setup(
            with_large_files(self.records))
        launch = self.launch(
            launcher=launcher, temp=temp, probe={"EXIT": "9"},
            ctrl_c_when=to_windows(parent) + "\\onefile_*", timeout_ms=40000)
        self.assertIsNotNone(launch.result.ctrl_c_ms, launch.result.stdout)
        self.assertIsNone(launch.report, "the child ran")
        self.assertEqual(os.listdir(parent), [])


class StubWithoutPayloadTest(winetest.WineTestCase):
    def test_reports_missing_header_and_writes_nothing(self):
        scratch = self.make_scratch()
        temp = os.path.join(scratch, "temp")
        os.makedirs(temp)
        before = {d: unpack_directories(d) for d in wine_temp_directory()}
        result = harness(STUB, env={"TEMP": to_windows(temp),
                                    "TMP": to_windows(temp)})
        self.assertEqual(result.exit_code, 2)
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        self.assertEqual(lines[0].rstrip("\r"),
                         "Error, couldn't find attached data header.")
        self.assertEqual(result.stderr, b"")
        self.assertEqual(os.listdir(temp), [])
        after = {d: unpack_directories(d) for d in wine_temp_directory()}
        self.assertEqual(before, after, "an unpack directory appeared in "
                         "Wine's own temporary folder")


class HostileInputTest(LauncherTestCase):
    """Hostile payloads and surroundings against the real Windows launcher:
    one row per shape."""

    def test_refused_names_end_the_run_before_anything_is_written(self):
        """The Windows name rules, through the real binary: each name gets
        its own reason, and a refused first record leaves TEMP empty."""
        cases = [
            ("NUL.txt", "names a Windows device"),
            ("dir\\con", "names a Windows device"),
            ("COM\u00b9.log", "names a Windows device"),
            ("a*b", "holds '*', which Windows does not allow in names"),
            ("a|b", "holds '|', which Windows does not allow in names"),
            ("C:escape.txt", "holds ':', which names a drive or a stream"),
            ("tab\there", "holds a control character"),
            ("a/b", "holds '/', a separator the archive does not use"),
            ("..\\escape.txt", "has a level made only of dots and spaces"),
            ("\\rooted.txt", "starts with a separator"),
            ("a\\\\b", "has an empty level"),
        ]
        for name, reason in cases:
            with self.subTest(name=name):
                launcher = os.path.join(self.make_scratch(), "hostile.exe")
                pack_windows([(name, b"x")] + self.records, launcher)
                launch = self.launch(launcher=launcher)
                self.assertEqual(launch.result.exit_code, 2)
                self.assertIsNone(launch.report)
                line = launch.result.stderr.decode("utf-8", "replace")
                self.assertTrue(line.startswith("Error, refusing the name '"),
                                line)
                self.assertIn("' in the attached data: it " + reason, line)
                self.assertEqual(os.listdir(launch.temp), [])

    def test_a_deep_tree_runs(self):
        """500 levels, within the name limit: the directories are made with
        one buffer, not one stack frame a level (the launcher's stack is
        1 MiB; the old walk overflowed it at about 130 levels)."""
        deep = "a\\" * 500 + "leaf.txt"
        launcher = os.path.join(self.make_scratch(), "deep.exe")
        pack_windows(self.records + [(deep, b"deep")], launcher)
        # Wine's removal of 500 levels takes seconds, many more on a busy
        # machine: the harness waits longer than its usual 30 s.
        launch = self.launch(launcher=launcher, timeout_ms=180000)
        self.assertEqual(launch.result.exit_code, 0, launch.result.stderr)
        self.assertIn(deep, launch.report.files)
        self.assertRemoved(launch)

    def test_two_spellings_of_one_file_keep_the_later_record(self):
        """Another writer's container may hold one Windows file under two
        spellings: a case the file system folds beyond ASCII, a trailing
        dot it drops, ASCII case, a directory level's case and dot, or the
        short name the system gives the file (asked of Wine with
        GetShortPathNameW: Wine makes it from a hash of the long name, as
        "AVER~STY.BIN", where Windows numbers it, "AVERYL~1.BIN"). The
        later record's bytes win, as they would written one after the
        other, with either reader: the earlier record's 8 MiB are written
        and closed before the later record's data (an open while its
        chunks were still being written left 8 MiB there). Each pair goes
        in a payload of its own: a pair whose names still fold alike would
        send a shared payload to the one-thread reader, and hide a pair
        that no longer does. The file keeps its first spelling."""
        later = b"later"
        long_name = "averylongname.bin"
        pairs = [("\u00c4.bin", "\u00e4.bin"), ("t.bin", "t.bin."),
                 ("a.txt", "A.TXT"), ("d\\x.bin", "D.\\X.BIN"),
                 (long_name, winetest.short_name(long_name))]
        for first, second in pairs:
            records = self.records + [(first, b"\x01" * (8 << 20)),
                                      (second, later)]
            expected = file_table(self.records + [(first, later)])
            # With an index and several frames too.
            for layout in ({}, {"index": True, "checksums": (True,) * 6}):
                with self.subTest(pair=(first, second), layout=layout):
                    launcher = os.path.join(self.make_scratch(),
                                            "spellings.exe")
                    pack_windows(records, launcher, **layout)
                    launch = self.launch(launcher=launcher)
                    self.assertEqual(launch.result.exit_code, 0,
                                     launch.result.stderr)
                    self.assertEqual(launch.report.files, expected)
                    self.assertRemoved(launch)

    def test_an_indexed_payload_is_decoded_on_several_threads(self):
        """A payload with an index, in frames cut inside names, sizes and
        data, gives every file whole; an index forged to name a file
        otherwise (the stream unchanged) runs the program all the same, with
        the stream's files and none of the index's own names, as the
        one-thread reader runs it."""
        records = self.records + [
            ("data\\spans\\%d.bin" % i, os.urandom(150_000 + i))
            for i in range(12)]
        launcher = os.path.join(self.make_scratch(), "indexed.exe")
        pack_windows(records, launcher, index=True, checksums=(True,) * 7)
        launch = self.launch(launcher=launcher)
        self.assertEqual(launch.result.exit_code, 0, launch.result.stderr)
        self.assertEqual(launch.report.files, file_table(records))
        self.assertRemoved(launch)

        listed = [(name, len(data)) for name, data in records]
        listed[-1] = (listed[-1][0].replace("11", "99"), listed[-1][1])
        pack_windows(records, launcher, index=True, checksums=(True,) * 7,
                     listed=listed)
        launch = self.launch(launcher=launcher)
        self.assertEqual(launch.result.exit_code, 0, launch.result.stderr)
        self.assertEqual(launch.report.files, file_table(records))
        self.assertRemoved(launch)

    def test_the_abort_ending_is_a_fail_fast_without_a_dialog(self):
        """A failed template expansion and an overflowing append end through
        the launcher's own AbortProcess, here in a GUI program of its own:
        never the C runtime's abort(), whose message box in a GUI process
        would wait for a click (the harness would time out). Windows ends a
        fail-fast with 0xC0000409 (STATUS_STACK_BUFFER_OVERRUN); Wine 8 does
        the same for interrupt 0x29. Exit code 3 is the ending where the
        processor has no fail-fast."""
        result = harness(winetest.ABORT_TEST, timeout_ms=20000)
        self.assertIn(result.exit_code, (0xC0000409, 3), hex(result.exit_code))


class CommandLineTest(LauncherTestCase):
    def test_reaches_the_child_unchanged(self):
        """The child's GetCommandLineW() is the launcher's, code unit for
        code unit, program name included (as typed, not the child's path)."""
        own = '"' + to_windows(self.launcher) + '"'
        cases = [
            own,
            own + " plain words",
            own + ' "with spaces" "quote \\" inside" unbalanced"',
            own + ' back\\slash "trailing\\\\" \\\\server\\share\\ a\\\\\\"b',
            own + " gr\u00fc\u00dfe \u65e5\u672c\u8a9e \U0001F600 \u00a0nbsp",
            own + "   multiple   spaces\tand\ttabs  ",
            "App a b",  # a program name that is not the path
            "\"C:\\Elsewhere\\Other Name.exe\" x",
            own + " lone \ud800 surrogate",
        ]
        launches = self.launch_many([{"command_line": c} for c in cases])
        for command_line, launch in zip(cases, launches):
            with self.subTest(command_line=command_line):
                self.assertIsNotNone(launch.report, launch.result.stdout)
                self.assertEqual(launch.report.command_line, command_line)
                self.assertEqual(launch.result.exit_code, 0)
                self.assertRemoved(launch)

    def test_empty_command_line(self):
        """On Windows, CreateProcessW with an empty command line gives the
        new process an empty one. Wine 8 puts the quoted application name
        in its place, so under Wine the launcher itself starts with
        '"<its path>"'; the child must see exactly that, not its own path."""
        launch = self.launch(command_line="")
        self.assertIsNotNone(launch.report, launch.result.stdout)
        self.assertIn(launch.report.command_line,
                      ("", '"' + to_windows(self.launcher) + '"'))
        self.assertRemoved(launch)


class ExitCodeTest(LauncherTestCase):
    def test_all_32_bits_come_back(self):
        codes = [0, 3, 259, 0x80000001, 0xC0000005, 0xFFFFFFFF]
        launches = self.launch_many(
            [{"probe": {"EXIT": hex(code)}} for code in codes])
        for code, launch in zip(codes, launches):
            with self.subTest(code=hex(code)):
                self.assertEqual(launch.result.exit_code, code)
                self.assertRemoved(launch)


class EnvironmentTest(LauncherTestCase):
    def test_variables_directory_and_files(self):
        scratch = self.make_scratch()
        directory = os.path.join(scratch, "w\u00f6rking dir")
        os.makedirs(directory)
        launch = self.launch(cwd=to_windows(directory), env={
            "VESKAR_ONEFILE_PARENT": "-0012",
            "VESKAR_ONEFILE_BINARY": "C:\\inherited\\value.exe",
            "VESKAR_TEST_INHERITED": "kept \u00e9",
        })
        report = launch.report
        self.assertIsNotNone(report, launch.result.stdout)
        self.assertEqual(launch.result.exit_code, 0)

        # The parent id is a plain decimal, the same as in the directory name.
        unpack = report.unpack_directory
        name = unpack.rsplit("\\", 1)[1]
        match = re.fullmatch(r"onefile_(\d+)_(\d+)", name)
        self.assertIsNotNone(match, unpack)
        self.assertRegex(report.parent_var, r"^[1-9][0-9]*$")
        self.assertEqual(report.parent_var, match.group(1))
        # The unpack directory is in TEMP, which is ours.
        self.assertEqual(os.path.realpath(os.path.dirname(to_unix(unpack))),
                         os.path.realpath(launch.temp))
        self.assertEqual(report.binary_var.lower(),
                         to_windows(self.launcher).lower())
        self.assertEqual(report.env.get("VESKAR_TEST_INHERITED"), "kept \u00e9")
        self.assertEqual(report.current_directory.rstrip("\\").lower(),
                         to_windows(directory).lower())
        # Every file arrived whole, under its name, and nothing else did.
        self.assertEqual(report.files, file_table(self.records))
        self.assertEqual(set(report.directories),
                         {"data", "data\\nested", "data\\nested\\deeper"})
        self.assertRemoved(launch)


class StandardStreamsTest(LauncherTestCase):
    def test_redirected_streams_reach_the_child(self):
        """Console and GUI children alike write to the launcher's redirected
        stdout and stderr and read its stdin."""
        data = b"line one\r\nline two \xc3\xa9\x00\xff end"
        for probe in (PROBE_CONSOLE, PROBE_GUI):
            with self.subTest(child=os.path.basename(probe)):
                scratch = self.make_scratch()
                launcher = os.path.join(scratch, "streams.exe")
                pack_windows(probe_records(probe), launcher)
                launch = self.launch(launcher=launcher, stdin=data,
                                     probe={"READ_STDIN": "1"})
                self.assertEqual(launch.result.exit_code, 0,
                                 launch.result.stdout + launch.result.stderr)
                self.assertEqual(launch.report.stdin, data)
                for stream in ("input", "output", "error"):
                    self.assertTrue(launch.report.std[stream].startswith("valid"),
                                    launch.report.std)
                self.assertIn(b"probe: a line on standard output\n",
                              launch.result.stdout)
                self.assertEqual(launch.result.stderr,
                                 b"probe: a line on standard error\n")
                self.assertRemoved(launch)


class UnpackDirectoryTest(LauncherTestCase):
    def test_fatal_endings_leave_nothing(self):
        """Every fatal ending after extraction has begun removes what the
        run wrote (partial files, content that failed its checksum, the
        main program) and keeps its line and status."""
        damaged_frame = lambda body: body[:20] + bytes(
            b ^ 0x55 for b in body[20:60]) + body[60:]
        # The frame's last four bytes are its content checksum.
        bad_checksum = lambda body: body[:-13] + bytes(
            [body[-13] ^ 1]) + body[-12:]
        good = self.records
        cases = [
            # ERROR_BAD_EXE_FORMAT, with the system's text on the same line:
            # its trailing line break is cut (the C runtime's text mode adds
            # a CR to the line's own end).
            ("failed start", [("readme.txt", b"not a program\r\n")] + good,
             None, "", r"^Error, couldn't launch child \(\[Error 193\] "
             r"[^\r\n]+\)\r*\n$"),
            ("refused name", good + [("NUL.txt", b"x")], None, "",
             r"^Error, refusing the name 'NUL.txt' "),
            ("failed open", good + [("d", b"1"), ("d\\x", b"2")], None, "",
             r"^Error, failed to open '"),
            ("damaged data", good, damaged_frame,
             "Error, couldn't decode attached data.", r"^$"),
            ("failed checksum", good, bad_checksum,
             "Error, couldn't decode attached data.", r"^$"),
        ]
        for label, records, damage, stdout, stderr in cases:
            with self.subTest(case=label):
                launcher = os.path.join(self.make_scratch(), "broken.exe")
                pack_windows(records, launcher, damage)
                self.assertFailsLeavingNothing(self.launch(launcher=launcher),
                                               stdout, stderr)

    def test_file_held_open_elsewhere(self):
        """A process outside the launcher holds the child's program open
        without delete sharing. Wine honours sharing modes as Windows does:
        held for 0.8 s, a retry removes the directory; held for 4 s, the
        launcher gives up after its 20 retries (about 2 s), leaves what is
        held, and still ends with the child's code."""
        short, long = self.launch_many([
            {"probe": {"HOLDER": to_windows(winetest.HARNESS),
                       "HOLD_MS": "800", "EXIT": "5"}},
            {"probe": {"HOLDER": to_windows(winetest.HARNESS),
                       "HOLD_MS": "4000", "EXIT": "6"}},
        ])
        self.assertEqual(short.report.holder, "ready")
        self.assertEqual(short.result.exit_code, 5)
        self.assertRemoved(short)

        self.assertEqual(long.report.holder, "ready")
        self.assertEqual(long.result.exit_code, 6)
        self.assertGreaterEqual(long.result.ran_ms, 2000)
        # What is held stays, for a later start's sweep; the lock file
        # beside it went with the run.
        left = long.unpack_directories()
        self.assertEqual(len(left), 1, left)
        root = os.path.join(long.temp, left.pop())
        remaining = [os.path.relpath(os.path.join(d, f), root)
                     for d, _, files in os.walk(root) for f in files]
        self.assertEqual(remaining, ["probe.exe"])


class MessagesTest(LauncherTestCase):
    """A fatal message that carries a name or path keeps every character of
    it: standard error that is a file or a pipe gets the line as UTF-8 (a
    console would get it as UTF-16), where the C runtime's "%ls" would have
    dropped or garbled what the ANSI code page lacks. Control characters in
    it are shown escaped. Under Wine the launcher, a GUI program, is never
    on a console; the console's case is tried with print-test, which prints
    through the launcher's own PrintWithWideText."""

    def failed_launch(self, records, temp_name, stderr):
        scratch = self.make_scratch()
        launcher = os.path.join(scratch, "refused.exe")
        pack_windows(records, launcher)
        temp = os.path.join(scratch, temp_name)
        os.makedirs(temp)
        result = harness(launcher, env={"TEMP": to_windows(temp),
                                        "TMP": to_windows(temp)},
                         stderr=stderr)
        self.assertEqual(result.exit_code, 2, result.stdout)
        return result, temp

    def test_names_and_paths_keep_every_character(self):
        probe_first = probe_records()[:1]
        rows = [
            ("a device name under a Japanese folder",
             probe_first + [("\u65e5\u672c\\CON", b"x")], "temp",
             lambda temp: "Error, refusing the name '\u65e5\u672c\\CON' in "
             "the attached data: it names a Windows device."),
            ("control characters",
             probe_first + [("a\x1b[31m\nb.txt", b"x")], "temp",
             lambda temp: "Error, refusing the name 'a\\x1b[31m\\x0ab.txt' "
             "in the attached data: it holds a control character."),
            # A file where a directory must go: the path of the record that
            # cannot be opened begins with TEMP.
            ("an accented TEMP",
             probe_first + [("x", b"file"), ("x\\y", b"no room")],
             "r\u00e9sum\u00e9 \u65e5\u672c",
             lambda temp: "Error, failed to open '" + to_windows(temp) +
             "\\onefile_*\\x\\y' for writing."),
        ]
        for label, records, temp_name, message in rows:
            for stderr in ("file", "pipe"):
                with self.subTest(row=label, stderr=stderr):
                    result, temp = self.failed_launch(
                        records, temp_name,
                        None if stderr == "file" else stderr)
                    # The bytes are the line's UTF-8 and CR LF; the unpack
                    # directory's name holds the process id and the time.
                    pattern = re.escape(message(temp).encode("utf-8")) \
                        .replace(re.escape(b"onefile_*"), rb"onefile_\d+_\d+")
                    self.assertRegex(result.stderr, b"^" + pattern + b"\r\n$")

    def test_console_pipe_and_file_get_every_character(self):
        """A console gets the line as UTF-16 (its output comes back here as
        UTF-8 among VT sequences), a pipe or a file as UTF-8. CONOUT$ as the
        C runtime opens it, for writing only, is a console too: had it been
        taken for a file, the console would show the UTF-8 bytes as
        characters of its code page."""
        text = "\u65e5\u672c\\CON r\u00e9sum\u00e9"
        line = ("text: '" + text + "' ends here").encode("utf-8")
        for stderr in ("file", "pipe", "console"):
            with self.subTest(stderr=stderr):
                command_line = f'print-test "{text}"'
                if stderr == "console":
                    command_line = f'print-test --console "{text}"'
                result = harness(PRINT_TEST, command_line,
                                 stderr=None if stderr == "file" else stderr)
                self.assertEqual(result.exit_code, 0, result.stdout)
                if stderr == "console":
                    self.assertIn(line + b"\r\n", result.stderr)
                else:
                    self.assertEqual(result.stderr, line + b"\r\n")


class ConsoleControlTest(LauncherTestCase):
    """Ctrl+C under Wine: the harness moves to a console of its own (a GUI
    process under Wine inherits its parent's console, which Windows does
    not do, so the GUI launcher is on it too) and sends CTRL_C_EVENT to
    group 0 once the child has written its report. Wine 8 does not
    implement CTRL_BREAK_EVENT, so only Ctrl+C is tried here; every control
    type is driven directly in tests/unit/console_control_test.cpp."""

    def ctrl_c(self, probe):
        return self.launch(probe=probe, ctrl_c_on="report", timeout_ms=40000)

    def assertEventEnding(self, launch):
        """The launcher ended as the event's default handling ends it: on
        Windows with STATUS_CONTROL_C_EXIT, under Wine 8 with 0."""
        self.assertIn(launch.result.exit_code,
                      (winetest.WINE_CTRL_C_EXIT_CODE, 0xC000013A))

    def test_child_that_ignores_it_is_ended(self):
        launch = self.ctrl_c({"IGNORE_CTRL": "1", "SLEEP_MS": "60000",
                              "EXIT": "9"})
        self.assertIsNotNone(launch.report)
        # The handler waits 5 s for the child, then ends it.
        self.assertIsNotNone(launch.result.ctrl_c_ms, launch.result.stdout)
        self.assertGreaterEqual(launch.result.ctrl_c_ms, 4500)
        self.assertLess(launch.result.ctrl_c_ms, 9000)
        self.assertEventEnding(launch)
        self.assertRemoved(launch)
        name = launch.report.unpack_directory.rsplit("\\", 1)[1]
        self.assertEqual(unix_processes_naming(name), [],
                         "the child is still running")

    def test_event_ending_wins_over_the_childs_code(self):
        """The child ignores Ctrl+C but ends with 9 after 1.5 s, while the
        handler still waits for it. The main thread gets 9 first, but the
        launcher ends as the event ends it."""
        launch = self.ctrl_c({"IGNORE_CTRL": "1", "SLEEP_MS": "1500",
                              "EXIT": "9"})
        self.assertIsNotNone(launch.result.ctrl_c_ms, launch.result.stdout)
        self.assertLess(launch.result.ctrl_c_ms, 4500)
        self.assertNotEqual(launch.result.exit_code, 9)
        self.assertEventEnding(launch)
        self.assertRemoved(launch)

    def test_during_extraction(self):
        """Ctrl+C as soon as the unpack directory exists, with 128 MiB still
        to write: the main thread stops writing, the handler removes the
        directory, nothing is written after it, and the child never
        starts."""
        records = with_large_files(probe_records())
        launcher = os.path.join(self.make_scratch(), "large.exe")
        pack_windows(records, launcher)
        launch = self.launch(launcher=launcher, probe={"EXIT": "9"},
                             ctrl_c_on="unpack", timeout_ms=40000)
        self.assertIsNotNone(launch.result.ctrl_c_ms, launch.result.stdout)
        self.assertIsNone(launch.report, "the child ran")
        self.assertEventEnding(launch)
        self.assertRemoved(launch)

    def test_child_that_ends_on_it(self):
        """The child shares the launcher's console, so Ctrl+C ends it at
        once. Had it not reached the child, the child would wake after 3 s,
        inside the launcher's 5 s of grace, and say so on standard
        output."""
        launch = self.ctrl_c({"SLEEP_MS": "3000", "EXIT": "9"})
        self.assertIsNotNone(launch.result.ctrl_c_ms, launch.result.stdout)
        self.assertLess(launch.result.ctrl_c_ms, 3000)
        self.assertNotIn(b"probe: slept", launch.result.stdout,
                         "Ctrl+C did not end the child")
        self.assertEventEnding(launch)
        self.assertRemoved(launch)


class ChildLifetimeTest(LauncherTestCase):
    """The child ends with the launcher, however the launcher ends: it runs
    in a job that ends its processes when the last handle to it closes, and
    only the launcher holds one. Its own children leave the job silently."""

    def test_child_ends_when_the_launcher_is_terminated(self):
        """TerminateProcess on the launcher while the child sleeps for a
        minute: Wine 8 closes the dead launcher's handles, the job's last
        one among them, and ends the child, as Windows does. Checked both
        ways: Wine's own view of the child's process id, and the Unix
        process that ran it."""
        launch = self.launch(probe={"SLEEP_MS": "60000", "EXIT": "9"},
                             terminate_on_report=True)
        self.assertTrue(launch.result.terminated, launch.result.stdout)
        self.assertEqual(launch.result.exit_code, 1)
        self.assertIsNotNone(launch.report)
        name = ntpath.basename(launch.report.unpack_directory)
        try:
            self.assertTrue(winetest.process_gone(launch.report.pid, 10000),
                            "the child still runs 10 s after its launcher "
                            "ended")
            self.assertTrue(support.eventually(
                lambda: not unix_processes_naming(name), 10),
                "the child's Unix process still runs")
            self.assertNotIn(b"probe: slept", launch.result.stdout)
        finally:
            for pid in unix_processes_naming(name):
                os.kill(pid, signal.SIGKILL)

    def test_grandchild_outlives_the_child_and_the_launcher(self):
        """The child starts a program of its own, the ordinary way, and
        ends; the launcher ends with it. That program is not in the job
        (JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK), so the job's end leaves it
        running: it still answers once the launcher is gone. Wine 8 does as
        Windows does here, both ways: without that limit the program is in
        the job too, and the launcher's end ends it."""
        launch = self.launch(probe={"GRANDCHILD": to_windows(winetest.HARNESS),
                                    "EXIT": "4"})
        self.assertEqual(launch.result.exit_code, 4)
        self.assertRegex(launch.report.grandchild or "", r"^\d+$")
        self.assertRemoved(launch)
        done = launch.report_path + ".grandchild"
        self.assertFalse(os.path.exists(done))
        with open(launch.report_path + ".go", "wb"):
            pass
        self.assertTrue(support.eventually(lambda: os.path.exists(done), 20),
                        "the grandchild ended with the launcher")

class SweepTest(LauncherTestCase):
    def test_the_next_start_removes_what_an_ended_run_left(self):
        """A directory named for a process id nobody holds, as a launcher
        ended with TerminateProcess leaves it, goes at the next start; a
        link named like one (Wine shows a Unix link to a directory as a
        reparse point) and a file named like one stay, and so does what the
        link leads to."""
        scratch = self.make_scratch()
        temp = os.path.join(scratch, "temp")
        elsewhere = os.path.join(scratch, "elsewhere")
        os.makedirs(elsewhere)
        with open(os.path.join(elsewhere, "kept.txt"), "wb") as f:
            f.write(b"kept")
        # Wine gives processes small ids, multiples of 4; Windows never
        # gives this one out either.
        nobody = 4000000000
        leftover = os.path.join(temp, "onefile_%d_133000000000000000" % nobody)
        os.makedirs(os.path.join(leftover, "data", "nested"))
        for relative in ("probe.exe", "data/nested/file.txt"):
            with open(os.path.join(leftover, relative), "wb") as f:
                f.write(b"left behind")
        # A killed run of this release leaves the lock file beside its
        # directory too: both go.
        killed = os.path.join(temp, "onefile_%d_133000000000000003" % nobody)
        os.makedirs(killed)
        with open(killed + ".lock", "wb"):
            pass
        # And the lock file of one whose directory went, but not its lock
        # file (a removal cut short): it goes too.
        alone = os.path.join(temp, "onefile_%d_133000000000000004.lock" %
                             nobody)
        with open(alone, "wb"):
            pass
        link = "onefile_%d_133000000000000001" % nobody
        os.symlink(elsewhere, os.path.join(temp, link))
        named_file = "onefile_%d_133000000000000002" % nobody
        with open(os.path.join(temp, named_file), "wb") as f:
            f.write(b"a file")

        launch = self.launch(temp=temp, probe={"EXIT": "7"})
        self.assertEqual(launch.result.exit_code, 7,
                         launch.result.stdout + launch.result.stderr)
        self.assertIsNotNone(launch.report)
        self.assertFalse(os.path.lexists(leftover))
        self.assertFalse(os.path.lexists(killed))
        self.assertFalse(os.path.lexists(alone))
        self.assertEqual(sorted(os.listdir(temp)), sorted([link, named_file]))
        self.assertEqual(os.listdir(os.path.join(temp, link)), ["kept.txt"])
        with open(os.path.join(elsewhere, "kept.txt"), "rb") as f:
            self.assertEqual(f.read(), b"kept")


class DeepTreeTest(LauncherTestCase):
    """Trees deeper than one stack frame a level allows on the launcher's
    1 MiB stack (Wine gives no thread less) must go, and the child's code
    must come back. Wine resolves a file's whole Unix path again on every
    open, so each level costs more than the one above it: 1,400 levels take
    minutes to make and remove here, and 2,000 (about as deep as Wine's Unix
    paths, at most 4,096 bytes, reach below a test folder) over ten."""

    LEVELS = 1400

    @staticmethod
    def make_chain(top, levels):
        """`levels` nested directories "d" below `top`, made from the Unix
        side one descriptor at a time."""
        os.makedirs(top)
        fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
        for _ in range(levels):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.close(fd)

    def test_a_deep_leftover_and_a_deep_own_directory(self):
        """A start sweeps a deep directory an ended run left, and its child
        nests as deep in its own directory and ends with 7: the code comes
        back and both trees go."""
        scratch = self.make_scratch()
        temp = os.path.join(scratch, "temp")
        # A tree left behind is too deep for the scratch folder's own
        # removal; rm walks any depth.
        self.addCleanup(subprocess.run, ["rm", "-rf", temp])
        leftover = os.path.join(temp, "onefile_4000000000_133000000000000000")
        self.make_chain(leftover, self.LEVELS)
        launch = self.launch(temp=temp, timeout_ms=600000, probe={
            "NEST": str(self.LEVELS), "EXIT": "7"})
        self.assertEqual(launch.result.exit_code, 7,
                         launch.result.stdout + launch.result.stderr)
        self.assertEqual(launch.report.nested, self.LEVELS)
        self.assertFalse(os.path.lexists(leftover))
        self.assertRemoved(launch)


class ParallelTest(LauncherTestCase):
    def test_twenty_launches_at_once(self):
        scratch = self.make_scratch()
        reports = os.path.join(scratch, "reports")
        os.makedirs(reports)
        launch = self.launch(copies=20, probe={
            "REPORT": to_windows(reports), "EXIT": "0x2A", "SLEEP_MS": "300"})
        self.assertEqual(launch.result.exit_codes, [42] * 20,
                         launch.result.stdout)
        found = [Report(os.path.join(reports, n), windows=True)
                 for n in os.listdir(reports)]
        self.assertEqual(len(found), 20)
        self.assertTrue(all(r.complete for r in found))
        self.assertEqual(len({r.unpack_directory for r in found}), 20)
        self.assertEqual(len({r.parent_var for r in found}), 20)
        self.assertRemoved(launch)


if __name__ == "__main__":
    support.main()
