// pwd_count_test.cpp - the login counters and the count of addresses locked out now.
#include <gtest/gtest.h>

#include "libpwd.h"
#include "log.h"

namespace {

uint64_t g_clock_now = 5000000;
uint64_t test_clock() {
    return g_clock_now;
}

class PwdCount : public ::testing::Test {
protected:
    char err[PWD_TEXT_SIZE];
    void SetUp() override {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0L);
        ipcheck_set_clock(test_clock);
        libpwd_set_credentials("bob", "secret");
        ipcheck_init(nullptr, 0, 2, 1, 0);  // two failures lock for a minute
    }
    void TearDown() override {
        libpwd_exit();
        ipcheck_set_clock(nullptr);
    }
    int check(const char *addr, const char *user, const char *pwd) {
        return libpwd_check_user_pwd(addr, user, pwd, err);
    }
    static pwd_stats stats() {
        pwd_stats s{};
        libpwd_stats_get(&s);
        return s;
    }
};

TEST_F(PwdCount, FailedAndGoodLoginsMoveTheirCounters) {
    pwd_stats a = stats();
    ASSERT_EQ(check("10.1.0.1", "bob", "wrong"), PWD_WRONG);
    pwd_stats b = stats();
    EXPECT_EQ(b.logins_failed, a.logins_failed + 1);
    EXPECT_EQ(b.logins_ok, a.logins_ok);
    ASSERT_EQ(check("10.1.0.1", "bob", "secret"), PWD_OK);
    pwd_stats c = stats();
    EXPECT_EQ(c.logins_ok, b.logins_ok + 1);
    EXPECT_EQ(c.logins_failed, b.logins_failed);
    ASSERT_EQ(check("10.1.0.1", "eve", "secret"), PWD_WRONG);  // a wrong user fails too
    EXPECT_EQ(stats().logins_failed, c.logins_failed + 1);
    EXPECT_EQ(stats().logins_locked, a.logins_locked);
}

TEST_F(PwdCount, LockedAddressesAreCountedUntilTheirLockEnds) {
    EXPECT_EQ(stats().locked_now, 0);
    pwd_stats a = stats();
    for (const char *addr : {"10.1.0.2", "10.1.0.3"}) {
        ASSERT_EQ(check(addr, "bob", "x"), PWD_WRONG);
        ASSERT_EQ(check(addr, "bob", "x"), PWD_WRONG);
    }
    ASSERT_EQ(check("10.1.0.4", "bob", "x"), PWD_WRONG);  // one failure: not locked
    EXPECT_EQ(stats().locked_now, 2);
    ASSERT_EQ(check("10.1.0.2", "bob", "secret"), PWD_LOCKED);
    pwd_stats b = stats();
    EXPECT_EQ(b.logins_locked, a.logins_locked + 1);
    EXPECT_EQ(b.logins_failed, a.logins_failed + 5);
    EXPECT_EQ(b.logins_ok, a.logins_ok);
    g_clock_now += 60000;  // the minute has passed
    EXPECT_EQ(stats().locked_now, 0);
}

}  // namespace
