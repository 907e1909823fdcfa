// dbg_bsv_pipe_test.cpp - the binary log socket read by a local-socket client: a pcap
// header, then the log records as packets; a reader that stops reading stalls no logger.
#include "dbg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bsvf.h"
#include "log.h"
#include "net.h"
#include "pal.h"

namespace {
class BsvPipe : public testing::Test {
protected:
    static void SetUpTestSuite() {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        bsvf_log_init();
    }
    void SetUp() override { ASSERT_EQ(debug_bsv_pipe_srv_init("dbgtest"), 0); }
    void TearDown() override { debug_bsv_pipe_srv_exit(); }

    void open_reader(net_stream *s) {
        net_stream_init(s, NET_PIPE_CLI_TYPE, 0, 3000);
        ASSERT_EQ(npipe_cli_open(s, debug_bsv_pipe_name(), 2000), 0);
    }
};

/// Reads until want is among the bytes (or 5 s passed) while logging a marker line.
std::string read_until(net_stream *s, const std::string &want) {
    std::string got;
    uint64_t end = os_clock_ms() + 5000;
    while (got.find(want) == std::string::npos && os_clock_ms() < end) {
        LOG2(LOG2_INFO, "test", "%s\n", want.c_str());
        char buf[65536];
        int n = net_read_avail(s, buf, sizeof buf, 100);
        if (n < 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

uint32_t le32(const std::string &b, size_t at) {
    auto u = [&](size_t i) { return uint32_t(uint8_t(b[at + i])); };
    return u(0) | u(1) << 8 | u(2) << 16 | u(3) << 24;
}
}  // namespace

TEST_F(BsvPipe, NameCarriesProgramAndThread) {
    EXPECT_EQ(std::string(debug_bsv_pipe_name()),
              "norva_dbgtest_" + std::to_string(unsigned(os_thread_id())));
}

TEST_F(BsvPipe, ReaderGetsACaptureOfTheLog) {
    net_stream s{};
    open_reader(&s);
    std::string got = read_until(&s, "marker one");
    ASSERT_GE(got.size(), 24u + 16);
    EXPECT_EQ(le32(got, 0), 0xa1b2c3d4u);
    EXPECT_EQ(le32(got, 20), 147u);
    EXPECT_NE(got.find("marker one"), std::string::npos);
    uint32_t caplen = le32(got, 24 + 8);
    EXPECT_EQ(le32(got, 24 + 12), caplen);
    (void)net_close(&s);
}

TEST_F(BsvPipe, StalledReaderBlocksNoLogger) {
    net_stream s{};
    open_reader(&s);
    std::string head = read_until(&s, "started");
    ASSERT_FALSE(head.empty());
    // The reader stops reading; the loggers go on at full speed.
    std::string pad(1000, 'p');
    uint64_t start = os_clock_ms();
    for (int i = 0; i < 20000; i++)
        LOG2(LOG2_INFO, "test", "%s %d\n", pad.c_str(), i);
    EXPECT_LT(os_clock_ms() - start, 20000u);  // no write ever waited for the reader
    (void)net_close(&s);
    net_stream t{};
    open_reader(&t);
    std::string fresh = read_until(&t, "next reader");
    ASSERT_GE(fresh.size(), 24u);
    EXPECT_EQ(le32(fresh, 0), 0xa1b2c3d4u);  // a new stream starts with its header
    (void)net_close(&t);
}
