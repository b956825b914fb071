/* main() of test binaries that talk to emulated cards: re-executes the binary under
 * umockdev's preload library, creates the bed before any test (and any thread) runs, and
 * removes it at the end. */
#include <vekemu/vekemu.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (!vekemu_ensure_preload(argc, argv))
        return 1;
    testing::InitGoogleTest(&argc, argv);
    if (vekemu_bed_get() == nullptr) {
        std::fprintf(stderr, "vekemu: cannot create the test bed\n");
        return 1;
    }
    int status = RUN_ALL_TESTS();
    vekemu_bed_destroy();
    return status;
}
