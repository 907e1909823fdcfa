// ssl_stream_test.cpp - TLS on net streams against real peers (openssl s_client and
// s_server, Python's ssl module) and between both roles of our own adapter.
#include "ssl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ssl_test_util.h"

using namespace ssl_test;

namespace {

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new temp_dir;
        key = dir->file("key.der");
        crt = dir->file("crt.pem");
        if (ssl_create_key_x509_file(key.c_str(), crt.c_str()) == 0)
            conf = ssl_srv_conf_new(crt.c_str(), key.c_str());
        (void)ssl_lib_init();
    }
    static void TearDownTestSuite() {
        ssl_srv_conf_free(conf);
        conf = nullptr;
        ssl_lib_exit();
        delete dir;
    }
    void SetUp() override { ASSERT_NE(conf, nullptr); }

    static inline temp_dir *dir;
    static inline std::string key, crt;
    static inline ssl_conf *conf;
};

// Reads exactly len bytes within the stream's time-outs; false on error or silence.
bool read_all(net_stream *s, char *buf, int len) {
    int got = 0;
    for (int idle = 0; got < len && idle < 5;) {
        int n = net_read(s, buf + got, len - got);
        if (n < 0)
            return false;
        idle = n == 0 ? idle + 1 : 0;
        got += n;
    }
    return got == len;
}

}  // namespace

TEST_F(TlsTest, OpensslAndPythonClientsCompleteTheServerHandshake) {
    std::string script = dir->file("cli.py");
    write_file(script,
               "import socket, ssl, sys\n"
               "ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)\n"
               "ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE\n"
               "raw = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=8)\n"
               "s = ctx.wrap_socket(raw)\n"
               "s.sendall(b'hello\\r\\n')\n"
               "print(s.version(), s.makefile('rb').readline())\n");
    struct {
        std::string cmd, want;
    } clients[] = {
        {"(echo hello; sleep 1) | timeout 10 openssl s_client -connect 127.0.0.1:", "world"},
        {"timeout 10 python3 " + script + " ", "TLSv1.2 b'world\\r\\n'"},
    };
    for (const auto &c : clients) {
        log_capture log;
        raw_listener l;
        child client(c.cmd + std::to_string(l.port));
        net_stream s{};
        net_stream_init(&s, NET_TYPE_TCP_SRV, l.accept(5000), 5000);
        ASSERT_NE(s.handle, 0u) << c.cmd;
        ASSERT_NE(ssl_srv_new(&s, conf), nullptr) << log.all();
        EXPECT_NE(s.tls, nullptr);
        EXPECT_NE(s.io, nullptr);
        char line[64];
        EXPECT_EQ(net_gets(&s, line, sizeof line), 5);
        EXPECT_STREQ(line, "hello");
        EXPECT_EQ(net_write(&s, "world\r\n", 7), 7);
        EXPECT_TRUE(log.has("Proto=[TLSv1.2] Cipher=[TLS-")) << log.all();
        std::string out = client.finish();
        EXPECT_EQ(net_close(&s), 0);
        EXPECT_EQ(s.tls, nullptr);
        EXPECT_NE(out.find("TLSv1.2"), std::string::npos) << out;
        EXPECT_NE(out.find(c.want), std::string::npos) << out;
    }
}

TEST_F(TlsTest, ClientHandshakesWithOpensslServerOnCreatedCertificate) {
    int port = free_port();
    ASSERT_GT(port, 0);
    child server("timeout 15 openssl s_server -accept " + std::to_string(port) + " -cert " + crt +
                 " -key " + key + " -keyform DER -tls1_2 -naccept 2 -rev");
    // Directly on a connected stream.
    net_stream s{};
    net_stream_init(&s, NET_TYPE_TCP, connect_retry(port, 5000), 5000);
    ASSERT_NE(s.handle, 0u);
    ASSERT_NE(ssl_cli_connect(&s), nullptr);
    ASSERT_EQ(net_write(&s, "abc\n", 4), 4);
    char line[64];
    EXPECT_EQ(net_gets(&s, line, sizeof line), 3);
    EXPECT_STREQ(line, "cba");
    net_close(&s);
    // Through net_open, which runs the registered client handshake for "tcps".
    net_stream t{};
    ASSERT_EQ(net_open(&t, ("tcps://127.0.0.1:" + std::to_string(port)).c_str(), 5000), 0);
    EXPECT_NE(t.tls, nullptr);
    ASSERT_EQ(net_write(&t, "hello\n", 6), 6);
    EXPECT_EQ(net_gets(&t, line, sizeof line), 5);
    EXPECT_STREQ(line, "olleh");
    net_close(&t);
    std::string out = server.finish();
    EXPECT_NE(out.find("ACCEPT"), std::string::npos) << out;
}

TEST_F(TlsTest, GarbageOrSilenceInsteadOfClientHelloEndsOnlyTheHandshake) {
    for (bool garbage : {true, false}) {
        log_capture log;
        raw_listener l;
        std::atomic<bool> done{false};
        std::thread peer([&] {
            net_stream p{};
            net_stream_init(&p, NET_TYPE_TCP, connect_retry(l.port, 3000), 3000);
            if (garbage)
                (void)net_write(&p, "GET / HTTP/1.0\r\n\r\n", 18);
            (void)wait_until([&] { return done.load(); }, 5000);  // until the server gave up
            net_close(&p);
        });
        net_stream s{};
        net_stream_init(&s, NET_TYPE_TCP_SRV, l.accept(3000), 1000);
        uint64_t t0 = os_clock_ms();
        EXPECT_EQ(ssl_srv_new(&s, conf), nullptr);
        int took = static_cast<int>(os_clock_ms() - t0);
        done = true;
        EXPECT_LT(took, garbage ? 900 : 3000) << garbage;  // garbage ends it at once
        EXPECT_GE(took, garbage ? 0 : 900);                 // silence waits the time-out
        EXPECT_EQ(s.tls, nullptr);
        EXPECT_EQ(s.io, nullptr);
        if (garbage) {
            EXPECT_TRUE(log.has("mbedtls_ssl_handshake eno=")) << log.all();
        }
        net_close(&s);
        peer.join();
    }
}

TEST_F(TlsTest, ConcurrentHandshakesShareTheConfigurations) {
    constexpr int pairs = 4;
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    raw_listener l;
    for (int i = 0; i < pairs; ++i) {
        threads.emplace_back([&] {
            net_stream s{};
            net_stream_init(&s, NET_TYPE_TCP_SRV, l.accept(5000), 5000);
            char buf[2];
            if (ssl_srv_new(&s, conf) && net_read(&s, buf, 2) == 2 && net_write(&s, buf, 2) == 2)
                ++ok;
            net_close(&s);
        });
        threads.emplace_back([&, i] {
            net_stream c{};
            net_stream_init(&c, NET_TYPE_TCP, connect_retry(l.port, 5000), 5000);
            char msg[2] = {'a', static_cast<char>('0' + i)};
            char back[2] = {};
            if (ssl_cli_connect(&c) && net_write(&c, msg, 2) == 2 && net_read(&c, back, 2) == 2 &&
                std::memcmp(msg, back, 2) == 0)
                ++ok;
            net_close(&c);
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(ok, 2 * pairs);
}

// Both roles of our adapter over one loopback connection.
TEST_F(TlsTest, OwnRolesCarryBulkDataTimeOutAbortAndKeepDataBeforeTheClose) {
    raw_listener l;
    net_stream server{}, client{};
    bool srv_ok = false;
    std::thread srv([&] {
        net_stream_init(&server, NET_TYPE_TCP_SRV, l.accept(3000), 3000);
        srv_ok = ssl_srv_new(&server, conf) != nullptr;
    });
    net_stream_init(&client, NET_TYPE_TCP, connect_retry(l.port, 3000), 3000);
    bool cli_ok = ssl_cli_connect(&client) != nullptr;
    srv.join();
    ASSERT_TRUE(srv_ok && cli_ok);
    std::string data(1 << 20, '\0'), got(data.size(), '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    std::thread writer([&] { EXPECT_EQ(net_write(&server, data.data(), int(data.size())), int(data.size())); });
    EXPECT_TRUE(read_all(&client, got.data(), int(got.size())));
    writer.join();
    EXPECT_TRUE(got == data);
    std::thread writer2([&] { EXPECT_EQ(net_write(&client, data.data(), 100000), 100000); });
    EXPECT_TRUE(read_all(&server, got.data(), 100000));
    writer2.join();
    EXPECT_EQ(got.substr(0, 100000), data.substr(0, 100000));
    // Silence is a time-out, not the end: the session goes on after it.
    client.timeout_ms = 400;
    char buf[100];
    uint64_t t0 = os_clock_ms();
    EXPECT_EQ(net_read(&client, buf, sizeof buf), 0);
    EXPECT_GE(os_clock_ms() - t0, 350u);
    EXPECT_EQ(net_write(&server, "ping", 4), 4);
    EXPECT_EQ(net_read(&client, buf, 4), 4);
    EXPECT_EQ(std::memcmp(buf, "ping", 4), 0);
    // A read that gets part of what it asked for returns that part at the time-out.
    EXPECT_EQ(net_write(&server, "abc", 3), 3);
    EXPECT_EQ(net_read(&client, buf, sizeof buf), 3);
    client.timeout_ms = 10000;
    std::thread aborter([&] {
        os_sleep_ms(200);  // the abort comes during the read: the behaviour under test
        client.abort = 1;
    });
    t0 = os_clock_ms();
    EXPECT_EQ(net_read(&client, buf, sizeof buf), -1);
    EXPECT_LT(os_clock_ms() - t0, 1500u);
    aborter.join();
    client.abort = 0;
    // Data sent right before the peer's close is kept.
    EXPECT_EQ(net_write(&client, "0123456789", 10), 10);
    net_close(&client);
    EXPECT_EQ(net_read(&server, buf, sizeof buf), 10);
    EXPECT_EQ(std::memcmp(buf, "0123456789", 10), 0);
    EXPECT_EQ(net_read(&server, buf, sizeof buf), -1);
    net_close(&server);
}

// Handshakes our server with our client made from client_conf; returns the suite the client
// sees, or "" when the handshake failed.
static std::string negotiated(ssl_conf *server_conf, ssl_conf *client_conf) {
    raw_listener l;
    net_stream server{}, client{};
    std::thread srv([&] {
        net_stream_init(&server, NET_TYPE_TCP_SRV, l.accept(3000), 3000);
        (void)ssl_srv_new(&server, server_conf);
    });
    net_stream_init(&client, NET_TYPE_TCP, connect_retry(l.port, 3000), 3000);
    ssl_session *tls = ssl_cli_connect(&client, client_conf);
    srv.join();
    std::string suite = tls ? ssl_session_cipher(tls) : "";
    net_close(&client);
    net_close(&server);
    return suite;
}

TEST_F(TlsTest, NamedSuitesAreTheOnlyOnesOfferedAndTheServersOrderPicks) {
    const char *gcm = "TLS-ECDHE-RSA-WITH-AES-128-GCM-SHA256";
    const char *chacha = "TLS-ECDHE-RSA-WITH-CHACHA20-POLY1305-SHA256";
    ssl_conf *cli = ssl_cli_conf_new();
    ASSERT_NE(cli, nullptr);
    {
        log_capture log;
        EXPECT_EQ(ssl_conf_suites(cli, "TLS-NO-SUCH-SUITE"), -1);
        EXPECT_EQ(ssl_conf_suites(cli, ""), -1);
        EXPECT_TRUE(log.has("unknown cipher suite [TLS-NO-SUCH-SUITE]")) << log.all();
    }
    ASSERT_EQ(ssl_conf_suites(cli, gcm), 0);
    EXPECT_EQ(negotiated(conf, cli), gcm);
    ASSERT_EQ(ssl_conf_suites(cli, chacha), 0);
    EXPECT_EQ(negotiated(conf, cli), chacha);
    // Offered both, the server takes the first of its own order, whatever the client's.
    ASSERT_EQ(ssl_conf_suites(cli, (std::string(gcm) + "," + chacha).c_str()), 0);
    std::string first = negotiated(conf, cli);
    ASSERT_EQ(ssl_conf_suites(cli, (std::string(chacha) + "," + gcm).c_str()), 0);
    EXPECT_EQ(negotiated(conf, cli), first);
    // A server limited to one suite refuses a client that offers only another.
    ssl_conf *only_gcm = ssl_srv_conf_new(crt.c_str(), key.c_str());
    ASSERT_NE(only_gcm, nullptr);
    ASSERT_EQ(ssl_conf_suites(only_gcm, gcm), 0);
    ASSERT_EQ(ssl_conf_suites(cli, chacha), 0);
    {
        log_capture log;
        EXPECT_EQ(negotiated(only_gcm, cli), "");
    }
    ssl_srv_conf_free(only_gcm);
    ssl_conf_free(cli);
}

// Python's ssl (OpenSSL) resumes by session ticket, which keeps the master secret but not
// the session identifier: the resumed connection is recognised, a fresh one is not.
TEST_F(TlsTest, SessionResumedByTicketIsRecognised) {
    std::string script = dir->file("resume.py");
    write_file(script,
               "import socket, ssl, sys\n"
               "ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)\n"
               "ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE\n"
               "def run(session):\n"
               "    raw = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=8)\n"
               "    s = ctx.wrap_socket(raw, session=session)\n"
               "    s.sendall(b'x')\n"
               "    s.recv(1)\n"
               "    return s\n"
               "first = run(None)\n"
               "print('ticket', first.session.has_ticket)\n"
               "print('reused', run(first.session).session_reused, run(None).session_reused)\n");
    raw_listener l;
    child client("timeout 20 python3 " + script + " " + std::to_string(l.port));
    net_stream s[3]{};
    for (auto &st : s) {
        net_stream_init(&st, NET_TYPE_TCP_SRV, l.accept(8000), 8000);
        ASSERT_NE(st.handle, 0u);
        ASSERT_NE(ssl_srv_new(&st, conf), nullptr);
        char c;
        ASSERT_EQ(net_read(&st, &c, 1), 1);
        ASSERT_EQ(net_write(&st, "y", 1), 1);
    }
    auto *first = static_cast<ssl_session *>(s[0].tls);
    EXPECT_TRUE(ssl_session_resumes(static_cast<ssl_session *>(s[1].tls), first));
    EXPECT_FALSE(ssl_session_resumes(static_cast<ssl_session *>(s[2].tls), first));
    for (auto &st : s)
        net_close(&st);
    std::string out = client.finish();
    EXPECT_NE(out.find("ticket True"), std::string::npos) << out;
    EXPECT_NE(out.find("reused True False"), std::string::npos) << out;
}
