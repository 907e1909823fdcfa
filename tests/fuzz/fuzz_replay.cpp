// fuzz_replay.cpp - runs a fuzz target over stored inputs without libFuzzer, so that the
// seed corpus and every regression input found by fuzzing run with the ordinary tests
// (and under the sanitizer build). Arguments are files or directories of inputs; the exit
// status is 0 when every input was run, 1 when none could be read. A fault aborts as it
// would under the fuzzer, and the last "running" line names its input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool run_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return false;
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    std::printf("running %s (%zu bytes)\n", p.c_str(), data.size());
    std::fflush(stdout);
    (void)LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

int main(int argc, char **argv) {
    (void)LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> files;
    for (int i = 1; i < argc; i++) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const fs::directory_entry &e : fs::directory_iterator(argv[i], ec))
                files.push_back(e.path());
        } else {
            files.emplace_back(argv[i]);
        }
    }
    size_t ran = 0;
    for (const fs::path &p : files)
        ran += run_file(p) ? 1 : 0;
    std::printf("%zu of %zu inputs run\n", ran, files.size());
    return ran > 0 && ran == files.size() ? 0 : 1;
}
