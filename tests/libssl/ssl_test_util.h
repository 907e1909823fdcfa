// ssl_test_util.h - helpers of the TLS tests on top of the libnet ones (temporary folder,
// log capture, loopback listener): files, child processes with bounded lifetimes.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "net_test_util.h"

namespace ssl_test {

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

/// A child process started through the shell with its output read at the end. The
/// command must bound its own life (e.g. "timeout 10 ...").
class child {
public:
    explicit child(const std::string &cmd) : f_(popen((cmd + " 2>&1").c_str(), "r")) {}
    ~child() { (void)finish(); }
    /// Waits for the end and returns everything it printed.
    std::string finish() {
        char buf[4096];
        for (size_t n; f_ && (n = std::fread(buf, 1, sizeof buf, f_)) > 0;)
            out_.append(buf, n);
        if (f_)
            pclose(f_);
        f_ = nullptr;
        return out_;
    }

private:
    FILE *f_;
    std::string out_;
};

/// Connects to 127.0.0.1:port, retrying while the server starts, for up to timeout_ms.
inline os_socket_t connect_retry(int port, int timeout_ms) {
    os_socket_t s = 0;
    (void)wait_until(
        [&] {
            net_err e{};
            return (s = sock_connect("127.0.0.1", port, 1000, nullptr, &e)) != 0;
        },
        timeout_ms);
    return s;
}

}  // namespace ssl_test
