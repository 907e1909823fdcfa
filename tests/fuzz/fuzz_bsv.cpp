// fuzz_bsv.cpp - binary log records read back: the input is handed to the "log" type's
// listeners as one record and rendered as a text line, as the debug shell's log view does;
// the UDP frame's CRC-8 and RC4 run over the same bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bsv.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    (void)bsv_reg_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bsv_reader *reader = bsv_open_log(16);
    if (reader == nullptr)
        return 0;
    (void)bsv_log_publish(std::span<const uint8_t>(data, size));
    int level = 0;
    std::string text;
    while (bsv_read_log(reader, &level, &text) > 0)
        text.clear();
    (void)bsv_crc8(std::span<const uint8_t>(data, size));
    std::vector<uint8_t> frame(data, data + size);
    bsv_rc4(bsv_frame_key(), frame);
    return 0;
}
