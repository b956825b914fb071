/* SPDX-License-Identifier: GPL-2.0-or-later */
/* main() of test binaries that talk to emulated cards: re-executes the binary under
 * umockdev's preload library, creates the bed before any test (and any thread) runs, and
 * removes it at the end. */
#include <vekemu/vekemu.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    /* GoogleTest takes its flags out of argv; a re-execution needs them all. */
    std::vector<char *> original(argv, argv + argc + 1);
    testing::InitGoogleTest(&argc, argv);
    /* Listing the tests (CTest's discovery) needs no cards. */
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    if (!vekemu_ensure_preload(static_cast<int>(original.size()) - 1, original.data()))
        return 1;
    if (vekemu_bed_get() == nullptr) {
        std::fprintf(stderr, "vekemu: cannot create the test bed\n");
        return 1;
    }
    int status = RUN_ALL_TESTS();
    vekemu_bed_destroy();
    return status;
}
