// sock_proxy.cpp - tunnels through proxies: HTTP CONNECT, SOCKS4 (4a) and SOCKS5, each
// written out byte by byte on a plain stream over the connection to the proxy. When a
// handshake succeeds, the socket is a tunnel to the target and the caller owns it.
#include "net.h"

#include <cstring>
#include <string>
#include <string_view>

#include "log.h"

#define PROXY_TAG "net"

enum : int {
    PROXY_REQ_MAX = 4095,       // longest handshake message we send
    PROXY_HEADER_MAX = 65536,   // longest HTTP reply header we read through
};

using proxy_init_fn = int (*)(net_stream *s, const char *host, int port, const net_proxy *p,
                              net_err *e);

static std::string base64(std::string_view in) {
    static const char tab[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                     (static_cast<unsigned char>(in[i + 1]) << 8) |
                     static_cast<unsigned char>(in[i + 2]);
        out += {tab[v >> 18], tab[(v >> 12) & 63], tab[(v >> 6) & 63], tab[v & 63]};
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += tab[v >> 18];
        out += tab[(v >> 12) & 63];
        out += i + 1 < in.size() ? tab[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

static int colon_count(const char *s) {
    int n = 0;
    for (; *s; ++s)
        n += *s == ':';
    return n;
}

// Writes all of msg; true when every byte went out.
static bool send_all(net_stream *s, std::string_view msg) {
    return net_write(s, msg.data(), static_cast<int>(msg.size())) == static_cast<int>(msg.size());
}

static std::string http_request(const char *host, int port, const net_proxy *p) {
    std::string req = colon_count(host) >= 2
                          ? pal_format("CONNECT [%s]:%d HTTP/1.1\r\nHost: [%s]:%d\r\n", host,
                                       port, host, port)
                          : pal_format("CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n", host, port,
                                       host, port);
    if (p->user[0])
        req += "Proxy-Authorization: Basic " + base64(std::string(p->user) + ":" + p->pwd) +
               "\r\n";
    req += "\r\n";
    return req;
}

// Reads the rest of the reply header byte by byte up to its empty line.
static int http_skip_header(net_stream *s, net_err *e) {
    LOG2(LOG2_VERB, PROXY_TAG, "read last...\n");
    int ends = 0;
    bool cr = false;
    for (int n = 0; n < PROXY_HEADER_MAX; ++n) {
        char c;
        if (net_read(s, &c, 1) < 1)
            break;
        if (c == '\r') {
            cr = true;
            continue;
        }
        if (c == '\n') {
            if (cr && ++ends == 2) {
                LOG2(LOG2_DBG, PROXY_TAG, "proxy init ok!!\n");
                return 0;
            }
        } else {
            ends = 0;
        }
        cr = false;
    }
    net_err_set(e, -1, "proxy read return error");
    return -1;
}

int proxy_http_init(net_stream *s, const char *host, int port, const net_proxy *p, net_err *e) {
    LOG2(LOG2_DBG, PROXY_TAG, "==>\n");
    std::string req = http_request(host, port, p);
    if (req.size() > PROXY_REQ_MAX) {
        net_err_set(e, PAL_EINVAL, "proxy request too long");
        return -1;
    }
    LOG2(LOG2_VERB, PROXY_TAG, "[%s]\n", req.c_str());
    if (!send_all(s, req)) {
        net_err_set(e, -1, "proxy send error");
        return -1;
    }
    char buf[13] = {};
    int ret = net_read(s, buf, 12);
    LOG2(LOG2_VERB, PROXY_TAG, "ret=%d\n", ret);
    if (ret != 12) {
        LOG2(LOG2_DBG, PROXY_TAG, "net_read ret=%d !=12 error\n", ret);
        net_err_set(e, -1, "proxy recv len error");
        return -1;
    }
    if (buf[9] != '2') {
        buf[11] = '\0';
        LOG2(LOG2_DBG, PROXY_TAG, "net_read [%s] buf[9]=%c !=2 error\n", buf, buf[9]);
        net_err_set(e, -1, buf[9] == '4' ? "proxy user or pwd error" : "proxy read return error");
        return -1;
    }
    return http_skip_header(s, e);
}

int proxy_sock4_init(net_stream *s, const char *host, int port, const net_proxy *p, net_err *e) {
    LOG2(LOG2_DBG, PROXY_TAG, "==>\n");
    os_sockaddr addr{};
    if (!os_addrinfo_addr(host, &addr)) {
        net_err_set(e, PAL_EINVAL, "addrinfo_addr %s error", host);
        return -1;
    }
    if (colon_count(host) >= 2 || addr.family != OS_AF_INET) {
        net_err_set(e, -1, "SOCK4 does not support IPv6");
        return -1;
    }
    static const uint8_t all_ones[4] = {255, 255, 255, 255};
    bool socks4a = std::memcmp(addr.addr, all_ones, 4) == 0;
    std::string req{4, 1, static_cast<char>((port >> 8) & 0xff), static_cast<char>(port & 0xff)};
    if (socks4a) {
        LOG2(LOG2_DBG, PROXY_TAG, "use socks4a\n");
        req += std::string{0, 0, 0, 1};
    } else {
        LOG2(LOG2_VERB, PROXY_TAG, "hostaddr=%x\n",
             static_cast<unsigned>(addr.addr[0] << 24 | addr.addr[1] << 16 | addr.addr[2] << 8 |
                                   addr.addr[3]));
        req.append(reinterpret_cast<const char *>(addr.addr), 4);
    }
    req.append(p->user).push_back('\0');
    if (socks4a)
        req.append(host).push_back('\0');
    if (req.size() > PROXY_REQ_MAX) {
        net_err_set(e, PAL_EINVAL, "proxy request too long");
        return -1;
    }
    unsigned char rep[8] = {};
    int ret = send_all(s, req) ? net_read(s, rep, 8) : -1;
    if (ret != 8 || rep[0] != 0 || rep[1] != 0x5A) {
        LOG2(LOG2_DBG, PROXY_TAG, "ret=%d error\n", ret);
        net_err_set(e, -1, "proxy read return error");
        return -1;
    }
    return 0;
}

// Greeting and, when the proxy picks it, the user/password step. 0 or -1.
static int sock5_auth(net_stream *s, const net_proxy *p, net_err *e) {
    bool with_user = p->user[0] != '\0';
    std::string hello = with_user ? std::string{5, 2, 0, 2} : std::string{5, 1, 0};
    unsigned char rep[2] = {};
    int n = send_all(s, hello) ? net_read(s, rep, 2) : -1;
    // A method we did not offer is as good as a refusal.
    int method = rep[1];
    if (method != 0 && !(with_user && method == 2))
        method = 255;
    if (n < 2 || rep[0] != 5 || method == 255) {
        LOG2(LOG2_DBG, PROXY_TAG, "nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", n, rep[0], rep[1]);
        net_err_set(e, PAL_EINVAL, "Proxy read return error");
        return -1;
    }
    if (method == 0)
        return 0;
    size_t ulen = std::strlen(p->user);
    size_t plen = std::strlen(p->pwd);
    // The message carries each length in one byte.
    if (ulen > 255 || plen > 255) {
        net_err_set(e, PAL_EINVAL, "Proxy password or user name error");
        return -1;
    }
    std::string msg{1, static_cast<char>(ulen)};
    msg.append(p->user).push_back(static_cast<char>(plen));
    msg.append(p->pwd);
    n = send_all(s, msg) ? net_read(s, rep, 2) : -1;
    if (n < 2 || rep[1] != 0) {
        net_err_set(e, PAL_EINVAL, "Proxy password or user name error");
        return -1;
    }
    return 0;
}

// The address field of the connect request: IPv4, a name, or IPv6.
static bool sock5_addr(const char *host, std::string *req) {
    os_sockaddr a{};
    bool parsed = os_ipaddr_parse(host, &a);
    int colons = colon_count(host);
    if (parsed && a.family == OS_AF_INET && colons == 0) {
        req->push_back(1);
        req->append(reinterpret_cast<const char *>(a.addr), 4);
    } else if (colons < 2 || !parsed || a.family != OS_AF_INET6) {
        size_t len = std::strlen(host);
        if (len > 255)
            return false;
        req->push_back(3);
        req->push_back(static_cast<char>(len));
        req->append(host);
    } else {
        req->push_back(4);
        req->append(reinterpret_cast<const char *>(a.addr), 16);
    }
    return true;
}

static const char *sock5_reply_text(int code) {
    static const char *const texts[] = {
        nullptr,
        "General SOCKS server failure!",
        "Connection not allowed by ruleset!",
        "Network unreachable!",
        "Host unreachable!",
        "Connection refused!",
        "TTL (packet time to live) expired!",
        "SOCKS Command not supported!",
        "Address type not supported!",
    };
    return code > 0 && code <= 8 ? texts[code] : nullptr;
}

// Reads the bound address that follows a successful reply. 0 or -1.
static int sock5_read_bound(net_stream *s, int atyp, net_err *e) {
    unsigned char rest[258];
    int want = atyp == 1 ? 6 : atyp == 4 ? 18 : -1;
    if (atyp == 3) {
        unsigned char len = 0;
        if (net_read(s, &len, 1) == 1)
            want = len + 2;
    }
    // An unknown address type leaves the reply's length unknown: the reply is malformed.
    if (want < 0 || net_read(s, rest, want) != want) {
        net_err_set(e, -1, "Proxy read return error");
        return -1;
    }
    return 0;
}

int proxy_sock5_init(net_stream *s, const char *host, int port, const net_proxy *p, net_err *e) {
    LOG2(LOG2_DBG, PROXY_TAG, "=>\n");
    if (sock5_auth(s, p, e) != 0)
        return -1;
    std::string req{5, 1, 0};
    if (!sock5_addr(host, &req)) {
        net_err_set(e, PAL_EINVAL, "proxy request too long");
        return -1;
    }
    req.push_back(static_cast<char>((port >> 8) & 0xff));
    req.push_back(static_cast<char>(port & 0xff));
    unsigned char rep[4] = {};
    int n = send_all(s, req) ? net_read(s, rep, 4) : -1;
    if (n == 4 && rep[0] == 5 && rep[1] == 0)
        return sock5_read_bound(s, rep[3], e);
    if (n != 4 || rep[0] != 5) {
        net_err_set(e, -1, "Proxy read return error");
        return -1;
    }
    const char *text = sock5_reply_text(rep[1]);
    if (text)
        net_err_set(e, -1, "%s", text);
    else
        net_err_set(e, -1, "proxy unkown error: %d", rep[1]);
    return -1;
}

static proxy_init_fn proxy_handshake_of(int type) {
    switch (type) {
    case NET_PROXY_HTTP:
        return proxy_http_init;
    case NET_PROXY_SOCKS4:
        return proxy_sock4_init;
    case NET_PROXY_SOCKS5:
        return proxy_sock5_init;
    default:
        return nullptr;
    }
}

os_socket_t proxy_tcp_connect(const char *host, int port, sock_cli_opts *opts, net_err *e) {
    LOG2(LOG2_VERB, PROXY_TAG, "==>\n");
    PAL_ASSERT_RET(host && opts, 0);
    const int type = opts->proxy.type;
    opts->proxy.type = NET_PROXY_NONE;  // the connection to the proxy itself is direct
    os_socket_t sock = sock_tcp_connect(opts->proxy.host, opts->proxy.port, opts, e);
    if (!sock) {
        LOG2(LOG2_DBG, PROXY_TAG, "connect proxy server %s:%d failed\n", opts->proxy.host,
             opts->proxy.port);
        opts->proxy.type = type;
        return 0;
    }
    LOG2(LOG2_DBG, PROXY_TAG, "connect proxy ip=%s port=%d ok!\n", opts->proxy.host,
         opts->proxy.port);
    net_stream ns;
    net_stream_init(&ns, NET_TYPE_TCP, sock, opts->timeout_ms);
    ns.stop = opts->stop;
    proxy_init_fn init = proxy_handshake_of(type);
    int ret = -1;
    if (init)
        ret = init(&ns, host, port, &opts->proxy, e);
    else
        net_err_set(e, -1, "Unsupported proxy type=%d", type);
    opts->proxy.type = type;
    if (ret != 0) {
        sock_tcp_close(sock);
        return 0;
    }
    return sock;
}
