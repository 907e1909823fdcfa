// ssl_bench.cpp - the ceiling the TLS library sets for one PROT P transfer: one session
// writes --size MiB in 2 MiB blocks (as a download does) into a transport that drops the
// records, once per cipher suite, so no socket, file or peer takes a share of the time.
//
//   ssl_bench [--size MiB] [--suites S1,S2,...]
//
// Prints MB/s by the wall clock and per CPU second; the second stays fair on a busy machine.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "pal.h"
#include "ssl.h"

namespace {

// One direction of the in-memory transport.
struct byte_queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<unsigned char> q;
};

// One end: reads from in, writes to out, or drops what it writes once discard is set.
struct end_point {
    byte_queue *in;
    byte_queue *out;
    bool discard = false;
};

int mem_recv(void *arg, unsigned char *buf, size_t len) {
    auto *e = static_cast<end_point *>(arg);
    std::unique_lock lock(e->in->m);
    if (!e->in->cv.wait_for(lock, std::chrono::milliseconds(200), [e] { return !e->in->q.empty(); }))
        return 0;
    size_t n = std::min(len, e->in->q.size());
    std::copy_n(e->in->q.begin(), n, buf);
    e->in->q.erase(e->in->q.begin(), e->in->q.begin() + long(n));
    return int(n);
}

int mem_send(void *arg, const unsigned char *buf, size_t len) {
    auto *e = static_cast<end_point *>(arg);
    if (e->discard)
        return int(len);
    {
        std::scoped_lock lock(e->out->m);
        e->out->q.insert(e->out->q.end(), buf, buf + len);
    }
    e->out->cv.notify_all();
    return int(len);
}

ssl_io mem_io(end_point *e) {
    return ssl_io{.arg = e, .recv = mem_recv, .send = mem_send, .closed = nullptr,
                  .timeout_ms = 5000};
}

// Writes size bytes through a server session on suite; prints the figures.
void measure(const ssl_conf *srv_conf, const std::string &suite, int64_t size) {
    byte_queue to_srv, to_cli;
    end_point srv_end{&to_srv, &to_cli}, cli_end{&to_cli, &to_srv};
    ssl_conf *cli_conf = ssl_cli_conf_new();
    if (!cli_conf || ssl_conf_suites(cli_conf, suite.c_str()) != 0) {
        printf("%s: not available here\n", suite.c_str());
        ssl_conf_free(cli_conf);
        return;
    }
    ssl_session *srv = nullptr;
    ssl_io sio = mem_io(&srv_end), cio = mem_io(&cli_end);
    std::thread t([&] { srv = ssl_srv_handshake(srv_conf, &sio); });
    ssl_session *cli = ssl_cli_handshake(cli_conf, &cio);
    t.join();
    if (srv && cli) {
        srv_end.discard = true;
        std::vector<char> block(2 << 20, 'x');
        auto t0 = std::chrono::steady_clock::now();
        std::clock_t c0 = std::clock();
        int64_t done = 0;
        while (done < size && ssl_session_write(srv, block.data(), int(block.size())) > 0)
            done += int64_t(block.size());
        double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        printf("%-45s %5.0f MB/s, %5.0f MB per CPU second (%lld MiB)\n", ssl_session_cipher(srv),
               double(done) / 1e6 / wall, double(done) / 1e6 / cpu, (long long)(done >> 20));
    } else {
        printf("%s: handshake failed\n", suite.c_str());
    }
    ssl_session_free(cli);
    ssl_session_free(srv);
    ssl_conf_free(cli_conf);
}

}  // namespace

int main(int argc, char **argv) {
    int64_t size_mib = 1024;
    std::string suites = "TLS-ECDHE-RSA-WITH-AES-128-GCM-SHA256,"
                         "TLS-ECDHE-RSA-WITH-AES-256-GCM-SHA384,"
                         "TLS-ECDHE-RSA-WITH-CHACHA20-POLY1305-SHA256,"
                         "TLS-ECDHE-RSA-WITH-AES-128-CBC-SHA256";
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<long>(LOG2_WARN));
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--size")
            size_mib = atoll(v.c_str());
        else if (k == "--suites")
            suites = v;
    }
    if (argc % 2 == 0) {
        fprintf(stderr, "usage: ssl_bench [--size MiB] [--suites S1,S2,...]\n");
        return 2;
    }
    auto dir = std::filesystem::temp_directory_path() / ("ssl_bench_" + std::to_string(os_getpid()));
    std::string key = dir.string() + ".key", crt = dir.string() + ".crt";
    if (ssl_create_key_x509_file(key.c_str(), crt.c_str()) != 0)
        return 1;
    ssl_conf *srv_conf = ssl_srv_conf_new(crt.c_str(), key.c_str());
    std::filesystem::remove(key);
    std::filesystem::remove(crt);
    if (!srv_conf)
        return 1;
    for (size_t p = 0; p < suites.size();) {
        size_t comma = std::min(suites.find(',', p), suites.size());
        measure(srv_conf, suites.substr(p, comma - p), size_mib << 20);
        p = comma + 1;
    }
    ssl_srv_conf_free(srv_conf);
    ssl_lib_exit();
    return 0;
}
