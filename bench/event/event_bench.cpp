// event_bench.cpp - responsiveness of nvtd's socket event thread, which accepts every
// connection and watches control connections during transfers: greeting latency of fresh
// connections with the server idle, then while clients stalled in downloads trickle bytes
// or flood lines on their control connections. Runs the real nvtd binary on a loopback
// port with a temporary root (one sparse 256 MiB file) and settings file.
//
//   event_bench [--clients N] [--conns N] [--nvtd PATH]
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "event_proc.h"
#include "pal.h"
#include "pal_socket.h"

namespace fs = std::filesystem;

namespace {

constexpr int k_parallel = 4;         // greetings in flight at once (threads)
constexpr int k_bound_ms = 10000;     // one greeting, one reply, one connect
constexpr int k_phase_ms = 20000;     // one measure's greetings in all
constexpr int k_trickle_ms = 500;     // beat of the trickling clients
constexpr int k_settle_ms = 5000;     // for the flooding clients to fill their buffers
constexpr int k_data_rcvbuf = 65536;  // stalled data connections hold little memory
const std::string k_flood = [] {
    std::string s;
    for (int i = 0; i < 1024; i++)
        s += "NOOP\r\n";
    return s;
}();

// ---------------------------------------------------------------------------------------
// Client sockets.

os_sockaddr loopback(int port) {
    os_sockaddr sa{};
    (void)os_ipaddr_parse("127.0.0.1", &sa);  // a literal
    sa.port = uint16_t(port);
    return sa;
}

// Starts a connect to 127.0.0.1:port, the receive buffer capped at rcvbuf first when it is
// positive. Returns the socket (connected or connecting; a wait for the first reply covers
// both) or 0.
os_socket_t dial(int port, int rcvbuf) {
    os_sockaddr sa = loopback(port);
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    if (s && rcvbuf > 0)
        (void)os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, rcvbuf);
    if (s && os_socket_connect(s, &sa) < 0) {
        os_socket_exit(s);
        return 0;
    }
    return s;
}

// One receive into *in. Returns the bytes, 0 when nothing is there, -1 at the end or error.
int take(os_socket_t s, std::string *in) {
    char buf[4096];
    int n = os_socket_recv(s, buf, sizeof buf);
    if (n > 0)
        in->append(buf, size_t(n));
    return n == 0 && os_socket_error() != PAL_EAGAIN ? -1 : n;
}

// The first complete reply in `in` (continuation lines skipped): its code, 0 while none is
// complete, -1 for a line that is no reply. Its last line goes into *last.
int reply_in(const std::string &in, std::string *last) {
    size_t start = 0;
    for (size_t nl; (nl = in.find('\n', start)) != std::string::npos; start = nl + 1) {
        *last = in.substr(start, nl - start);
        if (last->size() < 4 || ((*last)[3] != ' ' && (*last)[3] != '-'))
            return -1;
        if ((*last)[3] == ' ')
            return atoi(last->c_str());
    }
    return 0;
}

// Reads one reply until end_ms. Returns its code, 0 at end_ms, -1 when the connection
// failed or closed or sent something else.
int reply(os_socket_t s, uint64_t end_ms, std::string *last) {
    std::string in;
    for (;;) {
        int code = reply_in(in, last);
        if (code != 0)
            return code;
        int left = int(end_ms - std::min(end_ms, os_clock_ms()));
        int w = left > 0 ? os_socket_wait(s, OS_SOCKET_READ, left) : 0;
        if (w <= 0 || take(s, &in) < 0)
            return w == 0 ? 0 : -1;
    }
}

// Sends line + CR LF (nothing for an empty line) and reads one reply within k_bound_ms.
// Returns its code, 0 or -1.
int command(os_socket_t s, const std::string &line, std::string *last) {
    std::string out = line.empty() ? line : line + "\r\n";
    if (os_socket_send(s, out.data(), out.size()) != int(out.size()))
        return -1;  // a command line fits an empty socket buffer at once
    return reply(s, os_clock_ms() + k_bound_ms, last);
}

// ---------------------------------------------------------------------------------------
// Greeting latency: fresh connections from k_parallel threads, one after another in each,
// timed from the connect until the whole "220 " line is in.

struct phase_result {
    std::vector<double> ms;  // greetings that came, sorted
    int failed = 0, timed_out = 0, not_started = 0;
};

struct phase {
    int port;
    uint64_t end_ms;  // of the whole measure
    std::atomic<int> left;
    std::mutex lock;
    phase_result r;
};

void greet_worker(phase *ph) {
    while (os_clock_ms() < ph->end_ms && ph->left.fetch_sub(1) > 0) {
        uint64_t t0 = os_clock_us();
        os_socket_t s = dial(ph->port, 0);
        std::string last;
        int code = s ? reply(s, std::min(ph->end_ms, os_clock_ms() + k_bound_ms), &last) : -1;
        double ms = double(os_clock_us() - t0) / 1000;
        if (s)
            os_socket_exit(s);
        std::scoped_lock g(ph->lock);
        if (code == 220)
            ph->r.ms.push_back(ms);
        else
            (code == 0 ? ph->r.timed_out : ph->r.failed)++;
    }
}

phase_result greet_phase(int port, int conns) {
    phase ph{port, os_clock_ms() + k_phase_ms, {conns}, {}, {}};
    std::vector<std::thread> threads;
    for (int i = 0; i < k_parallel; i++)
        threads.emplace_back(greet_worker, &ph);
    for (std::thread &t : threads)
        t.join();
    phase_result &r = ph.r;
    r.not_started = conns - int(r.ms.size()) - r.failed - r.timed_out;
    std::sort(r.ms.begin(), r.ms.end());
    return r;
}

// The q-th percentile (nearest rank) over all conns tries, those without a greeting ranked
// above every greeting. Returns -1 when the rank falls among them.
double pct(const phase_result &r, int conns, int q) {
    size_t rank = size_t((int64_t(conns) * q + 99) / 100);
    return rank >= 1 && rank <= r.ms.size() ? r.ms[rank - 1] : -1;
}

std::string ms_text(double ms) {
    char buf[32];
    (void)snprintf(buf, sizeof buf, "%.2f ms", ms);
    return ms < 0 ? "-" : buf;
}

void print_phase(const char *name, const phase_result &r, int conns) {
    printf("%s: %d connections, p50 %s, p99 %s, max %s; %d failed, %d timed out (%d s, or "
           "cut at the measure's end), %d not started (%d s for the measure)\n",
           name, conns, ms_text(pct(r, conns, 50)).c_str(), ms_text(pct(r, conns, 99)).c_str(),
           ms_text(pct(r, conns, 100)).c_str(), r.failed, r.timed_out, k_bound_ms / 1000,
           r.not_started, k_phase_ms / 1000);
    if (r.ms.size() < size_t(conns))
        printf("  (-: the rank falls among the connections that got no greeting)\n");
}

// ---------------------------------------------------------------------------------------
// Load: clients logged in with RETR of the big file running and their data connection
// never read, so the transfer stalls with full socket buffers.

struct load_client {
    os_socket_t ctl = 0, data = 0;
    bool flood = false;
    bool full = false;    // a flood send has met a full buffer
    bool closed = false;  // a send failed: the server ended the session
    size_t off = 0;       // position in the flood text, so that lines stay whole
    ~load_client() {
        if (data)
            os_socket_exit(data);
        if (ctl)
            os_socket_exit(ctl);
    }
};

bool load_open(load_client *c, int port) {
    std::string last;
    unsigned h[6];
    c->ctl = dial(port, 0);
    if (!c->ctl || command(c->ctl, "", &last) != 220 ||
        command(c->ctl, "USER anonymous", &last) != 331 ||
        command(c->ctl, "PASS bench@", &last) != 230 || command(c->ctl, "TYPE I", &last) != 200 ||
        command(c->ctl, "PASV", &last) != 227 || last.find('(') == std::string::npos ||
        sscanf(last.c_str() + last.find('('), "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3],
               &h[4], &h[5]) != 6)
        return false;
    c->data = dial(int(h[4] * 256 + h[5]), k_data_rcvbuf);
    return c->data && command(c->ctl, "RETR big", &last) == 150;
}

// Sends flood lines until the socket buffer is full, but no longer than a few ms, so that
// the trickle keeps its beat.
void flood(load_client *c) {
    for (uint64_t end = os_clock_ms() + 5; os_clock_ms() < end;) {
        int n = os_socket_send(c->ctl, k_flood.data() + c->off, k_flood.size() - c->off);
        if (n > 0) {
            c->off = (c->off + size_t(n)) % 6;
            continue;
        }
        c->full = n == 0 && os_socket_error() == PAL_EAGAIN;
        c->closed = !c->full;
        return;
    }
}

void flood_ready(os_poller *pl, os_poller_object obj, unsigned, void *user) {
    auto *c = static_cast<load_client *>(user);
    flood(c);
    if (c->closed)
        (void)os_poller_remove(pl, obj);
}

struct load {
    std::vector<std::unique_ptr<load_client>> clients;
    os_poller *pl = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> settled{false};  // every flooding client is full or closed

    ~load() {
        halt();
        if (pl)
            os_poller_exit(pl);
    }
    // Ends the traffic; the sessions stay until the clients go.
    void halt() {
        stop.store(true);
        if (pl)
            (void)os_poller_spak(pl);
        if (thread.joinable())
            thread.join();
    }
};

void load_run(load *l) {
    for (uint64_t next = os_clock_ms(); !l->stop.load();) {
        if (os_clock_ms() >= next) {
            for (auto &c : l->clients)
                if (!c->flood && !c->closed && os_socket_send(c->ctl, "A", 1) < 0)
                    c->closed = true;
            next = os_clock_ms() + k_trickle_ms;
        }
        (void)os_poller_wait(l->pl, flood_ready, int(next - std::min(next, os_clock_ms())));
        // A socket stops being writable while it still has some room: fill that up too.
        bool all = true;
        for (auto &c : l->clients) {
            if (c->flood && !c->full && !c->closed)
                flood(c.get());
            all = all && (!c->flood || c->full || c->closed);
        }
        l->settled.store(all);
    }
}

// Opens n trickling and n flooding clients and starts their traffic. Returns false when
// one could not be set up.
bool load_start(load *l, int port, int n) {
    if (!(l->pl = os_poller_init(n + 1)))
        return false;
    for (int i = 0; i < 2 * n; i++) {
        load_client *c = l->clients.emplace_back(std::make_unique<load_client>()).get();
        c->flood = i >= n;
        if (!load_open(c, port)) {
            printf("load client %d could not start its download\n", i);
            return false;
        }
        if (c->flood &&
            !os_poller_insert(l->pl, {OS_POLLER_OBJECT_SOCKET, c->ctl}, OS_POLLER_EVENT_WRITE, c))
            return false;
    }
    l->thread = std::thread(load_run, l);
    return true;
}

// ---------------------------------------------------------------------------------------
// The server: nvtd on a temporary root and settings file, both gone at scope exit.

struct server {
    fs::path dir;
    bench_child child;
    int port = 0;
    ~server() {
        bench_child_stop(&child, 10000);
        std::error_code ec;
        if (!dir.empty())
            fs::remove_all(dir, ec);
    }
};

int free_port() {
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    os_sockaddr sa = loopback(0), local{};
    int port = s && os_socket_bind(s, &sa) && os_socket_local(s, &local) ? local.port : 0;
    if (s)
        os_socket_exit(s);
    return port;
}

bool write_files(const server &srv) {
    std::error_code ec;
    fs::create_directories(srv.dir / "root", ec);
    std::ofstream(srv.dir / "root" / "big").close();
    fs::resize_file(srv.dir / "root" / "big", 256ull << 20, ec);  // sparse
    std::ofstream ini(srv.dir / "nvtd.ini");
    ini << "[nvtd]\nftp_server_port = " << srv.port << "\nftp_server_addr = 127.0.0.1\n"
        << "ftps_server_port = 0\nftp_root = \"" << (srv.dir / "root").string() << "\"\n"
        << "user =\npasswd =\nmax_clients = 0\nmax_per_ip = 0\nlogin_timeout = 0\n"
        << "read_timeout = 3600\nidle_session_timeout = 3600\n"
        << "[login]\nlogin_fail_count = 0\nlogin_file =\n";
    return !ec && ini.flush();
}

// Starts nvtd and waits until it greets. Prints why and returns false when it does not.
bool server_start(server *srv, const std::string &nvtd) {
    srv->dir = fs::temp_directory_path() / ("event_bench_" + std::to_string(os_getpid()));
    srv->port = free_port();
    std::string out = (srv->dir / "nvtd.out").string(), last;
    if (srv->port == 0 || !write_files(*srv) ||
        bench_child_start(&srv->child,
                          {nvtd, "-q", "-l", "warn", "-c", (srv->dir / "nvtd.ini").string()},
                          out) != 0) {
        printf("could not set up %s or start %s\n", srv->dir.c_str(), nvtd.c_str());
        return false;
    }
    for (uint64_t end = os_clock_ms() + k_bound_ms; os_clock_ms() < end;) {
        if (!bench_child_alive(&srv->child))
            break;
        os_socket_t s = dial(srv->port, 0);
        int code = s ? command(s, "", &last) : -1;
        if (s)
            os_socket_exit(s);
        if (code == 220)
            return true;
        os_sleep_ms(50);  // nvtd is still starting
    }
    std::ifstream f(out);
    printf("nvtd did not greet on port %d; its output:\n%s\n", srv->port,
           std::string(std::istreambuf_iterator<char>(f), {}).c_str());
    return false;
}

// ---------------------------------------------------------------------------------------

struct options {
    int clients = 50;
    int conns = 200;
    std::string nvtd;
};

// Returns -1 to go on, else the exit status.
int parse(int argc, char **argv, options *o) {
    for (int i = 1; i < argc; i++) {
        std::string k = argv[i];
        const char *v = i + 1 < argc ? argv[++i] : "", *e = v + strlen(v);
        int *num = k == "--clients" ? &o->clients : k == "--conns" ? &o->conns : nullptr;
        if (k == "--nvtd" && *v)
            o->nvtd = v;
        else if (!num || !*v || std::from_chars(v, e, *num).ptr != e || *num < 1) {
            fprintf(k == "-h" ? stdout : stderr,
                    "usage: event_bench [--clients N] [--conns N] [--nvtd PATH]\n"
                    "  --clients N  N trickling and N flooding clients in stalled RETRs (50)\n"
                    "  --conns N    fresh connections per measure (200)\n"
                    "  --nvtd PATH  the server binary (default: nvtd of this build tree)\n");
            return k == "-h" ? 0 : 2;
        }
    }
#ifdef EVENT_BENCH_NVTD
    std::error_code ec;
    if (o->nvtd.empty())
        o->nvtd = (fs::read_symlink("/proc/self/exe", ec).parent_path() / EVENT_BENCH_NVTD)
                      .lexically_normal();
#endif
    return -1;
}

// The greetings while the load runs. Returns false when the load could not be set up.
bool measure_loaded(int port, const options &o, phase_result *r) {
    load l;
    if (!load_start(&l, port, o.clients))
        return false;
    for (uint64_t end = os_clock_ms() + k_settle_ms; !l.settled.load() && os_clock_ms() < end;)
        os_sleep_ms(20);
    printf("load: %d clients trickle \"A\" every %d ms, %d flood \"NOOP\\r\\n\" (%s), "
           "all in a stalled RETR\n",
           o.clients, k_trickle_ms, o.clients,
           l.settled.load() ? "their buffers full" : "buffers not full after 5 s");
    *r = greet_phase(port, o.conns);
    l.halt();
    int closed = 0;
    for (auto &c : l.clients)
        closed += c->closed;
    print_phase("loaded", *r, o.conns);
    printf("load sessions the server ended meanwhile: %d of %d\n", closed, 2 * o.clients);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    int rc = parse(argc, argv, &o);
    if (rc >= 0)
        return rc;
    (void)os_fd_limit_raise(4 * o.clients + 64);
    server srv;
    if (!server_start(&srv, o.nvtd))
        return 1;
    printf("nvtd %s on port %d; greetings from %d threads, one connection after another in "
           "each, timed from the connect until the whole \"220 \" line\n",
           o.nvtd.c_str(), srv.port, k_parallel);
    phase_result idle = greet_phase(srv.port, o.conns), loaded;
    print_phase("idle", idle, o.conns);
    if (!measure_loaded(srv.port, o, &loaded))
        return 1;
    double a = pct(idle, o.conns, 99), b = pct(loaded, o.conns, 99);
    if (a > 0 && b >= 0)
        printf("loaded p99 / idle p99: %.2f; target <= 2.0: %s\n", b / a,
               b / a <= 2.0 ? "met" : "not met");
    else
        printf("loaded p99 / idle p99: none (a p99 without a greeting); target <= 2.0: "
               "not met\n");
    return 0;
}
