"""The removal of the unpack directory (platform/windows) under Wine.

The cases that Windows code can build itself run inside removal-test.exe;
links are made here from the Unix side, since Wine 8 cannot make them from
Windows code (see below).
"""

import os

import support
import winetest
from winetest import REMOVAL_TEST, to_windows, wine


class RemovalProgramTest(winetest.WineTestCase):
    def test_long_read_only_held_and_linked_trees(self):
        """Trees with paths of about 600 characters, read-only files and a
        read-only directory, several subfolders at every level (one removal,
        no retries), read-only files hard-linked from outside or mapped
        (their flag stays), a file held open without delete sharing, links,
        many subdirectories at the top (removed on several threads at once);
        and the current directory keeps its contents throughout."""
        base = self.make_scratch()
        result = wine([REMOVAL_TEST, "cases", to_windows(base + "/trees")])
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        verdicts = {}
        for line in lines:
            verdict, _, rest = line.partition(" ")
            verdicts[rest.split(":")[0]] = (verdict, line)
        for case in ("long-paths", "read-only", "branching",
                     "hard-linked-read-only", "mapped-read-only", "held-open",
                     "wide-tree", "missing"):
            with self.subTest(case=case):
                self.assertEqual(verdicts.get(case, ("absent",))[0], "PASS",
                                 "\n".join(lines))
        # Wine 8 cannot make links from Windows code: CreateSymbolicLinkW
        # is a stub that reports success and makes nothing, and
        # FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED. Those
        # cases then say SKIP; on Windows, or a Wine that makes links, they
        # must pass.
        for case in ("directory-symlink", "file-symlink", "junction"):
            with self.subTest(case=case):
                self.assertIn(verdicts.get(case, ("absent",))[0],
                              ("PASS", "SKIP"), "\n".join(lines))
        self.assertEqual(result.returncode, 0, "\n".join(lines))
        self.assertEqual(os.listdir(base), [], "the cases left something")


class UnixLinksTest(winetest.WineTestCase):
    """Wine shows a Unix symbolic link to a directory as a reparse point, one
    to a file as a plain file, and a dangling one not at all; opening any of
    them opens the target, so a plain DeleteFileW through a file link deletes
    the target. The removal must leave every target alone. What it cannot
    remove through Windows calls (the links themselves) stays, and with it
    the tree: a safe failure that the launcher's retries end."""

    def make_target(self, base):
        """A directory with a file at its top and one inside: what the links
        point at."""
        target = os.path.join(base, "target")
        os.makedirs(os.path.join(target, "inner"))
        for relative in ("keep.txt", "inner/keep.txt"):
            with open(os.path.join(target, relative), "w") as f:
                f.write("keep")
        return target

    def assert_target_kept(self, target):
        for relative in ("keep.txt", "inner/keep.txt"):
            with open(os.path.join(target, relative)) as f:
                self.assertEqual(f.read(), "keep", relative)

    def files_left(self, tree):
        """The files still in TREE, relative to it."""
        left = []
        for directory, _, files in os.walk(tree):
            left += [os.path.relpath(os.path.join(directory, f), tree)
                     for f in files]
        return left

    def test_link_targets_survive(self):
        # A link named like its target ("keep.txt" to target/keep.txt):
        # the file Wine opens through it has the link's own name, in
        # another folder, and must not be taken for the link.
        cases = [
            ("directory link", lambda target: target, "link"),
            ("file link", lambda target: os.path.join(target, "keep.txt"),
             "link"),
            ("file link named like its target",
             lambda target: os.path.join(target, "keep.txt"), "keep.txt"),
            ("dangling link", lambda target: os.path.join(target, "gone"),
             "link"),
        ]
        for name, pointing_at, link_name in cases:
            with self.subTest(link=name):
                base = self.make_scratch()
                target = self.make_target(base)
                tree = os.path.join(base, "tree")
                # Links at the top and deep down, beside plain files, with
                # a deep part past 260 characters.
                deep = os.path.join(tree, *(["d" * 60] * 5))
                os.makedirs(deep)
                for directory in (tree, deep):
                    with open(os.path.join(directory, "plain.txt"), "w") as f:
                        f.write("plain")
                    os.symlink(pointing_at(target),
                               os.path.join(directory, link_name))

                wine([REMOVAL_TEST, "remove", to_windows(tree)])

                self.assert_target_kept(target)
                left = self.files_left(tree)
                self.assertNotIn("plain.txt", left)
                self.assertNotIn(os.path.relpath(
                    os.path.join(deep, "plain.txt"), tree), left)

    def test_read_only_link_targets_stay_as_they_are(self):
        """Wine shows a link to a read-only directory as a read-only
        reparse point, and clearing that flag through the link's path
        reaches the target: its mode changed, and an empty target was then
        deleted through the link. The removal clears no flag through a
        path that may be a link, and the targets keep their mode."""
        base = self.make_scratch()
        empty = os.path.join(base, "empty-target")
        full = os.path.join(base, "full-target")
        os.makedirs(empty)
        os.makedirs(full)
        with open(os.path.join(full, "keep.txt"), "w") as f:
            f.write("keep")
        tree = os.path.join(base, "tree")
        os.makedirs(os.path.join(tree, "sub"))
        os.symlink(empty, os.path.join(tree, "to-empty"))
        os.symlink(full, os.path.join(tree, "sub", "to-full"))
        for target in (empty, full):
            os.chmod(target, 0o555)
            self.addCleanup(lambda t=target: os.path.isdir(t) and
                            os.chmod(t, 0o755))

        wine([REMOVAL_TEST, "remove", to_windows(tree)])

        for target in (empty, full):
            self.assertTrue(os.path.isdir(target), target)
            self.assertEqual(os.stat(target).st_mode & 0o777, 0o555, target)
        self.assertEqual(os.listdir(full), ["keep.txt"])

    def test_link_targets_survive_in_a_wide_tree(self):
        """Many subdirectories at the top, which the removal takes on several
        threads at once, with links of every kind among them and inside
        them: no thread goes through a link, and every target stays."""
        base = self.make_scratch()
        target = self.make_target(base)
        tree = os.path.join(base, "tree")
        pointing_at = [target, os.path.join(target, "keep.txt"),
                       os.path.join(target, "gone")]
        plain = []
        for i in range(12):
            sub = os.path.join(tree, "sub-%d" % i)
            os.makedirs(os.path.join(sub, "inner"))
            for directory in (sub, os.path.join(sub, "inner")):
                with open(os.path.join(directory, "plain.txt"), "w") as f:
                    f.write("plain")
                plain.append(os.path.relpath(
                    os.path.join(directory, "plain.txt"), tree))
            os.symlink(pointing_at[i % 3], os.path.join(sub, "link"))
            os.symlink(pointing_at[(i + 1) % 3],
                       os.path.join(sub, "inner", "link"))
            # Links at the top, beside the subdirectories, named so that
            # they come between them in a listing.
            os.symlink(pointing_at[i % 3], os.path.join(tree, "sub-%d-link" % i))

        wine([REMOVAL_TEST, "remove", to_windows(tree)])

        self.assert_target_kept(target)
        left = self.files_left(tree)
        for relative in plain:
            self.assertNotIn(relative, left)


if __name__ == "__main__":
    support.main()
