// sock_cli.cpp - outgoing TCP connections: name resolution, a connect that waits in
// 200 ms slices so that a stop request or the time-out ends it quickly, and the proxy hand-off.
#include <algorithm>

#include "log.h"
#include "net_internal.h"

enum : int { CONNECT_SLICE_MS = 200 };

void sock_tcp_close(os_socket_t s) {
    if (!s)
        return;
    os_socket_kill(s);
    os_socket_exit(s);
}

os_socket_t sock_tcp_init(int family, int buf_size, net_err *e) {
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, family);
    if (!s) {
        int code = pal_last_error();
        net_err_set(e, code, "os_socket_init error: %s", pal_strerror(code));
        return 0;
    }
    if (buf_size) {
        if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, buf_size))
            LOG2(LOG2_WARN, NET_TAG, "OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", buf_size);
        if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, buf_size))
            LOG2(LOG2_WARN, NET_TAG, "OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", buf_size);
    }
    if (!os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        LOG2(LOG2_WARN, NET_TAG, "OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    return s;
}

static bool stop_requested(const net_stop *stop, int timeout_ms) {
    if (!stop)
        return false;
    return stop->flag.load() || (stop->check && stop->check(stop->arg, timeout_ms));
}

static int connect_failed(const os_sockaddr *addr, net_err *e) {
    int code = pal_last_error();
    char text[128];
    net_err_set(e, code, "connect %s %s", os_ipaddr_cstr(addr, true, text), pal_strerror(code));
    return -1;
}

int sock_connect_imp(os_socket_t s, const os_sockaddr *addr, const sock_cli_opts *opts,
                     net_err *e) {
    PAL_ASSERT_RET(s != 0 && addr != nullptr && opts != nullptr, -1);
    uint64_t start = os_clock_ms();
    for (;;) {
        int rc = os_socket_connect(s, addr);
        if (rc == 1)
            return 0;
        if (rc < 0)
            return connect_failed(addr, e);
        for (;;) {
            uint64_t spent = os_clock_ms() - start;
            if (spent >= static_cast<uint64_t>(std::max(opts->timeout_ms, 0))) {
                char text[128];
                net_err_set(e, -1, "connect %s timeout", os_ipaddr_cstr(addr, true, text));
                return -1;
            }
            if (stop_requested(opts->stop, opts->timeout_ms)) {
                net_err_set(e, -1, "User request stop");
                return -1;
            }
            int left = opts->timeout_ms - static_cast<int>(spent);
            int w = os_socket_wait(s, OS_SOCKET_WRITE, std::min(left, int{CONNECT_SLICE_MS}));
            if (w < 0)
                return connect_failed(addr, e);
            if (w > 0)
                break;  // the repeated connect reports the outcome
        }
    }
}

os_socket_t sock_tcp_connect(const char *host, int port, sock_cli_opts *opts, net_err *e) {
    PAL_ASSERT_RET(host != nullptr && opts != nullptr, 0);
    if (opts->proxy.type != NET_PROXY_NONE)
        return proxy_tcp_connect(host, port, opts, e);
    os_sockaddr addr{};
    if (!os_addrinfo_addr(host, &addr)) {
        net_err_set(e, -2, "addrinfo_addr %s failed", host);
        return 0;
    }
    addr.port = static_cast<uint16_t>(port);
    os_socket_t s = sock_tcp_init(addr.family, opts->buf_size, e);
    if (!s)
        return 0;
    if (opts->nowait) {
        if (os_socket_connect(s, &addr) >= 0)
            return s;
        (void)connect_failed(&addr, e);
        sock_tcp_close(s);
        return 0;
    }
    if (sock_connect_imp(s, &addr, opts, e) < 0) {
        sock_tcp_close(s);
        return 0;
    }
    return s;
}

os_socket_t sock_connect(const char *host, int port, int timeout_ms, net_stop *stop,
                         net_err *e) {
    sock_cli_opts opts{};
    opts.timeout_ms = timeout_ms;
    opts.stop = stop;
    return sock_tcp_connect(host, port, &opts, e);
}
