// conf_test.cpp - the FTP server's settings table: defaults, the reader with its bounds and
// units, and the dump lines.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "conf.h"
#include "ftpd.h"

namespace {

struct conf_deleter {
    void operator()(conf_handle *h) const { conf_free(h); }
};
using conf_ptr = std::unique_ptr<conf_handle, conf_deleter>;

/// Reads text into g_ftpd_conf over fresh defaults.
void read_text(const std::string &text, void (*check)(const ftpd_setting &) = nullptr) {
    ftpd_settings_defaults(ftpd_settings());
    conf_ptr h(conf_load_str(text.c_str()));
    ASSERT_NE(h, nullptr);
    ftpd_settings_read(ftpd_settings(), h.get(), check);
}

std::string dump_part(unsigned part) {
    std::string out;
    ftpd_settings_dump(ftpd_settings(), part, &out);
    return out;
}

class FtpdSettings : public ::testing::Test {
protected:
    void TearDown() override { g_ftpd_conf = ftpd_conf{}; }
};

TEST_F(FtpdSettings, SessionsPerAddressAndLoginDeadlineReadClampAndDump) {
    ftpd_settings_defaults(ftpd_settings());
    EXPECT_EQ(g_ftpd_conf.max_per_ip, 0);
    EXPECT_EQ(g_ftpd_conf.login_timeout_ms, 0);

    read_text("[nvtd]\nmax_per_ip = 4\nlogin_timeout = 7\n");
    EXPECT_EQ(g_ftpd_conf.max_per_ip, 4);
    EXPECT_EQ(g_ftpd_conf.login_timeout_ms, 7000);  // seconds in the file
    std::string login = dump_part(FTPD_DUMP_LOGIN);
    EXPECT_EQ(login.substr(login.find("ftpd_login_fail_wait_m=")),
              "ftpd_login_fail_wait_m=15\nftpd_max_per_ip=4\nftpd_login_timeout=7000\n"
              "ftpd_extensions=0\nftpd_ftps_required=0\nftpd_ftps_data_reuse=0\n");

    read_text("[nvtd]\nmax_per_ip = -3\nlogin_timeout = -2\n");
    EXPECT_EQ(g_ftpd_conf.max_per_ip, 0);
    EXPECT_EQ(g_ftpd_conf.login_timeout_ms, 0);

    // A deadline too long for milliseconds in 32 bits is cut, not wrapped.
    read_text("[nvtd]\nlogin_timeout = 3000000\n");
    EXPECT_EQ(g_ftpd_conf.login_timeout_ms, 2147483647);
}

TEST_F(FtpdSettings, AbsentKeysGiveTheDefaults) {
    ftpd_settings_defaults(ftpd_settings());
    std::string defaults = dump_part(FTPD_DUMP_SERVER) + dump_part(FTPD_DUMP_LOGIN);
    EXPECT_EQ(g_ftpd_conf.read_timeout_ms, 5000);
    EXPECT_EQ(g_ftpd_conf.idle_timeout_ms, 600000);
    EXPECT_EQ(g_ftpd_conf.write_bs, 2097152);
    EXPECT_EQ(g_ftpd_conf.port_connect_timeout_ms, 3000);
    EXPECT_EQ(g_ftpd_conf.pasv_accept_wait_ms, 3000);
    EXPECT_EQ(g_ftpd_conf.ctrl_poll_timeout_ms, 2000);

    // An empty file leaves every keyed setting at its default and the fixed values alone.
    g_ftpd_conf.port_connect_timeout_ms = 1234;
    conf_ptr h(conf_load_str("[nvtd]\n"));
    ASSERT_NE(h, nullptr);
    ftpd_settings_read(ftpd_settings(), h.get(), nullptr);
    EXPECT_EQ(dump_part(FTPD_DUMP_SERVER) + dump_part(FTPD_DUMP_LOGIN), defaults);
    EXPECT_EQ(g_ftpd_conf.port_connect_timeout_ms, 1234);

    read_text("[nvtd]\nbs = 64k\n");
    EXPECT_EQ(g_ftpd_conf.read_bs, 65536);
    EXPECT_EQ(g_ftpd_conf.write_bs, 65536);  // one block size for both directions
}

// Each key's bounds: the value the dump shows after reading one line.
TEST_F(FtpdSettings, ValuesAreClampedToTheirBounds) {
    const char *const max = "2147483647";
    const struct {
        const char *line, *dumped, *value;
    } cases[] = {
        {"[nvtd]\nread_timeout = 1", "ftpd_read_timeout", "3000"},
        {"[nvtd]\nread_timeout = -5", "ftpd_read_timeout", "3000"},
        {"[nvtd]\nread_timeout = 99999999", "ftpd_read_timeout", max},
        {"[nvtd]\nidle_session_timeout = 0", "ftpd_idle_session_timeout", "15000"},
        {"[nvtd]\nidle_session_timeout = 15", "ftpd_idle_session_timeout", "15000"},
        {"[nvtd]\nidle_session_timeout = 16", "ftpd_idle_session_timeout", "16000"},
        {"[nvtd]\nbs = 1K", "ftpd_read_bs", "4096"},
        {"[nvtd]\nbs = 4M", "ftpd_read_bs", "4194304"},
        {"[nvtd]\nbs = 100G", "ftpd_read_bs", max},
        {"[nvtd]\nbs = -5", "ftpd_read_bs", "4096"},
        {"[nvtd]\nupload_max_rate = -5", "ftpd_upload_max_rate", "0"},
        {"[nvtd]\nupload_max_rate = 8G", "ftpd_upload_max_rate", max},
        {"[nvtd]\ndownload_max_rate = 2147483648", "ftpd_download_max_rate", max},
        {"[login]\nlogin_file_size = 1T", "ftpd_login_file_size", max},
        {"[login]\nlogin_fail_wait_m = 0", "ftpd_login_fail_wait_m", "1"},
        {"[login]\nlogin_fail_wait_m = -7", "ftpd_login_fail_wait_m", "1"},
        {"[login]\nlogin_fail_count = -3", "ftpd_login_fail_count", "0"},
        {"[login]\nlogin_fail_count = 0", "ftpd_login_fail_count", "0"},
    };
    for (const auto &c : cases) {
        read_text(std::string(c.line) + "\n");
        std::string dump = "\n" + dump_part(FTPD_DUMP_SERVER) + dump_part(FTPD_DUMP_LOGIN);
        std::string want = "\n" + std::string(c.dumped) + "=" + c.value + "\n";
        EXPECT_NE(dump.find(want), std::string::npos) << c.line << " -> " << dump;
    }
    // A number beyond 64 bits still gives a sane 32-bit block size.
    read_text("[nvtd]\nbs = 99999999999999999999999\n");
    EXPECT_GE(g_ftpd_conf.read_bs, 4096);
}

std::vector<std::string> g_checked;

TEST_F(FtpdSettings, CredentialCheckSeesUserThenPasswordAsStored) {
    g_checked.clear();
    read_text("[nvtd]\nuser = alice\npasswd = 'a b'\nftp_root = /srv\n",
              [](const ftpd_setting &row) {
                  g_checked.push_back(std::string(row.key) + "=" +
                                      *static_cast<const std::string *>(row.field));
              });
    EXPECT_EQ(g_checked, (std::vector<std::string>{"nvtd:user=alice", "nvtd:passwd=a b"}));
    std::string server = dump_part(FTPD_DUMP_SERVER);
    EXPECT_NE(server.find("ftpd_login_passwd='a b'\n"), std::string::npos);  // quoted
    EXPECT_NE(server.find("ftp_server_addr=''\n"), std::string::npos);
}

}  // namespace
