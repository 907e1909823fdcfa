// ftpd_session.cpp - one control session from greeting to close: set-up (addresses, TLS,
// the session's file system), the read loop with its idle time-out, the reply helpers,
// the ABOR watch during transfers and the few commands that belong to the session itself.
#include <cstdarg>
#include <cstring>

#include "ftpd_internal.h"
#include "log.h"
#include "ssl.h"

#define FTPD_NAME "nvtd"
#define FTPD_VERSION "1.0.0.0"

// ---------------------------------------------------------------------------------------
// Replies.

static int ftp_send_fmt(ftp_session *s, const char *lead, const char *fmt, va_list ap) {
    char buf[FTP_LINE_SIZE];
    int n = pal_strlcpy(buf, lead);
    if (n < 0)
        return -1;
    bool cut = false;
    n += pal_vsnprintf(std::span<char>(buf + n, sizeof buf - size_t(n) - 2), fmt, ap, &cut);
    buf[n++] = '\r';
    buf[n++] = '\n';
    int rc = net_write(&s->conn.stream, buf, n);
    LOG2(LOG2_VERB, "ftpd", "eno=%d [%.*s]\n", rc, n - 2, buf);
    return rc;
}

int ftp_relply(ftp_session *s, int code, const char *fmt, ...) {
    char lead[16];
    (void)pal_snprintf(lead, "%d ", code);
    va_list ap;
    va_start(ap, fmt);
    int rc = ftp_send_fmt(s, lead, fmt, ap);
    va_end(ap);
    return rc;
}

int ftp_lrelply(ftp_session *s, int code, const char *fmt, ...) {
    char lead[16];
    (void)pal_snprintf(lead, "%d-", code);
    va_list ap;
    va_start(ap, fmt);
    int rc = ftp_send_fmt(s, lead, fmt, ap);
    va_end(ap);
    return rc;
}

int ftp_reply_line(ftp_session *s, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = ftp_send_fmt(s, " ", fmt, ap);
    va_end(ap);
    return rc;
}

// ---------------------------------------------------------------------------------------
// ABOR while a transfer runs: the event thread reads the control connection.

// Runs on the event thread. The worker does not touch the control stream while the watch
// is in place, so reading it here is safe; the line goes into a buffer of its own because
// the command word and argument of the running transfer point into s->line.
static int cmd_events_handle(os_socket_t, unsigned, void *arg) {
    auto *s = static_cast<ftp_session *>(arg);
    char buf[FTP_LINE_SIZE];
    // A short wait: the event thread serves every listener and session.
    int saved = s->conn.stream.timeout_ms;
    s->conn.stream.timeout_ms = 1000;
    int n = net_gets(&s->conn.stream, buf, sizeof buf);
    s->conn.stream.timeout_ms = saved;
    if (n < 0) {
        LOG2(LOG2_ERR, "ftpd", "net_gets failed\n");
        return -1;  // the watch ends; the worker sees the closed connection later
    }
    if (n == 0)
        return 0;
    size_t len = strnlen(buf, sizeof buf);
    while (len > 0 && pal_isspace(buf[len - 1]))
        buf[--len] = '\0';
    if (strcmp(buf, "ABOR") == 0 || strcmp(buf, "\xff\xf4\xff\xf2" "ABOR") == 0) {
        s->abort.store(1);
        return 0;
    }
    (void)ftp_relply(s, 500, "Unknown command");
    return 0;
}

void cmd_event_add(ftp_session *s) {
    if (s->event)
        return;
    s->event = sock_insert_event_proc(s->conn.stream.handle, cmd_events_handle, s);
    if (!s->event)
        LOG2(LOG2_ERR, "ftpd", "sock_insert_event_proc failed\n");
}

void cmd_event_del(ftp_session *s) {
    if (!s->event)
        return;
    (void)sock_del_event_proc(s->event);
    s->event = nullptr;
}

void abor_reply(ftp_session *s) {
    if (s->abort.load() != 1)
        return;
    s->abort.store(0);
    (void)ftp_relply(s, 226, "ABOR successful");
}

// ---------------------------------------------------------------------------------------
// Commands of the session itself.

int do_quit(ftp_session *s) {
    (void)ftp_relply(s, 221, "Goodbye.");
    s->quit = 1;
    return 0;
}

int do_abor(ftp_session *s) {
    (void)ftp_relply(s, 225, "No transfer to ABOR.");
    return 0;
}

// STRU and MODE: only the file structure and the stream mode exist here.
static int ftp_only_value(ftp_session *s, const char *value, const char *ok_text) {
    if (!s->arg || !*s->arg)
        return ftp_relply(s, 501, "Syntax error in parameters or arguments."), 0;
    if (pal_iequals(s->arg, value))
        return ftp_relply(s, 200, "%s", ok_text), 0;
    (void)ftp_relply(s, 504, "Command not implemented for that parameter.");
    return 0;
}

int do_stru(ftp_session *s) {
    return ftp_only_value(s, "F", "Structure set to F.");
}

int do_mode(ftp_session *s) {
    return ftp_only_value(s, "S", "Mode set to S.");
}

int do_site(ftp_session *s) {
    (void)ftpd_test_fault(s);
    (void)ftp_relply(s, 500, "Unknown SITE command.");
    return 0;
}

// ---------------------------------------------------------------------------------------
// Set-up, loop, teardown.

static void ftp_addr_text(const os_sockaddr *sa, char *out, size_t size) {
    (void)os_ipaddr_cstr(sa, false, std::span<char>(out, size));
}

// Addresses of both ends and whether the connection came in on the FTPS port.
static int ftpd_srv_addrs(ftp_session *s) {
    os_socket_t h = s->conn.stream.handle;
    if (!os_socket_local(h, &s->local_sa) || !os_socket_peer(h, &s->peer_sa)) {
        LOG2(int{LOG2_DBG} | LOG2_F_OSERR, "ftpd", "socket address error: ");
        return -1;
    }
    ftp_addr_text(&s->local_sa, s->local_addr, sizeof s->local_addr);
    ftp_addr_text(&s->peer_sa, s->peer_addr, sizeof s->peer_addr);
    int ftps = g_ftpd_conf.ftps_port;
    if (ftps > 1 && s->local_sa.port == ftps && ftpd_tls_conf()) {
        LOG2(LOG2_DBG, "ftpd", "addr.port=%d ssl...\n", ftps);
        s->tls = 1;
    }
    return 0;
}

// The handshake runs on this session's worker, bounded by the data read time-out, so a
// client that never finishes it holds up nobody else.
static int ftpd_srv_tls(ftp_session *s) {
    s->conn.stream.timeout_ms = g_ftpd_conf.read_timeout_ms > 0 ? g_ftpd_conf.read_timeout_ms
                                                                 : 5000;
    ssl_session *tls = ssl_srv_new(&s->conn.stream, ftpd_tls_conf());
    if (!tls) {
        LOG2(LOG2_DBG, "ftpd", "ssl_srv_new failed\n");
        return -1;
    }
    return 0;
}

static int ftpd_srv_mount(ftp_session *s) {
    const std::string &root = g_ftpd_conf.ftp_root;
    vfs_err err{};
    s->mount = vfs_mount2(root.empty() ? "/" : root.c_str(), &err);
    if (!s->mount) {
        LOG2(LOG2_ERR, "ftpd", "vfs_mount fail\n");
        (void)ftp_relply(s, 421, "Service not available.");
        return -1;
    }
    return 0;
}

// Returns 0 when the session may greet its client.
static int ftpd_srv_init(ftp_session *s) {
    if (ftpd_srv_addrs(s) != 0)
        return -1;
    if (s->tls && ftpd_srv_tls(s) != 0)
        return -1;
    s->conn.stream.timeout_ms = g_ftpd_conf.ctrl_poll_timeout_ms > 0
                                    ? g_ftpd_conf.ctrl_poll_timeout_ms : 2000;
    s->data.timeout_ms = g_ftpd_conf.read_timeout_ms;
    if (ftpd_srv_mount(s) != 0)
        return -1;
    // The transfer buffer comes with the first transfer or listing (ftp_xfer_buf), so an
    // idle session holds none.
    (void)pal_strlcpy(s->cdir, "/");
    s->last_activity_ms = int64_t(os_clock_ms());
    return 0;
}

static void ftpd_srv_exit(ftp_session *s) {
    cmd_event_del(s);
    data_close(s);
    ftp_xfer_buf_free(s);
    if (s->mount)
        (void)vfs_umount(s->mount);
    s->mount = nullptr;
}

// True when the session has been silent for the idle time-out.
static bool ftpd_srv_idle(ftp_session *s) {
    int64_t idle = g_ftpd_conf.idle_timeout_ms;
    if (idle <= 0 || int64_t(os_clock_ms()) - s->last_activity_ms < idle)
        return false;
    LOG2(LOG2_DBG, "ftpd", "idle session timeout\n");
    (void)ftp_relply(s, 421, "Timeout.");
    return true;
}

static void ftpd_srv_loop(ftp_session *s) {
    for (;;) {
        int n = net_gets(&s->conn.stream, s->line, sizeof s->line);
        if (n < 0) {
            LOG2(LOG2_DBG, "ftpd", "net_gets failed\n");
            return;
        }
        if (n == 0) {
            if (ftpd_srv_idle(s))
                return;
            continue;
        }
        ftp_dispatch(s);
        s->last_activity_ms = int64_t(os_clock_ms());
        if (s->quit)
            return;
    }
}

void ftpd_srv(ftp_session *s) {
    if (ftpd_srv_init(s) == 0) {
        (void)ftp_relply(s, 220, "(%s %s)", FTPD_NAME, FTPD_VERSION);
        ftpd_srv_loop(s);
    }
    ftpd_srv_exit(s);
}
