// app_test.cpp - the option parser, the -s key table, and signal routing.
#include "libapp.h"
#include "pal.h"
#include "pal_getopt.h"
#include "pal_proc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {
/// An argument vector that owns its words.
struct argv_t {
    std::vector<std::string> words;
    std::vector<char *> ptrs;
    explicit argv_t(std::initializer_list<const char *> w) : words(w.begin(), w.end()) {
        for (std::string &s : words)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char **argv() { return ptrs.data(); }
};

/// Runs the parser to the end; returns "c" or "c=arg" per option, "?x" for errors.
std::vector<std::string> parse_all(argv_t &a, pal_getopt_state *st, const char *opts) {
    std::vector<std::string> out;
    int c;
    while ((c = pal_getopt(st, a.argc(), a.argv(), opts)) != -1) {
        std::string item(1, static_cast<char>(c));
        if (c == '?' || c == ':')
            item += static_cast<char>(st->opt);
        else if (st->arg != nullptr)
            item += std::string("=") + st->arg;
        out.push_back(item);
    }
    return out;
}
}  // namespace

TEST(PalGetopt, GroupsAttachedAndSeparateArguments) {
    argv_t a{"prog", "-dq", "-cone.ini", "-o", "log.txt", "-s", "k=v", "-qc", "two.ini"};
    pal_getopt_state st;
    auto got = parse_all(a, &st, APP_OPTSTRING);
    std::vector<std::string> want{"d", "q", "c=one.ini", "o=log.txt", "s=k=v", "q", "c=two.ini"};
    EXPECT_EQ(got, want);
    EXPECT_EQ(st.ind, a.argc());
}

TEST(PalGetopt, StopsAtFirstNonOptionAndAfterDoubleDash) {
    argv_t a{"prog", "-d", "file", "-q"};
    pal_getopt_state st;
    EXPECT_EQ(parse_all(a, &st, APP_OPTSTRING), std::vector<std::string>{"d"});
    EXPECT_EQ(st.ind, 2);  // "file" and what follows are left alone

    argv_t b{"prog", "-d", "--", "-q"};
    pal_getopt_state st2;
    EXPECT_EQ(parse_all(b, &st2, APP_OPTSTRING), std::vector<std::string>{"d"});
    EXPECT_EQ(st2.ind, 3);

    argv_t c{"prog", "-", "-q"};
    pal_getopt_state st3;
    EXPECT_TRUE(parse_all(c, &st3, APP_OPTSTRING).empty());
    EXPECT_EQ(st3.ind, 1);
}

TEST(PalGetopt, ArgumentMayStartWithDash) {
    argv_t a{"prog", "-c", "-d", "-q"};
    pal_getopt_state st;
    EXPECT_EQ(parse_all(a, &st, APP_OPTSTRING), (std::vector<std::string>{"c=-d", "q"}));
}

TEST(PalGetopt, ErrorsReportCharacterAndMessage) {
    argv_t a{"prog", "-x", "-d", "-c"};
    pal_getopt_state st;
    testing::internal::CaptureStderr();
    auto got = parse_all(a, &st, APP_OPTSTRING);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, (std::vector<std::string>{"?x", "d", "?c"}));
    EXPECT_EQ(err, "prog: invalid option -- x\nprog: option requires an argument -- c\n");

    // ':' and '+' are not options; quiet mode prints nothing; leading ':' reports ':'.
    argv_t b{"prog", "-:", "-+", "-c"};
    pal_getopt_state quiet;
    quiet.err = 0;
    testing::internal::CaptureStderr();
    got = parse_all(b, &quiet, "+:c:");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(got, (std::vector<std::string>{"?:", "?+", ":c"}));
}

namespace {
struct key_vars {
    int port = 7;
    int flag = 0;
    std::string url;
};

std::vector<app_key> make_keys(key_vars *v) {
    return {
        {"http_server_port", &v->port, APP_KEY_INT, {}, false},
        {"create_user_pwd", &v->flag, APP_KEY_INT, {}, false},
        {"update_check_url", &v->url, APP_KEY_STR, {}, false},
        {nullptr, nullptr, 0, {}, false},
    };
}
}  // namespace

TEST(OsOptKvGet, ValuesWaitUntilApplied) {
    key_vars v;
    auto keys = make_keys(&v);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "http_server_port=99"), 0);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "http_server_port=0"), 0);  // a later one wins
    EXPECT_EQ(os_opt_kv_get(keys.data(), "update_check_url=http://h/x?a=b"), 0);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "create_user_pwd=yes"), 0);
    EXPECT_EQ(v.port, 7);
    EXPECT_TRUE(v.url.empty());

    app_key_apply(keys.data());
    EXPECT_EQ(v.port, 0);
    EXPECT_EQ(v.url, "http://h/x?a=b");  // split at the first '=' only
    EXPECT_EQ(v.flag, 0);                // no leading digits
    EXPECT_FALSE(keys[0].has_pending);

    v.port = 5;
    app_key_apply(keys.data());  // nothing pending any more
    EXPECT_EQ(v.port, 5);

    EXPECT_EQ(os_opt_kv_get(keys.data(), "create_user_pwd=12abc"), 0);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "update_check_url="), 0);
    app_key_apply(keys.data());
    EXPECT_EQ(v.flag, 12);
    EXPECT_EQ(v.url, "");
}

TEST(OsOptKvGet, BadTextIsRefusedAndChangesNothing) {
    key_vars v;
    auto keys = make_keys(&v);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "http_server_port"), -1);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "foo=1"), -2);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "=1"), -2);
    EXPECT_EQ(os_opt_kv_get(keys.data(), "HTTP_SERVER_PORT=1"), -2);  // names are exact
    std::string longkey(9000, 'k');
    EXPECT_EQ(os_opt_kv_get(keys.data(), (longkey + "=v").c_str()), -2);
    EXPECT_EQ(os_opt_kv_get(nullptr, "http_server_port=1"), -2);
    app_key_apply(keys.data());
    EXPECT_EQ(v.port, 7);
    EXPECT_TRUE(v.url.empty());
}

TEST(PalProc, SignalReachesHandlerOnItsThread) {
    static std::atomic<int> seen{0};
    static std::atomic<uint64_t> tid{0};
    const int sigs[] = {SIGUSR1};
    ASSERT_EQ(os_signal_route(sigs, 1, [](int signo) {
                  tid.store(os_thread_id());
                  seen.store(signo);
              }),
              0);
    std::raise(SIGUSR1);
    uint64_t end = os_clock_ms() + 5000;
    while (seen.load() == 0 && os_clock_ms() < end)
        os_sleep_ms(10);
    EXPECT_EQ(seen.load(), SIGUSR1);
    EXPECT_NE(tid.load(), os_thread_id());
    os_signal_exit();
    os_signal_exit();  // a second call does nothing
    os_signal_default(SIGUSR1);
}

TEST(PalProc, WorkingDirectory) {
    char buf[4096];
    int n = os_getcwd(buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), std::filesystem::current_path().string());
    char tiny[2];
    EXPECT_EQ(os_getcwd(tiny), PAL_ETRUNC);
}
