// ssl_test_util.h - helpers of the TLS tests: a temporary folder, a log capture, child
// processes with bounded lifetimes and loopback sockets.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "net.h"
#include "pal.h"
#include "pal_socket.h"

namespace ssl_test {

/// A folder removed with everything in it at the end of the test.
class temp_dir {
public:
    temp_dir() {
        static int seq;
        path_ = std::filesystem::temp_directory_path() /
                ("nvtd_ssl_" + std::to_string(os_getpid()) + "_" + std::to_string(++seq));
        std::filesystem::create_directories(path_);
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

/// Collects every log line (all levels) while it lives.
class log_capture {
public:
    log_capture() {
        std::scoped_lock g(lock());
        lines().clear();
        log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_VERB);
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        log2_ioctl(nullptr, LOG2_IOC_OUT_CB, &collect);
        log2_ioctl(nullptr, LOG2_IOC_ERR_CB, &collect);
    }
    ~log_capture() {
        log2_ioctl(nullptr, LOG2_IOC_OUT_CB, static_cast<log2_out_fn>(nullptr));
        log2_ioctl(nullptr, LOG2_IOC_ERR_CB, static_cast<log2_out_fn>(nullptr));
    }
    bool contains(const std::string &text) const {
        std::scoped_lock g(lock());
        for (const auto &l : lines())
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::string all() const {
        std::scoped_lock g(lock());
        std::string out;
        for (const auto &l : lines())
            out += l;
        return out;
    }

private:
    static std::mutex &lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &lines() {
        static std::vector<std::string> v;
        return v;
    }
    static void collect(int, const char *, const char *line, int len) {
        std::scoped_lock g(lock());
        lines().emplace_back(line, static_cast<size_t>(len));
    }
};

/// A child process started through the shell with its output read at the end. The
/// command must bound its own life (e.g. "timeout 10 ...").
class child {
public:
    explicit child(const std::string &cmd) : f_(popen((cmd + " 2>&1").c_str(), "r")) {}
    ~child() { (void)finish(); }
    /// Waits for the end and returns everything it printed.
    std::string finish() {
        if (!f_)
            return out_;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0)
            out_.append(buf, n);
        pclose(f_);
        f_ = nullptr;
        return out_;
    }

private:
    FILE *f_;
    std::string out_;
};

/// A listening TCP socket on 127.0.0.1 with a system-chosen port.
struct listener {
    os_socket_t sock = 0;
    int port = 0;
    listener() {
        sock = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
        os_sockaddr a{};
        if (!sock || !os_ipaddr_parse("127.0.0.1", &a) || !os_socket_bind(sock, &a) ||
            !os_socket_listen(sock, 8))
            return;
        os_sockaddr local{};
        if (os_socket_local(sock, &local))
            port = local.port;
    }
    ~listener() {
        if (sock)
            os_socket_exit(sock);
    }
    /// Waits up to timeout_ms for a connection. Returns the socket (caller owns it) or 0.
    os_socket_t accept(int timeout_ms) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (os_socket_wait(sock, OS_SOCKET_READ, 100) > 0) {
                os_socket_t s = os_socket_accept(sock, nullptr);
                if (s)
                    return s;
            }
        }
        return 0;
    }
};

/// A port that was free a moment ago (for servers the test starts as processes).
inline int free_port() {
    listener l;
    return l.port;
}

/// Connects to 127.0.0.1:port, retrying while the server starts, for up to timeout_ms.
inline os_socket_t connect_retry(int port, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        net_err e{};
        os_socket_t s = sock_connect("127.0.0.1", port, 1000, nullptr, &e);
        if (s)
            return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

}  // namespace ssl_test
