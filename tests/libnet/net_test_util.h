// net_test_util.h - helpers shared by the libnet and libssl tests: loopback peers, waits, a
// private folder and a log capture.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "log.h"
#include "net.h"

/// Captures every log line (all levels down to debug) while it lives.
class log_capture {
public:
    log_capture();
    ~log_capture();
    /// True when some captured line contains text.
    bool has(const std::string &text) const;
    std::string all() const;

private:
    int old_level_;
};

/// A listening socket on 127.0.0.1 with a system port, served by nobody.
struct raw_listener {
    os_socket_t sock = 0;
    int port = 0;
    explicit raw_listener(int backlog = 16);
    ~raw_listener();
    /// Waits up to timeout_ms for a connection and accepts it (0 when none came).
    os_socket_t accept(int timeout_ms = 2000);
};

/// A port that was free a moment ago (for servers the test starts as processes).
inline int free_port() {
    return raw_listener().port;
}

/// Connected TCP pair over loopback: {client, server}. Both owned by the caller.
bool tcp_pair(os_socket_t out[2]);

/// Sends all of text on s (blocking up to 2 s).
bool send_all(os_socket_t s, const std::string &text);

/// Reads exactly n bytes within timeout_ms; returns what arrived (less on end or error).
std::string recv_n(os_socket_t s, size_t n, int timeout_ms = 3000);

/// Checks pred every 10 ms until it holds or ms have passed; returns its last value.
bool wait_until(const std::function<bool()> &pred, int ms = 3000);

/// A private folder, removed with its content at the end of the test.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};
