// ftpd_start.cpp - start and stop of the FTP service: the defaults, the worker pool, the
// FTP and FTPS listeners and the admission of each accepted connection.
#include "ftpd.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "ftpd_internal.h"
#include "ftpd_reply.h"
#include "libpwd.h"
#include "log.h"
#include "ssl.h"

ftpd_conf g_ftpd_conf;

struct ftpd_server {
    sock_ctx_pool *pool;
    sock_srv *ftp;
    sock_srv *ftps;
};

static ssl_conf *g_ftpd_tls;  // server configuration of the FTPS listener, or null

const ssl_conf *ftpd_tls_conf() {
    return g_ftpd_tls;
}

void ftpd_lib_init() {
    g_ftpd_conf = ftpd_conf{};
    ftpd_settings_defaults(ftpd_settings());
    ftp_cmd_map_init();
}

// Erases a text's bytes before its memory goes back to the allocator.
static void ftpd_wipe(std::string *s) {
    volatile char *p = s->data();
    for (size_t i = 0; i < s->size(); i++)
        p[i] = 0;
    s->clear();
    s->shrink_to_fit();
}

void ftpd_lib_exit() {
    ftpd_wipe(&g_ftpd_conf.passwd);
    g_ftpd_conf = ftpd_conf{};
    if (g_ftpd_tls) {
        ssl_srv_conf_free(g_ftpd_tls);
        g_ftpd_tls = nullptr;
    }
    ftp_cmd_map_exit();
}

// The kernel's own limit of pending connections, so that a burst of hundreds of connects
// waits in the queue rather than being refused while the event thread accepts.
static int ftpd_backlog() {
    std::string text;
    if (os_read_file("/proc/sys/net/core/somaxconn", &text) == 0) {
        int n = pal_atoi(text);
        if (n > 0)
            return n;
    }
    return 4096;
}

// Refuses a connection beyond the client limit: the client hears why before the close.
static void ftpd_refuse(os_socket_t s) {
    static const char msg[] = "421 " FTP_T_TOO_MANY_USERS "\r\n";
    (void)os_socket_send(s, msg, sizeof msg - 1);
    sock_tcp_close(s);
}

static int accept_proc(os_socket_t new_sock, const os_sockaddr *, void *arg) {
    auto *srv = static_cast<ftpd_server *>(arg);
    int max = g_ftpd_conf.max_clients;
    if (max > 0 && sock_tcp_ctx_count(srv->pool) >= max) {
        LOG2(LOG2_DBG, "ftpd", "max_clients=%d close new_sock\n", max);
        ftpd_count(g_ftpd_counters.refused_max_clients);
        ftpd_refuse(new_sock);
        return -1;
    }
    if (!sock_tcp_ctx_open(srv->pool, new_sock)) {
        LOG2(LOG2_ERR, "ftpd", " malloc_ctx error\n");
        sock_tcp_close(new_sock);
        return -1;
    }
    return 0;
}

// Live sessions per client address, for "nvtd:max_per_ip".
static std::mutex g_ip_lock;
static std::unordered_map<std::string, int> g_ip_sessions;

int ftpd_ip_enter(const char *addr) {
    int max = g_ftpd_conf.max_per_ip;
    if (max <= 0)
        return 0;
    std::scoped_lock g(g_ip_lock);
    int &n = g_ip_sessions[addr];
    if (n >= max)
        return -1;
    n++;
    return 1;
}

void ftpd_ip_leave(const char *addr) {
    std::scoped_lock g(g_ip_lock);
    auto it = g_ip_sessions.find(addr);
    if (it != g_ip_sessions.end() && --it->second <= 0)
        g_ip_sessions.erase(it);
}

static int ftpd_srv_thread(sock_ctx *c) {
    LOG2(LOG2_DBG, "ftpd", "==>\n");
    auto *s = reinterpret_cast<ftp_session *>(c);
    sock_ctx_pool *pool = c->pool;
    ftpd_srv(s);
    sock_tcp_ctx_close(pool, c);  // the record is gone after this
    LOG2(LOG2_DBG, "ftpd", "<==\n");
    return 0;
}

// Anonymous, writable and the whole file system: legal, but rarely what anyone wants.
static void ftpd_warn_open(const ftpd_conf &c) {
    if (!c.user.empty() || c.readonly || !c.ftp_root.empty())
        return;
    LOG2(LOG2_WARN, "ftpd", "anonymous users may read and write the whole file system: set "
         "nvtd:user and nvtd:passwd, nvtd:readonly = 1 or nvtd:ftp_root to close it\n");
}

static void ftpd_conf_fill() {
    ftpd_conf &c = g_ftpd_conf;
    ftpd_warn_open(c);
    if (c.crt_file.empty())
        c.crt_file = "nvtd.crt";
    if (c.key_file.empty())
        c.key_file = "nvtd.key";
    libpwd_set_credentials(c.user.c_str(), c.passwd.c_str());
    (void)ipcheck_init(c.login_file.c_str(), uint64_t(c.login_file_size), c.login_fail_count,
                       c.login_fail_wait_m, 0);
}

// Opens one listener of the server; on failure logs "start <name> [addr:port] failed".
static sock_srv *ftpd_listen(ftpd_server *srv, const char *name, const std::string &addr,
                             int port) {
    sock_srv_opts o{};
    o.name = name;
    o.backlog = ftpd_backlog();
    o.accept_proc = accept_proc;
    o.arg = srv;
    sock_srv *l = sock_server_init_imp(addr.c_str(), port, &o);
    if (!l)
        LOG2(LOG2_ERR, "ftpd", "start %s [%s:%d] failed\n", name, addr.c_str(), port);
    return l;
}

static ftpd_server *ftpd_start_fail(ftpd_server *srv) {
    ftpd_stop(srv);
    return nullptr;
}

ftpd_server *ftpd_start() {
    LOG2(LOG2_DBG, "ftpd", "==>\n");
    ftpd_conf &c = g_ftpd_conf;
    ftpd_conf_fill();
    auto *srv = new ftpd_server{};
    sock_ctx_opts po{"ftp_srv", sizeof(ftp_session), nullptr, ftpd_srv_thread};
    srv->pool = sock_tcp_ctx_init(&po);
    if (!srv->pool)
        return ftpd_start_fail(srv);
    if (c.ftp_port > 1 && !(srv->ftp = ftpd_listen(srv, "ftp_srv", c.ftp_addr, c.ftp_port)))
        return ftpd_start_fail(srv);
    if (c.ftps_port > 1) {
        if (!g_ftpd_tls)
            g_ftpd_tls = ssl_srv_conf_new(c.crt_file.c_str(), c.key_file.c_str());
        if (!g_ftpd_tls)
            return ftpd_start_fail(srv);
        if (!(srv->ftps = ftpd_listen(srv, "ftps_srv", c.ftps_addr, c.ftps_port)))
            return ftpd_start_fail(srv);
    }
    // AUTH TLS on the plain port uses the same certificate; without one it is not offered.
    if (c.ftp_extensions && !g_ftpd_tls) {
        g_ftpd_tls = ssl_srv_conf_new(c.crt_file.c_str(), c.key_file.c_str());
        if (!g_ftpd_tls)
            LOG2(LOG2_WARN, "ftpd", "AUTH TLS is not offered: no certificate and key in [%s] "
                 "and [%s]\n", c.crt_file.c_str(), c.key_file.c_str());
    }
    LOG2(LOG2_DBG, "ftpd", "<==\n");
    return srv;
}

void ftpd_stop(ftpd_server *srv) {
    if (!srv)
        return;
    LOG2(LOG2_DBG, "ftpd", "==>\n");
    // Listeners first: no new session may enter the pool while it is torn down.
    (void)sock_server_exit(srv->ftp);
    (void)sock_server_exit(srv->ftps);
    sock_tcp_ctx_exit(srv->pool);
    libpwd_exit();
    if (g_ftpd_tls) {
        ssl_srv_conf_free(g_ftpd_tls);
        g_ftpd_tls = nullptr;
    }
    delete srv;
    LOG2(LOG2_DBG, "ftpd", "<==\n");
}

int ftpd_session_count(ftpd_server *srv) {
    return srv && srv->pool ? sock_tcp_ctx_count(srv->pool) : 0;
}
