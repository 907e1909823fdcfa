// libnet.cpp - error details, the TLS hook registry and net_open, which turns a URL into
// a connected client stream. libssl registers its handshake here because it sits above libnet.
#include "net.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>

#include "log.h"
#include "net_internal.h"
#include "pal_url.h"

namespace {
struct tls_registry {
    std::mutex lock;
    net_tls_hooks hooks{};
    bool set = false;
};
}  // namespace

static tls_registry &tls_reg() {
    static tls_registry r;
    return r;
}

void net_err_set(net_err *e, int code, const char *fmt, ...) {
    if (!e)
        return;
    e->code = code;
    va_list ap;
    va_start(ap, fmt);
    pal_vsnprintf(e->msg, fmt, ap);
    va_end(ap);
}

const char *net_err_text(const net_err *e) {
    if (!e)
        return "";
    return e->msg[0] ? e->msg : pal_strerror(e->code);
}

void net_set_tls_hooks(const net_tls_hooks *hooks) {
    tls_registry &r = tls_reg();
    std::scoped_lock g(r.lock);
    r.set = hooks != nullptr;
    r.hooks = hooks ? *hooks : net_tls_hooks{};
}

bool net_tls_hooks_get(net_tls_hooks *out) {
    tls_registry &r = tls_reg();
    std::scoped_lock g(r.lock);
    *out = r.hooks;
    return r.set;
}

// ---------------------------------------------------------------------------------------
// net_open: client streams from URLs.

static bool is_scheme(const char *scheme, const char *const *names, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (strcmp(scheme, names[i]) == 0)
            return true;
    return false;
}

// Reads a query key, percent-decoded into out (256 bytes); absent keys give "".
static void query_key(const url_t *u, const char *key, char (&out)[256]) {
    char raw[256] = "";
    out[0] = '\0';
    if (u->query && str_query_get(u->query, key, raw, sizeof(raw)) == 0)
        (void)url_decode(raw, out, sizeof(out));
}

static int open_tls(net_stream *s, const char *host) {
    net_tls_hooks hooks{};
    if (!net_tls_hooks_get(&hooks) || !hooks.client_handshake) {
        LOG2(LOG2_ERR, NET_TAG, "TLS is not available\n");
        return -1;
    }
    if (hooks.client_handshake(s, host) < 0) {
        LOG2(LOG2_DBG, NET_TAG, "ssl_cli_connect failed");
        return -1;
    }
    return 0;
}

// Resolves the proxy and connects. Returns 0 or the failing result.
static int open_tcp(net_stream *s, const url_t *u, const char *url, int timeout_ms) {
    char proxy_name[256], proxy_url[256];
    query_key(u, "proxy", proxy_name);
    query_key(u, "proxy_url", proxy_url);
    auto opts = std::make_unique<sock_cli_opts>();
    net_err err{};
    int rc = conf_proxy_get(proxy_url, proxy_name, &opts->proxy, &err);
    if (rc < 0) {
        LOG2(LOG2_DBG, NET_TAG, "conf_proxy_get [%s] error: %s", proxy_name, net_err_text(&err));
        return rc;
    }
    int port = url_get_port(u);
    if (port == 0) {
        LOG2(LOG2_ERR, NET_TAG, "needs to specify the port");
        return -1;
    }
    s->timeout_ms = timeout_ms;
    opts->timeout_ms = timeout_ms;
    opts->stop = s->stop;
    s->type = NET_TYPE_TCP;
    os_socket_t sock = sock_tcp_connect(u->host, port, opts.get(), &err);
    if (!sock) {
        LOG2(LOG2_DBG, NET_TAG, "tcp_connect %s error: %s\n", url, net_err_text(&err));
        return -1;
    }
    s->handle = sock;
    s->tls = nullptr;
    s->io = nullptr;
    s->disconnected = 0;
    return 0;
}

int net_open(net_stream *s, const char *url, int timeout_ms) {
    PAL_ASSERT_RET(s != nullptr && url != nullptr, -1);
    if (strcmp(url, "net://mem") == 0) {
        net_stream_init(s, NET_TYPE_MEM, net_mem_new(), timeout_ms);
        return 0;
    }
    auto buf = std::make_unique<char[]>(URL_BUF_SIZE);
    url_t u{};
    if (url_parser(&u, buf.get(), url) < 0 || !u.scheme) {
        LOG2(LOG2_ERR, NET_TAG, "url %s syntax error\n", url);
        return -1;
    }
    static const char *const plain[] = {"tcp", "http"};
    static const char *const tls[] = {"tcps", "https"};
    bool want_tls = is_scheme(u.scheme, tls, 2);
    if (!want_tls && !is_scheme(u.scheme, plain, 2)) {
        LOG2(LOG2_ERR, NET_TAG, "unkouwn protocol [%s]\n", u.scheme);
        return -1;
    }
    int rc = open_tcp(s, &u, url, timeout_ms);
    if (rc != 0)
        return rc;
    if (want_tls && open_tls(s, u.host) < 0) {
        (void)net_close(s);
        return -1;
    }
    return 0;
}
