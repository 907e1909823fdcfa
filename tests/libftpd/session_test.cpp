// session_test.cpp - the control session through a raw client: greeting, parsing, the
// login gate, odd input, admission limits, the idle time-out and FTPS set-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "ftpd_internal.h"
#include "ftpd_test_util.h"
#include "log.h"
#include "ssl.h"

namespace {

class FtpdSession : public ::testing::Test {
protected:
    ftpd_test_server server;
    ftp_client c;

    void SetUp() override { ASSERT_TRUE(server.start()); }

    void connect(ftp_client &cl) {
        ASSERT_TRUE(cl.open(server.port));
        ASSERT_EQ(cl.reply(), 220);
        EXPECT_EQ(cl.last, "220 (nvtd 1.0.0.0)");
    }
};

TEST_F(FtpdSession, GreetsGatesLoginAndAnswersEveryWord) {
    connect(c);
    const char *bad = "Bad command", *gate = "Please login with USER and PASS.";
    std::vector<ftp_step> steps = {{"FOO bar", 500, bad},
                                   {"noop", 200},  // the command word is upper-cased
                                   {"SYST", 215},
                                   {"NOOP", 200}};
    for (const char *w : {"ACCT x", "SMNT x", "REIN", "STOU", "ALLO 10"})
        steps.push_back({w, 500, bad});
    for (const char *w : {"RETR x", "STOR x", "LIST", "CWD /", "PWD", "PASV", "STRU F",
                          "SITE HELP", "ABOR", "MKD d", "DELE x", "TYPE I"})
        steps.push_back({w, 530, gate});
    ftp_run_steps(c, steps);
    ASSERT_EQ(c.login("anonymous", "x"), 230);
    // Unknown words stay unknown after login; STRU, MODE, SITE and ABOR answer every line.
    ftp_run_steps(c, {{"PWD", 257},
                      {"ACCT x", 500},
                      {"DELE ", 501},  // a blank alone is no argument
                      {"STRU F", 200, "Structure set to F."},
                      {"STRU R", 504, "Command not implemented for that parameter."},
                      {"MODE S", 200, "Mode set to S."},
                      {"MODE B", 504},
                      {"SITE CHMOD 777 x", 500, "Unknown SITE command."},
                      {"ABOR", 225, "No transfer to ABOR."},
                      {"QUIT", 221, "Goodbye."}});
    EXPECT_TRUE(c.wait_closed(3000));
}

TEST_F(FtpdSession, OddLinesGetRepliesOrACleanClose) {
    connect(c);
    ASSERT_TRUE(c.send_raw("\n"));  // bare LF: an empty command word
    EXPECT_EQ(c.reply(), 500);
    ASSERT_TRUE(c.send_raw("\r\n"));
    EXPECT_EQ(c.reply(), 500);
    ASSERT_TRUE(c.send_raw("NOOP\n"));  // LF alone ends a line
    EXPECT_EQ(c.reply(), 200);
    ASSERT_TRUE(c.send_raw("NOOP \t \r\n"));  // trailing white space goes
    EXPECT_EQ(c.reply(), 200);
    ASSERT_TRUE(c.send_raw(std::string("\x01\x80\xfe\x7f garbage\r\n")));
    EXPECT_EQ(c.reply(), 500);
    ASSERT_TRUE(c.send("USER " + std::string(8191 - 5 - 2, 'u')));  // 8191 bytes with CR LF
    EXPECT_EQ(c.reply(), 530);
    EXPECT_EQ(c.cmd("NOOP"), 200);
    // 8192 bytes without a line end do not fit the line buffer: the session ends.
    ASSERT_TRUE(c.send_raw(std::string(8192, 'A') + "\r\n"));
    EXPECT_TRUE(c.wait_closed(5000));
}

TEST_F(FtpdSession, ClientThatDisconnectsMidCommandEndsOnlyItsSession) {
    ftp_client a, b;
    connect(a);
    connect(b);
    ASSERT_TRUE(a.send_raw("USER anony"));
    a.close();
    ASSERT_TRUE(ftpd_test_wait_until([&] { return ftpd_session_count(server.srv) == 1; }, 5000));
    EXPECT_EQ(b.cmd("NOOP"), 200);
}

TEST_F(FtpdSession, MaxClientsRefusesWith421UntilASessionEnds) {
    server.stop();
    ASSERT_TRUE(server.start([](ftpd_conf &cf) { cf.max_clients = 2; }));
    ftp_client a, b, third;
    connect(a);
    connect(b);
    ASSERT_TRUE(third.open(server.port));
    EXPECT_EQ(third.reply(), 421);
    EXPECT_EQ(third.last, "421 There are too many connected users, please try later.");
    EXPECT_TRUE(third.wait_closed(3000));
    EXPECT_EQ(a.cmd("QUIT"), 221);
    ASSERT_TRUE(ftpd_test_wait_until([&] { return ftpd_session_count(server.srv) == 1; }, 5000));
    connect(third);
    EXPECT_EQ(third.cmd("NOOP"), 200);
}

TEST_F(FtpdSession, MaxPerIpCountsEachAddressAlone) {
    server.stop();
    ASSERT_TRUE(server.start([](ftpd_conf &cf) { cf.max_per_ip = 2; }));
    ftp_client a, b, third, other;
    connect(a);
    connect(b);
    ASSERT_TRUE(third.open(server.port));
    EXPECT_EQ(third.reply(), 421);
    EXPECT_EQ(third.last, "421 There are too many connections from your internet address.");
    EXPECT_TRUE(third.wait_closed(3000));
    ASSERT_TRUE(other.open(server.port, "127.0.0.2"));
    EXPECT_EQ(other.reply(), 220);
    EXPECT_EQ(a.cmd("QUIT"), 221);
    ASSERT_TRUE(ftpd_test_wait_until([&] { return ftpd_session_count(server.srv) == 2; }, 5000));
    third.close();
    connect(third);
}

TEST_F(FtpdSession, LoginTimeoutClosesOnlySessionsNotLoggedIn) {
    server.stop();
    ASSERT_TRUE(server.start([](ftpd_conf &cf) {
        cf.login_timeout_ms = 600;
        cf.ctrl_poll_timeout_ms = 100;
    }));
    ftp_client in;
    connect(in);
    ASSERT_EQ(in.login("anonymous", "x"), 230);
    connect(c);
    // Commands keep coming, but none is a successful PASS.
    int code = 0;
    for (int i = 0; i < 100 && (code = c.cmd("USER anonymous", 3000)) == 331; i++)
        os_sleep_ms(20);
    EXPECT_EQ(code, 421);
    EXPECT_EQ(c.last, "421 Login timeout.");
    EXPECT_TRUE(c.wait_closed(3000));
    EXPECT_EQ(in.cmd("NOOP"), 200);
}

// A command runs only once its line feed came: the first piece of "DELE keep.bak" must
// not delete "keep", and bytes without a line feed do not keep a session alive.
TEST_F(FtpdSession, PartialLinesWaitForTheirLineFeed) {
    server.stop();
    ASSERT_TRUE(server.start([](ftpd_conf &cf) {
        cf.ctrl_poll_timeout_ms = 100;
        cf.idle_timeout_ms = 1500;
    }));
    ftpd_test_write(server.root + "/keep", "k");
    ftpd_test_write(server.root + "/keep.bak", "b");
    connect(c);
    ASSERT_EQ(c.login("anonymous", "x"), 230);
    ASSERT_TRUE(c.send_raw("DELE keep"));
    EXPECT_EQ(c.reply(400), -1);  // several poll time-outs pass without a reply
    ASSERT_TRUE(c.send(".bak"));
    EXPECT_EQ(c.reply(), 250);
    EXPECT_TRUE(std::ifstream(server.root + "/keep").good());
    EXPECT_FALSE(std::ifstream(server.root + "/keep.bak").good());
    // A byte every 200 ms without a line feed: timed out like a silent client.
    int code = -1;
    for (int i = 0; i < 40 && code == -1 && c.send_raw("x"); i++)
        code = c.reply(200);
    EXPECT_EQ(code, 421);
    EXPECT_EQ(c.last, "421 Timeout.");
    EXPECT_TRUE(c.wait_closed(3000));
}

TEST_F(FtpdSession, PasswordsNeverReachTheLog) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, long{LOG2_VERB});
    connect(c);
    EXPECT_EQ(c.cmd("USER anonymous"), 331);
    EXPECT_EQ(c.cmd("pass s3cret-Word"), 230);
    std::string recent = log2_recent_lines();
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, long{LOG2_INFO});
    EXPECT_EQ(recent.find("s3cret"), std::string::npos);
    EXPECT_NE(recent.find("[PASS ***]"), std::string::npos);
}

TEST_F(FtpdSession, ThreeHundredConnectionsAtOnceAreServedAndLeaveNothingBehind) {
    int threads0 = ftpd_test_thread_count();
    int fds0 = ftpd_test_fd_count();
    std::vector<std::unique_ptr<ftp_client>> cl;
    for (int i = 0; i < 300; i++) {
        cl.push_back(std::make_unique<ftp_client>());
        ASSERT_TRUE(cl.back()->open(server.port)) << i;
    }
    int greeted = 0;
    for (auto &x : cl)
        greeted += x->reply(10000) == 220;
    EXPECT_EQ(greeted, 300);
    EXPECT_EQ(ftpd_session_count(server.srv), 300);
    EXPECT_EQ(cl[150]->cmd("NOOP"), 200);
    cl.clear();
    EXPECT_TRUE(ftpd_test_wait_until([&] { return ftpd_session_count(server.srv) == 0; }, 10000));
    EXPECT_TRUE(ftpd_test_wait_until([&] { return ftpd_test_thread_count() <= threads0; }, 5000))
        << ftpd_test_thread_count() << " > " << threads0;
    EXPECT_TRUE(ftpd_test_wait_until([&] { return ftpd_test_fd_count() <= fds0; }, 5000))
        << ftpd_test_fd_count() << " > " << fds0;
}

TEST_F(FtpdSession, StopEndsLiveSessionsPromptly) {
    int threads0 = ftpd_test_thread_count();
    ftp_client a, b;
    connect(a);
    connect(b);
    ASSERT_EQ(a.login("anonymous", "x"), 230);
    ASSERT_TRUE(b.send_raw("NOO"));  // half a command
    uint64_t t0 = os_clock_ms();
    server.stop();
    EXPECT_LT(os_clock_ms() - t0, 3000u);
    EXPECT_TRUE(a.wait_closed(2000));
    EXPECT_TRUE(b.wait_closed(2000));
    EXPECT_TRUE(ftpd_test_wait_until([&] { return ftpd_test_thread_count() <= threads0; }, 3000));
}

// A silent session ends at its idle time; the 15 s least value of the setting is checked
// by FtpdSettings.ValuesAreClampedToTheirBounds.
TEST_F(FtpdSession, IdleSessionGets421TimeoutAfterItsIdleTime) {
    server.stop();
    ASSERT_TRUE(server.start([](ftpd_conf &cf) {
        cf.idle_timeout_ms = 1500;
        cf.ctrl_poll_timeout_ms = 100;
    }));
    connect(c);
    EXPECT_EQ(c.cmd("NOOP"), 200);
    uint64_t t0 = os_clock_ms();
    EXPECT_EQ(c.reply(20000), 421);
    uint64_t waited = os_clock_ms() - t0;
    EXPECT_EQ(c.last, "421 Timeout.");
    EXPECT_GE(waited, 1450u);
    EXPECT_LE(waited, 4500u);  // the idle time, not the fixture's 15 s
    EXPECT_TRUE(c.wait_closed(3000));
}

TEST_F(FtpdSession, MountFailureEndsOnlyThatSessionWith421) {
    server.stop();
    ASSERT_TRUE(server.start([](ftpd_conf &cf) { cf.ftp_root = "/nonexistent/nvtd/root"; }));
    ASSERT_TRUE(c.open(server.port));
    EXPECT_EQ(c.reply(), 421);
    EXPECT_EQ(c.last, "421 Service not available.");
    EXPECT_TRUE(c.wait_closed(3000));
    ASSERT_TRUE(c.open(server.port));  // the server goes on
    EXPECT_EQ(c.reply(), 421);
}

// FTPS: a certificate made once for the whole suite.
class FtpdTls : public ::testing::Test {
protected:
    static std::string dir;
    ftpd_test_server server;

    static void SetUpTestSuite() {
        dir = ftpd_test_tmpdir("tls");
        ASSERT_EQ(ssl_create_key_x509_file((dir + "/k.der").c_str(), (dir + "/c.pem").c_str()),
                  0);
    }
    static void TearDownTestSuite() { ftpd_test_rmtree(dir); }

    bool start_tls(int ftp_port_override = -1) {
        int ftps = ftpd_test_free_port();
        return server.start([&](ftpd_conf &cf) {
            cf.ftps_port = ftps;
            cf.crt_file = dir + "/c.pem";
            cf.key_file = dir + "/k.der";
            cf.read_timeout_ms = 3000;
            if (ftp_port_override >= 0)
                cf.ftp_port = ftp_port_override;
        });
    }
};
std::string FtpdTls::dir;

TEST_F(FtpdTls, LoginOverImplicitTlsWhileAStalledHandshakeWaits) {
    ASSERT_TRUE(start_tls());
    int threads0 = ftpd_test_thread_count();
    ftp_client staller;  // connects to the FTPS port and never says a word
    ASSERT_TRUE(staller.open(server.ftps_port));
    ftp_client c;
    ASSERT_TRUE(c.open(server.ftps_port));
    uint64_t t0 = os_clock_ms();
    ASSERT_TRUE(c.start_tls());
    EXPECT_LT(os_clock_ms() - t0, 2000u);  // not held up by the staller
    EXPECT_EQ(c.reply(), 220);
    EXPECT_EQ(c.login("anonymous", "x"), 230);
    EXPECT_EQ(c.cmd("PWD"), 257);
    EXPECT_EQ(c.last, "257 \"/\"");
    // The plain port still speaks plain FTP.
    ftp_client p;
    ASSERT_TRUE(p.open(server.port));
    EXPECT_EQ(p.reply(), 220);
    // The stalled handshake ends by its time-out and takes its thread along.
    EXPECT_TRUE(staller.wait_closed(6000));
    c.close();
    p.close();
    EXPECT_TRUE(ftpd_test_wait_until([&] { return ftpd_session_count(server.srv) == 0; }, 5000));
    EXPECT_TRUE(ftpd_test_wait_until([&] { return ftpd_test_thread_count() <= threads0; }, 5000));
}

// The handshake has one deadline (the data read time-out, 2 s here): a client feeding it
// a byte every 250 ms is cut off then, not given a fresh time-out for every read.
TEST_F(FtpdTls, TricklingHandshakeEndsAtItsDeadline) {
    ASSERT_TRUE(start_tls());
    server.stop();
    int ftps = ftpd_test_free_port();
    ASSERT_TRUE(server.start([&](ftpd_conf &cf) {
        cf.ftps_port = ftps;
        cf.crt_file = dir + "/c.pem";
        cf.key_file = dir + "/k.der";
        cf.read_timeout_ms = 2000;
    }));
    ftp_client t;
    ASSERT_TRUE(t.open(server.ftps_port));
    uint64_t t0 = os_clock_ms();
    // A handshake record header announcing 512 bytes, then its body, byte by byte.
    std::string hello = std::string("\x16\x03\x01\x02\x00", 5) + std::string(512, '\x01');
    bool closed = false;
    for (size_t i = 0; i < hello.size() && !closed && os_clock_ms() - t0 < 8000; i++) {
        closed = !t.send_raw(hello.substr(i, 1)) || t.wait_closed(250);
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(os_clock_ms() - t0, 6000u);  // a fresh time-out per read would never end it
}

TEST_F(FtpdTls, MissingCertificateFailsTheStartAndFtpsAloneRuns) {
    int ftps = ftpd_test_free_port();
    EXPECT_FALSE(server.start([&](ftpd_conf &cf) {
        cf.ftps_port = ftps;
        cf.crt_file = dir + "/missing.pem";
        cf.key_file = dir + "/k.der";
    }));
    server.stop();
    ASSERT_TRUE(start_tls(0));  // FTP port 0: only the FTPS listener
    ftp_client c;
    EXPECT_FALSE(c.open(server.port, nullptr, 500));
    ASSERT_TRUE(c.open(server.ftps_port));
    ASSERT_TRUE(c.start_tls());
    EXPECT_EQ(c.reply(), 220);
}

// The parser on a session record as the pool hands it out (zeroed raw memory).
TEST(FtpdCmdParse, WordArgumentAndLookup) {
    ftpd_lib_init();
    auto *s = static_cast<ftp_session *>(calloc(1, sizeof(ftp_session)));
    ASSERT_NE(s, nullptr);
    auto parse = [s](const char *line) {
        (void)pal_strlcpy(s->line, line);
        return ftp_cmd(s);
    };
    const ftp_cmd_row *r = parse("stor  name with  blanks \t ");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->name, "STOR");
    EXPECT_STREQ(s->cmd, "STOR");
    EXPECT_STREQ(s->arg, " name with  blanks");  // one leading blank stays
    r = parse("NOOP");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(s->arg, nullptr);
    r = parse("\xff\xf4\xff\xf2" "abor");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->handler, do_abor);
    r = parse("ACCT x");
    ASSERT_NE(r, nullptr);  // known, but without handler
    EXPECT_EQ(r->handler, nullptr);
    EXPECT_EQ(parse(""), nullptr);
    EXPECT_EQ(parse("NOOPX"), nullptr);
    EXPECT_EQ(parse("\x80\xfe"), nullptr);
    free(s);
}

}  // namespace
