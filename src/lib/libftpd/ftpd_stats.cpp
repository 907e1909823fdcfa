// ftpd_stats.cpp - the FTP server's counters: sessions, refusals, data bytes, transfers by
// command and result, replies by class, passive accept time-outs. The events themselves
// move them in place (ftpd_internal.h); this file names them and reads them out.
#include "ftpd.h"

#include <cstring>

#include "ftpd_internal.h"

ftpd_counters g_ftpd_counters;

static const char *const k_protos[FTPD_PROTO_COUNT] = {"ftp", "ftps"};
static const char *const k_xcmds[FTPD_XCMD_COUNT] = {"RETR", "STOR", "APPE",
                                                     "LIST", "NLST", "MLSD"};
static const char *const k_xres[FTPD_XRES_COUNT] = {"ok", "failed", "aborted"};

const char *ftpd_proto_name(int proto) {
    return proto >= 0 && proto < FTPD_PROTO_COUNT ? k_protos[proto] : nullptr;
}

const char *ftpd_xcmd_name(int cmd) {
    return cmd >= 0 && cmd < FTPD_XCMD_COUNT ? k_xcmds[cmd] : nullptr;
}

const char *ftpd_xres_name(int result) {
    return result >= 0 && result < FTPD_XRES_COUNT ? k_xres[result] : nullptr;
}

int ftpd_count_session_begin(const ftp_session *s) {
    // Only the FTPS port makes a session TLS before its greeting.
    int proto = s->tls ? FTPD_PROTO_FTPS : FTPD_PROTO_FTP;
    ftpd_count(g_ftpd_counters.sessions_total[proto]);
    g_ftpd_counters.sessions_active[proto].fetch_add(1, std::memory_order_relaxed);
    return proto;
}

void ftpd_count_session_end(int proto) {
    g_ftpd_counters.sessions_active[proto].fetch_sub(1, std::memory_order_relaxed);
}

void ftpd_count_xfer(const char *cmd, int result) {
    if (cmd == nullptr || result < 0 || result >= FTPD_XRES_COUNT)
        return;
    for (int i = 0; i < FTPD_XCMD_COUNT; i++)
        if (strcmp(cmd, k_xcmds[i]) == 0)
            return ftpd_count(g_ftpd_counters.transfers[i][result]);
}

static uint64_t rd(const std::atomic<uint64_t> &c) {
    return c.load(std::memory_order_relaxed);
}

void ftpd_stats_get(ftpd_stats *out) {
    const ftpd_counters &c = g_ftpd_counters;
    *out = ftpd_stats{};
    for (int p = 0; p < FTPD_PROTO_COUNT; p++) {
        out->sessions_total[p] = rd(c.sessions_total[p]);
        out->sessions_active[p] = c.sessions_active[p].load(std::memory_order_relaxed);
    }
    out->refused_max_clients = rd(c.refused_max_clients);
    out->refused_max_per_ip = rd(c.refused_max_per_ip);
    out->data_bytes_sent = rd(c.bytes_sent);
    out->data_bytes_received = rd(c.bytes_received);
    for (int i = 0; i < FTPD_XCMD_COUNT; i++)
        for (int r = 0; r < FTPD_XRES_COUNT; r++)
            out->transfers[i][r] = rd(c.transfers[i][r]);
    for (int k = 0; k < 5; k++)
        out->replies[k] = rd(c.replies[k]);
    out->pasv_accept_timeouts = rd(c.pasv_accept_timeouts);
}
