"""veskar-pack.exe, the packer for Windows, under Wine: it packs the same
bytes as the Linux packer for the same output name (the example application,
a tree with non-ASCII names, a non-ASCII application directory below a path
over 260 characters); list, verify and extract work on what it wrote; bad
inputs give one line, a non-zero exit and no output file.

Every Wine call goes through the Wine tests' helpers (winetest: scratch
current directory, the one prefix, headless, time-outs)."""

import os

import packtest
import support
import winetest
from packtest import make_tree, pack, read

WINDOWS_PACKER = os.environ.get("VESKAR_WINDOWS_PACKER", "")

# Options whose values reach the version record and the build values: the
# wide command line must arrive as the same UTF-8 the Linux packer gets.
OPTIONS = ["--product", "Gr\u00fc\u00dfe \u65e5\u672c", "--company",
           "\u0160koda & S\u00f8n", "--version", "2.3.4.5",
           "--unpack-dir", "{TEMP}\\\u00e9t\u00e9_{PID}_{TIME}"]

# Names outside ASCII in several scripts and planes, hidden-looking names,
# nested levels.
NON_ASCII_TREE = {
    "\u30a2\u30d7\u30ea.exe": b"MZ not really a program\n",
    "donn\u00e9es/\u00e9t\u00e9.txt": b"summer\n",
    "donn\u00e9es/Zeta.txt": b"last\n",
    "\u65e5\u672c/\u540d\u524d/\u30d5\u30a1\u30a4\u30eb.dat": bytes(range(256)) * 64,
    "\U0001f600/smile.bin": b"\x00" * 1000,
    ".hidden": b"dot\n",
    "caf\u00e9.TXT": b"",
}


def windows_pack(*args, timeout=300):
    """Runs veskar-pack.exe under Wine; paths in `args` that are Unix paths
    (start with '/') are given as Windows paths."""
    given = [winetest.to_windows(a) if isinstance(a, str) and
             a.startswith("/") else str(a) for a in args]
    result = winetest.wine([WINDOWS_PACKER] + given, timeout=timeout)
    result.out = result.stdout.decode("utf-8", "replace")
    result.err = result.stderr.decode("utf-8", "replace")
    return result


class WindowsPackerCase(winetest.WineTestCase, packtest.PackerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        support.require_files(support.setting("VESKAR_WINDOWS_PACKER"))

    def assertPacked(self, result):
        self.assertEqual(result.returncode, 0, result.out + result.err)

    def assertSameAsLinux(self, appdir, name, options, scratch):
        """Packs `appdir` with both packers into files named `name` in two
        folders of `scratch`; checks the bytes agree and gives the Windows
        packer's output."""
        linux_out = os.path.join(scratch, "linux", name)
        windows_out = os.path.join(scratch, "windows", name)
        os.makedirs(os.path.dirname(linux_out))
        os.makedirs(os.path.dirname(windows_out))
        pack("build", appdir, "-o", linux_out, "--quiet", *options)
        result = windows_pack("build", appdir, "-o", windows_out, *options)
        self.assertPacked(result)
        # Not a console: no progress, only the summary.
        self.assertEqual(result.err, "")
        self.assertRegex(result.out, r"^veskar-pack: wrote .*\n$")
        self.assertEqual(read(windows_out), read(linux_out),
                         "veskar-pack.exe wrote other bytes than veskar-pack")
        self.assertEqual(os.listdir(os.path.dirname(windows_out)), [name])
        return windows_out


class SameBytesTest(WindowsPackerCase):
    def test_example_packs_to_the_same_bytes(self):
        scratch = self.make_scratch()
        for threads in ("1", "3"):
            with self.subTest(threads=threads):
                self.assertSameAsLinux(
                    packtest.EXAMPLE_APP, "Example App.exe",
                    ["--threads", threads, "--product", "Veskar Example"],
                    os.path.join(scratch, threads))

    def test_many_compression_jobs_pack_the_same(self):
        """Tens of MB, more than one job of zstd's workers: the same bytes
        from veskar-pack.exe with 2 threads as from veskar-pack with 4."""
        scratch = self.make_scratch()
        appdir = os.path.join(scratch, "app")
        # Compressible, but not trivially: words in a pseudo-random order.
        words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta"]
        state, text = 1, bytearray()
        while len(text) < 48 << 20:
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            text += words[state % len(words)] + b" "
        make_tree(appdir, {"app.exe": b"MZ\n", "data/words.txt": bytes(text)})
        linux_out = os.path.join(scratch, "linux", "Big.exe")
        windows_out = os.path.join(scratch, "windows", "Big.exe")
        os.makedirs(os.path.dirname(linux_out))
        os.makedirs(os.path.dirname(windows_out))
        pack("build", appdir, "-o", linux_out, "--quiet", "--threads", "4")
        result = windows_pack("build", appdir, "-o", windows_out, "--quiet",
                              "--threads", "2")
        self.assertPacked(result)
        self.assertEqual(read(windows_out), read(linux_out))

    def test_path_spellings_pack_the_same(self):
        """'/' or '\\' between levels, a trailing separator, the \\?\\
        prefix: the same directory and output name, the same bytes."""
        scratch = self.make_scratch()
        expected = os.path.join(scratch, "linux", "Example.exe")
        os.makedirs(os.path.dirname(expected))
        pack("build", packtest.EXAMPLE_APP, "-o", expected, "--quiet")
        appdir = winetest.to_windows(packtest.EXAMPLE_APP)
        spellings = [
            ("slashes", appdir.replace("\\", "/") + "/", "/"),
            ("prefixed", "\\\\?\\" + appdir + "\\", "\\"),
        ]
        for what, given, separator in spellings:
            with self.subTest(what):
                out_dir = os.path.join(scratch, what)
                os.makedirs(out_dir)
                out = winetest.to_windows(out_dir)
                if what == "prefixed":
                    out = "\\\\?\\" + out
                out = out.replace("\\", separator) + separator + "Example.exe"
                result = windows_pack("build", given, "-o", out, "--quiet")
                self.assertEqual(result.returncode, 0, result.err)
                self.assertEqual(
                    read(os.path.join(out_dir, "Example.exe")), read(expected))

    def test_non_ascii_tree_round_trips(self):
        scratch = self.make_scratch()
        appdir = os.path.join(scratch, "app")
        make_tree(appdir, NON_ASCII_TREE)
        packed = self.assertSameAsLinux(appdir, "\u00c4pp \u65e5.exe",
                                        OPTIONS, scratch)

        # list prints what the Linux packer prints.
        listed = windows_pack("list", packed)
        self.assertEqual(listed.returncode, 0, listed.err)
        self.assertEqual(listed.stdout, pack("list", packed).stdout)
        self.assertIn("\u65e5\u672c\\\u540d\u524d\\\u30d5\u30a1\u30a4\u30eb.dat",
                      listed.out)

        verified = windows_pack("verify", packed)
        self.assertEqual(verified.returncode, 0, verified.err)
        self.assertIn(" is sound: 7 files", verified.out)

        # attach carries that container into the same image again, for
        # Windows and for Linux, as the Linux packer does.
        offset, size = packtest.container_place(packed)
        container = os.path.join(scratch, "payload.bin")
        with open(container, "wb") as f:
            f.write(read(packed)[offset:offset + size])
        for target in ("windows", "linux"):
            with self.subTest(attach=target):
                options = OPTIONS if target == "windows" else \
                    ["--target", "linux"]
                name = "\u00c4pp \u65e5.exe" if target == "windows" else "app"
                attached = os.path.join(scratch, "attach-" + target, name)
                expected = os.path.join(scratch, "attach-linux-" + target, name)
                os.makedirs(os.path.dirname(attached))
                os.makedirs(os.path.dirname(expected))
                result = windows_pack("attach", container, "-o", attached,
                                      "--quiet", *options)
                self.assertPacked(result)
                pack("attach", container, "-o", expected, "--quiet", *options)
                self.assertEqual(read(attached), read(expected))
                if target == "windows":
                    self.assertEqual(read(attached), read(packed))

        target = os.path.join(scratch, "new", "levels", "files")
        extracted = windows_pack("extract", packed, target)
        self.assertEqual(extracted.returncode, 0, extracted.err)
        self.assertEqual(support.read_tree(target), NON_ASCII_TREE)
        self.assertEqual(os.listdir(os.path.dirname(target)), ["files"])


class LongPathTest(WindowsPackerCase):
    def test_non_ascii_directory_below_a_long_path(self):
        scratch = self.make_scratch()
        # Each level well under 255 characters; together far over 260.
        deep = os.path.join(scratch, *(["\u00e4\u00f6\u00fc-" + "x" * 70] * 4))
        appdir = os.path.join(deep, "Ann\u00e9e \u65e5\u672c app")
        files = {"main.exe": b"MZ main\n",
                 ("d" * 100) + "/" + ("e" * 100) + ".txt": b"far down\n"}
        make_tree(appdir, files)
        self.assertGreater(len(winetest.to_windows(appdir)), 300)

        out_dir = os.path.join(deep, "out")
        packed = self.assertSameAsLinux(appdir, "Long.exe", [], out_dir)
        self.assertGreater(len(winetest.to_windows(packed)), 260)

        target = os.path.join(deep, "f" * 120, "files")
        extracted = windows_pack("extract", packed, target)
        self.assertEqual(extracted.returncode, 0, extracted.err)
        self.assertEqual(support.read_tree(target), files)
        verified = windows_pack("verify", packed)
        self.assertEqual(verified.returncode, 0, verified.err)


class BadInputTest(WindowsPackerCase):
    def test_bad_inputs_give_one_line_and_no_output(self):
        scratch = self.make_scratch()
        appdir = os.path.join(scratch, "app")
        make_tree(appdir, {"app.exe": b"MZ\n", "data/a.txt": b"a\n"})
        outside = os.path.join(scratch, "outside.txt")
        with open(outside, "wb") as f:
            f.write(b"not in the application directory\n")
        linked = os.path.join(scratch, "linked")
        make_tree(linked, {"app.exe": b"MZ\n"})
        os.symlink(outside, os.path.join(linked, "outside.txt"))
        not_icon = os.path.join(scratch, "icon.ico")
        with open(not_icon, "wb") as f:
            f.write(b"this is no icon file at all\n")
        cases = [
            # The message carries the name as UTF-8.
            ("missing APPDIR", [os.path.join(scratch, "\u65e5\u672c r\u00e9sum\u00e9")],
             "\\\u65e5\u672c r\u00e9sum\u00e9' cannot be opened", 1),
            ("bad option", [appdir, "--no-such-option", "1"],
             "is not an option of build", 2),
            ("bad level", [appdir, "--level", "99"], "--level", 2),
            ("bad icon", [appdir, "--icon", not_icon], "icon", 1),
            ("missing icon", [appdir, "--icon", not_icon + ".none"],
             "icon", 1),
            ("link to outside", [linked], "leads outside", 1),
        ]
        for what, args, says, status in cases:
            with self.subTest(what):
                out_dir = os.path.join(scratch, "out-" + what.replace(" ", "-"))
                os.makedirs(out_dir)
                result = windows_pack("build", *args, "-o",
                                      os.path.join(out_dir, "Out.exe"))
                self.assertEqual(result.returncode, status, result.err)
                self.assertEqual(result.out, "")
                lines = result.err.splitlines()
                self.assertEqual(len(lines), 1, result.err)
                self.assertTrue(lines[0].startswith("veskar-pack: "), lines)
                self.assertIn(says, lines[0])
                self.assertEqual(os.listdir(out_dir), [])

    def test_a_failed_extract_removes_the_folders_it_made(self):
        """extract makes the missing folders above DIR; when the payload
        turns out damaged, every folder it made goes again, the deepest
        first, and a folder that was there before stays."""
        scratch = self.make_scratch()
        appdir = os.path.join(scratch, "app")
        make_tree(appdir, {"Main.exe": b"MZ main", "d/x.txt": b"x"})
        bad = os.path.join(scratch, "bad.exe")
        pack("build", appdir, "-o", bad, "--quiet")
        data = bytearray(read(bad))
        offset, size = packtest.container_place(bad)
        data[offset + size // 2] ^= 0x5A
        with open(bad, "wb") as f:
            f.write(data)
        places = os.path.join(scratch, "places")
        os.makedirs(os.path.join(places, "kept"))
        # (DIR below `places`, with the separators Windows takes)
        for relative in ("new\\into", "new/one\\two/into",
                         "kept\\new\\into"):
            with self.subTest(dir=relative):
                into = winetest.to_windows(places) + "\\" + relative
                result = windows_pack("extract", bad, into)
                self.assertEqual(result.returncode, 1, result.err)
                self.assertEqual(sorted(os.listdir(places)), ["kept"])
                self.assertEqual(os.listdir(os.path.join(places, "kept")), [])

    def test_only_a_regular_file_at_the_output_is_replaced(self):
        scratch = self.make_scratch()
        appdir = os.path.join(scratch, "app")
        make_tree(appdir, {"app.exe": b"MZ\n"})
        out_dir = os.path.join(scratch, "out")
        os.makedirs(os.path.join(out_dir, "Taken.exe", "inside"))
        with open(os.path.join(scratch, "target.exe"), "wb") as f:
            f.write(b"the link's target\n")
        os.symlink(os.path.join(scratch, "target.exe"),
                   os.path.join(out_dir, "Link.exe"))
        before = sorted(os.listdir(out_dir))
        for output, says in [(os.path.join(out_dir, "Taken.exe"),
                              "is a directory"),
                             (os.path.join(out_dir, "Link.exe"),
                              "is a symbolic link"),
                             ("NUL", "is a device")]:
            with self.subTest(output=output):
                result = windows_pack("build", appdir, "-o", output)
                self.assertEqual(result.returncode, 1, result.err)
                self.assertEqual(len(result.err.splitlines()), 1, result.err)
                self.assertIn(says, result.err)
                self.assertEqual(sorted(os.listdir(out_dir)), before)
        self.assertEqual(os.listdir(os.path.join(out_dir, "Taken.exe")),
                         ["inside"])
        self.assertEqual(read(os.path.join(scratch, "target.exe")),
                         b"the link's target\n")

        # A regular file there is replaced.
        with open(os.path.join(out_dir, "Old.exe"), "wb") as f:
            f.write(b"old\n")
        result = windows_pack("build", appdir, "-o",
                              os.path.join(out_dir, "Old.exe"))
        self.assertEqual(result.returncode, 0, result.err)
        self.assertEqual(read(os.path.join(out_dir, "Old.exe"))[:2], b"MZ")


class InterruptTest(WindowsPackerCase):
    def test_ctrl_c_removes_the_temporary_output(self):
        scratch = self.make_scratch()
        appdir = os.path.join(scratch, "app")
        # Enough incompressible bytes that packing is still going when the
        # temporary file appears.
        make_tree(appdir, {"app.exe": b"MZ\n",
                           "big.bin": os.urandom(32 << 20)})
        out_dir = os.path.join(scratch, "out")
        os.makedirs(out_dir)
        out = os.path.join(out_dir, "Out.exe")
        command = (f'"{winetest.to_windows(WINDOWS_PACKER)}" build '
                   f'"{winetest.to_windows(appdir)}" -o '
                   f'"{winetest.to_windows(out)}" --level 19 --threads 1')
        result = winetest.harness(
            WINDOWS_PACKER, command_line=command,
            ctrl_c_when=winetest.to_windows(out_dir) + "\\.Out.exe.tmp-*",
            timeout_ms=120000)
        self.assertFalse(result.timed_out, result.stdout)
        # It ended because of the Ctrl+C (with Wine's exit code for it).
        self.assertIsNotNone(result.ctrl_c_ms, result.stdout)
        self.assertTrue(support.eventually(lambda: os.listdir(out_dir) == [],
                                           30), os.listdir(out_dir))


if __name__ == "__main__":
    support.main()
