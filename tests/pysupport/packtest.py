"""Shared helpers of the packer's tests.

Configuration comes from the environment, set by CTest (tests/packer/
CMakeLists.txt):
  VESKAR_PACKER          veskar-pack
  VESKAR_WINDOWS_STUB    the Windows launcher stub the packer carries
  VESKAR_LINUX_STUB      the Linux launcher stub the packer carries
  VESKAR_EXAMPLE_APP     the example application directory (Windows build)
  VESKAR_SOURCE_DIR      the source tree (examples/, resources/)
  VESKAR_TEST_WORK       where scratch folders are made
"""

import os
import re
import struct
import subprocess
import zlib

import support
from container import BUILD_VALUES_MARKER

PACKER = os.environ.get("VESKAR_PACKER", "")
WINDOWS_STUB = os.environ.get("VESKAR_WINDOWS_STUB", "")
LINUX_STUB = os.environ.get("VESKAR_LINUX_STUB", "")
EXAMPLE_APP = os.environ.get("VESKAR_EXAMPLE_APP", "")
SOURCE_DIR = os.environ.get("VESKAR_SOURCE_DIR", "")

DEFAULT_ICON = os.path.join(SOURCE_DIR, "resources", "default.ico")


class PackerTestCase(support.TestCase):
    """Fails at once when the packer, its stubs or the example application
    are missing."""

    scratch_prefix = "packer-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        support.setting("VESKAR_SOURCE_DIR")
        support.work()
        support.require_files(
            support.setting("VESKAR_PACKER"),
            support.setting("VESKAR_WINDOWS_STUB"),
            support.setting("VESKAR_LINUX_STUB"),
            support.setting("VESKAR_EXAMPLE_APP"))


    def assertExampleRan(self, text, arguments, code, files):
        """Checks what the example application (examples/app, or its Linux
        twin) printed: `arguments` and --exit `code`, the launcher's
        variables, {name: size} `files`, the greeting, the exit. Gives the
        path it said it ran from, and the launcher's variables."""
        lines = text.splitlines()
        m = re.fullmatch(r"Veskar example: hello from (.*)",
                         lines[0] if lines else "")
        self.assertIsNotNone(m, text)
        given = arguments + ["--exit", str(code)]
        self.assertIn(f"arguments {len(given)}", lines)
        for i, argument in enumerate(given, 1):
            self.assertIn(f"argument {i} [{argument}]", lines)
        variables = dict(line.split("=", 1) for line in lines
                         if line.startswith("VESKAR_ONEFILE_"))
        self.assertRegex(variables["VESKAR_ONEFILE_PARENT"], r"^\d+$")
        seen = {}
        for line in lines:
            if line.startswith("file "):
                name, size = line[5:].rsplit(" ", 1)
                seen[name] = int(size)
        self.assertEqual(seen, files)
        with open(os.path.join(SOURCE_DIR, "examples", "app", "data",
                               "greeting.txt"), encoding="utf-8") as f:
            greeting = f.readline().rstrip("\r\n")
        self.assertIn(f"greeting {greeting}", lines)
        self.assertEqual(lines[-1], f"exit {code}")
        return m.group(1), variables


def pack(*args, check=True, timeout=300, **kwargs):
    """Runs veskar-pack; gives the CompletedProcess with text output."""
    result = subprocess.run([PACKER] + [str(a) for a in args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=timeout, **kwargs)
    result.out = result.stdout.decode("utf-8", "replace")
    result.err = result.stderr.decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise AssertionError(f"veskar-pack {' '.join(map(str, args))} "
                             f"failed ({result.returncode}): {result.err}")
    return result


def make_tree(root, files):
    """Writes {relative path with '/': bytes} below `root`."""
    for relative, data in files.items():
        path = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def build_values(image):
    """The (company, product, version) in an image's build values block."""
    at = image.index(BUILD_VALUES_MARKER) + 16
    values = []
    for field in range(3):
        units = image[at + 128 * field: at + 128 * (field + 1)]
        text = units.decode("utf-16-le")
        values.append(text.split("\0", 1)[0])
    return tuple(values)


def png(width, height, rgba):
    """A PNG of one colour, 8-bit RGBA."""
    row = b"\0" + bytes(rgba) * width
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


def bmp(size, bgra):
    """A 32-bit icon BMP (header with doubled height, pixels, AND mask)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0,
                         0, 0, 0, 0)
    pixels = bytes(bgra) * (size * size)
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    return header + pixels + mask


def ico(images, zero_fields=False):
    """An .ico file of (size, bytes) images; `zero_fields` leaves planes and
    bit depth 0, as many tools do for PNG images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        stored = 0 if size == 256 else size
        planes, bits = (0, 0) if zero_fields else (1, 32)
        entries += struct.pack("<BBBBHHII", stored, stored, 0, 0, planes, bits,
                               len(image), offset + len(data))
        data += image
    return out + entries + data


def ico_images(data):
    """[(width, height, planes, bits, image bytes)] of an .ico file."""
    count = struct.unpack_from("<H", data, 4)[0]
    images = []
    for i in range(count):
        w, h, _, _, planes, bits, size, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        images.append((w, h, planes, bits, data[offset:offset + size]))
    return images


def container_place(path):
    """(offset, size) of the container in a packed Windows or Linux file."""
    data = read(path)
    if data[:2] == b"MZ":
        import pefile
        pe = pefile.PE(data=data, fast_load=False)
        for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if t.id != 10:
                continue
            for n in t.directory.entries:
                if n.id == 27:
                    entry = n.directory.entries[0].data.struct
                    return (pe.get_offset_from_rva(entry.OffsetToData),
                            entry.Size)
        raise AssertionError("no resource 27")
    in_front = struct.unpack("<Q", data[-8:])[0]
    return (len(data) - 8 - in_front, in_front + 8)
