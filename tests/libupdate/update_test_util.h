// update_test_util.h - a scripted HTTP peer on loopback for the libupdate tests.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "net_test_util.h"

/// Serves one connection: reads the request up to its empty line, sends reply, then
/// closes at once or, with hold, keeps the connection open until the object ends.
class script_server {
public:
    explicit script_server(std::string reply, bool hold = false);
    ~script_server();
    int port() const { return l_.port; }
    std::string url(const std::string &path) const;
    /// The request as received (complete once the reply was sent).
    std::string request();

private:
    void run();
    raw_listener l_;
    std::string reply_;
    bool hold_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::string request_;
    std::thread th_;
};
