// pwd_test.cpp - the "{SHA}" form, the credential check and the lockout table under a
// clock the test moves: eviction from a full table, IPv6 prefixes, parallel attempts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

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
        ipcheck_init(nullptr, 0, 3, 1, 0);
        err[0] = '\0';
    }
    void TearDown() override {
        libpwd_exit();
        ipcheck_set_clock(nullptr);
        for (const auto &d : dirs)
            std::filesystem::remove_all(d);
    }
    std::vector<std::filesystem::path> dirs;
    void restart(int limit, int table, const char *file = nullptr) {
        libpwd_exit();
        libpwd_set_credentials("alice", "password");
        ipcheck_init(file, 0, limit, 1, table);
    }
    std::string login_file() {
        auto dir = std::filesystem::temp_directory_path() /
                   ("pwd_test_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        dirs.push_back(dir);
        return (dir / "login.log").string();
    }
    static std::string read_text(const std::string &path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
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
    restart(0, 0);
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(check("10.0.0.4", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.4", "alice", "password"), PWD_OK);
    EXPECT_EQ(ipcheck_count(), 0);
}

// Addresses that failed once each fill a table of 3 around a locked one: the locked one
// stays locked, the unlocked ones with the fewest failures make room.
TEST_F(PwdCheck, FullTableNeverFreesALockedAddress) {
    restart(3, 3);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(check("a1", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a2", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a2", "alice", "bad"), PWD_WRONG);
    for (int i = 0; i < 50; i++) {
        g_now += 10;
        EXPECT_EQ(check(("other" + std::to_string(i)).c_str(), "alice", "bad"), PWD_WRONG);
    }
    EXPECT_EQ(ipcheck_count(), 3);
    EXPECT_EQ(check("a1", "alice", "password"), PWD_LOCKED);
    // a2 kept its two failures: the third locks it.
    EXPECT_EQ(check("a2", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a2", "alice", "password"), PWD_LOCKED);
    // Once the locks have run out, their records are the first to go.
    g_now += 60000;
    EXPECT_EQ(check("a3", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(ipcheck_count(), 2);
    EXPECT_EQ(check("a3", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a3", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a3", "alice", "password"), PWD_LOCKED);
}

// A table of 4 full of locked addresses takes one more (a quarter); past that a new
// address may still log in and is refused only for its credentials.
TEST_F(PwdCheck, TableFullOfLockedAddressesStillServesNewOnes) {
    restart(3, 4);
    const char *const locked[] = {"a1", "a2", "a3", "a4", "a5"};
    for (const char *a : locked)
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(check(a, "alice", "bad"), PWD_WRONG) << a;
    EXPECT_EQ(ipcheck_count(), 5);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(check("a6", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("a6", "alice", "password"), PWD_OK);
    for (const char *a : locked)
        EXPECT_EQ(check(a, "alice", "password"), PWD_LOCKED) << a;
}

// IPv6 addresses of one /64 share a count; an IPv4-mapped address counts as the IPv4
// address. The login file keeps each address as the client had it.
TEST_F(PwdCheck, Ipv6CountsByItsPrefixAndMappedAsIpv4) {
    std::string file = login_file();
    restart(3, 0, file.c_str());
    EXPECT_EQ(check("2001:db8::1", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("2001:db8::2", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("2001:db8::ffff:1:2:3", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("2001:db8::9", "alice", "password"), PWD_LOCKED);
    EXPECT_EQ(check("2001:db8:0:1::1", "alice", "password"), PWD_OK);  // the next /64
    EXPECT_EQ(check("::ffff:10.0.0.7", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("::FFFF:10.0.0.7", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.7", "alice", "bad"), PWD_WRONG);
    EXPECT_EQ(check("::ffff:10.0.0.7", "alice", "password"), PWD_LOCKED);
    EXPECT_EQ(check("10.0.0.8", "alice", "password"), PWD_OK);
    EXPECT_EQ(ipcheck_count(), 2);
    libpwd_exit();
    std::string text = read_text(file);
    for (const char *a : {"2001:db8::1", "2001:db8::ffff:1:2:3", "::FFFF:10.0.0.7", "10.0.0.7"})
        EXPECT_NE(text.find(std::string("\tlogin failed form ") + a + "\n"), std::string::npos)
            << a << "\n" << text;
    EXPECT_NE(text.find("\tlogin from 2001:db8:0:1::1\n"), std::string::npos) << text;
}

// Sixteen wrong passwords at once from one address get the limit of tries in all, the
// rest are refused as locked; repeated for many addresses to give a race its chances.
TEST_F(PwdCheck, ParallelFailuresGetTheLimitInAll) {
    for (int round = 0; round < 40; round++) {
        std::string addr = "10.2.0." + std::to_string(round);
        std::atomic<int> wrong{0}, locked{0};
        std::latch go(16);
        std::vector<std::thread> threads;
        for (int t = 0; t < 16; t++)
            threads.emplace_back([&] {
                char e[256];
                go.arrive_and_wait();
                int rc = libpwd_check_user_pwd(addr.c_str(), "alice", "bad", e);
                (rc == PWD_WRONG ? wrong : locked)++;
            });
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(wrong.load(), 3) << addr;
        EXPECT_EQ(locked.load(), 13) << addr;
    }
}

// The compare sees whole texts: prefixes, extensions and a text cut to the buffer's size
// do not match.
TEST_F(PwdCheck, OnlyTheWholeTextMatches) {
    std::string longest(PWD_TEXT_SIZE - 1, 'p');
    libpwd_set_credentials("alice", longest.c_str());
    EXPECT_EQ(check("10.0.0.6", "alice", (longest + "p").c_str()), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.6", "alic", longest.c_str()), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.7", "alicea", longest.c_str()), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.7", "alice", longest.substr(1).c_str()), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.8", "alice", longest.c_str()), PWD_OK);
}

TEST_F(PwdCheck, ExitWipesTheCredentials) {
    libpwd_exit();
    ipcheck_init(nullptr, 0, 3, 1, 0);
    EXPECT_EQ(check("10.0.0.5", "alice", "password"), PWD_WRONG);
    EXPECT_EQ(check("10.0.0.5", "", ""), PWD_OK);  // nothing configured any more
}

}  // namespace
