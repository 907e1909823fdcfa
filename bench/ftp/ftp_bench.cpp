// ftp_bench.cpp - FTP transfer throughput and concurrency: download and upload of one
// large file over a passive data connection (MB/s, and the process's CPU time per GiB), in
// clear, with AUTH TLS and PROT P on the suite the server picks, and again with the client
// offering only each suite of --suites; then N concurrent sessions that each log in, open
// PASV, LIST, RETR a 64 KiB file and QUIT (wall time, p50, p99, errors).
//
//   ftp_bench [--size MiB] [--sessions N] [--runs R] [--tls both|off|only] [--suites S,..]
//   ftp_bench --host H --port P --user U --pass W [...]         any running FTP server
//
// Against a running server the bench uploads its own files first (ftp_bench_big.bin,
// ftp_bench_64k.bin) and deletes them at the end. In process, client and server share the
// machine's cores: the CPU time of a PROT P transfer is encryption and decryption both, and
// it stays a fair figure on a machine busy with other work, where MB/s does not.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
#include "ssl.h"
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
    bool prot_p = false;      ///< AUTH TLS at login, and TLS on every data connection
    ssl_conf *conf = nullptr;  ///< client TLS configuration (owned); null: the shared one
    std::string cipher;       ///< suite of the last protected data connection

    ~client() {
        if (data.handle)
            (void)net_close(&data);
        if (ctl.handle)
            (void)net_close(&ctl);
        ssl_conf_free(conf);
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
        if (reply() != 220)
            return false;
        if (prot_p && (cmd("AUTH TLS") != 234 || !ssl_cli_connect(&ctl, conf) ||
                       cmd("PBSZ 0") != 200 || cmd("PROT P") != 200))
            return false;
        return cmd("USER " + g_t.user) == 331 && cmd("PASS " + g_t.pass) == 230 &&
               cmd("TYPE I") == 200;
    }
    // After the 150 reply: the TLS handshake of a protected data connection.
    bool data_ready() {
        if (!prot_p)
            return true;
        auto *tls = ssl_cli_connect(&data, conf);
        if (tls)
            cipher = ssl_session_cipher(tls);
        return tls != nullptr;
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
        if (!pasv() || cmd(command) != 150 || !data_ready())
            return -1;
        int64_t n = drain(buf);
        return reply() == 226 ? n : -1;
    }
    bool put(const std::string &command, const std::vector<char> &block, int64_t size) {
        if (!pasv() || cmd(command) != 150 || !data_ready())
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

// Wall time and the process's CPU time (client and server threads together) of one step.
struct timing {
    clock_type::time_point wall = clock_type::now();
    std::clock_t cpu = std::clock();
    double wall_s() const { return secs_since(wall); }
    double cpu_s() const { return double(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

struct figures {
    std::vector<double> mbs, cpu_ms_per_gib;
    void add(int64_t size, const timing &t) {
        mbs.push_back(double(size) / 1e6 / t.wall_s());
        cpu_ms_per_gib.push_back(t.cpu_s() * 1000 * double(1 << 30) / double(size));
    }
};

// suite: null for clear data, "" for PROT P with the suite the server picks, else PROT P
// with the client offering only that suite.
void throughput(int64_t size, int runs, const char *suite) {
    std::vector<char> block(4 << 20);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = char(i * 131 + 7);
    client c;
    c.prot_p = suite != nullptr;
    std::string mode = !suite ? "clear" : *suite ? std::string("PROT P, offering ") + suite
                                                 : "PROT P, server's choice";
    if (suite && *suite) {
        c.conf = ssl_cli_conf_new();
        if (!c.conf || ssl_conf_suites(c.conf, suite) != 0) {
            printf("%s: not available here\n", mode.c_str());
            return;
        }
    }
    if (!c.open_login()) {
        printf("%s: login failed: %s\n", mode.c_str(), c.text.c_str());
        return;
    }
    figures up, down;
    for (int r = 0; r < runs; r++) {
        timing t;
        if (!c.put("STOR ftp_bench_big.bin", block, size)) {
            printf("%s: upload failed: %s\n", mode.c_str(), c.text.c_str());
            return;
        }
        up.add(size, t);
        t = timing{};
        int64_t got = c.get("RETR ftp_bench_big.bin", block);
        if (got != size) {
            printf("%s: download failed (%lld bytes): %s\n", mode.c_str(), (long long)got,
                   c.text.c_str());
            return;
        }
        down.add(size, t);
    }
    printf("%s%s%s (%lld MiB, median of %d):\n", mode.c_str(), c.prot_p ? " -> " : "",
           c.cipher.c_str(), (long long)(size >> 20), runs);
    printf("  download MB/s: %5.0f   CPU ms per GiB: %5.0f\n", median(down.mbs),
           median(down.cpu_ms_per_gib));
    printf("  upload MB/s:   %5.0f   CPU ms per GiB: %5.0f\n", median(up.mbs),
           median(up.cpu_ms_per_gib));
    fflush(stdout);
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

// A fresh key and self-signed certificate beside the server's root, for AUTH TLS.
bool bench_tls_files(const std::filesystem::path &root) {
    std::string key = root.string() + ".key", crt = root.string() + ".crt";
    if (ssl_create_key_x509_file(key.c_str(), crt.c_str()) != 0) {
        printf("key and certificate could not be made\n");
        return false;
    }
    g_ftpd_conf.ftp_extensions = 1;
    g_ftpd_conf.key_file = key;
    g_ftpd_conf.crt_file = crt;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int64_t size_mib = 1024;
    int sessions = 256;
    int runs = 3;
    std::string tls = "both";
    std::string suites = "TLS-ECDHE-RSA-WITH-AES-128-GCM-SHA256,"
                         "TLS-ECDHE-RSA-WITH-CHACHA20-POLY1305-SHA256";
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<long>(LOG2_WARN));  // figures only
    if (argc % 2 == 0) {
        fprintf(stderr, "usage: ftp_bench [--size MiB] [--sessions N] [--runs R]\n"
                        "       ftp_bench --host H --port P --user U --pass W [...]\n"
                        "       [--tls both|off|only] (PROT P transfers beside the clear ones)\n"
                        "       [--suites S1,S2] (PROT P again offering only each of them)\n");
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
        else if (k == "--tls") tls = v;
        else if (k == "--suites") suites = v;
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
        if (tls != "off" && !bench_tls_files(root))
            return 1;
        srv = ftpd_start();
        if (!srv)
            return 1;
        printf("in-process server on port %d\n", g_t.port);
    }
    (void)ssl_lib_init();
    if (tls != "only")
        throughput(size_mib << 20, runs, nullptr);
    if (tls != "off") {
        throughput(size_mib << 20, runs, "");
        for (size_t p = 0; p < suites.size();) {
            size_t comma = std::min(suites.find(',', p), suites.size());
            throughput(size_mib << 20, runs, suites.substr(p, comma - p).c_str());
            p = comma + 1;
        }
    }
    if (tls != "only")
        concurrency(sessions);
    if (srv) {
        ftpd_stop(srv);
        ftpd_lib_exit();
        std::filesystem::remove_all(root);
        std::filesystem::remove(root.string() + ".key");
        std::filesystem::remove(root.string() + ".crt");
    }
    return 0;
}
