// pwd_test.cpp - the "{SHA}" form, the credential check and the lockout table under a
// clock the test moves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "libpwd.h"
#include "log.h"

namespace {

uint64_t g_now = 1000000;
uint64_t fake_clock() {
    return g_now;
}

std::string hex(const uint8_t *d, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

TEST(PwdSha, KnownDigestsAndEncodings) {
    uint8_t d[20];
    pwd_sha1("abc", 3, d);
    EXPECT_EQ(hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    pwd_sha1("", 0, d);
    EXPECT_EQ(hex(d, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    std::string m(1000, 'a');  // several blocks, the length across a block boundary
    pwd_sha1(m.data(), m.size(), d);
    EXPECT_EQ(hex(d, 20), "291e9a6c66994949b57ba5e650361e98fc36b1ba");
    const char *two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes
    pwd_sha1(two, strlen(two), d);
    EXPECT_EQ(hex(d, 20), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");

    char b64[16];
    EXPECT_EQ(pwd_base64(reinterpret_cast<const uint8_t *>("f"), 1, b64), 4);
    EXPECT_STREQ(b64, "Zg==");
    EXPECT_EQ(pwd_base64(reinterpret_cast<const uint8_t *>("foob"), 4, b64), 8);
    EXPECT_STREQ(b64, "Zm9vYg==");
    EXPECT_EQ(pwd_base64(reinterpret_cast<const uint8_t *>("foobar"), 6, b64), 8);
    EXPECT_STREQ(b64, "Zm9vYmFy");
    char tiny[4];
    EXPECT_EQ(pwd_base64(reinterpret_cast<const uint8_t *>("f"), 1, tiny), -1);

    char sha[64];
    EXPECT_STREQ(pwd_sha_encode("password", sha), "{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=");
    EXPECT_EQ(strlen(sha), size_t(PWD_SHA_LEN));
    EXPECT_STREQ(pwd_sha_encode("", sha), "");
    EXPECT_STREQ(pwd_sha_encode(nullptr, sha), "");
}

class PwdCheck : public ::testing::Test {
protected:
    char err[PWD_TEXT_SIZE];

    void SetUp() override {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0L);
        ipcheck_set_clock(fake_clock);
        libpwd_set_credentials("alice", "password");
        ASSERT_EQ(ipcheck_init(nullptr, 0, 3, 1, 0), 0);
        err[0] = '\0';
    }
    void TearDown() override {
        libpwd_exit();
        ipcheck_set_clock(nullptr);
    }
    int check(const char *addr, const char *user, const char *pwd) {
        err[0] = '\0';
        return libpwd_check_user_pwd(addr, user, pwd, err);
    }
};

TEST_F(PwdCheck, AcceptsPlainAndShaRefusesOthers) {
    EXPECT_EQ(check("10.0.0.1", "alice", "password"), PWD_OK);
    EXPECT_EQ(check("10.0.0.1", "alice", "{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g="), PWD_OK);
    EXPECT_EQ(check("10.0.0.1", "Alice", "password"), PWD_WRONG);
    EXPECT_STREQ(err, "Wrong user or password");
    EXPECT_EQ(check("10.0.0.1", "alice", "Password"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.1", nullptr, "password"), PWD_WRONG);
    // Three failures lock 10.0.0.1 (limit 3); go on from another address.
    EXPECT_EQ(check("10.0.0.1", "alice", "password"), PWD_LOCKED);
    EXPECT_EQ(check("10.0.0.11", "alice", nullptr), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.11", "alice", ""), PWD_WRONG);
}

TEST_F(PwdCheck, LocksAfterTheLimitUntilTheWaitEnds) {
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(check("10.0.0.2", "alice", "bad"), PWD_WRONG);
    g_now += 600;  // 0.01 minutes later
    EXPECT_EQ(check("10.0.0.2", "alice", "password"), PWD_LOCKED);
    EXPECT_STREQ(err, "Login failed 3 times, Please try again in 0.99 minutes");
    EXPECT_EQ(check("10.0.0.9", "alice", "password"), PWD_OK);  // another address
    g_now += 60000;
    EXPECT_EQ(check("10.0.0.2", "alice", "password"), PWD_OK);
}

TEST_F(PwdCheck, SuccessClearsAndColonIsNotCounted) {
    EXPECT_EQ(check("10.0.0.3", "alice", "x"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.3", "alice", "x"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.3", "alice", "password"), PWD_OK);
    EXPECT_EQ(check("10.0.0.3", "alice", "x"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.3", "alice", "x"), PWD_WRONG);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(check("10.0.0.3", ":", "x"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.3", "alice", "password"), PWD_OK);
}

TEST_F(PwdCheck, LimitZeroNeverLocks) {
    libpwd_exit();
    libpwd_set_credentials("alice", "password");
    ASSERT_EQ(ipcheck_init(nullptr, 0, 0, 1, 0), 0);
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(check("10.0.0.4", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.4", "alice", "password"), PWD_OK);
    EXPECT_EQ(ipcheck_count(), 0);
}

TEST_F(PwdCheck, FullTableDropsTheEarliestFailures) {
    libpwd_exit();
    libpwd_set_credentials("alice", "password");
    ASSERT_EQ(ipcheck_init(nullptr, 0, 3, 1, 3), 0);
    g_now += 10;
    EXPECT_EQ(check("a1", "alice", "bad"), PWD_WRONG);  // earliest failure
    g_now += 10;
    EXPECT_EQ(check("a2", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a2", "alice", "bad"), PWD_WRONG);
    g_now += 10;
    EXPECT_EQ(check("a3", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(ipcheck_count(), 3);
    EXPECT_EQ(check("a4", "alice", "bad"), PWD_WRONG);  // purge, then a4 added
    EXPECT_EQ(ipcheck_count(), 3);
    // a2 kept its two failures: the third locks it.
    EXPECT_EQ(check("a2", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a2", "alice", "password"), PWD_LOCKED);
}

TEST_F(PwdCheck, ExitWipesTheCredentials) {
    libpwd_exit();
    ASSERT_EQ(ipcheck_init(nullptr, 0, 3, 1, 0), 0);
    EXPECT_EQ(check("10.0.0.5", "alice", "password"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.5", "", ""), PWD_OK);  // nothing configured any more
}

}  // namespace
