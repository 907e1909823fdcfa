// file_test.cpp - commands on single files and directories and the fixed replies: their
// effects on disk, their failure replies, readonly refusals and missing arguments.
#include "ftpb_util.h"

namespace {

class FileTest : public FtpbServer {};

class FileReadonlyTest : public FtpbServer {
    void configure() override { g_ftpd_conf.readonly = 1; }
};

}  // namespace

TEST_F(FileTest, DirectoriesAndDeletion) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ftp_run_steps(c, {{"MKD new dir", 257, "\"/new dir\""},
                      {"CWD new dir", 250},
                      {"XMKD inner", 257, "\"/new dir/inner\""},
                      {"MKD inner", 550, "Create directory operation failed"},
                      {"RMD /new dir", 550, "Remove directory operation failed"},  // not empty
                      {"XRMD inner", 250, "Remove directory operation successful."}});
    EXPECT_TRUE(fs::is_directory(root / "new dir"));
    EXPECT_FALSE(fs::exists(root / "new dir" / "inner"));
    ftpd_test_write(root / "new dir" / "f", "x");
    ftp_run_steps(c, {{"DELE f", 250, "Delete operation successful."},
                      {"DELE f", 550, "Delete operation failed."},
                      // Paths cannot leave the root.
                      {"MKD ../../../escape", 257},
                      // A quote in a name is doubled in 257, so the client finds its end.
                      {"MKD /say \"hi\"", 257, "\"/say \"\"hi\"\"\""},
                      {"CWD /say \"hi\"", 250},
                      {"PWD", 257, "\"/say \"\"hi\"\"\""}});
    EXPECT_FALSE(fs::exists(root / "new dir" / "f"));
    EXPECT_TRUE(fs::is_directory(root / "escape"));
    // A path that cannot be resolved within the path limit reaches no file operation.
    std::string deep;
    while (deep.size() < 4200)
        deep += "/abcdefgh";
    for (const char *w : {"MKD ", "DELE ", "RETR ", "STOR "})
        ftp_run_steps(c, {{w + deep, 553, "File name not allowed."}});
    EXPECT_EQ(c.cmd("NOOP"), 200);
}

TEST_F(FileTest, RenameSizeAndTime) {
    ftpd_test_write(root / "a.txt", std::string(1234, 'a'));
    ASSERT_EQ(ftpb_sh("touch -d '2021-03-04 05:06:07 UTC' '" + (root / "a.txt").string() + "'"),
              0);
    fs::create_directory(root / "d");
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    ftp_run_steps(c, {{"SIZE a.txt", 213, "1234"},
                      {"SIZE d", 550, "Could not get file size."},
                      {"SIZE none", 550},
                      {"MDTM a.txt", 213, "20210304050607"},
                      {"MDTM d", 550, "Could not get file modification time."},
                      {"RNTO b.txt", 503, "RNFR required first."},
                      // A missing source: the rename fails and can be retried without a
                      // new RNFR.
                      {"RNFR missing", 350, "Ready for RNTO"},
                      {"RNTO b.txt", 503, "Rename directory operation failed"}});
    ftpd_test_write(root / "missing", "m");
    ftp_run_steps(c, {{"RNTO b.txt", 250, "Rename successful."},
                      {"RNTO c.txt", 503},  // the source was used up
                      // Rename replaces an existing target and moves into directories.
                      {"RNFR a.txt", 350},
                      {"RNTO d/b.txt", 250}});
    EXPECT_EQ(ftpd_test_read(root / "b.txt"), "m");
    EXPECT_EQ(fs::file_size(root / "d" / "b.txt"), 1234u);
}

TEST_F(FileTest, MissingArgumentsAndFixedReplies) {
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    for (const char *cmd : {"DELE", "MKD", "XMKD", "RMD", "XRMD", "RNFR", "RNTO", "SIZE", "MDTM",
                            "RETR", "STOR", "APPE"}) {
        EXPECT_EQ(c.cmd(cmd), 501) << cmd;
        EXPECT_EQ(c.text, "Syntax error in parameters or arguments.") << cmd;
    }
    EXPECT_EQ(c.cmd("SYST"), 215);
    EXPECT_EQ(c.text, "Unix Type: L8");
    EXPECT_EQ(c.cmd("noop"), 200);
    EXPECT_EQ(c.text, "NOOP ok");
    ASSERT_EQ(c.cmd("FEAT"), 211);
    std::vector<std::string> feat = {"211-Features:", " EPRT", " EPSV", " MDTM", " PASV",
                                     " REST STREAM", " SIZE", " TVFS", " UTF8", "211 End"};
    EXPECT_EQ(c.lines, feat);
    ASSERT_EQ(c.cmd("HELP me"), 214);
    std::vector<std::string> help = {
        "214-The following commands are recognized.",
        " ABOR ACCT ALLO APPE CDUP CWD  DELE EPRT EPSV FEAT HELP LIST MDTM MKD",
        " MODE NLST NOOP OPTS PASS PASV PORT PWD  QUIT REIN REST RETR RMD  RNFR",
        " RNTO SITE SIZE SMNT STAT STOR STOU STRU SYST TYPE USER XCUP XCWD XMKD",
        " XPWD XRMD",
        "214 Help OK."};
    EXPECT_EQ(c.lines, help);
    for (const char *cmd : {"OPTS UTF8 ON", "OPTS utf8 off"}) {
        EXPECT_EQ(c.cmd(cmd), 200) << cmd;
        EXPECT_EQ(c.text, "Always in UTF8 mode.");
    }
    for (const char *cmd : {"OPTS", "OPTS MLST type;", "OPTS UTF8 MAYBE"}) {
        EXPECT_EQ(c.cmd(cmd), 501) << cmd;
        EXPECT_EQ(c.text, "Option not understood.");
    }
}

TEST_F(FileReadonlyTest, ChangingCommandsAreRefused) {
    ftpd_test_write(root / "a.txt", "a");
    fs::create_directory(root / "d");
    ftpb_client c;
    ASSERT_TRUE(c.open(port));
    // Uploads are refused before any data connection.
    for (const char *cmd :
         {"MKD x", "XMKD x", "RMD d", "XRMD d", "DELE a.txt", "STOR x", "APPE x", "APPE a.txt"}) {
        EXPECT_EQ(c.cmd(cmd), 550) << cmd;
        EXPECT_EQ(c.text, "no perm.") << cmd;
    }
    EXPECT_EQ(c.cmd("RNFR a.txt"), 350);
    EXPECT_EQ(c.cmd("RNTO b.txt"), 550);
    EXPECT_EQ(c.text, "no perm.");
    EXPECT_EQ(ftpd_test_read(root / "a.txt"), "a");
    EXPECT_TRUE(fs::exists(root / "d"));
    EXPECT_FALSE(fs::exists(root / "x"));
    // Reading still works.
    EXPECT_EQ(c.cmd("SIZE a.txt"), 213);
    int code = 0;
    EXPECT_EQ(c.get("RETR a.txt", &code), "a");
}
