// stats_test.cpp - the FTP server's counters, each moved by the event it counts: sessions
// and refusals, replies by class, data bytes and transfers by command and result (ABOR
// included), passive listeners nobody connected to.
#include "ftpb_util.h"

#include "ftpd_internal.h"
#include "ssl.h"

namespace {

ftpd_stats stats() {
    ftpd_stats s{};
    ftpd_stats_get(&s);
    return s;
}

class FtpdStats : public FtpbServer {
protected:
    void configure() override { g_ftpd_conf.pasv_accept_wait_ms = 300; }
    void TearDown() override {
        FtpbServer::TearDown();
        g_ftp_zero_copy = true;
    }
};

TEST_F(FtpdStats, SessionsAreCountedWhileOpenAndRefusalsByTheirLimit) {
    server.stop();
    ASSERT_TRUE(server.start([](ftpd_conf &cf) {
        cf.max_clients = 2;
        cf.max_per_ip = 1;
    }));
    ftpd_stats a = stats();
    ftp_client one, same_ip, other_ip, beyond;
    ASSERT_TRUE(one.open(server.port));
    ASSERT_EQ(one.reply(), 220);
    ftpd_stats b = stats();
    EXPECT_EQ(b.sessions_total[FTPD_PROTO_FTP], a.sessions_total[FTPD_PROTO_FTP] + 1);
    EXPECT_EQ(b.sessions_active[FTPD_PROTO_FTP], a.sessions_active[FTPD_PROTO_FTP] + 1);
    EXPECT_EQ(b.sessions_total[FTPD_PROTO_FTPS], a.sessions_total[FTPD_PROTO_FTPS]);

    ASSERT_TRUE(same_ip.open(server.port));
    EXPECT_EQ(same_ip.reply(), 421);  // max_per_ip
    ASSERT_TRUE(same_ip.wait_closed(3000));
    ASSERT_TRUE(other_ip.open(server.port, "127.0.0.2"));
    ASSERT_EQ(other_ip.reply(), 220);
    ASSERT_TRUE(beyond.open(server.port, "127.0.0.3"));
    EXPECT_EQ(beyond.reply(), 421);  // max_clients
    ASSERT_TRUE(beyond.wait_closed(3000));
    ftpd_stats c = stats();
    EXPECT_EQ(c.refused_max_per_ip, a.refused_max_per_ip + 1);
    EXPECT_EQ(c.refused_max_clients, a.refused_max_clients + 1);
    EXPECT_EQ(c.sessions_total[FTPD_PROTO_FTP], a.sessions_total[FTPD_PROTO_FTP] + 2);

    EXPECT_EQ(one.cmd("QUIT"), 221);
    other_ip.close();
    ASSERT_TRUE(ftpd_test_wait_until([&] {
        return stats().sessions_active[FTPD_PROTO_FTP] == a.sessions_active[FTPD_PROTO_FTP];
    }, 5000));
}

TEST_F(FtpdStats, RepliesCountOncePerReplyByClass) {
    ftpd_stats a = stats();
    ftp_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_EQ(c.reply(), 220);                 // 2xx
    ASSERT_EQ(c.cmd("USER anonymous"), 331);   // 3xx
    ASSERT_EQ(c.cmd("PASS x"), 230);           // 2xx
    ASSERT_EQ(c.cmd("FEAT"), 211);             // 2xx, several lines
    ASSERT_EQ(c.cmd("BOGUS"), 500);            // 5xx
    ASSERT_EQ(c.cmd("RETR missing"), 425);     // 4xx: no data mode
    // A reply counts once written, so the last one may still be on its way to the counter;
    // each earlier one was counted before the server read the next command.
    ASSERT_TRUE(ftpd_test_wait_until([&] { return stats().replies[3] > a.replies[3]; }, 5000));
    ftpd_stats b = stats();
    EXPECT_EQ(b.replies[0], a.replies[0]);
    EXPECT_EQ(b.replies[1], a.replies[1] + 3);
    EXPECT_EQ(b.replies[2], a.replies[2] + 1);
    EXPECT_EQ(b.replies[3], a.replies[3] + 1);
    EXPECT_EQ(b.replies[4], a.replies[4] + 1);
    // No transfer began, so none is counted.
    EXPECT_EQ(b.transfers[FTPD_XCMD_RETR][FTPD_XRES_FAILED],
              a.transfers[FTPD_XCMD_RETR][FTPD_XRES_FAILED]);
}

TEST_F(FtpdStats, TransfersCountTheirBytesAndResults) {
    std::string body = ftpb_bytes(300000);
    ftpd_test_write(root / "f.bin", body);
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ftpd_stats a = stats();
    int code = 0;
    ASSERT_EQ(c.get("RETR f.bin", &code).size(), body.size());
    ASSERT_EQ(code, 226);
    ASSERT_EQ(c.put("STOR up.bin", body.substr(0, 1000)), 226);
    ASSERT_EQ(c.put("APPE up.bin", body.substr(0, 234)), 226);
    std::string names = c.get("NLST", &code);
    ASSERT_EQ(code, 226);
    ftpd_stats b = stats();
    EXPECT_EQ(b.data_bytes_sent, a.data_bytes_sent + body.size() + names.size());
    EXPECT_EQ(b.data_bytes_received, a.data_bytes_received + 1234);
    for (int cmd : {FTPD_XCMD_RETR, FTPD_XCMD_STOR, FTPD_XCMD_APPE, FTPD_XCMD_NLST})
        EXPECT_EQ(b.transfers[cmd][FTPD_XRES_OK], a.transfers[cmd][FTPD_XRES_OK] + 1)
            << ftpd_xcmd_name(cmd);
    EXPECT_EQ(b.transfers[FTPD_XCMD_LIST][FTPD_XRES_OK], a.transfers[FTPD_XCMD_LIST][FTPD_XRES_OK]);
}

// On the buffered path every block read is counted. (The direct socket-to-file receive
// reports nothing for the batch an ABOR cuts short, so its bytes are missing there.)
TEST_F(FtpdStats, AbortedUploadAndPassiveTimeOut) {
    g_ftp_zero_copy = false;
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ftpd_stats a = stats();
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("STOR up.bin"), 150);
    std::string head = ftpb_bytes(5000);
    ASSERT_EQ(net_write(&c.data, head.data(), static_cast<int>(head.size())), 5000);
    ASSERT_TRUE(ftpd_test_wait_until([&] { return ftpb_server_took_all(c.data); }, 5000));
    ASSERT_TRUE(c.send("ABOR"));
    EXPECT_EQ(c.reply(), 426);
    EXPECT_EQ(c.reply(), 226);
    c.close_data();
    // A passive listener that no one connects to.
    ASSERT_NE(c.pasv_port(), 0);
    EXPECT_EQ(c.cmd("LIST"), 500);
    ftpd_stats b = stats();
    EXPECT_EQ(b.transfers[FTPD_XCMD_STOR][FTPD_XRES_ABORTED],
              a.transfers[FTPD_XCMD_STOR][FTPD_XRES_ABORTED] + 1);
    EXPECT_EQ(b.transfers[FTPD_XCMD_STOR][FTPD_XRES_OK], a.transfers[FTPD_XCMD_STOR][FTPD_XRES_OK]);
    EXPECT_EQ(b.data_bytes_received, a.data_bytes_received + 5000);
    EXPECT_EQ(b.pasv_accept_timeouts, a.pasv_accept_timeouts + 1);
    EXPECT_EQ(b.transfers[FTPD_XCMD_LIST][FTPD_XRES_FAILED],
              a.transfers[FTPD_XCMD_LIST][FTPD_XRES_FAILED]);
}

// A session counts under the port it came in on: implicit TLS as ftps, AUTH TLS on the
// plain port as ftp.
TEST(FtpdStatsTls, ImplicitTlsCountsAsFtpsAndAuthTlsAsFtp) {
    std::string dir = ftpd_test_tmpdir("stats_tls");
    ASSERT_EQ(ssl_create_key_x509_file((dir + "/k.der").c_str(), (dir + "/c.pem").c_str()), 0);
    ftpd_test_server server;
    int ftps = ftpd_test_free_port();
    ASSERT_TRUE(server.start([&](ftpd_conf &cf) {
        cf.ftps_port = ftps;
        cf.crt_file = dir + "/c.pem";
        cf.key_file = dir + "/k.der";
        cf.ftp_extensions = 1;
    }));
    ftpd_stats a = stats();
    ftp_client implicit, explicit_tls;
    ASSERT_TRUE(implicit.open(server.ftps_port));
    ASSERT_TRUE(implicit.start_tls());
    ASSERT_EQ(implicit.reply(), 220);
    ASSERT_TRUE(explicit_tls.open(server.port));
    ASSERT_EQ(explicit_tls.reply(), 220);
    ASSERT_EQ(explicit_tls.cmd("AUTH TLS"), 234);
    ASSERT_TRUE(explicit_tls.start_tls());
    EXPECT_EQ(explicit_tls.login("anonymous", "x"), 230);
    ftpd_stats b = stats();
    EXPECT_EQ(b.sessions_total[FTPD_PROTO_FTPS], a.sessions_total[FTPD_PROTO_FTPS] + 1);
    EXPECT_EQ(b.sessions_active[FTPD_PROTO_FTPS], a.sessions_active[FTPD_PROTO_FTPS] + 1);
    EXPECT_EQ(b.sessions_total[FTPD_PROTO_FTP], a.sessions_total[FTPD_PROTO_FTP] + 1);
    implicit.close();
    explicit_tls.close();
    EXPECT_TRUE(ftpd_test_wait_until([&] {
        ftpd_stats c = stats();
        return c.sessions_active[FTPD_PROTO_FTPS] == a.sessions_active[FTPD_PROTO_FTPS] &&
               c.sessions_active[FTPD_PROTO_FTP] == a.sessions_active[FTPD_PROTO_FTP];
    }, 5000));
    server.stop();
    ftpd_lib_exit();
    ftpd_test_rmtree(dir);
}

TEST(FtpdStatsNames, LabelsOfEveryIndexAndNoneBeyond) {
    EXPECT_STREQ(ftpd_proto_name(FTPD_PROTO_FTPS), "ftps");
    EXPECT_STREQ(ftpd_xcmd_name(FTPD_XCMD_MLSD), "MLSD");
    EXPECT_STREQ(ftpd_xres_name(FTPD_XRES_ABORTED), "aborted");
    EXPECT_EQ(ftpd_proto_name(FTPD_PROTO_COUNT), nullptr);
    EXPECT_EQ(ftpd_xcmd_name(-1), nullptr);
    EXPECT_EQ(ftpd_xres_name(FTPD_XRES_COUNT), nullptr);
}

}  // namespace
