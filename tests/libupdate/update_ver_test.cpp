// update_ver_test.cpp - version numbers and compare, the version record's checks, and the
// version check against a loopback server.
#include "update.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>

#include "update_test_util.h"

namespace {

// The "%x" CRC-32 of text, from zlib directly.
std::string crc_of(const std::string &text) {
    uLong crc = crc32(0L, reinterpret_cast<const Bytef *>(text.data()),
                      static_cast<uInt>(text.size()));
    char buf[16];
    snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(crc));
    return buf;
}

// A record whose crc covers everything before its value.
std::string signed_record(const std::string &head) {
    std::string covered = head + "crc=";
    return covered + crc_of(covered) + "\n";
}

TEST(UpdateVerNum, PacksPartsInSixteenBitFields) {
    EXPECT_EQ(update_ver_num("1.2.3.4"), 0x0001000200030004ull);
    EXPECT_EQ(update_ver_num("1"), 0x0001000000000000ull);
    EXPECT_EQ(update_ver_num("258.0.0.65535"), 0x010200000000ffffull);
}

TEST(UpdateVerNum, InvalidTextsAreZero) {
    for (const char *v : {"", "0.9", "0", "1.2.3.4.5", "-1.2", "1.-2", "abc", "."})
        EXPECT_EQ(update_ver_num(v), 0u) << v;
    EXPECT_EQ(update_ver_num(nullptr), 0u);
}

TEST(UpdateVerNum, PartsParseLikeAtoi) {
    EXPECT_EQ(update_ver_num("1a.2b"), update_ver_num("1.2"));
    EXPECT_EQ(update_ver_num(" 3.+4"), update_ver_num("3.4"));
    EXPECT_EQ(update_ver_num("1..2"), update_ver_num("1.0.2"));
}

TEST(UpdateVerNum, LargePartOverlapsFieldAbove) {
    EXPECT_EQ(update_ver_num("1.65536"), update_ver_num("2.0"));
}

TEST(UpdateVerCmp, ComparesByNumber) {
    EXPECT_EQ(update_ver_cmp("1.2", "1.2.0.0"), 0);
    EXPECT_EQ(update_ver_cmp("1.10", "1.9"), 1);
    EXPECT_EQ(update_ver_cmp("1.9", "1.10"), -1);
    EXPECT_EQ(update_ver_cmp("0.9", "0.0.0.1"), 0);  // both invalid: 0
    EXPECT_EQ(update_ver_cmp("0.9", "0.0.0.1"), 0);
    EXPECT_EQ(update_ver_cmp("0.9", "1"), -1);
    EXPECT_EQ(update_ver_cmp("2.0", "1.9.9.9"), 1);
    EXPECT_EQ(update_ver_cmp("1.9.9.9", "2.0"), -1);
}

TEST(UpdateRecord, SignedRecordGivesVersion) {
    char ver[32] = "stale";
    ASSERT_EQ(update_parse_record(signed_record("; published\n[update]\nver=1.2.3\n"), ver), 0);
    EXPECT_STREQ(ver, "1.2.3");
}

TEST(UpdateRecord, ChecksumCoversThroughLastEquals) {
    // A changed version byte must break the check.
    std::string rec = signed_record("[update]\nver=1.2.3\n");
    rec[rec.find("1.2.3")] = '9';
    log_capture logs;
    char ver[32];
    EXPECT_EQ(update_parse_record(rec, ver), 1);
    EXPECT_TRUE(logs.has("Version conf file integrity error")) << logs.all();
    EXPECT_STREQ(ver, "");
}

TEST(UpdateRecord, UppercaseCrcFails) {
    // Find a record whose checksum has a letter, so that upper case differs.
    std::string head, crc;
    for (int i = 0; crc.find_first_of("abcdef") == std::string::npos; i++) {
        head = "[update]\nver=1.2." + std::to_string(i) + "\n";
        crc = crc_of(head + "crc=");
    }
    std::string upper = crc;
    for (char &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    char ver[32];
    EXPECT_EQ(update_parse_record(head + "crc=" + crc + "\n", ver), 0);
    EXPECT_EQ(update_parse_record(head + "crc=" + upper + "\n", ver), 1);
}

TEST(UpdateRecord, LeadingZeroCrcFails) {
    std::string head = "[update]\nver=3.1\n";
    char ver[32];
    EXPECT_EQ(update_parse_record(head + "crc=0" + crc_of(head + "crc=") + "\n", ver), 1);
}

TEST(UpdateRecord, CrcNotLastKeyFails) {
    // The checksum of the text before crc's value, with ver after it: the last '=' is
    // ver's, so the covered text differs.
    std::string covered = "[update]\ncrc=";
    std::string rec = covered + crc_of(covered) + "\nver=1.2\n";
    log_capture logs;
    char ver[32];
    EXPECT_EQ(update_parse_record(rec, ver), 1);
    EXPECT_TRUE(logs.has("Version conf file integrity error")) << logs.all();
}

TEST(UpdateRecord, MissingCrcOrVersionFails) {
    char ver[32];
    EXPECT_EQ(update_parse_record("[update]\nver=1.2\n", ver), 1);
    EXPECT_EQ(update_parse_record("[update]\n", ver), 1);
    EXPECT_EQ(update_parse_record("", ver), 1);
    log_capture logs;
    EXPECT_EQ(update_parse_record(signed_record("[update]\n"), ver), 1);
    EXPECT_TRUE(logs.has("no update:ver")) << logs.all();
}

TEST(UpdateRecord, LongVersionIsCutTo31Characters) {
    std::string v(40, '7');
    char ver[32];
    ASSERT_EQ(update_parse_record(signed_record("[update]\nver=" + v + "\n"), ver), 0);
    EXPECT_EQ(std::string(ver), v.substr(0, 31));
}

TEST(UpdateGetNewVer, FetchesAndChecksRecord) {
    std::string rec = signed_record("[update]\nver=2.5.1\n");
    script_server srv("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(rec.size()) +
                      "\r\n\r\n" + rec);
    char ver[32];
    ASSERT_EQ(update_get_new_ver(srv.url("/ver.ini").c_str(), ver), 0);
    EXPECT_STREQ(ver, "2.5.1");
}

TEST(UpdateGetNewVer, FailedFetchIsLogged) {
    std::string url = "http://127.0.0.1:" + std::to_string(free_port()) + "/ver.ini";
    log_capture logs;
    char ver[32];
    EXPECT_EQ(update_get_new_ver(url.c_str(), ver), 1);
    EXPECT_TRUE(logs.has("get [" + url + "] failed")) << logs.all();
}

TEST(UpdateCheck, NewerPublishedVersionGivesTwo) {
    struct {
        const char *published;
        int status;
    } cases[] = {{"1.0.0.1", UPDATE_EXIT_NEWER}, {"1.0", UPDATE_EXIT_OK},
                 {"0.9.9", UPDATE_EXIT_OK}};
    for (const auto &c : cases) {
        std::string rec = signed_record(std::string("[update]\nver=") + c.published + "\n");
        script_server srv("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(rec.size()) +
                          "\r\n\r\n" + rec);
        char ver[32];
        EXPECT_EQ(update_check(srv.url("/v").c_str(), "1.0.0.0", ver), c.status) << c.published;
        EXPECT_STREQ(ver, c.published);
    }
}

}  // namespace
