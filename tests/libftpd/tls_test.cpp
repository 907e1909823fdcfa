// tls_test.cpp - FTPS as clients use it with the extensions on: AUTH TLS on the plain port,
// PBSZ and PROT, transfers and listings over TLS data connections; and the same words
// unknown with the extensions off.
#include <unistd.h>

#include "ftpb_util.h"
#include "ssl.h"

namespace {

class FtpsExt : public FtpbServer {
protected:
    static std::string dir;
    static void SetUpTestSuite() {
        dir = ftpd_test_tmpdir("tlsext");
        ASSERT_EQ(ssl_create_key_x509_file((dir + "/k.der").c_str(), (dir + "/c.pem").c_str()),
                  0);
    }
    static void TearDownTestSuite() { ftpd_test_rmtree(dir); }
    void configure() override {
        g_ftpd_conf.ftp_extensions = 1;
        g_ftpd_conf.crt_file = dir + "/c.pem";
        g_ftpd_conf.key_file = dir + "/k.der";
    }

    /// Connects, AUTH TLS, handshake, PBSZ 0, PROT P, anonymous login.
    bool open_protected(ftpb_client &c) {
        return c.ftp_client::open(port) && c.reply() == 220 && c.cmd("AUTH TLS") == 234 &&
               c.start_tls() && c.cmd("PBSZ 0") == 200 && c.cmd("PROT P") == 200 &&
               c.login("anonymous", "x") == 230;
    }
};
std::string FtpsExt::dir;

class FtpExtOff : public FtpbServer {};

class FtpsReuse : public FtpsExt {
    void configure() override {
        FtpsExt::configure();
        g_ftpd_conf.ftps_data_reuse = 1;
    }
};

class FtpsRequired : public FtpsExt {
    void configure() override {
        FtpsExt::configure();
        g_ftpd_conf.ftps_required = 1;
    }
};

/// Sends cmd on a PASV data connection that speaks TLS once the 150 reply came.
std::string protected_get(ftpb_client &c, const std::string &cmd, int *code) {
    if (!c.pasv() || c.cmd(cmd) != 150)
        return "<no 150>";
    c.data.timeout_ms = 5000;
    if (ssl_cli_connect(&c.data) == nullptr)
        return "<no TLS>";
    std::string got = c.read_data();
    *code = c.reply();
    return got;
}

}  // namespace

TEST_F(FtpsExt, AuthTlsThenProtectedTransfersAndListings) {
    std::string body = ftpb_bytes(300000);
    ftpd_test_write(root / "f.bin", body);
    ftpb_client c;
    ASSERT_TRUE(c.ftp_client::open(port));
    ASSERT_EQ(c.reply(), 220);
    ASSERT_EQ(c.cmd("FEAT"), 211);
    EXPECT_NE(c.last.find("\n AUTH TLS\n"), std::string::npos) << c.last;
    EXPECT_NE(c.last.find("\n PBSZ\n PROT\n"), std::string::npos) << c.last;
    EXPECT_EQ(c.cmd("PBSZ 0"), 503);  // only on a TLS control connection
    EXPECT_EQ(c.cmd("PROT P"), 503);
    EXPECT_EQ(c.cmd("AUTH KERBEROS"), 504);
    ASSERT_EQ(c.cmd("AUTH TLS"), 234);
    ASSERT_TRUE(c.start_tls());
    EXPECT_EQ(c.cmd("AUTH TLS"), 503);  // a second AUTH
    EXPECT_EQ(c.cmd("PROT P"), 503);    // PBSZ first
    EXPECT_EQ(c.text, "PBSZ required first.");
    EXPECT_EQ(c.cmd("PBSZ 123456789012345678901234567890"), 200);
    EXPECT_EQ(c.cmd("PBSZ x"), 501);
    EXPECT_EQ(c.cmd("PROT S"), 536);
    EXPECT_EQ(c.cmd("PROT Q"), 504);
    ASSERT_EQ(c.cmd("PROT P"), 200);
    ASSERT_EQ(c.login("anonymous", "x"), 230);
    int code = 0;
    EXPECT_EQ(protected_get(c, "RETR f.bin", &code), body);
    EXPECT_EQ(code, 226);
    EXPECT_EQ(protected_get(c, "NLST", &code), "f.bin\r\n");
    EXPECT_EQ(code, 226);
    // Upload through TLS: the file holds exactly what was sent.
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("STOR up.bin"), 150);
    ASSERT_NE(ssl_cli_connect(&c.data), nullptr);
    ASSERT_EQ(net_write(&c.data, body.data(), int(body.size())), int(body.size()));
    c.close_data();
    EXPECT_EQ(c.reply(), 226);
    EXPECT_EQ(ftpd_test_read(root / "up.bin"), body);
    // A client that does not start TLS after PROT P gets 425, and the session goes on.
    ASSERT_TRUE(c.pasv());
    ASSERT_EQ(c.cmd("RETR f.bin"), 150);
    ASSERT_TRUE(net_write(&c.data, "plain bytes\r\n", 13) == 13);
    c.close_data();
    EXPECT_EQ(c.reply(), 425);
    EXPECT_EQ(c.text, "TLS handshake on the data connection failed.");
    ASSERT_EQ(c.cmd("PROT C"), 200);
    EXPECT_EQ(c.get("RETR f.bin", &code), body);
    EXPECT_EQ(c.cmd("AUTH TLS"), 503);  // after login
}

TEST_F(FtpsRequired, PlainUserIsRefusedUntilAuth) {
    ftpb_client c;
    ASSERT_TRUE(c.ftp_client::open(port));
    ASSERT_EQ(c.reply(), 220);
    EXPECT_EQ(c.cmd("USER anonymous"), 530);
    EXPECT_EQ(c.text, "This server requires AUTH TLS before USER (nvtd:ftps_required).");
    ASSERT_EQ(c.cmd("AUTH TLS"), 234);
    ASSERT_TRUE(c.start_tls());
    EXPECT_EQ(c.login("anonymous", "x"), 230);
}

// With the extensions off, nothing changes: the words are unknown and FEAT is as before.
TEST_F(FtpExtOff, ExtensionWordsStayUnknown) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    for (const char *w : {"AUTH TLS", "PBSZ 0", "PROT P", "MLST", "MLSD", "MFMT 20200101000000 x"}) {
        EXPECT_EQ(c.cmd(w), 500) << w;
        EXPECT_EQ(c.text, "Bad command") << w;
    }
    EXPECT_EQ(c.cmd("OPTS MLST type;"), 501);
    ASSERT_EQ(c.cmd("FEAT"), 211);
    EXPECT_EQ(c.last, "211-Features:\n EPRT\n EPSV\n MDTM\n PASV\n REST STREAM\n SIZE\n TVFS\n"
                      " UTF8\n211 End");
}

TEST_F(FtpsExt, MachineListingsAndModificationTimes) {
    fs::create_directory(root / "d");
    ftpd_test_write(root / "d" / "a b.txt", "12345");
    ftpd_test_write(root / "d" / " lead", "");
    fs::create_directory(root / "d" / "sub");
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ASSERT_EQ(c.cmd("FEAT"), 211);
    EXPECT_NE(c.last.find("\n MLST type*;size*;modify*;perm*;unique*;\n"), std::string::npos);
    EXPECT_NE(c.last.find("\n MFMT\n"), std::string::npos);
    // MFMT sets the time MLST then reports; impossible dates are refused.
    EXPECT_EQ(c.cmd("MFMT 20210304050607 d/a b.txt"), 213);
    EXPECT_EQ(c.text, "Modify=20210304050607; d/a b.txt");
    for (const char *bad : {"MFMT 20211304050607 d/a b.txt", "MFMT 00000101000000 d/a b.txt",
                            "MFMT 20210229000000 d/a b.txt", "MFMT 2021 d/a b.txt",
                            "MFMT 1234567890123456789012345678901234567890 d/a b.txt"})
        EXPECT_EQ(c.cmd(bad), 501) << bad;
    EXPECT_EQ(c.cmd("MFMT 20210304050607 d/none"), 550);
    ASSERT_EQ(c.cmd("MLST d/a b.txt"), 250);
    ASSERT_EQ(c.lines.size(), 3u);
    EXPECT_EQ(c.lines[1].rfind(" type=file;size=5;modify=20210304050607;perm=adfrw;unique=", 0),
              0u) << c.lines[1];
    EXPECT_EQ(c.lines[1].substr(c.lines[1].size() - 12), "; /d/a b.txt");
    EXPECT_EQ(c.cmd("MLST ../../.."), 250);  // confined: the root itself
    EXPECT_NE(c.last.find("; /\n"), std::string::npos) << c.last;
    EXPECT_EQ(c.cmd("MLST nothere"), 550);
    int code = 0;
    std::string l = c.get("MLSD d", &code);
    EXPECT_EQ(code, 226);
    EXPECT_NE(l.find("type=cdir;"), std::string::npos) << l;
    EXPECT_NE(l.find("type=pdir;"), std::string::npos) << l;
    EXPECT_EQ(c.get("MLSD /", &code).find("type=pdir;"), std::string::npos);
    EXPECT_NE(l.find(";  lead\r\n"), std::string::npos) << l;  // leading blank kept
    EXPECT_NE(l.find("type=dir;"), std::string::npos);
    EXPECT_NE(l.find("; sub\r\n"), std::string::npos);
    EXPECT_EQ(c.cmd("MLSD d/a b.txt"), 501);
    EXPECT_EQ(c.cmd("MLSD d/none"), 550);
    // OPTS MLST chooses the facts, in the server's order; unknown ones are dropped.
    ASSERT_EQ(c.cmd("OPTS MLST size;type;bogus;"), 200);
    EXPECT_EQ(c.text, "MLST OPTS type;size;");
    ASSERT_EQ(c.cmd("MLST d/a b.txt"), 250);
    EXPECT_EQ(c.lines[1], " type=file;size=5; /d/a b.txt");
    ASSERT_EQ(c.cmd("FEAT"), 211);
    EXPECT_NE(c.last.find("\n MLST type*;size*;modify;perm;unique;\n"), std::string::npos);
    // LIST in the layout of ls -l: the real mode bits, numeric owner, size right-aligned.
    fs::permissions(root / "d" / "a b.txt", fs::perms(0640));
    std::string list = c.get("LIST d", &code);
    std::string want = pal_format("-rw-r-----   1 %-8u %-8u        5 ", unsigned(getuid()),
                                  unsigned(getgid()));
    EXPECT_NE(list.find(want), std::string::npos) << list;
    EXPECT_NE(list.find("drwx"), std::string::npos) << list;
}

// A data connection that does not resume the control connection's session is refused when
// resumption is required (this client makes a fresh session for each connection).
TEST_F(FtpsReuse, FreshDataSessionIsRefused) {
    ftpd_test_write(root / "f", "x");
    ftpb_client c;
    ASSERT_TRUE(open_protected(c));
    int code = 0;
    EXPECT_EQ(protected_get(c, "RETR f", &code), "");
    EXPECT_EQ(code, 425);
    EXPECT_EQ(c.text, "The data connection must resume the control connection's TLS session "
                      "(nvtd:ftps_data_reuse).");
    EXPECT_EQ(c.cmd("NOOP"), 200);
}

// AUTH TLS followed by plain text ends only that session; a long OPTS MLST line and a
// 30-digit PBSZ get clear replies.
TEST_F(FtpsExt, GarbageAfterAuthEndsOnlyThatSession) {
    ftpb_client bad;
    ASSERT_TRUE(bad.ftp_client::open(port));
    ASSERT_EQ(bad.reply(), 220);
    ASSERT_EQ(bad.cmd("AUTH TLS"), 234);
    ASSERT_TRUE(bad.send("USER anonymous"));
    EXPECT_TRUE(bad.wait_closed(8000));
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    std::string many;
    for (int i = 0; i < 1500; i++)
        many += "size;";
    EXPECT_EQ(c.cmd("OPTS MLST " + many), 200);
    EXPECT_EQ(c.text, "MLST OPTS size;");
    EXPECT_EQ(c.cmd("PBSZ " + std::string(30, '9')), 503);  // not on a clear connection
}
