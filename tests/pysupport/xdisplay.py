"""A virtual X display for the Windows launcher's window tests under Wine.

Debian's Xvfb gives the display; x11-utils' xwininfo lists its windows by
title, and x11-apps' xwd takes a picture of it, which to_png turns into a
PNG without any imaging library. Where any of them is missing the tests
that need a display are skipped (scripts/setup installs them).
"""

import os
import shutil
import struct
import subprocess
import time
import zlib

TOOLS = ("Xvfb", "xwininfo", "xwd")


def missing_tools():
    """The tools that are not installed, by name."""
    return [tool for tool in TOOLS if shutil.which(tool) is None]


class Display:
    """An Xvfb display of its own, for the life of the object."""

    def __init__(self, width=800, height=600):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0",
             f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write,), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(write)
        number = b""
        with os.fdopen(read, "rb") as f:
            while not number.endswith(b"\n"):
                chunk = f.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            self.close()
            raise AssertionError("Xvfb gave no display number")
        self.name = ":" + number.strip().decode()

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def window_titles(self):
        """The titles of the display's windows, as xwininfo names them."""
        result = subprocess.run(["xwininfo", "-root", "-tree", "-display",
                                 self.name], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=30)
        titles = []
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            line = line.strip()
            if line.startswith("0x") and '"' in line:
                start = line.index('"') + 1
                end = line.index('"', start) if '"' in line[start:] else start
                if end > start:
                    titles.append(line[start:end])
        return titles

    def await_title(self, title, present=True, limit_s=60):
        """Waits until a window titled `title` is shown (or, with `present`
        false, until none is). True when it came to that within the
        limit."""
        deadline = time.monotonic() + limit_s
        while True:
            if (title in self.window_titles()) == present:
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)

    def screenshot(self, png_path, limit_s=10):
        """The whole screen as a PNG at `png_path`, once something is drawn
        on it (a window just mapped may not be painted yet), or as it is
        after `limit_s`."""
        deadline = time.monotonic() + limit_s
        while True:
            result = subprocess.run(["xwd", "-root", "-silent", "-display",
                                     self.name], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=60)
            if result.returncode != 0:
                # A window destroyed while xwd walks the tree gives
                # BadWindow: the picture is taken again.
                if time.monotonic() > deadline:
                    raise AssertionError("xwd failed: " +
                                         result.stderr.decode())
                time.sleep(0.1)
                continue
            picture = to_png(result.stdout)
            header = struct.unpack(">25I", result.stdout[:100])
            pixels = result.stdout[header[0] + 12 * header[19]:]
            if len(set(pixels)) > 2 or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        with open(png_path, "wb") as f:
            f.write(picture)


def to_png(xwd):
    """A PNG of an XWD picture in the TrueColor 24- or 32-bit form that
    Xvfb gives (xwd's ZPixmap)."""
    fields = struct.unpack(">25I", xwd[:100])
    header_size = fields[0]
    (width, height, byte_order, bits_per_pixel, bytes_per_line,
     red_mask, green_mask, blue_mask, ncolors) = (
        fields[4], fields[5], fields[7], fields[11], fields[12],
        fields[14], fields[15], fields[16], fields[19])
    if bits_per_pixel not in (24, 32):
        raise AssertionError(f"an XWD picture of {bits_per_pixel} bits a pixel")
    data = xwd[header_size + 12 * ncolors:]
    step = bits_per_pixel // 8
    order = "<" if byte_order == 0 else ">"

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    shifts = [shift(m) for m in (red_mask, green_mask, blue_mask)]
    rows = []
    for y in range(height):
        line = data[y * bytes_per_line:y * bytes_per_line + width * step]
        row = bytearray([0])
        if step == 4:
            pixels = struct.unpack(f"{order}{width}I", line)
        else:
            pixels = [int.from_bytes(line[x * 3:x * 3 + 3],
                                     "little" if order == "<" else "big")
                      for x in range(width)]
        for p in pixels:
            row += bytes(((p >> shifts[0]) & 0xFF, (p >> shifts[1]) & 0xFF,
                          (p >> shifts[2]) & 0xFF))
        rows.append(bytes(row))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0,
                                         0, 0))
            + chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
            + chunk(b"IEND", b""))


