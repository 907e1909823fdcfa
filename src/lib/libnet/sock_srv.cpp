// sock_srv.cpp - listener groups served by the socket event thread, and the
// one-connection listener behind FTP passive mode.
#include <algorithm>
#include <string>
#include <string_view>

#include "log.h"
#include "net_internal.h"

// Connections accepted on the listener take these settings from it.
static void set_buffers(os_socket_t s, int recv_buf, int send_buf) {
    if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        LOG2(LOG2_WARN, NET_TAG, "OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    if (recv_buf && !os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, recv_buf))
        LOG2(LOG2_WARN, NET_TAG, "OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", recv_buf);
    if (send_buf && !os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, send_buf))
        LOG2(LOG2_WARN, NET_TAG, "OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", send_buf);
}

os_socket_t sock_tcp_bind(const char *addr, int port, sock_srv_opts *opts) {
    os_sockaddr sa{};
    if (!addr || !os_ipaddr_parse(addr, &sa)) {
        LOG2(LOG2_ERR, NET_TAG, "addr[%s]:%d error\n", addr ? addr : "", port);
        return 0;
    }
    sa.port = static_cast<uint16_t>(port);
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, sa.family);
    if (!s) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, NET_TAG, "socket_init [%s]:%d error: ", addr, port);
        return 0;
    }
    set_buffers(s, opts->recv_buf, opts->send_buf);
    if (!os_socket_bind(s, &sa)) {
        LOG2(int{LOG2_VERB} | LOG2_F_OSERR, NET_TAG, "socket_bind port %s:%d error: ", addr, port);
        os_socket_exit(s);
        return 0;
    }
    if (!os_socket_listen(s, opts->backlog)) {
        // A port taken by another socket is expected while a range is searched; only the
        // caller knows whether the search as a whole failed.
        int level = pal_last_error() == PAL_EADDRINUSE ? LOG2_VERB : LOG2_ERR;
        LOG2(level | LOG2_F_OSERR, NET_TAG, "socket_listen error: ");
        os_socket_exit(s);
        return 0;
    }
    os_sockaddr local{};
    if (port != 0)
        opts->bound_port = port;
    else if (os_socket_local(s, &local))
        opts->bound_port = local.port;
    return s;
}

os_socket_t sock_bind(const char *addr, int port, sock_srv_opts *opts) {
    PAL_ASSERT_RET(port > -1 && port < 0xffff, 0);
    PAL_ASSERT_RET(opts != nullptr, 0);
    return sock_tcp_bind(addr, port, opts);
}

// Binds one address of a group and hands the socket to the event thread. Returns false
// when nothing could be bound.
static bool group_add(sock_srv *srv, const char *addr, int *port, sock_srv_opts *opts) {
    os_socket_t s = sock_bind(addr, *port, opts);
    if (!s)
        return false;
    os_poller *p = sock_env_poller();
    if (!p || !os_poller_insert(p, {OS_POLLER_OBJECT_SOCKET, s}, OS_POLLER_EVENT_READ, srv))
        LOG2(int{LOG2_CRIT} | LOG2_F_NOEXIT, NET_TAG, "os_poller_insert_sock failed\n");
    srv->socks[srv->count++] = s;
    if (*port == 0)
        *port = opts->bound_port;  // the rest of the group shares the port chosen now
    return true;
}

// Splits the list at ';' and ',' (empty items skipped) and binds up to SOCK_SRV_MAX items.
static void group_add_list(sock_srv *srv, const char *addrs, int port, sock_srv_opts *opts) {
    std::string_view rest(addrs);
    int items = 0;
    while (!rest.empty() && items < SOCK_SRV_MAX) {
        size_t cut = rest.find_first_of(";,");
        std::string_view item = pal_trim(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (item.empty())
            continue;
        items++;
        char one[512];
        (void)pal_strlcpy(one, item);
        (void)group_add(srv, one, &port, opts);
    }
}

sock_srv *sock_server_init_imp(const char *addrs, int port, sock_srv_opts *opts) {
    PAL_ASSERT_RET(opts != nullptr, nullptr);
    (void)sock_env_init();
    auto *srv = new sock_srv{};
    srv->type = SOCKET_TYPE_LISTEN;
    (void)pal_strlcpy(srv->name, opts->name ? opts->name : "");
    srv->accept_proc = opts->accept_proc;
    srv->work_proc = opts->work_proc;
    srv->arg = opts->arg;
    if (addrs && *addrs) {
        group_add_list(srv, addrs, port, opts);
    } else {
        (void)group_add(srv, "0.0.0.0", &port, opts);
        if (os_has_ipv6())
            (void)group_add(srv, "::", &port, opts);
    }
    if (os_poller *p = sock_env_poller())
        (void)os_poller_spak(p);
    if (srv->count == 0) {
        (void)sock_server_exit(srv);
        return nullptr;
    }
    return srv;
}

int sock_server_exit(sock_srv *srv) {
    if (!srv)
        return 0;
    sock_env_forget_listener(srv);
    os_poller *p = sock_env_poller();
    for (int i = 0; i < srv->count; i++) {
        if (p)
            (void)os_poller_remove(p, {OS_POLLER_OBJECT_SOCKET, srv->socks[i]});
        os_socket_exit(srv->socks[i]);
    }
    delete srv;
    return 0;
}

// ---------------------------------------------------------------------------------------
// One-connection listener. The waiting thread accepts by itself: a passive transfer costs
// no hand-over through the event thread, and the listener closes as soon as its one
// connection is taken, so later connects are refused by the system.

struct sock_wait_srv {
    os_socket_t sock = 0;  // the listening socket; 0 once a connection was taken
    bool has_allow = false;
    os_sockaddr allow{};
    int port = 0;
};

// The first item of an address list (the listener serves one address), or "0.0.0.0".
static std::string first_addr(const char *addrs) {
    std::string_view rest(addrs ? addrs : "");
    for (;;) {
        size_t cut = rest.find_first_of(";,");
        std::string_view item = pal_trim(rest.substr(0, cut));
        if (!item.empty())
            return std::string(item);
        if (cut == std::string_view::npos)
            return "0.0.0.0";
        rest.remove_prefix(cut + 1);
    }
}

sock_wait_srv *sock_tcp_server_wait_open2(const char *addrs, int begin, int end,
                                          sock_srv_opts *opts) {
    PAL_ASSERT_RET(opts != nullptr, nullptr);
    std::string addr = first_addr(addrs);
    os_socket_t s = 0;
    if (begin == 0 || begin > end) {
        s = sock_bind(addr.c_str(), 0, opts);
    } else {
        // The end port itself is never tried, so begin == end is an empty range.
        int first = opts->first_port >= begin && opts->first_port < end ? opts->first_port
                                                                         : begin;
        for (int i = 0; i < end - begin && !s; i++)
            s = sock_bind(addr.c_str(), begin + (first - begin + i) % (end - begin), opts);
    }
    if (!s)
        return nullptr;
    auto *w = new sock_wait_srv;
    w->sock = s;
    w->port = opts->bound_port;
    if (opts->allow_peer) {
        w->has_allow = true;
        w->allow = *opts->allow_peer;
    }
    return w;
}

// One pending connection, or 0. A connection from another host than the allowed one is
// closed at once and the next one is looked at.
static os_socket_t wait_take(sock_wait_srv *w) {
    os_sockaddr peer{};
    while (os_socket_t ns = os_socket_accept(w->sock, &peer)) {
        if (!w->has_allow || os_ipaddr_same_host(&peer, &w->allow))
            return ns;
        char text[128];
        LOG2(LOG2_WARN, NET_TAG, "passive connection from %s refused\n",
             os_ipaddr_cstr(&peer, true, text));
        sock_tcp_close(ns);
        peer = os_sockaddr{};
    }
    return 0;
}

os_socket_t sock_tcp_server_wait_accept(sock_wait_srv *w, int timeout_ms) {
    PAL_ASSERT_RET(w != nullptr, 0);
    uint64_t start = os_clock_ms();
    while (w->sock) {
        if (os_socket_t ns = wait_take(w)) {
            os_socket_exit(w->sock);  // one connection only: later ones are refused
            w->sock = 0;
            return ns;
        }
        int left = 1000;
        if (timeout_ms >= 0) {
            left = timeout_ms - int(std::min<uint64_t>(os_clock_ms() - start, 0x7fffffff));
            if (left <= 0)
                return 0;
        }
        if (os_socket_wait(w->sock, OS_SOCKET_READ, left) < 0)
            return 0;
    }
    return 0;
}

int sock_tcp_server_wait_port(const sock_wait_srv *w) {
    return w ? w->port : 0;
}

int sock_tcp_server_wait_close(sock_wait_srv *w) {
    if (!w)
        return 0;
    if (w->sock)
        os_socket_exit(w->sock);
    delete w;
    return 0;
}
