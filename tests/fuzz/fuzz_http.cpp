// fuzz_http.cpp - the HTTP engine's request reader, path cleaning, Base64 and template
// expansion. The input is a request as a client sends it; after a NUL byte, the rest is
// also a template expanded with the variables the request set.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "httpd.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    return 0;
}

static void check(bool ok) {
    if (!ok)
        std::abort();
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
    return 0;
}
