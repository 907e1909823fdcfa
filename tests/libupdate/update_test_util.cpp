// update_test_util.cpp - the scripted HTTP peer.
#include "update_test_util.h"

#include "pal.h"

script_server::script_server(std::string reply, bool hold)
    : reply_(std::move(reply)), hold_(hold), th_([this] { run(); }) {}

script_server::~script_server() {
    stop_ = true;
    th_.join();
}

std::string script_server::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
}

std::string script_server::request() {
    (void)wait_until([this] { return done_.load(); }, 5000);
    return done_ ? request_ : std::string();
}

void script_server::run() {
    os_socket_t c = 0;
    for (int i = 0; i < 25 && !c && !stop_; i++)
        c = l_.accept(200);
    if (!c)
        return;
    std::string req;
    uint64_t end = os_clock_ms() + 5000;
    while (req.find("\r\n\r\n") == std::string::npos && os_clock_ms() < end && !stop_)
        req += recv_n(c, 1, 200);
    request_ = req;
    (void)send_all(c, reply_);
    done_ = true;
    while (hold_ && !stop_)
        os_sleep_ms(20);
    os_socket_exit(c);
}
