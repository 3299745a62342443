"""--target linux end to end, natively: the example application's Linux
twin (examples/linux/example.sh with the example's data beside it) packed
into one file, run with arguments, seeing its files and the launcher's
variables, its exit code coming back, and its unpack directory removed."""

import hashlib
import os
import re
import struct
import shutil
import subprocess

import packtest
import support
from packtest import pack

ARGUMENTS = ["one", "two words", "gr\u00fc\u00dfe \u65e5\u672c", ""]


class LinuxEndToEndTest(packtest.PackerTestCase):
    def setUp(self):
        self.base = self.make_scratch()
        self.app = os.path.join(self.base, "app")
        examples = os.path.join(packtest.SOURCE_DIR, "examples")
        shutil.copytree(os.path.join(examples, "app", "data"),
                        os.path.join(self.app, "data"))
        shutil.copytree(os.path.join(examples, "app", "docs"),
                        os.path.join(self.app, "docs"))
        shutil.copy(os.path.join(examples, "linux", "example.sh"), self.app)
        self.packed = os.path.join(self.base, "example")
        pack("build", self.app, "-o", self.packed, "--target", "linux",
             "--quiet")
        self.temp = os.path.join(self.base, "temp")
        os.mkdir(self.temp)

    def run_packed(self, arguments, code, more_env=None):
        env = dict(os.environ, TMPDIR=self.temp, **(more_env or {}))
        env.pop("VESKAR_ONEFILE_PARENT", None)
        process = subprocess.run([self.packed] + arguments +
                                 ["--exit", str(code)], env=env,
                                 capture_output=True, timeout=60)
        return process, process.stdout.decode("utf-8", "replace")

    def test_example_runs_from_its_package(self):
        process, text = self.run_packed(ARGUMENTS, 7)
        self.assertEqual(process.returncode, 7, text + process.stderr.decode())
        files = {name: len(data)
                 for name, data in support.read_tree(self.app).items()}
        program, variables = self.assertExampleRan(text, ARGUMENTS, 7, files)
        m = re.fullmatch(r"(.*/onefile_\d+_\d+)/example\.sh", program)
        self.assertIsNotNone(m, program)
        self.assertEqual(os.path.dirname(m.group(1)), self.temp)
        self.assertEqual(variables["VESKAR_ONEFILE_BINARY"], self.packed)
        self.assertEqual(os.listdir(self.temp), [],
                         "the unpack directory was left behind")

    def test_exit_codes(self):
        for code in (0, 1, 42, 255):
            with self.subTest(code=code):
                process, text = self.run_packed([], code)
                self.assertEqual(process.returncode, code, text)
                self.assertEqual(os.listdir(self.temp), [])

    def test_an_unpack_directory_template_of_ones_own(self):
        """--unpack-dir: the launcher unpacks where the template says, each
        run afresh, and `list` shows the template."""
        pack("build", self.app, "-o", self.packed, "--target", "linux",
             "--unpack-dir", "{TEMP}/My App {VERSION}/run_{PID}_{TIME}",
             "--version", "2.0.0.1", "--quiet")
        os.mkdir(os.path.join(self.temp, "My App 2.0.0.1"))
        process, text = self.run_packed([], 3)
        self.assertEqual(process.returncode, 3, text + process.stderr.decode())
        program = re.search(r"^Veskar example: hello from (.*)$", text, re.M)
        self.assertIsNotNone(program, text)
        self.assertRegex(program.group(1),
                         re.escape(self.temp) + r"/My App 2\.0\.0\.1/"
                         r"run_\d+_\d+/example\.sh$")
        self.assertEqual(os.listdir(os.path.join(self.temp, "My App 2.0.0.1")),
                         [])
        listing = pack("list", self.packed).out
        # In a Linux package's own separators.
        self.assertIn("unpack directory: {TEMP}/My App {VERSION}/"
                      "run_{PID}_{TIME}\n", listing)

    def test_a_cache_directory(self):
        """--cache-dir: the first run unpacks into {CACHE_DIR}'s template
        directory and a level named by the container's SHA-256, the next
        runs from there too; nothing is removed, and `list` shows the
        template and the check. The build values carry the SHA-256 and the
        size of the very marker the first run wrote."""
        pack("build", self.app, "-o", self.packed, "--target", "linux",
             "--cache-dir", "{CACHE_DIR}/{PRODUCT}/{VERSION}",
             "--cache-check", "content", "--quiet")
        offset, size = packtest.container_place(self.packed)
        with open(self.packed, "rb") as f:
            f.seek(offset)
            digest = hashlib.sha256(f.read(size)).hexdigest()
        cache = os.path.join(self.base, "xdg")
        directory = os.path.join(cache, "Quorvane", "1.1.0.0", digest[:16])
        for run in ("cold", "warm"):
            with self.subTest(run):
                process, text = self.run_packed([], 5,
                                                {"XDG_CACHE_HOME": cache})
                self.assertEqual(process.returncode, 5,
                                 text + process.stderr.decode())
                program = re.search(r"^Veskar example: hello from (.*)$",
                                    text, re.M)
                self.assertEqual(program.group(1),
                                 os.path.join(directory, "example.sh"))
                self.assertEqual(os.listdir(os.path.dirname(directory)),
                                 [digest[:16]])
                self.assertEqual(os.listdir(self.temp), [])
        with open(os.path.join(directory, ".onefile-marker"), "rb") as f:
            marker = f.read()
        with open(self.packed, "rb") as f:
            image = f.read(offset)
        values = image.index(b"VESKAR-BUILD-VAL") + 16 + 3 * 128 + 1024 + 2
        self.assertEqual(image[values:values + 32].hex(), digest)
        self.assertEqual(image[values + 32:values + 64],
                         hashlib.sha256(marker).digest())
        self.assertEqual(struct.unpack_from("<Q", image, values + 64)[0],
                         len(marker))
        listing = pack("list", self.packed).out
        self.assertIn("cache directory: {CACHE_DIR}/{PRODUCT}/{VERSION} "
                      "(check: content), files in {CACHE_DIR}/{PRODUCT}/"
                      "{VERSION}/" + digest[:16] + "\n", listing)
        self.assertNotIn("unpack directory", listing)



class SmallestOutputTest(packtest.PackerTestCase):
    """The settings beyond level 19: the launcher reads what they write,
    and the packer that writes them needs no zstd of the system's."""

    def run_launcher(self, packed, temp, arguments=()):
        env = dict(os.environ, TMPDIR=temp)
        env.pop("VESKAR_ONEFILE_PARENT", None)
        return subprocess.run([packed, *arguments], env=env,
                              capture_output=True, timeout=120)

    def test_the_packer_carries_its_own_zstd(self):
        # A fully static program: ldd finds no libraries, libzstd least of
        # all, so it runs when copied to another Linux.
        ldd = subprocess.run(["ldd", packtest.PACKER], capture_output=True,
                             text=True)
        self.assertNotIn("libzstd", ldd.stdout + ldd.stderr)
        self.assertIn("not a dynamic executable", ldd.stdout + ldd.stderr)

    def test_a_long_window_is_found_and_read(self):
        # 64 MiB of noise, then the same 64 MiB again: only a window that
        # reaches 64 MiB back sees the repeat. With --long the package is
        # about half the data; the launcher decodes the frame with its
        # 2^27-byte window, and the main program sees every byte.
        base = self.make_scratch()
        app = os.path.join(base, "app")
        noise = os.urandom(64 << 20)
        data = noise + noise + b"tail"
        packtest.make_tree(app, {
            "main.sh": b"#!/bin/sh\nsha256sum \"$(dirname \"$0\")/data.bin\"\n",
            "data.bin": data})
        os.chmod(os.path.join(app, "main.sh"), 0o755)
        packed = os.path.join(base, "long")
        pack("build", app, "-o", packed, "--target", "linux", "--main",
             "main.sh", "--level", "1", "--long", "--quiet")
        self.assertLess(os.path.getsize(packed), 0.6 * len(data))
        temp = os.path.join(base, "temp")
        os.mkdir(temp)
        process = self.run_launcher(packed, temp)
        self.assertEqual(process.returncode, 0, process.stderr)
        self.assertEqual(process.stdout.decode().split()[0],
                         hashlib.sha256(data).hexdigest())
        self.assertEqual(os.listdir(temp), [])

    def test_ultra_levels_run(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        examples = os.path.join(packtest.SOURCE_DIR, "examples")
        shutil.copytree(os.path.join(examples, "app", "data"),
                        os.path.join(app, "data"))
        shutil.copy(os.path.join(examples, "linux", "example.sh"), app)
        files = {name: len(data)
                 for name, data in support.read_tree(app).items()}
        sizes = {}
        for options in (["--level", "3"], ["--level", "22"], ["--best"]):
            with self.subTest(options=options):
                packed = os.path.join(base, "example")
                pack("build", app, "-o", packed, "--target", "linux",
                     "--quiet", *options)
                sizes[options[-1]] = os.path.getsize(packed)
                temp = os.path.join(base, "temp")
                os.makedirs(temp, exist_ok=True)
                process = self.run_launcher(packed, temp, ["--exit", "5"])
                text = process.stdout.decode("utf-8", "replace")
                self.assertEqual(process.returncode, 5,
                                 text + process.stderr.decode())
                self.assertExampleRan(text, [], 5, files)
                self.assertEqual(os.listdir(temp), [])
        self.assertLessEqual(sizes["22"], sizes["3"])


def rle_frame(size, byte=0, window_log=23):
    """A zstd frame of `size` bytes of `byte` (a multiple of 128 KiB) that
    says its size and a window of 2^window_log bytes, written block by
    block: one RLE block of 128 KiB takes 4 bytes."""
    block = 128 << 10
    out = bytearray(struct.pack("<I", 0xFD2FB528))
    out += bytes([0xC0, (window_log - 10) << 3]) + struct.pack("<Q", size)
    count = size // block
    for i in range(count):
        header = (block << 3) | (1 << 1) | (1 if i == count - 1 else 0)
        out += header.to_bytes(3, "little") + bytes([byte])
    return bytes(out)


def with_forged_table(path, table_size):
    """The package at `path` (a Linux one, its container at its end) with
    its index's record table replaced by `table_size` zero bytes, packed
    block by block (32 KiB a GiB), and the counts around it made to pass
    the index's own checks: as many records as such a table can hold, and
    an archive size large enough for their heads."""
    data = bytearray(packtest.read(path))
    offset, size = packtest.container_place(path)
    at = offset + 3
    magic, content = struct.unpack_from("<II", data, at)
    assert magic == 0x184D2A5E
    frames, records, stream, packed, unpacked = struct.unpack_from(
        "<IIQQQ", data, at + 20)
    table_at = at + 52 + 16 * frames
    forged = rle_frame(table_size)
    records = table_size // 20
    new_stream = max(stream, table_size - 8 * records + 2)
    # The last frame decodes to what the larger archive size needs.
    last = at + 52 + 16 * (frames - 1) + 8
    struct.pack_into("<Q", data, last,
                     struct.unpack_from("<Q", data, last)[0]
                     + new_stream - stream)
    struct.pack_into("<IQQQ", data, at + 24, records, new_stream, len(forged),
                     table_size)
    struct.pack_into("<I", data, at + 4, content - packed + len(forged))
    body = data[offset:table_at] + forged + \
        data[table_at + packed:len(data) - 8]
    return bytes(data[:offset] + body + struct.pack("<Q", len(body)))


def peak_memory(argv, env, scratch, one_processor=False):
    """(exit status, peak resident set in KiB) of running `argv`, on one
    processor when asked: the kernel's count for that process (wait4), as
    GNU time gives it. Its parent is time, not this test: a process's peak
    starts from what its parent held when it was forked."""
    def prepare():
        if one_processor:
            os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:1]))
    report = os.path.join(scratch, "peak.txt")
    status = subprocess.run(["time", "-f", "%M", "-o", report, *argv],
                            env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, preexec_fn=prepare,
                            timeout=120).returncode
    with open(report) as f:
        return status, int(f.read().split()[-1])


class ForgedIndexMemoryTest(packtest.PackerTestCase):
    def test_a_forged_table_size_costs_no_memory(self):
        """A 36 KB package whose index declares a 1 GiB record table: the
        launcher, free to read by the index, and `list` peak within 8 MiB
        of the one-thread reader's peak on the same package (which never
        reads the index), and the package still runs."""
        if len(os.sched_getaffinity(0)) < 2:
            self.skipTest("the index is read only with two processors")
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"main.sh": b"#!/bin/sh\nexit 3\n",
                                 "data.txt": b"some data\n"})
        os.chmod(os.path.join(app, "main.sh"), 0o755)
        packed = os.path.join(base, "sound")
        pack("build", app, "-o", packed, "--target", "linux", "--quiet")
        forged = os.path.join(base, "forged")
        with open(forged, "wb") as f:
            f.write(with_forged_table(packed, 1 << 30))
        os.chmod(forged, 0o755)
        offset, size = packtest.container_place(forged)
        self.assertLess(size, 40000)
        temp = os.path.join(base, "temp")
        os.mkdir(temp)
        env = dict(os.environ, TMPDIR=temp)
        env.pop("VESKAR_ONEFILE_PARENT", None)
        one_status, one_peak = peak_memory([forged], env, base,
                                           one_processor=True)
        self.assertEqual(one_status, 3)
        status, peak = peak_memory([forged], env, base)
        self.assertEqual(status, 3)
        listed, list_peak = peak_memory([packtest.PACKER, "list", forged],
                                        env, base)
        self.assertEqual(listed, 1)
        self.assertLessEqual(peak, one_peak + 8 * 1024,
                             f"the launcher peaked at {peak} KiB, "
                             f"{one_peak} KiB on one thread")
        self.assertLessEqual(list_peak, one_peak + 8 * 1024,
                             f"list peaked at {list_peak} KiB, the launcher "
                             f"at {one_peak} KiB on one thread")
        self.assertEqual(os.listdir(temp), [])


if __name__ == "__main__":
    support.main()
