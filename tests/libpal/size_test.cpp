// size_test.cpp - size text with suffixes, and the clamp to 32-bit settings.
#include <gtest/gtest.h>

#include <string>

#include "pal.h"

TEST(SizeStr, SuffixesFollowTheTableOrder) {
    EXPECT_EQ(size_str_to_u64("2M"), 2097152u);
    EXPECT_EQ(size_str_to_u64("10kB"), 10000u);
    EXPECT_EQ(size_str_to_u64("1.5k"), 1536u);
    EXPECT_EQ(size_str_to_u64("5 k"), 5120u);
    EXPECT_EQ(size_str_to_u64("1K"), 1024u);
    EXPECT_EQ(size_str_to_u64("1kb"), 1000u);
    EXPECT_EQ(size_str_to_u64("1mb"), 1000000u);
    EXPECT_EQ(size_str_to_u64("1m"), 1048576u);
    EXPECT_EQ(size_str_to_u64("1B"), 512u);
    EXPECT_EQ(size_str_to_u64("3c"), 3u);
    EXPECT_EQ(size_str_to_u64("3w"), 6u);
    EXPECT_EQ(size_str_to_u64("2kD"), 2000u);
    EXPECT_EQ(size_str_to_u64("1G"), 1073741824u);
    EXPECT_EQ(size_str_to_u64("1GB"), 1000000000u);
    EXPECT_EQ(size_str_to_u64("2T"), 2199023255552u);
    EXPECT_EQ(size_str_to_u64("1PB"), 1000000000000000u);
    EXPECT_EQ(size_str_to_u64("1P"), 1125899906842624u);
    EXPECT_EQ(size_str_to_u64("1kk"), 1048576u);  // two suffixes multiply
    EXPECT_EQ(size_str_to_u64("1e3"), 1000u);
    EXPECT_EQ(size_str_to_u64("4096"), 4096u);
}

TEST(SizeStr, AnythingElseIsZero) {
    EXPECT_EQ(size_str_to_u64(nullptr), 0u);
    EXPECT_EQ(size_str_to_u64(""), 0u);
    EXPECT_EQ(size_str_to_u64("-1"), 0u);
    EXPECT_EQ(size_str_to_u64("+1"), 0u);
    EXPECT_EQ(size_str_to_u64(" 1"), 0u);
    EXPECT_EQ(size_str_to_u64("\t1"), 0u);
    EXPECT_EQ(size_str_to_u64("8KiB"), 0u);
    EXPECT_EQ(size_str_to_u64("k"), 0u);
    EXPECT_EQ(size_str_to_u64("KB"), 0u);
    EXPECT_EQ(size_str_to_u64("1Gi"), 0u);
    EXPECT_EQ(size_str_to_u64("3q"), 0u);
    EXPECT_EQ(size_str_to_u64("0x10"), 0u);
    EXPECT_EQ(size_str_to_u64("nan"), 0u);
    EXPECT_EQ(size_str_to_u64("1e-400"), 0u);
    EXPECT_EQ(size_str_to_u64("x5"), 0u);
    EXPECT_EQ(size_str_to_u64(std::string(257, '1').c_str()), 0u);
    EXPECT_EQ(size_str_to_u64("\xff\xfe"), 0u);
}

TEST(SizeStr, HugeValuesSaturate) {
    EXPECT_EQ(size_str_to_u64("9223372036854775808"), 9223372036854775808u);  // 2^63
    EXPECT_EQ(size_str_to_u64("16E"), 0u);  // E is no suffix
    EXPECT_EQ(size_str_to_u64("1e30G"), UINT64_MAX);
    EXPECT_EQ(size_str_to_u64("1e400"), UINT64_MAX);
    EXPECT_EQ(size_str_to_u64(std::string(256, '9').c_str()), UINT64_MAX);
}

TEST(SizeStr, ClampToInt32) {
    EXPECT_EQ(pal_size_to_i32(0), 0);
    EXPECT_EQ(pal_size_to_i32(2097152), 2097152);
    EXPECT_EQ(pal_size_to_i32(2147483647u), INT32_MAX);
    EXPECT_EQ(pal_size_to_i32(2147483648u), INT32_MAX);
    EXPECT_EQ(pal_size_to_i32(size_str_to_u64("100G")), INT32_MAX);
    EXPECT_EQ(pal_size_to_i32(UINT64_MAX), INT32_MAX);
}
