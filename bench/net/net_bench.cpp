// net_bench - loopback throughput of net streams beside a plain send/recv loop, and
// accepts per second through a listener group into a connection pool.
// Usage: net_bench [MiB per transfer run, default 1024] [connections, default 2000]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "log.h"
#include "net.h"

enum : int { BUF = 2 << 20 };

namespace {
// A connected loopback TCP pair {client, server}.
bool tcp_pair(os_socket_t out[2]) {
    sock_srv_opts o{};
    os_socket_t l = sock_bind("127.0.0.1", 0, &o);
    if (!l)
        return false;
    net_err e{};
    out[0] = sock_connect("127.0.0.1", o.bound_port, 2000, nullptr, &e);
    out[1] = 0;
    if (out[0] && os_socket_wait(l, OS_SOCKET_READ, 2000) > 0)
        out[1] = os_socket_accept(l, nullptr);
    os_socket_exit(l);
    return out[0] && out[1];
}

// The plain loop: one send/recv call per step, waiting only when the call would block.
void plain_send(os_socket_t s, const char *buf, uint64_t total) {
    uint64_t sent = 0;
    while (sent < total) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(BUF, total - sent));
        int n = os_socket_send(s, buf, want);
        if (n < 0)
            return;
        if (n == 0)
            (void)os_socket_wait(s, OS_SOCKET_WRITE, -1);
        sent += static_cast<uint64_t>(n);
    }
}

uint64_t plain_recv(os_socket_t s, char *buf, uint64_t total) {
    uint64_t got = 0;
    while (got < total) {
        int n = os_socket_recv(s, buf, BUF);
        if (n < 0 || (n == 0 && os_socket_error() == 0))
            break;
        if (n == 0)
            (void)os_socket_wait(s, OS_SOCKET_READ, -1);
        got += static_cast<uint64_t>(n);
    }
    return got;
}

void stream_send(os_socket_t s, const char *buf, uint64_t total) {
    net_stream ns{};
    net_stream_init(&ns, NET_TYPE_TCP, s, 10000);
    for (uint64_t sent = 0; sent < total;) {
        int want = static_cast<int>(std::min<uint64_t>(BUF, total - sent));
        int n = net_write(&ns, buf, want);
        if (n <= 0)
            return;
        sent += static_cast<uint64_t>(n);
    }
}

uint64_t stream_recv(os_socket_t s, char *buf, uint64_t total) {
    net_stream ns{};
    net_stream_init(&ns, NET_TYPE_TCP_SRV, s, 10000);
    uint64_t got = 0;
    while (got < total) {
        int n = net_read(&ns, buf, BUF);
        if (n <= 0)
            break;
        got += static_cast<uint64_t>(n);
    }
    return got;
}

// MB/s of one transfer of total bytes through the given sender and receiver.
template <typename Send, typename Recv>
double transfer_mbs(uint64_t total, Send send_fn, Recv recv_fn) {
    os_socket_t p[2];
    if (!tcp_pair(p))
        return 0;
    std::vector<char> out(BUF, 'n'), in(BUF);
    uint64_t start = os_clock_us();
    std::thread writer([&] { send_fn(p[0], out.data(), total); });
    uint64_t got = recv_fn(p[1], in.data(), total);
    writer.join();
    uint64_t us = os_clock_us() - start;
    sock_tcp_close(p[0]);
    sock_tcp_close(p[1]);
    if (got != total || us == 0)
        return 0;
    return static_cast<double>(total) / static_cast<double>(us);
}

std::atomic<int> g_served{0};

int close_worker(sock_ctx *c) {
    g_served++;
    sock_tcp_ctx_close(c->pool, c);
    return 0;
}

int pool_accept(os_socket_t s, const os_sockaddr *, void *arg) {
    if (!sock_tcp_ctx_open(static_cast<sock_ctx_pool *>(arg), s))
        sock_tcp_close(s);
    return 0;
}

double accepts_per_second(int count) {
    sock_ctx_opts po{"bench_srv", sizeof(sock_ctx), nullptr, close_worker};
    sock_ctx_pool *pool = sock_tcp_ctx_init(&po);
    sock_srv_opts o{};
    o.name = "bench_srv";
    o.backlog = 128;
    o.accept_proc = pool_accept;
    o.arg = pool;
    sock_srv *srv = sock_server_init_imp("127.0.0.1", 0, &o);
    if (!srv)
        return 0;
    uint64_t start = os_clock_us();
    for (int i = 0; i < count; i++) {
        net_err e{};
        os_socket_t s = sock_connect("127.0.0.1", o.bound_port, 2000, nullptr, &e);
        sock_tcp_close(s);
    }
    uint64_t connected_us = os_clock_us() - start;
    while (g_served.load() < count && os_clock_us() - start < 30000000)
        os_sleep_ms(1);
    uint64_t us = os_clock_us() - start;
    (void)sock_server_exit(srv);
    sock_tcp_ctx_exit(pool);
    std::printf("  (connects took %.0f ms, all served after %.0f ms)\n", connected_us / 1e3,
                us / 1e3);
    return us ? g_served.load() * 1e6 / static_cast<double>(us) : 0;
}
}  // namespace

int main(int argc, char **argv) {
    (void)log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<long>(LOG2_ERR));
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int conns = argc > 2 ? std::atoi(argv[2]) : 2000;
    uint64_t total = mib << 20;
    double best_plain = 0, best_net = 0;
    for (int round = 0; round < 3; round++) {  // alternate, keep the best of each
        best_plain = std::max(best_plain, transfer_mbs(total, plain_send, plain_recv));
        best_net = std::max(best_net, transfer_mbs(total, stream_send, stream_recv));
    }
    std::printf("bulk transfer, %llu MiB per run, 2 MiB buffers, best of 3\n",
                static_cast<unsigned long long>(mib));
    std::printf("  plain send/recv loop      %8.1f MB/s\n", best_plain);
    std::printf("  net_write/net_read        %8.1f MB/s\n", best_net);
    std::printf("  net stream / plain        %8.2f\n", best_plain > 0 ? best_net / best_plain : 0);
    double aps = accepts_per_second(conns);
    std::printf("accepts through a listener group into a pool (%d connections)\n", conns);
    std::printf("  accepts per second        %8.0f\n", aps);
    (void)sock_env_exit();
    return 0;
}
