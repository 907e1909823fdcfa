// httpd_request.cpp - reading one request: lines from the receive buffer, the request line,
// the headers the server cares about, Basic credentials, path cleaning and the query.
#include "httpd_internal.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "log.h"
#include "pal.h"
#include "pal_url.h"

// ---------------------------------------------------------------------------------------
// Receive buffer and lines.

static bool line_ends(unsigned char c) {
    return c == '\n' || c >= 0x80;
}

/// Waits for more of a line already begun: a request that arrived whole ends with a line
/// end and costs no wait, while one sent in pieces gets HTTPD_QUICK_MS for each piece.
static int quick_read(httpd_request *r, int n) {
    while (n < HTTPD_RBUF_SIZE && !line_ends(static_cast<unsigned char>(r->rbuf[n - 1])) &&
           os_clock_ms() < r->read_deadline) {
        int more = net_read_avail(&r->stream, r->rbuf + n, HTTPD_RBUF_SIZE - n, HTTPD_QUICK_MS);
        if (more <= 0)
            break;
        n += more;
    }
    return n;
}

/// Fills the receive buffer: the first byte waits up to the stream's time-out. Returns the
/// bytes now buffered, or -1 at the end of the stream, an error, a time-out or once the
/// whole header block has taken too long.
static int refill(httpd_request *r) {
    r->rpos = r->rcount = 0;
    if (r->rend)
        return -1;
    int n = -1;
    if (r->src != nullptr) {
        size_t left = r->src_len - r->src_pos;
        if (left > 0) {
            n = int(std::min<size_t>(left, HTTPD_RBUF_SIZE));
            std::memcpy(r->rbuf, r->src + r->src_pos, size_t(n));
            r->src_pos += size_t(n);
        }
    } else if (r->stream.type >= 0 && os_clock_ms() < r->read_deadline) {
        n = net_read_avail(&r->stream, r->rbuf, HTTPD_RBUF_SIZE, r->stream.timeout_ms);
        if (n > 0)
            n = quick_read(r, n);
    }
    if (n <= 0) {
        r->rend = true;
        return -1;
    }
    r->rcount = n;
    return n;
}

/// Reads one line into *line without its end and without carriage returns; bytes past
/// HTTPD_LINE_MAX are dropped. A line ends at a line feed or a byte of 0x80 and above (the
/// byte is consumed). Returns 1 with a line (also a last line cut by the end of the
/// stream), -1 when nothing more came.
static int read_line(httpd_request *r, std::string *line) {
    line->clear();
    bool any = false;
    for (;;) {
        if (r->rpos >= r->rcount && refill(r) < 0)
            return any ? 1 : -1;
        auto c = static_cast<unsigned char>(r->rbuf[r->rpos++]);
        any = true;
        if (line_ends(c))
            return 1;
        if (c != '\r' && line->size() < HTTPD_LINE_MAX)
            line->push_back(char(c));
    }
}

// ---------------------------------------------------------------------------------------
// Pieces.

static void cut_to(std::string *s, size_t max) {
    if (s->size() > max)
        s->resize(max);
}

/// Replaces every from by to (to is shorter) until none is left.
static void collapse(char *path, const char *from, const char *to) {
    size_t from_len = std::strlen(from), to_len = std::strlen(to);
    char *p = path;
    while ((p = std::strstr(p, from)) != nullptr) {
        std::memmove(p + to_len, p + from_len, std::strlen(p + from_len) + 1);
        std::memcpy(p, to, to_len);
        // A replacement may complete a new match that begins just before it.
        p = p > path ? p - 1 : p;
    }
}

void httpd_clean_path(char *path) {
    if (path == nullptr)
        return;
    collapse(path, "//", "/");
    collapse(path, "/./", "/");
    collapse(path, "/../", "/");
}

static int b64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

size_t httpd_base64_decode(const char *in, unsigned char *out, size_t cap) {
    if (in == nullptr || out == nullptr)
        return 0;
    size_t n = 0;
    unsigned acc = 0;
    int bits = 0;
    for (const char *p = in; *p != '\0'; p++) {
        int v = b64_value(static_cast<unsigned char>(*p));
        if (v < 0)
            break;  // padding or anything else ends the valid part
        acc = (acc << 6) | unsigned(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (n >= cap)
                break;
            out[n++] = static_cast<unsigned char>(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    return n;
}

static void take_basic(httpd_request *r, const char *value) {
    std::string raw(std::strlen(value) / 4 * 3 + 3, '\0');
    size_t n = httpd_base64_decode(value, reinterpret_cast<unsigned char *>(raw.data()),
                                   raw.size());
    raw.resize(n);
    r->cred_len = int(n);
    // A NUL byte in the credentials ends them, as it ends any text.
    std::string_view text(raw.c_str());
    size_t colon = text.find(':');
    r->user.assign(text.substr(0, colon));
    r->password.assign(colon == std::string_view::npos ? std::string_view()
                                                       : text.substr(colon + 1));
    cut_to(&r->user, HTTPD_CRED_MAX);
    cut_to(&r->password, HTTPD_CRED_MAX);
}

static void take_header(httpd_request *r, const std::string &line) {
    if (pal_istarts_with(line, "Authorization: ")) {
        const char *value = line.c_str() + std::strlen("Authorization: ");
        if (std::strncmp(value, "Basic ", 6) == 0)
            take_basic(r, value + 6);
    } else if (pal_istarts_with(line, "Host: ")) {
        r->host = line.substr(std::strlen("Host: "));
        cut_to(&r->host, HTTPD_TEXT_MAX);
    } else if (pal_istarts_with(line, "Accept-Encoding:")) {
        std::string_view value(line);
        value.remove_prefix(std::strlen("Accept-Encoding:"));
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        r->gzip = value.substr(0, 4) == "gzip";
    }
}

/// '+' as a blank and %XX as its byte; a '%' without two hex digits stays as it is.
static std::string decode_value(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] == '+') {
            out.push_back(' ');
            continue;
        }
        if (v[i] == '%' && i + 2 < v.size() && url_hex(v[i + 1]) >= 0 &&
            url_hex(v[i + 2]) >= 0) {
            out.push_back(char(url_hex(v[i + 1]) * 16 + url_hex(v[i + 2])));
            i += 2;
            continue;
        }
        out.push_back(v[i]);
    }
    return out;
}

void httpd_parse_query(httpd_request *r, const char *query) {
    std::string_view rest(query != nullptr ? query : "");
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        bool last = amp == std::string_view::npos;
        rest = last ? std::string_view() : rest.substr(amp + 1);
        size_t eq = pair.find('=');
        if (eq == std::string_view::npos) {
            if (!last)
                httpdSetVar(r, std::string(pair).c_str(), "");
            continue;
        }
        // A %00 ends the value, as the end of any text does.
        std::string value = decode_value(pair.substr(eq + 1));
        httpdSetVar(r, std::string(pair.substr(0, eq)).c_str(), value.c_str());
    }
}

// ---------------------------------------------------------------------------------------
// The request.

static void send_raw(httpd_request *r, std::string_view text) {
    if (r->stream.type >= 0 && !text.empty())
        (void)net_write(&r->stream, text.data(), int(text.size()));
}

/// Method, path and protocol of the first line. -1 for a method other than GET and POST
/// (the not-implemented text is sent).
static int take_request_line(httpd_request *r, const std::string &line) {
    size_t i = 0;
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    while (i < line.size() && letter(line[i]))
        i++;
    std::string method = line.substr(0, i);
    if (pal_iequals(method, "GET")) {
        r->method = HTTPD_METHOD_GET;
    } else if (pal_iequals(method, "POST")) {
        r->method = HTTPD_METHOD_POST;
    } else {
        LOG2(LOG2_DBG, HTTPD_TAG, "r->request.method [%s] invalid\n", method.c_str());
        send_raw(r, "\n<B>ERROR : Method Not Implemented</B>\n\n");
        send_raw(r, line);
        return -1;
    }
    while (i < line.size() && line[i] == ' ')
        i++;
    size_t end = std::min(line.find(' ', i), line.size());
    std::string path = line.substr(i, std::min<size_t>(end - i, HTTPD_TEXT_MAX));
    httpd_clean_path(path.data());
    r->path = path.c_str();
    i = end;
    while (i < line.size() && line[i] == ' ')
        i++;
    r->protocol = line.compare(i, 8, "HTTP/1.0") == 0 ? 1 : 2;
    return 0;
}

/// The query: the text after the first '?' of the path, which is cut there.
static void split_query(httpd_request *r) {
    size_t q = r->path.find('?');
    if (q == std::string::npos)
        return;
    r->query = r->path.substr(q + 1);
    cut_to(&r->query, HTTPD_TEXT_MAX);
    r->path.resize(q);
    httpd_parse_query(r, r->query.c_str());
}

/// Clears what an earlier parse of the same record found.
static void request_reset(httpd_request *r) {
    r->method = HTTPD_METHOD_NONE;
    r->protocol = 2;
    r->gzip = false;
    r->cred_len = 0;
    r->path.clear();
    r->query.clear();
    r->host.clear();
    r->user.clear();
    r->password.clear();
    r->vars.clear();
}

int httpdReadRequest(httpd_server *, httpd_request *r) {
    request_reset(r);
    httpd_reply_reset(r);
    r->read_deadline = os_clock_ms() + HTTPD_READ_TOTAL_MS;
    std::string line;
    if (read_line(r, &line) < 0)
        return -1;  // nothing came
    if (take_request_line(r, line) < 0)
        return -1;
    while (read_line(r, &line) > 0 && !line.empty())
        take_header(r, line);
    split_query(r);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Detached records.

httpd_request *httpd_req_new_detached() {
    auto *r = new (std::nothrow) httpd_request;
    if (r == nullptr)
        return nullptr;
    r->stream.type = -1;
    httpd_reply_reset(r);
    return r;
}

void httpd_req_free(httpd_request *r) {
    delete r;
}

int httpd_req_parse(httpd_request *r, const char *data, size_t len) {
    if (r == nullptr || (data == nullptr && len > 0))
        return -1;
    r->src = data != nullptr ? data : "";
    r->src_len = len;
    r->src_pos = 0;
    r->rcount = r->rpos = 0;
    r->rend = false;
    int rc = httpdReadRequest(r->srv, r);
    r->src = nullptr;
    return rc;
}
