// fuzz_http.cpp - the HTTP engine's request reader, path cleaning, Base64 and template
// expansion. The input is a request as a client sends it; after a NUL byte, the rest is
// also a template expanded with the variables the request set. The same bytes then come in
// pieces over a stream to a server record whose handlers write replies.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "httpd.h"
#include "httpd_internal.h"

static void check(bool ok) {
    if (!ok)
        std::abort();
}

static httpd_server *g_srv;

static void h_page(httpd_server *, httpd_request *r) {
    httpdSetVar(r, "title", "T");
    (void)httpdEmitTemplate(r, "<title>$title</title>$token_value $command$");
}

static void h_cmd(httpd_server *, httpd_request *r) {
    const char *c = httpdGetVar(r, "command");
    (void)httpdEmitText(r, c != nullptr ? c : "");
}

static void h_auth(httpd_server *, httpd_request *r) {
    if (httpd_req_user(r)[0] == '\0')
        httpdRequireAuth(r);
}

static void h_head(httpd_server *, httpd_request *r) {
    httpdSetStatus(r, httpd_req_host(r));
    httpd_set_content_type(r, httpd_req_password(r));
    (void)httpdAppendHeader(r, httpd_req_user(r));
    (void)httpdAppendHeader(r, httpd_req_query(r));
    (void)httpdWriteHead(r, httpd_req_cred_len(r), 0);
    (void)httpdEmitBytes(r, httpd_req_path(r), std::strlen(httpd_req_path(r)));
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    g_srv = httpd_server_new(nullptr);
    (void)httpdAddHandler(g_srv, "/", "", h_page);
    (void)httpdAddHandler(g_srv, "/", "cmd", h_cmd);
    (void)httpdAddHandler(g_srv, "/", "auth", h_auth);
    (void)httpdAddHandler(g_srv, "/a/b", "head", h_head);
    return 0;
}

// One request read from a peer that sends the input in pieces, then processed. The reply
// is the raw not-implemented text, a status line with headers, or nothing.
static void serve(const uint8_t *data, size_t size) {
    fuzz_feed f;
    f.data = data;
    f.size = size;
    f.piece = 1 + size % 1499;
    auto *r = new httpd_request;
    r->srv = g_srv;
    fuzz_feed_stream(&r->stream, &f);
    if (httpdReadRequest(g_srv, r) == 0)
        httpdProcessRequest(g_srv, r);
    delete r;  // the feed's stream owns nothing to close
    check(f.sent.empty() || f.sent.starts_with("HTTP/1.1 ") ||
          f.sent.starts_with("\n<B>ERROR : Method Not Implemented</B>\n\n"));
    if (f.sent.starts_with("HTTP/1.1 ")) {
        size_t head = f.sent.find("\r\n\r\n");
        check(head != std::string::npos && head + 4 <= 4096);
    }
}

// Cleaning never grows the path and leaves none of the patterns it removes.
static void clean(const std::string &text) {
    std::string path = text;
    httpd_clean_path(path.data());
    size_t n = std::strlen(path.c_str());
    check(n <= std::strlen(text.c_str()));
    std::string_view p(path.c_str(), n);
    check(p.find("//") == std::string_view::npos);
    check(p.find("/./") == std::string_view::npos);
    check(p.find("/../") == std::string_view::npos);
}

// The output stays inside cap, terminated, and names no more than cap - 1 bytes.
static void expand(const httpd_request *r, const std::string &text, size_t cap) {
    std::vector<char> out(cap + 1, '\x55');
    size_t n = httpd_expand(r, text.c_str(), out.data(), cap);
    if (cap == 0) {
        check(n == 0 && out[0] == '\x55');
        return;
    }
    check(n < cap && out[n] == '\0' && out[cap] == '\x55');
}

static void base64(const std::string &text) {
    unsigned char small[5];
    small[4] = 0xa5;
    check(httpd_base64_decode(text.c_str(), small, 4) <= 4 && small[4] == 0xa5);
    std::vector<unsigned char> big(text.size() + 4);
    check(httpd_base64_decode(text.c_str(), big.data(), big.size()) <= text.size() * 3 / 4 + 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t nul = in.find('\0');
    std::string request = in.substr(0, nul);
    std::string tmpl = nul == std::string::npos ? in : in.substr(nul + 1);

    httpd_request *r = httpd_req_new_detached();
    if (r == nullptr)
        return 0;
    if (httpd_req_parse(r, in.data(), in.size()) == 0) {
        check(httpd_req_method(r) == HTTPD_METHOD_GET || httpd_req_method(r) == HTTPD_METHOD_POST);
        check(std::strlen(httpd_req_path(r)) + std::strlen(httpd_req_query(r)) <= 1023);
        check(std::strlen(httpd_req_host(r)) <= 1023);
        check(std::strlen(httpd_req_user(r)) <= 127 && std::strlen(httpd_req_password(r)) <= 127);
        (void)httpdGetVar(r, "command");
    }
    expand(r, tmpl, 65537);
    expand(r, tmpl, 16);
    expand(r, tmpl, 1);
    expand(r, tmpl, 0);
    // The same record parses a second request as a fresh one.
    (void)httpd_req_parse(r, request.data(), request.size());
    clean(request);
    clean(tmpl);
    base64(tmpl);
    httpd_req_free(r);
    serve(data, size);
    return 0;
}
