"""veskar-pack's commands on the Linux side: the list / extract / verify
round trip, damage that verify must find, repeatable output, the rule for
links and special files, the choice of the main program, and every bad
input: one line, a non-zero status, and nothing at OUT."""

import glob
import hashlib
import json
import os
import random
import re
import resource
import shutil
import signal
import stat
import string
import struct
import subprocess
import tempfile
import time

import container
import packtest
import support
from packtest import pack, read

# Names that sort differently as UTF-16 units and as UTF-8 bytes ('\uff21'
# before the astral character in UTF-16, after it in UTF-8), and as '\' vs
# '/' separators ("a-b" and "a\b").
TREE = {
    "Main.exe": b"MZ main program" * 1000,
    "a-b.txt": b"dash",
    "a/b.txt": b"slash",
    "data/empty.bin": b"",
    "data/zeros.bin": b"\0\0" * 5000,
    "data/random.bin": os.urandom(3 << 20),
    "data/nested/deeper/note.txt": b"a note\r\n",
    "gr\u00fc\u00dfe/\u65e5\u672c.txt": "\u65e5\u672c".encode("utf-8"),
    "\uff21.txt": b"fullwidth",
    "\U0001F600.txt": b"astral",
    ".hidden": b"hidden files go in too",
    "bin/start.sh": b"#!/bin/sh\nexit 0\n",
}


def listed(out):
    """[(size, name)] of list's record lines."""
    records = []
    for line in out.splitlines():
        m = re.match(r"^\s*(\d+)  (.*)$", line)
        if m:
            records.append((int(m.group(1)), m.group(2)))
    return records


def archive_order(names, main="Main.exe"):
    """Main first, then by UTF-16 code units of the backslashed name."""
    rest = sorted((n for n in names if n != main),
                  key=lambda n: n.replace("/", "\\").encode("utf-16-be"))
    return [main] + rest


class RoundTripTest(packtest.PackerTestCase):
    def setUp(self):
        base = self.make_scratch()
        self.app = os.path.join(base, "app")
        packtest.make_tree(self.app, TREE)
        # A link to a file inside the tree is stored as that file.
        os.symlink("data/nested/deeper/note.txt",
                   os.path.join(self.app, "note-link.txt"))
        self.expected = dict(TREE)
        self.expected["note-link.txt"] = TREE["data/nested/deeper/note.txt"]
        self.base = base

    def test_list_extract_verify(self):
        for target, main in (("windows", None), ("linux", "bin/start.sh")):
            with self.subTest(target=target):
                out = os.path.join(self.base, f"app-{target}.bin")
                args = ["build", self.app, "-o", out, "--target", target,
                        "--quiet"]
                if main:
                    args += ["--main", main]
                pack(*args)
                result = pack("list", out)
                records = listed(result.out)
                self.assertEqual([n.replace("\\", "/") for _, n in records],
                                 archive_order(self.expected,
                                               main or "Main.exe"))
                self.assertEqual({n.replace("\\", "/"): s for s, n in records},
                                 {n: len(d) for n, d in self.expected.items()})
                total = sum(len(d) for d in self.expected.values())
                _, size = packtest.container_place(out)
                self.assertIn(f"{len(self.expected)} files, {total} bytes",
                              result.out)
                self.assertIn(f"compressed into {size} bytes", result.out)
                target_dir = os.path.join(self.base, f"x-{target}")
                pack("extract", out, target_dir, "--quiet")
                self.assertEqual(support.read_tree(target_dir), self.expected)
                self.assertFalse(os.path.islink(
                    os.path.join(target_dir, "note-link.txt")))
                # Every file may be a program to start, as the Linux
                # launcher makes them: 0755 less the umask.
                umask = os.umask(0)
                os.umask(umask)
                for name in self.expected:
                    mode = os.stat(os.path.join(target_dir, name)).st_mode
                    self.assertEqual(stat.S_IMODE(mode), 0o755 & ~umask, name)
                verified = pack("verify", out)
                self.assertIn("is sound", verified.out)

    def test_extract_refuses_a_used_directory_and_keeps_it(self):
        out = os.path.join(self.base, "app.exe")
        pack("build", self.app, "-o", out, "--quiet")
        used = os.path.join(self.base, "used")
        packtest.make_tree(used, {"keep.txt": b"mine"})
        result = pack("extract", out, used, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("is not empty", result.err)
        self.assertEqual(support.read_tree(used), {"keep.txt": b"mine"})
        # An empty one is fine.
        empty = os.path.join(self.base, "empty")
        os.mkdir(empty)
        pack("extract", out, empty, "--quiet")
        self.assertEqual(support.read_tree(empty), self.expected)

    def test_extract_named_files(self):
        """Only the named records are written, whichever separator names
        them; a name the package does not hold (a directory, another case,
        a typo) writes nothing at all."""
        cases = [
            # (names asked for, files expected, or None: refused)
            (["data/nested/deeper/note.txt"], ["data/nested/deeper/note.txt"]),
            (["data\\nested\\deeper\\note.txt", ".hidden"],
             ["data/nested/deeper/note.txt", ".hidden"]),
            (["Main.exe", "\uff21.txt", "gr\u00fc\u00dfe/\u65e5\u672c.txt"],
             ["Main.exe", "\uff21.txt", "gr\u00fc\u00dfe/\u65e5\u672c.txt"]),
            # the same file twice is the one file
            (["a/b.txt", "a\\b.txt"], ["a/b.txt"]),
            (["data"], None),
            (["main.exe"], None),
            (["a-b.txt", "no-such.txt"], None),
        ]
        for target, main in (("windows", None), ("linux", "bin/start.sh")):
            out = os.path.join(self.base, f"named-{target}.bin")
            args = ["build", self.app, "-o", out, "--target", target, "-q"]
            if main:
                args += ["--main", main]
            pack(*args)
            for i, (names, files) in enumerate(cases):
                with self.subTest(target=target, names=names):
                    into = os.path.join(self.base, f"named-{target}-{i}",
                                        "into")
                    result = pack("extract", out, into, *names, check=False)
                    if files is None:
                        self.assertEqual(result.returncode, 1, result.err)
                        self.assertIn("the package holds no file", result.err)
                        self.assertEqual(result.err.count("\n"), 1)
                        self.assertFalse(os.path.lexists(
                            os.path.dirname(into)))
                        continue
                    self.assertEqual(result.returncode, 0, result.err)
                    self.assertIn(f"of {len(self.expected)} ", result.out)
                    self.assertEqual(support.read_tree(into),
                                     {f: self.expected[f] for f in files})



def depfile_rule(text):
    """(target, [inputs]) of a Make rule, read as Make and Ninja read it:
    '\\' and a line break continue the line; '$$' and '\\#' stand for '$'
    and '#'; 2N+1 backslashes and a space or tab stand for N backslashes
    and that character. An even run of backslashes before a space or tab,
    or more than one before '#', fails the test: Make and Ninja read them
    differently. (Ninja reads a backslash and a tab as themselves.)"""
    words, word, i = [], "", 0
    text = text.replace("\\\n", " ")
    while i < len(text):
        c = text[i]
        run = len(text[i:]) - len(text[i:].lstrip("\\"))
        after = text[i + run:i + run + 1]
        if run and after in (" ", "\t"):
            if run % 2 == 0:
                raise AssertionError(f"{run} backslashes before {after!r}")
            word += "\\" * (run // 2) + after
            i += run + 1
            continue
        if run and after == "#":
            if run != 1:
                raise AssertionError(f"{run} backslashes before '#'")
            word += "#"
            i += run + 1
            continue
        if run:
            word += "\\" * run
            i += run
            continue
        if c == "$" and text[i + 1:i + 2] == "$":
            word += "$"
            i += 2
            continue
        if c in " \t\n":
            if word:
                words.append(word)
            word = ""
        else:
            word += c
        i += 1
    if word:
        words.append(word)
    target = words[0]
    if target.endswith(":"):
        return target[:-1], words[1:]
    return target, words[2:]


class DepfileTest(packtest.PackerTestCase):
    def test_depfile_names_every_input(self):
        base = self.make_scratch()
        app = os.path.join(base, "my app")
        packtest.make_tree(app, {"Main.exe": b"MZ", "a b/c#d.txt": b"1",
                                 "cost$/x.txt": b"2", "e/f/g.txt": b"3"})
        os.symlink("e/f/g.txt", os.path.join(app, "link.txt"))
        # A tab in a path is escaped as a space is: unescaped, it would end
        # the word. So is a space after a backslash, which is doubled.
        icon = os.path.join(base, "an icon\tfile\\ #1.ico")
        with open(icon, "wb") as f:
            f.write(packtest.ico([(16, packtest.png(16, 16, (1, 2, 3, 255)))]))
        out = os.path.join(base, "out put.exe")
        depfile = os.path.join(base, "out.d")
        pack("build", app, "-o", out, "--depfile", depfile, "--icon", icon,
             "--quiet")
        with open(depfile) as f:
            target, inputs = depfile_rule(f.read())
        self.assertEqual(target, out)
        directories = ["", "a b", "cost$", "e", "e/f"]
        files = ["Main.exe", "a b/c#d.txt", "cost$/x.txt", "e/f/g.txt",
                 "link.txt"]
        self.assertEqual(
            sorted(inputs),
            sorted([os.path.join(app, d).rstrip("/") for d in directories] +
                   [os.path.join(app, f) for f in files] + [icon]))
        self.assertEqual(stat.S_IMODE(os.stat(depfile).st_mode) & 0o111, 0)

        # A build that fails writes no depfile and leaves the last one.
        with open(depfile, "w") as f:
            f.write("old\n")
        for bad in (["--icon", os.path.join(base, "missing.ico")],
                    ["--main", "nothing.exe"]):
            with self.subTest(bad=bad):
                result = pack("build", app, "-o", out + ".new", "--depfile",
                              depfile, *bad, check=False)
                self.assertEqual(result.returncode, 1, result.err)
                self.assertEqual(read(depfile), b"old\n")
                self.assertEqual(
                    [n for n in os.listdir(base) if n.startswith(".")], [])


class DamageTest(packtest.PackerTestCase):
    """verify and extract read the whole container and fail on any damage,
    extract leaving nothing behind; list reads the index, the header and the
    tail, and fails on damage there."""

    def test_damaged_bytes_are_found(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": os.urandom(200000),
                                 "b.txt": b"text " * 20000})
        good = os.path.join(base, "good.exe")
        pack("build", app, "-o", good, "--quiet")
        data = read(good)
        offset, size = packtest.container_place(good)
        # The container is "VEY", the index (a skippable frame) and one
        # zstd frame: its magic, then the frame header descriptor, whose
        # bit 2 says a content checksum closes the frame, right in front of
        # the tail's ten bytes.
        frame = offset + 3
        self.assertEqual(data[frame:frame + 4], b"\x5e\x2a\x4d\x18")
        frame += 8 + struct.unpack_from("<I", data, frame + 4)[0]
        self.assertEqual(data[frame:frame + 4], b"\x28\xb5\x2f\xfd")
        self.assertTrue(data[frame + 4] & 0x04,
                        "the frame carries no content checksum")
        # (what, where, message, whether only decoding finds it: list,
        # which decodes nothing of an indexed package, does not)
        cases = [
            ("a byte inside the frame", offset + size // 2,
             "compressed data is damaged", True),
            ("the checksum at the frame's end", offset + size - 11,
             "compressed data is damaged", True),
            ("the tail's count", offset + size - 3, "tail is damaged", False),
            ("the tail's zero bytes", offset + size - 10, "tail is damaged",
             False),
            ("the compression byte", offset + 2, "unknown compression",
             False),
        ]
        for what, at, message, decoded in cases:
            with self.subTest(damage=what):
                bad = os.path.join(base, "bad.exe")
                damaged = bytearray(data)
                damaged[at] ^= 0x5A
                with open(bad, "wb") as f:
                    f.write(damaged)
                self.assertEqual(pack("list", bad, check=decoded)
                                 .returncode, 0 if decoded else 1)
                for command in ("verify", "list")[:1 if decoded else 2]:
                    result = pack(command, bad, check=False)
                    self.assertEqual(result.returncode, 1, command)
                    self.assertIn(message, result.err, command)
                    self.assertIn(": the package is damaged: ", result.err)
                    self.assertEqual(len(result.err.strip().splitlines()), 1)
                into = os.path.join(base, "into")
                result = pack("extract", bad, into, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertFalse(os.path.exists(into))
                self.assertEqual(glob.glob(os.path.join(base, ".into*")), [])

    def test_files_that_are_not_packed(self):
        """Every kind of file that is no package gets one message; a package
        cut short gets the other, that it is damaged."""
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": os.urandom(100000)})
        windows = os.path.join(base, "package.exe")
        pack("build", app, "-o", windows, "--quiet")
        w_offset, w_size = packtest.container_place(windows)
        not_package = "not a package made by veskar-pack"
        damaged = "the package is damaged"
        cases = [
            ("text", b"just text\n", not_package),
            ("short", b"MZ", not_package),
            ("empty", b"", not_package),
            ("Linux launcher alone", read(packtest.LINUX_STUB), not_package),
            ("Windows launcher alone", read(packtest.WINDOWS_STUB),
             not_package),
            ("a Windows program", read(os.path.join(packtest.EXAMPLE_APP,
                                                    "veskar-example.exe")),
             not_package),
            ("a Linux program", read("/bin/ls"), not_package),
            ("Windows package cut in its payload",
             read(windows)[:w_offset + w_size // 2], damaged),
            ("Windows package cut at its payload's start",
             read(windows)[:w_offset + 1], damaged),
        ]
        for name, data, message in cases:
            with self.subTest(file=name):
                path = os.path.join(base, "file")
                with open(path, "wb") as f:
                    f.write(data)
                for command in ("verify", "list"):
                    result = pack(command, path, check=False)
                    self.assertEqual(result.returncode, 1)
                    self.assertTrue(result.err.startswith(
                        f"veskar-pack: {path}: {message}"), result.err)
                    self.assertEqual(len(result.err.splitlines()), 1)



class IndexTest(packtest.PackerTestCase):
    """build writes an index of its frames and records in front of them;
    verify, list and extract check it against the stream, and an index that
    disagrees with it, even one that is sound on its own, is damage."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.base = tempfile.mkdtemp(prefix="veskar-index-")
        app = os.path.join(cls.base, "app")
        rng = random.Random(19)
        # Over 16 MiB of archive stream: at least two frames at the
        # default level.
        packtest.make_tree(app, {
            "Main.exe": bytes(rng.getrandbits(8) for _ in range(300000)),
            "a.txt": b"alpha " * 1000,
            "b.txt": b"bravo " * 2000,
            "data/big.bin": b"".join(b"%08d\n" % i for i in range(2000000)),
        })
        cls.package = os.path.join(cls.base, "good.exe")
        pack("build", app, "-o", cls.package, "--quiet")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.base, ignore_errors=True)
        super().tearDownClass()

    def index(self, data):
        offset, size = packtest.container_place(self.package)
        return offset, size, container.read_index(data, offset + 3)

    def test_the_index_lists_the_frames_and_records(self):
        data = read(self.package)
        offset, size, index = self.index(data)
        self.assertIsNotNone(index, "build wrote no index")
        self.assertEqual(index["format"], 2)
        # The record table is packed, and declares its unpacked size.
        self.assertEqual(len(index["table"]), index["table_size"])
        self.assertLess(index["packed"], index["table_size"])
        self.assertGreaterEqual(len(index["frames"]), 2)
        # The frames follow the index back to back up to the tail, each a
        # zstd frame whose header says its content size.
        at = index["end"]
        for frame in index["frames"]:
            self.assertEqual(data[at:at + 4], b"\x28\xb5\x2f\xfd")
            at += frame["compressed"]
        self.assertEqual(at, offset + size - 10)
        self.assertEqual(sum(f["decompressed"] for f in index["frames"]),
                         index["stream"])
        listing = json.loads(pack("list", self.package, "--json").out)
        self.assertEqual([(r["name"].replace("/", "\\"), r["size"])
                          for r in listing["records"]],
                         [(r["name"], r["size"]) for r in index["records"]])
        place = 0
        for record in index["records"]:
            self.assertEqual(record["offset"], place)
            place += 2 * len(record["name"]) + 2 + 8 + record["size"]
        self.assertEqual(place + 2, index["stream"])

    def test_a_forged_index_is_damage(self):
        # Each forgery takes the container and its index and gives the
        # forged container, which attach puts into a package: a forged
        # record table is packed again, so the index is sound on its own.
        def forge_name(data, index):
            table = index["table"]
            table[index["records"][1]["at"] + 2] = ord("x")  # "a.txt"'s "a"
            return container.repack_index_table(data, index, table)

        def swap_sizes(data, index):
            # a.txt and b.txt trade sizes; b.txt's offset follows, so the
            # index is sound on its own.
            table = index["table"]
            a, b = index["records"][1], index["records"][2]
            struct.pack_into("<Q", table, a["size_at"], b["size"])
            struct.pack_into("<Q", table, b["size_at"], a["size"])
            struct.pack_into("<Q", table, b["offset_at"],
                             a["offset"] + 2 * len(a["name"]) + 10 +
                             b["size"])
            return container.repack_index_table(data, index, table)

        def move_frame_byte(data, index, field):
            first, second = index["frames"][0], index["frames"][1]
            at = 0 if field == "compressed" else 8
            struct.pack_into("<Q", data, first["at"] + at, first[field] + 1)
            struct.pack_into("<Q", data, second["at"] + at, second[field] - 1)
            return data

        def count_one_more(data, index):
            struct.pack_into("<I", data, index["counts_at"] + 4,
                             len(index["records"]) + 1)
            return data

        def garbage_table(data, index):
            at = index["packed_at"] + 4  # behind the frame's magic
            data[at:at + index["packed"] - 4] = b"\xa5" * (index["packed"] - 4)
            return data

        def declare_one_more(data, index):
            struct.pack_into("<Q", data, index["table_size_at"],
                             index["table_size"] + 1)
            return data

        def table_with_a_byte_more(data, index):
            # A table sound but for its size, declared as it is.
            return container.repack_index_table(data, index,
                                                index["table"] + b"\0")

        # The first four are sound on their own: only decoding shows them,
        # and list, which reads the index alone, lists what it says.
        cases = [
            ("a forged name", forge_name,
             "record 2 is 'a.txt' of 6000 bytes, but the index says "
             "'x.txt' of 6000 bytes"),
            ("forged sizes", swap_sizes,
             "record 2 is 'a.txt' of 6000 bytes, but the index says "
             "'a.txt' of 12000 bytes"),
            ("a forged frame size",
             lambda d, i: move_frame_byte(d, i, "compressed"),
             "the index disagrees with the archive: frame 1 is "),
            ("a forged decoded size",
             lambda d, i: move_frame_byte(d, i, "decompressed"),
             "the index disagrees with the archive: frame 1 is "),
            ("one record more than it holds", count_one_more,
             "the index's records run past its end"),
            ("a record table that does not decode", garbage_table,
             "the index's record table does not decode as one zstd frame"),
            ("a table size declared one byte over", declare_one_more,
             "the index's record table decodes to a size other than "
             "declared"),
            ("a byte after the last record", table_with_a_byte_more,
             "the index holds bytes after its last record"),
        ]
        good = read(self.package)
        offset, size = packtest.container_place(self.package)
        for number, (what, forge, message) in enumerate(cases):
            with self.subTest(forged=what):
                data = bytearray(good[offset:offset + size])
                forged = forge(data, container.read_index(data, 3))
                blob = os.path.join(self.base, "container")
                with open(blob, "wb") as f:
                    f.write(forged)
                bad = os.path.join(self.base, "bad.exe")
                pack("attach", blob, "-o", bad, "--quiet")
                sound_alone = number < 4
                if sound_alone:
                    pack("list", bad)
                for command in ("verify", "list")[:1 if sound_alone else 2]:
                    result = pack(command, bad, check=False)
                    self.assertEqual(result.returncode, 1, command)
                    self.assertIn(": the package is damaged: ", result.err)
                    self.assertIn(message, result.err, command)
                    self.assertEqual(len(result.err.strip().splitlines()), 1)
                into = os.path.join(self.base, "into")
                result = pack("extract", bad, into, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.err)
                self.assertFalse(os.path.exists(into))
                self.assertEqual(
                    glob.glob(os.path.join(self.base, ".into*")), [])

    def test_long_distance_matching_keeps_one_frame(self):
        app = os.path.join(self.base, "small")
        packtest.make_tree(app, {"Main.exe": b"main " * 1000})
        out = os.path.join(self.base, "long.exe")
        pack("build", app, "-o", out, "--long", "--quiet")
        data = read(out)
        offset, size = packtest.container_place(out)
        index = container.read_index(data, offset + 3)
        self.assertEqual(len(index["frames"]), 1)
        self.assertEqual(index["end"] + index["frames"][0]["compressed"],
                         offset + size - 10)
        pack("verify", out, "--quiet")

class ReadingByTheIndexTest(packtest.PackerTestCase):
    """With a sound index, list decodes nothing, extract NAME decodes only
    the frames that hold the named files (each whole, with its checksum,
    and each named record's head compared with the index), and verify
    decodes every frame, several at once. The packages carry containers of
    the independent writer (tests/pysupport), cut into small frames."""

    RECORDS = [("Main.exe", random.Random(1).randbytes(30000)),
               ("a.txt", b"alpha " * 10),
               ("b\\c.bin", random.Random(2).randbytes(30000)),
               ("z.txt", b"zulu" * 10)]
    FRAMES = 6

    def setUp(self):
        self.base = self.make_scratch()

    def package(self, name, damaged=(), listed=None):
        """A package of RECORDS in FRAMES frames behind an index listing
        `listed` (default: the records as they are), and its index; each
        frame numbered (from 0) in `damaged` has a byte in its middle
        changed."""
        data = bytearray(container.container(
            self.RECORDS, (True,) * self.FRAMES, index=True, listed=listed))
        index = container.read_index(data, 3)
        at = index["end"]
        for number, frame in enumerate(index["frames"]):
            if number in damaged:
                data[at + frame["compressed"] // 2] ^= 0x5A
            at += frame["compressed"]
        blob = os.path.join(self.base, name + ".container")
        with open(blob, "wb") as f:
            f.write(data)
        out = os.path.join(self.base, name + ".exe")
        pack("attach", blob, "-o", out, "--quiet")
        return out, index

    @staticmethod
    def frames_of(index, name):
        """The numbers (from 0) of the frames that hold record `name`, its
        head and its data."""
        record = next(r for r in index["records"] if r["name"] == name)
        start = record["offset"]
        end = start + 2 * len(name) + 10 + record["size"]
        held, at = set(), 0
        for number, frame in enumerate(index["frames"]):
            if at < end and start < at + frame["decompressed"]:
                held.add(number)
            at += frame["decompressed"]
        return held

    def assert_damaged(self, result, path, message):
        self.assertEqual(result.returncode, 1, result.err)
        self.assertEqual(result.err, f"veskar-pack: {path}: the package is "
                                     f"damaged: {message}\n")

    def test_list_decodes_nothing_and_verify_checks(self):
        good, _ = self.package("good")
        # Every frame damaged: list shows the same as for the sound
        # package, as it reads the index alone.
        bad, _ = self.package("bad", damaged=range(self.FRAMES))
        for extra in ((), ("--json",)):
            self.assertEqual(pack("list", bad, *extra).out,
                             pack("list", good, *extra).out)
        # verify decodes everything, on any number of threads, and names
        # the damage as a front-to-back reading does: here a frame in the
        # middle.
        middle, _ = self.package("middle", damaged={3})
        for threads in ("1", "2", "4"):
            with self.subTest(threads=threads):
                self.assertIn("is sound",
                              pack("verify", good, "--threads", threads).out)
                self.assert_damaged(
                    pack("verify", middle, "--threads", threads, check=False),
                    middle, "the compressed data is damaged (Restored data "
                    "doesn't match checksum)")

    def test_extract_decodes_only_the_frames_of_the_named_files(self):
        _, index = self.package("probe")
        of_a = self.frames_of(index, "a.txt")
        of_z = self.frames_of(index, "z.txt")
        self.assertGreater(len(of_a), 1, "a.txt should straddle two frames")
        # A frame that holds neither file.
        other = min(set(range(self.FRAMES)) - of_a - of_z)
        data = dict(self.RECORDS)
        # (what, damaged frames, names, whether extract succeeds)
        cases = [
            ("another file's frame", {other}, ["a.txt"], True),
            ("another file's frame, two names", {other}, ["z.txt", "a.txt"],
             True),
            ("the file's first frame", {min(of_a)}, ["a.txt"], False),
            ("the file's last frame", {max(of_a)}, ["a.txt"], False),
            ("the second name's frame", {max(of_z)}, ["a.txt", "z.txt"],
             False),
        ]
        for number, (what, damaged, names, works) in enumerate(cases):
            with self.subTest(damaged=what):
                bad, _ = self.package(f"bad{number}", damaged=damaged)
                into = os.path.join(self.base, f"into{number}")
                result = pack("extract", bad, into, *names, check=False)
                if works:
                    self.assertEqual(result.returncode, 0, result.err)
                    self.assertEqual(support.read_tree(into),
                                     {n: data[n] for n in names})
                else:
                    self.assert_damaged(
                        result, bad, "the compressed data is damaged "
                        "(Restored data doesn't match checksum)")
                    self.assertFalse(os.path.exists(into))
                self.assertEqual(
                    glob.glob(os.path.join(self.base, ".into*")), [])

    def test_a_head_other_than_listed_is_refused(self):
        # The index, sound on its own, lists another name or size for
        # a.txt than its head in the stream says. The first frame, which
        # does not hold a.txt, is damaged too: extract a.txt never decodes
        # it, so the disagreement is what it finds.
        a = len(b"alpha " * 10)
        sizes = {name: len(d) for name, d in self.RECORDS}
        cases = [
            ("a forged name", [("x.txt", a)], "x.txt",
             "record 2 is 'a.txt' of 60 bytes, but the index says "
             "'x.txt' of 60 bytes"),
            ("a forged size", [("a.txt", a + 1), ("b\\c.bin", 29999)],
             "a.txt",
             "record 2 is 'a.txt' of 60 bytes, but the index says "
             "'a.txt' of 61 bytes"),
        ]
        for number, (what, forged, name, message) in enumerate(cases):
            with self.subTest(forged=what):
                listed = dict(sizes)
                listed.update(forged)
                order = [n for n, _ in self.RECORDS]
                if forged[0][0] not in sizes:
                    order[1] = forged[0][0]
                    del listed["a.txt"]
                listing = [(n, listed[n]) for n in order]
                bad, index = self.package(f"forged{number}", damaged={0},
                                          listed=listing)
                self.assertNotIn(0, self.frames_of(index, name))
                into = os.path.join(self.base, f"into{number}")
                self.assert_damaged(
                    pack("extract", bad, into, name, check=False), bad,
                    "the index disagrees with the archive: " + message)
                self.assertFalse(os.path.exists(into))
                self.assertEqual(
                    glob.glob(os.path.join(self.base, ".into*")), [])
                # verify, on several threads, finds it as well; without the
                # damaged frame it is the first fault.
                sound, _ = self.package(f"forged-sound{number}",
                                        listed=listing)
                self.assert_damaged(
                    pack("verify", sound, "--threads", "3", check=False),
                    sound, "the index disagrees with the archive: " + message)


class HostileNamesTest(packtest.PackerTestCase):
    """Containers written by another tool (tests/pysupport), with names no
    packer of ours writes: verify, list and extract refuse them, and extract
    writes nothing anywhere."""

    def test_unsafe_names_are_refused(self):
        base = self.make_scratch()
        cases = [
            ("..\\escape.txt", "would lead outside"),
            ("a\\..\\..\\escape.txt", "would lead outside"),
            ("\\escape.txt", "would lead outside"),
            ("a\\\\b", "has an empty level"),
            (". .\\x", "would lead outside"),
            ("a/../../escape.txt", "holds '/'"),
            ("lone\udc00", "not valid UTF-16"),
            ("C:escape.txt", "holds ':'"),
            ("NUL.txt", "names a Windows device"),
        ]
        for name, message in cases:
            with self.subTest(name=name):
                blob = os.path.join(base, "container")
                with open(blob, "wb") as f:
                    f.write(container.container([("main.exe", b"MZ"),
                                                 (name, b"evil")]))
                packed = os.path.join(base, "packed.exe")
                pack("attach", blob, "-o", packed, "--quiet")
                for command in ("verify", "list"):
                    result = pack(command, packed, check=False)
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(message, result.err)
                into = os.path.join(base, "into")
                result = pack("extract", packed, into, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertFalse(os.path.exists(into))
                self.assertEqual(sorted(os.listdir(base)),
                                 ["container", "packed.exe"])


def generated_text(size, seed):
    """`size` bytes of text made of words drawn at random from a few
    thousand: zstd finds short matches everywhere but no long repeats, so
    the data compresses to about a third and takes real work."""
    rng = random.Random(seed)
    words = ["".join(rng.choices(string.ascii_lowercase, k=rng.randint(2, 11)))
             for _ in range(5000)]
    # Words average 7.5 bytes with their space: more than `size` bytes.
    return " ".join(rng.choices(words, k=size // 6)).encode()[:size]


class MessageTextTest(packtest.PackerTestCase):
    """A name or path in a message or a listing line keeps every character
    but shows each control character (C0, DEL, C1), and each byte that is
    not UTF-8, as \\xNN: the line stays one line and sends nothing to the
    terminal. The backslash stays as it is."""

    def assertShownLines(self, data, count):
        """`data` is `count` lines of valid UTF-8 free of control bytes."""
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            self.fail(f"not UTF-8: {e}: {data!r}")
        self.assertEqual(text.count("\n"), count, text)
        self.assertIsNone(re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f]", text),
                          text)

    def test_names_and_paths_in_messages(self):
        base = self.make_scratch().encode()

        def app(name):
            root = os.path.join(base, b"app-%d" % len(os.listdir(base)))
            os.makedirs(root)
            for relative in (b"Main.exe", name):
                with open(os.path.join(root, relative), "wb") as f:
                    f.write(b"MZ")
            return os.fsdecode(root)

        out = os.fsdecode(os.path.join(base, b"o.exe"))
        odd = os.fsdecode(os.path.join(base, b"odd \x1b[2J\nname\xff"))
        junk = os.path.join(base, "junk\u009b.exe".encode())
        with open(junk, "wb") as f:
            f.write(b"not a program")
        cases = [
            ("control characters in a name the Windows launcher refuses",
             ["build", app(b"a\x1b]0;t\x07b\nc.txt"), "-o", out],
             r"the name 'a\x1b]0;t\x07b\x0ac.txt' holds a control character"),
            ("a name that is not UTF-8",
             ["build", app(b"bad\xff\x1b.txt"), "-o", out],
             r"the name 'bad\xff\x1b.txt' is not valid UTF-8"),
            ("a path argument",
             ["verify", odd],
             r"odd \x1b[2J\x0aname\xff': no such file or directory"),
            ("a path argument in a payload error",
             ["list", os.fsdecode(junk)], r"junk\x9b.exe"),
        ]
        for what, args, shown in cases:
            with self.subTest(case=what):
                result = pack(*args, check=False)
                self.assertEqual(result.returncode, 1, result.err)
                self.assertShownLines(result.stderr, 1)
                self.assertIn(shown, result.err)

    def test_listing_and_summary_lines(self):
        """The name rules let DEL and the C1 controls (CSI among them) into a
        package for either launcher; a listing shows them escaped. The
        summary lines of build, extract and verify name their paths the
        same way."""
        base = self.make_scratch()
        blob = os.path.join(base, "container")
        with open(blob, "wb") as f:
            f.write(container.container([
                ("main.exe", b"MZ"), ("csi\u009b2J\\x", b"1"),
                ("del\x7f\u00e9", b"22")]))
        out = os.path.join(base, "out \x1b[1m\n.exe")
        built = pack("attach", blob, "-o", out)
        self.assertShownLines(built.stdout, 1)
        self.assertIn("wrote " + base + "/out \\x1b[1m\\x0a.exe (", built.out)
        listing = pack("list", out)
        # The records, the summary, the target and the unpack-directory
        # template.
        self.assertShownLines(listing.stdout, 6)
        self.assertEqual([n for _, n in listed(listing.out)],
                         ["main.exe", "csi\\x9b2J\\x", "del\\x7f\u00e9"])
        verified = pack("verify", out)
        self.assertShownLines(verified.stdout, 1)
        self.assertIn("out \\x1b[1m\\x0a.exe is sound", verified.out)
        into = os.path.join(base, "into\r")
        extracted = pack("extract", out, into)
        self.assertShownLines(extracted.stdout, 1)
        self.assertTrue(extracted.out.rstrip("\n").endswith("into\\x0d"),
                        extracted.out)
        # The files themselves keep their names.
        self.assertEqual(sorted(os.listdir(os.path.join(into))),
                         ["csi\u009b2J", "del\x7f\u00e9", "main.exe"])


class ListTest(packtest.PackerTestCase):
    maxDiff = None

    """list as text and as JSON: names in the target's separators, the
    target, the version values, the template and, for a cache package, the
    digest level the launcher names its directory with; the progress window
    and the error box, which the build values also carry with the files'
    total bytes (the window's measure)."""

    def test_text_and_json(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"run.sh": b"#!/bin/sh\necho ran\n",
                                 "Main.exe": b"MZ",
                                 "d/e/f.txt": b"12345", "d\x7f\u00e9.txt": b""})
        os.chmod(os.path.join(app, "run.sh"), 0o755)
        # (target, extra options, main, the template's JSON fields)
        cases = [
            ("windows", [], "Main.exe",
             {"unpack_directory": "{TEMP}\\onefile_{PID}_{TIME}"}),
            ("windows", ["--progress-window"], "Main.exe",
             {"unpack_directory": "{TEMP}\\onefile_{PID}_{TIME}"}),
            ("windows", ["--error-box", "--progress-window"], "Main.exe",
             {"unpack_directory": "{TEMP}\\onefile_{PID}_{TIME}"}),
            # A quote, a backslash and a control character in a value are
            # escaped in the JSON.
            ("linux", ["--unpack-dir", "{TEMP}\\a\\{PID}_{TIME}",
                       "--company", 'Say "hi"\t\\ Co'], "run.sh",
             {"unpack_directory": "{TEMP}/a/{PID}_{TIME}"}),
            ("linux", ["--cache-dir", "{TEMP}/c/{PRODUCT}/",
                       "--cache-check", "content"], "run.sh", "cache"),
        ]
        for target, extra, main, place in cases:
            with self.subTest(target=target, extra=extra):
                out = os.path.join(base, "out.bin")
                pack("build", app, "-o", out, "--target", target, "--main",
                     main, "--product", "P\u00e4ck", "--version", "2.0.1.0",
                     "--quiet", *extra)
                sep = "\\" if target == "windows" else "/"
                names = [main] + sorted(
                    n for n in ("Main.exe", "run.sh", "d/e/f.txt",
                                "d\x7f\u00e9.txt") if n != main)
                names = [n.replace("/", sep) for n in names]
                offset, size = packtest.container_place(out)
                if place == "cache":
                    level = hashlib.sha256(
                        read(out)[offset:offset + size]).hexdigest()[:16]
                    place = {"cache_directory": {
                        "template": "{TEMP}/c/{PRODUCT}/", "check": "content",
                        "digest_level": level,
                        "directory": "{TEMP}/c/{PRODUCT}/" + level}}
                sizes = {"Main.exe": 2, "run.sh": 19, "d/e/f.txt": 5,
                         "d\x7f\u00e9.txt": 0}
                expected = {
                    "format": 1, "target": target,
                    "records": [{"name": n, "size": sizes[n.replace(sep, "/")]}
                                for n in names],
                    "files": 4, "bytes": 26, "compressed": size,
                    "company": (extra[extra.index("--company") + 1]
                                if "--company" in extra else "PELTA"),
                    "product": "P\u00e4ck",
                    "version": "2.0.1.0"}
                expected.update(place)
                window = "--progress-window" in extra
                box = "--error-box" in extra
                expected.update({"progress_window": window, "error_box": box})
                self.assertEqual(json.loads(pack("list", out, "--json").out),
                                 expected)
                # The block's end: the option bits, then the files' bytes.
                image = read(out)
                block = image.index(b"VESKAR-BUILD-VAL")
                end = block + 16 + 3 * 128 + 1024 + 2 + 64 + 8
                self.assertEqual(image[end:end + 4], b"OPTS")
                end += 4
                self.assertEqual(struct.unpack_from("<HQ", image, end),
                                 (window | box << 1, 26 if window else 0))
                text = pack("list", out).out
                # The text shows a control character escaped.
                self.assertEqual([n for _, n in listed(text)],
                                 [n.replace("\x7f", "\\x7f") for n in names])
                self.assertIn(f"target: {target}\n", text)
                self.assertEqual("a progress window on a slow start" in text,
                                 window)
                self.assertEqual("an error box for a fatal error" in text, box)
                if "cache_directory" in place:
                    self.assertIn("files in {TEMP}/c/{PRODUCT}/" +
                                  place["cache_directory"]["digest_level"],
                                  text)
                else:
                    self.assertIn("unpack directory: " +
                                  place["unpack_directory"], text)
        # The launcher's own cache directory has that last level.
        if target == "linux":
            temp = os.path.join(base, "temp")
            os.mkdir(temp)
            run = subprocess.run([out], env=dict(os.environ, TMPDIR=temp),
                                 cwd=base, stdout=subprocess.PIPE, timeout=60)
            self.assertEqual(run.stdout, b"ran\n")
            self.assertEqual(os.listdir(os.path.join(temp, "c", "P\u00e4ck")),
                             [place["cache_directory"]["digest_level"]])

    def test_json_of_a_damaged_package_prints_nothing(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": b"MZ" + os.urandom(5000)})
        out = os.path.join(base, "out.exe")
        pack("build", app, "-o", out, "--quiet")
        offset, size = packtest.container_place(out)
        data = bytearray(read(out))
        # The tail's count: list reads the index and decodes no frame, so
        # damage inside one it does not see (verify does).
        data[offset + size - 3] ^= 0xff
        with open(out, "wb") as f:
            f.write(data)
        result = pack("list", out, "--json", check=False)
        self.assertEqual((result.returncode, result.out), (1, ""))


class DeterminismTest(packtest.PackerTestCase):
    # At the default level 3 the window is 2 MiB and a zstd worker's job
    # four windows, 8 MiB: 28 MiB of input make four jobs, so that two and
    # four workers really compress parts side by side.
    JOB_BYTES = 8 << 20

    def test_thread_counts_give_the_same_bytes(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        # (a script to a Linux launcher, which starts only what can run)
        files = {"Main.exe": b"#!/bin/sh\n" + os.urandom(1 << 20),
                 "data/text.txt": generated_text(27 << 20, 20261210),
                 "data/z.bin": b"\0" * 100}
        packtest.make_tree(app, files)
        self.assertGreater(sum(len(d) for d in files.values()),
                           3 * self.JOB_BYTES)
        for target, extra in (("windows", []), ("linux", ["--main", "Main.exe"])):
            with self.subTest(target=target):
                outputs = {}
                for threads in ("1", "2", "4"):
                    # The same name: the version record holds it.
                    folder = os.path.join(base, f"{target}-{threads}")
                    os.makedirs(folder)
                    out = os.path.join(folder, "App.exe")
                    # Touching the files changes nothing: no times are
                    # stored.
                    os.utime(os.path.join(app, "data", "text.txt"),
                             (time.time() - 1000 * len(outputs),) * 2)
                    pack("build", app, "-o", out, "--target", target, "--quiet",
                         "--threads", threads, *extra)
                    outputs[threads] = read(out)
                    os.unlink(out)
                self.assertEqual(outputs["1"], outputs["2"])
                self.assertEqual(outputs["1"], outputs["4"])


class TreeRuleTest(packtest.PackerTestCase):
    """The rule for links, special files and empty directories."""

    def setUp(self):
        self.base = self.make_scratch()
        self.app = os.path.join(self.base, "app")
        packtest.make_tree(self.app, {"Main.exe": b"MZ", "sub/file.txt": b"f"})
        packtest.make_tree(self.base, {"outside.txt": b"secret"})
        self.out = os.path.join(self.base, "out.exe")

    def test_refused_entries(self):
        cases = [
            ("link outside", lambda p: os.symlink("../../outside.txt", p),
             "leads outside the application directory"),
            ("absolute link outside",
             lambda p: os.symlink(os.path.join(self.base, "outside.txt"), p),
             "leads outside the application directory"),
            ("link to a directory", lambda p: os.symlink(".", p),
             "points to a directory"),
            ("dangling link", lambda p: os.symlink("nowhere", p),
             "points to nothing"),
            ("link loop", lambda p: os.symlink(os.path.basename(p), p),
             "points to nothing"),
            ("fifo", os.mkfifo, "is a fifo"),
        ]
        for what, make, message in cases:
            with self.subTest(entry=what):
                entry = os.path.join(self.app, "sub", "entry")
                make(entry)
                result = pack("build", self.app, "-o", self.out, check=False)
                os.unlink(entry)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.err)
                self.assertIn("sub/entry", result.err)
                self.assertFalse(os.path.exists(self.out))

    def test_links_inside_are_copies_and_empty_directories_are_named(self):
        os.symlink("sub/file.txt", os.path.join(self.app, "link.txt"))
        os.symlink("../Main.exe", os.path.join(self.app, "sub", "up.exe"))
        os.makedirs(os.path.join(self.app, "empty", "nested"))
        result = pack("build", self.app, "-o", self.out)
        self.assertIn("warning: the empty directory 'empty' is not carried",
                      result.err)
        self.assertNotIn("nested", result.err)
        names = [n for _, n in listed(pack("list", self.out).out)]
        self.assertEqual(names, ["Main.exe", "link.txt", "sub\\file.txt",
                                 "sub\\up.exe"])
        # Even --quiet keeps the warning: nothing is left out silently.
        quiet = pack("build", self.app, "-o", self.out, "--quiet")
        self.assertIn("empty directory", quiet.err)
        self.assertEqual(quiet.out, "")


class MainChoiceTest(packtest.PackerTestCase):
    def test_choice_of_the_main_program(self):
        base = self.make_scratch()
        # The launcher itself is an ELF program of its machine; the same
        # header with another machine (AArch64) or class (32-bit) is not.
        native = read(packtest.LINUX_STUB)[:4096]
        other_machine = native[:18] + struct.pack("<H", 183) + native[20:]
        other_class = native[:4] + b"\x01" + native[5:]
        cases = [
            # (files, executable files, target, --main, first record or error)
            ({"Tool.EXE": b"x", "lib/other.exe": b"y"}, [], "windows", None,
             "Tool.EXE"),
            ({"a.exe": b"x", "b.exe": b"y"}, [], "windows", None,
             "has 2 .exe files at its top level (a.exe, b.exe); choose one"),
            ({"readme.txt": b"x", "bin/a.exe": b"y"}, [], "windows", None,
             "has no .exe file at its top level"),
            ({"a.exe": b"x", "b.exe": b"y"}, [], "windows", "b.exe", "b.exe"),
            ({"a.exe": b"x", "bin/run.exe": b"y"}, [], "windows",
             "bin\\run.exe", "bin\\run.exe"),
            ({"a.exe": b"x"}, [], "windows", "./a.exe", "a.exe"),
            ({"a.exe": b"x"}, [], "windows", "b.exe",
             "--main 'b.exe' is not a file in the application directory"),
            ({"run": b"#!/bin/sh\n", "data.txt": b"d"}, ["run"], "linux", None,
             "run"),
            ({"run": b"x", "go": b"y"}, ["run", "go"], "linux", None,
             "has 2 executable files at its top level (go, run)"),
            ({"data.txt": b"d"}, [], "linux", None,
             "has no executable file at its top level"),
            # A Linux launcher starts an ELF program of its own machine or
            # a "#!" script; anything else is refused by its content, with
            # the way out.
            ({"run": native}, ["run"], "linux", None, "run"),
            ({"run": other_machine}, ["run"], "linux", None,
             "the main program 'run' cannot run on Linux: it is a Linux "
             "program for another machine than the launcher's; name the "
             "program to start with --main"),
            ({"run": other_class}, ["run"], "linux", None,
             "'run' cannot run on Linux: it is a Linux program for another "
             "machine"),
            ({"app.exe": b"MZ\x90\0"}, [], "linux", "app.exe",
             "'app.exe' cannot run on Linux: it is a Windows program; name "
             "the program to start with --main, or pack for --target "
             "windows"),
            ({"run": b"#!/bin/sh\n", "data/values.csv": b"a,b\n"}, ["run"],
             "linux", "data/values.csv",
             "the main program 'data/values.csv' cannot run on Linux: it is "
             "neither a Linux program nor a script starting with '#!'"),
            ({"run": b"#"}, ["run"], "linux", None, "'run' cannot run"),
            ({"run": b""}, ["run"], "linux", None, "'run' cannot run"),
        ]
        for i, (files, executables, target, main, expected) in enumerate(cases):
            with self.subTest(case=i, expected=expected):
                app = os.path.join(base, f"app{i}")
                packtest.make_tree(app, files)
                for name in executables:
                    os.chmod(os.path.join(app, name), 0o755)
                out = os.path.join(base, f"out{i}")
                args = ["build", app, "-o", out, "--target", target, "--quiet"]
                if main:
                    args += ["--main", main]
                result = pack(*args, check=False)
                if " " in expected:
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(expected, result.err)
                    self.assertFalse(os.path.exists(out))
                else:
                    self.assertEqual(result.returncode, 0, result.err)
                    first = listed(pack("list", out).out)[0][1]
                    self.assertEqual(first, expected)


class BadInputTest(packtest.PackerTestCase):
    """Each case: one line on stderr naming the fault, the status, and no
    file at OUT (nor a temporary one beside it); an OUT that was there
    before keeps its content."""

    def setUp(self):
        self.base = self.make_scratch()
        self.app = os.path.join(self.base, "app")
        packtest.make_tree(self.app, {"Main.exe": b"MZ main", "d/x.txt": b"x"})
        self.out_dir = os.path.join(self.base, "out")
        os.mkdir(self.out_dir)
        self.out = os.path.join(self.out_dir, "App.exe")

    def check_refused(self, args, message, status=1, preexec=None, out=None):
        out = out or self.out
        result = pack(*args, check=False, preexec_fn=preexec)
        self.assertEqual(result.returncode, status, result.err)
        lines = result.err.strip().splitlines()
        self.assertEqual(len(lines), 1, result.err)
        self.assertTrue(lines[0].startswith("veskar-pack: "), lines[0])
        self.assertRegex(lines[0], message)
        self.assertFalse(os.path.exists(out), "something was left at OUT")
        leftovers = glob.glob(os.path.join(
            glob.escape(os.path.dirname(out)),
            "." + glob.escape(os.path.basename(out)) + ".tmp-*"))
        self.assertEqual(leftovers, [], "a temporary file was left beside OUT")
        return result

    def app_with(self, files):
        app = os.path.join(self.base, "case")
        if os.path.exists(app):
            subprocess.run(["rm", "-rf", app], check=True)
        os.makedirs(app)
        for relative, data in files.items():
            path = os.path.join(app.encode(), *relative.encode("utf-8",
                                "surrogateescape").split(b"/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        return app

    def test_bad_command_lines(self):
        cases = [
            (["build", self.app], "needs -o OUT"),
            (["build", "-o", self.out], "takes 1 argument, not 0"),
            (["build", self.app, "-o", self.out, "--level", "23"],
             "--level must be a number from 1 to 22"),
            (["build", self.app, "-o", self.out, "--best", "--level", "19"],
             "--best and --level cannot be combined"),
            (["build", self.app, "-o", self.out, "--long", "--long"],
             "--long is given twice"),
            (["list", self.out, "--best"], "'--best' is not an option of list"),
            (["build", self.app, "-o", self.out, "--level", "x"],
             "--level must be"),
            (["build", self.app, "-o", self.out, "--threads", "0"],
             "--threads must be a number from 1 to 200"),
            (["build", self.app, "-o", self.out, "--target", "mac"],
             "--target must be windows or linux, not 'mac'"),
            (["build", self.app, "-o", self.out, "--target", "linux",
              "--icon", "x.ico"], "--icon applies to --target windows only"),
            (["build", self.app, "-o", self.out, "--target", "linux",
              "--progress-window"],
             "--progress-window applies to --target windows only: the Linux "
             "launcher shows no window"),
            (["build", self.app, "-o", self.out, "--target", "linux",
              "--error-box"], "--error-box applies to --target windows only"),
            (["attach", self.out, "-o", self.out + "2", "--main", "x"],
             "'--main' is not an option of attach"),
            (["build", self.app, "-o", self.out, "--frobnicate"],
             "'--frobnicate' is not an option of build"),
            (["list", self.out, "--main", "x"],
             "'--main' is not an option of list"),
            (["build", self.app, "-o", self.out, "--company", "A",
              "--company", "B"], "--company is given twice"),
            (["build", self.app, "-o"], "--output needs a value"),
            (["pack", self.app], "unknown command 'pack'"),
            # Options only where they mean something; each usage error
            # points to the help of the command it was given to.
            (["list", self.out, "--quiet"],
             "'--quiet' is not an option of list (see veskar-pack list "
             "--help)"),
            (["list", self.out, "-q"], "'-q' is not an option of list"),
            (["build", self.app], "needs -o OUT (see veskar-pack build "
                                  "--help)"),
            (["build", self.app, "-o", self.out, "--target", "mac"],
             "not 'mac' (see veskar-pack build --help)"),
            (["attach", self.app, "-o", self.out, "--level", "3"],
             "(see veskar-pack attach --help)"),
            (["extract", self.out], "(see veskar-pack extract --help)"),
            (["pack", self.app], "'pack' (see veskar-pack --help)"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.check_refused(args, re.escape(message), status=2)

    def test_bad_cache_options(self):
        """--cache-dir and --cache-check: one line each, nothing written;
        the command line's own faults give 2, a refused template 1."""
        build = ["build", self.app, "-o", self.out]
        cases = [
            (["--cache-dir", "{CACHE_DIR}/x", "--unpack-dir",
              "{TEMP}/{PID}_{TIME}"],
             "--cache-dir and --unpack-dir cannot be combined", 2),
            (["--cache-check", "content"],
             "--cache-check applies to --cache-dir only", 2),
            (["--cache-dir", "{CACHE_DIR}/x", "--cache-check", "mtime"],
             "--cache-check must be size or content, not 'mtime'", 2),
            (["--cache-dir", ""], "--cache-dir needs a template", 2),
            (["--cache-dir", "{CACHE_DIR}/{APPDATA}"],
             "the cache-directory template '{CACHE_DIR}/{APPDATA}' names a "
             "variable the launcher does not know", 1),
            (["--cache-dir", "{CACHE_DIR}/x_{PID}"],
             "the cache-directory template '{CACHE_DIR}/x_{PID}' must hold "
             "neither {PID} nor {TIME}", 1),
            (["--cache-dir", "{TEMP}/{TIME}"], "must hold neither", 1),
            (["--cache-dir", "{CACHE_DIR/x"], "has a '{' without its '}'", 1),
            (["--cache-dir", "{CACHE_DIR}/" + "x" * 600],
             "at most 511 fit", 1),
        ]
        for extra, message, status in cases:
            with self.subTest(extra=extra):
                self.check_refused(build + extra, re.escape(message),
                                   status=status)

    def test_a_name_the_cache_keeps_for_itself(self):
        """Only with --cache-dir, and only as the first level."""
        app = os.path.join(self.base, "reserved")
        packtest.make_tree(app, {"main.exe": b"MZ",
                                 ".OneFile-marker/x.txt": b"1",
                                 "sub/.onefile-marker": b"2"})
        self.check_refused(["build", app, "-o", self.out, "--cache-dir",
                            "{CACHE_DIR}/x"],
                           re.escape("the name '.OneFile-marker\\x.txt' "
                                     "starts with '.onefile-'"))
        pack("build", app, "-o", self.out, "--quiet")

    def test_bad_inputs(self):
        long_level = "d" * 250
        four_gib = os.path.join(self.base, "big")
        os.makedirs(four_gib)
        with open(os.path.join(four_gib, "Main.exe"), "wb") as f:
            f.truncate(4 << 30)  # sparse: no byte is ever read
        cases = [
            ("missing APPDIR", lambda: os.path.join(self.base, "nope"), [],
             r"application directory '.*nope' cannot be opened: no such file"),
            ("APPDIR is a file", lambda: os.path.join(self.app, "Main.exe"),
             [], r"is not a directory"),
            ("empty APPDIR", lambda: self.app_with({}), [], r"holds no files"),
            ("only empty directories",
             lambda: os.path.dirname(self.app_with({})) and
             (os.makedirs(os.path.join(self.base, "case", "e", "f")) or
              os.path.join(self.base, "case")), [], r"holds no files"),
            ("no main", lambda: self.app_with({"a.txt": b""}), [],
             r"no \.exe file at its top level"),
            ("ambiguous main",
             lambda: self.app_with({"a.exe": b"", "b.exe": b""}), [],
             r"2 \.exe files at its top level \(a\.exe, b\.exe\)"),
            ("name not UTF-8",
             lambda: self.app_with({"Main.exe": b"", "bad\udcff.txt": b""}),
             [], r"is not valid UTF-8"),
            ("name Windows cannot hold",
             lambda: self.app_with({"Main.exe": b"", "a:b.txt": b""}), [],
             r"'a:b\.txt' holds ':'"),
            ("device name",
             lambda: self.app_with({"Main.exe": b"", "d/NUL.txt": b""}), [],
             r"'d/NUL\.txt' names a Windows device"),
            ("trailing dot",
             lambda: self.app_with({"Main.exe": b"", "d./x": b""}), [],
             r"ending in a dot or space"),
            ("backslash in a name",
             lambda: self.app_with({"Main.exe": b"", "a\\b": b""}), [],
             r"holds '\\'"),
            ("names differing in case",
             lambda: self.app_with({"Main.exe": b"", "Data/A.txt": b"",
                                    "data/a.txt": b""}), [],
             r"'Data/A\.txt' and 'data/a\.txt' differ only in case"),
            ("file and directory differing in case",
             lambda: self.app_with({"Main.exe": b"", "lib": b"",
                                    "LIB/x.dll": b""}), [],
             r"'lib' and the directory of 'LIB/x\.dll' differ only in case"),
            ("name too long",
             lambda: self.app_with({"Main.exe": b"",
                                    "/".join([long_level] * 5): b""}), [],
             r"is 1254 UTF-16 units long; at most 1023 fit"),
            ("4 GiB of files", lambda: four_gib, [],
             r"come to 4\.0 GiB; a package holds less than 4 GiB"),
            ("OUT inside APPDIR", lambda: self.app, ["-o",
             os.path.join(self.app, "d", "App.exe")],
             r"lies inside the application directory"),
            ("OUT's directory missing", lambda: self.app,
             ["-o", os.path.join(self.base, "none", "App.exe")],
             r"cannot write '.*none/App\.exe': no such file or directory"),
            ("OUT is a directory", lambda: self.app, ["-o", self.out_dir],
             r"the output '.*out' is a directory"),
            ("icon not an icon", lambda: self.app,
             ["--icon", os.path.join(self.app, "d", "x.txt")],
             r"x\.txt': not an icon file"),
            ("icon missing", lambda: self.app,
             ["--icon", os.path.join(self.base, "none.ico")],
             r"cannot open '.*none\.ico': no such file"),
            ("bad version", lambda: self.app, ["--version", "1.2.3"],
             r"the version '1\.2\.3' is not four numbers 0-65535"),
            ("version number too large", lambda: self.app,
             ["--version", "1.2.3.65536"], r"is not four numbers"),
            ("company too long", lambda: self.app, ["--company", "C" * 64],
             r"the company is 64 UTF-16 units long; at most 63 fit"),
            ("product not UTF-8", lambda: self.app,
             ["--product", b"\xff".decode("utf-8", "surrogateescape")],
             r"the product is not valid UTF-8"),
            ("empty product", lambda: self.app, ["--product", ""],
             r"must not be empty"),
        ]
        for what, make_app, extra, message in cases:
            with self.subTest(case=what):
                app = make_app()
                args = ["build", app]
                if "-o" not in extra:
                    args += ["-o", self.out]
                out = extra[extra.index("-o") + 1] if "-o" in extra else None
                if out == self.out_dir:
                    out = os.path.join(self.out_dir, "unused")
                self.check_refused(args + extra, message, out=out)

    def test_bad_icons(self):
        png16 = packtest.png(16, 16, (1, 2, 3, 255))
        good = packtest.ico([(16, png16)])
        cases = [
            ("no images", good[:4] + b"\0\0", "holds no images"),
            ("directory cut short", good[:10], "directory is cut short"),
            ("image outside the file", good[:-5], "lies outside the file"),
            ("wrong size in the entry", packtest.ico([(32, png16)]),
             "is 16x16 but its entry says 32x32"),
            ("not an image", packtest.ico([(16, b"GIF89a" + b"\0" * 60)]),
             "neither a PNG nor a BMP"),
            ("cursor file", good[:2] + b"\2\0" + good[4:], "not an icon file"),
        ]
        for what, data, message in cases:
            with self.subTest(case=what):
                icon = os.path.join(self.base, "bad.ico")
                with open(icon, "wb") as f:
                    f.write(data)
                self.check_refused(["build", self.app, "-o", self.out,
                                    "--icon", icon], re.escape(message))

    def test_unreadable_file(self):
        os.chmod(os.path.join(self.app, "d", "x.txt"), 0)
        def as_nobody():
            if os.getuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
        if os.getuid() == 0:
            for path in (self.base, self.app, os.path.join(self.app, "d"),
                         self.out_dir):
                os.chmod(path, 0o777)
            os.chmod(os.path.join(self.app, "Main.exe"), 0o644)
            # Every folder above must let nobody through.
            folder = os.path.dirname(self.base)
            while folder != "/":
                if not os.stat(folder).st_mode & 0o001:
                    self.skipTest(f"{folder} is closed to other users")
                folder = os.path.dirname(folder)
        self.check_refused(["build", self.app, "-o", self.out],
                           r"cannot read '.*d/x\.txt': permission denied",
                           preexec=as_nobody)

    def test_disk_full_leaves_nothing_and_keeps_the_old_output(self):
        packtest.make_tree(self.app, {"big.bin": os.urandom(4 << 20)})
        with open(self.out, "wb") as f:
            f.write(b"the previous build")
        def small_disk():
            # Writes past 1 MiB fail as they would on a full disk.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        for command, args in (("build", [self.app]),
                              ("attach", [os.path.join(self.app, "big.bin")])):
            with self.subTest(command=command):
                result = pack(command, *args, "-o", self.out, check=False,
                              preexec_fn=small_disk)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(len(result.err.strip().splitlines()), 1)
                self.assertIn("couldn't write the output", result.err)
                self.assertEqual(read(self.out), b"the previous build")
                self.assertEqual(os.listdir(self.out_dir), ["App.exe"])

    def test_attach_refuses_a_4_gib_container_before_copying(self):
        big = os.path.join(self.base, "big.container")
        with open(big, "wb") as f:
            f.truncate(4 << 30)
        def no_writes():
            # Every write fails: a copy begun before the refusal would end
            # with "couldn't write the output" instead.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))
        self.check_refused(["attach", big, "-o", self.out],
                           r"the container is 4\.0 GiB; a package holds less "
                           r"than 4 GiB", preexec=no_writes)

    def test_interrupted_build_leaves_nothing(self):
        packtest.make_tree(self.app, {"big.bin": os.urandom(48 << 20)})
        process = subprocess.Popen(
            [packtest.PACKER, "build", self.app, "-o", self.out, "--level",
             "19", "--threads", "1", "--quiet"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not os.listdir(self.out_dir) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=60)
        self.assertEqual(process.returncode, -signal.SIGINT)
        self.assertEqual(os.listdir(self.out_dir), [])


class OutputPlaceTest(packtest.PackerTestCase):
    """Only a regular file, or nothing, may stand at OUT: anything else is
    refused with one line and left as it was, for build and attach alike
    (the rename that puts OUT in place would replace it)."""

    def setUp(self):
        self.base = self.make_scratch()
        self.app = os.path.join(self.base, "app")
        packtest.make_tree(self.app, {"Main.exe": b"MZ main"})
        self.blob = os.path.join(self.base, "container")
        with open(self.blob, "wb") as f:
            f.write(container.container([("main.exe", b"MZ")]))
        self.out_dir = os.path.join(self.base, "out")
        os.mkdir(self.out_dir)

    def make_socket(self, path):
        import socket
        # A socket's path is short; bind relative to its folder.
        here = os.getcwd()
        os.chdir(os.path.dirname(path))
        try:
            sock = socket.socket(socket.AF_UNIX)
            self.addCleanup(sock.close)
            sock.bind(os.path.basename(path))
        finally:
            os.chdir(here)

    def make_device(self, path):
        try:
            os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            self.skipTest("cannot make a device node here")

    def test_what_stands_at_out(self):
        target = os.path.join(self.base, "target.exe")
        cases = [
            # (what, make it at the path, the kind in the message)
            ("fifo", os.mkfifo, "a fifo"),
            ("socket", self.make_socket, "a socket"),
            ("device", self.make_device, "a device"),
            ("directory", os.mkdir, "a directory"),
            ("link to a file", lambda p: os.symlink(target, p),
             "a symbolic link"),
            ("link to nothing",
             lambda p: os.symlink(os.path.join(self.base, "nowhere"), p),
             "a symbolic link"),
        ]
        for what, make, kind in cases:
            for command, source in (("build", self.app),
                                    ("attach", self.blob)):
                with self.subTest(out=what, command=command):
                    with open(target, "wb") as f:
                        f.write(b"the link's target")
                    out = os.path.join(self.out_dir, "App.exe")
                    subprocess.run(["rm", "-rf", out], check=True)
                    make(out)
                    before = os.lstat(out)
                    result = pack(command, source, "-o", out, "--quiet",
                                  check=False, timeout=60)
                    after = os.lstat(out)
                    self.assertEqual(result.returncode, 1, result.err)
                    lines = result.err.strip().splitlines()
                    self.assertEqual(len(lines), 1, result.err)
                    self.assertIn(f"the output '{out}' is {kind}", lines[0])
                    self.assertEqual((after.st_mode, after.st_ino),
                                     (before.st_mode, before.st_ino))
                    self.assertEqual(read(target), b"the link's target")
                    self.assertEqual(os.listdir(self.out_dir), ["App.exe"])
        # A regular file there is what OUT is for: it is replaced.
        out = os.path.join(self.out_dir, "App.exe")
        subprocess.run(["rm", "-rf", out], check=True)
        with open(out, "wb") as f:
            f.write(b"the previous build")
        pack("build", self.app, "-o", out, "--quiet")
        self.assertEqual(read(out)[:2], b"MZ")


class InputKindTest(packtest.PackerTestCase):
    """Every file the packer reads must be a regular file: a fifo is
    refused at once (opening one would wait for a writer forever), and so
    is a directory."""

    def test_inputs_that_are_not_files(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": b"MZ main"})
        fifo = os.path.join(base, "fifo")
        os.mkfifo(fifo)
        folder = os.path.join(base, "folder")
        os.mkdir(folder)
        out = os.path.join(base, "out.exe")
        into = os.path.join(base, "into")
        commands = [
            ("icon", lambda p: ["build", app, "-o", out, "--icon", p], ""),
            ("container", lambda p: ["attach", p, "-o", out],
             "the container "),
            ("list", lambda p: ["list", p], ""),
            ("verify", lambda p: ["verify", p], ""),
            ("extract", lambda p: ["extract", p, into], ""),
        ]
        for what, path, kind in (("fifo", fifo, "a fifo"),
                                 ("directory", folder, "a directory")):
            for command, args, shown in commands:
                with self.subTest(input=what, command=command):
                    # The timeout only ends a packer that hangs.
                    result = pack(*args(path), check=False, timeout=60)
                    self.assertEqual(result.returncode, 1, result.err)
                    self.assertEqual(result.err.strip(),
                                     f"veskar-pack: {shown}'{path}' is {kind}, "
                                     "not a regular file")
                    self.assertFalse(os.path.exists(out))
                    self.assertFalse(os.path.exists(into))


class NameClashTest(packtest.PackerTestCase):
    """Names the launcher cannot hold side by side make a container
    unsound: verify, list and extract refuse it, name both records (counted
    from 1, as list shows them), and extract writes nothing."""

    def test_clashing_names(self):
        base = self.make_scratch()
        dup = "the name 'a.txt' occurs twice, in records 2 and 3"
        cases = [
            # (names after main.exe, {target: message, or None when sound})
            (["a.txt", "a.txt"], {"windows": dup, "linux": dup}),
            (["a.txt", "b.txt", "a.txt"],
             {"windows": "the name 'a.txt' occurs twice, in records 2 and 4",
              "linux": "the name 'a.txt' occurs twice, in records 2 and 4"}),
            (["MAIN.EXE"],
             {"windows": "the names 'main.exe' (record 1) and 'MAIN.EXE' "
                         "(record 2) differ only in case",
              "linux": None}),
            (["d\\Data.txt", "D\\data.TXT"],
             {"windows": "the names 'd\\Data.txt' (record 2) and "
                         "'D\\data.TXT' (record 3) differ only in case",
              "linux": None}),
            (["lib", "LIB\\x.dll"],
             {"windows": "the file 'lib' (record 2) and the directory of "
                         "'LIB\\x.dll' (record 3) differ only in case",
              "linux": None}),
            (["LIB\\x.dll", "lib"],
             {"windows": "the file 'lib' (record 3) and the directory of "
                         "'LIB\\x.dll' (record 2) differ only in case",
              "linux": None}),
            (["a\\b.txt", "a"],
             {"windows": "the name 'a' (record 3) is also a directory in "
                         "'a\\b.txt' (record 2)",
              "linux": "the name 'a' (record 3) is also a directory in "
                       "'a\\b.txt' (record 2)"}),
            (["\u00e4.txt", "\u00c4.TXT"],
             {"windows": "differ only in case", "linux": None}),
            (["a\\b.txt", "A\\c.txt", "ab.txt"],
             {"windows": None, "linux": None}),
        ]
        blob = os.path.join(base, "container")
        for names, expected in cases:
            records = [("main.exe", b"MZ")] + [(n, n.encode()) for n in names]
            with open(blob, "wb") as f:
                f.write(container.container(records))
            for target, message in expected.items():
                with self.subTest(names=names, target=target):
                    packed = os.path.join(base, "packed")
                    pack("attach", blob, "-o", packed, "--target", target,
                         "--quiet")
                    into = os.path.join(base, "into")
                    for command in ("verify", "list", "extract"):
                        args = [command, packed] + (
                            [into, "--quiet"] if command == "extract" else [])
                        result = pack(*args, check=False)
                        if message is None:
                            self.assertEqual(result.returncode, 0, result.err)
                            self.assertEqual(result.err, "")
                            continue
                        self.assertEqual(result.returncode, 1, command)
                        self.assertEqual(len(result.err.strip().splitlines()),
                                         1, result.err)
                        self.assertIn(message, result.err, command)
                    if message is None:
                        self.assertEqual(
                            len(support.read_tree(into)), len(records))
                        subprocess.run(["rm", "-rf", into], check=True)
                    self.assertEqual(sorted(os.listdir(base)),
                                     ["container", "packed"])
                    os.unlink(packed)


class UncheckedFrameTest(packtest.PackerTestCase):
    """A frame without a content checksum decodes, and the launcher runs
    it, but nothing can tell whether its bytes are the packed ones: verify,
    list and extract say so in one warning line and exit 0."""

    RECORDS = [("main.exe", b"MZ" + os.urandom(3000)),
               ("data\\a.txt", b"a" * 5000), ("b.bin", os.urandom(4000))]

    def with_skippable_frame(self, data):
        """The container with a skippable frame (no content, no checksum)
        in front of its first zstd frame."""
        body = data[:-8]
        skip = b"\x50\x2a\x4d\x18" + struct.pack("<I", 5) + b"hello"
        body = body[:3] + skip + body[3:]
        return body + struct.pack("<Q", len(body))

    def test_frames_without_checksum(self):
        base = self.make_scratch()
        warning = "the content could not be verified: "
        cases = [
            # (checksum of each frame, skippable frame first, warning or None)
            ((True,), False, None),
            ((True, True, True), False, None),
            ((False,), False, warning + "frame 1 carries no checksum"),
            ((True, False, True), False, warning + "frame 2 carries no checksum"),
            ((True, False, False), False,
             warning + "2 of 3 frames carry no checksum, the first frame 2"),
            ((True,), True, None),
            ((False,), True, warning + "frame 2 carries no checksum"),
        ]
        blob = os.path.join(base, "container")
        packed = os.path.join(base, "packed")
        expected_tree = {n.replace("\\", "/"): d for n, d in self.RECORDS}
        for checksums, skippable, message in cases:
            with self.subTest(checksums=checksums, skippable=skippable):
                data = container.container(self.RECORDS, checksums)
                if skippable:
                    data = self.with_skippable_frame(data)
                with open(blob, "wb") as f:
                    f.write(data)
                pack("attach", blob, "-o", packed, "--target", "linux",
                     "--quiet")
                into = os.path.join(base, "into")
                for command in ("verify", "list", "extract"):
                    args = [command, packed] + (
                        [into] if command == "extract" else [])
                    # (list has no summary to silence)
                    quiet = ["--quiet"] if command != "list" else []
                    result = pack(*args, *quiet, check=False)
                    self.assertEqual(result.returncode, 0, result.err)
                    if message is None:
                        self.assertEqual(result.err, "", command)
                    else:
                        self.assertEqual(
                            result.err,
                            f"veskar-pack: warning: {packed}: {message}\n",
                            command)
                self.assertEqual(support.read_tree(into), expected_tree)
                subprocess.run(["rm", "-rf", into], check=True)
                summary = pack("verify", packed).out
                self.assertEqual("unchecked content" in summary,
                                 message is not None, summary)


class ExtractParentsTest(packtest.PackerTestCase):
    """extract creates the missing directories above DIR as mkdir -p does
    (mode 0755 less the umask), removes them again when it fails, and
    neither follows a link that is not a directory nor writes through a
    link at DIR."""

    def setUp(self):
        self.base = self.make_scratch()
        app = os.path.join(self.base, "app")
        packtest.make_tree(app, {"Main.exe": b"MZ main", "d/x.txt": b"x"})
        self.good = os.path.join(self.base, "good.exe")
        pack("build", app, "-o", self.good, "--quiet")
        data = bytearray(read(self.good))
        offset, size = packtest.container_place(self.good)
        data[offset + size // 2] ^= 0x5A
        self.bad = os.path.join(self.base, "bad.exe")
        with open(self.bad, "wb") as f:
            f.write(data)
        self.tree = {"Main.exe": b"MZ main", "d/x.txt": b"x"}

    def test_missing_parents(self):
        places = self.make_scratch()
        cases = [
            # (DIR below `places`, the umask, levels to be made)
            ("one/into", 0o022, ["one"]),
            ("one/two/three/into", 0o022, ["one", "one/two", "one/two/three"]),
            ("./one/./two//into/", 0o077, ["one", "one/two"]),
        ]
        for relative, mask, made in cases:
            with self.subTest(dir=relative, umask=oct(mask)):
                def set_umask():
                    os.umask(mask)
                result = pack("extract", self.good, relative, "--quiet",
                              cwd=places, preexec_fn=set_umask, check=False)
                self.assertEqual(result.returncode, 0, result.err)
                self.assertEqual(
                    support.read_tree(os.path.join(places, relative)),
                    self.tree)
                for level in made:
                    mode = os.lstat(os.path.join(places, level)).st_mode
                    self.assertEqual(stat.S_IMODE(mode), 0o755 & ~mask, level)
                # A failed extraction takes the levels it made away again.
                result = pack("extract", self.bad, "new/" + relative,
                              cwd=places, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertFalse(os.path.exists(os.path.join(places, "new")))
                subprocess.run(["rm", "-rf", os.path.join(places, "one")],
                               check=True)

    def test_what_is_refused_on_the_way(self):
        places = self.make_scratch()
        packtest.make_tree(places, {"file": b"a file"})
        os.symlink(os.path.join(self.base, "nowhere"),
                   os.path.join(places, "dangling"))
        os.mkdir(os.path.join(places, "empty"))
        os.symlink("empty", os.path.join(places, "to-empty"))
        cases = [
            ("file/into", "'file' is not a directory"),
            ("file/a/into", "'file' is not a directory"),
            ("dangling/into", "'dangling' is not a directory"),
            ("to-empty", "'to-empty' is a symbolic link, not a directory"),
        ]
        for relative, message in cases:
            with self.subTest(dir=relative):
                before = sorted(os.listdir(places))
                result = pack("extract", self.good, relative, cwd=places,
                              check=False)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.err.strip(),
                                 f"veskar-pack: {message}"
                                 + ("; name a new or empty one"
                                    if "link" in message else ""))
                self.assertEqual(sorted(os.listdir(places)), before)
                self.assertEqual(os.listdir(os.path.join(places, "empty")),
                                 [])
                self.assertFalse(os.path.lexists(
                    os.path.join(self.base, "nowhere")))
        # A link to a directory above DIR is the user's own path: followed.
        pack("extract", self.good, "to-empty/into", "--quiet", cwd=places)
        self.assertEqual(
            support.read_tree(os.path.join(places, "empty", "into")),
            self.tree)


class AttachTest(packtest.PackerTestCase):
    def test_attach_embeds_the_file_as_it_is(self):
        base = self.make_scratch()
        blob = os.path.join(base, "container")
        cases = {"a container": None, "arbitrary bytes": b"not a container",
                 "an empty file": b"",
                 # attach copies 1 MiB at a time: this one takes 3 copies
                 # and a piece.
                 "a container of several copies": None}
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": b"MZ", "x/y.txt": b"y" * 1000})
        built = os.path.join(base, "built.exe")
        pack("build", app, "-o", built, "--quiet")
        offset, size = packtest.container_place(built)
        cases["a container"] = read(built)[offset:offset + size]
        packtest.make_tree(app, {"x/random.bin": random.Random(1).randbytes(
            (3 << 20) + 12345)})
        pack("build", app, "-o", built, "--quiet")
        offset, size = packtest.container_place(built)
        self.assertGreater(size, 3 << 20)
        cases["a container of several copies"] = read(built)[offset:offset +
                                                             size]
        for what, data in cases.items():
            for target in ("windows", "linux"):
                with self.subTest(content=what, target=target):
                    with open(blob, "wb") as f:
                        f.write(data)
                    out = os.path.join(base, f"attached-{target}")
                    result = pack("attach", blob, "-o", out, "--target", target)
                    self.assertIn("attached", result.out)
                    if target == "windows":
                        at, length = packtest.container_place(out)
                        self.assertEqual(read(out)[at:at + length], data)
                    else:
                        self.assertEqual(read(out)[-len(data) or len(read(out)):],
                                         data)
                    verify = pack("verify", out, check=False)
                    self.assertEqual(verify.returncode,
                                     0 if "container" in what else 1)

    def test_container_only_then_attach_equals_build(self):
        """build --container-only writes what attach takes: attached with
        the same options, it gives the very bytes build gives, in the
        per-run and the cache modes (whose digests attach works out from
        the container)."""
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": b"MZ" + b"m" * 5000,
                                 "run.sh": b"#!/bin/sh\nexit 0\n",
                                 "x/y.txt": b"y" * 1000})
        container_file = os.path.join(base, "payload.bin")
        os.mkdir(os.path.join(base, "built"))
        os.mkdir(os.path.join(base, "attached"))
        for target, main in (("windows", []), ("linux", ["--main", "run.sh"])):
            pack("build", app, "-o", container_file, "--target", target,
                 "--container-only", "-q", *main)
            self.assertEqual(stat.S_IMODE(os.stat(container_file).st_mode)
                             & 0o111, 0)
            for mode in ([], ["--cache-dir", "{TEMP}/c", "--cache-check",
                              "content"]):
                with self.subTest(target=target, mode=mode):
                    image = ["--target", target, "--product", "P",
                             "--version", "2.0.0.1", *mode]
                    if target == "windows":
                        image += ["--progress-window", "--error-box"]
                    built = os.path.join(base, "built", "same-name")
                    attached = os.path.join(base, "attached", "same-name")
                    pack("build", app, "-o", built, "-q", *main, *image)
                    pack("attach", container_file, "-o", attached, "-q",
                         *image)
                    self.assertEqual(read(attached), read(built))

    def test_container_only_and_attach_refusals(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": b"MZ"})
        junk = os.path.join(base, "junk")
        with open(junk, "wb") as f:
            f.write(b"not a container")
        out = os.path.join(base, "out")
        cases = [
            (["build", app, "-o", out, "--container-only", "--icon", junk],
             2, "--icon shapes the executable"),
            (["build", app, "-o", out, "--container-only", "--cache-dir",
              "{TEMP}/c"], 2, "--cache-dir shapes the executable"),
            (["build", app, "-o", out, "--container-only",
              "--progress-window"], 2,
             "--progress-window shapes the executable"),
            (["attach", junk, "-o", out, "--progress-window"], 1,
             "cannot be used with --progress-window"),
            (["attach", junk, "-o", out, "--cache-dir", "{TEMP}/c"], 1,
             "cannot be used with --cache-dir"),
            (["attach", junk, "-o", out, "--main", "Main.exe"], 2,
             "'--main' is not an option of attach"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args[:1] + args[3:]):
                result = pack(*args, check=False)
                self.assertEqual(result.returncode, status, result.err)
                self.assertIn(message, result.err)
                self.assertFalse(os.path.lexists(out))



class ProgressTest(packtest.PackerTestCase):
    """Progress goes to a terminal only; --quiet silences it and the
    summary."""

    def build_on_terminal(self, *extra):
        import pty
        base = self.base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"Main.exe": os.urandom(12 << 20)})
        leader, follower = pty.openpty()
        try:
            result = subprocess.run(
                [packtest.PACKER, "build", app, "-o",
                 os.path.join(base, "out.exe"), "--threads", "1", *extra],
                stdout=subprocess.PIPE, stderr=follower, timeout=120)
            os.close(follower)
            shown = b""
            while True:
                try:
                    chunk = os.read(leader, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            os.close(leader)
        return result, shown.decode("utf-8", "replace")

    def test_progress_and_summary(self):
        result, shown = self.build_on_terminal()
        self.assertEqual(result.returncode, 0)
        self.assertRegex(shown, r"packing +\d+%  [\d.]+ MiB of 12\.0 MiB  "
                                r"[\d.]+ [KMG]iB/s")
        self.assertTrue(shown.endswith("\r\x1b[K"), "the line is not cleared")
        line = re.match(r"^veskar-pack: wrote .*out\.exe \(([\d.]+) MiB\): "
                        r"1 file, 12\.0 MiB packed into [\d.]+ MiB "
                        r"\([\d.]+%\) in [\d.]+ s\n$", result.stdout.decode())
        self.assertTrue(line, result.stdout)
        # The size of the file written, the launcher with the payload.
        written = os.path.getsize(os.path.join(self.base, "out.exe"))
        self.assertAlmostEqual(float(line.group(1)), written / (1 << 20),
                               delta=0.05)
        # Not a terminal: no progress (the other tests' stderr is a pipe and
        # holds only their messages).
        quiet, shown = self.build_on_terminal("--quiet")
        self.assertEqual(quiet.returncode, 0)
        self.assertEqual(shown, "")
        self.assertEqual(quiet.stdout, b"")


class HelpTest(packtest.PackerTestCase):
    def test_help_documents_the_rules(self):
        general = pack("--help").out
        for command in ("build", "attach", "list", "extract", "verify"):
            self.assertIn(f"veskar-pack {command}", general)
        build = pack("build", "--help").out
        for phrase in ("symbolic link to a regular file inside APPDIR",
                       "leading outside APPDIR", "fifo, socket or device",
                       "without files cannot be carried", "byte-identical",
                       "less than 4 GiB", "--quiet",
                       "Only a regular file at OUT is replaced",
                       "same APPDIR, options and output file name",
                       "OriginalFilename and InternalName",
                       "--cache-dir TEMPLATE", "neither {PID} nor {TIME}",
                       "Not with --unpack-dir", "--cache-check size|content",
                       "decodes the payload at every start"):
            self.assertIn(phrase, " ".join(build.split()))
        for command, phrases in (
                ("extract", ("as mkdir -p does", "0755 less the umask",
                             "a symbolic link there is refused")),
                ("verify", ("a name that occurs twice",
                            "differ only in case",
                            "content could not be verified"))):
            shown = " ".join(pack(command, "--help").out.split())
            for phrase in phrases:
                self.assertIn(phrase, shown, command)

    def test_help_fits_a_terminal(self):
        for command in ([], ["build"], ["attach"], ["list"], ["extract"],
                        ["verify"]):
            for line in pack(*command, "--help").out.splitlines():
                self.assertLessEqual(len(line), 79, (command, line))

    def test_version(self):
        # The project's version comes from the top-level project(); the
        # build's --version is still the package's version record.
        with open(os.path.join(packtest.SOURCE_DIR, "CMakeLists.txt")) as f:
            project = re.search(r"project\(veskar_onefile VERSION (\S+)",
                                f.read()).group(1)
        for option in ("--version", "-V"):
            shown = pack(option).out
            self.assertRegex(shown, r"^veskar-pack " + re.escape(project) +
                             r" \(zstd \d+\.\d+\.\d+\)\n$")
        refused = pack("list", "--version", "x", check=False)
        self.assertEqual(refused.returncode, 2)


if __name__ == "__main__":
    support.main()
