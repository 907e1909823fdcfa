// dbg_http.cpp - the web console's server: start and stop, the gate every request passes
// (Basic credentials, the page token) and the handlers of its paths.
//
// The page token is random per start and only the page carries it, so a page of another
// site open in the same browser can reach the console's address but cannot run commands.
#include "dbg_http_internal.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "dbg_internal.h"
#include "dbg_page.h"
#include "httpd.h"
#include "log.h"
#include "pal.h"
#include "pal_url.h"

namespace {
/// One running console: what its handlers read. Written before the listener opens and
/// only read afterwards; freed after the server has waited for its requests.
struct http_console {
    dbg_http_settings set;
    std::string page;
    std::string token;
    httpd_server *srv = nullptr;
};
}  // namespace

static std::mutex g_console_mu;  ///< start and stop
static http_console *g_console = nullptr;

static constexpr const char *HTTP_JSON = "application/json";
static constexpr const char *HTTP_METRICS_TYPE = "text/plain; version=0.0.4";
static constexpr const char *HTTP_METRICS_NONE = "#HELP xxxx \r\nTYPE xxx\r\ng_type=0";

// ---------------------------------------------------------------------------------------
// The gate.

/// Compares two texts in a time that depends on their lengths only, never on where they
/// differ, so credentials and tokens cannot be guessed byte by byte.
static bool http_same(std::string_view a, std::string_view b) {
    unsigned diff = a.size() == b.size() ? 0 : 1;
    size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        diff |= unsigned(x ^ y);
    }
    return diff == 0;
}

/// True when the request may pass: credentials are asked only when a user and a password
/// are both set. Otherwise the challenge has been sent.
static bool is_need_auth(const http_console *c, httpd_request *r) {
    if (c->set.user.empty() || c->set.pwd.empty())
        return true;
    // Both are compared, whatever the first gave, so the time does not tell which failed.
    bool user_ok = http_same(httpd_req_user(r), c->set.user);
    bool pwd_ok = http_same(httpd_req_password(r), c->set.pwd);
    if (user_ok && pwd_ok)
        return true;
    LOG2(LOG2_DBG, DBG_TAG, "Status page requested, forcing authentication\n");
    httpdRequireAuth(r);
    return false;
}

enum : unsigned {
    HTTP_AUTH = 1,    ///< Basic credentials when configured
    HTTP_TOKEN = 2,   ///< the page token as the parameter token
    HTTP_QUIET = 4,   ///< no log line per request (the log view polls)
};

/// The console of the request when it passes the gate for flags; null when a reply that
/// refuses it has been sent.
/// The query as the log shows it: the page token's value is left out, so that a log
/// shown to others (or the console's own Log View) never hands it on.
static std::string query_for_log(std::string_view q) {
    std::string out;
    while (!q.empty()) {
        size_t amp = q.find('&');
        std::string_view item = q.substr(0, amp);
        size_t eq = item.find('=');
        if (eq != std::string_view::npos && item.substr(0, eq) == "token")
            out.append("token=***");
        else
            out.append(item);
        if (amp == std::string_view::npos)
            break;
        out.push_back('&');
        q.remove_prefix(amp + 1);
    }
    return out;
}

static http_console *http_gate(httpd_server *srv, httpd_request *r, unsigned flags) {
    auto *c = static_cast<http_console *>(httpd_server_arg(srv));
    if ((flags & HTTP_QUIET) == 0)
        LOG2(LOG2_DBG, DBG_TAG, "[%s]\n", query_for_log(httpd_req_query(r)).c_str());
    if ((flags & HTTP_AUTH) != 0 && !is_need_auth(c, r))
        return nullptr;
    std::string token;
    if ((flags & HTTP_TOKEN) != 0 &&
        (!dbg_query_get(httpd_req_query(r), "token", DBG_HTTP_PARAM_MAX, &token) ||
         !http_same(token, c->token))) {
        LOG2(LOG2_DBG, DBG_TAG, "%s: missing or wrong page token\n", httpd_req_path(r));
        httpdSetStatus(r, "403 Forbidden");
        httpd_set_content_type(r, "text/plain");
        (void)httpdEmitText(r, "403 Forbidden: reload the page\n");
        return nullptr;
    }
    return c;
}

/// Sends text as the whole body with the type; the headers go out even for no text.
static void http_send(httpd_request *r, const char *type, std::string_view text) {
    httpd_set_content_type(r, type);
    (void)httpdWriteHead(r, 0, 0);
    if (!text.empty())
        (void)httpdEmitBytes(r, text.data(), text.size());
}

// ---------------------------------------------------------------------------------------
// The page.

/// The value of the page's template variable name, or null for any other name.
static const std::string *page_var(const http_console *c, std::string_view name) {
    if (name == "title")
        return &c->set.title;
    if (name == "sh_psa")
        return &c->set.prompt;
    if (name == "token_value")
        return &c->token;
    return nullptr;
}

/// The page with $title, $sh_psa and $token_value replaced; any other $name stays as it
/// is. Query parameters never reach the page: a link could otherwise put its own text,
/// or script, into it.
static std::string page_expand(const http_console *c) {
    const std::string &p = c->page;
    std::string out;
    out.reserve(p.size() + 64);
    size_t i = 0;
    while (i < p.size()) {
        size_t d = p.find('$', i);
        if (d == std::string::npos)
            d = p.size();
        out.append(p, i, d - i);
        if (d == p.size())
            break;
        size_t e = d + 1;
        while (e < p.size() && e - d <= 79 &&
               (std::isalnum(static_cast<unsigned char>(p[e])) != 0 || p[e] == '_'))
            e++;
        const std::string *v = page_var(c, std::string_view(p).substr(d + 1, e - d - 1));
        if (v != nullptr)
            out.append(*v);
        else
            out.append(p, d, e - d);
        i = e;
    }
    return out;
}

static void http_page(httpd_server *srv, httpd_request *r) {
    if (http_console *c = http_gate(srv, r, HTTP_AUTH))
        http_send(r, "text/html", page_expand(c));
}

// ---------------------------------------------------------------------------------------
// The endpoints.

static void http_cmd(httpd_server *srv, httpd_request *r) {
    if (http_gate(srv, r, HTTP_AUTH | HTTP_TOKEN) == nullptr)
        return;
    std::string raw;
    (void)dbg_query_get(httpd_req_query(r), "command", DBG_HTTP_CMD_RAW, &raw);
    char cmd[DBG_HTTP_CMD_MAX + 1];
    (void)url_decode(raw.c_str(), cmd, sizeof cmd);
    LOG2(LOG2_DBG, DBG_TAG, "ucmd=[%s]\n", cmd);
    std::string reply;
    (void)http_exec_cmd(cmd, &reply);
    LOG2(LOG2_DBG, DBG_TAG, "ret=[%s]\n", reply.c_str());
    http_send(r, HTTP_JSON, reply);
}

static void http_log(httpd_server *srv, httpd_request *r) {
    if (http_gate(srv, r, HTTP_AUTH | HTTP_TOKEN | HTTP_QUIET) != nullptr)
        http_send(r, HTTP_JSON, dbg_http_log_reply());
}

static void http_config(httpd_server *srv, httpd_request *r) {
    if (http_gate(srv, r, HTTP_AUTH | HTTP_TOKEN) != nullptr)
        http_send(r, HTTP_JSON, dbg_http_config_reply());
}

/// Parameter key of the query, percent-decoded as the page encodes it.
static std::string http_param(httpd_request *r, const char *key) {
    std::string raw;
    (void)dbg_query_get(httpd_req_query(r), key, DBG_HTTP_PARAM_MAX, &raw);
    char buf[DBG_HTTP_PARAM_MAX + 1];
    size_t n = url_decode(raw.c_str(), buf, sizeof buf);
    return std::string(buf, n);
}

static void http_update(httpd_server *srv, httpd_request *r) {
    if (http_gate(srv, r, HTTP_AUTH | HTTP_TOKEN) == nullptr)
        return;
    std::string name = http_param(r, "name");
    std::string value = http_param(r, "value");
    http_send(r, HTTP_JSON, dbg_http_update_reply(name.c_str(), value.c_str(),
                                                  httpd_req_query(r)));
}

static void http_metrics(httpd_server *srv, httpd_request *r) {
    http_console *c = http_gate(srv, r, HTTP_AUTH);
    if (c == nullptr)
        return;
    http_send(r, HTTP_METRICS_TYPE,
              c->set.metrics != nullptr ? c->set.metrics() : std::string(HTTP_METRICS_NONE));
}

static void http_icon(httpd_server *srv, httpd_request *r) {
    (void)http_gate(srv, r, 0);
    size_t len = 0;
    const unsigned char *png = dbg_builtin_icon(&len);
    // Browsers show an icon only when it is served with its image type.
    http_send(r, "image/png", std::string_view(reinterpret_cast<const char *>(png), len));
}

struct http_route {
    const char *name;
    httpd_handler fn;
};

static constexpr http_route http_routes[] = {
    {"", http_page},         {"cmd", http_cmd},         {"log", http_log},
    {"config", http_config}, {"update", http_update},   {"metrics", http_metrics},
    {"favicon.ico", http_icon},
};

// ---------------------------------------------------------------------------------------
// Start and stop.

/// A new token: 16 hex digits from the kernel's random bytes. Empty on failure.
static std::string http_new_token() {
    unsigned char b[8];
    if (os_random(b, sizeof b) != 0)
        return {};
    std::string t;
    for (unsigned char x : b)
        t += pal_format("%02x", x);
    return t;
}

/// The page: debug.html of the current directory when there is one, else the built-in.
static std::string http_load_page() {
    std::string page;
    if (os_file_exists("debug.html") && os_read_file("debug.html", &page) == 0) {
        LOG2(LOG2_INFO, DBG_TAG, "load debug.html ok\n");
        return page;
    }
    return dbg_builtin_page();
}

int dbg_http_server_start(const char *addrs, int port) {
    std::scoped_lock lock(g_console_mu);
    http_console *c = g_console;
    if (c == nullptr || c->srv != nullptr)
        return -1;  // debug_http_server_init prepares the console first
    httpd_server *srv = httpd_server_new(c);
    if (srv == nullptr) {
        LOG2(LOG2_ERR, DBG_TAG, "Could not create web server: %s\n", pal_strerror(PAL_ENOMEM));
        return -1;
    }
    for (const http_route &h : http_routes) {
        if (httpdAddHandler(srv, "/", h.name, h.fn) != 0) {
            httpd_server_free(srv);
            return -1;
        }
    }
    if (httpd_server_start(srv, addrs, port, "dbg_http") != 0) {
        httpd_server_free(srv);
        return -1;
    }
    c->srv = srv;
    return 0;
}

/// Drops the console prepared or run (under g_console_mu): the server first, which waits
/// for the running requests, then the record they read.
static void http_console_free() {
    if (g_console == nullptr)
        return;
    httpd_server_free(g_console->srv);
    delete g_console;
    g_console = nullptr;
    http_log_exit();
}

int debug_http_server_init(const char *addrs, int port, const dbg_http_settings &s) {
    if (port == 0)
        return 0;
    {
        std::scoped_lock lock(g_console_mu);
        if (g_console != nullptr)
            return -1;
        std::string token = http_new_token();
        if (token.empty()) {
            LOG2(LOG2_ERR, DBG_TAG, "no random bytes for the page token\n");
            return -1;
        }
        g_console = new http_console{.set = s, .page = http_load_page(), .token = token};
    }
    if (http_log_init() == 0 && dbg_http_server_start(addrs, port) == 0)
        return 0;
    std::scoped_lock lock(g_console_mu);
    http_console_free();
    return -1;
}

void dbg_http_server_stop() {
    LOG2(LOG2_DBG, DBG_TAG, "==>\n");
    std::scoped_lock lock(g_console_mu);
    http_console_free();
}

int dbg_http_server_port() {
    std::scoped_lock lock(g_console_mu);
    return g_console != nullptr ? httpd_server_port(g_console->srv) : 0;
}

std::string dbg_http_token() {
    std::scoped_lock lock(g_console_mu);
    return g_console != nullptr ? g_console->token : std::string();
}
