// http_bcat_test.cpp - the fetch against scripted loopback peers: the request text, the
// exact status line, the length rules, short and stalled bodies and the progress line.
#include "update.h"  // first: the public header compiles on its own

#include <gtest/gtest.h>

#include "net.h"
#include "update_test_util.h"

namespace {

std::string ok_reply(const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Fetches url from srv over a plain stream; the URL given to http_bcat may differ from
// the one the stream was opened with.
int fetch(const script_server &srv, const std::string &url, std::string *out,
          int timeout_ms = 2000, bool progress = false) {
    net_stream s{};
    if (net_open(&s, srv.url("/").c_str(), 2000) != 0)
        return -2;
    int rc = http_bcat(&s, url.c_str(), timeout_ms, out, progress);
    (void)net_close(&s);
    return rc;
}

TEST(HttpBcat, SendsExactRequestAndReturnsBody) {
    script_server srv(ok_reply("[update]\nver=1.2\n"));
    std::string body;
    ASSERT_EQ(http_get(srv.url("/pub/ver.ini").c_str(), 2000, &body, false), 0);
    EXPECT_EQ(body, "[update]\nver=1.2\n");
    EXPECT_EQ(srv.request(),
              "GET /pub/ver.ini HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

TEST(HttpBcat, KeepsQueryButNotProxyKeys) {
    script_server srv(ok_reply("x"));
    std::string body;
    ASSERT_EQ(fetch(srv, srv.url("/v?a=1&proxy_url=http%3A%2F%2Fh%3A1&b=2&proxy=corp"), &body),
              0);
    EXPECT_EQ(srv.request().substr(0, 25), "GET /v?a=1&b=2 HTTP/1.1\r\n");
}

TEST(HttpBcat, EmptyPathRequestsRoot) {
    script_server srv(ok_reply("x"));
    std::string body;
    ASSERT_EQ(http_get(("http://127.0.0.1:" + std::to_string(srv.port())).c_str(), 2000, &body,
                       false),
              0);
    EXPECT_EQ(srv.request().substr(0, 16), "GET / HTTP/1.1\r\n");
}

TEST(HttpBcat, BodyOfManyPiecesArrivesWhole) {
    std::string big(5 * UPDATE_PIECE + 123, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 7 + i / 251);
    script_server srv(ok_reply(big));
    std::string body;
    ASSERT_EQ(fetch(srv, srv.url("/big"), &body), 0);
    EXPECT_TRUE(body == big);
}

TEST(HttpBcat, ZeroLengthBodyIsEmptySuccess) {
    script_server srv("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    std::string body = "stale";
    ASSERT_EQ(fetch(srv, srv.url("/e"), &body), 0);
    EXPECT_EQ(body, "");
}

TEST(HttpBcat, RefusesAnyOtherStatusLine) {
    for (const char *status : {"HTTP/1.0 200 OK", "HTTP/1.1 404 Not Found", "HTTP/1.1 200 OK ",
                               "HTTP/1.1 200 Ok", "HTTP/1.1 201 Created"}) {
        script_server srv(std::string(status) + "\r\nContent-Length: 2\r\n\r\nhi");
        log_capture logs;
        std::string body;
        EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1) << status;
        EXPECT_TRUE(logs.has(std::string("status [") + status + "]")) << logs.all();
        EXPECT_EQ(body, "");
    }
}

TEST(HttpBcat, RefusesReplyWithoutLength) {
    script_server srv("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nbody without length");
    log_capture logs;
    std::string body;
    EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1);
    EXPECT_TRUE(logs.has("Don't know file length")) << logs.all();
}

TEST(HttpBcat, RefusesLengthThatIsNoNumber) {
    for (const char *len : {"abc", "12x", "-5", "", "99999999999999999999999"}) {
        script_server srv(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + len +
                          "\r\n\r\nhi");
        std::string body;
        EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1) << len;
    }
}

TEST(HttpBcat, RefusesTwoDifferentLengths) {
    script_server srv("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 5\r\n\r\nhello");
    log_capture logs;
    std::string body;
    EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1);
    EXPECT_TRUE(logs.has("bad length [Content-Length: 5]")) << logs.all();
}

TEST(HttpBcat, LengthHeaderNameInAnyCase) {
    script_server srv("HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhello");
    std::string body;
    ASSERT_EQ(fetch(srv, srv.url("/"), &body), 0);
    EXPECT_EQ(body, "hello");
}

TEST(HttpBcat, RefusesHugeLengthBeforeAllocating) {
    // 10^15 bytes could never be held; the refusal must come before any allocation (the
    // sanitizer build aborts on an allocation that size).
    script_server srv("HTTP/1.1 200 OK\r\nContent-Length: 1000000000000000\r\n\r\nabc", true);
    log_capture logs;
    std::string body;
    EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1);
    EXPECT_TRUE(logs.has("Content-Length 1000000000000000 is above the limit")) << logs.all();
}

TEST(HttpBcat, FailsWhenPeerClosesBeforeAnnouncedLength) {
    script_server srv("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this much");
    log_capture logs;
    std::string body;
    EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1);
    EXPECT_EQ(body, "");
    EXPECT_TRUE(logs.has("the body ended after 14 of 100 bytes")) << logs.all();
}

TEST(HttpBcat, FailsWhenBodyStallsPastTimeOut) {
    script_server srv("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nten bytes.", true);
    log_capture logs;
    std::string body;
    uint64_t start = os_clock_ms();
    EXPECT_EQ(fetch(srv, srv.url("/"), &body, 400), -1);
    // Far below the peer's hold (until this test ends): the time-out ended the read.
    EXPECT_LT(os_clock_ms() - start, 4000u);
    EXPECT_TRUE(logs.has("time-out after 10 of 100 bytes")) << logs.all();
}

TEST(HttpBcat, RefusesOverlongStatusLine) {
    script_server srv(std::string(40000, 'H') + "\r\nContent-Length: 2\r\n\r\nhi");
    log_capture logs;
    std::string body;
    EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1);
    EXPECT_TRUE(logs.has("net_gets failed")) << logs.all();
}

TEST(HttpBcat, RefusesEndlessHeaders) {
    std::string reply = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 500; i++)
        reply += "X-Pad: " + std::to_string(i) + "\r\n";
    script_server srv(reply + "Content-Length: 2\r\n\r\nhi");
    std::string body;
    EXPECT_EQ(fetch(srv, srv.url("/"), &body), -1);
}

TEST(HttpBcat, ProgressLineOnlyWhenAsked) {
    for (bool progress : {false, true}) {
        script_server srv(ok_reply("12345"));
        std::string body;
        testing::internal::CaptureStderr();
        int rc = fetch(srv, srv.url("/"), &body, 2000, progress);
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(rc, 0);
        if (progress)
            EXPECT_NE(err.find("5/5 bytes"), std::string::npos) << err;
        else
            EXPECT_EQ(err.find("bytes"), std::string::npos) << err;
    }
}

TEST(HttpGet, FailsWhenNothingListens) {
    int port = free_port();
    std::string body;
    EXPECT_EQ(http_get(("http://127.0.0.1:" + std::to_string(port) + "/").c_str(), 1000, &body,
                       false),
              -1);
}

TEST(HttpGet, RefusesUrlThatIsNoUrl) {
    std::string body;
    EXPECT_EQ(http_get("not a url", 1000, &body, false), -1);
}

}  // namespace
