// pal_crc64.cpp - CRC-64 with the Jones polynomial (reflected, initial value 0, no final
// XOR), used for stable entry ids of directory entries.
#include "pal.h"

#include <array>

namespace {
// Reflected form of the Jones polynomial 0xad93d23594c935a9.
constexpr uint64_t crc64_poly = 0x95ac9329ac4bc9b5ULL;

constexpr std::array<uint64_t, 256> crc64_make_table() {
    std::array<uint64_t, 256> t{};
    for (uint64_t i = 0; i < 256; i++) {
        uint64_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ crc64_poly : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint64_t, 256> crc64_table = crc64_make_table();
}  // namespace

uint64_t pal_crc64(uint64_t crc, const void *data, size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < len; i++)
        crc = crc64_table[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return crc;
}
