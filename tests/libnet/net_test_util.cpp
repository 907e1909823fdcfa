// net_test_util.cpp - loopback peers and the log capture of the libnet tests.
#include "net_test_util.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {
std::mutex g_lock;
std::vector<std::string> g_lines;
std::atomic<bool> g_on{false};

void capture_line(int, const char *, const char *line, int len) {
    if (!g_on.load())
        return;
    std::scoped_lock g(g_lock);
    g_lines.emplace_back(line, static_cast<size_t>(len));
}
}  // namespace

log_capture::log_capture() : old_level_(g_log2_threshold.load()) {
    {
        std::scoped_lock g(g_lock);
        g_lines.clear();
    }
    (void)log2_ioctl(nullptr, LOG2_IOC_OUT_CB, capture_line);
    (void)log2_ioctl(nullptr, LOG2_IOC_ERR_CB, capture_line);
    (void)log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<long>(LOG2_VERB));
    g_on = true;
}

log_capture::~log_capture() {
    g_on = false;
    (void)log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<long>(old_level_));
}

bool log_capture::has(const std::string &text) const {
    std::scoped_lock g(g_lock);
    for (const std::string &l : g_lines)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

std::string log_capture::all() const {
    std::scoped_lock g(g_lock);
    std::string out;
    for (const std::string &l : g_lines)
        out += l;
    return out;
}

raw_listener::raw_listener(int backlog) {
    os_sockaddr a{};
    if (!os_ipaddr_parse("127.0.0.1", &a))
        return;
    sock = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    if (!sock || !os_socket_bind(sock, &a) || !os_socket_listen(sock, backlog))
        return;
    os_sockaddr local{};
    if (os_socket_local(sock, &local))
        port = local.port;
}

raw_listener::~raw_listener() {
    if (sock)
        os_socket_exit(sock);
}

os_socket_t raw_listener::accept(int timeout_ms) {
    os_socket_t s = 0;  // several threads may wait: the losers of a race keep waiting
    (void)wait_until(
        [&] {
            return os_socket_wait(sock, OS_SOCKET_READ, 50) > 0 &&
                   (s = os_socket_accept(sock, nullptr)) != 0;
        },
        timeout_ms);
    return s;
}

bool tcp_pair(os_socket_t out[2]) {
    raw_listener l;
    net_err e{};
    out[0] = sock_connect("127.0.0.1", l.port, 2000, nullptr, &e);
    out[1] = out[0] ? l.accept() : 0;
    return out[0] && out[1];
}

bool send_all(os_socket_t s, const std::string &text) {
    net_stream ns{};
    net_stream_init(&ns, NET_TYPE_TCP, s, 2000);
    return net_write(&ns, text.data(), static_cast<int>(text.size())) ==
           static_cast<int>(text.size());
}

std::string recv_n(os_socket_t s, size_t n, int timeout_ms) {
    std::string got;
    uint64_t end = os_clock_ms() + static_cast<uint64_t>(timeout_ms);
    while (got.size() < n && os_clock_ms() < end) {
        char buf[512];
        int r = os_socket_recv(s, buf, std::min(sizeof buf, n - got.size()));
        if (r > 0)
            got.append(buf, static_cast<size_t>(r));
        else if (r < 0 || os_socket_error() == 0)
            break;  // error or end of stream
        else
            (void)os_socket_wait(s, OS_SOCKET_READ, 50);
    }
    return got;
}

bool wait_until(const std::function<bool()> &pred, int ms) {
    for (uint64_t end = os_clock_ms() + static_cast<uint64_t>(ms); os_clock_ms() < end;
         os_sleep_ms(10))
        if (pred())
            return true;
    return pred();
}

temp_dir::temp_dir() {
    static std::atomic<int> seq{0};
    path = (std::filesystem::temp_directory_path() /
            ("nvtd_net_" + std::to_string(os_getpid()) + "_" + std::to_string(++seq)))
               .string();
    std::filesystem::create_directories(path);
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

namespace {
// The tests connect directly; a proxy from the environment would reroute them.
struct no_proxy_env {
    no_proxy_env() {
        unsetenv("http_proxy");
        unsetenv("NV_PROXY_FILE");
    }
} g_no_proxy_env;
}  // namespace
