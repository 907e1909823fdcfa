// httpd_test_util.h - what the HTTP engine's tests share: a raw loopback client, waits on
// conditions and the process's thread count.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net.h"

/// A client connected to 127.0.0.1:port (null when the connect failed).
std::unique_ptr<net_stream> httpd_test_connect(int port);
/// Sends bytes; true when all went out.
bool httpd_test_send(net_stream *s, const std::string &bytes);
/// Everything the server sends until it closes the connection (at most timeout_ms).
std::string httpd_test_read_all(net_stream *s, int timeout_ms = 10000);
/// Connects, sends request and reads the whole reply.
std::string httpd_test_exchange(int port, const std::string &request);
/// Waits in short steps until pred holds or timeout_ms passed; the last value of pred.
bool httpd_test_wait_until(const std::function<bool()> &pred, int timeout_ms);
/// Threads of this process now.
int httpd_test_thread_count();
