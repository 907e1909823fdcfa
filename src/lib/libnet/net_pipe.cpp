// net_pipe.cpp - "named pipe" streams over Unix domain sockets. Server and client derive
// the same socket path from the pipe name; the server's socket is private to the user.
#include <algorithm>

#include "log.h"
#include "net_internal.h"

enum : int { PIPE_SLICE_MS = 200 };

static bool pipe_addr(const char *name, os_sockaddr *addr) {
    char path[108];
    if (!name || os_local_socket_path(name, path) < 0 || !os_localaddr_set(addr, path)) {
        LOG2(LOG2_ERR, NET_TAG, "pipe name [%s] too long\n", name ? name : "");
        return false;
    }
    return true;
}

os_socket_t npipe_srv_open(const char *name) {
    os_sockaddr addr{};
    if (!pipe_addr(name, &addr))
        return 0;
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, OS_AF_LOCAL);
    if (!s) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, NET_TAG, "socket_init [%s] error: ", addr.path);
        return 0;
    }
    if (!os_socket_bind(s, &addr) || !os_socket_listen(s, 16)) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, NET_TAG, "pipe [%s] listen error: ", addr.path);
        os_socket_exit(s);
        return 0;
    }
    return s;
}

int npipe_srv_accept(os_socket_t srv, net_stream *s, int timeout_ms) {
    PAL_ASSERT_RET(srv != 0 && s != nullptr, -1);
    uint64_t start = os_clock_ms();
    for (;;) {
        if (os_socket_t c = os_socket_accept(srv, nullptr)) {
            net_stop *stop = s->stop;
            net_stream_init(s, NET_PIPE_SRV_TYPE, c, s->timeout_ms);
            s->stop = stop;
            return 0;
        }
        if (s->abort.load())
            return -2;
        int left = timeout_ms < 0 ? PIPE_SLICE_MS
                                  : timeout_ms - static_cast<int>(os_clock_ms() - start);
        if (left <= 0)
            return -2;
        if (os_socket_wait(srv, OS_SOCKET_READ, std::min(left, int{PIPE_SLICE_MS})) < 0)
            return -1;
    }
}

void npipe_srv_close(os_socket_t srv, const char *name) {
    if (srv)
        os_socket_exit(srv);
    os_sockaddr addr{};
    if (name && pipe_addr(name, &addr))
        (void)os_local_socket_remove(addr.path);
}

int npipe_cli_open(net_stream *s, const char *name, int timeout_ms) {
    PAL_ASSERT_RET(s != nullptr, -1);
    os_sockaddr addr{};
    if (!pipe_addr(name, &addr))
        return -1;
    os_socket_t c = os_socket_init(OS_SOCKET_TCP, OS_AF_LOCAL);
    if (!c)
        return -1;
    sock_cli_opts opts{};
    opts.timeout_ms = timeout_ms;
    opts.stop = s->stop;
    net_err err{};
    if (sock_connect_imp(c, &addr, &opts, &err) < 0) {
        LOG2(LOG2_DBG, NET_TAG, "pipe %s: %s\n", addr.path, net_err_text(&err));
        os_socket_exit(c);
        return -1;
    }
    net_stop *stop = s->stop;
    net_stream_init(s, NET_PIPE_CLI_TYPE, c, timeout_ms);
    s->stop = stop;
    return 0;
}
