"""The scripts a new user runs first: scripts/demo packs the application
directory named relative to where the user stands and runs it under Wine;
a build configured outside the source tree writes its programs below its
own build directory, never into the source tree's build/bin."""

import os
import shutil
import subprocess

import packtest
import support

SOURCE_DIR = os.environ["VESKAR_SOURCE_DIR"]


class DemoTest(packtest.PackerTestCase):
    def test_demo_packs_the_folder_named_from_where_the_user_stands(self):
        base = self.make_scratch()
        here = os.path.join(base, "here")
        os.mkdir(here)
        shutil.copytree(os.environ["VESKAR_EXAMPLE_APP"],
                        os.path.join(here, "myapp"))
        # A file only this copy holds shows that it, not the bundled
        # example, was packed.
        with open(os.path.join(here, "myapp", "mine.txt"), "wb") as f:
            f.write(b"only in the user's copy")
        env = dict(os.environ, VESKAR_DEMO_BUILT="1")
        # Files, not pipes: Wine's background processes would hold a pipe
        # open long after the run.
        with open(os.path.join(base, "out"), "w+") as out, \
                open(os.path.join(base, "err"), "w+") as err:
            status = subprocess.run(
                ["bash", os.path.join(SOURCE_DIR, "scripts", "demo"), "myapp",
                 "--", "first arg", "--exit", "5"],
                cwd=here, env=env, stdout=out, stderr=err,
                timeout=600).returncode
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        self.assertEqual(status, 0, stderr)
        self.assertIn("wrote ", stdout)
        self.assertIn("== running myapp.exe under Wine", stdout)
        self.assertIn("file mine.txt 23", stdout)
        self.assertIn("argument 1 [first arg]", stdout)
        self.assertTrue(stdout.rstrip().endswith("== exit status: 5"), stdout)


class OutOfTreeBuildTest(support.TestCase):
    def test_programs_land_below_the_build_directory(self):
        base = self.make_scratch()
        build = os.path.join(base, "elsewhere")
        in_tree = os.path.join(SOURCE_DIR, "build", "bin", "veskar-launcher")
        before = os.stat(in_tree).st_mtime_ns if os.path.exists(in_tree) \
            else None
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        configure = subprocess.run(
            ["cmake", "-S", SOURCE_DIR, "-B", build, *generator,
             "-DVESKAR_ZSTD_HOST=" + os.environ["VESKAR_ZSTD_HOST"],
             "-DVESKAR_WINDOWS_STUB=" + os.environ["VESKAR_WINDOWS_STUB"]],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            timeout=300)
        self.assertEqual(configure.returncode, 0, configure.stdout)
        built = subprocess.run(
            ["cmake", "--build", build, "--target", "veskar-launcher-linux",
             "-j", "2"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, timeout=600)
        self.assertEqual(built.returncode, 0, built.stdout)
        self.assertTrue(os.path.isfile(
            os.path.join(build, "bin", "veskar-launcher")))
        after = os.stat(in_tree).st_mtime_ns if os.path.exists(in_tree) \
            else None
        self.assertEqual(after, before)


if __name__ == "__main__":
    support.main()
