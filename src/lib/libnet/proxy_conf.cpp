// proxy_conf.cpp - which proxy an outgoing connection uses: a "proxy_url" given with the
// stream URL, a named entry of the proxy file ($NV_PROXY_FILE, INI sections by name, the
// password as hex text), or the "http_proxy" environment variable.
#include "net.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "conf.h"
#include "log.h"
#include "pal_url.h"

#define PROXY_TAG "net"

static_assert(sizeof(net_proxy::proto) == 32 && sizeof(net_proxy::host) == 1024,
              "proxy description sizes");

/// Maps "http", "socks4" and "socks5" (case-sensitive) to NET_PROXY_*; -1 otherwise.
int conf_proxy_2_id(const char *proto, net_err *e) {
    static const struct {
        const char *name;
        int id;
    } kinds[] = {{"http", NET_PROXY_HTTP}, {"socks4", NET_PROXY_SOCKS4}, {"socks5", NET_PROXY_SOCKS5}};
    for (const auto &k : kinds)
        if (proto && std::strcmp(proto, k.name) == 0)
            return k.id;
    net_err_set(e, PAL_EINVAL, "proxy protocol [%s] Unsupported\n", proto ? proto : "");
    return -1;
}

// Hex text to bytes into out (terminated). False for an odd length or a non-hex digit,
// and for a NUL byte, which a password string cannot carry.
static bool hex_decode(const char *hex, std::span<char> out) {
    size_t n = std::strlen(hex);
    if (n % 2 != 0 || n / 2 >= out.size())
        return false;
    for (size_t i = 0; i < n; i += 2) {
        int hi = url_hex(hex[i]);
        int lo = url_hex(hex[i + 1]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0))
            return false;
        out[i / 2] = static_cast<char>(hi * 16 + lo);
    }
    out[n / 2] = '\0';
    return true;
}

namespace {
// The proxy file, released on every path.
struct conf_guard {
    conf_handle *h;
    ~conf_guard() {
        if (h)
            conf_free(h);
    }
};
}  // namespace

/// Loads the section name of the proxy file into out and rebuilds its URL into url_out
/// (URL_BUF_SIZE bytes). 0, or -1 with the cause in e.
int conf_proxy_load(const char *file, const char *name, net_proxy *out, char *url_out,
                    net_err *e) {
    conf_guard conf{conf_load(file)};
    if (!conf.h) {
        net_err_set(e, PAL_EINVAL, "conf_load [%s] failed", file);
        return -1;
    }
    if (!conf_has_section(conf.h, name)) {
        net_err_set(e, PAL_EINVAL, "proxy name [%s] does not exist", name);
        return -1;
    }
    *out = net_proxy{};
    pal_strlcpy(out->proto, conf_get_string(conf.h, name, "proto", ""));
    out->type = conf_proxy_2_id(out->proto, e);
    if (out->type < 0)
        return -1;
    pal_strlcpy(out->host, conf_get_string(conf.h, name, "ip", ""));
    out->port = conf_get_int(conf.h, name, "port", 0);
    pal_strlcpy(out->user, conf_get_string(conf.h, name, "user", ""));
    const char *hex = conf_get_string(conf.h, name, "pwd", "");
    if (!hex_decode(hex, out->pwd)) {
        net_err_set(e, PAL_EINVAL, "proxy pwd [%s] invalid", hex);
        return -1;
    }
    std::span<char> url(url_out, URL_BUF_SIZE);
    if (out->user[0] && out->pwd[0])
        pal_snprintf(url, "%s://%s:%s@%s:%d", out->proto, out->user, out->pwd, out->host,
                     out->port);
    else
        pal_snprintf(url, "%s://%s:%d", out->proto, out->host, out->port);
    return 0;
}

// Fills out from a proxy URL; user and password are percent-decoded.
static int proxy_from_url(const char *text, net_proxy *out, net_err *e, const char *what) {
    url_t u;
    std::string buf(URL_BUF_SIZE, '\0');
    if (url_parser(&u, buf.data(), text) != 0 || !u.scheme) {
        net_err_set(e, PAL_EINVAL, "%s [%s] invalid", what, text);
        return -1;
    }
    *out = net_proxy{};
    pal_strlcpy(out->proto, u.scheme);
    out->type = conf_proxy_2_id(out->proto, e);
    if (out->type < 0)
        return -1;
    pal_strlcpy(out->host, u.host ? u.host : "");
    out->port = u.port;
    url_decode(u.user ? u.user : "", out->user, sizeof out->user);
    url_decode(u.passwd ? u.passwd : "", out->pwd, sizeof out->pwd);
    return 0;
}

// The checks every source shares: a host and a port (proxies have no default port).
static int proxy_check(net_proxy *out, net_err *e) {
    if (!out->host[0]) {
        net_err_set(e, PAL_EINVAL, "proxy ip is empty");
        *out = net_proxy{};
        return -1;
    }
    if (out->port == 0) {
        net_err_set(e, PAL_EINVAL, "proxy port is empty");
        *out = net_proxy{};
        return -1;
    }
    return 0;
}

// The proxy as a URL for log lines: the password never reaches a log.
static std::string proxy_log_url(const net_proxy *p) {
    if (p->user[0] && p->pwd[0])
        return pal_format("%s://%s:***@%s:%d", p->proto, p->user, p->host, p->port);
    return pal_format("%s://%s:%d", p->proto, p->host, p->port);
}

static int proxy_from_file(const char *name, net_proxy *out, net_err *e) {
    const char *file = std::getenv("NV_PROXY_FILE");
    if (!file || !*file) {
        net_err_set(e, PAL_EINVAL, "%%NV_ENV_PROXY_FILE%% Is NULL");
        return -1;
    }
    std::string url(URL_BUF_SIZE, '\0');
    int ret = conf_proxy_load(file, name, out, url.data(), e);
    if (ret != 0) {
        *out = net_proxy{};
        return ret;
    }
    LOG2(LOG2_DBG, PROXY_TAG, "use proxy=%s [%s]\n", name, proxy_log_url(out).c_str());
    return 0;
}

int conf_proxy_get(const char *proxy_url, const char *proxy_name, net_proxy *out, net_err *e) {
    PAL_ASSERT_RET(out != nullptr, -1);
    *out = net_proxy{};
    int ret;
    if (proxy_url && *proxy_url) {
        ret = proxy_from_url(proxy_url, out, e, "proxy url");
    } else if (!proxy_name || !*proxy_name) {
        const char *env = std::getenv("http_proxy");
        if (!env)
            return 1;
        ret = proxy_from_url(env, out, e, "env url");
        if (ret == 0)
            LOG2(LOG2_DBG, PROXY_TAG, "use http_proxy=%s\n", proxy_log_url(out).c_str());
    } else {
        ret = proxy_from_file(proxy_name, out, e);
    }
    if (ret != 0) {
        *out = net_proxy{};
        return -1;
    }
    return proxy_check(out, e);
}
