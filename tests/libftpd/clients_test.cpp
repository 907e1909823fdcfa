// clients_test.cpp - real FTP clients against the in-process server: curl (listing,
// download, upload, resumed transfers, active and passive, IPv4 and IPv6), lftp (mirror a
// tree down and up, compared byte for byte) and Python's ftplib (every command and its
// failure replies). Every subprocess is bounded by "timeout".
#include "ftpb_util.h"

namespace {

/// Listens on IPv4 and, when the host has it, IPv6 loopback.
class ClientsTest : public FtpbServer {
    void configure() override {
        g_ftpd_conf.ftp_addr = os_has_ipv6() ? "127.0.0.1,::1" : "127.0.0.1";
        g_ftpd_conf.read_bs = 1 << 20;
        g_ftpd_conf.write_bs = 1 << 20;
    }
};

class ClientsSlowTest : public FtpbServer {
    void configure() override { g_ftpd_conf.download_max_rate = 1 << 20; }
};

class ClientsReadonlyTest : public FtpbServer {
    void configure() override { g_ftpd_conf.readonly = 1; }
};

fs::path scratch(const char *tag) {
    fs::path p = fs::temp_directory_path() /
                 (std::string("nvtd_ftpb_cli_") + tag + "_" + std::to_string(os_getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

std::string q(const fs::path &p) { return "'" + p.string() + "'"; }

/// Runs curl with args against base (a URL prefix); returns its exit status.
int curl(const std::string &args, std::string *out = nullptr) {
    return ftpb_sh("timeout 60 curl -sS --max-time 50 " + args, out);
}

}  // namespace

TEST_F(ClientsTest, CurlTransfersInEveryModeAndFamily) {
    fs::path tmp = scratch("curl");
    std::string body = ftpb_bytes(3 * (1 << 20) + 5, 11);
    ftpb_write_file(root / "file.bin", body);
    ftpb_write_file(tmp / "up.bin", body);
    struct mode {
        std::string base, opts, name;
    };
    std::vector<mode> modes = {
        {"ftp://127.0.0.1:" + std::to_string(port), "", "epsv4"},
        {"ftp://127.0.0.1:" + std::to_string(port), "--disable-epsv", "pasv4"},
        {"ftp://127.0.0.1:" + std::to_string(port), "-P 127.0.0.1", "eprt4"},
        {"ftp://127.0.0.1:" + std::to_string(port), "-P 127.0.0.1 --disable-eprt", "port4"},
    };
    if (os_has_ipv6()) {
        modes.push_back({"ftp://[::1]:" + std::to_string(port), "", "epsv6"});
        modes.push_back({"ftp://[::1]:" + std::to_string(port), "-P ::1", "eprt6"});
    }
    for (const auto &m : modes) {
        std::string out;
        // Listing.
        ASSERT_EQ(curl(m.opts + " " + m.base + "/", &out), 0) << m.name << out;
        EXPECT_NE(out.find(" 3145733  "), std::string::npos) << m.name << out;
        EXPECT_NE(out.find(" file.bin\n"), std::string::npos) << m.name << out;
        // Download and upload.
        fs::path got = tmp / ("got_" + m.name);
        ASSERT_EQ(curl(m.opts + " -o " + q(got) + " " + m.base + "/file.bin", &out), 0)
            << m.name << out;
        EXPECT_TRUE(ftpb_read_file(got) == body) << m.name;
        std::string target = "up_" + m.name + ".bin";
        ASSERT_EQ(curl(m.opts + " -T " + q(tmp / "up.bin") + " " + m.base + "/" + target, &out),
                  0)
            << m.name << out;
        EXPECT_TRUE(ftpb_read_file(root / target) == body) << m.name;
        // Resumed download: the local file holds a head already.
        fs::path part = tmp / ("part_" + m.name);
        ftpb_write_file(part, body.substr(0, 1000000));
        ASSERT_EQ(curl(m.opts + " -C - -o " + q(part) + " " + m.base + "/file.bin", &out), 0)
            << m.name << out;
        EXPECT_TRUE(ftpb_read_file(part) == body) << m.name;
        // Resumed upload: the server holds a head already.
        ftpb_write_file(root / target, body.substr(0, 777777));
        ASSERT_EQ(curl(m.opts + " -C - -T " + q(tmp / "up.bin") + " " + m.base + "/" + target,
                       &out),
                  0)
            << m.name << out;
        EXPECT_TRUE(ftpb_read_file(root / target) == body) << m.name;
    }
    fs::remove_all(tmp);
}

TEST_F(ClientsTest, LftpMirrorsATreeDownAndUp) {
    fs::path tmp = scratch("lftp");
    struct entry {
        std::string name;
        size_t size;
    };
    std::vector<entry> files = {
        {"empty", 0},           {"one byte", 1},        {"page minus one", 4095},
        {"page.bin", 4096},     {"two MiB plus one", (2u << 20) + 1},
        {"fifty MiB.bin", 50u << 20},
        {"grüße/日本語 ファイル.txt", 4097},
    };
    fs::create_directories(root / "src" / "grüße");
    unsigned seed = 1;
    for (const auto &f : files)
        ftpb_write_file(root / "src" / f.name, ftpb_bytes(f.size, seed++));
    std::string lftp = "timeout 100 lftp -c \"set net:max-retries 1; set net:timeout 20; "
                       "set ftp:ssl-allow no; set ftp:use-site-utime no; "
                       "set ftp:use-site-utime2 no; set ftp:use-mfmt no; "
                       "set cmd:fail-exit yes; open -u anonymous,x ftp://127.0.0.1:" +
                       std::to_string(port) + "; ";
    std::string out;
    ASSERT_EQ(ftpb_sh(lftp + "mirror /src " + q(tmp / "down") + "\"", &out), 0) << out;
    ASSERT_EQ(ftpb_sh(lftp + "mirror -R --no-perms " + q(tmp / "down") + " /up\"", &out), 0)
        << out;
    for (const auto &f : files) {
        std::string want = ftpb_read_file(root / "src" / f.name);
        ASSERT_EQ(want.size(), f.size);
        EXPECT_TRUE(ftpb_read_file(tmp / "down" / f.name) == want) << "down " << f.name;
        EXPECT_TRUE(ftpb_read_file(root / "up" / f.name) == want) << "up " << f.name;
        EXPECT_EQ(fs::file_size(root / "up" / f.name), f.size) << f.name;
    }
    fs::remove_all(tmp);
}

static void run_ftplib(const fs::path &root, int port, const char *mode) {
    fs::path script = fs::path(__FILE__).parent_path() / "ftplib_session.py";
    std::string out;
    int rc = ftpb_sh("timeout 60 python3 " + q(script) + " 127.0.0.1 " + std::to_string(port) +
                         " " + q(root) + " " + mode,
                     &out);
    EXPECT_EQ(rc, 0) << out;
}

TEST_F(ClientsSlowTest, FtplibEveryCommandAndFailureReply) { run_ftplib(root, port, "rw"); }

TEST_F(ClientsReadonlyTest, FtplibReadonlyRefusals) { run_ftplib(root, port, "ro"); }
