// login_test.cpp - USER and PASS against anonymous and configured credentials, the lockout
// text as a client gets it, the login file, and moving through the tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "ftpd_test_util.h"

namespace {

class FtpdLogin : public ::testing::Test {
protected:
    ftpd_test_server server;
    ftp_client c;
    std::string logdir;

    void TearDown() override { ftpd_test_rmtree(logdir); }

    void start_user(int fail_limit = 3) {
        logdir = ftpd_test_tmpdir("login");
        ASSERT_TRUE(server.start([&](ftpd_conf &cf) {
            cf.user = "alice";
            cf.passwd = "s3cret";
            cf.login_fail_count = fail_limit;
            cf.login_fail_wait_m = 1;
            cf.login_file = logdir + "/login.log";
        }));
    }
    void connect(ftp_client &cl, const char *src = nullptr) {
        ASSERT_TRUE(cl.open(server.port, src));
        ASSERT_EQ(cl.reply(), 220);
    }
    std::string login_file() { return ftpd_test_read(logdir + "/login.log"); }
};

TEST_F(FtpdLogin, ConfiguredUserPasswordsOddNamesAndANewUser) {
    start_user();
    connect(c);
    EXPECT_EQ(c.cmd("USER anonymous"), 530);
    EXPECT_EQ(c.login("alice", "s3cret"), 230);
    ftp_client e;
    connect(e);
    EXPECT_EQ(e.login("alice", "S3CRET"), 530);
    EXPECT_EQ(e.last, "530 Wrong user or password");
    EXPECT_EQ(e.cmd("PWD"), 530);  // still logged out
    // Odd names are refused and the session goes on.
    for (const char *name : {"%s%n%x", "alice\x01", "\xff\xfe", "al ice", "ALICE", " alice", ":"}) {
        EXPECT_EQ(e.cmd(std::string("USER ") + name), 530) << name;
        EXPECT_EQ(e.last, "530 Login incorrect");
    }
    EXPECT_EQ(e.login("alice", "s3cret"), 230);
    // USER starts a new login.
    EXPECT_EQ(e.cmd("USER alice"), 331);
    EXPECT_EQ(e.cmd("PWD"), 530);
    EXPECT_EQ(e.cmd("PASS s3cret"), 230);
    EXPECT_EQ(e.cmd("PWD"), 257);
}

TEST_F(FtpdLogin, PassBeforeUserAndUserWithoutNameFailAsWrongUser) {
    start_user();
    connect(c);
    EXPECT_EQ(c.cmd("PASS s3cret"), 530);
    EXPECT_EQ(c.last, "530 Wrong user or password");
    EXPECT_EQ(c.cmd("USER"), 331);
    EXPECT_EQ(c.cmd("PASS s3cret"), 530);
    // Two failures counted: one more locks this address.
    EXPECT_EQ(c.login("alice", "bad"), 530);
    EXPECT_EQ(c.login("alice", "s3cret"), 530);
    EXPECT_EQ(c.last.rfind("530 Login failed 3 times, Please try again in ", 0), 0u) << c.last;
}

TEST_F(FtpdLogin, LoginFileHasOneLinePerAttempt) {
    start_user();
    connect(c, "127.0.0.3");
    EXPECT_EQ(c.login("alice", "wrong"), 530);
    EXPECT_EQ(c.login("alice", "s3cret"), 230);
    std::string log = login_file();
    std::istringstream in(log);
    std::string l1, l2, extra;
    ASSERT_TRUE(std::getline(in, l1));
    ASSERT_TRUE(std::getline(in, l2));
    EXPECT_FALSE(std::getline(in, extra));
    // "YYYY-MM-DD hh:mm:ss " then the tab-separated fields.
    ASSERT_GT(l1.size(), 20u);
    EXPECT_EQ(l1[4], '-');
    EXPECT_EQ(l1[19], ' ');
    EXPECT_EQ(l1.substr(20), "\twarn\talice\tlogin\tlogin failed form 127.0.0.3");
    EXPECT_EQ(l2.substr(20), "\tinfo\talice\tlogin\tlogin from 127.0.0.3");
    EXPECT_EQ(log.find("wrong"), std::string::npos);  // never the password
}

TEST_F(FtpdLogin, AnonymousLoginThenCwdCdupPwdMoveInsideTheRoot) {
    ASSERT_TRUE(server.start());
    std::filesystem::create_directories(server.root + "/a/b");
    ftpd_test_write(server.root + "/a/file.txt", "x");
    connect(c);
    ftp_run_steps(c, {// Anonymous: only that name, any password.
                      {"USER bob", 530, "Login incorrect"},
                      {"USER anonymous", 331, "Please specify the password"},
                      {"PASS whatever@example", 230, "Login successful"},
                      {"PWD", 257, "\"/\""},
                      {"CWD a", 250, "Directory successfully changed."},
                      {"XCWD b", 250},
                      {"XPWD", 257, "\"/a/b\""},
                      {"CDUP", 250},
                      {"PWD", 257, "\"/a\""},
                      {"CWD file.txt", 550, "Failured to change directory."},  // no directory
                      {"CWD /missing", 550},
                      {"CWD", 550},
                      {"PWD", 257, "\"/a\""},
                      {"XCUP", 250},
                      {"CDUP", 250},  // ".." of "/" stays "/"
                      {"CWD ../../..", 250},
                      {"PWD", 257, "\"/\""},
                      {"CWD /a/b", 250},
                      {"PWD", 257, "\"/a/b\""}});
}

}  // namespace
