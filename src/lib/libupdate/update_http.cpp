// update_http.cpp - one HTTP GET whose whole body lands in memory. Only the exact success
// reply with a known length is taken: the callers keep nothing but a complete body.
#include "update.h"

#include "log.h"
#include "net.h"
#include "pal.h"
#include "pal_url.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <string>

static constexpr const char *NET_TAG = "net";
// Status and header lines longer than this are refused.
static constexpr int HTTP_LINE_MAX = 32768;
// A reply with more header lines than this is refused: a peer must not keep us reading.
static constexpr int HEADER_LINES_MAX = 200;

// The query without the keys that only choose the proxy: they are ours, not the server's.
static std::string request_query(const char *query) {
    std::string out;
    std::string_view rest = query ? query : "";
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string_view item = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        std::string_view key = item.substr(0, item.find('='));
        if (item.empty() || key == "proxy" || key == "proxy_url")
            continue;
        out += out.empty() ? "" : "&";
        out += item;
    }
    return out;
}

// The request text for u; IPv6 hosts get their brackets back in Host.
static std::string request_text(const url_t &u) {
    std::string target = u.path;
    std::string query = request_query(u.query);
    if (!query.empty())
        target += "?" + query;
    std::string host = u.host;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
}

static bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a + 32);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b + 32);
        if (a != b)
            return false;
    }
    return true;
}

// Parses the value of a Content-Length line. 0, or -1 for anything but one decimal number.
static int parse_length(std::string_view value, uint64_t *len) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    const char *end = value.data() + value.size();
    auto [p, ec] = std::from_chars(value.data(), end, *len);
    return ec == std::errc() && p == end && !value.empty() ? 0 : -1;
}

// Reads the status line and the headers. Returns 0 with the announced length, or -1.
static int read_head(net_stream *s, uint64_t *len) {
    auto line = std::make_unique<char[]>(HTTP_LINE_MAX);
    if (net_gets(s, line.get(), HTTP_LINE_MAX) <= 0) {
        LOG2(LOG2_ERR, NET_TAG, "net_gets failed\n");
        return -1;
    }
    if (std::string_view(line.get()) != "HTTP/1.1 200 OK") {
        LOG2(LOG2_ERR, NET_TAG, "status [%s] is not \"HTTP/1.1 200 OK\"\n", line.get());
        return -1;
    }
    bool have_len = false;
    for (int count = 0;; count++) {
        if (count == HEADER_LINES_MAX || net_gets(s, line.get(), HTTP_LINE_MAX) <= 0) {
            LOG2(LOG2_ERR, NET_TAG, "net_gets failed\n");
            return -1;
        }
        std::string_view h(line.get());
        if (h.empty())
            break;
        if (!starts_with_nocase(h, "Content-Length:"))
            continue;
        uint64_t value = 0;
        // Two different lengths leave the body's end unknown.
        if (parse_length(h.substr(15), &value) != 0 || (have_len && value != *len)) {
            LOG2(LOG2_ERR, NET_TAG, "bad length [%s]\n", line.get());
            return -1;
        }
        *len = value;
        have_len = true;
    }
    if (!have_len) {
        LOG2(LOG2_ERR, NET_TAG, "Don't know file length\n");
        return -1;
    }
    return 0;
}

namespace {
/// The progress line on standard error, redrawn at most every 200 ms and once at the end.
class bcat_progress {
public:
    bcat_progress(bool on, uint64_t total) : on_(on), total_(total), start_(os_clock_ms()) {}
    void show(uint64_t got, bool last) {
        uint64_t now = os_clock_ms();
        if (!on_ || (!last && now - drawn_ < 200))
            return;
        drawn_ = now;
        double secs = std::max<uint64_t>(now - start_, 1) / 1000.0;
        fprintf(stderr, "\r%llu/%llu bytes %.1f KB/s%s", static_cast<unsigned long long>(got),
                static_cast<unsigned long long>(total_), got / 1024.0 / secs, last ? "\n" : "");
        fflush(stderr);
    }

private:
    bool on_;
    uint64_t total_;
    uint64_t start_;
    uint64_t drawn_ = 0;
};
}  // namespace

// Reads len body bytes into out before deadline (os_clock_ms). The stream's time-out is
// shortened to what is left, so that no read outlasts the deadline. 0 or -1.
static int read_body(net_stream *s, uint64_t len, uint64_t deadline, std::string *out,
                     bool progress) {
    bcat_progress bar(progress, len);
    int saved_timeout = s->timeout_ms;
    int rc = 0;
    while (out->size() < len) {
        uint64_t now = os_clock_ms();
        if (now >= deadline) {
            LOG2(LOG2_ERR, NET_TAG, "time-out after %zu of %llu bytes\n", out->size(),
                 static_cast<unsigned long long>(len));
            rc = -1;
            break;
        }
        s->timeout_ms = static_cast<int>(std::min<uint64_t>(deadline - now, 0x7fffffff));
        size_t piece = std::min<uint64_t>(len - out->size(), UPDATE_PIECE);
        size_t have = out->size();
        out->resize(have + piece);  // grows with the bytes that came, never to len at once
        int n = net_read(s, out->data() + have, static_cast<int>(piece));
        out->resize(have + std::max(n, 0));
        if (n < 0) {
            LOG2(LOG2_ERR, NET_TAG, "net_read error=%d\n", n);
            LOG2(LOG2_ERR, NET_TAG, "the body ended after %zu of %llu bytes\n", out->size(),
                 static_cast<unsigned long long>(len));
            rc = -1;
            break;
        }
        bar.show(out->size(), false);
    }
    s->timeout_ms = saved_timeout;
    bar.show(out->size(), true);
    return rc;
}

int http_bcat(net_stream *s, const char *url, int timeout_ms, std::string *out, bool progress) {
    PAL_ASSERT_RET(s != nullptr && url != nullptr && out != nullptr, -1);
    out->clear();
    auto buf = std::make_unique<char[]>(URL_BUF_SIZE);
    url_t u{};
    if (url_parser(&u, buf.get(), url) != 0 || u.host == nullptr || *u.host == '\0') {
        LOG2(LOG2_ERR, NET_TAG, "url %s syntax error\n", url);
        return -1;
    }
    std::string req = request_text(u);
    if (net_write(s, req.data(), static_cast<int>(req.size())) != static_cast<int>(req.size())) {
        LOG2(LOG2_ERR, NET_TAG, "send request to [%s] failed\n", u.host);
        return -1;
    }
    uint64_t len = 0;
    if (read_head(s, &len) != 0)
        return -1;
    if (len > UPDATE_BODY_MAX) {
        LOG2(LOG2_ERR, NET_TAG, "Content-Length %llu is above the limit of %llu bytes\n",
             static_cast<unsigned long long>(len),
             static_cast<unsigned long long>(UPDATE_BODY_MAX));
        return -1;
    }
    uint64_t deadline = os_clock_ms() + static_cast<uint64_t>(std::max(timeout_ms, 0));
    if (read_body(s, len, deadline, out, progress) != 0) {
        out->clear();
        out->shrink_to_fit();
        return -1;
    }
    return 0;
}

int http_get(const char *url, int timeout_ms, std::string *out, bool progress) {
    PAL_ASSERT_RET(url != nullptr && out != nullptr, -1);
    out->clear();
    net_stream s{};
    if (net_open(&s, url, timeout_ms) != 0) {
        LOG2(LOG2_ERR, NET_TAG, "connect [%s] failed\n", url);
        return -1;
    }
    int rc = http_bcat(&s, url, timeout_ms, out, progress);
    (void)net_close(&s);
    return rc;
}
