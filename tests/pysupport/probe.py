"""The probe children the launcher's tests pack and start: the application
they make up, and the report each writes about itself.

The Windows probe (tests/wine/probe.cpp) and the Linux one
(tests/integration/linux_probe.cpp) write the same report: one "key value"
line each, every text in hex, of UTF-16LE code units from the Windows probe
and of bytes from the Linux one, so nothing is re-encoded on the way.
"""

import concurrent.futures
import hashlib
import ntpath
import os
import posixpath

import support


def hex16(text):
    """The hex of the UTF-16LE code units of `text` (lone surrogates kept)."""
    return text.encode("utf-16-le", "surrogatepass").hex()


def unhex16(text):
    return bytes.fromhex(text).decode("utf-16-le", "surrogatepass")


def unhex8(text):
    return bytes.fromhex(text).decode("utf-8", "surrogateescape")


class Report:
    """What a probe child wrote about itself. `windows` tells which probe
    wrote it: names and texts are UTF-16 from that one, UTF-8 from the
    Linux one. `directories` maps each directory to its mode ("700"; None
    from the Windows probe). `inherited` holds what the Linux probe was
    started with: {"ignored": SigIgn, "umask": "0022", ...}."""

    def __init__(self, path, windows):
        text = unhex16 if windows else unhex8
        self.windows = windows
        self.args, self.files, self.directories = [], {}, {}
        self.env, self.std, self.inherited = {}, {}, {}
        self.stdin = self.holder = self.grandchild = None
        self.nested = None
        # {row: result} of what the probe did to its own folder.
        self.folder = {}
        self.complete = False
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(" ")
                if key == "arg":
                    self.args.append(bytes.fromhex(value))
                elif key in ("command-line", "current-directory",
                             "module-path", "cwd", "exe"):
                    setattr(self, key.replace("-", "_"), text(value))
                elif key in ("parent-var", "binary-var"):
                    setattr(self, key.replace("-", "_"),
                            None if value == "-" else text(value))
                elif key in ("pid", "ppid"):
                    setattr(self, key, int(value))
                elif key == "own-directory-mode":
                    self.own_directory_mode = value
                elif key.startswith("inherited-"):
                    self.inherited[key[len("inherited-"):]] = value
                elif key.startswith("std-"):
                    self.std[key[4:]] = value
                elif key == "env":
                    name, _, content = text(value).partition("=")
                    self.env[name] = content
                elif key == "directory":
                    name, _, mode = value.partition(" ")
                    self.directories[text(name)] = mode or None
                elif key == "file":
                    name, size, digest = value.split(" ")
                    self.files[text(name)] = (int(size), digest)
                elif key == "stdin":
                    self.stdin = bytes.fromhex(value)
                elif key == "holder":
                    self.holder = value
                elif key == "grandchild":
                    self.grandchild = value
                elif key == "nested":
                    self.nested = int(value)
                elif key == "folder":
                    row, _, result = value.partition(" ")
                    self.folder[row] = result
                elif key == "end":
                    self.complete = True

    @property
    def unpack_directory(self):
        """The directory the probe runs from: a Windows path from the
        Windows probe, a Unix one from the Linux probe."""
        if self.windows:
            return ntpath.dirname(self.module_path)
        return posixpath.dirname(self.exe)


def file_table(records, separator="\\"):
    """{name: (size, sha256)} of archive records, as a probe reports them:
    names with `separator` between levels."""
    return {name.replace("\\", separator):
            (len(data), hashlib.sha256(data).hexdigest())
            for name, data in records}


def probe_records(probe, name):
    """An application: the probe program at `probe`, stored as `name` and
    so started first, then a few files of several kinds."""
    with open(probe, "rb") as f:
        records = [(name, f.read())]
    return records + [
        ("data\\empty.bin", b""),
        ("data\\nested\\deeper\\note.txt", b"a note\r\n"),
        ("data\\gr\u00fc\u00dfe \u65e5\u672c.txt", "gr\u00fc\u00dfe".encode("utf-8")),
        ("big.bin", os.urandom(300 * 1024)),
    ]


def write_unpacked(records, directory):
    """Writes `records` into `directory` as the application is before it
    is packed."""
    for name, data in records:
        path = os.path.join(directory, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def with_large_files(records):
    """`records` and 128 MiB of zeros behind them in eight files: an
    extraction that takes long enough to be interrupted."""
    return records + [(f"zeros\\{i}.bin", bytes(16 << 20)) for i in range(8)]


def unpack_directories(directory):
    """Names of the unpack directories in `directory`."""
    if not os.path.isdir(directory):
        return set()
    return {n for n in os.listdir(directory) if n.startswith("onefile_")}


class LaunchTestCase(support.TestCase):
    """Tests that start a packed launcher: `launch(**options)` starts one
    and gives what it did, with `unpack_directories()`."""

    def launch_many(self, calls):
        """Runs launch(**kwargs) for each of `calls` at once; results in
        order."""
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            return list(pool.map(lambda kwargs: self.launch(**kwargs), calls))

    def assertRemoved(self, launch):
        self.assertEqual(launch.unpack_directories(), set(),
                         "the unpack directory is still there")
