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

// Logs one message at info level and returns line A as the output callback saw it.
#define LINE_OF(...)                                                                       \
    [&] {                                                                                  \
        size_t before = captured().size();                                                 \
        LOG2(LOG2_INFO, "main", __VA_ARGS__);                                              \
        auto all = captured();                                                             \
        return all.size() > before ? all.back().text : std::string("<nothing>");          \
    }()

TEST_F(LogLine, PrefixFlagsAndTheirWords) {
    flags("time_ms|tid|file");
    int line = __LINE__ + 1;
    std::string a = LINE_OF("hello %d\n", 42);
    std::regex want(R"(^\d\d:\d\d:\d\d\.\d{3} \[)" + tid_text() + R"(\]\[log_core_test\.cpp:)" +
                    std::to_string(line) + R"(\]hello 42\n$)");
    EXPECT_TRUE(std::regex_match(a, want)) << a;

    // Of "time" and "time_ms" the later word wins; "no_colour" is a word too. The call
    // sits in a lambda, whose function name is "operator()".
    const char *const cases[][2] = {
        {"time|func", R"(^\d\d:\d\d:\d\d operator\(\)\(\):t\n$)"},
        {"time_ms|time", R"(^\d\d:\d\d:\d\d t\n$)"},
        {"time|time_ms", R"(^\d\d:\d\d:\d\d\.\d{3} t\n$)"},
        {"no_colour|file", R"(^\[log_core_test\.cpp:\d+\]t\n$)"}};
    for (const auto &[names, pattern] : cases) {
        flags(names);
        a = LINE_OF("t");
        EXPECT_TRUE(std::regex_match(a, std::regex(pattern))) << names << ": " << a;
    }
    testing::internal::CaptureStderr();
    flags("bogus|tid");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid tags: [bogus]\n");
    EXPECT_EQ(LINE_OF("t"), "[" + tid_text() + "]t\n");

    os_thread_name_init("worker");
    flags("tid_name");
    a = LINE_OF("m");
    EXPECT_TRUE(std::regex_match(a, std::regex(R"(^\[worker_[0-9a-f]{4}_)" + tid_text() +
                                               R"(\]m\n$)"))) << a;
    os_thread_name_exit();
    EXPECT_EQ(LINE_OF("m"), "[" + tid_text() + "]m\n");
}

TEST_F(LogLine, LineFeedErrnoAndLongMessages) {
    EXPECT_EQ(LINE_OF("abc\n"), "abc\n");
    EXPECT_EQ(LINE_OF("abc"), "abc\n");  // added only when missing
    EXPECT_EQ(LINE_OF("%s", ""), "\n");
    EXPECT_EQ(LINE_OF("two\nlines"), "two\nlines\n");

    errno = ENOENT;
    LOG2(LOG2_ERR | LOG2_F_OSERR, "main", "open failed: ");
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(captured().back().text, std::string("open failed: ") + std::strerror(ENOENT) + "\n");
    // Sinks that fail (a file in a folder that is gone) leave errno alone too.
    open_file(path("x.log"));
    std::filesystem::remove_all(dir_);
    errno = EACCES;
    LOG2(LOG2_INFO, "main", "still here\n");
    EXPECT_EQ(errno, EACCES);

    flags("time|tid|func");
    std::string a = LINE_OF("%s", std::string(20000, 'z').c_str());
    EXPECT_EQ(a.size(), 8191u);  // cut, but still ending in a line feed
    EXPECT_EQ(a.back(), '\n');
    EXPECT_EQ(a[a.size() - 2], 'z');
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
    testing::internal::CaptureStderr();
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "loud"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: invalid level [loud]\n");
    EXPECT_TRUE(log2_enabled(LOG2_ERR));
    EXPECT_FALSE(log2_enabled(LOG2_WARN));

    log2_exit();
    log2_exit();  // a second call does nothing; the next context has the defaults
    EXPECT_TRUE(log2_enabled(LOG2_DBG));
    EXPECT_FALSE(log2_enabled(LOG2_VERB));
}

static void logging_callback(int, const char *, const char *, int) {
    LOG2(LOG2_ERR, "main", "from inside a sink\n");  // must neither deadlock nor recurse
    cap_out(LOG2_INFO, "cb", "called", 6);
}

TEST_F(LogSinks, CallbacksSplitBySeverity) {
    LOG2(LOG2_WARN, "net", "w\n");
    LOG2(LOG2_NOTI, "", "n\n");
    LOG2(LOG2_ERR | LOG2_F_NOEXIT, nullptr, "e\n");
    PAL_LOG(LOG2_ERR, "pal", "from below %d\n", 5);  // the platform layer's logs arrive too
    // An empty tag is shown as "tag".
    using lines_t = std::vector<std::string>;
    EXPECT_EQ(captured_text(), (lines_t{"err net: w\n", "out tag: n\n", "err tag: e\n",
                                        "err pal: from below 5\n"}));
    EXPECT_EQ(captured().front().level, LOG2_WARN);

    // With only the output callback set, it still gets its own levels.
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_ERR_CB, static_cast<log2_out_fn>(nullptr)), 0);
    LOG2(LOG2_ERR, "main", "lost\n");
    LOG2(LOG2_INFO, "main", "kept\n");
    ASSERT_EQ(captured().size(), 5u);
    EXPECT_EQ(captured_text().back(), "out main: kept\n");

    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_OUT_CB, logging_callback), 0);
    LOG2(LOG2_INFO, "main", "outer\n");
    ASSERT_EQ(captured().size(), 6u);
    EXPECT_EQ(captured_text().back(), "out cb: called");
}

TEST_F(LogSinks, ConsoleWritesLineAPlainWhenNotATerminal) {
    flags("tid");
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 1), 0);
    testing::internal::CaptureStderr();
    LOG2(LOG2_ERR, "main", "red on a terminal only\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[" + tid_text() + "]red on a terminal only\n");
    // The debug channel prints only when it is switched on.
    testing::internal::CaptureStderr();
    log2_dbg_printf("hidden %d\n", 1);
    log2_set_debug(true);
    log2_dbg_printf("shown %d\n", 2);
    log2_set_debug(false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown 2\n");
}

TEST_F(LogSinks, RecentLinesDropWholeLinesFromTheFront) {
    std::string pad(90, '.');
    for (int i = 0; i < 30; i++)
        LOG2(LOG2_INFO, "main", "line%02d %s\n", i, pad.c_str());
    std::string recent = log2_recent_lines();
    EXPECT_LE(recent.size(), 1024u);
    EXPECT_GE(recent.size(), 1024u - 2 * 98u);
    auto lines = split_lines(recent);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "line29 " + pad);
    for (const std::string &l : lines)
        EXPECT_TRUE(l.size() == 97u && l.starts_with("line")) << l;
    // A line longer than the whole buffer is not kept and leaves the rest alone.
    LOG2(LOG2_INFO, "main", "%s\n", std::string(2000, 'b').c_str());
    EXPECT_EQ(log2_recent_lines(), recent);
}

static std::vector<std::string> g_bsv_msgs;
static std::atomic<int> g_redirected{0};

TEST_F(LogHooks, BinaryHookSkipsSinkTagsAndRedirectTakesEveryCall) {
    g_bsv_msgs.clear();
    g_redirected = 0;
    log2_set_bsv_hook([](int, const char *tag, const char *, int, const char *, const char *msg,
                         int len) {
        g_bsv_msgs.push_back(tag + (":" + std::string(msg, static_cast<size_t>(len))));
    });
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_INFO), 0);
    LOG2(LOG2_INFO, "main", "one\n");
    LOG2(LOG2_INFO, "net", "sink message\n");
    LOG2(LOG2_INFO, "bsv", "sink message\n");
    LOG2(LOG2_DBG, "main", "filtered\n");
    LOG2(LOG2_INFO | LOG2_F_BSV_ONLY, "main", "binary only\n");
    log2_set_bsv_hook(nullptr);
    LOG2(LOG2_INFO, "main", "after\n");
    EXPECT_EQ(g_bsv_msgs, (std::vector<std::string>{"main:one\n", "main:binary only\n"}));
    EXPECT_EQ(captured().size(), 4u);  // the binary-only event made no text line

    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_ERR), 0);
    log2_set_redirect_hook([](log2_ctx *, int, const char *, const char *, int, const char *,
                              const char *, va_list) {
        g_redirected++;
        return 1;
    });
    EXPECT_TRUE(log2_enabled(LOG2_VERB));
    LOG2(LOG2_VERB, "main", "v\n");
    EXPECT_EQ(log2_printf(nullptr, LOG2_ERR, "main", __FILE__, __LINE__, __func__, "e\n"), 0);
    EXPECT_EQ(g_redirected.load(), 2);
    EXPECT_EQ(captured().size(), 4u);
    log2_set_redirect_hook(nullptr);
    EXPECT_FALSE(log2_enabled(LOG2_WARN));
    LOG2(LOG2_ERR, "main", "e\n");
    EXPECT_EQ(captured().size(), 5u);
}

TEST_F(LogSettings, IoctlRefusalsAndRuntimeVariables) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(log2_ioctl(nullptr, 99, 1L), -1);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, 1), -1);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL, "dbg"), -1);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, cap_out), -1);
    std::string one = "Invalid command code\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), one + one + one + one);

    const log2_var &level = log2_vars[0], &dbgview = log2_vars[1];
    EXPECT_STREQ(level.name, "log.level");
    EXPECT_STREQ(level.range, "verb|dbg|info|noti|warn|err|crit");
    EXPECT_STREQ(dbgview.name, "log.dbgview");
    std::string msg;
    EXPECT_EQ(level.set("warn", &msg), 0);
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
    for (const char *want : {"log_level=warn\n", "log_dbgview_enale_out=1\n",
                             "log_shell_enale_out=0\n", "log_file_max_size=2097152\n"})
        EXPECT_NE(dump.find(want), std::string::npos) << want << " in " << dump;
}

TEST_F(LogCritDeathTest, CritEndsProcessWithStatusOne) {
    // The default death test style forks: the child shares the open file sink.
    open_file(path("crit.log"));
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
                          __func__, "survivable\n"), 0);
    EXPECT_NE(read_text(path("crit.log")).find("survivable"), std::string::npos);
}
