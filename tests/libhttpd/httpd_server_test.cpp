// httpd_server_test.cpp - the HTTP engine over real loopback connections: handler lookup,
// the exact reply bytes, the challenge, bad input, the request bound and the time-outs.
#include "httpd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "httpd_test_util.h"
#include "log.h"
#include "net.h"
#include "pal.h"

namespace {
/// What the blocking handler waits on.
struct gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    int inside = 0;
};

void h_root(httpd_server *, httpd_request *r) {
    (void)httpdEmitText(r, "root");
}

void h_cmd(httpd_server *, httpd_request *r) {
    const char *c = httpdGetVar(r, "command");
    (void)httpdEmitText(r, (std::string("cmd:") + (c != nullptr ? c : "(none)")).c_str());
}

void h_old(httpd_server *, httpd_request *r) {
    (void)httpdEmitText(r, "hidden");
}

void h_sub(httpd_server *, httpd_request *r) {
    (void)httpdEmitText(r, "sub");
}

void h_echo(httpd_server *, httpd_request *r) {
    std::string text = pal_format("method=%d proto=%d path=%s query=%s host=%s user=%s pwd=%s "
                                  "cred=%d gzip=%d peer=%s",
                                  httpd_req_method(r), httpd_req_protocol(r), httpd_req_path(r),
                                  httpd_req_query(r), httpd_req_host(r), httpd_req_user(r),
                                  httpd_req_password(r), httpd_req_cred_len(r),
                                  int(httpd_req_gzip(r)), httpd_req_peer(r));
    (void)httpdEmitText(r, text.c_str());
}

void h_tmpl(httpd_server *, httpd_request *r) {
    httpdSetVar(r, "title", "T");
    (void)httpdEmitTemplate(r, "$title followed by $missing");
}

void h_auth(httpd_server *, httpd_request *r) {
    if (std::string(httpd_req_user(r)) == "u" && std::string(httpd_req_password(r)) == "p") {
        (void)httpdEmitText(r, "welcome");
        return;
    }
    httpdRequireAuth(r);
}

void h_head(httpd_server *, httpd_request *r) {
    httpdSetStatus(r, "299 Custom");
    httpd_set_content_type(r, "application/json");
    EXPECT_EQ(httpdAppendHeader(r, "X-One: 1"), 0);
    EXPECT_EQ(httpdAppendHeader(r, std::string(2000, 'x').c_str()), -1);
    EXPECT_EQ(httpdWriteHead(r, 5, 784111777), 0);
    EXPECT_EQ(httpdWriteHead(r, 7, 0), 0);  // the second call sends nothing
    (void)httpdEmitBytes(r, "he\0lo", 5);
    EXPECT_EQ(httpd_req_sent(r), 5);
}

void h_silent(httpd_server *, httpd_request *) {}

void h_block(httpd_server *srv, httpd_request *r) {
    auto *g = static_cast<gate *>(httpd_server_arg(srv));
    std::unique_lock l(g->mu);
    g->inside++;
    g->cv.notify_all();
    g->cv.wait(l, [&] { return g->open; });
    l.unlock();
    (void)httpdEmitText(r, "released");
}

/// Before any test: the log off the console, sockets ready (so their threads are counted).
class HttpdEnv : public testing::Environment {
    void SetUp() override {
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
        (void)sock_env_init();
    }
};
const testing::Environment *const httpd_env = testing::AddGlobalTestEnvironment(new HttpdEnv);

class HttpdServerTest : public testing::Test {
protected:
    void SetUp() override {
        srv_ = httpd_server_new(&gate_);
        ASSERT_NE(srv_, nullptr);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "", h_root), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "cmd", h_old), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "cmd", h_cmd), 0);  // hides the first one
        ASSERT_EQ(httpdAddHandler(srv_, "/", "echo", h_echo), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "tmpl", h_tmpl), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "auth", h_auth), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "head", h_head), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "silent", h_silent), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/", "block", h_block), 0);
        ASSERT_EQ(httpdAddHandler(srv_, "/a/b", "sub", h_sub), 0);
        ASSERT_EQ(httpd_server_start(srv_, "127.0.0.1", 0, "dbg_http"), 0);
        port_ = httpd_server_port(srv_);
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        open_gate();
        httpd_server_free(srv_);
    }
    void open_gate() {
        std::scoped_lock l(gate_.mu);
        gate_.open = true;
        gate_.cv.notify_all();
    }
    std::string get(const std::string &target) {
        return httpd_test_exchange(port_, "GET " + target + " HTTP/1.1\r\nHost: t\r\n\r\n");
    }
    /// The body of a reply (after the empty line), or "(no head)".
    static std::string body(const std::string &reply) {
        size_t end = reply.find("\r\n\r\n");
        return end == std::string::npos ? "(no head)" : reply.substr(end + 4);
    }
    static std::string status_line(const std::string &reply) {
        return reply.substr(0, reply.find("\r\n"));
    }
    /// Whether the head of reply is the one the server writes for status (any date), with
    /// the extra header lines (patterns) after Server and after Pragma.
    static bool head_is(const std::string &reply, const std::string &status,
                        const std::string &after_server, const std::string &type,
                        const std::string &after_pragma) {
        std::regex want("HTTP/1\\.1 " + status + "\r\nServer: NORVA Http Server\r\n" +
                        after_server +
                        "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 20[0-9][0-9] "
                        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\r\n"
                        "Connection: close\r\n"
                        "Content-Type: " + type + "\r\n"
                        "Cache-Control: no-store, must-revalidate\r\n"
                        "Expires: 0\r\n"
                        "Pragma: no-cache\r\n" + after_pragma + "\r\n");
        size_t end = reply.find("\r\n\r\n");
        return end != std::string::npos && std::regex_match(reply.substr(0, end + 4), want);
    }

    gate gate_;
    httpd_server *srv_ = nullptr;
    int port_ = 0;
};

const char *const NOT_FOUND_BODY = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n"
                                   "<BODY><H1>The request URL was not found!</H1>\n"
                                   "</BODY></HTML>\n";
}  // namespace

TEST_F(HttpdServerTest, StartTimeAndNothingActiveWhenIdle) {
    EXPECT_LE(httpd_server_start_time(srv_), time_t(os_time_now()));
    EXPECT_GT(httpd_server_start_time(srv_), time_t(0));
    EXPECT_EQ(httpd_server_active(srv_), 0);
}

TEST_F(HttpdServerTest, HandlersAreFoundByTheirCleanedPath) {
    const char *rows[][2] = {
        {"/", "root"},                            // the handler with the empty name
        {"/cmd", "cmd:(none)"},                   // the later registration hides the earlier
        {"//cmd", "cmd:(none)"},                  // doubled and dot slashes
        {"/a//b/./sub", "sub"},
        {"/cmd?command=show+info", "cmd:show info"},  // the query reaches the handler
        {"/tmpl", "T followed by $missing"},      // the template keeps a missing variable
    };
    for (const auto &row : rows)
        EXPECT_EQ(body(get(row[0])), row[1]) << row[0];
}

TEST_F(HttpdServerTest, UnknownPathsGetTheNotFoundReply) {
    for (const char *path : {"/x/cmd", "/cmd/", "/nothing", "/a/sub", "/a/b/sub/"}) {
        std::string reply = get(path);
        EXPECT_TRUE(head_is(reply, "404 Not Found", "", "text/html", "")) << reply;
        EXPECT_EQ(body(reply), NOT_FOUND_BODY) << path;
    }
}

TEST_F(HttpdServerTest, StatusLineAndHeadersExactly) {
    std::string reply = get("/");
    EXPECT_TRUE(head_is(reply, "200 Output Follows", "", "text/html", "")) << reply;
    EXPECT_EQ(body(reply), "root");
}

TEST_F(HttpdServerTest, LengthStatusTypeAndExtraHeaders) {
    std::string reply = get("/head");
    EXPECT_TRUE(head_is(reply, "299 Custom", "X-One: 1\r\n", "application/json",
                        "Content-Length: 5\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"))
        << reply;
    EXPECT_EQ(body(reply), std::string("he\0lo", 5));
}

TEST_F(HttpdServerTest, RequestFieldsAsRead) {
    std::string reply = httpd_test_exchange(
        port_, "get /echo?a=1 HTTP/1.0\r\nHost: h:1\r\nAccept-Encoding: gzip\r\n"
               "Authorization: Basic dTpw\r\n\r\n");
    EXPECT_EQ(body(reply), "method=1 proto=1 path=/echo query=a=1 host=h:1 user=u pwd=p cred=3 "
                           "gzip=1 peer=127.0.0.1");
}

TEST_F(HttpdServerTest, ChallengeWithoutCredentials) {
    std::string reply = get("/auth");
    EXPECT_TRUE(head_is(reply, "401 Please Authenticate",
                        "WWW-Authenticate: Basic realm=\"norva\"\r\n", "text/html", ""))
        << reply;
    EXPECT_EQ(body(reply), "\n");
    std::string ok = httpd_test_exchange(
        port_, "GET /auth HTTP/1.1\r\nAuthorization: Basic dTpw\r\n\r\n");
    EXPECT_EQ(status_line(ok), "HTTP/1.1 200 Output Follows");
    EXPECT_EQ(body(ok), "welcome");
}

TEST_F(HttpdServerTest, OtherMethodsGetTheRawText) {
    std::string reply = httpd_test_exchange(port_, "PUT /cmd HTTP/1.1\r\nHost: t\r\n\r\n");
    EXPECT_EQ(reply, "\n<B>ERROR : Method Not Implemented</B>\n\nPUT /cmd HTTP/1.1");
}

TEST_F(HttpdServerTest, SilentHandlerAndPathsWithoutASlashGetNoReply) {
    for (const char *request : {"GET /silent HTTP/1.1\r\n\r\n", "GET\r\n\r\n", "GET \r\n\r\n",
                                "GET cmd HTTP/1.1\r\n\r\n"})
        EXPECT_EQ(httpd_test_exchange(port_, request), "") << request;
}

TEST_F(HttpdServerTest, PostBodyIsNotReadButTheReplyArrivesWhole) {
    std::string reply = httpd_test_exchange(
        port_, "POST /cmd?command=p HTTP/1.1\r\nContent-Length: 9\r\n\r\ncommand=b");
    EXPECT_EQ(status_line(reply), "HTTP/1.1 200 Output Follows");
    EXPECT_EQ(body(reply), "cmd:p");
}

TEST_F(HttpdServerTest, OverlongLinesGetAWellFormedReply) {
    std::string reply = get("/" + std::string(70000, 'a'));
    EXPECT_EQ(status_line(reply), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(body(reply), NOT_FOUND_BODY);
    reply = httpd_test_exchange(port_, "GET /cmd?command=x HTTP/1.1\r\nX-Long: " +
                                           std::string(70000, 'b') + "\r\n\r\n");
    EXPECT_EQ(body(reply), "cmd:x");
}

TEST_F(HttpdServerTest, HighBytesAndBadBase64AreHarmless) {
    std::string reply = httpd_test_exchange(
        port_, "GET /echo HTTP/1.1\r\nAuthorization: Basic \xff\xfe!!\r\nHost: \x80\x81x\r\n\r\n");
    EXPECT_EQ(status_line(reply), "HTTP/1.1 200 Output Follows");
    EXPECT_NE(body(reply).find("user= pwd= cred=0"), std::string::npos) << reply;
}

TEST_F(HttpdServerTest, StalledHalfRequestIsServedAfterTheTimeOut) {
    std::unique_ptr<net_stream> c = httpd_test_connect(port_);
    ASSERT_TRUE(c);
    ASSERT_TRUE(httpd_test_send(c.get(), "GET /cmd?command=half HTTP/1.1\r\nHost: t\r\n"));
    EXPECT_TRUE(httpd_test_wait_until([&] { return httpd_server_active(srv_) == 1; }, 5000));
    // The client neither ends the headers nor closes: the read time-out frees the thread.
    std::string reply = httpd_test_read_all(c.get(), 10000);
    EXPECT_EQ(body(reply), "cmd:half");
    EXPECT_TRUE(httpd_test_wait_until([&] { return httpd_server_active(srv_) == 0; }, 5000));
    (void)net_close(c.get());
}

TEST_F(HttpdServerTest, SilentClientIsDroppedAfterTheTimeOut) {
    std::unique_ptr<net_stream> c = httpd_test_connect(port_);
    ASSERT_TRUE(c);
    EXPECT_TRUE(httpd_test_wait_until([&] { return httpd_server_active(srv_) == 1; }, 5000));
    EXPECT_EQ(httpd_test_read_all(c.get(), 10000), "");
    EXPECT_TRUE(httpd_test_wait_until([&] { return httpd_server_active(srv_) == 0; }, 5000));
    (void)net_close(c.get());
}

TEST_F(HttpdServerTest, RequestsBeyondTheBoundGetServiceUnavailable) {
    std::vector<std::unique_ptr<net_stream>> held;
    for (int i = 0; i < HTTPD_MAX_REQUESTS; i++) {
        held.push_back(httpd_test_connect(port_));
        ASSERT_TRUE(held.back());
        ASSERT_TRUE(httpd_test_send(held.back().get(), "GET /block HTTP/1.1\r\n\r\n"));
    }
    ASSERT_TRUE(httpd_test_wait_until(
        [&] {
            std::scoped_lock l(gate_.mu);
            return gate_.inside == HTTPD_MAX_REQUESTS;
        },
        10000));
    EXPECT_EQ(httpd_server_active(srv_), HTTPD_MAX_REQUESTS);
    std::string refused = httpd_test_exchange(port_, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(refused, "HTTP/1.1 503 Service Unavailable\r\n"
                       "Server: NORVA Http Server\r\n"
                       "Connection: close\r\n"
                       "Content-Type: text/html\r\n"
                       "Content-Length: 0\r\n"
                       "\r\n");
    open_gate();
    for (auto &c : held) {
        EXPECT_EQ(body(httpd_test_read_all(c.get())), "released");
        (void)net_close(c.get());
    }
    EXPECT_TRUE(httpd_test_wait_until([&] { return httpd_server_active(srv_) == 0; }, 5000));
    EXPECT_EQ(body(get("/")), "root");
}

TEST_F(HttpdServerTest, FiveHundredConnectionsAtOnce) {
    int threads0 = httpd_test_thread_count();
    constexpr int clients = 5, per_client = 100;
    std::atomic<int> ok{0}, busy{0}, bad{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < clients; w++) {
        workers.emplace_back([&] {
            std::vector<std::unique_ptr<net_stream>> conns;
            for (int i = 0; i < per_client; i++) {
                conns.push_back(httpd_test_connect(port_));
                if (conns.back())
                    (void)httpd_test_send(conns.back().get(),
                                          "GET /cmd?command=x HTTP/1.1\r\n\r\n");
            }
            for (auto &c : conns) {
                std::string reply = c ? httpd_test_read_all(c.get()) : "";
                if (reply.starts_with("HTTP/1.1 200 Output Follows\r\n") && body(reply) == "cmd:x")
                    ok++;
                else if (reply.starts_with("HTTP/1.1 503 Service Unavailable\r\n") &&
                         reply.ends_with("\r\n\r\n"))
                    busy++;
                else
                    bad++;
                if (c)
                    (void)net_close(c.get());
            }
        });
    }
    for (auto &t : workers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ok.load() + busy.load(), clients * per_client);
    EXPECT_GT(ok.load(), 0);
    EXPECT_TRUE(httpd_test_wait_until([&] { return httpd_server_active(srv_) == 0; }, 10000));
    EXPECT_TRUE(
        httpd_test_wait_until([&] { return httpd_test_thread_count() <= threads0; }, 10000))
        << httpd_test_thread_count() << " > " << threads0;
}

TEST(HttpdServerFree, AbortsWaitingRequestsAndWaitsForThem) {
    int threads0 = httpd_test_thread_count();
    httpd_server *srv = httpd_server_new(nullptr);
    ASSERT_NE(srv, nullptr);
    ASSERT_EQ(httpdAddHandler(srv, "/", "", h_root), 0);
    ASSERT_EQ(httpd_server_start(srv, "127.0.0.1", 0, "dbg_http"), 0);
    std::vector<std::unique_ptr<net_stream>> silent;
    for (int i = 0; i < 10; i++) {
        silent.push_back(httpd_test_connect(httpd_server_port(srv)));
        ASSERT_TRUE(silent.back());
    }
    ASSERT_TRUE(httpd_test_wait_until([&] { return httpd_server_active(srv) == 10; }, 5000));
    uint64_t t0 = os_clock_ms();
    httpd_server_free(srv);
    // The waiting reads end at their next slice, well before the 2000 ms read time-out.
    EXPECT_LT(os_clock_ms() - t0, 1500u);
    for (auto &c : silent) {
        EXPECT_EQ(httpd_test_read_all(c.get(), 5000), "");
        (void)net_close(c.get());
    }
    EXPECT_TRUE(httpd_test_wait_until([&] { return httpd_test_thread_count() <= threads0; }, 5000));
}

static void h_stop(httpd_server *srv, httpd_request *r) {
    httpd_server_free(srv);
    (void)httpdEmitText(r, "stopping");
}

TEST(HttpdServerFree, FromItsOwnHandler) {
    httpd_server *srv = httpd_server_new(nullptr);
    ASSERT_NE(srv, nullptr);
    ASSERT_EQ(httpdAddHandler(srv, "/", "stop", h_stop), 0);
    ASSERT_EQ(httpd_server_start(srv, "127.0.0.1", 0, "dbg_http"), 0);
    int port = httpd_server_port(srv);
    std::string reply = httpd_test_exchange(port, "GET /stop HTTP/1.1\r\n\r\n");
    EXPECT_NE(reply.find("\r\n\r\nstopping"), std::string::npos) << reply;
    // The listener is gone (the record itself is freed by the request's thread, which the
    // sanitizer build would report if it were not).
    EXPECT_EQ(httpd_test_connect(port), nullptr);
}

TEST(HttpdServerStart, LoopbackByDefaultAndFailureReported) {
    httpd_server *srv = httpd_server_new(nullptr);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(httpd_server_port(srv), 0);
    ASSERT_EQ(httpdAddHandler(srv, "/", "", h_root), 0);
    ASSERT_EQ(httpd_server_start(srv, "", 0, "dbg_http"), 0);
    int port = httpd_server_port(srv);
    EXPECT_NE(httpd_test_exchange(port, "GET / HTTP/1.0\r\n\r\n").find("root"), std::string::npos);
    // A second server cannot take the same port on the same address.
    httpd_server *other = httpd_server_new(nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(httpd_server_start(other, "127.0.0.1", port, "dbg_http"), -1);
    httpd_server_free(other);
    httpd_server_free(srv);
    httpd_server_free(nullptr);
}
