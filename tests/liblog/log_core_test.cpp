// Tests of the log call: line format, filtering, flags text, callbacks, recent lines,
// hooks, runtime variables, crit exit and the caller's errno.
#include "log_test_util.h"

#include <cerrno>
#include <cstring>
#include <regex>

using LogLine = LogTest;
using LogFilter = LogTest;
using LogSinks = LogTest;
using LogHooks = LogTest;
using LogSettings = LogTest;
using LogCritDeathTest = LogTest;

static std::string tid_text() {
    return std::to_string(static_cast<unsigned>(os_thread_id()));
}

// Logs one message at info level and returns line A as the output callback saw it.
#define LINE_OF(...)                                                                       \
    [&] {                                                                                  \
        size_t before = captured().size();                                                 \
        LOG2(LOG2_INFO, "main", __VA_ARGS__);                                              \
        auto all = captured();                                                             \
        return all.size() > before ? all.back().text : std::string("<nothing>");          \
    }()

TEST_F(LogLine, FixedFlagsGiveExactPrefix) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time_ms|tid|file"), 0);
    int line = __LINE__ + 1;
    std::string a = LINE_OF("hello %d\n", 42);
    std::regex want(R"(^\d\d:\d\d:\d\d\.\d{3} \[)" + tid_text() + R"(\]\[log_core_test\.cpp:)" +
                    std::to_string(line) + R"(\]hello 42\n$)");
    EXPECT_TRUE(std::regex_match(a, want)) << a;

    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time|func"), 0);
    a = LINE_OF("x");
    // The call sits in a lambda, whose function name is "operator()".
    EXPECT_TRUE(std::regex_match(a, std::regex(R"(^\d\d:\d\d:\d\d operator\(\)\(\):x\n$)")))
        << a;

    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0L), 0);
    EXPECT_EQ(LINE_OF("bare"), "bare\n");
}

TEST_F(LogLine, ThreadNameFromTheTable) {
    os_thread_name_init("worker");
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "tid_name"), 0);
    std::string a = LINE_OF("m");
    EXPECT_TRUE(std::regex_match(a, std::regex(R"(^\[worker_[0-9a-f]{4}_)" + tid_text() +
                                               R"(\]m\n$)")))
        << a;
    os_thread_name_exit();
    EXPECT_EQ(LINE_OF("m"), "[" + tid_text() + "]m\n");
}

TEST_F(LogLine, FlagsTextWords) {
    // "time" after "time_ms" turns the short time back on, which wins.
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time_ms|time"), 0);
    EXPECT_TRUE(std::regex_match(LINE_OF("t"), std::regex(R"(^\d\d:\d\d:\d\d t\n$)")));
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time|time_ms"), 0);
    EXPECT_TRUE(std::regex_match(LINE_OF("t"), std::regex(R"(^\d\d:\d\d:\d\d\.\d{3} t\n$)")));

    testing::internal::CaptureStderr();
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "bogus|tid"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid tags: [bogus]\n");
    EXPECT_EQ(LINE_OF("t"), "[" + tid_text() + "]t\n");

    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "no_colour|file"), 0);
    EXPECT_TRUE(std::regex_match(LINE_OF("t"), std::regex(R"(^\[log_core_test\.cpp:\d+\]t\n$)")));
}

TEST_F(LogLine, LineFeedAddedOnlyWhenMissing) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0L), 0);
    EXPECT_EQ(LINE_OF("abc\n"), "abc\n");
    EXPECT_EQ(LINE_OF("abc"), "abc\n");
    EXPECT_EQ(LINE_OF("%s", ""), "\n");
    EXPECT_EQ(LINE_OF("two\nlines"), "two\nlines\n");
}

TEST_F(LogLine, LongMessageCutButEndsInLineFeed) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time|tid|func"), 0);
    std::string big(20000, 'z');
    std::string a = LINE_OF("%s", big.c_str());
    EXPECT_EQ(a.size(), 8191u);
    EXPECT_EQ(a.back(), '\n');
    EXPECT_EQ(a[a.size() - 2], 'z');
}

TEST_F(LogLine, OsErrorTextAndErrnoKept) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0L), 0);
    errno = ENOENT;
    LOG2(LOG2_ERR | LOG2_F_OSERR, "main", "open failed: ");
    EXPECT_EQ(errno, ENOENT);
    auto all = captured();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().text, std::string("open failed: ") + std::strerror(ENOENT) + "\n");

    // Sinks that fail (a file in a folder that is gone) leave errno alone too.
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, path("x.log").c_str()), 0);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 1), 0);
    std::filesystem::remove_all(dir_);
    errno = EACCES;
    LOG2(LOG2_INFO, "main", "still here\n");
    EXPECT_EQ(errno, EACCES);
}

TEST_F(LogFilter, ThresholdDecidesBeforeAnyOutput) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_INFO), 0);
    EXPECT_FALSE(log2_enabled(LOG2_DBG));
    EXPECT_TRUE(log2_enabled(LOG2_INFO | LOG2_F_OSERR));
    EXPECT_EQ(log2_printf(nullptr, LOG2_DBG, "main", __FILE__, __LINE__, __func__, "no\n"), 0);
    EXPECT_TRUE(captured().empty());
    EXPECT_GT(log2_printf(nullptr, LOG2_INFO, "main", __FILE__, __LINE__, __func__, "yes\n"), 0);
    EXPECT_EQ(captured().size(), 1u);

    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "err"), 0);
    EXPECT_FALSE(log2_enabled(LOG2_WARN));
    EXPECT_TRUE(log2_enabled(LOG2_ERR));
    testing::internal::CaptureStderr();
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "loud"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: invalid level [loud]\n");
    EXPECT_TRUE(log2_enabled(LOG2_ERR));
    EXPECT_FALSE(log2_enabled(LOG2_WARN));
}

TEST_F(LogFilter, ExitRestoresDefaults) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_CRIT), 0);
    log2_exit();
    log2_exit();  // a second call does nothing
    EXPECT_TRUE(log2_enabled(LOG2_DBG));
    EXPECT_FALSE(log2_enabled(LOG2_VERB));
}

TEST_F(LogSinks, CallbacksSplitBySeverity) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0L), 0);
    LOG2(LOG2_WARN, "net", "w\n");
    LOG2(LOG2_NOTI, "", "n\n");
    LOG2(LOG2_ERR | LOG2_F_NOEXIT, nullptr, "e\n");
    auto all = captured();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(all[0].err);
    EXPECT_EQ(all[0].level, LOG2_WARN);
    EXPECT_EQ(all[0].tag, "net");
    EXPECT_FALSE(all[1].err);
    EXPECT_EQ(all[1].tag, "tag");  // an empty tag is shown as "tag"
    EXPECT_TRUE(all[2].err);
    EXPECT_EQ(all[2].tag, "tag");

    // With only the output callback set, it still gets its own levels.
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_ERR_CB, static_cast<log2_out_fn>(nullptr)), 0);
    LOG2(LOG2_ERR, "main", "lost\n");
    LOG2(LOG2_INFO, "main", "kept\n");
    all = captured();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[3].text, "kept\n");
}

static void logging_callback(int, const char *, const char *, int) {
    LOG2(LOG2_ERR, "main", "from inside a sink\n");  // must neither deadlock nor recurse
    cap_out(LOG2_INFO, "cb", "called", 6);
}

TEST_F(LogSinks, CallbackThatLogsDoesNotDeadlock) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_OUT_CB, logging_callback), 0);
    LOG2(LOG2_INFO, "main", "outer\n");
    auto all = captured();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].text, "called");
}

TEST_F(LogSinks, ConsoleWritesLineAPlainWhenNotATerminal) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "tid"), 0);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 1), 0);
    testing::internal::CaptureStderr();
    LOG2(LOG2_ERR, "main", "red on a terminal only\n");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "[" + tid_text() + "]red on a terminal only\n");
}

TEST_F(LogSinks, RecentLinesDropWholeLinesFromTheFront) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0L), 0);
    std::string pad(90, '.');
    for (int i = 0; i < 30; i++)
        LOG2(LOG2_INFO, "main", "line%02d %s\n", i, pad.c_str());
    std::string recent = log2_recent_lines();
    EXPECT_LE(recent.size(), 1024u);
    EXPECT_GE(recent.size(), 1024u - 2 * 98u);
    auto lines = split_lines(recent);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().substr(0, 4), "line");
    EXPECT_EQ(lines.back(), "line29 " + pad);
    for (const std::string &l : lines)
        EXPECT_EQ(l.size(), 97u) << l;

    // A line longer than the whole buffer is not kept and leaves the rest alone.
    std::string big(2000, 'b');
    LOG2(LOG2_INFO, "main", "%s\n", big.c_str());
    EXPECT_EQ(log2_recent_lines(), recent);
}

// ---------------------------------------------------------------------------------------

static std::vector<std::string> g_bsv_msgs;
static void bsv_hook(int, const char *tag, const char *, int, const char *, const char *msg,
                     int len) {
    g_bsv_msgs.push_back(std::string(tag) + ":" + std::string(msg, static_cast<size_t>(len)));
}

TEST_F(LogHooks, BinaryHookSeesEventsExceptSinkTags) {
    g_bsv_msgs.clear();
    log2_set_bsv_hook(bsv_hook);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_INFO), 0);
    LOG2(LOG2_INFO, "main", "one\n");
    LOG2(LOG2_INFO, "net", "sink message\n");
    LOG2(LOG2_INFO, "bsv", "sink message\n");
    LOG2(LOG2_DBG, "main", "filtered\n");
    LOG2(LOG2_INFO | LOG2_F_BSV_ONLY, "main", "binary only\n");
    log2_set_bsv_hook(nullptr);
    LOG2(LOG2_INFO, "main", "after\n");
    EXPECT_EQ(g_bsv_msgs, (std::vector<std::string>{"main:one\n", "main:binary only\n"}));
    // The binary-only event made no text line.
    EXPECT_EQ(captured().size(), 4u);
}

static std::atomic<int> g_redirected{0};
static int redirect_hook(log2_ctx *, int, const char *, const char *, int, const char *,
                         const char *, va_list) {
    g_redirected++;
    return 1;
}

TEST_F(LogHooks, RedirectTakesEveryCall) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_ERR), 0);
    g_redirected = 0;
    log2_set_redirect_hook(redirect_hook);
    EXPECT_TRUE(log2_enabled(LOG2_VERB));
    LOG2(LOG2_VERB, "main", "v\n");
    EXPECT_EQ(log2_printf(nullptr, LOG2_ERR, "main", __FILE__, __LINE__, __func__, "e\n"), 0);
    EXPECT_EQ(g_redirected.load(), 2);
    EXPECT_TRUE(captured().empty());
    log2_set_redirect_hook(nullptr);
    EXPECT_FALSE(log2_enabled(LOG2_WARN));
    LOG2(LOG2_ERR, "main", "e\n");
    EXPECT_EQ(captured().size(), 1u);
}

TEST_F(LogHooks, PlatformLayerLogsReachTheLog) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0L), 0);
    PAL_LOG(LOG2_ERR, "pal", "from below %d\n", 5);
    auto all = captured();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].tag, "pal");
    EXPECT_EQ(all[0].text, "from below 5\n");
    EXPECT_TRUE(all[0].err);
}

// ---------------------------------------------------------------------------------------

TEST_F(LogSettings, IoctlRefusesUnknownCodesAndWrongKinds) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(log2_ioctl(nullptr, 99, 1L), -1);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, 1), -1);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, "dbg"), -1);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, cap_out), -1);
    std::string one = "Invalid command code\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), one + one + one + one);
}

TEST_F(LogSettings, RuntimeVariables) {
    const log2_var &level = log2_vars[0];
    const log2_var &dbgview = log2_vars[1];
    EXPECT_STREQ(level.name, "log.level");
    EXPECT_STREQ(level.range, "verb|dbg|info|noti|warn|err|crit");
    EXPECT_STREQ(dbgview.name, "log.dbgview");
    std::string msg;
    EXPECT_EQ(level.set("warn", &msg), 0);
    EXPECT_EQ(level.get(), "warn");
    EXPECT_FALSE(log2_enabled(LOG2_NOTI));
    EXPECT_EQ(level.set("loud", &msg), -1);
    EXPECT_EQ(msg, "invalid param [loud]\n");
    EXPECT_EQ(level.get(), "warn");

    EXPECT_EQ(dbgview.set("2", &msg), -1);
    EXPECT_EQ(msg, "error: invalid param [2]\n");
    EXPECT_EQ(dbgview.get(), "0");
    EXPECT_EQ(dbgview.set("1", &msg), 0);
    EXPECT_EQ(dbgview.get(), "1");
    std::string dump = log2_settings_dump();
    EXPECT_NE(dump.find("log_level=warn\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("log_dbgview_enale_out=1\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("log_shell_enale_out=0\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("log_file_max_size=2097152\n"), std::string::npos) << dump;
}

TEST_F(LogSettings, DebugChannelOnlyWhenSwitchedOn) {
    testing::internal::CaptureStderr();
    log2_dbg_printf("hidden %d\n", 1);
    log2_set_debug(true);
    log2_dbg_printf("shown %d\n", 2);
    log2_set_debug(false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown 2\n");
}

TEST_F(LogCritDeathTest, CritEndsProcessWithStatusOne) {
    // The default death test style forks: the child shares the open file sink.
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, path("crit.log").c_str()), 0);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 1), 0);
    EXPECT_EXIT(
        {
            log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 1);
            LOG2(LOG2_CRIT, "main", "cannot go on\n");
            std::fputs("still running\n", stderr);
        },
        testing::ExitedWithCode(1), "cannot go on\n$");
    // The file sink had the line before the process ended.
    EXPECT_NE(read_text(path("crit.log")).find("CRIT "), std::string::npos);

    EXPECT_GT(log2_printf(nullptr, LOG2_CRIT | LOG2_F_NOEXIT, "main", __FILE__, __LINE__,
                          __func__, "survivable\n"),
              0);
    EXPECT_NE(read_text(path("crit.log")).find("survivable"), std::string::npos);
}
