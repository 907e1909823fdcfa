// pal_url.cpp - splits URLs into their parts inside one caller-supplied buffer, looks up
// and edits query keys, and percent-decodes and escapes query values.
// Input is cut to URL_BUF_SIZE - 1 characters; no part can run past the buffer.
#include "pal_url.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "pal.h"

enum : int {
    URL_LOG_ERR = 3,
    URL_PARTS = 7,  ///< scheme, user, password, host, path, query, fragment
};

namespace {
/// Appends the parts one after another into the record's buffer, always keeping one
/// byte per part still to come so that every part gets its terminator.
struct url_out {
    char *buf;
    size_t size;
    size_t used = 0;
    int left = URL_PARTS;
};
}  // namespace

static const char *url_put(url_out *o, std::string_view part) {
    char *at = o->buf + o->used;
    size_t room = o->size - o->used - static_cast<size_t>(o->left);
    size_t n = part.size() < room ? part.size() : room;
    part.copy(at, n);
    at[n] = '\0';
    o->used += n + 1;
    o->left--;
    return at;
}

static size_t url_skip_space(std::string_view s, size_t i) {
    while (i < s.size() && pal_isspace(s[i])) {
        i++;
    }
    return i;
}

// User and password: the text before the first '@' anywhere in the rest.
static std::string_view url_parse_passwd(url_t *u, url_out *o, std::string_view rest) {
    size_t at = rest.find('@');
    std::string_view info = at == std::string_view::npos ? std::string_view() : rest.substr(0, at);
    size_t colon = info.find(':');
    u->user = url_put(o, info.substr(0, colon));
    u->passwd = url_put(o, colon == std::string_view::npos ? std::string_view()
                                                           : info.substr(colon + 1));
    return at == std::string_view::npos ? rest : rest.substr(at + 1);
}

// Host (an IPv6 literal without its brackets), then the port after ':'.
static std::string_view url_parse_host(url_t *u, url_out *o, std::string_view rest) {
    size_t end = 0;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']', 1);
        u->host = url_put(o, rest.substr(1, close == std::string_view::npos ? close : close - 1));
        rest = close == std::string_view::npos ? std::string_view() : rest.substr(close + 1);
    } else {
        while (end < rest.size() && !pal_isspace(rest[end]) &&
               std::string_view(":/\\?&").find(rest[end]) == std::string_view::npos) {
            end++;
        }
        u->host = url_put(o, rest.substr(0, end));
        rest = rest.substr(end);
    }
    u->port = 0;
    if (!rest.empty() && rest[0] == ':') {
        uint64_t port = 0;
        size_t i = 1;
        for (; i < rest.size() && i <= 12 && rest[i] >= '0' && rest[i] <= '9'; i++) {
            port = port * 10 + static_cast<uint64_t>(rest[i] - '0');
        }
        u->port = static_cast<uint16_t>(port % 65536);
        rest = rest.substr(i);
    }
    return rest;
}

// Path, query (after '?') and fragment (after '#', only once a query was looked for).
static void url_parse_tail(url_t *u, url_out *o, std::string_view rest) {
    size_t i = url_skip_space(rest, 0);
    size_t end = rest.find_first_of("?#", i);
    end = end == std::string_view::npos ? rest.size() : end;
    std::string_view path = rest.substr(i, end - i);
    u->path = url_put(o, path.empty() ? std::string_view("/") : path);
    i = rest.find('?', end);
    i = i == std::string_view::npos ? rest.size() : i;
    std::string_view query;
    if (i < rest.size()) {
        while (i < rest.size() && (rest[i] == '?' || pal_isspace(rest[i]))) {
            i++;
        }
        end = rest.find('#', i);
        end = end == std::string_view::npos ? rest.size() : end;
        query = rest.substr(i, end - i);
        i = end;
    }
    u->query = url_put(o, query);
    u->fragment = url_put(o, i < rest.size() && rest[i] == '#' ? rest.substr(i + 1)
                                                                 : std::string_view());
}

static void url_parse_plain(url_t *u, url_out *o, std::string_view text) {
    size_t q = text.find('?');
    u->user = url_put(o, "");
    u->passwd = url_put(o, "");
    u->host = url_put(o, "");
    u->port = 0;
    u->path = url_put(o, text.substr(0, q));
    u->query = url_put(o, q == std::string_view::npos ? std::string_view() : text.substr(q + 1));
    u->fragment = url_put(o, "");
}

int url_parser(url_t *u, char *buf, const char *text) {
    PAL_ASSERT_RET(u != nullptr && buf != nullptr, -1);
    *u = url_t{};
    std::fill(buf, buf + URL_BUF_SIZE, '\0');
    u->buf = buf;
    u->buf_size = URL_BUF_SIZE;
    return url_parser_imp(u, text);
}

int url_parser_imp(url_t *u, const char *text) {
    PAL_ASSERT_RET(u != nullptr && u->buf != nullptr && u->buf_size > URL_PARTS + 4, -1);
    PAL_ASSERT_RET(text != nullptr, -1);
    char work[URL_BUF_SIZE];
    pal_strlcpy(work, text);
    std::string_view t = pal_trim(work);
    std::string copy(t);  // trimmed, with '\\' turned into '/'
    for (char &c : copy) {
        c = c == '\\' ? '/' : c;
    }
    t = copy;
    url_out o{u->buf, u->buf_size};
    size_t sep = t.find("://");
    if (t.substr(0, 3) == "///") {
        u->scheme = url_put(&o, "name");
        t.remove_prefix(3);
    } else if (sep != std::string_view::npos) {
        u->scheme = url_put(&o, t.substr(0, sep));
        t.remove_prefix(sep + 3);
    } else {
        u->scheme = url_put(&o, "file");
        url_parse_plain(u, &o, t);
        return 0;
    }
    t = url_parse_passwd(u, &o, t);
    t = url_parse_host(u, &o, t);
    url_parse_tail(u, &o, t);
    return 0;
}

int url_get_port(const url_t *u) {
    PAL_ASSERT_RET(u != nullptr, 0);
    if (u->port != 0) {
        return u->port;
    }
    if (u->scheme != nullptr && pal_iequals(u->scheme, "http")) {
        return 80;
    }
    if (u->scheme != nullptr && pal_iequals(u->scheme, "https")) {
        return 443;
    }
    return 0;
}

int url_get_path(const char *text, char *out) {
    PAL_ASSERT_RET(out != nullptr, -1);
    out[0] = '\0';
    url_t u;
    char buf[URL_BUF_SIZE];
    if (url_parser(&u, buf, text) != 0 || u.path[0] == '\0') {
        return -1;
    }
    pal_strlcpy(std::span<char>(out, 4096), u.path);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Queries.

int str_query_get(const char *query, const char *key, char *out, size_t out_size) {
    PAL_ASSERT_RET(out != nullptr && out_size > 0, -1);
    out[0] = '\0';
    if (query == nullptr || key == nullptr) {
        return -1;
    }
    std::string_view q(query);
    while (true) {
        size_t amp = q.find('&');
        std::string_view item = q.substr(0, amp);
        size_t eq = item.find('=');
        // An item without '=' (a bare flag) holds no value; later items still count.
        if (eq != std::string_view::npos && pal_trim(item.substr(0, eq)) == key) {
            pal_strlcpy(std::span<char>(out, out_size), pal_trim(item.substr(eq + 1)));
            return 0;
        }
        if (amp == std::string_view::npos) {
            return -1;
        }
        q.remove_prefix(amp + 1);
    }
}

int url_hex(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

size_t url_decode(const char *src, char *out, size_t out_size) {
    PAL_ASSERT_RET(out != nullptr && out_size > 0, 0);
    size_t n = 0;
    for (const char *s = src != nullptr ? src : ""; *s != '\0' && n + 1 < out_size;) {
        if (*s != '%') {
            out[n++] = *s++;
        } else if (url_hex(s[1]) >= 0 && url_hex(s[2]) >= 0) {
            out[n++] = static_cast<char>(url_hex(s[1]) * 16 + url_hex(s[2]));
            s += 3;
        } else if (url_hex(s[1]) >= 0) {
            s += 2;  // '%' and one hex digit stand for nothing
        } else if (s[1] != '\0') {
            out[n++] = s[1];  // '%' before any other character keeps that character
            s += 2;
        } else {
            s++;
        }
    }
    out[n] = '\0';
    return n;
}

static bool url_needs_escape(unsigned char c) {
    return c < 32 || c >= 127 || std::string_view(" #%&+;=?").find(static_cast<char>(c)) !=
                                     std::string_view::npos;
}

size_t url_escape(const char *src, char *out, size_t out_size) {
    PAL_ASSERT_RET(out != nullptr && out_size > 0, 0);
    static constexpr char hex[] = "0123456789ABCDEF";
    size_t n = 0;
    for (const char *s = src != nullptr ? src : ""; *s != '\0'; s++) {
        auto c = static_cast<unsigned char>(*s);
        size_t need = url_needs_escape(c) ? 3 : 1;
        if (n + need >= out_size) {
            break;  // never half an escape
        }
        if (need == 1) {
            out[n++] = *s;
            continue;
        }
        out[n++] = '%';
        out[n++] = hex[c >> 4];
        out[n++] = hex[c & 15];
    }
    out[n] = '\0';
    return n;
}

void url_get_query(const char *text, const char *key, const char *def, char *out,
                   size_t out_size) {
    PAL_ASSERT_RET(out != nullptr && out_size > 0, );
    const char *q = text != nullptr ? text : "";
    const char *mark = std::string_view(q).find('?') != std::string_view::npos
                           ? q + std::string_view(q).find('?') + 1
                           : q;
    std::string raw(URL_BUF_SIZE, '\0');
    if (str_query_get(mark, key, raw.data(), raw.size()) == 0) {
        url_decode(raw.c_str(), out, out_size);
        return;
    }
    pal_strlcpy(std::span<char>(out, out_size), def != nullptr ? def : "");
}

int url_get_query_int(const char *text, const char *key, int def) {
    char v[64];
    url_get_query(text, key, "", v, sizeof v);
    return v[0] == '\0' ? def : pal_atoi(v);
}

void url_add_path(char *url, const char *path) {
    PAL_ASSERT_RET(url != nullptr && path != nullptr, );
    std::string u(url, strnlen(url, URL_BUF_SIZE - 1));
    size_t q = u.find('?');
    std::string out;
    if (q == std::string::npos) {
        out = u + path;
    } else {
        out = u.substr(0, q);
        if (path[0] != '\\' && path[0] != '/') {
            out += "/";
        }
        out += path;
        out += u.substr(q);
    }
    pal_strlcpy(std::span<char>(url, URL_BUF_SIZE), out);
}

// ---------------------------------------------------------------------------------------
// Query editing.

static const char *url_mode_name(int mode) {
    switch (mode) {
    case URL_QUERY_SET_ALWAYS:
        return "set_always";
    case URL_QUERY_SET_NOT_EXIST:
        return "set_not_exist";
    case URL_QUERY_SET_EXIST:
        return "set_exist";
    case URL_QUERY_DEL_EXIST:
        return "del_exist";
    default:
        return "unknown";
    }
}

static int url_set_fail(const char *url, const char *key, const char *val, int escape, int mode,
                        const std::string &why) {
    PAL_LOG(URL_LOG_ERR, "pal", "url=[%s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n",
            url != nullptr ? url : "(null)", key != nullptr ? key : "(null)",
            val != nullptr ? val : "(null)", escape, url_mode_name(mode), why.c_str());
    return -1;
}

// The reason key or val cannot go into a query, or empty when they can.
static std::string url_set_check(const char *key, const char *val, int mode) {
    static constexpr const char *bad = ";/\\\"'?:@# &=";
    if (key == nullptr || val == nullptr) {
        return "key or val cannot be null";
    }
    if (key[0] == '\0') {
        return "key cannot be empty";
    }
    if (std::string_view(key).find_first_of(bad) != std::string_view::npos) {
        return pal_format("key cannot contain [%s]", bad);
    }
    if (mode < URL_QUERY_SET_ALWAYS || mode > URL_QUERY_DEL_EXIST) {
        return "invalid mode";
    }
    return std::string();
}

// Rebuilds query item by item; the first item written follows '?', the others '&'.
static std::string url_set_items(std::string_view query, std::string_view key,
                                 std::string_view val, int mode) {
    std::string out;
    std::string prefix = std::string(key) + "=";
    bool matched = false;
    while (true) {
        size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        bool match = item.substr(0, prefix.size()) == prefix;
        matched = matched || match;
        if (!match || mode == URL_QUERY_SET_NOT_EXIST) {
            out += out.empty() ? "?" : "&";
            out += item;
        } else if (mode != URL_QUERY_DEL_EXIST) {
            out += (out.empty() ? "?" : "&") + prefix;
            out += val;
        }
        if (amp == std::string_view::npos) {
            break;
        }
        query.remove_prefix(amp + 1);
    }
    bool add = mode == URL_QUERY_SET_ALWAYS || mode == URL_QUERY_SET_NOT_EXIST;
    if (!matched && add) {
        out += (out.empty() ? "?" : "&") + prefix;
        out += val;
    }
    return out;
}

int url_set_query(char *url, const char *key, const char *val, int escape, int mode) {
    PAL_ASSERT_RET(url != nullptr, -1);
    std::string why = url_set_check(key, val, mode);
    if (!why.empty()) {
        return url_set_fail(url, key, val, escape, mode, why);
    }
    // Values are always escaped: an unescaped '&' or '#' would break the query apart.
    std::string esc(URL_BUF_SIZE, '\0');
    esc.resize(url_escape(val, esc.data(), esc.size()));
    if (esc.empty() && mode != URL_QUERY_DEL_EXIST) {
        return url_set_fail(url, key, val, escape, mode, "val cannot be empty");
    }
    std::string u(url, strnlen(url, URL_BUF_SIZE - 1));
    size_t q = u.find('?');
    std::string out;
    if (q == std::string::npos || q + 1 == u.size()) {
        if (mode == URL_QUERY_SET_EXIST || mode == URL_QUERY_DEL_EXIST) {
            return 0;
        }
        out = u.substr(0, q) + "?" + key + "=" + esc;
    } else {
        out = u.substr(0, q) + url_set_items(std::string_view(u).substr(q + 1), key, esc, mode);
    }
    // A cut URL would lose part of its query; refuse the change instead.
    if (out.size() >= URL_BUF_SIZE) {
        return url_set_fail(url, key, val, escape, mode, "url too long");
    }
    pal_strlcpy(std::span<char>(url, URL_BUF_SIZE), out);
    return 0;
}
