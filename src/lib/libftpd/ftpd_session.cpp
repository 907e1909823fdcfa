// ftpd_session.cpp - one control session from greeting to close: set-up (addresses, TLS,
// the session's file system), the command loop with its idle and login time-outs, and the
// few commands that belong to the session itself.
#include <cstring>

#include "ftpd_internal.h"
#include "ftpd_reply.h"
#include "log.h"
#include "nvtd_version.h"
#include "ssl.h"

#define FTPD_NAME "nvtd"

// ---------------------------------------------------------------------------------------
// Commands of the session itself.

int do_quit(ftp_session *s) {
    (void)ftp_relply(s, 221, FTP_T_GOODBYE);
    s->quit = 1;
    return 0;
}

int do_abor(ftp_session *s) {
    (void)ftp_relply(s, 225, FTP_T_ABOR_NONE);
    return 0;
}

// STRU and MODE: only the file structure and the stream mode exist here.
static int ftp_only_value(ftp_session *s, const char *value, const char *ok_text) {
    if (!s->arg || !*s->arg)
        return ftp_relply(s, 501, FTP_T_SYNTAX_ARGS), 0;
    if (pal_iequals(s->arg, value))
        return ftp_relply(s, 200, "%s", ok_text), 0;
    (void)ftp_relply(s, 504, FTP_T_PARAM_NOT_IMPL);
    return 0;
}

int do_stru(ftp_session *s) {
    return ftp_only_value(s, "F", FTP_T_STRU_F);
}

int do_mode(ftp_session *s) {
    return ftp_only_value(s, "S", FTP_T_MODE_S);
}

int do_site(ftp_session *s) {
    (void)ftpd_test_fault(s);
    (void)ftp_relply(s, 500, FTP_T_SITE_UNKNOWN);
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

// The handshake runs on this session's worker with one deadline, the data read
// time-out, so a client that never finishes it holds up nobody else.
static int ftpd_srv_tls(ftp_session *s) {
    if (ftp_tls_handshake(&s->conn.stream, g_ftpd_conf.read_timeout_ms) != 0) {
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
        (void)ftp_relply(s, 421, FTP_T_NOT_AVAILABLE);
        return -1;
    }
    return 0;
}

// Returns 0 when the session may greet its client.
static int ftpd_srv_init(ftp_session *s) {
    if (ftpd_srv_addrs(s) != 0)
        return -1;
    int counted = ftpd_ip_enter(s->peer_addr);
    if (counted < 0) {
        LOG2(LOG2_DBG, "ftpd", "max_per_ip=%d [%s]\n", g_ftpd_conf.max_per_ip, s->peer_addr);
        (void)ftp_relply(s, 421, FTP_T_TOO_MANY_PER_IP);
        ftpd_count(g_ftpd_counters.refused_max_per_ip);
        return -1;
    }
    s->ip_counted = counted;
    if (s->tls && ftpd_srv_tls(s) != 0)
        return -1;
    s->conn.stream.timeout_ms = g_ftpd_conf.ctrl_poll_timeout_ms > 0
                                    ? g_ftpd_conf.ctrl_poll_timeout_ms : 2000;
    s->dc.stream.timeout_ms = g_ftpd_conf.read_timeout_ms;
    if (ftpd_srv_mount(s) != 0)
        return -1;
    // The transfer buffer comes with the first transfer or listing (ftp_xfer_buf), so an
    // idle session holds none.
    (void)pal_strlcpy(s->cdir, "/");
    s->last_activity_ms = int64_t(os_clock_ms());
    return 0;
}

static void ftpd_srv_exit(ftp_session *s) {
    if (s->ip_counted)
        ftpd_ip_leave(s->peer_addr);
    data_close(s);
    ftp_xfer_buf_free(s);
    if (s->mount)
        (void)vfs_umount(s->mount);
    s->mount = nullptr;
}

// True when the session has been without a whole command line for the idle time-out, or
// has not logged in within the login time-out; the client hears why before the close.
static bool ftpd_srv_expired(ftp_session *s) {
    int64_t now = int64_t(os_clock_ms());
    int64_t login = g_ftpd_conf.login_timeout_ms;
    if (!s->logged_in && login > 0 && now - s->start_ms >= login) {
        LOG2(LOG2_DBG, "ftpd", "login timeout [%s]\n", s->peer_addr);
        (void)ftp_relply(s, 421, FTP_T_LOGIN_TIMEOUT);
        return true;
    }
    int64_t idle = g_ftpd_conf.idle_timeout_ms;
    if (idle <= 0 || now - s->last_activity_ms < idle)
        return false;
    LOG2(LOG2_DBG, "ftpd", "idle session timeout\n");
    (void)ftp_relply(s, 421, FTP_T_IDLE_TIMEOUT);
    return true;
}

static void ftpd_srv_loop(ftp_session *s) {
    for (;;) {
        int n = ftp_ctrl_gets(s, s->conn.stream.timeout_ms);
        if (n < 0) {
            LOG2(LOG2_DBG, "ftpd", "net_gets failed\n");
            return;
        }
        if (n == 0) {
            if (ftpd_srv_expired(s))
                return;
            continue;
        }
        ftp_dispatch(s);
        s->last_activity_ms = int64_t(os_clock_ms());
        if (s->quit || s->in.broken)
            return;
        if (ftpd_srv_expired(s))
            return;
    }
}

void ftpd_srv(ftp_session *s) {
    s->start_ms = int64_t(os_clock_ms());
    if (ftpd_srv_init(s) == 0) {
        int proto = ftpd_count_session_begin(s);
        (void)ftp_relply(s, 220, FTP_T_GREETING, FTPD_NAME, NVTD_VERSION);
        ftpd_srv_loop(s);
        ftpd_count_session_end(proto);
    }
    ftpd_srv_exit(s);
}
