// Tests of the file sink (line format, size cap, re-creation, modes, concurrency), of the
// "log" section of INI text, and of the side log files.
#include "log_test_util.h"

#include <regex>
#include <thread>

#include <sys/stat.h>

using LogFile = LogTest;
using LogInit = LogTest;
using Flog = LogTest;

static const std::string k_date = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} )";

TEST_F(LogFile, LineFormatAndRecreation) {
    os_thread_name_init("worker");
    flags("time|tid|func");
    open_file(path("a.log"));
    LOG2(LOG2_INFO, "main", "hello %d\n", 7);
    LOG2(LOG2_ERR, "ftpd", "no line feed");
    // Without the function flag the file takes the console line, prefix included.
    flags("tid");
    LOG2(LOG2_DBG, "vfs", "plain\n");
    os_thread_name_exit();

    auto lines = split_lines(read_text(path("a.log")));
    ASSERT_EQ(lines.size(), 3u);
    std::string mid = " " + std::to_string(os_getpid()) + R"( --- \[worker_[0-9a-f]{4}_)" +
                      tid_text() + R"(\] )";
    const std::string want[] = {k_date + "INFO " + mid + R"(main TestBody\(\):hello 7$)",
                                k_date + "ERROR" + mid + R"(ftpd TestBody\(\):no line feed$)",
                                k_date + "DEBUG" + mid + R"(vfs \[)" + tid_text() + R"(\]plain$)"};
    for (size_t i = 0; i < 3; i++)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(want[i]))) << lines[i];

    // A deleted file is made again by the next line.
    ASSERT_TRUE(std::filesystem::remove(path("a.log")));
    LOG2(LOG2_INFO, "main", "second\n");
    std::string text = read_text(path("a.log"));
    EXPECT_EQ(text.find("hello"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST_F(LogFile, SizeCapKeepsNewestHalfFromALineStart) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, 4096L), 0);
    open_file(path("cap.log"));
    bool halved = false;
    int64_t last = 0;
    for (int i = 0; i < 200 && !halved; i++) {
        LOG2(LOG2_INFO, "main", "line %03d %s\n", i, std::string(37 + i % 11, '-').c_str());
        int64_t size = os_file_size(path("cap.log").c_str());
        ASSERT_LT(size, 4096);
        halved = size < last;
        last = size;
    }
    ASSERT_TRUE(halved);
    std::string text = read_text(path("cap.log"));
    EXPECT_LE(text.size(), 2048u);
    EXPECT_GT(text.size(), 1800u);
    for (const std::string &l : split_lines(text))
        EXPECT_TRUE(std::regex_match(l, std::regex(k_date + "INFO .*line \\d{3} -+$"))) << l;
    EXPECT_EQ(text.back(), '\n');
    // Writing goes on at the end of the shortened file.
    LOG2(LOG2_INFO, "main", "after the cut\n");
    EXPECT_NE(split_lines(read_text(path("cap.log"))).back().find("after the cut"),
              std::string::npos);
}

TEST_F(LogFile, ModeDirectoryAndRefusedNames) {
    ASSERT_EQ(os_write_file(path("old.log").c_str(), "kept\n"), 0);
    ASSERT_EQ(log2_init_imp("ini_str", ("[log]\nfile_mode=a\nfile=" + path("old.log")).c_str()), 0);
    LOG2(LOG2_INFO, "main", "appended\n");
    std::string text = read_text(path("old.log"));
    EXPECT_EQ(text.substr(0, 5), "kept\n");
    EXPECT_NE(text.find("appended"), std::string::npos);

    testing::internal::CaptureStderr();
    ASSERT_EQ(log2_init_imp("ini_str", "[log]\nfile_mode=x\n"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "mode x err\n");

    // A relative name lands in the directory, which is made with its parents.
    std::string sub = path("sub/deeper");
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE_DIR, sub.c_str()), 0);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, "rel.log"), 0);
    LOG2(LOG2_INFO, "main", "in the folder\n");
    EXPECT_NE(read_text(sub + "/rel.log").find("in the folder"), std::string::npos);
    EXPECT_NE(log2_settings_dump().find("log_file_name=" + sub + "/rel.log\n"),
              std::string::npos);

    // No binary capture writer: a ".pcap" name is refused and the text file stays.
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, path("cap.pcap").c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(path("cap.pcap")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, path("no/such/dir/x.log").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fopen " + path("no/such/dir/x.log") + " err\n");
}

TEST_F(LogFile, ConcurrentLinesNeverInterleave) {
    flags("tid|func");
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, 1L << 30), 0);
    open_file(path("many.log"));
    const int threads = 4, per_thread = 400;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([t] {
            std::string body(300, static_cast<char>('a' + t));
            for (int i = 0; i < per_thread; i++)
                LOG2(LOG2_INFO, "main", "T%d n=%d %s end\n", t, i, body.c_str());
        });
    for (std::thread &th : pool)
        th.join();
    auto lines = split_lines(read_text(path("many.log")));
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * per_thread));
    std::regex shape(k_date + R"(INFO  \d+ --- \[\d+\] main .*\(\):T(\d) n=(\d+) ([a-d]+) end$)");
    std::vector<int> next(threads, 0);
    for (const std::string &l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++);  // each thread's lines in its own order
        EXPECT_EQ(m[3].str(), std::string(300, static_cast<char>('a' + t)));
    }
}

TEST_F(LogInit, SectionFromIniAndBadSources) {
    std::string ini = "[nvtd]\nlevel=verb\n[log]\nlevel = warn\nflags=time|tid\nfile=" +
                      path("ini.log") + "\nfile_size=8k\ndbgview=1\n";
    ASSERT_EQ(log2_init_imp("ini_str", ini.c_str()), 0);
    EXPECT_FALSE(log2_enabled(LOG2_NOTI));
    EXPECT_TRUE(log2_enabled(LOG2_WARN));
    LOG2(LOG2_WARN, "main", "from ini\n");
    LOG2(LOG2_INFO, "main", "filtered\n");
    std::string text = read_text(path("ini.log"));
    EXPECT_NE(text.find("from ini"), std::string::npos);
    EXPECT_EQ(text.find("filtered"), std::string::npos);
    std::string dump = log2_settings_dump();
    for (const char *want : {"log_file_max_size=8192\n", "log_file_enale_out=1\n",
                             "log_dbgview_enale_out=1\n"})
        EXPECT_NE(dump.find(want), std::string::npos) << want << " in " << dump;

    // Bad sources change nothing.
    EXPECT_EQ(log2_init_imp("ini_file", path("missing.ini").c_str()), -1);
    EXPECT_EQ(log2_init_imp("yaml", "[log]\nlevel=crit\n"), -1);
    EXPECT_TRUE(log2_enabled(LOG2_WARN));
    ASSERT_EQ(os_write_file(path("n.ini").c_str(), "[log]\nlevel=err\n"), 0);
    EXPECT_EQ(log2_init_imp("ini_file", path("n.ini").c_str()), 0);
    EXPECT_FALSE(log2_enabled(LOG2_WARN));

    // The debug channel echoes what it applies.
    testing::internal::CaptureStderr();
    ASSERT_EQ(log2_init_imp("ini_str", "[log]\ndebug=1\nlevel=dbg\n"), 0);
    log2_set_debug(false);
    std::string echo = testing::internal::GetCapturedStderr();
    EXPECT_NE(echo.find("log.debug=1\n"), std::string::npos) << echo;
    EXPECT_NE(echo.find("log.level=dbg\n"), std::string::npos) << echo;
}

// The size cap set directly is raised to 1024; from INI text it must be at least 2048.
TEST_F(LogInit, SmallFileSizes) {
    ASSERT_EQ(log2_init_imp("ini_str", "[log]\nfile_size=1000\n"), 0);
    EXPECT_EQ(captured_text(), std::vector<std::string>{"err log: log2_ioctl log.file_size=1000 "
                                                        "(must>=2048 error)\n"});
    EXPECT_EQ(captured().front().level, LOG2_WARN);
    EXPECT_NE(log2_settings_dump().find("log_file_max_size=2097152\n"), std::string::npos);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, 10L), 0);
    EXPECT_NE(log2_settings_dump().find("log_file_max_size=1024\n"), std::string::npos);
}

TEST_F(Flog, TimePrefixAndCap) {
    flog_opts opts{.size_cap = 1000, .flags = FLOG_TIME};
    flog *f = flog_open(path("login.log").c_str(), &opts);
    ASSERT_NE(f, nullptr);
    int64_t last = 0;
    int cuts = 0;
    for (int i = 0; i < 120; i++) {
        EXPECT_EQ(flog_printf(f, "login %03d ok\n", i), 13);
        int64_t size = os_file_size(path("login.log").c_str());
        EXPECT_LT(size, 1000);
        if (size < last) {
            cuts++;
            EXPECT_LE(size, 500);
        }
        last = size;
    }
    flog_close(f);
    EXPECT_GE(cuts, 2);
    auto lines = split_lines(read_text(path("login.log")));
    ASSERT_FALSE(lines.empty());
    std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d login \d{3} ok)");
    for (const std::string &l : lines)
        EXPECT_TRUE(std::regex_match(l, shape)) << l;
    EXPECT_EQ(lines.back().substr(20), "login 119 ok");
}

TEST_F(Flog, AppendsWithoutCapAndHalvesTextWithoutLineFeeds) {
    ASSERT_EQ(os_write_file(path("side.log").c_str(), "before\n"), 0);
    flog *f = flog_open(path("side.log").c_str(), nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flog_printf(f, "%s", "after\n"), 6);
    flog_close(f);
    EXPECT_EQ(read_text(path("side.log")), "before\nafter\n");

    // No line feed in the kept half: it loses its first byte instead.
    flog_opts opts{.size_cap = 2048, .flags = 0};
    f = flog_open(path("blob.log").c_str(), &opts);
    ASSERT_NE(f, nullptr);
    std::string blob(3000, 'q');
    blob[1976] = 'X';  // first byte of the newest 1024
    blob[1977] = 'Y';
    EXPECT_EQ(flog_printf(f, "%s", blob.c_str()), 3000);
    flog_close(f);
    std::string text = read_text(path("blob.log"));
    EXPECT_EQ(text.size(), 1023u);
    EXPECT_EQ(text[0], 'Y');

    EXPECT_EQ(flog_open(path("no/dir/x.log").c_str(), nullptr), nullptr);
    EXPECT_EQ(flog_printf(nullptr, "x"), -1);
}

// The login file tells who came from where: a new side file is for its owner only, even
// under a umask that would give more (0) or less (0277); an existing one keeps its mode.
TEST_F(Flog, NewFileIsOwnerOnlyWhateverTheUmaskExistingKeepsItsMode) {
    namespace fs = std::filesystem;
    for (mode_t mask : {mode_t{0}, mode_t{0277}}) {
        std::string name = path(mask ? "strict.log" : "open.log");
        mode_t old = umask(mask);
        flog *f = flog_open(name.c_str(), nullptr);
        umask(old);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(flog_printf(f, "line\n"), 5);
        flog_close(f);
        EXPECT_EQ(fs::status(name).permissions(), fs::perms(0600)) << mask;
        EXPECT_EQ(read_text(name), "line\n");
    }
    ASSERT_EQ(os_write_file(path("old.log").c_str(), "", 0640), 0);
    fs::permissions(path("old.log"), fs::perms(0640));
    flog *f = flog_open(path("old.log").c_str(), nullptr);
    ASSERT_NE(f, nullptr);
    flog_close(f);
    EXPECT_EQ(fs::status(path("old.log")).permissions(), fs::perms(0640));
}
