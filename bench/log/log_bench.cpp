// log_bench.cpp - what a log call costs: one filtered out by its level (a load and a
// compare, nothing formatted or locked) and one line written to the file sink.
#include "log.h"
#include "pal.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

static double filtered_ns(long calls) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_INFO);
    uint64_t t0 = os_clock_us();
    for (long i = 0; i < calls; i++)
        LOG2(LOG2_DBG, "bench", "filtered %ld %s\n", i, "text");
    uint64_t t1 = os_clock_us();
    return static_cast<double>(t1 - t0) * 1000.0 / static_cast<double>(calls);
}

// Wall-clock microseconds per line; *cpu_us gets the process CPU time per line, which a
// busy machine disturbs less.
static double file_line_us(const std::string &path, long lines, double *cpu_us) {
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time|tid|func");
    log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, 1L << 30);
    if (log2_ioctl(nullptr, LOG2_IOC_FILE, path.c_str()) != 0)
        return -1;
    log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 1);
    std::clock_t c0 = std::clock();
    uint64_t t0 = os_clock_us();
    for (long i = 0; i < lines; i++)
        LOG2(LOG2_INFO, "bench", "line %ld of the file sink benchmark, value=%d\n", i, 42);
    uint64_t t1 = os_clock_us();
    *cpu_us = static_cast<double>(std::clock() - c0) * 1e6 / CLOCKS_PER_SEC /
              static_cast<double>(lines);
    return static_cast<double>(t1 - t0) / static_cast<double>(lines);
}

int main() {
    os_thread_name_init("bench");
    const long calls = 50'000'000;
    double ns = filtered_ns(calls);
    std::printf("filtered call (level above threshold): %.2f ns per call (%ld calls)\n", ns,
                calls);

    std::error_code ec;
    std::string path = (std::filesystem::temp_directory_path(ec) /
                        pal_format("nvtd_log_bench_%d.log", os_getpid()))
                           .string();
    const long lines = 200'000;
    double cpu_us = 0;
    double us = file_line_us(path, lines, &cpu_us);
    std::filesystem::remove(path, ec);
    log2_exit();
    if (us < 0) {
        std::printf("file sink: cannot open %s\n", path.c_str());
        return 1;
    }
    std::printf("file sink line: %.2f us per line, %.2f us CPU (%ld lines)\n", us, cpu_us,
                lines);
    return 0;
}
