// xfer_test.cpp - transfers through a raw client: restart offsets, truncation and append
// rules, TYPE, ABOR during a rate-limited download, stalled and broken
// data connections, files that change while they are sent.
#include <sys/socket.h>

#include "ftpb_util.h"

#include "ftpd_internal.h"

namespace {

/// Every transfer test runs on the zero-copy path (parameter true) and the buffered one.
class XferTest : public FtpbServer, public ::testing::WithParamInterface<bool> {
protected:
    void configure() override { g_ftp_zero_copy = GetParam(); }
    void TearDown() override {
        FtpbServer::TearDown();
        g_ftp_zero_copy = true;
    }
};

/// Downloads limited to 256 KiB/s in 64 KiB blocks: a 4 MiB file takes 16 s, so the
/// tests can act in the middle of a transfer.
class XferSlowTest : public XferTest {
    void configure() override {
        XferTest::configure();
        g_ftpd_conf.download_max_rate = 262144;
    }
};

/// A data time-out far beyond the test's bounds: only the server's stop can end transfers.
class XferStopTest : public XferTest {
    void configure() override {
        XferTest::configure();
        g_ftpd_conf.read_timeout_ms = 60000;
    }
};

std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(now() - t0).count();
}

}  // namespace

TEST_P(XferTest, RestartOffsetsOfDownloads) {
    std::string body = ftpb_bytes(250);
    ftpd_test_write(root / "f.bin", body);
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_EQ(c.cmd("REST 100"), 350);
    EXPECT_EQ(c.text, "Restart position accepted (100).");
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR f.bin"), 150);
    EXPECT_EQ(c.text, "Opening BINARY mode data connection for f.bin (250 bytes).");
    EXPECT_EQ(c.read_data(), body.substr(100));
    EXPECT_EQ(c.reply(), 226);
    EXPECT_EQ(c.text, "Transfer complete.");
    // The offset was consumed: the next download is whole.
    int code = 0;
    EXPECT_EQ(c.get("RETR f.bin", &code), body);
    EXPECT_EQ(code, 226);
    // Beyond the end: nothing, and still a success.
    ASSERT_EQ(c.cmd("REST 1000"), 350);
    EXPECT_EQ(c.get("RETR f.bin", &code), "");
    EXPECT_EQ(code, 226);
    EXPECT_EQ(c.cmd("REST -5"), 501);
    // A missing file or a directory: 550, and the session goes on.
    fs::create_directory(root / "dir");
    for (const char *cmd : {"RETR nothere", "RETR dir"}) {
        ASSERT_TRUE(c.pasv());
        EXPECT_EQ(c.cmd(cmd), 550) << cmd;
        EXPECT_EQ(c.text, "Failured to open file.");
        c.close_data();
    }
}

TEST_P(XferTest, UploadTruncationRestartAndAppend) {
    std::string old = ftpb_bytes(1000, 7);
    ftpd_test_write(root / "f.bin", old);
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    // STOR without REST leaves exactly the uploaded bytes.
    EXPECT_EQ(c.put("STOR f.bin", "0123456789"), 226);
    EXPECT_EQ(ftpd_test_read(root / "f.bin"), "0123456789");
    // With REST the old bytes beyond the upload's end stay.
    ftpd_test_write(root / "f.bin", old);
    ASSERT_EQ(c.cmd("REST 10"), 350);
    EXPECT_EQ(c.put("STOR f.bin", "abcde"), 226);
    std::string want = old;
    want.replace(10, 5, "abcde");
    EXPECT_EQ(ftpd_test_read(root / "f.bin"), want);
    // APPE creates a missing file, then appends.
    EXPECT_EQ(c.put("APPE new.bin", "one"), 226);
    EXPECT_EQ(c.put("APPE new.bin", "two"), 226);
    EXPECT_EQ(ftpd_test_read(root / "new.bin"), "onetwo");
    // A large upload crosses many read blocks.
    std::string big = ftpb_bytes(3 * 65536 + 17, 3);
    EXPECT_EQ(c.put("STOR big.bin", big), 226);
    EXPECT_EQ(ftpd_test_read(root / "big.bin"), big);
    // A target that cannot be opened.
    fs::create_directory(root / "dir");
    ASSERT_TRUE(c.pasv());
    EXPECT_EQ(c.cmd("STOR dir"), 553);
    EXPECT_EQ(c.text, "Could not open file.");
    c.close_data();
}

TEST_P(XferTest, TypeOnlyChangesTheWording) {
    std::string text = "line one\r\nline two\nthree\r\n";
    ftpd_test_write(root / "t.txt", text);
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_EQ(c.cmd("TYPE A"), 200);
    EXPECT_EQ(c.text, "Swiching to ASCII mode");
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR t.txt"), 150);
    EXPECT_EQ(c.text, "Opening ASCII mode data connection for t.txt (26 bytes).");
    EXPECT_EQ(c.read_data(), text);
    EXPECT_EQ(c.reply(), 226);
    EXPECT_EQ(c.put("STOR u.txt", text), 226);
    EXPECT_EQ(ftpd_test_read(root / "u.txt"), text);
    ASSERT_EQ(c.cmd("TYPE I"), 200);
    EXPECT_EQ(c.text, "Swiching to Binarry mode");
    for (const char *bad : {"TYPE", "TYPE a", "TYPE A N", "TYPE L 8", "TYPE E"}) {
        EXPECT_EQ(c.cmd(bad), 500) << bad;
        EXPECT_EQ(c.text, "Unrecognised Type command");
    }
}

TEST_P(XferSlowTest, AborOrAClosedDataConnectionEndsADownload) {
    ftpd_test_write(root / "big.bin", ftpb_bytes(4 << 20));
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR big.bin"), 150);
    char buf[65536];
    ASSERT_GT(net_read(&c.data, buf, sizeof buf), 0);
    // Lower case is not ABOR: answered at once, the transfer goes on.
    EXPECT_EQ(c.cmd("abor"), 500);
    EXPECT_EQ(c.text, "Unknown command");
    ASSERT_GT(net_read(&c.data, buf, sizeof buf), 0);
    // ABOR in two pieces: the first is only a part of a line and changes nothing.
    ASSERT_TRUE(c.send_raw("AB"));
    ASSERT_GT(net_read(&c.data, buf, sizeof buf), 0);
    auto t0 = now();
    ASSERT_TRUE(c.send("OR"));
    std::string rest = c.read_data();
    EXPECT_LT(rest.size(), size_t{3} << 20);
    EXPECT_EQ(c.reply(), 426);
    EXPECT_EQ(c.text, "Transfer aborted.");
    EXPECT_EQ(c.reply(), 226);
    EXPECT_EQ(c.text, "ABOR successful");
    EXPECT_LT(since(t0), 3.0);
    // During a transfer, the Telnet interrupt with its synch byte sent as urgent data (out
    // of the stream) leaves "\xff\xf4\xff" before ABOR.
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR big.bin"), 150);
    ASSERT_GT(net_read(&c.data, buf, sizeof buf), 0);
    ASSERT_TRUE(c.send_raw("\xff\xf4\xff"));
    ASSERT_EQ(send(int(c.st.handle - 1), "\xf2", 1, MSG_OOB), 1);
    ASSERT_TRUE(c.send("ABOR"));
    (void)c.read_data();
    EXPECT_EQ(c.reply(), 426);
    EXPECT_EQ(c.reply(), 226);
    // A client closing the data connection mid-download: 426, and the session goes on.
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR big.bin"), 150);
    ASSERT_GT(net_read(&c.data, buf, 4096), 0);
    c.close_data();
    EXPECT_EQ(c.reply(), 426);
    EXPECT_EQ(c.text, "Failure writting to network stream.");
    EXPECT_EQ(c.cmd("NOOP"), 200);
}

// Clients that trickle bytes or flood lines on their control connection during a transfer
// hold up only themselves: a new client is greeted at once all the while.
TEST_P(XferSlowTest, ControlTrafficDuringTransfersStallsNoOneElse) {
    ftpd_test_write(root / "big.bin", ftpb_bytes(8 << 20));
    ftpb_client trickle, flood;
    for (ftpb_client *c : {&trickle, &flood}) {
        ASSERT_TRUE(c->open(port));
        ASSERT_TRUE(c->pasv());
        ASSERT_EQ(c->cmd("RETR big.bin"), 150);  // nobody reads the data
    }
    std::string lines;
    for (int i = 0; i < 20000; i++)
        lines += "NOOP\r\n";
    ASSERT_TRUE(flood.send_raw(lines));  // and the replies are never read
    ASSERT_TRUE(trickle.send_raw("RETR big"));
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(trickle.send_raw("A"));
        ftp_client fresh;
        ASSERT_TRUE(fresh.open(port));
        EXPECT_EQ(fresh.reply(5000), 220) << i;  // the transfers would hold it for 32 s
    }
}

TEST_P(XferSlowTest, RateLimitHoldsTheDownloadSpeed) {
    ftpd_test_write(root / "f.bin", ftpb_bytes(512 * 1024));
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    auto t0 = now();
    int code = 0;
    EXPECT_EQ(c.get("RETR f.bin", &code).size(), size_t{512 * 1024});
    EXPECT_EQ(code, 226);
    double secs = since(t0);
    EXPECT_GE(secs, 1.6);  // 2 s at 256 KiB/s, less the first block's head start
    EXPECT_LE(secs, 4.0);
}

TEST_P(XferSlowTest, FileChangingDuringDownload) {
    std::string body = ftpb_bytes(640 << 10);
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    // Deleted while sent: the open file is sent whole.
    ftpd_test_write(root / "del.bin", body);
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR del.bin"), 150);
    fs::remove(root / "del.bin");
    EXPECT_EQ(c.read_data(), body);
    EXPECT_EQ(c.reply(), 226);
    // Truncated while sent: fewer bytes than announced is a failure, not a success.
    ftpd_test_write(root / "cut.bin", body);
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR cut.bin"), 150);
    char buf[65536];
    ASSERT_GT(net_read(&c.data, buf, sizeof buf), 0);
    fs::resize_file(root / "cut.bin", 100000);
    EXPECT_LT(c.read_data().size() + 65536, body.size());
    EXPECT_EQ(c.reply(), 451);
    EXPECT_EQ(c.text, "Failure reading from local file");
    EXPECT_EQ(c.cmd("NOOP"), 200);
}

TEST_P(XferTest, StalledUploadIsAFailureAndKeepsWhatArrived) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("STOR part.bin"), 150);
    std::string head = ftpb_bytes(131072);  // two whole read blocks
    ASSERT_EQ(net_write(&c.data, head.data(), static_cast<int>(head.size())), 131072);
    auto t0 = now();
    // The data connection stays open and silent beyond the 3 s read time-out.
    EXPECT_EQ(c.reply(), 426);
    EXPECT_EQ(c.text, "Failure recving to network stream.");
    EXPECT_GE(since(t0), 2.5);
    c.close_data();
    EXPECT_EQ(ftpd_test_read(root / "part.bin"), head);
    // Resume where it stopped.
    ASSERT_EQ(c.cmd("REST 131072"), 350);
    EXPECT_EQ(c.put("STOR part.bin", "tail"), 226);
    EXPECT_EQ(ftpd_test_read(root / "part.bin"), head + "tail");
}

TEST_P(XferTest, AborDuringUploadKeepsReceivedBytes) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("STOR up.bin"), 150);
    std::string head = ftpb_bytes(70000);
    ASSERT_EQ(net_write(&c.data, head.data(), static_cast<int>(head.size())), 70000);
    // The server has read the partial block too before the ABOR comes.
    ASSERT_TRUE(ftpd_test_wait_until([&] { return ftpb_server_took_all(c.data); }, 5000));
    auto t0 = now();
    ASSERT_TRUE(c.send("ABOR"));
    EXPECT_EQ(c.reply(), 426);
    EXPECT_EQ(c.text, "Transfer aborted.");
    EXPECT_EQ(c.reply(), 226);
    EXPECT_EQ(c.text, "ABOR successful");
    EXPECT_LT(since(t0), 2.0);
    c.close_data();
    // Everything that arrived before the ABOR reached the file, the partial block too.
    EXPECT_TRUE(ftpd_test_read(root / "up.bin") == head);
    EXPECT_EQ(c.cmd("NOOP"), 200);
}

// A download to a client that does not read and an upload from one that went silent both
// end when the server stops, not at the data time-out.
TEST_P(XferStopTest, StopEndsBlockedTransfers) {
    ftpd_test_write(root / "big.bin", ftpb_bytes(16 << 20));
    ftpb_client down, up;
    ASSERT_TRUE(down.open(port));
    ASSERT_TRUE(up.open(port));
    ASSERT_TRUE(down.pasv());
    ASSERT_EQ(down.cmd("RETR big.bin"), 150);
    ASSERT_TRUE(up.pasv());
    ASSERT_EQ(up.cmd("STOR part.bin"), 150);
    ASSERT_EQ(net_write(&up.data, "some bytes", 10), 10);
    // The upload waits for more once it has read its bytes; the download fills the socket
    // buffers of a client that never reads.
    ASSERT_TRUE(ftpd_test_wait_until([&] { return ftpb_server_took_all(up.data); }, 5000));
    auto t0 = now();
    ftpd_stop(server.srv);  // keeps the root, unlike server.stop()
    server.srv = nullptr;
    EXPECT_LT(since(t0), 5.0);
    EXPECT_EQ(ftpd_test_read(root / "part.bin"), "some bytes");
}

INSTANTIATE_TEST_SUITE_P(Paths, XferTest, ::testing::Bool());
INSTANTIATE_TEST_SUITE_P(Paths, XferStopTest, ::testing::Bool());
INSTANTIATE_TEST_SUITE_P(Paths, XferSlowTest, ::testing::Bool());

TEST_P(XferTest, FullDiskDuringUploadIs451AndTheSessionGoesOn) {
    fs::path small = root / "small";
    fs::create_directory(small);
    std::string out;
    if (ftpb_sh("mount -t tmpfs -o size=1m tmpfs '" + small.string() + "'", &out) != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << out;
    struct unmount {
        fs::path p;
        ~unmount() { ftpb_sh("umount '" + p.string() + "'"); }
    } guard{small};
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("STOR small/big.bin"), 150);
    std::string body = ftpb_bytes(3 << 20);
    // The server stops reading when the disk is full; the rest of the write may fail.
    (void)net_write(&c.data, body.data(), static_cast<int>(body.size()));
    c.close_data();
    EXPECT_EQ(c.reply(), 451);
    EXPECT_EQ(c.text, "Failure reading from local file.");
    EXPECT_EQ(c.cmd("NOOP"), 200);
    // What did reach the file is a true prefix of the upload.
    std::string kept = ftpd_test_read(small / "big.bin");
    EXPECT_LT(kept.size(), body.size());
    EXPECT_TRUE(body.compare(0, kept.size(), kept) == 0);
    EXPECT_EQ(c.cmd("DELE small/big.bin"), 250);
    EXPECT_EQ(c.put("STOR small/ok.bin", "fits"), 226);
    EXPECT_EQ(ftpd_test_read(small / "ok.bin"), "fits");
}
