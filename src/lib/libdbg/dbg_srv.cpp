// dbg_srv.cpp - the debug shell servers: the session loop over a stream, the TCP server
// (a listener feeding a connection pool) and the local-socket server (one client at a
// time on its own thread).
#include "dbg_internal.h"

#include <atomic>
#include <cstring>

#include "log.h"
#include "pal.h"
#include "pal_url.h"
#include "sh.h"

// ---------------------------------------------------------------------------------------
// Line reading.

/// Moves the first complete line of r->pending into *out; false when none is complete.
static bool take_line(dbg_line_reader *r, std::string *out) {
    size_t i = 0;
    for (; i < r->pending.size(); i++) {
        char c = r->pending[i];
        if (c == '\n' || c == '\0')
            break;
        if (c == '\r' || r->cutting)
            continue;
        if (r->line.size() >= DBG_LINE_MAX) {
            r->cutting = true;  // the server keeps the first 8191 bytes only
            continue;
        }
        r->line.push_back(c);
    }
    bool done = i < r->pending.size();
    r->pending.erase(0, done ? i + 1 : i);
    if (!done)
        return false;
    *out = std::move(r->line);
    r->line.clear();
    r->cutting = false;
    return true;
}

int dbg_read_line(net_stream *s, dbg_line_reader *r, std::string *out) {
    if (take_line(r, out))
        return 1;
    char buf[4096];
    int n = net_read_avail(s, buf, sizeof buf, DBG_WAIT_MS);
    if (n < 0)
        return -1;
    r->pending.append(buf, static_cast<size_t>(n));
    return take_line(r, out) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// Session output: each piece with LF as CR LF and without trailing blanks; NUL per command.

namespace {
struct dbg_session {
    dbgsh_srv_ctx ctx;
    net_stream *stream = nullptr;
    bool failed = false;  ///< a send failed: the client is gone
};
}  // namespace

static int session_send(dbg_session *d, std::string_view piece) {
    while (!piece.empty() && std::strchr(" \t\v\f", piece.back()) != nullptr)
        piece.remove_suffix(1);
    if (piece.empty() || d->failed)
        return 0;
    std::string out;
    out.reserve(piece.size() + 16);
    for (char c : piece) {
        if (c == '\n')
            out.push_back('\r');
        out.push_back(c);
    }
    int len = static_cast<int>(out.size());
    if (net_write(d->stream, out.data(), len) != len)
        d->failed = true;
    return static_cast<int>(piece.size());
}

static int session_printf(void *o, const char *fmt, va_list ap) {
    char buf[8192];
    int n = pal_vsnprintf(buf, fmt, ap);
    return session_send(static_cast<dbg_session *>(o), std::string_view(buf, size_t(n)));
}

static int session_write(void *o, const char *data, size_t len) {
    return session_send(static_cast<dbg_session *>(o), std::string_view(data, len));
}

static int session_flush(void *o) {
    auto *d = static_cast<dbg_session *>(o);
    if (!d->failed && net_write(d->stream, "", 1) != 1)
        d->failed = true;
    return 0;
}

/// Runs lines from the stream until the client goes, quit or exit, or *stop is set.
/// The stream stays open (its owner closes it).
static int dbgsh_srv_imp(net_stream *s, int mode, const std::atomic<int> *stop) {
    LOG2(LOG2_DBG, DBG_TAG, "%s\n", mode == SH_MODE_NET ? "NET_MODE ==>" : "PIPE_MODE ==>");
    dbg_session d;
    d.ctx.mode = mode;
    d.ctx.out = &d;
    d.ctx.printf = session_printf;
    d.ctx.write = session_write;
    d.ctx.flush = session_flush;
    d.stream = s;
    s->timeout_ms = DBG_WAIT_MS;
    dbg_line_reader r;
    while (stop == nullptr || stop->load() == 0) {
        std::string line;
        int rc = dbg_read_line(s, &r, &line);
        if (rc < 0) {
            LOG2(LOG2_DBG, DBG_TAG, "gets return failed break\n");
            break;
        }
        if (rc == 0)
            continue;
        LOG2(LOG2_DBG, DBG_TAG, "ret=%d cmd=[%s]\n", int(line.size()), line.c_str());
        std::string text(pal_trim(line));
        (void)libsh_exec_line(&d.ctx, text.c_str());
        if (d.ctx.exit_flag.load() != 0) {
            LOG2(LOG2_DBG, DBG_TAG, "ctx.exit_flag break\n");
            break;
        }
        if (d.failed) {
            LOG2(LOG2_DBG, DBG_TAG, "client gone during a reply\n");
            break;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// Servers.

enum : int { DBG_KIND_TCP = 0, DBG_KIND_PIPE = 1 };

struct dbgsrv {
    int kind = DBG_KIND_TCP;
    int port = 0;
    sock_ctx_pool *pool = nullptr;
    sock_srv *listener = nullptr;
    // Local socket.
    std::string pipe_name;
    os_socket_t pipe_sock = 0;
    os_thread *thread = nullptr;
    std::atomic<int> stop{0};
    net_stream client{};
};

static int netsh_srv_thread(sock_ctx *c) {
    (void)dbgsh_srv_imp(&c->stream, SH_MODE_NET, nullptr);
    sock_tcp_ctx_close(c->pool, c);
    return 0;
}

static int accept_proc(os_socket_t s, const os_sockaddr *, void *arg) {
    auto *h = static_cast<dbgsrv *>(arg);
    if (sock_tcp_ctx_open(h->pool, s) == nullptr) {
        LOG2(LOG2_ERR, DBG_TAG, " malloc_ctx error\n");
        sock_tcp_close(s);
    }
    return 0;
}

/// The TCP server on addrs (empty: loopback only) and port.
static dbgsrv *debug_shell_server_init(const char *addrs, int port) {
    auto *h = new dbgsrv;
    sock_ctx_opts po{.name = "netsh_srv", .size = sizeof(sock_ctx), .close_hook = nullptr,
                     .work = netsh_srv_thread};
    h->pool = sock_tcp_ctx_init(&po);
    sock_srv_opts so{};
    so.name = "netsh";
    so.accept_proc = accept_proc;
    so.arg = h;
    // The shell runs any command without a login: it is not offered beyond this machine
    // unless addresses are named.
    const char *where = addrs != nullptr && addrs[0] != '\0' ? addrs : "127.0.0.1;::1";
    if (h->pool != nullptr)
        h->listener = sock_server_init_imp(where, port, &so);
    if (h->listener == nullptr) {
        if (h->pool != nullptr)
            sock_tcp_ctx_exit(h->pool);
        delete h;
        return nullptr;
    }
    h->port = so.bound_port;
    LOG2(LOG2_DBG, DBG_TAG, "debug shell on [%s] port %d\n", where, h->port);
    return h;
}

static void debug_shell_server_exit(dbgsrv *h) {
    (void)sock_server_exit(h->listener);
    sock_tcp_ctx_exit(h->pool);
}

static int pipe_srv_thread(void *arg) {
    auto *h = static_cast<dbgsrv *>(arg);
    LOG2(LOG2_DBG, DBG_TAG, "==>\n");
    while (h->stop.load() == 0) {
        net_stream_init(&h->client, NET_PIPE_SRV_TYPE, 0, DBG_WAIT_MS);
        if (npipe_srv_accept(h->pipe_sock, &h->client, DBG_WAIT_MS) != 0)
            continue;
        (void)dbgsh_srv_imp(&h->client, SH_MODE_PIPE, &h->stop);
        (void)net_close(&h->client);
    }
    LOG2(LOG2_DBG, DBG_TAG, "<==\n");
    return 0;
}

/// The local-socket server NAME with its session thread "pipe_srv".
static dbgsrv *debug_shell_pipe_init(const std::string &name) {
    os_socket_t s = npipe_srv_open(name.c_str());
    if (s == 0) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, DBG_TAG, "os_name_pipe_srv_open [%s] error: ",
             name.c_str());
        return nullptr;
    }
    auto *h = new dbgsrv;
    h->kind = DBG_KIND_PIPE;
    h->pipe_name = name;
    h->pipe_sock = s;
    os_thread_opts to{0, 1, 0};
    h->thread = os_thread_init("pipe_srv", pipe_srv_thread, h, 0, &to);
    if (h->thread == nullptr) {
        LOG2(LOG2_ERR, DBG_TAG, "os_thread_init failed\n");
        npipe_srv_close(s, name.c_str());
        delete h;
        return nullptr;
    }
    return h;
}

std::string dbg_pipe_name_of(const char *url) {
    std::string_view v(url != nullptr ? url : "");
    if (v.substr(0, 7) == "pipe://")
        v.remove_prefix(7);
    if (v.substr(0, 2) == "./" || v.substr(0, 2) == ".\\")
        v.remove_prefix(2);
    return std::string(v);
}

dbgsrv *dbgsrv_open(const char *url) {
    libsh_init();
    char buf[URL_BUF_SIZE];
    url_t u;
    if (url == nullptr || url_parser(&u, buf, url) != 0 || u.scheme == nullptr) {
        LOG2(LOG2_ERR, DBG_TAG, "url_parse error\n");
        return nullptr;
    }
    if (std::strcmp(u.scheme, "tcp") == 0)
        return debug_shell_server_init(u.host != nullptr ? u.host : "", u.port);
    if (std::strcmp(u.scheme, "pipe") == 0)
        return debug_shell_pipe_init(dbg_pipe_name_of(url));
    LOG2(LOG2_ERR, DBG_TAG, "not supprot [%s]\n", u.scheme);
    return nullptr;
}

dbgsrv *dbgsrv_open_tcp(const char *addrs, int port) {
    libsh_init();
    return debug_shell_server_init(addrs, port);
}

int dbgsrv_close(dbgsrv *h) {
    if (h == nullptr)
        return -1;
    if (h->kind == DBG_KIND_TCP) {
        debug_shell_server_exit(h);
    } else {
        h->stop.store(1);
        h->client.abort.store(1);
        (void)os_thread_wait_kill_exit(h->thread, nullptr);
        npipe_srv_close(h->pipe_sock, h->pipe_name.c_str());
    }
    delete h;
    return 0;
}

int dbgsrv_port(const dbgsrv *h) {
    return h != nullptr ? h->port : 0;
}
