"""Packed Windows programs under Wine: the bundled example application runs
from its package, sees its files, its arguments and the launcher's
variables, and its exit code comes back; the same after Authenticode
signing with a throw-away certificate, which osslsigncode verifies.

Every Wine call goes through the helpers of tests/wine (scratch current
directory, own prefix, headless, time-outs)."""

import os
import re
import subprocess
import sys
import unittest

import pefile

import packtest
from packtest import pack, read

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "wine"))
import winetest  # noqa: E402  (tests/wine)

ARGUMENTS = ["one", "two words", "gr\u00fc\u00dfe \u65e5\u672c", ""]


def example_files():
    """{name with backslashes: size} of the example application."""
    return {name.replace("/", "\\"): len(data) for name, data in
            packtest.read_tree(packtest.EXAMPLE_APP).items()}


class PackedExampleCase(winetest.WineTestCase):
    @classmethod
    def setUpClass(cls):
        packtest.check_setup(packtest.EXAMPLE_APP)
        super().setUpClass()
        cls._scratch = packtest.scratch()
        cls.base = cls._scratch.__enter__()
        cls.packed = os.path.join(cls.base, "Example App.exe")
        pack("build", packtest.EXAMPLE_APP, "-o", cls.packed, "--quiet",
             "--product", "Veskar Example")

    @classmethod
    def tearDownClass(cls):
        cls._scratch.__exit__(None, None, None)

    def run_example(self, path, arguments, code):
        """Runs `path` with `arguments` and --exit `code`; checks everything
        the example prints against what it should see."""
        before = set()
        for temp in winetest.wine_temp_directory():
            before |= winetest.unpack_directories(temp)
        result = winetest.wine([path] + arguments + ["--exit", str(code)],
                               timeout=120)
        text = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, code, text + result.stderr.decode(
            "utf-8", "replace"))
        lines = text.splitlines()
        m = re.match(r"Veskar example: hello from (.*\\onefile_\d+_\d+)"
                     r"\\veskar-example\.exe$", lines[0])
        self.assertIsNotNone(m, lines[0])
        given = arguments + ["--exit", str(code)]
        self.assertIn(f"arguments {len(given)}", lines)
        for i, argument in enumerate(given, 1):
            self.assertIn(f"argument {i} [{argument}]", lines)
        variables = dict(line.split("=", 1) for line in lines
                         if line.startswith("VESKAR_ONEFILE_"))
        self.assertRegex(variables["VESKAR_ONEFILE_PARENT"], r"^\d+$")
        self.assertEqual(variables["VESKAR_ONEFILE_BINARY"].lower(),
                         winetest.to_windows(path).lower())
        seen = {}
        for line in lines:
            if line.startswith("file "):
                name, size = line[5:].rsplit(" ", 1)
                seen[name] = int(size)
        self.assertEqual(seen, example_files())
        with open(os.path.join(packtest.EXAMPLE_APP, "data", "greeting.txt"),
                  encoding="utf-8") as f:
            greeting = f.readline().rstrip("\r\n")
        self.assertIn(f"greeting {greeting}", lines)
        self.assertEqual(lines[-1], f"exit {code}")
        # The unpack directory is gone again.
        after = set()
        for temp in winetest.wine_temp_directory():
            after |= winetest.unpack_directories(temp)
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
    unittest.main()
