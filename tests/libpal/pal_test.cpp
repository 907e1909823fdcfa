// Tests of the platform layer's core: error table, bounded strings, threads and files.
#include "pal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <regex>
#include <string>

TEST(PalError, MessagesRangeAndErrnoMapping) {
    EXPECT_STREQ(pal_strerror(0), "Success.");
    EXPECT_STREQ(pal_strerror(-2), "Invalid parameter.");
    EXPECT_STREQ(pal_strerror(-37), "Not supported.");
    EXPECT_STREQ(pal_strerror(-126),
                 "A directory operation was attempted on a non-directory object.");
    EXPECT_STRNE(pal_strerror(-139), "Invalid error code");
    for (int bad : {-140, 1, INT_MIN})
        EXPECT_STREQ(pal_strerror(bad), "Invalid error code") << bad;

    EXPECT_EQ(pal_errno_code(0), PAL_OK);
    EXPECT_EQ(pal_errno_code(ENOENT), PAL_ENOENT);
    EXPECT_EQ(pal_errno_code(ENOTDIR), PAL_ENOTDIR);
    EXPECT_EQ(pal_errno_code(EWOULDBLOCK), PAL_EAGAIN);
    EXPECT_EQ(pal_errno_code(ENOTSUP), PAL_ENOTSUP);
    EXPECT_EQ(pal_errno_code(99999), PAL_EFAIL);
    errno = EACCES;
    EXPECT_EQ(pal_last_error(), PAL_EACCES);
    // Every mapped code has a message of its own.
    for (int e = 0; e < 134; e++)
        EXPECT_STRNE(pal_strerror(pal_errno_code(e)), "Invalid error code") << e;
}

TEST(PalString, BoundedCopiesTrimCaseAndAtoi) {
    char buf[8];
    EXPECT_EQ(pal_strlcpy(buf, "abc"), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(pal_strlcpy(buf, "abcdefghij"), PAL_ETRUNC);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(pal_strlcat(buf, "x"), PAL_ETRUNC);
    EXPECT_STREQ(buf, "abcdefg");
    pal_strlcpy(buf, "ab");
    EXPECT_EQ(pal_strlcat(buf, "cd"), 4);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(pal_snprintf(buf, "%d-%s", 12345, "long text"), 7);
    EXPECT_STREQ(buf, "12345-l");
    std::string big = pal_format("%0300d", 7);
    EXPECT_EQ(big.size(), 300u);
    EXPECT_EQ(big.back(), '7');

    EXPECT_EQ(pal_trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(pal_trim("\xa0x\xa0"), "\xa0x\xa0");  // high bytes are never white space
    EXPECT_TRUE(pal_iequals("Server", "sERVER"));
    EXPECT_FALSE(pal_iequals("Server", "Serve"));
    char word[] = "retr";
    pal_to_upper(word);
    EXPECT_STREQ(word, "RETR");
    const std::pair<const char *, int> ints[] = {
        {"  -42abc", -42}, {"+7", 7}, {"abc", 0}, {"", 0},
        {"99999999999999999999", INT_MAX}, {"-99999999999999999999", INT_MIN}};
    for (auto [text, want] : ints)
        EXPECT_EQ(pal_atoi(text), want) << text;
    EXPECT_EQ(pal_atoll("-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(pal_atoll("9223372036854775808"), LLONG_MAX);
}

TEST(PalThread, NamedThreadsWaitsAndTheNameTable) {
    int v = 1;  // the thread adds one when it sees its registered name
    auto adder = [](void *arg) {
        char name[64];
        os_thread_name_get(os_thread_id(), name);
        int *n = static_cast<int *>(arg);
        *n = std::string(name).starts_with("adder_") ? *n + 1 : -100;
        return 17;
    };
    os_thread *t = os_thread_init("adder", adder, &v, 0, nullptr);
    ASSERT_NE(t, nullptr);
    int code = 0;
    EXPECT_EQ(os_thread_wait(t, 5000, &code), 0);
    EXPECT_EQ(code, 17);
    EXPECT_EQ(v, 2);
    os_thread_close(t);

    int ms = 1300;  // longer than the 1000 ms os_thread_wait_kill_exit waits: the behaviour
    auto sleeper = [](void *arg) { return os_sleep_ms(*static_cast<int *>(arg)), 3; };
    t = os_thread_init("sleeper", sleeper, &ms, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(os_thread_wait(t, 10, nullptr), PAL_ETIMEDOUT);
    EXPECT_EQ(os_thread_wait_kill_exit(t, &code), -2);  // longer than 1000 ms
    EXPECT_EQ(code, 3);

    char name[128];
    std::string tid = std::to_string(os_thread_id());
    os_thread_name_exit();
    os_thread_name_get(os_thread_id(), name);
    EXPECT_EQ(name, tid);
    os_thread_name_init("main");
    os_thread_name_get(os_thread_id(), name);
    EXPECT_TRUE(std::regex_match(name, std::regex("main_[0-9a-f]{4}_" + tid))) << name;
    os_thread_name_exit();
}

TEST(PalFile, ExeDirMkdirsAndFiles) {
    char dir[4096];
    ASSERT_GT(os_exe_get_dir(dir), 0);
    EXPECT_TRUE(path_is_absolute(dir));
    EXPECT_TRUE(os_is_dir(dir));
    EXPECT_FALSE(path_is_absolute("rel/x"));
    EXPECT_FALSE(path_is_absolute(nullptr));

    std::string tmp = pal_format("/tmp/nvtd-pal-%d", os_getpid());
    std::string deep = tmp + "/a/b/c", file = deep + "/f", back;
    EXPECT_EQ(os_mkdirs(deep.c_str()), 0);
    EXPECT_EQ(os_mkdirs(deep.c_str()), 0);  // existing levels are fine
    EXPECT_EQ(os_write_file(file.c_str(), "hello"), 0);
    EXPECT_EQ(os_file_size(file.c_str()), 5);
    EXPECT_EQ(os_read_file(file.c_str(), &back), 0);
    EXPECT_EQ(back, "hello");
    EXPECT_EQ(os_mkdirs((file + "/x").c_str()), PAL_ENOTDIR);
    EXPECT_EQ(os_read_file((deep + "/missing").c_str(), &back), PAL_ENOENT);
    std::filesystem::remove_all(tmp);
}

TEST(PalClock, MonotonicAndSleeps) {
    uint64_t a = os_clock_ms();
    os_sleep_ms(20);  // the sleep is what is measured
    uint64_t b = os_clock_ms();
    EXPECT_GE(b - a, 19u);
    pal_tm tm{};
    os_localtime(&tm);
    EXPECT_GE(tm.year, 2024);
    EXPECT_LT(tm.usec, 1000000);
    os_time_split(0, true, &tm);
    EXPECT_EQ(tm.year, 1970);
    EXPECT_EQ(tm.mon, 1);
}

TEST(PalAssert, LogsThroughHookAndReturns) {
    static std::string seen;
    pal_set_log_hook([](int, const char *, const char *, int, const char *, const char *fmt,
                        va_list ap) {
        seen += pal_vformat(fmt, ap);
        return 0;
    });
    auto check = [](int x) -> int {
        PAL_ASSERT_RET(x > 0, -1);
        return x;
    };
    EXPECT_EQ(check(5), 5);
    EXPECT_EQ(seen, "");
    EXPECT_EQ(check(0), -1);
    EXPECT_NE(seen.find("expr[x > 0]: assert failed\n"), std::string::npos);
    EXPECT_NE(seen.find("PalAssert"), std::string::npos);  // the stack names this test
    pal_set_log_hook(nullptr);
}
