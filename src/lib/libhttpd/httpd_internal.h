// httpd_internal.h - the server and request records and what the files of libhttpd share.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "httpd.h"
#include "net.h"

inline constexpr const char *HTTPD_TAG = "httpd";

enum : int {
    HTTPD_TIMEOUT_MS = 2000,       ///< read time-out of a request's stream
    HTTPD_QUICK_MS = 200,          ///< wait for the rest of a line already begun
    HTTPD_READ_TOTAL_MS = 30000,   ///< a request's whole header block, however it trickles
    HTTPD_RBUF_SIZE = 4096,        ///< receive buffer of a request
    HTTPD_LINE_MAX = 65535,        ///< longest request or header line kept
    HTTPD_TEXT_MAX = 1023,         ///< path, query, host, status and content type
    HTTPD_CRED_MAX = 127,          ///< Basic user and password
    HTTPD_HEADERS_MAX = 1022,      ///< the extra header lines together
    HTTPD_HEAD_SIZE = 4096,        ///< status line and headers, sent with one write
    HTTPD_TEMPLATE_MAX = 65536,    ///< expanded template text
    HTTPD_VAR_NAME_MAX = 79,       ///< longest $name in a template
    HTTPD_BACKLOG = 512,
};

/// A handler entry of a directory.
struct httpd_entry {
    std::string name;
    int kind = 2;  ///< 2: handler callback (the only kind there is)
    httpd_handler func = nullptr;
};

/// A directory of the handler tree; the root has the empty name.
struct httpd_dir {
    std::string name;
    std::vector<httpd_dir *> subdirs;
    std::vector<httpd_entry> entries;  ///< the newest registration first
    ~httpd_dir();
};

struct httpd_var {
    std::string name;
    std::vector<std::string> values;  ///< the first value is the one a lookup returns
};

struct httpd_request {
    net_stream stream{};   ///< the connection; a negative kind when detached
    httpd_server *srv = nullptr;
    int method = HTTPD_METHOD_NONE;
    int protocol = 2;
    bool gzip = false;
    int cred_len = 0;
    std::string path, query, host, user, password;
    std::string peer;
    long long sent = 0;
    bool head_sent = false;
    std::string extra_headers, status, content_type;
    std::vector<httpd_var> vars;
    // Receive side: the buffer, and for a detached record the bytes it parses.
    char rbuf[HTTPD_RBUF_SIZE];
    int rcount = 0, rpos = 0;
    bool rend = false;  ///< the stream ended, failed or timed out: no more reads
    uint64_t read_deadline = 0;
    const char *src = nullptr;
    size_t src_len = 0, src_pos = 0;
};

struct httpd_server {
    void *arg = nullptr;
    time_t start_time = 0;
    httpd_dir root;
    sock_srv *listener = nullptr;
    int port = 0;
    std::mutex lock;  ///< guards running
    std::condition_variable idle;
    std::vector<httpd_request *> running;  ///< requests whose threads run
    bool orphaned = false;  ///< freed from one of its own requests: the last one frees it
};

/// Reads the request line and headers from r's stream (or its detached bytes). 0 for a
/// request to process, -1 when there is none (the not-implemented text already sent).
int httpdReadRequest(httpd_server *srv, httpd_request *r);
/// Finds the handler of r's path and runs it, or sends the not-found reply.
void httpdProcessRequest(httpd_server *srv, httpd_request *r);
/// The listener's accept procedure (arg: the server record). Runs on the event thread.
int http_accept_proc(os_socket_t s, const os_sockaddr *peer, void *arg);
/// The request thread: one request, then the record is freed.
int httpd_client_thread(void *arg);

/// Resets the reply fields to their first texts.
void httpd_reply_reset(httpd_request *r);
/// The date form of the headers ("%a, %d %b %Y %T GMT") of Unix time t.
std::string httpd_http_date(time_t t);
/// Splits the query text into request variables.
void httpd_parse_query(httpd_request *r, const char *query);
