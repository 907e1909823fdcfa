// Tests of crash handling: the helper program faults in one way per run, and each test
// reads its exit status, its report on standard error and the dump files it left.
// Under the sanitizers the fault runs are skipped: their own fault handlers and checks
// (a division by zero is reported before it faults) take the faults first.
#include "pal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace {
struct run_result {
    int status = -1;  // exit status, or -1 when the helper did not end by itself
    std::string err;  // standard error and output together
};

class CrashRun : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "the sanitizers' own fault handlers take these faults";
#endif
        char tmpl[] = "/tmp/nvtd-crash-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    // Runs program with args, output into a file, for at most 30 s.
    static run_result run(const std::vector<std::string> &args, const fs::path &out) {
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        run_result r;
        if (rc != 0)
            return r;
        int status = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return r;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::ifstream in(out);
        std::stringstream text;
        text << in.rdbuf();
        r.err = text.str();
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        return r;
    }

    run_result helper(const std::string &mode) {
        return run({CRASH_HELPER, mode, (dir_ / "dumps" / "deeper").string()},
                   dir_ / (mode + ".out"));
    }

    std::vector<fs::path> dumps() const {
        std::vector<fs::path> found;
        fs::path d = dir_ / "dumps" / "deeper";
        if (fs::is_directory(d))
            for (const auto &e : fs::directory_iterator(d))
                found.push_back(e.path());
        return found;
    }

    fs::path dir_;
};

// Position of text in s, or npos; the message names the missing text.
size_t at(const std::string &s, const std::string &text) {
    size_t p = s.find(text);
    EXPECT_NE(p, std::string::npos) << "missing: " << text << "\nin:\n" << s;
    return p;
}
}  // namespace

TEST(PalCrash, ExceptionNamesFromTheTable) {
    char buf[32];
    EXPECT_STREQ(os_exception_name(0xC0000005, buf), "ACCESS_VIOLATION");
    EXPECT_STREQ(os_exception_name(0xC0000094, buf), "INT_DIVIDE_BY_ZERO");
    EXPECT_STREQ(os_exception_name(0xC00000FD, buf), "STACK_OVERFLOW");
    EXPECT_STREQ(os_exception_name(0x80000004, buf), "SINGLE_STEP");
    EXPECT_STREQ(os_exception_name(0x12345678, buf), "unkown(305419896)");
    EXPECT_STREQ(os_exception_name(0xC0000001, buf), "unkown(-1073741823)");
}

[[gnu::noinline]] static int pal_crash_test_stack_here(std::string *out) {
    out->assign(4096, '\0');
    int n = os_dump_stack(*out);
    out->resize(static_cast<size_t>(n));
    return n;
}

TEST(PalCrash, CallStackNamesModuleFunctionAndLine) {
    std::string stack;
    ASSERT_GT(pal_crash_test_stack_here(&stack), 0);
    std::string first = stack.substr(0, stack.find('\n'));
    // The first frame is the caller of os_dump_stack, with its source line.
    EXPECT_NE(first.find("libpal_tests!pal_crash_test_stack_here("), std::string::npos) << stack;
    EXPECT_NE(first.find("crash_test.cpp @ "), std::string::npos) << stack;
    std::string small(40, '\0');
    EXPECT_EQ(os_dump_stack(small), 39);  // cut to the buffer, terminated
}

static int add_one(void *arg) {
    return *static_cast<int *>(arg) + 1;
}

TEST(PalCrash, GuardedCallWithoutFaultGivesTheResult) {
    int value = 41, result = 0;
    EXPECT_EQ(os_thread_call(add_one, &value, &result), 0);
    EXPECT_EQ(result, 42);
}

TEST_F(CrashRun, NullAccessOnMainThreadReportsDumpsAndExits254) {
    run_result r = helper("null-main");
    EXPECT_EQ(r.status, 254) << r.err;
    size_t summary = at(r.err, "--ExptInfo-- \n");
    size_t info = at(r.err, "info: os=linux arch=");
    size_t code = at(r.err, "Code: 0xc0000005\nCmsg: ACCESS_VIOLATION\nFlag: 0\nAddr: 0x");
    size_t asym = at(r.err, "ASym: ");
    at(r.err, " app_ver=9.8.7.6\n");
    at(r.err, "Param[2]: 0x0000000000000000\n");
    at(r.err, "!crash_helper_null_read(int volatile*)+0x");
    size_t dump = at(r.err, "MiniDump " + (dir_ / "dumps" / "deeper").string() + "/crash_helper-");
    size_t last = at(r.err, "--LastLog-- \n");
    size_t end = at(r.err, "process panic exit\n");
    EXPECT_LT(summary, info);
    EXPECT_LT(info, code);
    EXPECT_LT(code, asym);
    EXPECT_LT(asym, dump);
    EXPECT_LT(dump, last);
    EXPECT_LT(last, end);
    // The block holds the recent log lines: the newest is the dump's line.
    EXPECT_LT(r.err.find("created\n", last), end) << r.err;
    std::vector<fs::path> files = dumps();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_search(files[0].filename().string(),
                                  std::regex(R"(^crash_helper-\d{4}_\d\d_\d\d-\d\d_\d\d_\d\d\.dmp$)")));
    std::ifstream dump_file(files[0], std::ios::binary);
    char magic[4] = {};
    dump_file.read(magic, 4);
    EXPECT_EQ(std::string(magic, 4), "MDMP");
}

TEST_F(CrashRun, FaultBeforeDumpsAreEnabledWritesNoDumpAndNoDirectory) {
    run_result r = helper("null-early");
    EXPECT_EQ(r.status, 254) << r.err;
    at(r.err, "Cmsg: ACCESS_VIOLATION\n");
    at(r.err, "--LastLog-- \n");
    EXPECT_EQ(r.err.find("MiniDump "), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "dumps"));
}

TEST_F(CrashRun, IntegerDivisionByZero) {
    run_result r = helper("div-main");
    EXPECT_EQ(r.status, 254) << r.err;
    at(r.err, "Code: 0xc0000094\nCmsg: INT_DIVIDE_BY_ZERO\n");
    at(r.err, "ASym: ");
    at(r.err, "!crash_helper_divide(");
}

TEST_F(CrashRun, HandleThreadEndsAloneAndTheProcessGoesOn) {
    run_result r = helper("null-handle");
    EXPECT_EQ(r.status, 0) << r.err;
    size_t summary = at(r.err, "Cmsg: ACCESS_VIOLATION\n");
    size_t handled = at(r.err, "except handle\n");
    size_t after = at(r.err, "process goes on rc=0\n");
    EXPECT_LT(summary, handled);
    EXPECT_LT(handled, after);
    EXPECT_EQ(r.err.find("--LastLog--"), std::string::npos);
    EXPECT_TRUE(dumps().empty());  // "write dump" was not asked for
}

TEST_F(CrashRun, HandleThreadWithWriteDumpLeavesADump) {
    run_result r = helper("null-handle-dump");
    EXPECT_EQ(r.status, 0) << r.err;
    size_t dump = at(r.err, "MiniDump ");
    size_t handled = at(r.err, "except handle\n");
    EXPECT_LT(dump, handled);
    EXPECT_EQ(dumps().size(), 1u);
}

TEST_F(CrashRun, StackOverflowInHandleThreadIsSummarised) {
    run_result r = helper("overflow-handle");
    EXPECT_EQ(r.status, 0) << r.err;
    at(r.err, "Code: 0xc00000fd\nCmsg: STACK_OVERFLOW\n");
    at(r.err, "!crash_helper_recurse(");
    at(r.err, "except handle\n");
    at(r.err, "process goes on rc=0\n");
}

TEST_F(CrashRun, ThreadWithoutOptionsPassesTheFaultToTheProcessHook) {
    run_result r = helper("null-thread");
    EXPECT_EQ(r.status, 254) << r.err;
    size_t cont = at(r.err, "except continue\n");
    size_t last = at(r.err, "--LastLog-- \n");
    at(r.err, "process panic exit\n");
    EXPECT_LT(cont, last);
    // The filter wrote the summary: the process hook does not write it again.
    size_t first = at(r.err, "--ExptInfo--");
    EXPECT_GT(r.err.find("--ExptInfo--", first + 1), last) << r.err;
}

TEST_F(CrashRun, ThreadWithExitEndsTheProcess) {
    run_result r = helper("null-exit");
    EXPECT_EQ(r.status, 254) << r.err;
    at(r.err, "thread panic exit\n");
    EXPECT_EQ(r.err.find("--LastLog--"), std::string::npos);
}

TEST_F(CrashRun, TwoThreadsFaultingAtOnceGiveTwoWholeSummaries) {
    run_result r = helper("two-handle");
    EXPECT_EQ(r.status, 0) << r.err;
    // Each summary runs from its head through its stack to its thread's end, without
    // another report in between.
    std::regex whole(R"(--ExptInfo-- \ninfo: [^\n]*\nCode: 0xc0000005\nCmsg: ACCESS_VIOLATION\n)"
                     R"(Flag: 0\nAddr: [^\n]*\nASym: [^\n]*\nParam\[1\]: [^\n]*\n)"
                     R"(Param\[2\]: [^\n]*\n\[(?:(?!--ExptInfo)[^\n]*\n)*?\]\n[^\n]*except handle\n)");
    auto begin = std::sregex_iterator(r.err.begin(), r.err.end(), whole);
    EXPECT_EQ(std::distance(begin, std::sregex_iterator()), 2) << r.err;
}

TEST_F(CrashRun, LldbOpensTheDumpAtTheFaultingFunction) {
    if (access("/usr/bin/lldb", X_OK) != 0)
        GTEST_SKIP() << "lldb is not installed (scripts/deps installs it)";
    run_result r = helper("null-main");
    ASSERT_EQ(r.status, 254) << r.err;
    std::vector<fs::path> files = dumps();
    ASSERT_EQ(files.size(), 1u);
    run_result bt = run({"/usr/bin/lldb", "--batch", "--core", files[0].string(), "-o", "bt"},
                        dir_ / "lldb.out");
    EXPECT_EQ(bt.status, 0) << bt.err;
    at(bt.err, "stop reason = signal SIGSEGV");
    at(bt.err, "frame #0: ");
    size_t frame0 = bt.err.find("frame #0: ");
    size_t frame1 = bt.err.find("frame #1: ");
    std::string line = bt.err.substr(frame0, frame1 - frame0);
    EXPECT_NE(line.find("crash_helper`crash_helper_null_read"), std::string::npos) << bt.err;
}

TEST_F(CrashRun, UnderADebuggerNothingIsArmed) {
    if (access("/usr/bin/lldb", X_OK) != 0)
        GTEST_SKIP() << "lldb is not installed (scripts/deps installs it)";
    run_result r = run({"/usr/bin/lldb", "--batch", "-o", "run", "--", CRASH_HELPER, "null-main",
                        (dir_ / "dumps").string()},
                       dir_ / "debugged.out");
    // The debugger sees the fault itself; no report, no dump.
    at(r.err, "stop reason = signal SIGSEGV");
    EXPECT_EQ(r.err.find("--ExptInfo--"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "dumps"));
}
