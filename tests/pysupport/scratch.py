"""Throw-away folders for the Python tests."""

import contextlib
import os
import shutil
import subprocess
import tempfile


@contextlib.contextmanager
def scratch_dir(work, prefix):
    """A fresh folder below `work`, removed afterwards with everything in it
    (folders a test closed to its owner included)."""
    os.makedirs(work, exist_ok=True)
    path = tempfile.mkdtemp(prefix=prefix, dir=work)
    try:
        yield path
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", path],
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(path, ignore_errors=True)
