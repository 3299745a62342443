"""--target linux end to end, natively: the example application's Linux
twin (examples/linux/example.sh with the example's data beside it) packed
into one file, run with arguments, seeing its files and the launcher's
variables, its exit code coming back, and its unpack directory removed."""

import os
import re
import shutil
import subprocess
import unittest

import packtest
from packtest import pack

ARGUMENTS = ["one", "two words", "gr\u00fc\u00dfe \u65e5\u672c", ""]


class LinuxEndToEndTest(packtest.PackerTestCase):
    def setUp(self):
        packtest.check_setup(packtest.LINUX_STUB)
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

    def run_packed(self, arguments, code):
        env = dict(os.environ, TMPDIR=self.temp)
        env.pop("VESKAR_ONEFILE_PARENT", None)
        process = subprocess.run([self.packed] + arguments +
                                 ["--exit", str(code)], env=env,
                                 capture_output=True, timeout=60)
        return process, process.stdout.decode("utf-8", "replace")

    def test_example_runs_from_its_package(self):
        process, text = self.run_packed(ARGUMENTS, 7)
        self.assertEqual(process.returncode, 7, text + process.stderr.decode())
        lines = text.splitlines()
        m = re.match(r"Veskar example: hello from (.*/onefile_\d+_\d+)/"
                     r"example\.sh$", lines[0])
        self.assertIsNotNone(m, lines[0])
        self.assertEqual(os.path.dirname(m.group(1)), self.temp)
        given = ARGUMENTS + ["--exit", "7"]
        self.assertIn(f"arguments {len(given)}", lines)
        for i, argument in enumerate(given, 1):
            self.assertIn(f"argument {i} [{argument}]", lines)
        self.assertIn(f"VESKAR_ONEFILE_BINARY={self.packed}", lines)
        self.assertRegex(text, r"(?m)^VESKAR_ONEFILE_PARENT=\d+$")
        seen = {}
        for line in lines:
            if line.startswith("file "):
                name, size = line[5:].rsplit(" ", 1)
                seen[name] = int(size)
        self.assertEqual(seen, {name: len(data) for name, data in
                                packtest.read_tree(self.app).items()})
        self.assertIn("greeting Hello from inside the package!", lines)
        self.assertEqual(os.listdir(self.temp), [],
                         "the unpack directory was left behind")

    def test_exit_codes(self):
        for code in (0, 1, 42, 255):
            with self.subTest(code=code):
                process, text = self.run_packed([], code)
                self.assertEqual(process.returncode, code, text)
                self.assertEqual(os.listdir(self.temp), [])


if __name__ == "__main__":
    unittest.main()
