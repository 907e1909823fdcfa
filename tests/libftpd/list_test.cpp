// list_test.cpp - listings: the long line format against files whose times the test sets,
// NLST, options and paths of LIST and NLST, the buffered writer over many entries, STAT.
#include "ftpb_util.h"

#include <ctime>
#include <set>

namespace {

class ListTest : public FtpbServer {};

/// Small write blocks: a listing of many entries is written in many flushes.
class ListSmallBlockTest : public FtpbServer {
    void configure() override { g_ftpd_conf.write_bs = 4096; }
};

void set_mtime(const fs::path &p, int64_t t) {
    std::string cmd = "touch -h -d @" + std::to_string(t) + " '" + p.string() + "'";
    ASSERT_EQ(ftpb_sh(cmd), 0) << cmd;
}

/// The date column as the C library writes it in the C locale.
std::string date_text(int64_t t, bool with_year) {
    time_t tt = static_cast<time_t>(t);
    struct tm parts {};
    localtime_r(&tt, &parts);
    char buf[64];
    strftime(buf, sizeof buf, with_year ? "%b %e %Y" : "%b %e %H:%M", &parts);
    return buf;
}

std::string expect_line(const char *mode, int nlink, long long size, const std::string &date,
                        const std::string &name) {
    char buf[1024];
    snprintf(buf, sizeof buf, "%s %3d %-8d %-8d %-8lli %s %s\r\n", mode, nlink, 0, 0, size,
             date.c_str(), name.c_str());
    return buf;
}

}  // namespace

TEST_F(ListTest, LongLinesFollowTheFormatAndTheSixMonthRule) {
    int64_t t = static_cast<int64_t>(time(nullptr));
    ftpd_test_write(root / "hour.txt", std::string(1234, 'h'));
    ftpd_test_write(root / "old.txt", "o");
    ftpd_test_write(root / "future.txt", "fu");
    ftpd_test_write(root / "edge.txt", "");
    fs::create_directory(root / "dir");
    fs::create_symlink("hour.txt", root / "link");
    set_mtime(root / "hour.txt", t - 3600);
    set_mtime(root / "old.txt", t - 200 * 86400);
    set_mtime(root / "future.txt", t + 86400);
    set_mtime(root / "edge.txt", t - 15724800 + 120);  // just inside six months
    set_mtime(root / "dir", t - 60);
    set_mtime(root / "link", t - 3600);

    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    int code = 0;
    std::string out = c.get("LIST", &code);
    EXPECT_EQ(code, 226);
    EXPECT_EQ(c.text, "Directory send OK");
    std::set<std::string> got;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t e = out.find("\r\n", pos);
        ASSERT_NE(e, std::string::npos);
        got.insert(out.substr(pos, e + 2 - pos));
        pos = e + 2;
    }
    std::set<std::string> want = {
        expect_line("-rwxrwxrwx", 1, 1234, date_text(t - 3600, false), "hour.txt"),
        expect_line("-rwxrwxrwx", 1, 1, date_text(t - 200 * 86400, true), "old.txt"),
        expect_line("-rwxrwxrwx", 1, 2, date_text(t + 86400, false), "future.txt"),
        expect_line("-rwxrwxrwx", 1, 0, date_text(t - 15724800 + 120, false), "edge.txt"),
    };
    for (const auto &w : want)
        EXPECT_EQ(got.count(w), 1u) << "missing: " << w << "in:\n" << out;
    // The link shows its target's facts and " -> target"; the directory's size is whatever
    // the file system reports for it.
    bool link_ok = false, dir_ok = false;
    std::string dir_end = " " + date_text(t - 60, false) + " dir\r\n";
    for (const auto &g : got) {
        if (g == expect_line("lrwxrwxrwx", 1, 1234, date_text(t - 3600, false), "link -> hour.txt"))
            link_ok = true;
        if (g.rfind("drwxrwxrwx   2 0        0        ", 0) == 0 && g.size() > dir_end.size() &&
            g.compare(g.size() - dir_end.size(), dir_end.size(), dir_end) == 0)
            dir_ok = true;
    }
    EXPECT_TRUE(link_ok) << out;
    EXPECT_TRUE(dir_ok) << out;
    EXPECT_EQ(got.size(), 6u) << out;
}

// Dates are local times: in a zone with summer time, entries on either side of midnight
// and of the day the offset changes show the day the C library gives them.
TEST_F(ListTest, DatesFollowTheLocalZoneAcrossItsChanges) {
    const char *old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const int64_t change = 1616893200;  // 2021-03-28 01:00 UTC: Berlin moves to +2
    int64_t recent = static_cast<int64_t>(time(nullptr)) - 7200;
    const std::pair<const char *, int64_t> files[] = {
        {"noon", change - 13 * 3600},          // 27 March, 12:00 UTC
        {"late", change - 5400},               // 27 March 23:30 UTC, 28 March local
        {"after", change + 21 * 3600 + 1800},  // 28 March 22:30 UTC, 29 March local
        {"recent", recent},
    };
    for (const auto &[name, t] : files) {
        ftpd_test_write(root / name, "");
        set_mtime(root / name, t);
    }
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    int code = 0;
    std::string out = c.get("LIST", &code);
    EXPECT_EQ(code, 226);
    for (const auto &[name, t] : files) {
        std::string want = expect_line("-rwxrwxrwx", 1, 0, date_text(t, t != recent), name);
        EXPECT_NE(out.find(want), std::string::npos) << want << "in:\n" << out;
    }
    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(ListTest, NlstListAndStatOptionsAndPaths) {
    ftpd_test_write(root / "a.txt", "a");
    fs::create_directories(root / "sub dir");
    ftpd_test_write(root / "sub dir" / "b.txt", "bb");
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    int code = 0;
    std::string nl = c.get("NLST", &code);
    EXPECT_TRUE(nl == "a.txt\r\nsub dir\r\n" || nl == "sub dir\r\na.txt\r\n") << nl;
    EXPECT_EQ(c.get("NLST -a sub dir", &code), "b.txt\r\n");
    EXPECT_EQ(code, 226);
    std::string one = c.get("LIST -la /sub dir", &code);
    EXPECT_EQ(one.rfind("-rwxrwxrwx   1 0        0        2        ", 0), 0u) << one;
    EXPECT_NE(one.find(" b.txt\r\n"), std::string::npos) << one;
    // A file path lists that file's own line.
    std::string f = c.get("LIST a.txt", &code);
    EXPECT_EQ(f.rfind("-rwxrwxrwx   1 0        0        1        ", 0), 0u) << f;
    EXPECT_EQ(c.get("NLST -l sub dir/b.txt", &code), "b.txt\r\n");
    // STAT with a path: the entry line on the control connection.
    ASSERT_EQ(c.cmd("STAT a.txt"), 213);
    ASSERT_EQ(c.lines.size(), 3u);
    EXPECT_EQ(c.lines[0], "213-Status follows:");
    EXPECT_EQ(c.lines[1].rfind(" -rwxrwxrwx   1 0        0        1        ", 0), 0u)
        << c.lines[1];
    EXPECT_EQ(c.lines[1].substr(c.lines[1].size() - 6), " a.txt");
    EXPECT_EQ(c.lines[2], "213 End of status");
    // Names are listed as they are, ':' included, and can be fetched by that name.
    fs::create_directories(root / "colon");
    ftpd_test_write(root / "colon" / "1:2.txt", "c");
    EXPECT_EQ(c.get("NLST colon/1:2.txt", &code), "1:2.txt\r\n");
    EXPECT_NE(c.get("LIST colon", &code).find(" 1:2.txt\r\n"), std::string::npos);
    EXPECT_EQ(c.get("RETR colon/1:2.txt", &code), "c");
    ASSERT_EQ(c.cmd("STAT colon/1:2.txt"), 213);
    EXPECT_EQ(c.lines[1].substr(c.lines[1].size() - 8), " 1:2.txt");
    // The next reply belongs to the next command.
    EXPECT_EQ(c.cmd("NOOP"), 200);
    ASSERT_EQ(c.cmd("STAT nothere"), 213);
    EXPECT_EQ(c.lines.size(), 2u);
    ASSERT_EQ(c.cmd("TYPE A"), 200);
    ASSERT_EQ(c.cmd("STAT"), 211);
    std::vector<std::string> want = {"211-FTP server status:",
                                     " Logged in as anonymous",
                                     " TYPE: ASCII",
                                     " Control connection is plain text",
                                     " Data connections will be plain text",
                                     " Logged in as anonymous",
                                     "211 End of status"};
    EXPECT_EQ(c.lines, want);
    // After CWD a relative listing is relative to it.
    ASSERT_EQ(c.cmd("CWD sub dir"), 250);
    EXPECT_EQ(c.get("NLST", &code), "b.txt\r\n");
    // A missing directory: an empty listing.
    EXPECT_EQ(c.get("NLST /nothere", &code), "");
    EXPECT_EQ(code, 226);
    // The restart offset is left for the next file transfer.
    ASSERT_EQ(c.cmd("REST 1"), 350);
    c.get("NLST", &code);
    EXPECT_EQ(c.get("RETR b.txt", &code), "b");
}

TEST_F(ListSmallBlockTest, ManyEntriesCrossManyFlushes) {
    std::set<std::string> names;
    for (int i = 0; i < 400; i++) {
        std::string n = "entry_with_a_long_name_" + std::to_string(i) + ".dat";
        ftpd_test_write(root / n, "");
        names.insert(n);
    }
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    int code = 0;
    std::string out = c.get("NLST", &code);
    EXPECT_EQ(code, 226);
    std::set<std::string> got;
    size_t pos = 0, e;
    while ((e = out.find("\r\n", pos)) != std::string::npos) {
        got.insert(out.substr(pos, e - pos));
        pos = e + 2;
    }
    EXPECT_EQ(pos, out.size());
    EXPECT_EQ(got, names);
    std::string longer = c.get("LIST", &code);
    EXPECT_EQ(static_cast<size_t>(std::count(longer.begin(), longer.end(), '\n')), 400u);
}
