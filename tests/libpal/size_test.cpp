// size_test.cpp - size text with suffixes, and the clamp to 32-bit settings.
#include <gtest/gtest.h>

#include <string>

#include "pal.h"

TEST(SizeStr, SuffixesRejectsAndSaturation) {
    const std::pair<std::string, uint64_t> cases[] = {
        // Suffixes follow the table's order; two suffixes multiply.
        {"2M", 2097152}, {"10kB", 10000}, {"1.5k", 1536}, {"5 k", 5120}, {"1K", 1024},
        {"1kb", 1000}, {"1mb", 1000000}, {"1m", 1048576}, {"1B", 512}, {"3c", 3}, {"3w", 6},
        {"2kD", 2000}, {"1G", 1073741824}, {"1GB", 1000000000}, {"2T", 2199023255552},
        {"1PB", 1000000000000000}, {"1P", 1125899906842624}, {"1kk", 1048576}, {"1e3", 1000},
        {"4096", 4096},
        // Anything else is zero.
        {"", 0}, {"-1", 0}, {"+1", 0}, {" 1", 0}, {"\t1", 0}, {"8KiB", 0}, {"k", 0}, {"KB", 0},
        {"1Gi", 0}, {"3q", 0}, {"0x10", 0}, {"nan", 0}, {"1e-400", 0}, {"x5", 0},
        {std::string(257, '1'), 0}, {"\xff\xfe", 0}, {"16E", 0} /* E is no suffix */,
        // Huge values saturate.
        {"9223372036854775808", 9223372036854775808u}, {"1e30G", UINT64_MAX},
        {"1e400", UINT64_MAX}, {std::string(256, '9'), UINT64_MAX},
    };
    for (const auto &[text, want] : cases)
        EXPECT_EQ(size_str_to_u64(text.c_str()), want) << "[" << text << "]";
    EXPECT_EQ(size_str_to_u64(nullptr), 0u);
}

TEST(SizeStr, ClampToInt32) {
    EXPECT_EQ(pal_size_to_i32(0), 0);
    EXPECT_EQ(pal_size_to_i32(2097152), 2097152);
    EXPECT_EQ(pal_size_to_i32(2147483647u), INT32_MAX);
    EXPECT_EQ(pal_size_to_i32(2147483648u), INT32_MAX);
    EXPECT_EQ(pal_size_to_i32(size_str_to_u64("100G")), INT32_MAX);
    EXPECT_EQ(pal_size_to_i32(UINT64_MAX), INT32_MAX);
}
