// Tests of the syslog sink against real UDP and TCP receivers on 127.0.0.1. The only test
// file that knows the socket interface.
#include "log_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

using Syslog = LogTest;

namespace {
// A socket bound to 127.0.0.1 on a free port, closed at the end of the test.
class receiver {
public:
    explicit receiver(int type, uint16_t port = 0)
        : fd_(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
              getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
              (type != SOCK_STREAM || listen(fd_, 4) == 0);
        port_ = ntohs(a.sin_port);
    }
    receiver(const receiver &) = delete;
    receiver &operator=(const receiver &) = delete;
    ~receiver() {
        for (int fd : {conn_, fd_})
            if (fd >= 0)
                close(fd);
    }
    bool ok() const { return ok_; }
    int port() const { return port_; }

    // One datagram, or "" after 2 s.
    std::string datagram() {
        if (!wait_readable(fd_))
            return "";
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // Bytes of the accepted stream up to and including the first zero byte, or what came
    // within 2 s.
    std::string stream_message() {
        if (conn_ < 0 && wait_readable(fd_))
            conn_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string got;
        while (conn_ >= 0 && (got.empty() || got.back() != '\0') && wait_readable(conn_)) {
            char c;
            if (recv(conn_, &c, 1, 0) != 1)
                break;
            got.push_back(c);
        }
        return got;
    }

private:
    static bool wait_readable(int fd) {
        pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
        return poll(&p, 1, 2000) == 1;
    }

    int fd_;
    int conn_ = -1;
    int port_ = 0;
    bool ok_ = false;
};
}  // namespace

// Points the syslog sink at url and switches it on.
static void syslog_to(const std::string &url) {
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_SYSLOG_URL, url.c_str()), 0);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_SYSLOG_ON, 1), 0);
}

static std::string header_regex(int pri, const char *tag) {
    std::string host = os_hostname();
    if (host.empty())
        host = "unknown";
    // Host names are plain letters, digits, '-' and '.'; escape the dots.
    host = std::regex_replace(host.substr(0, 32), std::regex(R"(\.)"), R"(\.)");
    return "<" + std::to_string(pri) +
           R"(>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3]\d \d\d:\d\d:\d\d )" +
           host + " " + tag + R"(\[)" + std::to_string(os_getpid()) + R"(\]: )";
}

TEST_F(Syslog, UdpDatagramContent) {
    receiver r(SOCK_DGRAM);
    ASSERT_TRUE(r.ok());
    flags("time|tid");
    syslog_to("udp://127.0.0.1:" + std::to_string(r.port()));
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "verb"), 0);

    LOG2(LOG2_WARN, "main", "disk low %d%%\n", 97);
    std::string d = r.datagram();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back(), '\0');  // sent with its terminating zero byte
    // The time prefix of the console line is left out.
    EXPECT_TRUE(std::regex_match(d.substr(0, d.size() - 1),
                                 std::regex(header_regex(12, "main") + R"(\[)" + tid_text() +
                                            R"(\]disk low 97%\n)"))) << d;

    // user facility (8) plus the level's priority: crit 2 ... debug 7; verb is debug too.
    const std::pair<int, int> levels[] = {{LOG2_CRIT | LOG2_F_NOEXIT, 10}, {LOG2_ERR, 11},
                                          {LOG2_NOTI, 13}, {LOG2_INFO, 14},
                                          {LOG2_DBG, 15}, {LOG2_VERB, 15}};
    for (auto [level, pri] : levels) {
        LOG2(level, "ftpd", "x\n");
        d = r.datagram();
        EXPECT_TRUE(std::regex_search(d, std::regex("^" + header_regex(pri, "ftpd")))) << d;
    }

    // A long line is cut so that the text stays within 1535 bytes.
    LOG2(LOG2_INFO, "main", "%s\n", std::string(3000, 'L').c_str());
    d = r.datagram();
    EXPECT_LE(d.size(), 1536u);
    EXPECT_EQ(d.back(), '\0');

    // Switched off, nothing is sent.
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_SYSLOG_ON, 0), 0);
    LOG2(LOG2_ERR, "main", "quiet\n");
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_SYSLOG_ON, 1), 0);
    LOG2(LOG2_ERR, "main", "loud\n");
    d = r.datagram();
    EXPECT_NE(d.find("loud"), std::string::npos) << d;
}

TEST_F(Syslog, TcpStreamContent) {
    receiver r(SOCK_STREAM);
    ASSERT_TRUE(r.ok());
    flags("func");
    std::string ini = "[log]\nsyslog=tcp://127.0.0.1:" + std::to_string(r.port()) + "\n";
    ASSERT_EQ(log2_init_imp("ini_str", ini.c_str()), 0);
    EXPECT_NE(log2_settings_dump().find("log_syslog_enale_out=1\n"), std::string::npos);

    LOG2(LOG2_ERR, "httpd", "over tcp\n");
    std::string m = r.stream_message();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m.back(), '\0');
    std::regex want(header_regex(11, "httpd") + R"(TestBody\(\):over tcp\n)");
    EXPECT_TRUE(std::regex_match(m.substr(0, m.size() - 1), want)) << m;
    LOG2(LOG2_ERR, "httpd", "second\n");
    m = r.stream_message();
    EXPECT_NE(m.find("TestBody():second\n"), std::string::npos) << m;
}

// Without a port the services "syslog" (UDP 514) and "syslog-conn" (TCP 601) are used, also
// where the system's services list lacks them. Binding them needs root; skipped otherwise.
TEST_F(Syslog, ServicePortsWhenUrlHasNone) {
    receiver udp(SOCK_DGRAM, 514);
    receiver tcp(SOCK_STREAM, 601);
    if (!udp.ok() || !tcp.ok())
        GTEST_SKIP() << "ports 514/udp and 601/tcp on 127.0.0.1 are not available";
    syslog_to("udp://127.0.0.1");
    LOG2(LOG2_INFO, "main", "to 514\n");
    EXPECT_NE(udp.datagram().find("to 514"), std::string::npos);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_SYSLOG_URL, "tcp://127.0.0.1"), 0);
    LOG2(LOG2_INFO, "main", "to 601\n");
    EXPECT_NE(tcp.stream_message().find("to 601"), std::string::npos);
}

TEST_F(Syslog, UnreachableServerNeverStopsLogging) {
    int port;
    {
        receiver gone(SOCK_STREAM);  // a port that was free a moment ago
        ASSERT_TRUE(gone.ok());
        port = gone.port();
    }
    syslog_to("tcp://127.0.0.1:" + std::to_string(port));
    testing::internal::CaptureStderr();
    uint64_t t0 = os_clock_ms();
    for (int i = 0; i < 50; i++)
        LOG2(LOG2_INFO, "main", "line %d\n", i);
    uint64_t spent = os_clock_ms() - t0;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(captured().size(), 50u);  // the other sinks still ran
    // One connect attempt, then a pause before the next one.
    EXPECT_EQ(err, "failed to connect to 127.0.0.1 port " + std::to_string(port) + "\n");
    EXPECT_LT(spent, 5000u);

    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_SYSLOG_URL, ""), -1);
}
