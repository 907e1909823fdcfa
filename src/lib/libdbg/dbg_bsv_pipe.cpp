// dbg_bsv_pipe.cpp - the binary log socket: one reader at a time receives the process's
// log records as a pcap stream. The listener queue is opened only while a reader is
// connected, so without one the log call does not build records for it.
#include "dbg_internal.h"

#include <atomic>
#include <vector>

#include "bsv.h"
#include "bsvf.h"
#include "log.h"
#include "pal.h"

enum : int { BSV_PIPE_QUEUE = 8192, BSV_FLUSH_MS = 500, BSV_IDLE_MS = 200 };

static std::string g_name;        // written before the thread starts, cleared after it ends
static os_socket_t g_sock = 0;
static os_thread *g_thread = nullptr;
static std::atomic<int> g_stop{0};
static net_stream g_client{};

static int client_write(void *arg, const void *data, int len) {
    auto *s = static_cast<net_stream *>(arg);
    return net_write(s, data, len) == len ? len : -1;
}

/// Streams records to the connected reader until it fails or the stop flag is set.
static void serve_reader(net_stream *s) {
    bsv_reader *r = bsv_open_log(BSV_PIPE_QUEUE);
    if (r == nullptr) {
        LOG2(LOG2_ERR, "bsv", "bsv_open_log failed\n");
        return;
    }
    bsvf_pcap *w = bsvf_pcap_create_stream(client_write, s, 1);
    if (w == nullptr)
        LOG2(LOG2_DBG, "bsv", "bsvf_pcap_create [%s] failed\n", g_name.c_str());
    uint64_t flushed = os_clock_ms();
    std::vector<uint8_t> rec;
    while (w != nullptr && g_stop.load() == 0) {
        if (bsv_read_raw_log(r, &rec) > 12)
            (void)bsvf_pcap_write(w, rec);
        else
            os_sleep_ms(BSV_IDLE_MS);
        if (os_clock_ms() - flushed < BSV_FLUSH_MS)
            continue;
        flushed = os_clock_ms();
        if (bsvf_pcap_flush(w) != 0) {
            LOG2(LOG2_DBG, "bsv", "bsvf_pcap_flush failed\n");
            LOG2(LOG2_DBG, "bsv", "bsvf_pcap_restart...\n");
            break;  // the next reader gets a fresh stream
        }
    }
    bsvf_pcap_close(w);
    bsv_close_log(r);
}

static int bsv_pipe_thread(void *) {
    while (g_stop.load() == 0) {
        net_stream_init(&g_client, NET_PIPE_SRV_TYPE, 0, DBG_WAIT_MS);
        if (npipe_srv_accept(g_sock, &g_client, DBG_WAIT_MS) != 0)
            continue;
        serve_reader(&g_client);
        (void)net_close(&g_client);
    }
    return 0;
}

int debug_bsv_pipe_srv_init(const char *short_name) {
    if (g_thread != nullptr)
        return 0;
    char name[256];
    (void)pal_snprintf(name, "norva_%s_%u", short_name ? short_name : "",
                       unsigned(os_thread_id()));
    g_sock = npipe_srv_open(name);
    if (g_sock == 0) {
        LOG2(LOG2_DBG, "bsv", "bsvf_pcap_create [%s] failed\n", name);
        return -1;
    }
    g_name = name;
    g_stop.store(0);
    os_thread_opts to{0, 1, 0};
    g_thread = os_thread_init("bsv_pipe_srv", bsv_pipe_thread, nullptr, 0, &to);
    if (g_thread == nullptr) {
        LOG2(LOG2_ERR, "bsv", "os_thread_init failed\n");
        npipe_srv_close(g_sock, g_name.c_str());
        g_sock = 0;
        g_name.clear();
        return -1;
    }
    return 0;
}

void debug_bsv_pipe_srv_exit() {
    if (g_thread == nullptr)
        return;
    g_stop.store(1);
    g_client.abort.store(1);
    int rc = os_thread_wait_kill_exit(g_thread, nullptr);
    if (rc != 0)
        LOG2(LOG2_DBG, "bsv", "os_thread_wait_kill_exit ret=%d error=%d\n", rc, 0);
    g_thread = nullptr;
    npipe_srv_close(g_sock, g_name.c_str());
    g_sock = 0;
    g_name.clear();
}

const char *debug_bsv_pipe_name() {
    return g_name.c_str();
}
