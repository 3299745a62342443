"""Shared by the benchmarks in bench/: the generated application tree, where
the container lies in a packed Linux launcher, and the measuring helpers.

The tree is realistic and reproducible: a fixed seed gives the same tree on
the same system (about 2,300 files, about 300 MiB, directories up to four
levels deep, one large main program). Its contents come from this machine's
/usr/lib and /usr/share/doc.
"""
import glob
import gzip
import json
import math
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile

MIB = 1 << 20


def die(message):
    print("bench: " + message, file=sys.stderr)
    sys.exit(1)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


# --- The tree -----------------------------------------------------------------

def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def sources():
    """Shared libraries and texts of this system, in a stable order."""
    libs = []
    for path in sorted(glob.glob("/usr/lib/x86_64-linux-gnu/**/*.so*", recursive=True)):
        if os.path.isfile(path) and not os.path.islink(path) and \
                os.path.getsize(path) >= 4096 and is_elf(path):
            libs.append((path, os.path.getsize(path)))
    texts = []
    for pattern in ("/usr/share/doc/**/copyright", "/usr/share/doc/**/*.txt",
                    "/usr/share/doc/**/README*", "/usr/share/common-licenses/*",
                    "/usr/include/**/*.h"):
        texts.extend(p for p in glob.glob(pattern, recursive=True)
                     if os.path.isfile(p) and not os.path.islink(p))
    packed = [p for p in glob.glob("/usr/share/doc/**/changelog*.gz", recursive=True)
              if os.path.isfile(p) and not os.path.islink(p)]
    if not libs or not texts:
        die("no system libraries or texts to build the tree from")
    return libs, sorted(set(texts)), sorted(packed)


def library_bytes(rng, libs, size):
    """`size` bytes of library code: slices of randomly chosen libraries."""
    out = bytearray()
    while len(out) < size:
        path, length = libs[rng.randrange(len(libs))]
        want = min(size - len(out), length)
        start = rng.randrange(0, length - want + 1)
        with open(path, "rb") as f:
            f.seek(start)
            out += f.read(want)
    return bytes(out)


def text_bytes(rng, texts, size):
    out = bytearray()
    while len(out) < size:
        with open(texts[rng.randrange(len(texts))], "rb") as f:
            out += f.read(size - len(out))
    return bytes(out)


def packed_bytes(rng, packed, texts, size):
    """Data that is compressed already, as images and archives in an app are."""
    if not packed:
        return gzip.compress(text_bytes(rng, texts, size * 3))[:size]
    out = bytearray()
    while len(out) < size:
        with open(packed[rng.randrange(len(packed))], "rb") as f:
            out += f.read(size - len(out))
    return bytes(out)


DIR_WORDS = ["lib", "plugins", "resources", "locale", "share", "modules",
             "platforms", "imageformats", "styles", "data", "python", "site",
             "encodings", "fonts", "icons", "themes", "qml", "translations",
             "extensions", "tools", "help", "templates", "sql", "assets"]
FILE_WORDS = ["core", "gui", "net", "widgets", "sql", "xml", "svg", "json",
              "ssl", "crypto", "zip", "audio", "video", "print", "help",
              "quick", "model", "view", "engine", "render", "text", "util"]


def make_directories(rng):
    """About 130 relative directories, up to four levels deep."""
    dirs = []

    def grow(parent, level, fanout):
        for i in range(rng.randint(*fanout)):
            name = "%s%s" % (rng.choice(DIR_WORDS), "" if i == 0 else i)
            path = name if not parent else parent + "/" + name
            if path in dirs:
                continue
            dirs.append(path)
            if level < 4:
                grow(path, level + 1, [(2, 4), (0, 3), (0, 2)][level - 1])

    grow("", 1, (9, 11))
    return dirs


def generate_tree(tree, seed, files, total_mib, main_mib):
    rng = random.Random(seed)
    libs, texts, packed = sources()
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(tree)
    dirs = make_directories(rng)
    for d in dirs:
        os.makedirs(os.path.join(tree, d), exist_ok=True)

    # The main program: a real ELF with the bulk of the bytes behind it.
    main_size = main_mib * MIB
    with open("/usr/bin/true", "rb") as f:
        elf = f.read()
    big = sorted(libs, key=lambda x: -x[1])[:8]
    with open(os.path.join(tree, "app"), "wb") as f:
        f.write(elf)
        f.write(library_bytes(rng, big, main_size - len(elf)))
    os.chmod(os.path.join(tree, "app"), 0o755)

    # The other files: sizes from a log-normal spread (most small, a few of
    # megabytes), scaled to the total; 55 % library code, 35 % text, 10 %
    # data compressed already.
    count = files - 1
    rest = total_mib * MIB - main_size
    raw = [min(max(rng.lognormvariate(math.log(12 * 1024), 1.6), 64), 8 * MIB)
           for _ in range(count)]
    scale = rest / sum(raw)
    names = set()
    for size in raw:
        size = max(16, int(size * scale))
        kind = rng.random()
        if kind < 0.55:
            data, ext = library_bytes(rng, libs, size), rng.choice([".dll", ".pyd", ".so"])
        elif kind < 0.90:
            data, ext = text_bytes(rng, texts, size), rng.choice([".txt", ".py", ".json", ".qml", ".h"])
        else:
            data, ext = packed_bytes(rng, packed, texts, size), rng.choice([".png", ".gz", ".pak"])
        folder = rng.choice([""] * 6 + dirs)
        while True:
            base = "%s%d%s" % (rng.choice(FILE_WORDS), rng.randrange(1000), ext)
            rel = base if not folder else folder + "/" + base
            if rel not in names and rel != "app":
                break
        names.add(rel)
        with open(os.path.join(tree, rel), "wb") as f:
            f.write(data)
    return len(dirs)


def tree_stats(tree):
    files = total = 0
    depth = 0
    dirs = 0
    for root, dnames, fnames in os.walk(tree):
        rel = os.path.relpath(root, tree)
        if rel != ".":
            dirs += 1
            depth = max(depth, rel.count("/") + 1)
        for n in fnames:
            files += 1
            total += os.path.getsize(os.path.join(root, n))
    return files, dirs, depth, total



def ensure_tree(work, seed, files, total_mib, main_mib, regenerate=False):
    """The tree in WORK/tree, generated when missing, when the parameters
    changed, or when asked; its path."""
    tree = os.path.join(work, "tree")
    stamp = os.path.join(work, "tree.stamp")
    params = json.dumps([seed, files, total_mib, main_mib, 1])
    if regenerate or not os.path.exists(stamp) or open(stamp).read() != params:
        print("generating the tree in %s ..." % tree, flush=True)
        if os.path.exists(stamp):
            os.unlink(stamp)
        generate_tree(tree, seed, files, total_mib, main_mib)
        with open(stamp, "w") as f:
            f.write(params)
    return tree


# --- The packed Linux launcher -------------------------------------------------

def container_span(app):
    """Where the container lies in a packed Linux launcher: its last 8 bytes
    count the container's bytes in front of them."""
    size = os.path.getsize(app)
    with open(app, "rb") as f:
        f.seek(size - 8)
        in_front = int.from_bytes(f.read(8), "little")
    return size - 8 - in_front, in_front + 8


def cut_frames(app, frames):
    """The zstd frames of the container: from its byte 3 to 10 bytes before
    its end."""
    start, size = container_span(app)
    with open(app, "rb") as src, open(frames, "wb") as dst:
        src.seek(start + 3)
        left = size - 13
        while left:
            chunk = src.read(min(left, 8 * MIB))
            dst.write(chunk)
            left -= len(chunk)
    return size


# --- Measuring ----------------------------------------------------------------

def peak_rss_kib(cmd, env=None, prepare=None, cwd=None):
    """The peak RSS of CMD in KiB, after the shell command PREPARE. The
    report goes through a file: a process CMD leaves running (a Wine
    service) could hold a pipe open long after CMD has ended."""
    if prepare:
        subprocess.run(prepare, shell=True, check=True)
    with tempfile.NamedTemporaryFile("r", prefix="veskar-bench-rss-") as report:
        subprocess.run(["/usr/bin/time", "-v", "-o", report.name] + cmd, env=env, cwd=cwd,
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        for line in report.read().splitlines():
            if "Maximum resident set size" in line:
                return int(line.split(":")[1])
    die("no peak RSS from /usr/bin/time")


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = 0
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal"):
            mem = int(line.split()[1]) // (1024 * 1024)
    return "%s, %d cores, %d GiB RAM, Linux %s" % (cpu, os.cpu_count(), mem, platform.release())


def version(cmd):
    try:
        line = subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0]
        return line.strip("* \n")
    except (OSError, IndexError):
        return "?"
