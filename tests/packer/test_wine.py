"""Packed Windows programs under Wine: the bundled example application runs
from its package, sees its files, its arguments and the launcher's
variables, and its exit code comes back; the same after Authenticode
signing with a throw-away certificate, which osslsigncode verifies.

Every Wine call goes through the Wine tests' helpers (winetest: scratch
current directory, the one prefix, headless, time-outs)."""

import os
import shutil
import subprocess

import pefile

import packtest
import probe
import support
import winetest
from packtest import pack, read

ARGUMENTS = ["one", "two words", "gr\u00fc\u00dfe \u65e5\u672c", ""]


def example_files():
    """{name with backslashes: size} of the example application."""
    return {name.replace("/", "\\"): len(data) for name, data in
            support.read_tree(packtest.EXAMPLE_APP).items()}


class PackedExampleCase(winetest.WineTestCase, packtest.PackerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.base = cls.make_class_scratch()
        cls.packed = os.path.join(cls.base, "Example App.exe")
        pack("build", packtest.EXAMPLE_APP, "-o", cls.packed, "--quiet",
             "--product", "Veskar Example")

    def run_example(self, path, arguments, code):
        """Runs `path` with `arguments` and --exit `code`; checks everything
        the example prints against what it should see."""
        before = set()
        for temp in winetest.wine_temp_directory():
            before |= probe.unpack_directories(temp)
        result = winetest.wine([path] + arguments + ["--exit", str(code)],
                               timeout=120)
        text = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, code, text + result.stderr.decode(
            "utf-8", "replace"))
        program, variables = self.assertExampleRan(text, arguments, code,
                                                   example_files())
        self.assertRegex(program, r"\\onefile_\d+_\d+\\veskar-example\.exe$")
        self.assertEqual(variables["VESKAR_ONEFILE_BINARY"].lower(),
                         winetest.to_windows(path).lower())
        # The unpack directory is gone again.
        after = set()
        for temp in winetest.wine_temp_directory():
            after |= probe.unpack_directories(temp)
        self.assertEqual(after - before, set())


class ExampleUnderWineTest(PackedExampleCase):
    def test_example_runs_from_its_package(self):
        self.run_example(self.packed, ARGUMENTS, 7)

    def test_exit_codes_come_back_whole(self):
        for code in (0, 3, 1000, 70000):
            with self.subTest(code=code):
                command = (f'"{winetest.to_windows(self.packed)}" '
                           f'--exit {code}')
                result = winetest.harness(self.packed, command_line=command)
                self.assertEqual(result.exit_code, code)


class SmallestOutputUnderWineTest(PackedExampleCase):
    def test_best_output_runs(self):
        # Level 22 with long-distance matching: the Windows launcher's
        # decoder reads the largest window the packer writes.
        packed = os.path.join(self.base, "Best.exe")
        pack("build", packtest.EXAMPLE_APP, "-o", packed, "--quiet", "--best")
        self.run_example(packed, ARGUMENTS, 9)


class ImageMappingTest(PackedExampleCase):
    def test_a_warm_start_does_not_read_the_payload_into_memory(self):
        # The resource section starts on a page of the file, so Wine maps it
        # from the file instead of copying it into memory at load. A warm
        # cache start reads none of the payload: its peak memory stays far
        # below the 64 MiB it carries. (With the section at the stub's end,
        # 512-byte aligned, Wine 8 read it all: about 80 MiB here.)
        base = self.make_scratch()
        app = os.path.join(base, "app")
        shutil.copytree(packtest.EXAMPLE_APP, app)
        with open(os.path.join(app, "noise.bin"), "wb") as f:
            f.write(os.urandom(64 << 20))
        packed = os.path.join(base, "Mapped.exe")
        pack("build", app, "-o", packed, "--quiet", "--cache-dir",
             "{TEMP}\\mapped")
        temp = os.path.join(base, "temp")
        os.mkdir(temp)
        env = dict(winetest.environment(), TEMP=winetest.to_windows(temp),
                   TMP=winetest.to_windows(temp))
        peaks = []
        for _ in range(2):  # cold, then warm
            with support.scratch_dir("wine-") as cwd:
                rss = os.path.join(cwd, ".rss")
                result = subprocess.run(
                    ["/usr/bin/time", "-f", "%M", "-o", rss, winetest.WINE,
                     packed, "--exit", "4"], cwd=cwd, env=env,
                    capture_output=True, timeout=120)
                self.assertEqual(result.returncode, 4, result.stderr)
                with open(rss) as f:
                    peaks.append(int(f.read().split()[-1]))
        self.assertLess(peaks[1], 32 << 10, f"peak RSS {peaks} KiB")


class SignedUnderWineTest(PackedExampleCase):
    def test_signed_package_verifies_and_runs(self):
        keys = self.make_scratch()
        key, cert = os.path.join(keys, "key.pem"), os.path.join(keys, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                        "-subj", "/CN=Veskar throw-away test signer",
                        "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, capture_output=True, timeout=60)
        signed = os.path.join(self.base, "Signed Example.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key,
                        "-n", "Veskar Example", "-h", "sha256",
                        "-in", self.packed, "-out", signed],
                       check=True, capture_output=True, timeout=60)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert,
                                   "-in", signed], capture_output=True,
                                  timeout=60)
        report = verified.stdout.decode("utf-8", "replace")
        self.assertEqual(verified.returncode, 0, report)
        self.assertIn("Signature verification: ok", report)

        pe = pefile.PE(signed)
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
        self.assertGreater(security.Size, 0)
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
        pe.close()
        self.assertEqual(pack("list", signed).out, pack("list", self.packed).out)
        pack("verify", signed, "--quiet")
        self.run_example(signed, ["signed"], 5)

        # The signature covers the payload: one changed byte in it and the
        # file no longer verifies.
        offset, size = packtest.container_place(signed)
        tampered = bytearray(read(signed))
        tampered[offset + size // 2] ^= 1
        bad = os.path.join(self.base, "tampered.exe")
        with open(bad, "wb") as f:
            f.write(tampered)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert,
                                   "-in", bad], capture_output=True, timeout=60)
        self.assertNotEqual(verified.returncode, 0)


if __name__ == "__main__":
    support.main()
