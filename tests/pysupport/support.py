"""What every Python test shares: its settings, throw-away folders, reading
a tree back, waiting for a condition within a bound, and the entry point
that tells CTest about skipped tests.

Every Python test finds this folder one way: CTest puts tests/pysupport on
PYTHONPATH (veskar_python_test in tests/CMakeLists.txt). To run one by hand,
do the same and set the variables its helpers name:

  PYTHONPATH=tests/pysupport VESKAR_TEST_WORK=/tmp/w ... \\
      python3 tests/packer/test_cli.py -v DamageTest
"""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

# The line a run prints when everything passed but some tests were skipped;
# the SKIP_REGULAR_EXPRESSION of veskar_python_test matches it, so that CTest
# shows the run as skipped rather than passed.
SKIPPED_MARK = "veskar-test: SKIPPED"


def setting(name):
    """The environment variable `name`, which CTest sets; a run without it
    fails, as a missing program would."""
    value = os.environ.get(name, "")
    if not value:
        raise AssertionError(f"{name} is not set: run the tests through "
                             "CTest (see tests/pysupport/support.py)")
    return value


def require_files(*paths):
    """Fails unless every path exists: a missing build output is a failure,
    never a skip."""
    for path in paths:
        if not os.path.exists(path):
            raise AssertionError(f"missing {path}: build everything first "
                                 "(scripts/build)")


def work():
    """The folder the scratch folders are made in."""
    return setting("VESKAR_TEST_WORK")


@contextlib.contextmanager
def scratch_dir(prefix):
    """A fresh folder below VESKAR_TEST_WORK, removed afterwards with
    everything in it (folders a test closed to its owner included)."""
    base = work()
    os.makedirs(base, exist_ok=True)
    path = tempfile.mkdtemp(prefix=prefix, dir=base)
    try:
        yield path
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", path],
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(path, ignore_errors=True)


class TestCase(unittest.TestCase):
    """A test case with throw-away folders named after `scratch_prefix`."""

    scratch_prefix = "test-"

    def make_scratch(self):
        """A scratch folder that lives until the test ends."""
        context = scratch_dir(self.scratch_prefix)
        path = context.__enter__()
        self.addCleanup(context.__exit__, None, None, None)
        return path

    @classmethod
    def make_class_scratch(cls):
        """A scratch folder that lives until the class's tests end."""
        context = scratch_dir(cls.scratch_prefix + "class-")
        path = context.__enter__()
        cls.addClassCleanup(context.__exit__, None, None, None)
        return path


def read_tree(root):
    """{relative path with '/': bytes} of every file below `root`."""
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, "rb") as f:
                found[relative] = f.read()
    return found


def eventually(condition, seconds):
    """True as soon as `condition()` is, False when it is still not after
    `seconds`: a generous bound for something that should happen at once."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def main():
    """unittest's command line for the calling test file. Exits 1 when a
    test failed; when all passed but some were skipped, prints SKIPPED_MARK
    with the reasons."""
    program = unittest.main(module="__main__", exit=False)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun == 0:
        print("veskar-test: no test ran", flush=True)
        sys.exit(1)
    if result.skipped:
        reasons = sorted({reason for _, reason in result.skipped})
        print(f"{SKIPPED_MARK}: {len(result.skipped)} of {result.testsRun} "
              f"tests: {'; '.join(reasons)}", flush=True)
    sys.exit(0)
