// http_bench.cpp - the web console under load and its cost to the FTP service: requests per
// second for /metrics and for /cmd (with the page's token) from 1 and 32 concurrent
// clients, then the FTP download rate of a large file alone and with a scraper reading
// /metrics every 100 ms beside it, printed side by side.
//
//   http_bench [--nvtd PATH] [--size MiB] [--secs S] [--runs R]
//
// The bench starts its own nvtd (the build's binary unless --nvtd names one) on free
// loopback ports with a temporary root holding the file, and stops it at the end.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "log.h"
#include "net.h"
#include "pal.h"
#include "pal_socket.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

double secs_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

struct options {
    std::string nvtd = NVTD_BENCH_BIN;
    int size_mib = 1024;
    double secs = 3.0;
    int runs = 7;
};

int g_ftp_port = 0;
int g_http_port = 0;

/// A free TCP port on 127.0.0.1 (bound with port 0, then released).
int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool connects(int port) {
    net_stream st{};
    std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    if (net_open(&st, url.c_str(), 1000) != 0)
        return false;
    (void)net_close(&st);
    return true;
}

// ---------------------------------------------------------------------------------------
// The server.

struct server {
    pid_t pid = -1;
    int stdin_w = -1;  ///< the write end of nvtd's standard input
    fs::path dir;

    bool start(const options &o) {
        dir = fs::temp_directory_path() / ("nvtd_http_bench_" + std::to_string(getpid()));
        fs::create_directories(dir / "root");
        write_file(dir / "root" / "big.bin", size_t(o.size_mib) << 20);
        g_ftp_port = free_port();
        g_http_port = free_port();
        std::ofstream(dir / "bench.ini")
            << "[nvtd]\nftp_server_port = " << g_ftp_port
            << "\nftp_server_addr = 127.0.0.1\nftp_root = " << (dir / "root").string()
            << "\n[debug]\nhttp_server_port = " << g_http_port << "\n";
        std::string ini = (dir / "bench.ini").string();
        // nvtd on a console runs until its standard input ends: the bench holds a pipe open.
        int in[2];
        if (pipe(in) != 0)
            return false;
        stdin_w = in[1];
        pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(in[0], 0);
            dup2(null, 1);
            dup2(null, 2);
            close(in[1]);
            execl(o.nvtd.c_str(), o.nvtd.c_str(), "-q", "-l", "err", "-c", ini.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        auto t0 = clock_type::now();
        while (secs_since(t0) < 15) {
            if (connects(g_ftp_port) && connects(g_http_port))
                return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            os_sleep_ms(50);
        }
        return false;
    }

    static void write_file(const fs::path &p, size_t size) {
        std::vector<char> block(1 << 20);
        std::mt19937 gen(7);
        for (char &c : block)
            c = static_cast<char>(gen());
        std::ofstream out(p, std::ios::binary);
        for (size_t done = 0; done < size; done += block.size())
            out.write(block.data(), std::streamsize(std::min(block.size(), size - done)));
    }

    ~server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            for (int i = 0; i < 200 && waitpid(pid, nullptr, WNOHANG) != pid; i++)
                os_sleep_ms(50);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (stdin_w >= 0)
            close(stdin_w);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// ---------------------------------------------------------------------------------------
// HTTP: one request per connection, the reply read to the server's close.

/// GET path; returns the status code (0 on failure) and the body in *body when given.
int http_get(const std::string &path, std::string *body = nullptr) {
    net_stream st{};
    std::string url = "tcp://127.0.0.1:" + std::to_string(g_http_port);
    if (net_open(&st, url.c_str(), 5000) != 0)
        return 0;
    st.timeout_ms = 10000;
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string got;
    if (net_write(&st, req.data(), int(req.size())) == int(req.size())) {
        char buf[16384];
        for (;;) {
            int n = net_read(&st, buf, sizeof buf);
            if (n > 0)
                got.append(buf, size_t(n));
            if (n <= 0 || st.disconnected)
                break;
        }
    }
    (void)net_close(&st);
    if (got.compare(0, 9, "HTTP/1.1 ") != 0)
        return 0;
    size_t end = got.find("\r\n\r\n");
    if (body != nullptr)
        *body = end == std::string::npos ? "" : got.substr(end + 4);
    return atoi(got.c_str() + 9);
}

/// nvtd's CPU seconds as its /metrics page tells them, or -1.
double nvtd_cpu_seconds() {
    std::string body;
    if (http_get("/metrics", &body) != 200)
        return -1;
    static const char key[] = "\nprocess_cpu_seconds_total ";
    size_t at = body.find(key);
    return at == std::string::npos ? -1 : atof(body.c_str() + at + sizeof key - 1);
}

struct load_result {
    double rps;
    long errors;
    double cpu_us;  ///< nvtd's CPU time per request
};

/// clients threads each sending requests for secs seconds.
load_result http_load(const std::string &path, int clients, double secs) {
    double cpu0 = nvtd_cpu_seconds();
    std::atomic<long> ok{0}, bad{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    auto t0 = clock_type::now();
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&] {
            while (!stop.load())
                (http_get(path) == 200 ? ok : bad).fetch_add(1);
        });
    os_sleep_ms(int(secs * 1000));
    stop = true;
    for (auto &t : threads)
        t.join();
    double elapsed = secs_since(t0);
    double cpu = nvtd_cpu_seconds() - cpu0;
    long n = std::max(1L, ok.load() + bad.load());
    return {double(ok.load()) / elapsed, bad.load(), cpu * 1e6 / double(n)};
}

/// The page's token: the value of the hidden input whose id is "token".
std::string page_token() {
    std::string page;
    if (http_get("/", &page) != 200)
        return "";
    size_t at = page.find("id=\"token\"");
    at = at == std::string::npos ? std::string::npos : page.find("value=\"", at);
    if (at == std::string::npos)
        return "";
    at += 7;
    return page.substr(at, page.find('"', at) - at);
}

// ---------------------------------------------------------------------------------------
// FTP: one anonymous download of big.bin.

struct ftp_client {
    net_stream ctl{};
    net_stream data{};
    std::string text;

    ~ftp_client() {
        if (data.handle)
            (void)net_close(&data);
        if (ctl.handle)
            (void)net_close(&ctl);
    }
    int reply() {
        char buf[8192];
        for (int lines = 0; lines < 100; lines++) {
            if (net_gets(&ctl, buf, sizeof buf) <= 0)
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
        return net_write(&ctl, l.data(), int(l.size())) == int(l.size()) ? reply() : -1;
    }
    bool login() {
        std::string url = "tcp://127.0.0.1:" + std::to_string(g_ftp_port);
        if (net_open(&ctl, url.c_str(), 5000) != 0)
            return false;
        ctl.timeout_ms = 30000;
        return reply() == 220 && cmd("USER anonymous") == 331 && cmd("PASS bench@") == 230 &&
               cmd("TYPE I") == 200;
    }
    /// RETR over PASV; the bytes received, or -1.
    int64_t download(const char *name) {
        unsigned h[6];
        size_t p = cmd("PASV") == 227 ? text.find('(') : std::string::npos;
        if (p == std::string::npos || sscanf(text.c_str() + p, "(%u,%u,%u,%u,%u,%u)", &h[0],
                                             &h[1], &h[2], &h[3], &h[4], &h[5]) != 6)
            return -1;
        std::string url = "tcp://127.0.0.1:" + std::to_string(h[4] * 256 + h[5]);
        if (net_open(&data, url.c_str(), 5000) != 0)
            return -1;
        data.timeout_ms = 30000;
        if (cmd(std::string("RETR ") + name) != 150)
            return -1;
        std::vector<char> buf(1 << 20);
        int64_t total = 0;
        for (;;) {
            int n = net_read(&data, buf.data(), int(buf.size()));
            if (n > 0)
                total += n;
            if (n <= 0 || data.disconnected)
                break;
        }
        (void)net_close(&data);
        net_stream_init(&data, NET_TYPE_TCP, 0, 30000);
        return reply() == 226 ? total : -1;
    }
};

struct scrape_stats {
    long ok = 0;
    long failed = 0;
    double worst_ms = 0;
};

/// Reads /metrics every 100 ms until stop, the first time at once.
void scraper(const std::atomic<bool> *stop, scrape_stats *st) {
    while (!stop->load()) {
        auto t0 = clock_type::now();
        std::string body;
        bool ok = http_get("/metrics", &body) == 200 &&
                  body.find("nvtd_ftp_data_sent_bytes_total") != std::string::npos;
        st->worst_ms = std::max(st->worst_ms, secs_since(t0) * 1000);
        ++(ok ? st->ok : st->failed);
        auto next = t0 + std::chrono::milliseconds(100);
        while (!stop->load() && clock_type::now() < next)
            os_sleep_ms(5);
    }
}

/// MB/s of one download, or -1.
double ftp_rate(ftp_client &c, const options &o) {
    auto t0 = clock_type::now();
    int64_t n = c.download("big.bin");
    double s = secs_since(t0);
    return n == (int64_t(o.size_mib) << 20) ? double(n) / 1e6 / s : -1;
}

/// Downloads on one session, alternately alone and with the scraper running, so that a
/// change in the machine's load meets both columns alike. Each column comes back sorted;
/// both are empty on a failure.
void ftp_rates(const options &o, std::vector<double> *alone, std::vector<double> *watched,
               scrape_stats *st) {
    ftp_client c;
    if (!c.login() || ftp_rate(c, o) < 0)  // the first run warms the page cache and TCP
        return;
    for (int i = 0; i < o.runs; i++) {
        double a = ftp_rate(c, o);
        std::atomic<bool> stop{false};
        std::thread scrape(scraper, &stop, st);
        double w = ftp_rate(c, o);
        stop = true;
        scrape.join();
        if (a < 0 || w < 0) {
            alone->clear();
            watched->clear();
            return;
        }
        alone->push_back(a);
        watched->push_back(w);
    }
    std::sort(alone->begin(), alone->end());
    std::sort(watched->begin(), watched->end());
}

bool parse_args(int argc, char **argv, options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--nvtd")
            o->nvtd = argv[i + 1];
        else if (k == "--size")
            o->size_mib = std::max(1, atoi(argv[i + 1]));
        else if (k == "--secs")
            o->secs = std::max(0.2, atof(argv[i + 1]));
        else if (k == "--runs")
            o->runs = std::max(1, atoi(argv[i + 1]));
        else
            return false;
    }
    return argc % 2 == 1;
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse_args(argc, argv, &o)) {
        fprintf(stderr, "usage: %s [--nvtd PATH] [--size MiB] [--secs S] [--runs R]\n", argv[0]);
        return 2;
    }
    (void)log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0L);  // refused connects while nvtd starts
    sock_env_init();
    server srv;
    if (!srv.start(o)) {
        fprintf(stderr, "nvtd [%s] did not start\n", o.nvtd.c_str());
        return 1;
    }
    std::string token = page_token();
    if (token.empty()) {
        fprintf(stderr, "no token in the console's page\n");
        return 1;
    }
    std::string cmd = "/cmd?token=" + token + "&command=echo%20hi";
    std::string body;
    if (http_get(cmd, &body) != 200 || body.find("hi") == std::string::npos ||
        http_get("/metrics", &body) != 200) {
        fprintf(stderr, "the console does not answer /cmd or /metrics\n");
        return 1;
    }
    printf("web console, %.1f s per figure, one request per connection\n", o.secs);
    printf("  %-10s %14s %14s %26s\n", "path", "1 client", "32 clients",
           "nvtd CPU/request (1, 32)");
    for (const auto &[label, path] : {std::pair{"/metrics", std::string("/metrics")},
                                      std::pair{"/cmd", cmd}}) {
        load_result one = http_load(path, 1, o.secs);
        load_result many = http_load(path, 32, o.secs);
        printf("  %-10s %10.0f r/s %10.0f r/s %13.0f us %8.0f us", label, one.rps, many.rps,
               one.cpu_us, many.cpu_us);
        if (one.errors + many.errors > 0)
            printf("  (%ld failed)", one.errors + many.errors);
        printf("\n");
    }
    printf("  /metrics body: %zu bytes\n", body.size());

    std::vector<double> alone, watched;
    scrape_stats st;
    ftp_rates(o, &alone, &watched, &st);
    if (alone.empty() || watched.empty()) {
        fprintf(stderr, "FTP download failed\n");
        return 1;
    }
    auto median = [](const std::vector<double> &v) { return v[v.size() / 2]; };
    printf("FTP download of %d MiB over loopback, %d runs each, taken in turns (MB/s)\n",
           o.size_mib, o.runs);
    printf("  %-8s %14s %22s\n", "", "alone", "scraped every 100 ms");
    printf("  %-8s %14.0f %22.0f\n", "median", median(alone), median(watched));
    printf("  %-8s %14.0f %22.0f\n", "best", alone.back(), watched.back());
    printf("  %-8s %14.0f %22.0f\n", "worst", alone.front(), watched.front());
    printf("  scrapes during the scraped runs: %ld ok, %ld failed, slowest %.2f ms\n", st.ok,
           st.failed, st.worst_ms);
    return st.failed == 0 ? 0 : 1;
}
