"""cmake/VeskarPack.cmake: a small project builds the bundled example with
the mingw-w64 toolchain and packs it with veskar_pack(); the packed program
runs under Wine and sees every file. The package is made again when a file
of the packed folder is added, changed or removed, and only then, with
Ninja and with Make. A pack that fails fails the build and leaves no
output.

Every Wine call goes through the Wine tests' helpers (winetest: scratch
current directory, the one prefix, headless, time-outs)."""

import os
import re
import shutil
import subprocess

import pefile

import packtest
import support
import test_wine
import winetest
from packtest import read

PROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                       "cmake_step")
# The one line of the README's commands that the reader fills in.
README_PLACEHOLDER = "VESKAR=/path/to/veskar-onefile"


def readme_blocks(heading):
    """[(language, text)] of the fenced blocks in the README's section
    `heading`, in order."""
    with open(os.path.join(packtest.SOURCE_DIR, "README.md"),
              encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## " + heading + "\n", 1)[1].split("\n## ")[0]
    return re.findall(r"```(\w+)\n(.*?)```", section, re.S)


def run_shell(script, cwd, env=None):
    """Runs the lines of `script` in bash, stopping at the first failure."""
    return subprocess.run(["bash", "-euo", "pipefail", "-c", script],
                          cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=900)


def app_files(directory):
    """{name with backslashes: size} of the files below `directory`."""
    return {name.replace("/", "\\"): len(data) for name, data in
            support.read_tree(directory).items()}


def packed_files(package, scratch):
    """{name with '/': bytes} of what `package` carries."""
    into = os.path.join(scratch, "extracted")
    shutil.rmtree(into, ignore_errors=True)
    packtest.pack("extract", package, into, "--quiet")
    return support.read_tree(into)


class CMakeStepTest(winetest.WineTestCase, packtest.PackerTestCase):
    def configure_and_build(self, build, *definitions, generator="Ninja"):
        """Configures the project in `build` and builds it; gives the
        build's CompletedProcess."""
        configure = subprocess.run(
            ["cmake", "-S", PROJECT, "-B", build, "-G", generator,
             "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
                 packtest.SOURCE_DIR, "cmake", "mingw-w64-x86_64.cmake"),
             "-DVESKAR_SOURCE_DIR=" + packtest.SOURCE_DIR,
             "-DVESKAR_PACK=" + packtest.PACKER] + list(definitions),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        self.assertEqual(configure.returncode, 0,
                         configure.stdout.decode("utf-8", "replace"))
        return subprocess.run(["cmake", "--build", build, "-j", "2"],
                              stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=600)

    def test_packed_example_runs(self):
        build = os.path.join(self.make_scratch(), "build")
        result = self.configure_and_build(build)
        self.assertEqual(result.returncode, 0,
                         result.stdout.decode("utf-8", "replace"))
        packed = os.path.join(build, "Packed Example.exe")
        self.assertEqual(read(packed)[:2], b"MZ")

        arguments = ["one", "two words"]
        run = winetest.wine([packed] + arguments + ["--exit", "5"],
                            timeout=120)
        text = run.stdout.decode("utf-8", "replace")
        self.assertEqual(run.returncode, 5, text)
        self.assertExampleRan(text, arguments, 5,
                              app_files(os.path.join(build, "app")))

        # The program relinked (here: its file older than its objects), it
        # is packed again.
        os.unlink(packed)
        os.utime(os.path.join(build, "app", "veskar-example.exe"), (0, 0))
        result = subprocess.run(
            ["cmake", "--build", build],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        self.assertEqual(result.returncode, 0)
        self.assertTrue(os.path.exists(packed))

    def test_package_follows_the_packed_folder(self):
        # A file of the folder added, changed, removed: each build packs
        # again and the package holds the folder as it is; a build with
        # nothing changed leaves the package alone.
        for generator in ("Ninja", "Unix Makefiles"):
            with self.subTest(generator=generator):
                scratch = self.make_scratch()
                build = os.path.join(scratch, "build")
                result = self.configure_and_build(build, generator=generator)
                self.assertEqual(result.returncode, 0,
                                 result.stdout.decode("utf-8", "replace"))
                packed = os.path.join(build, "Packed Example.exe")
                app = os.path.join(build, "app")
                added = os.path.join(app, "data", "new", "added.txt")
                before = packed_files(packed, scratch)
                self.assertNotIn("data/new/added.txt", before)

                def rebuild():
                    result = subprocess.run(
                        ["cmake", "--build", build], stdout=subprocess.PIPE,
                        stderr=subprocess.STDOUT, timeout=600)
                    text = result.stdout.decode("utf-8", "replace")
                    self.assertEqual(result.returncode, 0, text)
                    return text

                def unchanged():
                    stamp = os.stat(packed)
                    text = rebuild()
                    self.assertNotIn("Packing", text)
                    after = os.stat(packed)
                    self.assertEqual((after.st_ino, after.st_mtime_ns),
                                     (stamp.st_ino, stamp.st_mtime_ns))

                unchanged()
                os.makedirs(os.path.dirname(added))
                # (content, what the package must then hold) for each step:
                # added, changed to the same size, removed.
                for content in (b"first\n", b"other\n", None):
                    if content is None:
                        os.unlink(added)
                    else:
                        with open(added, "wb") as f:
                            f.write(content)
                    self.assertIn("Packing", rebuild())
                    files = packed_files(packed, scratch)
                    self.assertEqual(files.get("data/new/added.txt"), content)
                    self.assertEqual(set(files) - {"data/new/added.txt"},
                                     set(before))
                    unchanged()

    def test_failed_pack_fails_the_build(self):
        scratch = self.make_scratch()
        icon = os.path.join(scratch, "broken.ico")
        with open(icon, "wb") as f:
            f.write(b"not an icon\n")
        build = os.path.join(scratch, "build")
        result = self.configure_and_build(build, "-DEXAMPLE_ICON=" + icon)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"veskar-pack: ", result.stdout)
        self.assertFalse(os.path.exists(os.path.join(build,
                                                     "Packed Example.exe")))


class ReadmeCMakeTest(test_wine.PackedExampleCase):
    """The README's CMake section, run as a reader would: its commands as
    written, its files as they stand. Its first command builds the bundled
    example as a project of a user's would be built: its CMake build
    includes cmake/VeskarPack.cmake, and veskar_pack() packs the folder
    after the link, with the data laid out before."""

    def test_readme_commands_run_as_written(self):
        blocks = readme_blocks("Packing from a CMake build")
        self.assertEqual([language for language, _ in blocks],
                         ["sh", "cmake", "cpp", "sh"])
        (_, example), (_, cmakelists), (_, main), (_, own) = blocks

        # The bundled example, from the root of a clone that has been built.
        root = self.make_scratch()
        for name in ("examples", "cmake"):
            os.symlink(os.path.join(packtest.SOURCE_DIR, name),
                       os.path.join(root, name))
        os.mkdir(os.path.join(root, "build"))
        os.symlink(os.path.dirname(packtest.PACKER),
                   os.path.join(root, "build", "bin"))
        result = run_shell(example, root)
        self.assertEqual(result.returncode, 0,
                         result.stdout.decode("utf-8", "replace"))
        packed = os.path.join(root, "build", "example", "Veskar Example.exe")
        packtest.pack("verify", packed)
        self.run_example(packed, test_wine.ARGUMENTS, 6)
        listing = packtest.pack("list", packed).out
        self.assertIn("veskar-example.exe", listing.splitlines()[0])
        version = pefile.PE(packed).FileInfo[0]
        strings = {k.decode(): v.decode() for table in version
                   if hasattr(table, "StringTable")
                   for st in table.StringTable
                   for k, v in st.entries.items()}
        self.assertEqual(strings.get("ProductName"), "Veskar Example")
        self.assertEqual(strings.get("ProductVersion"), "1.2.0.0")

        # A project of one's own, for Windows and for Linux; VESKAR names
        # this clone, whose build/bin is where the packer was built.
        self.assertIn(README_PLACEHOLDER + "\n", own)
        project = os.path.join(root, "hello")
        os.mkdir(project)
        for name, text in (("CMakeLists.txt", cmakelists),
                           ("main.cpp", main)):
            with open(os.path.join(project, name), "w") as f:
                f.write(text)
        env = dict(os.environ, VESKAR=root)
        result = run_shell(own.replace(README_PLACEHOLDER + "\n", ""),
                           project, env)
        self.assertEqual(result.returncode, 0,
                         result.stdout.decode("utf-8", "replace"))
        windows = os.path.join(project, "build", "hello-packed.exe")
        run = winetest.wine([windows], timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn(b"hello from one file", run.stdout)
        with support.scratch_dir("linux-") as cwd:
            run = subprocess.run(
                [os.path.join(project, "build-linux", "hello-packed")],
                cwd=cwd, stdout=subprocess.PIPE, timeout=120)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stdout, b"hello from one file\n")


if __name__ == "__main__":
    support.main()
