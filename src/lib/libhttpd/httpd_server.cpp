// httpd_server.cpp - the server record, its handler tree, the listener and the request
// threads: each accepted connection runs one request on a detached "http_cli" thread, at
// most HTTPD_MAX_REQUESTS at once; the server waits for them before it is freed.
#include "httpd_internal.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "log.h"
#include "pal.h"

// ---------------------------------------------------------------------------------------
// The handler tree.

httpd_dir::~httpd_dir() {
    for (httpd_dir *d : subdirs)
        delete d;
}

/// The directory named by path ("/" the root); created as needed when create is set.
static httpd_dir *find_dir(httpd_dir *root, std::string_view path, bool create) {
    httpd_dir *d = root;
    while (!path.empty()) {
        size_t cut = path.find('/');
        std::string_view part = path.substr(0, cut);
        path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
        if (part.empty())
            continue;
        auto it = std::find_if(d->subdirs.begin(), d->subdirs.end(),
                               [&](const httpd_dir *s) { return s->name == part; });
        if (it != d->subdirs.end()) {
            d = *it;
            continue;
        }
        if (!create)
            return nullptr;
        auto *sub = new (std::nothrow) httpd_dir;
        if (sub == nullptr)
            return nullptr;
        sub->name = part;
        d->subdirs.push_back(sub);
        d = sub;
    }
    return d;
}

httpd_server *httpd_server_new(void *arg) {
    auto *srv = new (std::nothrow) httpd_server;
    if (srv == nullptr)
        return nullptr;
    srv->arg = arg;
    srv->start_time = time_t(os_time_now());
    return srv;
}

int httpdAddHandler(httpd_server *srv, const char *dir, const char *name, httpd_handler fn) {
    if (srv == nullptr || name == nullptr)
        return -1;
    httpd_dir *d = find_dir(&srv->root, dir != nullptr ? dir : "/", true);
    if (d == nullptr)
        return -1;
    d->entries.insert(d->entries.begin(), httpd_entry{name, 2, fn});
    return 0;
}

// ---------------------------------------------------------------------------------------
// Processing.

static void not_found(httpd_request *r) {
    httpdSetStatus(r, "404 Not Found");
    (void)httpdEmitText(r, "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n");
    (void)httpdEmitText(r, "<BODY><H1>The request URL was not found!</H1>\n");
    (void)httpdEmitText(r, "</BODY></HTML>\n");
}

void httpdProcessRequest(httpd_server *srv, httpd_request *r) {
    const std::string &path = r->path;
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        LOG2(LOG2_DBG, HTTPD_TAG, "Invalid request path '%s'\n", path.c_str());
        return;
    }
    std::string name = path.substr(slash + 1);
    std::string_view dir =
        slash == 0 ? std::string_view("/") : std::string_view(path).substr(0, slash);
    httpd_dir *d = srv != nullptr ? find_dir(&srv->root, dir, false) : nullptr;
    const httpd_entry *e = nullptr;
    if (d != nullptr) {
        auto it = std::find_if(d->entries.begin(), d->entries.end(),
                               [&](const httpd_entry &x) { return x.name == name; });
        e = it != d->entries.end() ? &*it : nullptr;
    }
    if (e == nullptr || e->func == nullptr) {
        not_found(r);
        return;
    }
    e->func(srv, r);
}

// ---------------------------------------------------------------------------------------
// Request threads.

/// The request the calling thread serves, if any.
static thread_local httpd_request *t_serving = nullptr;

/// Ends a request whose thread is done: the record leaves the server's list, which may let
/// httpd_server_free go on. The last touch of the server record.
static void request_done(httpd_server *srv, httpd_request *r) {
    bool last = false;
    {
        std::scoped_lock g(srv->lock);
        std::erase(srv->running, r);
        last = srv->orphaned && srv->running.empty();
        srv->idle.notify_all();
    }
    if (last)
        delete srv;
}

/// What a client that sent more than was read gets otherwise is a reset in place of the
/// close, which can cost it the end of the reply: take what has arrived, without waiting.
static void drain(net_stream *s) {
    char buf[4096];
    for (int i = 0; i < 16 && !s->disconnected; i++)
        if (net_read_avail(s, buf, sizeof buf, 0) <= 0)
            break;
}

static int serve_one(void *arg) {
    auto *r = static_cast<httpd_request *>(arg);
    try {
        if (httpdReadRequest(r->srv, r) == 0)
            httpdProcessRequest(r->srv, r);
        else
            LOG2(LOG2_DBG, HTTPD_TAG, "No valid request received\n");
    } catch (const std::exception &e) {
        // Out of memory inside a request ends that request only.
        LOG2(LOG2_ERR, HTTPD_TAG, "request from %s ended: %s\n", r->peer.c_str(), e.what());
    }
    drain(&r->stream);
    return 0;
}

int httpd_client_thread(void *arg) {
    auto *r = static_cast<httpd_request *>(arg);
    httpd_server *srv = r->srv;
    t_serving = r;
    int rc = os_thread_call(serve_one, r, nullptr);
    t_serving = nullptr;
    if (rc == PAL_ECANCELED) {
        // A fault inside a handler: the record may be half changed, so it is not freed;
        // the connection is closed and the server no longer waits for this request.
        (void)net_close(&r->stream);
        request_done(srv, r);
        return -1;
    }
    (void)net_close(&r->stream);
    request_done(srv, r);
    delete r;
    return 0;
}

/// The refusal beyond HTTPD_MAX_REQUESTS, written with one send that never waits.
static void refuse(os_socket_t s, const char *peer) {
    static constexpr std::string_view reply =
        "HTTP/1.1 503 Service Unavailable\r\n"
        "Server: NORVA Http Server\r\n"
        "Connection: close\r\n"
        "Content-Type: text/html\r\n"
        "Content-Length: 0\r\n"
        "\r\n";
    LOG2(LOG2_DBG, HTTPD_TAG, "busy: %s refused\n", peer);
    (void)os_socket_send(s, reply.data(), reply.size());
    char buf[4096];
    for (int i = 0; i < 16 && os_socket_recv(s, buf, sizeof buf) > 0; i++) {
    }
    sock_tcp_close(s);
}

int http_accept_proc(os_socket_t s, const os_sockaddr *peer, void *arg) {
    auto *srv = static_cast<httpd_server *>(arg);
    char peer_text[80] = "";
    if (peer != nullptr)
        (void)os_ipaddr_cstr(peer, false, peer_text);
    auto *r = new (std::nothrow) httpd_request;
    if (r == nullptr) {
        sock_tcp_close(s);
        LOG2(LOG2_ERR, HTTPD_TAG, "httpdAccpetConnection sock=%p error\n",
             reinterpret_cast<void *>(s));
        return -1;
    }
    bool busy = false;
    {
        std::scoped_lock g(srv->lock);
        busy = srv->running.size() >= size_t{HTTPD_MAX_REQUESTS};
        if (!busy) {
            srv->running.push_back(r);
        }
    }
    if (busy) {
        delete r;
        refuse(s, peer_text);
        return 0;
    }
    net_stream_init(&r->stream, NET_TYPE_TCP_SRV, s, HTTPD_TIMEOUT_MS);
    r->srv = srv;
    r->peer = peer_text;
    os_thread_opts to{0, 1, 0};
    os_thread *t = os_thread_init("http_cli", httpd_client_thread, r, 0, &to);
    if (t == nullptr) {
        LOG2(LOG2_ERR, HTTPD_TAG, "Failed to create a new thread (httpd)\n");
        (void)net_close(&r->stream);
        request_done(srv, r);
        delete r;
        return -1;
    }
    os_thread_close(t);  // detached: the thread frees its record
    return 0;
}

// ---------------------------------------------------------------------------------------
// Server.

int httpd_server_start(httpd_server *srv, const char *addrs, int port, const char *name) {
    if (srv == nullptr || srv->listener != nullptr)
        return -1;
    // The console runs shell commands: it is not offered beyond this machine unless
    // addresses are named.
    const char *where = addrs != nullptr && addrs[0] != '\0' ? addrs : "127.0.0.1;::1";
    sock_srv_opts so{};
    so.name = name != nullptr ? name : "dbg_http";
    so.backlog = HTTPD_BACKLOG;
    so.accept_proc = http_accept_proc;
    so.arg = srv;
    srv->listener = sock_server_init_imp(where, port, &so);
    if (srv->listener == nullptr) {
        LOG2(LOG2_ERR, HTTPD_TAG, "%s: no listener on [%s] port %d\n", so.name, where, port);
        return -1;
    }
    srv->port = so.bound_port;
    LOG2(LOG2_DBG, HTTPD_TAG, "%s on [%s] port %d\n", so.name, where, srv->port);
    return 0;
}

int httpd_server_port(const httpd_server *srv) {
    return srv != nullptr ? srv->port : 0;
}

void *httpd_server_arg(const httpd_server *srv) {
    return srv != nullptr ? srv->arg : nullptr;
}

time_t httpd_server_start_time(const httpd_server *srv) {
    return srv != nullptr ? srv->start_time : 0;
}

int httpd_server_active(const httpd_server *srv) {
    if (srv == nullptr)
        return 0;
    std::scoped_lock g(const_cast<httpd_server *>(srv)->lock);
    return static_cast<int>(srv->running.size());
}

void httpd_server_free(httpd_server *srv) {
    if (srv == nullptr)
        return;
    // No accept procedure runs once the listener is gone, so no request starts after it.
    (void)sock_server_exit(srv->listener);
    srv->listener = nullptr;
    {
        std::unique_lock g(srv->lock);
        for (httpd_request *r : srv->running)
            if (r != t_serving)
                r->stream.abort.store(1);
        if (t_serving != nullptr && t_serving->srv == srv) {
            // Called by a handler of this server (a stop command): waiting here would wait
            // for this very thread, so the last request to end frees the record.
            srv->orphaned = true;
            return;
        }
        srv->idle.wait(g, [&] { return srv->running.empty(); });
    }
    delete srv;
}
