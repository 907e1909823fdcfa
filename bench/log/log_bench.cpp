// log_bench.cpp - what a log call costs: one filtered out by its level (a load and a
// compare, nothing formatted or locked) and one line written to the file sink, then the
// same line with the binary record going to a capture file and to a listener. The record
// must add less than the text line itself costs.
#include "bsv.h"
#include "bsvf.h"
#include "log.h"
#include "pal.h"

#include <vector>

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
// A listener drains its queue every 1000 lines, as the binary log socket's thread would.
static double file_line_us(const std::string &path, long lines, double *cpu_us,
                           bsv_reader *listener = nullptr) {
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time|tid|func");
    log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, 1L << 30);
    if (log2_ioctl(nullptr, LOG2_IOC_FILE, path.c_str()) != 0)
        return -1;
    log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 1);
    std::vector<uint8_t> rec;
    std::clock_t c0 = std::clock();
    uint64_t t0 = os_clock_us();
    for (long i = 0; i < lines; i++) {
        LOG2(LOG2_INFO, "bench", "line %ld of the file sink benchmark, value=%d\n", i, 42);
        if (listener != nullptr && i % 1000 == 999)
            while (bsv_read_raw_log(listener, &rec) > 0) {
            }
    }
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
    if (us < 0) {
        std::printf("file sink: cannot open %s\n", path.c_str());
        return 1;
    }
    std::printf("file sink line: %.2f us per line, %.2f us CPU (%ld lines)\n", us, cpu_us,
                lines);

    // The binary record writer, with nothing to take the records: the check only.
    bsvf_log_init();
    ns = filtered_ns(calls);
    std::printf("filtered call, record writer installed: %.2f ns per call\n", ns);
    double cpu_plain = 0;
    double plain = file_line_us(path, lines, &cpu_plain);
    std::printf("file sink line, writer without sinks: %.2f us, %.2f us CPU\n", plain,
                cpu_plain);

    std::string pcap = path + ".pcap";
    bsv_reader *listener = bsv_open_log(4096);
    if (bsvf_log_file_open(pcap.c_str(), false) != 0 || listener == nullptr) {
        std::printf("capture file: cannot open %s\n", pcap.c_str());
        return 1;
    }
    double cpu_bin = 0;
    double bin = file_line_us(path, lines, &cpu_bin, listener);
    bsvf_log_file_close();
    bsv_close_log(listener);
    std::printf("file sink line + capture file + listener: %.2f us, %.2f us CPU\n", bin,
                cpu_bin);
    std::printf("binary record adds %.2f us CPU per line, %.0f%% of the text line's %.2f us "
                "(must stay below 100%%)\n",
                cpu_bin - cpu_plain, 100.0 * (cpu_bin - cpu_plain) / cpu_plain, cpu_plain);
    std::filesystem::remove(path, ec);
    std::filesystem::remove(pcap, ec);
    log2_exit();
    return 0;
}
