// dbg_http_text.cpp - the texts behind the web console's endpoints: JSON escaping, query
// parameters, a shell line run into memory (/cmd) and the set variables (/config,
// /update). Every text placed inside a JSON string is escaped, whoever supplied it.
#include "dbg_http_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "dbg_internal.h"
#include "log.h"
#include "pal.h"
#include "pal_value.h"
#include "sh.h"

/// The letter of a byte's short JSON escape, or 0 when it has none.
static char json_short_escape(unsigned char c) {
    switch (c) {
    case '\\': return '\\';
    case '"': return '"';
    case 8: return 'b';
    case 9: return 't';
    case 10: return 'n';
    case 12: return 'f';
    case 13: return 'r';
    default: return 0;
    }
}

/// The escape of one byte below 0x80 into esc; returns its length.
static size_t json_escape_byte(unsigned char c, char esc[6]) {
    static constexpr char hex[] = "0123456789ABCDEF";
    if (char letter = json_short_escape(c)) {
        esc[0] = '\\';
        esc[1] = letter;
        return 2;
    }
    if (c >= 32) {
        esc[0] = char(c);
        return 1;
    }
    const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
    std::copy(u, u + 6, esc);
    return 6;
}

/// Bytes of the UTF-8 sequence led by c (1 for ASCII, continuation and invalid bytes).
static size_t utf8_len(unsigned char c) {
    if (c >= 0xf0 && c <= 0xf7)
        return 4;
    if (c >= 0xe0)
        return c <= 0xef ? 3 : 1;
    if (c >= 0xc0)
        return 2;
    return 1;
}

size_t dbg_json_escape_to(std::string *out, std::string_view text, size_t max) {
    size_t used = 0;
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // Multi-byte characters go whole: a cut never splits one.
            size_t n = std::min(utf8_len(c), text.size() - i);
            if (used + n > max)
                break;
            out->append(text.substr(i, n));
            used += n;
            i += n;
            continue;
        }
        char esc[6];
        size_t n = json_escape_byte(c, esc);
        if (used + n > max)
            break;
        out->append(esc, n);
        used += n;
        i++;
    }
    return i;
}

std::string dbg_json_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    (void)dbg_json_escape_to(&out, text, SIZE_MAX);
    return out;
}

bool dbg_query_get(std::string_view query, std::string_view key, size_t max,
                   std::string *value) {
    while (true) {
        size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return false;  // a bare item ends the search
        if (pal_trim(item.substr(0, eq)) == key) {
            value->assign(pal_trim(item.substr(eq + 1)).substr(0, max));
            return true;
        }
        if (amp == std::string_view::npos)
            return false;
        query.remove_prefix(amp + 1);
    }
}

// ---------------------------------------------------------------------------------------
// /cmd

int http_exec_cmd(const char *line, std::string *reply) {
    LOG2(LOG2_DBG, DBG_TAG, "cmd=%s\n", line);
    libsh_mem_ctx m;
    libsh_mem_ctx_init(&m);
    int rc = libsh_exec_line(&m.ctx, line);
    if (rc < 0)
        LOG2(LOG2_DBG, DBG_TAG, "exec [%s] failed\n", line);
    reply->clear();
    if (m.text.empty())
        return rc;
    static constexpr std::string_view head = "[{\"resp\":\"";
    static constexpr std::string_view tail = "\"}]";
    reply->reserve(std::min<size_t>(DBG_HTTP_REPLY_MAX, m.text.size() * 2 + 16));
    reply->append(head);
    // A long output is cut before the closing text, never through an escape: the reply
    // stays one valid JSON array.
    (void)dbg_json_escape_to(reply, m.text, DBG_HTTP_REPLY_MAX - head.size() - tail.size());
    reply->append(tail);
    return rc;
}

// ---------------------------------------------------------------------------------------
// /config and /update

/// One set variable as its /config object, with the closing "},".
static void config_entry(dvar *d, std::string *out) {
    std::string value(DVAR_VALUE_SIZE, '\0');
    (void)dvar_mgr_get(d, value);
    value.resize(std::strlen(value.c_str()));
    bool is_enum = d->type == DVAR_TYPE_ENUM;
    out->append("{\"desc\":\"").append(dbg_json_escape(d->desc != nullptr ? d->desc : ""));
    out->append("\",\"name\":\"").append(dbg_json_escape(d->name));
    out->append("\",\"value\":\"").append(dbg_json_escape(value));
    out->append("\",\"type\":\"").append(is_enum ? "enum" : "string").append("\"");
    if (is_enum) {
        std::string range(d->range != nullptr ? d->range : "");
        for (char &c : range)
            c = c == '|' ? '/' : c;
        out->append(",\"range\":\"").append(dbg_json_escape(range)).append("\"");
    }
    out->append("},");
}

std::string dbg_http_config_reply() {
    libsh_init();
    const dvar_mgr *m = libsh_dvars();
    std::string out = "[";
    size_t n = dvar_mgr_count(m);
    for (size_t i = 0; i < n; i++)
        if (dvar *d = dvar_mgr_at(m, i))
            config_entry(d, &out);
    if (out.size() == 1)
        return "[]";
    out.back() = ' ';  // the last object's comma
    out.push_back(']');
    return out;
}

std::string dbg_http_update_reply(const char *name, const char *value, const char *query) {
    libsh_init();
    std::string msg(DVAR_MSG_SIZE, '\0');
    int rc = dvar_mgr_set(libsh_dvars(), name, value, msg);
    if (rc >= 0)
        return "{ \"success\" : true, \"msg\" : \"ok\" }";
    msg.resize(std::min(std::strlen(msg.c_str()), size_t(DBG_HTTP_MSG_MAX)));
    LOG2(LOG2_ERR, DBG_TAG, "%s conf_set failed: %s\n", query, msg.c_str());
    return "{ \"success\" : false, \"msg\" : \"" + dbg_json_escape(msg) + "\" }";
}
