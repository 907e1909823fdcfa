// dbg_srv_test.cpp - the debug shell servers and client over real loopback sockets and
// local sockets: the wire bytes, bad input, many clients, and the client loop.
#include "dbg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "net.h"
#include "pal.h"
#include "sh.h"

namespace {
class DbgTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        libsh_init();
        (void)sock_env_init();
    }
    void SetUp() override {
        srv_ = dbgsrv_open("tcp://127.0.0.1:0");
        ASSERT_NE(srv_, nullptr);
        ASSERT_GT(dbgsrv_port(srv_), 0);
    }
    void TearDown() override { EXPECT_EQ(dbgsrv_close(srv_), 0); }

    /// A raw client connected to the server.
    std::unique_ptr<net_stream> connect() {
        auto s = std::make_unique<net_stream>();
        net_err e{};
        os_socket_t sock = sock_connect("127.0.0.1", dbgsrv_port(srv_), 2000, nullptr, &e);
        EXPECT_NE(sock, 0u) << net_err_text(&e);
        net_stream_init(s.get(), NET_TYPE_TCP, sock, 3000);
        return s;
    }
    dbgsrv *srv_ = nullptr;
};
}  // namespace

static void send_bytes(net_stream *s, const std::string &bytes) {
    ASSERT_EQ(net_write(s, bytes.data(), int(bytes.size())), int(bytes.size()));
}

/// Reads until count NUL bytes came (or 5 s passed, or the peer closed).
static std::string read_replies(net_stream *s, int count) {
    std::string got;
    uint64_t end = os_clock_ms() + 5000;
    while (count > 0 && os_clock_ms() < end) {
        char c = 0;
        int n = net_read_avail(s, &c, 1, 200);
        if (n < 0)
            break;
        if (n == 1) {
            got.push_back(c);
            if (c == '\0')
                count--;
        }
    }
    return got;
}

/// True when the server closes the connection within 5 s.
static bool peer_closes(net_stream *s) {
    uint64_t end = os_clock_ms() + 5000;
    while (os_clock_ms() < end) {
        char c;
        if (net_read_avail(s, &c, 1, 200) < 0)
            return true;
    }
    return false;
}

static std::string z(const char *text) {
    return std::string(text) + '\0';
}

TEST_F(DbgTest, ReplyHasCrLfAndOneNul) {
    auto s = connect();
    send_bytes(s.get(), z("echo hello   "));
    EXPECT_EQ(read_replies(s.get(), 1), z("hello\r\n"));
    (void)net_close(s.get());
}

TEST_F(DbgTest, TwoCommandsGetTwoReplies) {
    auto s = connect();
    send_bytes(s.get(), z("echo a;echo b"));
    EXPECT_EQ(read_replies(s.get(), 2), z("a\r\n") + z("b\r\n"));
    (void)net_close(s.get());
}

TEST_F(DbgTest, TrailingBlanksOfAPieceAreRemoved) {
    auto s = connect();
    send_bytes(s.get(), z("echo -n \"x \t\""));
    EXPECT_EQ(read_replies(s.get(), 1), z("x"));
    (void)net_close(s.get());
}

TEST_F(DbgTest, AssignmentGetsNoReply) {
    auto s = connect();
    send_bytes(s.get(), z("DBGVAR=1") + z("echo next"));
    EXPECT_EQ(read_replies(s.get(), 1), z("next\r\n"));
    (void)net_close(s.get());
}

TEST_F(DbgTest, LineFeedAlsoEndsALine) {
    auto s = connect();
    send_bytes(s.get(), "echo lf\r\n");
    EXPECT_EQ(read_replies(s.get(), 1), z("lf\r\n"));
    (void)net_close(s.get());
}

TEST_F(DbgTest, OverlongLineIsCutAndTheSessionGoesOn) {
    auto s = connect();
    send_bytes(s.get(), "echo " + std::string(20000, 'x'));
    send_bytes(s.get(), z("") + z("echo after"));
    std::string got = read_replies(s.get(), 2);
    size_t first = got.find('\0');
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(first, 8192u);  // the line was cut
    EXPECT_EQ(got.substr(first + 1), z("after\r\n"));
    (void)net_close(s.get());
}

TEST_F(DbgTest, BinaryBytesAndNulOnlyLinesKeepTheServerRunning) {
    auto s = connect();
    send_bytes(s.get(), std::string("\x01\x02\xff\xfe\x7f", 5) + '\0');
    send_bytes(s.get(), std::string(5, '\0'));
    send_bytes(s.get(), z("echo alive"));
    std::string got;
    for (int i = 0; i < 20 && got.find(z("alive\r\n")) == std::string::npos; i++)
        got += read_replies(s.get(), 1);
    EXPECT_NE(got.find(z("alive\r\n")), std::string::npos);
    (void)net_close(s.get());
}

TEST_F(DbgTest, QuitEndsTheSessionOnly) {
    auto s = connect();
    send_bytes(s.get(), z("quit"));
    EXPECT_TRUE(peer_closes(s.get()));
    (void)net_close(s.get());
    auto t = connect();
    send_bytes(t.get(), z("echo still"));
    EXPECT_EQ(read_replies(t.get(), 1), z("still\r\n"));
    (void)net_close(t.get());
}

TEST_F(DbgTest, ClientGoneMidReplyLeavesServerServing) {
    for (int i = 0; i < 5; i++) {
        auto s = connect();
        send_bytes(s.get(), z("help;show info;help"));
        (void)net_close(s.get());
    }
    auto t = connect();
    send_bytes(t.get(), z("echo ok"));
    EXPECT_EQ(read_replies(t.get(), 1), z("ok\r\n"));
    (void)net_close(t.get());
}

TEST_F(DbgTest, FiftyClientsAtOnce) {
    std::vector<std::unique_ptr<net_stream>> clients;
    for (int i = 0; i < 50; i++)
        clients.push_back(connect());
    for (int i = 0; i < 50; i++)
        send_bytes(clients[i].get(), z(("echo n" + std::to_string(i)).c_str()));
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(read_replies(clients[i].get(), 1), z(("n" + std::to_string(i) + "\r\n").c_str()));
        (void)net_close(clients[i].get());
    }
}

TEST_F(DbgTest, CloseEndsAConnectedIdleSession) {
    auto s = connect();
    send_bytes(s.get(), z("echo up"));
    ASSERT_EQ(read_replies(s.get(), 1), z("up\r\n"));
    dbgsrv *h = srv_;
    uint64_t start = os_clock_ms();
    EXPECT_EQ(dbgsrv_close(h), 0);
    EXPECT_LT(os_clock_ms() - start, 4000u);
    EXPECT_TRUE(peer_closes(s.get()));
    (void)net_close(s.get());
    srv_ = dbgsrv_open("tcp://127.0.0.1:0");  // for TearDown
    ASSERT_NE(srv_, nullptr);
}

// ---------------------------------------------------------------------------------------
// The client loop.

static std::vector<std::string> g_out;
static void collect(const char *text) {
    g_out.push_back(text);
}

TEST_F(DbgTest, ClientSendsPiecesAndStopsAtQuit) {
    net_stream s{};
    net_err e{};
    net_stream_init(&s, NET_TYPE_TCP, sock_connect("127.0.0.1", dbgsrv_port(srv_), 2000,
                                                   nullptr, &e), 3000);
    dbgcli cli;
    cli.cmd = "echo one; echo two ;quit;echo three";
    cli.output = collect;
    g_out.clear();
    EXPECT_EQ(debug_shell_exec_loop(&s, &cli), 0);
    EXPECT_EQ(g_out, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(cli.state, 0);
}

TEST_F(DbgTest, ClientReportsReplyTimeOutAndGoesOn) {
    net_stream s{};
    net_err e{};
    net_stream_init(&s, NET_TYPE_TCP, sock_connect("127.0.0.1", dbgsrv_port(srv_), 2000,
                                                   nullptr, &e), 3000);
    dbgcli cli;
    cli.cmd = "NOREPLY=1;echo after";
    cli.timeout_ms = 500;
    cli.output = collect;
    g_out.clear();
    EXPECT_EQ(debug_shell_exec_loop(&s, &cli), -1);  // the assignment got no reply
    EXPECT_EQ(g_out, (std::vector<std::string>{"after"}));
}

TEST_F(DbgTest, ClientWithoutInterfaceFails) {
    EXPECT_EQ(dbgcli_local_exec_cmd("", 0, "show info"), -1);
}

TEST_F(DbgTest, ClientConnectFailureFails) {
    dbgsrv *other = dbgsrv_open("tcp://127.0.0.1:0");
    ASSERT_NE(other, nullptr);
    int port = dbgsrv_port(other);
    ASSERT_EQ(dbgsrv_close(other), 0);  // nothing listens there now
    EXPECT_EQ(dbgcli_local_exec_cmd(nullptr, port, "show info"), -1);
}

TEST_F(DbgTest, UnknownSchemeIsRefused) {
    EXPECT_EQ(dbgsrv_open("http://127.0.0.1:0"), nullptr);
    EXPECT_EQ(dbgcli_exec_cmd("udp://127.0.0.1:9", "x"), -1);
}

// ---------------------------------------------------------------------------------------
// The local-socket server.

TEST(DbgPipe, NameRule) {
    EXPECT_EQ(dbg_pipe_name_of("pipe://./abc"), "abc");
    EXPECT_EQ(dbg_pipe_name_of("pipe://.\\abc"), "abc");
    EXPECT_EQ(dbg_pipe_name_of("pipe://./tmp/x.sock"), "tmp/x.sock");
}

TEST(DbgPipe, OneClientAtATimeThenTheNext) {
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
    std::string name = "nvtd_dbgtest_" + std::to_string(os_getpid());
    std::string url = "pipe://./" + name;
    dbgsrv *h = dbgsrv_open(url.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(dbgsrv_port(h), 0);
    for (int round = 0; round < 2; round++) {
        net_stream s{};
        net_stream_init(&s, NET_PIPE_CLI_TYPE, 0, 3000);
        ASSERT_EQ(npipe_cli_open(&s, name.c_str(), 2000), 0);
        dbgcli cli;
        std::string reply;
        cli.cmd = "echo piped";
        cli.reply = &reply;
        EXPECT_EQ(debug_shell_exec_loop(&s, &cli), 0);
        EXPECT_EQ(reply, "piped");
    }
    EXPECT_EQ(dbgsrv_close(h), 0);
    net_stream s{};
    net_stream_init(&s, NET_PIPE_CLI_TYPE, 0, 1000);
    EXPECT_NE(npipe_cli_open(&s, name.c_str(), 500), 0);  // the socket is gone
}
