// data_test.cpp - data connections: PORT and EPRT syntax and address checks, active
// connects back to the client, passive listeners (one transfer each, the client's address
// only, the accept wait) and the replies when no data mode is usable.
#include "ftpb_util.h"
#include "log.h"

namespace {

class DataTest : public FtpbServer {};

class DataPasvAddrTest : public FtpbServer {
    void configure() override { g_ftpd_conf.pasv_address = "10.1.2.3"; }
};

/// A listener on 127.0.0.1 with a system port, for active-mode connects.
struct active_peer {
    os_socket_t sock = 0;
    int port = 0;
    active_peer() {
        sock_srv_opts o{};
        o.name = "ftpb_active";
        o.backlog = 4;
        sock = sock_tcp_bind("127.0.0.1", 0, &o);
        port = o.bound_port;
    }
    ~active_peer() { sock_tcp_close(sock); }
    /// Accepts within 3 s into st; false when nobody connected.
    bool accept(net_stream *st) {
        if (os_socket_wait(sock, OS_SOCKET_READ, 3000) <= 0)
            return false;
        os_sockaddr peer{};
        os_socket_t c = os_socket_accept(sock, &peer);
        if (c == 0)
            return false;
        net_stream_init(st, NET_TYPE_TCP_SRV, c, 3000);
        return true;
    }
};

/// A passive range of two ports whose first one another socket holds.
class DataRangeTest : public FtpbServer {
protected:
    int first = 0;
    os_socket_t holder = 0;

    void configure() override {
        sock_srv_opts o{};
        o.backlog = 1;
        for (int tries = 0; tries < 20 && !holder; tries++) {
            first = 20000 + (ftpd_test_free_port() % 30000);
            holder = sock_tcp_bind("127.0.0.1", first, &o);
        }
        g_ftpd_conf.passive_begin_port = first;
        g_ftpd_conf.passive_end_port = first + 2;
    }
    void TearDown() override {
        sock_tcp_close(holder);
        FtpbServer::TearDown();
    }
};

}  // namespace

TEST_F(DataTest, PortAndEprtRefuseBadSyntaxAndOtherHostsAndFailedConnects) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    const char *bad[] = {
        "PORT",                    "PORT 127,0,0,1,4",       "PORT 127,0,0,1,4,1,7",
        "PORT 127,0,0,256,4,1",    "PORT 127,0,0,1,4,300",   "PORT 127,0,0,1,x,1",
        "PORT 127,0,0,1,,1",       "PORT -1,0,0,1,4,1",      "EPRT",
        "EPRT |1|127.0.0.1|",      "EPRT 1|127.0.0.1|5000|", "EPRT |3|127.0.0.1|5000|",
        "EPRT |2|127.0.0.1|5000|", "EPRT |1||5000|",         "EPRT |1|127.0.0.1|5000",
        "EPRT |1|127.0.0.1|5000|x|", "EPRT 5127.0.0.15000 5",
    };
    for (const char *line : bad) {
        EXPECT_EQ(c.cmd(line), 500) << line;
        EXPECT_EQ(c.text, "Bad command") << line;
    }
    const char *illegal[] = {
        "PORT 10,0,0,1,4,1",          "PORT 127,0,0,2,4,1",         "PORT 127,0,0,1,0,0",
        "EPRT |1|10.0.0.1|5000|",     "EPRT |1|127.0.0.1|0|",       "EPRT |1|127.0.0.1|65536|",
        "EPRT |2|::1|5000|",          "PORT 127,0,0,1,3,255",       "EPRT |1|127.0.0.1|21|",
    };
    for (const char *line : illegal) {
        EXPECT_EQ(c.cmd(line), 500) << line;
        EXPECT_EQ(c.text, "Illegal PORT command.") << line;
    }
    // Every refusal left the mode as it was: there is none.
    EXPECT_EQ(c.cmd("NLST"), 425);
    EXPECT_EQ(c.text, "Use PORT or PASV first.");
    // A well-formed PORT to a port nobody listens on: the connect fails, the session goes on.
    int closed = ftpd_test_free_port();
    char line[64];
    snprintf(line, sizeof line, "PORT 127,0,0,1,%d,%d", closed / 256, closed % 256);
    ASSERT_EQ(c.cmd(line), 200);
    EXPECT_EQ(c.cmd("LIST"), 500);
    EXPECT_EQ(c.text, "Connect failed.");
    EXPECT_EQ(c.cmd("NOOP"), 200);
}

TEST_F(DataTest, ActiveModeConnectsBackForEveryTransfer) {
    ftpd_test_write(root / "a.txt", "hello");
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    active_peer peer;
    ASSERT_NE(peer.sock, 0);
    char line[64];
    snprintf(line, sizeof line, "PORT 127,0,0,1,%d,%d", peer.port / 256, peer.port % 256);
    ASSERT_EQ(c.cmd(line), 200);
    EXPECT_EQ(c.text, "PORT command successful. Consider using PASV");
    // A proxy in the environment is for the process's own requests, never for the client's
    // data connection (nothing listens on this one).
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(ftpd_test_free_port())).c_str(), 1);
    struct unset_proxy {
        ~unset_proxy() { unsetenv("http_proxy"); }
    } unset;
    for (const char *cmd : {"RETR a.txt", "NLST"}) {
        ASSERT_TRUE(c.send(cmd));
        net_stream d{};
        ASSERT_TRUE(peer.accept(&d)) << cmd;
        EXPECT_EQ(c.reply(), 150) << cmd;
        std::string got;
        char buf[256];
        int n;
        while ((n = net_read(&d, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        (void)net_close(&d);
        EXPECT_EQ(got, std::string(cmd[0] == 'R' ? "hello" : "a.txt\r\n")) << cmd;
        EXPECT_EQ(c.reply(), 226) << cmd;
    }
    // EPRT with another delimiter than '|' names the same peer.
    snprintf(line, sizeof line, "EPRT !1!127.0.0.1!%d!", peer.port);
    ASSERT_EQ(c.cmd(line), 200);
    ASSERT_TRUE(c.send("RETR a.txt"));
    net_stream d{};
    ASSERT_TRUE(peer.accept(&d));
    EXPECT_EQ(c.reply(), 150);
    (void)net_close(&d);
    EXPECT_EQ(c.reply(), 226);
}

TEST_F(DataTest, PassiveListenerWaitsThreeSecondsAndServesOneTransfer) {
    ftpd_test_write(root / "a.txt", "x");
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    // Nobody connects to the passive port: the accept gives up after about 3 s.
    ASSERT_EQ(c.cmd("PASV"), 227);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.cmd("LIST"), 500);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(c.text, "Accpect failed.");
    EXPECT_GE(secs, 2.5);
    EXPECT_LE(secs, 6.0);
    EXPECT_EQ(c.cmd("NOOP"), 200);
    int code = 0;
    EXPECT_EQ(c.get("NLST", &code), "a.txt\r\n");
    EXPECT_EQ(code, 226);
    EXPECT_EQ(c.cmd("NLST"), 425);
    EXPECT_EQ(c.text, "Use PORT or PASV first.");
    ASSERT_EQ(c.cmd("EPSV"), 229);
    unsigned p = 0;
    ASSERT_EQ(sscanf(c.text.c_str(), "Entering Extended Passive Mode (|||%u|)", &p), 1);
    EXPECT_GT(p, 0u);
}

TEST_F(DataTest, PassiveConnectionFromAnotherAddressIsNotTaken) {
    ftpd_test_write(root / "a.txt", "secret");
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    int pport = c.pasv_port();
    ASSERT_NE(pport, 0);
    // A thief on 127.0.0.2 connects first (its connect completes in the listener's
    // queue), then the client: the thief must get nothing.
    ftp_client thief;
    ASSERT_TRUE(thief.open(pport, "127.0.0.2"));
    std::string url = "tcp://127.0.0.1:" + std::to_string(pport);
    ASSERT_EQ(net_open(&c.data, url.c_str(), 3000), 0);
    ASSERT_EQ(c.cmd("RETR a.txt"), 150);
    EXPECT_EQ(c.read_data(), "secret");
    EXPECT_EQ(c.reply(), 226);
    // Loopback delivers before the 226 is sent: any stolen byte would be waiting now.
    char stolen[64];
    EXPECT_LE(os_socket_recv(thief.st.handle, stolen, sizeof stolen), 0);
}

TEST_F(DataPasvAddrTest, PasvAnnouncesTheConfiguredAddress) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_EQ(c.cmd("PASV"), 227);
    EXPECT_EQ(c.text.rfind("Entering Passive Mode (10,1,2,3,", 0), 0u) << c.text;
}

// Passive ports that other sockets hold are passed over quietly; a range with none left
// gets 425 and the session goes on.
TEST_F(DataRangeTest, BusyPortsAreSkippedQuietlyAndAnEmptyRangeGets425) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    EXPECT_EQ(c.pasv_port(), first + 1);
    EXPECT_EQ(log2_recent_lines().find("socket_listen error"), std::string::npos);
    // With the second port taken by this client's own waiting listener, none is left.
    ftpb_client other;
    ASSERT_TRUE(other.open(port));
    EXPECT_EQ(other.cmd("PASV"), 425);
    EXPECT_EQ(other.text, "Can't open passive connection.");
    EXPECT_EQ(other.cmd("NOOP"), 200);
    EXPECT_EQ(other.cmd("LIST"), 425);
}

TEST(DataIpv6, EprtNamingAnotherLinkIsRefused) {
    if (!os_has_ipv6())
        GTEST_SKIP() << "no IPv6";
    ftpd_test_server server;
    ASSERT_TRUE(server.start([](ftpd_conf &cf) { cf.ftp_addr = "::1"; }));
    ftp_client c;
    ASSERT_EQ(net_open(&c.st, ("tcp://[::1]:" + std::to_string(server.port)).c_str(), 3000), 0);
    ASSERT_EQ(c.reply(), 220);
    ASSERT_EQ(c.login("anonymous", "x"), 230);
    EXPECT_EQ(c.cmd("EPRT |2|::1%1|5000|"), 500);
    EXPECT_EQ(c.text, "Illegal PORT command.");
    EXPECT_EQ(c.cmd("EPRT |2|::1|5000|"), 200);
}
