"""The Windows packer's paths as the system takes them and back
(packer/os/windows/fs.cpp): shares, drive paths, devices. packer-paths-test.exe
runs the cases and says which pass."""

import support
import winetest
from winetest import PACKER_PATHS_TEST, wine


class PackerPathsTest(winetest.WineTestCase):
    def test_shares_drives_and_devices(self):
        support.require_files(PACKER_PATHS_TEST)
        self.assertEveryCasePassed(wine([PACKER_PATHS_TEST]), 10)


if __name__ == "__main__":
    support.main()
