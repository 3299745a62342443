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


if __name__ == "__main__":
    support.main()
