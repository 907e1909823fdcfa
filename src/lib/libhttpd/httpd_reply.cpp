// httpd_reply.cpp - the reply side of a request: variables, template expansion, the status
// line and headers (sent once, with one write) and the output operations of handlers.
#include "httpd_internal.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "pal.h"

static constexpr const char *HTTPD_SERVER_LINE = "Server: NORVA Http Server";

static void set_text(std::string *dst, const char *src, size_t max) {
    dst->assign(src != nullptr ? src : "");
    if (dst->size() > max)
        dst->resize(max);
}

void httpd_reply_reset(httpd_request *r) {
    r->extra_headers = HTTPD_SERVER_LINE;
    r->status = "200 Output Follows";
    r->content_type = "text/html";
    r->head_sent = false;
    r->sent = 0;
}

// ---------------------------------------------------------------------------------------
// Variables.

static httpd_var *find_var(const httpd_request *r, std::string_view name) {
    for (const httpd_var &v : r->vars)
        if (v.name == name)
            return const_cast<httpd_var *>(&v);
    return nullptr;
}

void httpdSetVar(httpd_request *r, const char *name, const char *value) {
    if (r == nullptr || name == nullptr)
        return;
    std::string_view n(name);
    while (!n.empty() && (n.front() == ' ' || n.front() == '\t'))
        n.remove_prefix(1);
    const char *v = value != nullptr ? value : "";
    if (httpd_var *var = find_var(r, n)) {
        var->values.emplace_back(v);
        return;
    }
    r->vars.push_back(httpd_var{std::string(n), {std::string(v)}});
}

const char *httpdGetVar(const httpd_request *r, const char *name) {
    if (r == nullptr || name == nullptr)
        return nullptr;
    const httpd_var *var = find_var(r, name);
    return var != nullptr ? var->values.front().c_str() : nullptr;
}

// ---------------------------------------------------------------------------------------
// Template expansion.

static bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_';
}

namespace {
/// Output of bounded length: what does not fit is dropped.
class bounded_out {
public:
    bounded_out(char *out, size_t cap) : out_(out), room_(cap > 0 ? cap - 1 : 0) {}
    void put(std::string_view s) {
        size_t n = std::min(s.size(), room_ - len_);
        std::memcpy(out_ + len_, s.data(), n);
        len_ += n;
    }
    bool full() const { return len_ >= room_; }
    size_t len() const { return len_; }

private:
    char *out_;
    size_t room_;
    size_t len_ = 0;
};
}  // namespace

size_t httpd_expand(const httpd_request *r, const char *text, char *out, size_t cap) {
    if (out == nullptr || cap == 0)
        return 0;
    bounded_out o(out, cap);
    const char *p = text != nullptr ? text : "";
    while (*p != '\0' && !o.full()) {
        const char *dollar = std::strchr(p, '$');
        if (dollar == nullptr) {
            o.put(p);
            break;
        }
        o.put(std::string_view(p, size_t(dollar - p)));
        size_t n = 0;
        while (n < HTTPD_VAR_NAME_MAX && name_char(dollar[1 + n]))
            n++;
        const char *value = n > 0 ? httpdGetVar(r, std::string(dollar + 1, n).c_str()) : nullptr;
        if (value != nullptr) {
            o.put(value);
            p = dollar + 1 + n;
        } else {
            o.put("$");  // an unknown name follows as plain text
            p = dollar + 1;
        }
    }
    out[o.len()] = '\0';
    return o.len();
}

// ---------------------------------------------------------------------------------------
// Status line and headers.

std::string httpd_http_date(time_t t) {
    static constexpr const char *days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    pal_tm tm{};
    os_time_split(int64_t(t), true, &tm);
    // English names whatever the process locale.
    return pal_format("%s, %02d %s %04d %02d:%02d:%02d GMT", days[std::clamp(tm.wday, 0, 6)],
                      tm.mday, months[std::clamp(tm.mon, 1, 12) - 1], tm.year, tm.hour, tm.min,
                      tm.sec);
}

void httpdSetStatus(httpd_request *r, const char *status) {
    if (r != nullptr)
        set_text(&r->status, status, HTTPD_TEXT_MAX);
}

void httpd_set_content_type(httpd_request *r, const char *type) {
    if (r != nullptr)
        set_text(&r->content_type, type, HTTPD_TEXT_MAX);
}

int httpdAppendHeader(httpd_request *r, const char *line) {
    if (r == nullptr || line == nullptr)
        return -1;
    size_t len = std::strlen(line);
    if (r->extra_headers.size() + 2 + len > HTTPD_HEADERS_MAX)
        return -1;
    r->extra_headers.append("\r\n").append(line, len);
    return 0;
}

static int send_bytes(httpd_request *r, const void *data, size_t len) {
    if (len == 0)
        return 0;
    if (r->stream.type < 0 || len > size_t(INT32_MAX))
        return -1;
    return net_write(&r->stream, data, int(len)) == int(len) ? int(len) : -1;
}

int httpdWriteHead(httpd_request *r, long long body_len, time_t mtime) {
    if (r == nullptr)
        return -1;
    if (r->head_sent)
        return 0;
    r->head_sent = true;
    time_t now = time_t(os_time_now());
    std::string head;
    head.reserve(HTTPD_HEAD_SIZE);
    head.append("HTTP/1.1 ").append(r->status).append("\r\n");
    head.append(r->extra_headers).append("\r\n");
    head.append("Date: ").append(httpd_http_date(now)).append("\r\n");
    head.append("Connection: close\r\n");
    head.append("Content-Type: ").append(r->content_type).append("\r\n");
    head.append("Cache-Control: no-store, must-revalidate\r\n");
    head.append("Expires: 0\r\n");
    head.append("Pragma: no-cache\r\n");
    if (body_len > 0) {
        head.append(pal_format("Content-Length: %lld\r\n", body_len));
        head.append("Last-Modified: ").append(httpd_http_date(mtime != 0 ? mtime : now));
        head.append("\r\n");
    }
    head.append("\r\n");
    // The parts are bounded so that this never cuts; the cap keeps the one-write promise.
    head.resize(std::min<size_t>(head.size(), HTTPD_HEAD_SIZE));
    return send_bytes(r, head.data(), head.size()) < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------------------
// Output.

int httpdEmitBytes(httpd_request *r, const void *data, size_t len) {
    if (r == nullptr || (data == nullptr && len > 0))
        return -1;
    r->sent += static_cast<long long>(len);
    if (httpdWriteHead(r, 0, 0) < 0)
        return -1;
    return send_bytes(r, data, len);
}

int httpdEmitText(httpd_request *r, const char *text) {
    const char *t = text != nullptr ? text : "";
    return httpdEmitBytes(r, t, std::strlen(t));
}

int httpdEmitTemplate(httpd_request *r, const char *text) {
    if (r == nullptr)
        return -1;
    std::string out(HTTPD_TEMPLATE_MAX + 1, '\0');
    size_t n = httpd_expand(r, text, out.data(), out.size());
    return httpdEmitBytes(r, out.data(), n);
}

void httpdRequireAuth(httpd_request *r) {
    if (r == nullptr)
        return;
    httpdSetStatus(r, "401 Please Authenticate");
    (void)httpdAppendHeader(r, "WWW-Authenticate: Basic realm=\"norva\"");
    (void)httpdEmitText(r, "\n");
}

long long httpd_req_sent(const httpd_request *r) {
    return r != nullptr ? r->sent : 0;
}

// ---------------------------------------------------------------------------------------
// The request as read.

int httpd_req_method(const httpd_request *r) {
    return r != nullptr ? r->method : HTTPD_METHOD_NONE;
}
int httpd_req_protocol(const httpd_request *r) {
    return r != nullptr ? r->protocol : 2;
}
bool httpd_req_gzip(const httpd_request *r) {
    return r != nullptr && r->gzip;
}
const char *httpd_req_path(const httpd_request *r) {
    return r != nullptr ? r->path.c_str() : "";
}
const char *httpd_req_query(const httpd_request *r) {
    return r != nullptr ? r->query.c_str() : "";
}
const char *httpd_req_host(const httpd_request *r) {
    return r != nullptr ? r->host.c_str() : "";
}
const char *httpd_req_user(const httpd_request *r) {
    return r != nullptr ? r->user.c_str() : "";
}
const char *httpd_req_password(const httpd_request *r) {
    return r != nullptr ? r->password.c_str() : "";
}
int httpd_req_cred_len(const httpd_request *r) {
    return r != nullptr ? r->cred_len : 0;
}
const char *httpd_req_peer(const httpd_request *r) {
    return r != nullptr ? r->peer.c_str() : "";
}
