// app_metrics_test.cpp - the metrics page: the text format (every sample under a family
// with HELP and TYPE, names and values as the format wants them, label values escaped)
// and figures that follow what the process does.
#include "libapp.h"
#include "log.h"
#include "pal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

/// The value of the sample whose name and labels are exactly series, or -1 when absent.
double sample(const std::string &page, const std::string &series) {
    for (const std::string &l : lines_of(page))
        if (l.size() > series.size() && l.compare(0, series.size(), series) == 0 &&
            l[series.size()] == ' ')
            return std::stod(l.substr(series.size() + 1));
    return -1;
}

TEST(AppMetrics, EverySampleBelongsToADeclaredFamily) {
    std::string page = app_metrics_text();
    ASSERT_FALSE(page.empty());
    ASSERT_EQ(page.back(), '\n');
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
    static const std::regex smp(R"(([a-zA-Z_:][a-zA-Z0-9_:]*))"
                                R"((\{([a-z_]+="([^"\\]|\\.)*",?)+\})? ([-+0-9.e]+|NaN|[+-]Inf))");
    std::set<std::string> seen;
    std::string family, family_type;
    bool has_help = false;
    int samples = 0;
    for (const std::string &l : lines_of(page)) {
        std::smatch m;
        if (std::regex_match(l, m, help)) {
            family = m[1];
            EXPECT_TRUE(seen.insert(family).second) << "family twice: " << family;
            has_help = true;
            family_type.clear();
        } else if (std::regex_match(l, m, type)) {
            EXPECT_TRUE(has_help && m[1] == family) << l;
            family_type = m[2];
        } else {
            ASSERT_TRUE(std::regex_match(l, m, smp)) << "not a sample line: " << l;
            EXPECT_EQ(m[1], family) << "sample outside its family: " << l;
            EXPECT_FALSE(family_type.empty()) << "sample before TYPE: " << l;
            samples++;
        }
        if (family_type == "counter") {
            EXPECT_TRUE(family.ends_with("_total")) << family;
        }
    }
    EXPECT_GT(samples, 40);
    for (const char *name :
         {"process_start_time_seconds", "process_resident_memory_bytes", "process_open_fds",
          "process_threads", "nvtd_build_info", "nvtd_ftp_sessions_active",
          "nvtd_ftp_sessions_total", "nvtd_ftp_sessions_refused_total",
          "nvtd_ftp_data_sent_bytes_total", "nvtd_ftp_data_received_bytes_total",
          "nvtd_ftp_transfers_total", "nvtd_ftp_replies_total",
          "nvtd_ftp_passive_accept_timeouts_total", "nvtd_logins_total",
          "nvtd_login_locked_addresses", "nvtd_log_lines_total"})
        EXPECT_TRUE(seen.count(name)) << "missing family " << name;
    EXPECT_EQ(sample(page, R"(nvtd_ftp_transfers_total{command="MLSD",result="aborted"})"), 0);
    EXPECT_EQ(sample(page, R"(nvtd_ftp_replies_total{class="5xx"})"), 0);
}

TEST(AppMetrics, LabelValuesAndHelpAreEscaped) {
    EXPECT_EQ(app_metrics_escape("plain"), "plain");
    EXPECT_EQ(app_metrics_escape("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    std::string out;
    app_metrics_family(&out, "x_total", "counter", "back\\slash and\nline feed");
    app_metrics_sample(&out, "x_total", {{"k", "q\"v"}, {"l", "w"}},
                       uint64_t{18446744073709551615u});
    app_metrics_sample(&out, "y", {}, 0.1);  // the shortest form that reads back the same
    EXPECT_EQ(out, "# HELP x_total back\\\\slash and\\nline feed\n"
                   "# TYPE x_total counter\n"
                   "x_total{k=\"q\\\"v\",l=\"w\"} 18446744073709551615\n"
                   "y 0.1\n");

    // The version reaches the page as a label value.
    const char *saved = g_app.app_ver;
    g_app.app_ver = "9.9 \"beta\"\\2";
    std::string page = app_metrics_text();
    g_app.app_ver = saved;
    EXPECT_NE(page.find("nvtd_build_info{version=\"9.9 \\\"beta\\\"\\\\2\","), std::string::npos)
        << page;
}

TEST(AppMetrics, DescriptorsAndThreadsFollowTheProcess) {
    std::string before = app_metrics_text();
    int fds[3];
    for (int &fd : fds)
        ASSERT_GE(fd = open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    std::promise<void> release;
    std::promise<void> started;
    std::thread t([&] {
        started.set_value();
        release.get_future().wait();
    });
    ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::string during = app_metrics_text();
    release.set_value();
    t.join();
    for (int fd : fds)
        close(fd);
    EXPECT_EQ(sample(during, "process_open_fds"), sample(before, "process_open_fds") + 3);
    EXPECT_EQ(sample(during, "process_threads"), sample(before, "process_threads") + 1);
    EXPECT_GT(sample(during, "process_resident_memory_bytes"), 1e6);
    double start = sample(during, "process_start_time_seconds");
    double now = double(os_time_now());
    EXPECT_LE(start, now + 1);
    EXPECT_GT(start, now - 3600);  // this test process started moments ago
}

TEST(AppMetrics, LogLinesShowUnderTheirLevel) {
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0L);
    double before = sample(app_metrics_text(), R"(nvtd_log_lines_total{level="err"})");
    LOG2(LOG2_ERR, "main", "one error for the page\n");
    LOG2(LOG2_ERR, "main", "and another\n");
    EXPECT_EQ(sample(app_metrics_text(), R"(nvtd_log_lines_total{level="err"})"), before + 2);
}

}  // namespace
