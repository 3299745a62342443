"""A run's hold on its directory and the sweep's proof (launcher/hold.cpp)
under Wine, with the holder in another process: hold-test.exe runs the
cases and says which of them Wine's sharing rules let pass."""

import support
import winetest
from winetest import HOLD_TEST, to_windows, wine


class HoldProgramTest(winetest.WineTestCase):
    def test_holds_proofs_and_the_rename_into_place(self):
        support.require_files(HOLD_TEST)
        base = self.make_scratch()
        self.assertEveryCasePassed(
            wine([HOLD_TEST, "cases", to_windows(base + "/holds")]), 16)


if __name__ == "__main__":
    support.main()
