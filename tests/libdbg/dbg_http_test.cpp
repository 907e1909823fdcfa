// dbg_http_test.cpp - the web console's start and stop in one process: one console at a
// time, a new token per start, and a start that fails leaves nothing running.
#include "dbg_http.h"

#include <gtest/gtest.h>

#include <string>

#include "log.h"
#include "net.h"
#include "pal.h"
#include "sh.h"

namespace {
class DbgHttpServer : public testing::Test {
protected:
    static void SetUpTestSuite() {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        libsh_init();
        (void)sock_env_init();
    }
    void TearDown() override { dbg_http_server_stop(); }
};

/// A port of 127.0.0.1 that nothing listens on now.
int free_port() {
    sock_srv_opts o{};
    os_socket_t s = sock_tcp_bind("127.0.0.1", 0, &o);
    if (s != 0)
        sock_tcp_close(s);
    return o.bound_port;
}

/// The whole reply to GET path (empty when the connection fails).
std::string get(int port, const std::string &path) {
    net_err e{};
    os_socket_t sock = sock_connect("127.0.0.1", port, 2000, nullptr, &e);
    if (sock == 0)
        return {};
    net_stream s{};
    net_stream_init(&s, NET_TYPE_TCP, sock, 3000);
    std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
    std::string got;
    if (net_write(&s, req.data(), int(req.size())) == int(req.size())) {
        char buf[4096];
        uint64_t end = os_clock_ms() + 5000;
        int n = 0;
        while ((n = net_read_avail(&s, buf, sizeof buf, 500)) >= 0 && os_clock_ms() < end)
            got.append(buf, size_t(n));
    }
    (void)net_close(&s);
    return got;
}

bool is_token(const std::string &t) {
    return t.size() == 16 && t.find_first_not_of("0123456789abcdef") == std::string::npos;
}
}  // namespace

TEST_F(DbgHttpServer, PortZeroStartsNothing) {
    EXPECT_EQ(debug_http_server_init("", 0, dbg_http_settings{}), 0);
    EXPECT_EQ(dbg_http_server_port(), 0);
    EXPECT_EQ(dbg_http_token(), "");
}

TEST_F(DbgHttpServer, OneConsoleAtATimeAndANewTokenPerStart) {
    int port = free_port();
    ASSERT_EQ(debug_http_server_init("127.0.0.1", port, dbg_http_settings{}), 0);
    EXPECT_EQ(dbg_http_server_port(), port);
    std::string first = dbg_http_token();
    EXPECT_TRUE(is_token(first)) << first;
    EXPECT_EQ(debug_http_server_init("127.0.0.1", free_port(), dbg_http_settings{}), -1);
    EXPECT_EQ(dbg_http_token(), first);  // the running console is untouched

    dbg_http_server_stop();
    EXPECT_EQ(dbg_http_server_port(), 0);
    EXPECT_EQ(get(port, "/"), "");  // the listener is closed

    ASSERT_EQ(debug_http_server_init("127.0.0.1", port, dbg_http_settings{}), 0);
    std::string second = dbg_http_token();
    EXPECT_TRUE(is_token(second));
    EXPECT_NE(second, first);
    std::string reply = get(port, "/cmd?token=" + second + "&command=echo%20again");
    EXPECT_TRUE(reply.ends_with("\r\n\r\n[{\"resp\":\"again\\n\\u0000\"}]")) << reply;
}

TEST_F(DbgHttpServer, FailedStartLeavesNothingRunning) {
    sock_srv_opts o{};
    os_socket_t taken = sock_tcp_bind("127.0.0.1", 0, &o);
    ASSERT_NE(taken, 0u);
    EXPECT_EQ(debug_http_server_init("127.0.0.1", o.bound_port, dbg_http_settings{}), -1);
    EXPECT_EQ(dbg_http_server_port(), 0);
    EXPECT_EQ(dbg_http_token(), "");
    sock_tcp_close(taken);
    EXPECT_EQ(debug_http_server_init("127.0.0.1", free_port(), dbg_http_settings{}), 0);
}

TEST_F(DbgHttpServer, MetricsComeFromTheSettingsFunction) {
    dbg_http_settings s;
    s.metrics = [] { return std::string("nvtd_up 1\n"); };
    int port = free_port();
    ASSERT_EQ(debug_http_server_init("127.0.0.1", port, s), 0);
    std::string reply = get(port, "/metrics");
    EXPECT_NE(reply.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos);
    EXPECT_TRUE(reply.ends_with("\r\n\r\nnvtd_up 1\n")) << reply;
}
