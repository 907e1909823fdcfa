// bsvf_log.cpp - the binary record writer inside every log call: builds the "log" record
// only when something takes it (a capture file, the UDP stream for flagged events, a
// listener), so a log call without binary sinks costs three relaxed loads.
#include "bsvf.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bsv.h"
#include "bsvf_internal.h"
#include "log.h"
#include "pal.h"
#include "pal_url.h"

enum : int { UDP_OFF = 0, UDP_OPENING = 1, UDP_OPEN = 2 };

static std::mutex g_file_lock;  // the capture file
static bsvf_pcap *g_file = nullptr;
static std::string g_file_path;
static uint64_t g_file_checked = 0;  // when the file's existence was last checked
static std::atomic<bool> g_file_on{false};

static std::mutex g_udp_lock;  // the stream's settings, socket and held-back frame
static std::atomic<int> g_udp_state{UDP_OFF};
static int g_udp_fd = -1;
static bool g_udp_encrypt = false;
static std::string g_udp_host;
static int g_udp_port = 514;
static std::vector<uint8_t> g_udp_held;
static os_thread *g_udp_thread = nullptr;

static void udp_send(std::span<const uint8_t> rec) {
    std::vector<uint8_t> frame;
    std::scoped_lock lock(g_udp_lock);
    frame = bsv_frame_build(bsv_frame_self(), 1, rec, g_udp_encrypt);
    if (frame.empty())
        return;
    if (g_udp_state.load() == UDP_OPENING) {
        if (g_udp_held.empty())
            g_udp_held = std::move(frame);  // the first frame waits for the socket
        return;
    }
    if (g_udp_fd >= 0)
        (void)bsvf_udp_send(g_udp_fd, frame.data(), frame.size());
}

/// Writes rec into the capture file; a file deleted meanwhile is made again (checked once
/// a second), an unwritable one drops the record.
static void file_write(std::span<const uint8_t> rec) {
    std::scoped_lock lock(g_file_lock);
    uint64_t now = os_clock_ms();
    if (now - g_file_checked >= 1000) {
        g_file_checked = now;
        if (!os_file_exists(g_file_path.c_str())) {
            bsvf_pcap_close(g_file);
            g_file = bsvf_pcap_create_imp(g_file_path.c_str(), true, 1);
        }
    }
    if (g_file == nullptr)
        return;
    if (bsvf_pcap_write(g_file, rec) != 0 || bsvf_pcap_flush(g_file) != 0)
        LOG2(LOG2_DBG, "bsv", "capture write failed\n");
    (void)bsvf_pcap_cap(g_file, log2_file_size_cap());
}

static void bsv_log_writer(int level, const char *tag, const char *file, int line,
                           const char *func, const char *msg, int len) {
    bool udp = (level & (LOG2_F_BSV | LOG2_F_BSV_ONLY)) != 0 &&
               g_udp_state.load(std::memory_order_relaxed) != UDP_OFF;
    bool cap = g_file_on.load(std::memory_order_relaxed);
    bool lis = bsv_log_has_listeners();
    if (!udp && !cap && !lis)
        return;
    using namespace std::chrono;
    auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    char tname[300];
    (void)os_thread_name_get(os_thread_id(), tname);
    uint8_t buf[BSV_LOG_REC_MAX];
    int n = bsv_log_record(buf, uint64_t(us / 1000000), uint32_t(us % 1000000), level, tag,
                           tname, file, line, func, msg, len);
    std::span<const uint8_t> rec(buf, size_t(n));
    if (udp)
        udp_send(rec);
    if (cap)
        file_write(rec);
    if (lis)
        (void)bsv_log_publish(rec);
}

int bsvf_log_file_open(const char *path, bool append) {
    std::scoped_lock lock(g_file_lock);
    bsvf_pcap_close(g_file);
    g_file = bsvf_pcap_create_imp(path, append, 1);
    g_file_on.store(g_file != nullptr);
    if (g_file == nullptr) {
        std::fprintf(stderr, "bsvf_pcap_file %s err\n", path);
        return -1;
    }
    g_file_path = path;
    g_file_checked = os_clock_ms();
    return 0;
}

void bsvf_log_file_close() {
    std::scoped_lock lock(g_file_lock);
    g_file_on.store(false);
    bsvf_pcap_close(g_file);
    g_file = nullptr;
}

static int udp_opener(void *) {
    std::string host;
    int port;
    {
        std::scoped_lock lock(g_udp_lock);
        host = g_udp_host;
        port = g_udp_port;
    }
    int fd = bsvf_udp_open(host.c_str(), port);
    if (fd < 0)
        LOG2(LOG2_DBG, "bsv", "os_udp_open %s:%d failed\n", host.c_str(), port);
    std::scoped_lock lock(g_udp_lock);
    g_udp_fd = fd;
    if (fd >= 0 && !g_udp_held.empty())
        (void)bsvf_udp_send(fd, g_udp_held.data(), g_udp_held.size());
    g_udp_held.clear();
    g_udp_state.store(fd >= 0 ? UDP_OPEN : UDP_OFF);
    return 0;
}

int bsvf_log_udp_open(const char *url) {
    char buf[URL_BUF_SIZE];
    url_t u;
    bool parsed = url != nullptr && url_parser(&u, buf, url) == 0;
    if (!parsed || u.host == nullptr || u.host[0] == '\0') {
        LOG2(LOG2_DBG, "bsv", "url_parser%s failed\n", url ? url : "");
        return -1;
    }
    bsvf_log_udp_close();
    {
        std::scoped_lock lock(g_udp_lock);
        g_udp_host = u.host;
        g_udp_port = u.port != 0 ? u.port : 514;
        g_udp_encrypt = u.scheme != nullptr && pal_iequals(u.scheme, "udps");
        g_udp_state.store(UDP_OPENING);
    }
    os_thread_opts to{0, 1, 0};
    os_thread *t = os_thread_init("bsvnet", udp_opener, nullptr, 0, &to);
    std::scoped_lock lock(g_udp_lock);
    g_udp_thread = t;
    if (t == nullptr)
        g_udp_state.store(UDP_OFF);
    return 0;
}

void bsvf_log_udp_close() {
    os_thread *t;
    {
        std::scoped_lock lock(g_udp_lock);
        t = g_udp_thread;
        g_udp_thread = nullptr;
    }
    if (t != nullptr)
        (void)os_thread_wait_kill_exit(t, nullptr);
    std::scoped_lock lock(g_udp_lock);
    g_udp_state.store(UDP_OFF);
    bsvf_udp_close(g_udp_fd);
    g_udp_fd = -1;
    g_udp_held.clear();
}

void bsvf_log_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        (void)bsv_reg_log();
        log2_bsv_sinks s{.file_open = bsvf_log_file_open,
                         .file_close = bsvf_log_file_close,
                         .udp_open = bsvf_log_udp_open,
                         .udp_close = bsvf_log_udp_close};
        log2_set_bsv_sinks(&s);
        log2_set_bsv_hook(bsv_log_writer);
    });
}
