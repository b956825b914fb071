/* SPDX-License-Identifier: GPL-2.0-or-later */
// Runs files through a fuzz target once, in builds without libFuzzer: the seed
// corpus and every crash input found so far stay tests of the normal and the
// sanitizer builds. Usage: PROGRAM FILE|FOLDER...; a folder is read one level deep.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace
{

bool run_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
        return 2;
    }
    unsigned runs = 0;
    for (int i = 1; i < argc; i++) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg)) {
                if (!entry.is_regular_file())
                    continue;
                if (!run_file(entry.path()))
                    return 1;
                runs++;
            }
        } else if (run_file(arg)) {
            runs++;
        } else {
            return 1;
        }
    }
    if (runs == 0) {
        std::fprintf(stderr, "no input to run\n");
        return 1;
    }
    std::fprintf(stderr, "%u inputs ran\n", runs);
    return 0;
}
