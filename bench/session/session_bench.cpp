// session_bench.cpp - FTP session rate and idle cost: logins per second one at a time and
// from 32 parallel clients (connect, greeting, USER, PASS, QUIT), and the memory (PSS) of
// 500 idle logged-in sessions. Runs an in-process server on a loopback port, or measures
// a running server given as "session_bench PORT USER PASS" (idle memory then skipped).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ftpd.h"
#include "log.h"
#include "net.h"
#include "pal.h"
#include "pal_socket.h"
#include "vfs.h"

namespace {
struct target {
    int port;
    std::string user, pass;
};

target g_t;

struct client {
    net_stream st{};
    ~client() {
        if (st.handle)
            (void)net_close(&st);
    }
    // Reads lines until one starting with the expected code and a blank.
    bool expect(const char *code) {
        char buf[8192];
        for (int tries = 0; tries < 20; tries++) {
            int n = net_gets(&st, buf, sizeof buf);
            if (n < 0)
                return false;
            if (n > 0 && strncmp(buf, code, 3) == 0 && buf[3] == ' ')
                return true;
            if (n > 0 && buf[3] != '-')
                return false;
        }
        return false;
    }
    bool say(const std::string &line, const char *code) {
        std::string l = line + "\r\n";
        return net_write(&st, l.data(), int(l.size())) == int(l.size()) && expect(code);
    }
    bool open_login() {
        os_socket_t s = sock_connect("127.0.0.1", g_t.port, 3000, nullptr, nullptr);
        if (!s)
            return false;
        net_stream_init(&st, NET_TYPE_TCP, s, 3000);
        return expect("220") && say("USER " + g_t.user, "331") && say("PASS " + g_t.pass, "230");
    }
};

bool one_login() {
    client c;
    return c.open_login() && c.say("QUIT", "221");
}

double sequential(int n, int *fail) {
    uint64_t t0 = os_clock_us();
    for (int i = 0; i < n; i++)
        *fail += !one_login();
    return n * 1e6 / double(os_clock_us() - t0);
}

std::atomic<int> g_left, g_fail;

int parallel_worker(void *) {
    while (g_left.fetch_sub(1) > 0)
        if (!one_login())
            g_fail++;
    return 0;
}

double parallel(int n, int workers, int *fail) {
    g_left = n;
    g_fail = 0;
    uint64_t t0 = os_clock_us();
    std::vector<os_thread *> th;
    for (int i = 0; i < workers; i++)
        th.push_back(os_thread_init("bench_cli", parallel_worker, nullptr, 0, nullptr));
    for (os_thread *t : th) {
        (void)os_thread_wait(t, -1, nullptr);
        os_thread_close(t);
    }
    *fail = g_fail.load();
    return n * 1e6 / double(os_clock_us() - t0);
}

long pss_kib() {
    std::string text;
    if (os_read_file("/proc/self/smaps_rollup", &text) != 0)
        return -1;
    size_t p = text.find("\nPss:");
    return p == std::string::npos ? -1 : atol(text.c_str() + p + 5);
}

void idle_memory(ftpd_server *srv, int n) {
    long before = pss_kib();
    std::vector<std::unique_ptr<client>> idle;
    for (int i = 0; i < n; i++) {
        idle.push_back(std::make_unique<client>());
        if (!idle.back()->open_login()) {
            printf("idle session %d failed\n", i);
            return;
        }
    }
    os_sleep_ms(500);
    long after = pss_kib();
    printf("idle sessions: %d live, PSS %ld KiB -> %ld KiB, %.1f KiB per session "
           "(client ends included)\n",
           ftpd_session_count(srv), before, after, double(after - before) / n);
}

int free_port() {
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    os_sockaddr sa{}, local{};
    int port = 0;
    if (s && os_ipaddr_parse("127.0.0.1", &sa) && os_socket_bind(s, &sa) &&
        os_socket_local(s, &local))
        port = local.port;
    if (s)
        os_socket_exit(s);
    return port;
}
}  // namespace

int main(int argc, char **argv) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "err");
    (void)os_fd_limit_raise(8192);
    ftpd_server *srv = nullptr;
    if (argc >= 4) {
        g_t = {atoi(argv[1]), argv[2], argv[3]};
    } else {
        ftpd_lib_init();
        (void)libvfs_init();
        g_t = {free_port(), "bench", "bench"};
        g_ftpd_conf.ftp_addr = "127.0.0.1";
        g_ftpd_conf.ftp_port = g_t.port;
        g_ftpd_conf.user = "bench";
        g_ftpd_conf.passwd = "bench";
        g_ftpd_conf.ftp_root = "/tmp";
        srv = ftpd_start();
        if (!srv) {
            fprintf(stderr, "server start failed\n");
            return 1;
        }
    }
    int fail = 0;
    (void)sequential(50, &fail);  // warm-up
    fail = 0;
    double seq = sequential(1000, &fail);
    printf("logins one at a time: %.0f /s (%d failed)\n", seq, fail);
    double par = parallel(4000, 32, &fail);
    printf("logins with 32 parallel clients: %.0f /s (%d failed)\n", par, fail);
    if (srv) {
        idle_memory(srv, 500);
        ftpd_stop(srv);
        ftpd_lib_exit();
    }
    return 0;
}
