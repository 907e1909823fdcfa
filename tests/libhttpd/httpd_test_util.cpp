// httpd_test_util.cpp - the raw loopback client and the waits of the HTTP engine's tests.
#include "httpd_test_util.h"

#include <filesystem>

#include "pal.h"

std::unique_ptr<net_stream> httpd_test_connect(int port) {
    net_err e{};
    os_socket_t sock = sock_connect("127.0.0.1", port, 5000, nullptr, &e);
    if (sock == 0)
        return nullptr;
    auto s = std::make_unique<net_stream>();
    net_stream_init(s.get(), NET_TYPE_TCP, sock, 5000);
    return s;
}

bool httpd_test_send(net_stream *s, const std::string &bytes) {
    return net_write(s, bytes.data(), int(bytes.size())) == int(bytes.size());
}

std::string httpd_test_read_all(net_stream *s, int timeout_ms) {
    std::string got;
    uint64_t end = os_clock_ms() + uint64_t(timeout_ms);
    char buf[8192];
    while (os_clock_ms() < end) {
        int n = net_read_avail(s, buf, sizeof buf, 200);
        if (n < 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

std::string httpd_test_exchange(int port, const std::string &request) {
    std::unique_ptr<net_stream> s = httpd_test_connect(port);
    if (!s)
        return "(no connection)";
    (void)httpd_test_send(s.get(), request);
    std::string got = httpd_test_read_all(s.get());
    (void)net_close(s.get());
    return got;
}

bool httpd_test_wait_until(const std::function<bool()> &pred, int timeout_ms) {
    uint64_t end = os_clock_ms() + uint64_t(timeout_ms);
    while (!pred()) {
        if (os_clock_ms() >= end)
            return pred();
        os_sleep_ms(10);
    }
    return true;
}

int httpd_test_thread_count() {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        n++;
    return n;
}
