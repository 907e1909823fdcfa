// fuzz_url.cpp - the URL parser, the query helpers and the proxy URL reader. The input is
// the URL text; its last bytes also serve as query key and value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "net.h"
#include "pal_url.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    return 0;
}

// Parsing and the read-only helpers, each on the same text.
static void parse_and_read(const char *text, const char *key) {
    std::vector<char> buf(URL_BUF_SIZE);
    url_t u{};
    if (url_parser(&u, buf.data(), text) == 0)
        (void)url_get_port(&u);
    std::vector<char> out(4096);
    (void)url_get_path(text, out.data());
    url_get_query(text, key, "def", out.data(), out.size());
    (void)url_get_query_int(text, key, -1);
    (void)str_query_get(text, key, out.data(), out.size());
    (void)url_decode(text, out.data(), out.size());
    (void)url_escape(text, out.data(), out.size());
    // Small outputs show the cut at the end of the buffer.
    char small[8];
    (void)url_decode(text, small, sizeof small);
    (void)url_escape(text, small, sizeof small);
    url_get_query(text, key, "", small, sizeof small);
}

// The editors work in place on a URL_BUF_SIZE buffer.
static void edit(const char *text, const char *key) {
    std::vector<char> url(URL_BUF_SIZE);
    size_t n = std::min(std::strlen(text), url.size() - 1);
    std::memcpy(url.data(), text, n);
    for (int mode = URL_QUERY_SET_ALWAYS; mode <= URL_QUERY_DEL_EXIST; mode++)
        (void)url_set_query(url.data(), key, text, 1, mode);
    url_add_path(url.data(), key);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    // "URL\nKEY": the key after the last line feed, or a fixed one.
    std::string key = "proxy";
    size_t lf = text.rfind('\n');
    if (lf != std::string::npos) {
        key = text.substr(lf + 1);
        text.resize(lf);
    }
    parse_and_read(text.c_str(), key.c_str());
    edit(text.c_str(), key.c_str());
    net_proxy p{};
    net_err e{};
    (void)conf_proxy_get(text.c_str(), nullptr, &p, &e);
    return 0;
}
