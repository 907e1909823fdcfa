// bsvf_test.cpp - capture files read back byte by byte and by tshark, the log call's
// capture file, and the UDP stream received on a loopback socket.
#include "bsvf.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bsv.h"
#include "log.h"
#include "pal.h"

namespace fs = std::filesystem;

namespace {
class Bsvf : public testing::Test {
protected:
    static void SetUpTestSuite() {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        bsvf_log_init();
    }
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("bsvf_" + std::to_string(os_getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const char *name) { return (dir_ / name).string(); }
    fs::path dir_;
};

std::vector<uint8_t> bytes_of(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

/// A record of len bytes with time sec.usec.
std::vector<uint8_t> rec_of(size_t len, uint32_t sec, uint32_t usec) {
    std::vector<uint8_t> r(len, 0xAB);
    for (int i = 0; i < 8; i++)
        r[size_t(i)] = uint8_t(uint64_t(sec) >> (8 * i));
    for (int i = 0; i < 4; i++)
        r[size_t(8 + i)] = uint8_t(usec >> (8 * i));
    return r;
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

/// Output of a shell command (tshark, capinfos).
std::string run(const std::string &cmd) {
    std::string out;
    if (std::FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

bool have_tshark() {
    return run("command -v tshark").find("tshark") != std::string::npos;
}
}  // namespace

TEST_F(Bsvf, HeaderOfANativeFile) {
    bsvf_pcap *h = bsvf_pcap_create_imp(path("a.pcap").c_str(), false, 1);
    ASSERT_NE(h, nullptr);
    bsvf_pcap_close(h);
    std::vector<uint8_t> b = bytes_of(path("a.pcap"));
    ASSERT_EQ(b.size(), 24u);
    EXPECT_EQ(le32(b, 0), 0xa1b2c3d4u);
    EXPECT_EQ(b[4] | b[5] << 8, 2);
    EXPECT_EQ(b[6] | b[7] << 8, 4);
    EXPECT_EQ(le32(b, 16), 65536u);
    EXPECT_EQ(le32(b, 20), 147u);
}

TEST_F(Bsvf, SwappedFileIsBigEndian) {
    bsvf_pcap *h = bsvf_pcap_create_imp(path("b.pcap").c_str(), false, 2);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> rec(30, 0);
    rec[7] = 5;  // sec = 5, big-endian
    rec[11] = 9;  // usec = 9
    ASSERT_EQ(bsvf_pcap_write(h, rec), 0);
    bsvf_pcap_close(h);
    std::vector<uint8_t> b = bytes_of(path("b.pcap"));
    ASSERT_EQ(b.size(), 24u + 16 + 18);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 4),
              (std::vector<uint8_t>{0xa1, 0xb2, 0xc3, 0xd4}));
    EXPECT_EQ(b[23], 148);
    EXPECT_EQ(b[27], 5);
    EXPECT_EQ(b[31], 9);
    EXPECT_EQ(b[35], 18);
}

TEST_F(Bsvf, BadTypeIsRefused) {
    EXPECT_EQ(bsvf_pcap_create_imp(path("c.pcap").c_str(), false, 16), nullptr);
    EXPECT_EQ(bsvf_pcap_create_imp(path("c.pcap").c_str(), false, 0), nullptr);
}

TEST_F(Bsvf, RecordOf30BytesIsPacketOf18) {
    bsvf_pcap *h = bsvf_pcap_create_imp(path("p.pcap").c_str(), false, 1);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> rec = rec_of(30, 1700000001, 250000);
    ASSERT_EQ(bsvf_pcap_write(h, rec), 0);
    bsvf_pcap_close(h);
    std::vector<uint8_t> b = bytes_of(path("p.pcap"));
    ASSERT_EQ(b.size(), 24u + 16 + 18);
    EXPECT_EQ(le32(b, 24), 1700000001u);
    EXPECT_EQ(le32(b, 28), 250000u);
    EXPECT_EQ(le32(b, 32), 18u);
    EXPECT_EQ(le32(b, 36), 18u);
    EXPECT_TRUE(std::equal(rec.begin() + 12, rec.end(), b.begin() + 40));
}

TEST_F(Bsvf, AppendAddsNoSecondHeader) {
    for (int i = 0; i < 2; i++) {
        bsvf_pcap *h = bsvf_pcap_create_imp(path("ap.pcap").c_str(), true, 1);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(bsvf_pcap_write(h, rec_of(20, 1, 0)), 0);
        bsvf_pcap_close(h);
    }
    EXPECT_EQ(bytes_of(path("ap.pcap")).size(), 24u + 2 * (16 + 8));
}

TEST_F(Bsvf, CapKeepsTheNewerHalfAtAPacketBoundary) {
    bsvf_pcap *h = bsvf_pcap_create_imp(path("cap.pcap").c_str(), false, 1);
    ASSERT_NE(h, nullptr);
    for (uint32_t i = 0; i < 100; i++) {  // packets of 16 + 88 bytes
        ASSERT_EQ(bsvf_pcap_write(h, rec_of(100, i, 0)), 0);
        ASSERT_EQ(bsvf_pcap_cap(h, 4096), 0);
    }
    bsvf_pcap_close(h);
    std::vector<uint8_t> b = bytes_of(path("cap.pcap"));
    EXPECT_LT(b.size(), 4096u);
    EXPECT_EQ(le32(b, 0), 0xa1b2c3d4u);
    EXPECT_EQ((b.size() - 24) % 104, 0u);
    EXPECT_EQ(le32(b, 24 + (b.size() - 24 - 104)), 99u);  // the newest packet is last
}

TEST_F(Bsvf, TsharkReadsTheCapture) {
    if (!have_tshark())
        GTEST_SKIP() << "tshark is not installed (scripts/deps)";
    bsvf_pcap *h = bsvf_pcap_create_imp(path("t.pcap").c_str(), false, 1);
    ASSERT_NE(h, nullptr);
    for (uint32_t i = 0; i < 5; i++)
        ASSERT_EQ(bsvf_pcap_write(h, rec_of(40, 1700000000 + i, 1000 * i)), 0);
    bsvf_pcap_close(h);
    std::string out = run("tshark -r " + path("t.pcap") + " -T fields -e frame.time_epoch");
    EXPECT_EQ(out, "1700000000.000000000\n1700000001.001000000\n1700000002.002000000\n"
                   "1700000003.003000000\n1700000004.004000000\n");
    std::string info = run("capinfos -E -c " + path("t.pcap"));
    EXPECT_NE(info.find("File encapsulation:  USER 0\n"), std::string::npos) << info;  // 147
    EXPECT_NE(info.find("Number of packets:   5\n"), std::string::npos) << info;
}

// ---------------------------------------------------------------------------------------
// The log call's capture file.

TEST_F(Bsvf, LogFileNamedPcapGetsRecords) {
    std::string p = path("log.pcap");
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_FILE, p.c_str()), 0);
    log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 1);
    for (int i = 0; i < 3; i++)
        LOG2(LOG2_INFO, "test", "record %d\n", i);
    LOG2(LOG2_INFO, "bsv", "a sink's own line is no record\n");
    log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 0);
    bsvf_log_file_close();
    std::vector<uint8_t> b = bytes_of(p);
    ASSERT_GT(b.size(), 24u);
    std::string text(b.begin(), b.end());
    EXPECT_NE(text.find("record 2\n"), std::string::npos);
    EXPECT_EQ(text.find("own line"), std::string::npos);
    if (have_tshark()) {
        EXPECT_EQ(run("tshark -r " + p + " | wc -l"), "3\n");
    }
}

TEST_F(Bsvf, DeletedCaptureFileIsMadeAgain) {
    std::string p = path("del.pcap");
    ASSERT_EQ(bsvf_log_file_open(p.c_str(), false), 0);
    LOG2(LOG2_INFO, "test", "before\n");
    fs::remove(p);
    uint64_t end = os_clock_ms() + 5000;
    while (!fs::exists(p) && os_clock_ms() < end) {
        LOG2(LOG2_INFO, "test", "after\n");
        os_sleep_ms(50);
    }
    bsvf_log_file_close();
    std::vector<uint8_t> b = bytes_of(p);
    ASSERT_GT(b.size(), 24u);
    EXPECT_EQ(le32(b, 0), 0xa1b2c3d4u);  // a new header
}

TEST_F(Bsvf, VanishedDirectoryDoesNotStopLogging) {
    fs::create_directories(dir_ / "sub");
    std::string p = (dir_ / "sub" / "x.pcap").string();
    ASSERT_EQ(bsvf_log_file_open(p.c_str(), false), 0);
    fs::remove_all(dir_ / "sub");
    uint64_t end = os_clock_ms() + 1500;
    while (os_clock_ms() < end)
        LOG2(LOG2_INFO, "test", "into nothing\n");
    bsvf_log_file_close();
    EXPECT_FALSE(fs::exists(p));
}

// ---------------------------------------------------------------------------------------
// The UDP stream.

namespace {
struct udp_rx {
    int fd = -1;
    int port = 0;
    udp_rx() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        (void)getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        timeval tv{0, 200000};
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~udp_rx() { close(fd); }
    /// The first datagram within 5 s while log() keeps logging.
    std::vector<uint8_t> take(void (*log)()) {
        uint64_t end = os_clock_ms() + 5000;
        while (os_clock_ms() < end) {
            log();
            uint8_t buf[2048];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0)
                return std::vector<uint8_t>(buf, buf + n);
        }
        return {};
    }
};
void log_flagged() {
    LOG2(int{LOG2_INFO} | LOG2_F_BSV, "test", "over udp\n");
}
}  // namespace

TEST_F(Bsvf, UdpFramesCarryFlaggedEvents) {
    udp_rx rx;
    std::string url = "udp://127.0.0.1:" + std::to_string(rx.port);
    ASSERT_EQ(bsvf_log_udp_open(url.c_str()), 0);
    std::vector<uint8_t> f = rx.take(log_flagged);
    bsvf_log_udp_close();
    ASSERT_GT(f.size(), 42u);
    EXPECT_EQ(f[3], 0x02);
    EXPECT_EQ(f[4] | f[5] << 8, int(f.size()));
    EXPECT_EQ(bsv_crc8(std::span<const uint8_t>(f).subspan(3, f.size() - 4)), f.back());
    EXPECT_NE(std::string(f.begin(), f.end()).find("over udp"), std::string::npos);
}

TEST_F(Bsvf, BsvlogSettingOpensTheStream) {
    udp_rx rx;
    std::string url = "udp://127.0.0.1:" + std::to_string(rx.port);
    ASSERT_EQ(log2_ioctl(nullptr, LOG2_IOC_BSV_URL, url.c_str()), 0);
    EXPECT_NE(log2_settings_dump().find("log_bsvlog_url=" + url + "\n"), std::string::npos);
    std::vector<uint8_t> f = rx.take(log_flagged);
    bsvf_log_udp_close();
    ASSERT_GT(f.size(), 42u);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 3), "bsv");
}

TEST_F(Bsvf, UdpsFramesAreUnreadableWithoutTheKey) {
    udp_rx rx;
    std::string url = "udps://127.0.0.1:" + std::to_string(rx.port);
    ASSERT_EQ(bsvf_log_udp_open(url.c_str()), 0);
    std::vector<uint8_t> f = rx.take(log_flagged);
    bsvf_log_udp_close();
    ASSERT_GT(f.size(), 42u);
    EXPECT_EQ(f[3], 0x06);
    EXPECT_EQ(std::string(f.begin(), f.end()).find("over udp"), std::string::npos);
    bsv_rc4(bsv_frame_key(), std::span<uint8_t>(f).subspan(4));
    EXPECT_EQ(bsv_crc8(std::span<const uint8_t>(f).subspan(3, f.size() - 4)), f.back());
    EXPECT_NE(std::string(f.begin(), f.end()).find("over udp"), std::string::npos);
}

TEST_F(Bsvf, UnflaggedEventsAreNotSent) {
    udp_rx rx;
    std::string url = "udp://127.0.0.1:" + std::to_string(rx.port);
    ASSERT_EQ(bsvf_log_udp_open(url.c_str()), 0);
    std::vector<uint8_t> f = rx.take([] { LOG2(LOG2_INFO, "test", "text only\n"); });
    bsvf_log_udp_close();
    EXPECT_TRUE(f.empty());
}

TEST_F(Bsvf, MissingDestinationsDoNotDisturbLogging) {
    ASSERT_EQ(bsvf_log_udp_open("udp://127.0.0.1:1"), 0);  // nothing listens
    for (int i = 0; i < 200; i++)
        LOG2(int{LOG2_INFO} | LOG2_F_BSV, "test", "lost %d\n", i);
    bsvf_log_udp_close();
    ASSERT_EQ(bsvf_log_udp_open("udp://no-such-host.invalid:9"), 0);
    for (int i = 0; i < 200; i++)
        LOG2(int{LOG2_INFO} | LOG2_F_BSV, "test", "lost %d\n", i);
    bsvf_log_udp_close();
    EXPECT_EQ(bsvf_log_udp_open("udp://"), -1);  // no host
}
