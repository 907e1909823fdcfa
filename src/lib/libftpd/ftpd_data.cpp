// ftpd_data.cpp - data connections: active mode (PORT, EPRT), passive mode (PASV, EPSV),
// opening the connection for a transfer (get_fd) and closing it (data_close).
//
// Active mode connects only back to the client's own address and passive listeners take
// their connection only from it, so the server can neither be bounced at third hosts
// nor hand a transfer to someone who raced the client to the port.
#include "ftpd_internal.h"
#include "ftpd_reply.h"

#include <charconv>
#include <string_view>

#include "log.h"

static constexpr const char *TAG = "ftpd";

/// Parses a whole decimal field into *out; false for empty, signed or non-digit text.
static bool parse_dec(std::string_view text, long *out) {
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    auto r = std::from_chars(text.data(), text.data() + text.size(), *out);
    return r.ec == std::errc();
}

/// Splits text at sep into at most max fields (views into text). Returns the number of
/// fields, or max + 1 when there are more.
static int split_fields(std::string_view text, char sep, std::string_view *out, int max) {
    int n = 0;
    for (;;) {
        size_t pos = text.find(sep);
        if (n == max)
            return max + 1;
        out[n++] = text.substr(0, pos);
        if (pos == std::string_view::npos)
            return n;
        text.remove_prefix(pos + 1);
    }
}

/// True when an IPv6 address names another link than the client's: a scope given that
/// differs from the control connection's.
static bool other_scope(const os_sockaddr *addr, const os_sockaddr *peer) {
    return addr->family == OS_AF_INET6 && addr->scope != 0 && addr->scope != peer->scope;
}

/// Checks an active-mode address and port against the client and stores the address.
/// Ports below 1024 belong to system services and are refused like other hosts' addresses.
/// Replies and returns -1 when refused.
static int active_set(ftp_session *s, os_sockaddr *addr, long port) {
    if (port < 1024 || port > 65535 || !os_ipaddr_same_host(addr, &s->peer_sa) ||
        other_scope(addr, &s->peer_sa)) {
        char text[FTP_ADDR_SIZE];
        os_ipaddr_cstr(addr, false, text);
        LOG2(LOG2_ERR, TAG, "refused data address [%s]:%ld of client [%s]\n", text, port,
             s->peer_addr);
        ftp_relply(s, 500, FTP_T_PORT_ILLEGAL);
        return -1;
    }
    if (addr->family == OS_AF_INET6)
        addr->scope = s->peer_sa.scope;
    addr->port = uint16_t(port);
    s->dc.active_sa = *addr;
    char text[FTP_ADDR_SIZE];
    os_ipaddr_cstr(addr, false, text);
    if (addr->family == OS_AF_INET6)
        pal_snprintf(s->dc.active_url, "tcp://[%s]:%ld", text, port);
    else
        pal_snprintf(s->dc.active_url, "tcp://%s:%ld", text, port);
    LOG2(LOG2_VERB, TAG, "port_url=%s\n", s->dc.active_url);
    s->dc.mode = FTP_DATA_PORT;
    ftp_relply(s, 200, FTP_T_PORT_OK);
    return 0;
}

static int bad_port_cmd(ftp_session *s) {
    LOG2(LOG2_ERR, TAG, "cmd=[%s] invalid\n", s->arg ? s->arg : "");
    ftp_relply(s, 500, FTP_T_BAD_COMMAND);
    return 0;
}

int do_port(ftp_session *s) {
    if (s->arg == nullptr)
        return bad_port_cmd(s);
    std::string_view f[6];
    if (split_fields(s->arg, ',', f, 6) != 6)
        return bad_port_cmd(s);
    long v[6];
    for (int i = 0; i < 6; i++)
        if (!parse_dec(f[i], &v[i]) || v[i] > 255)
            return bad_port_cmd(s);
    char text[32];
    pal_snprintf(text, "%ld.%ld.%ld.%ld", v[0], v[1], v[2], v[3]);
    os_sockaddr addr{};
    if (!os_ipaddr_parse(text, &addr))
        return bad_port_cmd(s);
    active_set(s, &addr, (v[4] << 8) | v[5]);
    return 0;
}

/// EPRT: "<d>proto<d>address<d>port<d>" where <d> is the first character (any printable
/// character but a digit, as clients use '|' but may pick another).
int do_eprt(ftp_session *s) {
    if (s->arg == nullptr || s->arg[0] <= ' ' || s->arg[0] > '~' ||
        (s->arg[0] >= '0' && s->arg[0] <= '9'))
        return bad_port_cmd(s);
    std::string_view text(s->arg);
    char d = text[0];
    if (text.size() < 2 || text.back() != d)
        return bad_port_cmd(s);
    text = text.substr(1, text.size() - 2);
    std::string_view f[3];
    if (split_fields(text, d, f, 3) != 3 || f[1].empty() || f[1].size() >= FTP_ADDR_SIZE)
        return bad_port_cmd(s);
    long proto = 0;
    long port = 0;
    if (!parse_dec(f[0], &proto) || (proto != 1 && proto != 2) || !parse_dec(f[2], &port))
        return bad_port_cmd(s);
    char host[FTP_ADDR_SIZE];
    pal_strlcpy(host, f[1]);
    os_sockaddr addr{};
    if (!os_ipaddr_parse(host, &addr) ||
        (proto == 1) != (addr.family == OS_AF_INET))
        return bad_port_cmd(s);
    active_set(s, &addr, port);
    return 0;
}

/// Opens the one-connection listener on the control connection's local address. When no
/// port is free the client hears 425 and the session goes on.
static int pasv_comm(ftp_session *s) {
    data_close(s);
    sock_srv_opts opts{};
    opts.name = "ftp_pasv";
    opts.backlog = 4;
    opts.allow_peer = &s->peer_sa;
    // Each search starts one port further: the data connections of recent transfers stay
    // in TIME_WAIT on their port, and a port that collects thousands of them makes every
    // bind to it slow.
    static std::atomic<unsigned> next{0};
    int begin = g_ftpd_conf.passive_begin_port;
    int end = g_ftpd_conf.passive_end_port;
    if (begin > 0 && end > begin)
        opts.first_port = begin + int(next.fetch_add(1, std::memory_order_relaxed) %
                                      unsigned(end - begin));
    s->dc.pasv = sock_tcp_server_wait_open2(s->local_addr, g_ftpd_conf.passive_begin_port,
                                         g_ftpd_conf.passive_end_port, &opts);
    if (s->dc.pasv == nullptr) {
        LOG2(LOG2_ERR, TAG, "sock_tcp_server_wait_open2 failed\n");
        s->dc.mode = FTP_DATA_NONE;
        ftp_relply(s, 425, FTP_T_PASV_NO_PORT);
        return -1;
    }
    s->dc.pasv_port = sock_tcp_server_wait_port(s->dc.pasv);
    s->dc.mode = FTP_DATA_PASV;
    return 0;
}

/// The IPv4 address announced by 227: "nvtd:pasv_address" when set, else the local one.
static bool pasv_ipv4(const ftp_session *s, uint8_t out[4]) {
    os_sockaddr a{};
    const char *text = g_ftpd_conf.pasv_address.empty() ? nullptr
                                                        : g_ftpd_conf.pasv_address.c_str();
    if (text != nullptr) {
        if (!os_ipaddr_parse(text, &a))
            return false;
    } else {
        a = s->local_sa;
    }
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (a.family == OS_AF_INET) {
        for (int i = 0; i < 4; i++)
            out[i] = a.addr[i];
        return true;
    }
    if (a.family == OS_AF_INET6 && std::string_view((const char *)a.addr, 12) ==
                                       std::string_view((const char *)mapped, 12)) {
        for (int i = 0; i < 4; i++)
            out[i] = a.addr[12 + i];
        return true;
    }
    return false;
}

int do_pasv(ftp_session *s) {
    uint8_t ip[4];
    if (!pasv_ipv4(s, ip)) {
        // A client on IPv6 has no address PASV could name.
        ftp_relply(s, 500, FTP_T_PASV_IPV6);
        return 0;
    }
    if (pasv_comm(s) != 0)
        return 0;
    ftp_relply(s, 227, FTP_T_PASV_OK, ip[0], ip[1], ip[2],
               ip[3], unsigned(s->dc.pasv_port) / 256, unsigned(s->dc.pasv_port) % 256);
    return 0;
}

int do_epsv(ftp_session *s) {
    if (pasv_comm(s) != 0)
        return 0;
    LOG2(LOG2_VERB, TAG, "srv [%s]:%d\n", s->local_addr, s->dc.pasv_port);
    ftp_relply(s, 229, FTP_T_EPSV_OK, s->dc.pasv_port);
    return 0;
}

/// Connects to the client's PORT/EPRT address directly: a data connection never goes
/// through a proxy, whatever the process environment says.
static int active_connect(ftp_session *s) {
    sock_cli_opts opts{};
    opts.timeout_ms = g_ftpd_conf.port_connect_timeout_ms;
    net_err e{};
    os_socket_t sock = sock_tcp_init(s->dc.active_sa.family, 0, &e);
    if (sock != 0 && sock_connect_imp(sock, &s->dc.active_sa, &opts, &e) != 0) {
        sock_tcp_close(sock);
        sock = 0;
    }
    if (sock == 0) {
        LOG2(LOG2_ERR, TAG, "net_open [%s] failed: %s\n", s->dc.active_url, net_err_text(&e));
        ftp_relply(s, 500, FTP_T_CONNECT_FAILED);
        return -1;
    }
    net_stream_init(&s->dc.stream, NET_TYPE_TCP, sock, g_ftpd_conf.read_timeout_ms);
    return 0;
}

int get_fd(ftp_session *s) {
    if (s->dc.stream.handle != 0) {
        net_close(&s->dc.stream);
        net_stream_init(&s->dc.stream, NET_TYPE_TCP, 0, g_ftpd_conf.read_timeout_ms);
    }
    if (s->dc.mode == FTP_DATA_PORT)
        return active_connect(s);
    if (s->dc.mode != FTP_DATA_PASV || s->dc.pasv == nullptr) {
        LOG2(LOG2_ERR, TAG, "invalid mode=%d\n", s->dc.mode);
        ftp_relply(s, 425, FTP_T_NO_DATA_MODE);
        return -1;
    }
    os_socket_t sock = sock_tcp_server_wait_accept(s->dc.pasv, g_ftpd_conf.pasv_accept_wait_ms);
    if (sock == 0) {
        LOG2(LOG2_ERR, TAG, "passive wait_timeout [%s:%d] failed\n", s->local_addr,
             s->dc.pasv_port);
        ftpd_count(g_ftpd_counters.pasv_accept_timeouts);
        ftp_relply(s, 500, FTP_T_ACCEPT_FAILED);
        return -1;
    }
    net_stream_init(&s->dc.stream, NET_TYPE_TCP_SRV, sock, g_ftpd_conf.read_timeout_ms);
    return 0;
}

void data_close(ftp_session *s) {
    if (s->dc.stream.handle != 0)
        net_close(&s->dc.stream);
    net_stream_init(&s->dc.stream, NET_TYPE_TCP, 0, g_ftpd_conf.read_timeout_ms);
    if (s->dc.pasv != nullptr) {
        sock_tcp_server_wait_close(s->dc.pasv);
        s->dc.pasv = nullptr;
    }
}
