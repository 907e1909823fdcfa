// ftp_bench.cpp - FTP transfer throughput and concurrency: download and upload of one
// large file over a passive data connection (MB/s), and N concurrent sessions that each
// log in, open PASV, LIST, RETR a 64 KiB file and QUIT (wall time, p50, p99, errors).
//
//   ftp_bench [--size MiB] [--sessions N] [--runs R]            in-process server
//   ftp_bench --host H --port P --user U --pass W [...]         any running FTP server
//
// Against a running server the bench uploads its own files first (ftp_bench_big.bin,
// ftp_bench_64k.bin) and deletes them at the end.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ftpd.h"
#include "log.h"
#include "net.h"
#include "pal.h"
#include "pal_socket.h"
#include "vfs.h"

namespace {

struct target {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string user = "anonymous";
    std::string pass = "bench@";
};

target g_t;

using clock_type = std::chrono::steady_clock;

double secs_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

struct client {
    net_stream ctl{};
    net_stream data{};
    std::string text;

    ~client() {
        if (data.handle)
            (void)net_close(&data);
        if (ctl.handle)
            (void)net_close(&ctl);
    }
    // Reads one reply; returns its code or -1.
    int reply() {
        char buf[8192];
        for (int lines = 0; lines < 1000; lines++) {
            int n = net_gets(&ctl, buf, sizeof buf);
            if (n <= 0)
                return -1;
            if (strlen(buf) >= 4 && buf[3] == ' ') {
                text = buf;
                return atoi(buf);
            }
        }
        return -1;
    }
    int cmd(const std::string &line) {
        std::string l = line + "\r\n";
        if (net_write(&ctl, l.data(), int(l.size())) != int(l.size()))
            return -1;
        return reply();
    }
    bool open_login() {
        std::string url = "tcp://" + g_t.host + ":" + std::to_string(g_t.port);
        if (net_open(&ctl, url.c_str(), 10000) != 0)
            return false;
        ctl.timeout_ms = 30000;
        return reply() == 220 && cmd("USER " + g_t.user) == 331 && cmd("PASS " + g_t.pass) == 230 &&
               cmd("TYPE I") == 200;
    }
    bool pasv() {
        if (cmd("PASV") != 227)
            return false;
        unsigned h[6];
        size_t p = text.find('(');
        if (p == std::string::npos || sscanf(text.c_str() + p, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1],
                                             &h[2], &h[3], &h[4], &h[5]) != 6)
            return false;
        std::string url = "tcp://" + g_t.host + ":" + std::to_string(h[4] * 256 + h[5]);
        if (net_open(&data, url.c_str(), 10000) != 0)
            return false;
        data.timeout_ms = 30000;
        return true;
    }
    // Reads the data connection to its end; returns the bytes or -1.
    int64_t drain(std::vector<char> &buf) {
        int64_t total = 0;
        for (;;) {
            int n = net_read(&data, buf.data(), int(buf.size()));
            if (n < 0)
                break;
            total += n;
            if (n == 0 || data.disconnected)
                break;
        }
        (void)net_close(&data);
        net_stream_init(&data, NET_TYPE_TCP, 0, 30000);
        return total;
    }
    int64_t get(const std::string &command, std::vector<char> &buf) {
        if (!pasv() || cmd(command) != 150)
            return -1;
        int64_t n = drain(buf);
        return reply() == 226 ? n : -1;
    }
    bool put(const std::string &command, const std::vector<char> &block, int64_t size) {
        if (!pasv() || cmd(command) != 150)
            return false;
        for (int64_t done = 0; done < size;) {
            int len = int(std::min<int64_t>(int64_t(block.size()), size - done));
            if (net_write(&data, block.data(), len) != len)
                return false;
            done += len;
        }
        (void)net_close(&data);
        net_stream_init(&data, NET_TYPE_TCP, 0, 30000);
        return reply() == 226;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void throughput(int64_t size, int runs) {
    std::vector<char> block(4 << 20);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = char(i * 131 + 7);
    client c;
    if (!c.open_login()) {
        printf("throughput: login failed\n");
        return;
    }
    std::vector<double> up, down;
    for (int r = 0; r < runs; r++) {
        auto t0 = clock_type::now();
        if (!c.put("STOR ftp_bench_big.bin", block, size)) {
            printf("upload failed: %s\n", c.text.c_str());
            return;
        }
        up.push_back(double(size) / 1e6 / secs_since(t0));
        t0 = clock_type::now();
        int64_t got = c.get("RETR ftp_bench_big.bin", block);
        if (got != size) {
            printf("download failed (%lld bytes): %s\n", (long long)got, c.text.c_str());
            return;
        }
        down.push_back(double(size) / 1e6 / secs_since(t0));
    }
    printf("download MB/s: %.0f (median of %d, %lld MiB)\n", median(down), runs,
           (long long)(size >> 20));
    printf("upload MB/s:   %.0f (median of %d)\n", median(up), runs);
    (void)c.cmd("DELE ftp_bench_big.bin");
    (void)c.cmd("QUIT");
}

// One session of the concurrency measure. Returns its time in ms, or -1 on an error.
double one_session() {
    auto t0 = clock_type::now();
    client c;
    std::vector<char> buf(65536);
    if (!c.open_login() || !c.pasv() || c.cmd("LIST") != 150)
        return -1;
    c.drain(buf);
    if (c.reply() != 226 || c.get("RETR ftp_bench_64k.bin", buf) != 65536)
        return -1;
    if (c.cmd("QUIT") != 221)
        return -1;
    return secs_since(t0) * 1000;
}

void concurrency(int sessions) {
    {
        client c;
        std::vector<char> block(65536, 'c');
        if (!c.open_login() || !c.put("STOR ftp_bench_64k.bin", block, 65536)) {
            printf("concurrency: set-up failed\n");
            return;
        }
        (void)c.cmd("QUIT");
    }
    std::vector<double> ms(size_t(sessions), -1);
    std::vector<std::thread> threads;
    auto t0 = clock_type::now();
    for (int i = 0; i < sessions; i++)
        threads.emplace_back([i, &ms] { ms[size_t(i)] = one_session(); });
    for (auto &t : threads)
        t.join();
    double wall = secs_since(t0);
    std::vector<double> ok;
    for (double v : ms)
        if (v >= 0)
            ok.push_back(v);
    std::sort(ok.begin(), ok.end());
    double p50 = ok.empty() ? 0 : ok[ok.size() / 2];
    double p99 = ok.empty() ? 0 : ok[std::min(ok.size() - 1, ok.size() * 99 / 100)];
    printf("concurrency: %d sessions in %.2f s, p50 %.1f ms, p99 %.1f ms, errors %zu\n",
           sessions, wall, p50, p99, ms.size() - ok.size());
    client c;
    if (c.open_login())
        (void)c.cmd("DELE ftp_bench_64k.bin");
}

}  // namespace

int main(int argc, char **argv) {
    int64_t size_mib = 1024;
    int sessions = 256;
    int runs = 3;
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<long>(LOG2_WARN));  // figures only
    if (argc % 2 == 0) {
        fprintf(stderr, "usage: ftp_bench [--size MiB] [--sessions N] [--runs R]\n"
                        "       ftp_bench --host H --port P --user U --pass W [...]\n");
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--host") g_t.host = v;
        else if (k == "--port") g_t.port = atoi(v.c_str());
        else if (k == "--user") g_t.user = v;
        else if (k == "--pass") g_t.pass = v;
        else if (k == "--size") size_mib = atoll(v.c_str());
        else if (k == "--sessions") sessions = atoi(v.c_str());
        else if (k == "--runs") runs = atoi(v.c_str());
        else {
            fprintf(stderr, "unknown option %s\n", k.c_str());
            return 2;
        }
    }
    (void)sock_env_init();
    ftpd_server *srv = nullptr;
    std::filesystem::path root;
    if (g_t.port == 0) {
        (void)os_fd_limit_raise(65536);
        if (libvfs_init() != 0)
            return 1;
        root = std::filesystem::temp_directory_path() / ("ftp_bench_" + std::to_string(os_getpid()));
        std::filesystem::create_directories(root);
        ftpd_lib_init();
        sock_srv_opts o{};
        o.name = "bench_port";
        os_socket_t s = sock_tcp_bind("127.0.0.1", 0, &o);
        g_t.port = o.bound_port;
        sock_tcp_close(s);
        g_ftpd_conf.ftp_port = g_t.port;
        g_ftpd_conf.ftp_addr = "127.0.0.1";
        g_ftpd_conf.ftp_root = root.string();
        srv = ftpd_start();
        if (!srv)
            return 1;
        printf("in-process server on port %d\n", g_t.port);
    }
    throughput(size_mib << 20, runs);
    concurrency(sessions);
    if (srv) {
        ftpd_stop(srv);
        ftpd_lib_exit();
        std::filesystem::remove_all(root);
    }
    return 0;
}
