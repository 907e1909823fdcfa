// bsv_test.cpp - schemas and layouts, the "log" record, listeners and the UDP frame.
#include "bsv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "pal.h"

namespace {
class Bsv : public testing::Test {
protected:
    static void SetUpTestSuite() { log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0); }
};

std::vector<uint8_t> log_rec(const char *msg, const char *func = "fn", int msg_len = -1) {
    std::vector<uint8_t> buf(BSV_LOG_REC_MAX);
    int n = bsv_log_record(buf, 1700000000, 123456, 6 | LOG2_F_BSV, "tag", "main_1",
                           "/x/file.cpp", 42, func, msg,
                           msg_len < 0 ? int(std::strlen(msg)) : msg_len);
    buf.resize(size_t(n));
    return buf;
}
}  // namespace

TEST_F(Bsv, LogLayoutOffsets) {
    bsv_value v;
    ASSERT_EQ(bsv_type_open_value(1, &v), 0);
    ASSERT_EQ(v.count_idx, 11);
    int offsets[] = {0, 8, 12, 16, 20, 21, -1, -1, -1, -1, -1};
    for (int i = 0; i < 11; i++)
        EXPECT_EQ(v.val[size_t(i)].offset, offsets[i]) << v.val[size_t(i)].name;
    EXPECT_EQ(v.val[5].name, "tag");
    EXPECT_EQ(v.val[10].name, "msg");
    EXPECT_EQ(v.val[10].size, -1);
    ASSERT_EQ(bsv_type_open_value(5, &v), 0);
    EXPECT_EQ(v.fixed_size, 34);  // the frame's 8-byte prefix comes before these fields
}

TEST_F(Bsv, BadSchemasFail) {
    bsv_value v;
    EXPECT_EQ(bsv_value_init(&v, "a-u8,b", false), -1);
    EXPECT_EQ(bsv_value_init(&v, "a-u7", false), -1);
    EXPECT_EQ(bsv_type_open_value(4, &v), -1);
    EXPECT_EQ(bsv_type_open_value(7, &v), -1);
}

TEST_F(Bsv, ByteOrderOfTheLayout) {
    const uint8_t rec[] = {0x01, 0x02, 0x03, 0x04};
    bsv_value le, be;
    ASSERT_EQ(bsv_value_init(&le, "x-u32", false), 0);
    ASSERT_EQ(bsv_value_init(&be, "x-u32", true), 0);
    EXPECT_EQ(bsv_value_get_u32(&le, rec, 0), 0x04030201u);
    EXPECT_EQ(bsv_value_get_u32(&be, rec, 0), 0x01020304u);
}

TEST_F(Bsv, LogRecordFields) {
    std::vector<uint8_t> rec = log_rec("hello");
    bsv_value v;
    ASSERT_EQ(bsv_type_open_value(1, &v), 0);
    EXPECT_EQ(bsv_value_get_u64(&v, rec, 0), 1700000000u);
    EXPECT_EQ(bsv_value_get_u32(&v, rec, 1), 123456u);
    EXPECT_EQ(bsv_value_get_u32(&v, rec, 2), uint32_t(os_getpid()));
    EXPECT_EQ(bsv_value_get_u32(&v, rec, 3), uint32_t(os_thread_id()));
    EXPECT_EQ(bsv_value_get_u8(&v, rec, 4), 6);  // the flags are not part of the level
    const char *want[] = {"tag", "main_1", "/x/file.cpp", "42", "fn", "hello"};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(bsv_value_get_str(&v, rec, 5 + i), want[i]);
    EXPECT_EQ(rec.size(), 21u + 4 + 7 + 12 + 3 + 3 + 6);
}

TEST_F(Bsv, LongMessageIsCutAt1470Bytes) {
    std::string msg(2000, 'm');
    std::vector<uint8_t> rec = log_rec(msg.c_str());
    ASSERT_EQ(rec.size(), size_t(BSV_LOG_REC_MAX));
    EXPECT_EQ(rec.back(), 0);
    bsv_value v;
    ASSERT_EQ(bsv_type_open_value(1, &v), 0);
    EXPECT_EQ(bsv_value_get_str(&v, rec, 10), std::string(1449 - 4 - 7 - 12 - 3 - 3 - 1, 'm'));
}

TEST_F(Bsv, MissingFunctionEndsTheStrings) {
    std::vector<uint8_t> rec = log_rec("lost", nullptr);
    EXPECT_EQ(rec.size(), 21u + 4 + 7 + 12 + 3);
}

TEST_F(Bsv, SourceRootIsCut) {
    std::vector<uint8_t> buf(BSV_LOG_REC_MAX);
    std::string file = std::string(NVTD_SOURCE_ROOT) + "src/lib/x.cpp";
    int n = bsv_log_record(buf, 1, 2, 6, "t", "n", file.c_str(), 1, "f", "m", 1);
    buf.resize(size_t(n));
    bsv_value v;
    ASSERT_EQ(bsv_type_open_value(1, &v), 0);
    EXPECT_EQ(bsv_value_get_str(&v, buf, 7), "src/lib/x.cpp");
}

TEST_F(Bsv, ListenerReadsTheRecordAsText) {
    bsv_reader *r = bsv_open_log(4);
    ASSERT_NE(r, nullptr);
    std::vector<uint8_t> rec = log_rec("shown");
    EXPECT_GE(bsv_log_publish(rec), 1);
    int level = 0;
    std::string text;
    ASSERT_GT(bsv_read_log(r, &level, &text), 0);
    EXPECT_EQ(level, 6);
    pal_tm tm{};
    os_time_split(1700000000, false, &tm);
    char head[64];
    (void)pal_snprintf(head, "%04d-%02d-%02d %02d:%02d:%02d.123 ", tm.year, tm.mon, tm.mday,
                       tm.hour, tm.min, tm.sec);
    EXPECT_EQ(text, std::string(head) + "INFO  " + std::to_string(os_getpid()) +
                        " --- [main_1] tag fn(): shown");
    EXPECT_EQ(bsv_read_log(r, &level, &text), 0);
    bsv_close_log(r);
}

TEST_F(Bsv, FullListenerDropsNewRecords) {
    bsv_reader *r = bsv_open_log(2);
    ASSERT_NE(r, nullptr);
    std::vector<uint8_t> rec = log_rec("x");
    for (int i = 0; i < 3; i++)
        (void)bsv_log_publish(rec);
    EXPECT_EQ(bsv_reader_dropped(r), 1u);
    std::vector<uint8_t> got;
    EXPECT_EQ(bsv_read_raw_log(r, &got), int(rec.size()));
    EXPECT_EQ(got, rec);
    bsv_close_log(r);
}

TEST_F(Bsv, EightListenersAtMost) {
    std::vector<bsv_reader *> rs;
    for (int i = 0; i < 8; i++) {
        rs.push_back(bsv_open_log(1));
        ASSERT_NE(rs.back(), nullptr);
    }
    EXPECT_EQ(bsv_open_log(1), nullptr);
    EXPECT_TRUE(bsv_log_has_listeners());
    for (bsv_reader *r : rs)
        bsv_close_log(r);
    EXPECT_FALSE(bsv_log_has_listeners());
}

TEST_F(Bsv, Crc8OfAbc) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(bsv_crc8(abc), 0x5F);
}

TEST_F(Bsv, Rc4KnownVector) {
    const uint8_t key[] = {'K', 'e', 'y'};
    std::vector<uint8_t> data{'P', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
    bsv_rc4(key, data);
    EXPECT_EQ(data, (std::vector<uint8_t>{0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3}));
}

TEST_F(Bsv, FrameLayoutAndCrc) {
    bsv_frame_id id;
    id.sid = 7;
    id.hostname = "host";
    std::vector<uint8_t> rec = log_rec("framed");
    std::vector<uint8_t> f = bsv_frame_build(id, 1, rec, false);
    ASSERT_EQ(f.size(), 42 + 5 + rec.size() + 1);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 3), "bsv");
    EXPECT_EQ(f[3], 0x02);
    EXPECT_EQ(f[4] | f[5] << 8, int(f.size()));
    EXPECT_EQ(f[6] | f[7] << 8, 5);
    EXPECT_EQ(f[8], 7);
    EXPECT_EQ(f[38], 2);  // linux
    EXPECT_EQ(f[40] | f[41] << 8, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&f[42])), "host");
    EXPECT_EQ(bsv_crc8(std::span<const uint8_t>(f).subspan(3, f.size() - 4)), f.back());
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), f.begin() + 47));
}

TEST_F(Bsv, EncryptedFrameNeedsTheKey) {
    bsv_frame_id id;
    id.hostname = "host";
    std::vector<uint8_t> rec = log_rec("secret words");
    std::vector<uint8_t> f = bsv_frame_build(id, 1, rec, true);
    EXPECT_EQ(f[3], 0x06);
    std::string bytes(f.begin(), f.end());
    EXPECT_EQ(bytes.find("secret words"), std::string::npos);
    EXPECT_EQ(bytes.find("host"), std::string::npos);
    bsv_rc4(bsv_frame_key(), std::span<uint8_t>(f).subspan(4));
    EXPECT_EQ(f[4] | f[5] << 8, int(f.size()));
    EXPECT_EQ(bsv_crc8(std::span<const uint8_t>(f).subspan(3, f.size() - 4)), f.back());
    EXPECT_NE(std::string(f.begin(), f.end()).find("secret words"), std::string::npos);
}

TEST_F(Bsv, OversizeFrameIsNotBuilt) {
    bsv_frame_id id;
    id.hostname = std::string(100, 'h');
    std::vector<uint8_t> rec(1470, 'r');
    std::vector<uint8_t> f = bsv_frame_build(id, 1, rec, false);
    EXPECT_EQ(f.size(), 1472u);  // host name and record were cut to fit one datagram
    EXPECT_EQ(f[f.size() - 2], 0);
}
