// app_dbg.cpp - the application's debug servers: the local-socket shell when a pipe name
// is configured, the TCP shell and the web console on their configured ports (loopback
// unless addresses are named). A server that fails to start is logged; the FTP service
// goes on without it.
#include "libapp.h"

#include <atomic>

#include "bsvf.h"
#include "dbg.h"
#include "dbg_http.h"
#include "log.h"
#include "pal.h"

static std::atomic<dbgsrv *> g_pipe_srv{nullptr};
static std::atomic<dbgsrv *> g_shell_srv{nullptr};
static std::atomic<bool> g_http_on{false};

/// The web console on its address list and port, with the title, login and prompt.
static void app_http_start() {
    dbg_http_settings s;
    s.title = g_app.web_title != nullptr ? g_app.web_title : "";
    s.user = g_app.http_user;
    s.pwd = g_app.http_pwd;
    s.prompt = g_app.prompt != nullptr ? g_app.prompt : "";
    s.metrics = app_metrics_text;
    if (debug_http_server_init(g_app.http_addr.c_str(), g_app.http_port, s) != 0) {
        LOG2(LOG2_ERR, "dbg", "debug_http_server_init failed\n");
        return;
    }
    g_http_on.store(true);
}

int app_dbg_start() {
    if (!g_app.debug_pipe_name.empty()) {
        std::string url = "pipe://./" + g_app.debug_pipe_name;
        g_pipe_srv.store(dbgsrv_open(url.c_str()));
    }
    if (g_app.shell_port != 0) {
        // The address list may hold several addresses: it goes to the server as it is.
        dbgsrv *h = dbgsrv_open_tcp(g_app.shell_addr.c_str(), g_app.shell_port);
        if (h == nullptr)
            LOG2(LOG2_ERR, "dbg", "debug_shell_server_init failed\n");
        g_shell_srv.store(h);
    }
    if (g_app.http_port != 0)
        app_http_start();
    return 0;
}

void app_dbg_stop() {
    if (dbgsrv *h = g_pipe_srv.exchange(nullptr))
        (void)dbgsrv_close(h);
    if (dbgsrv *h = g_shell_srv.exchange(nullptr))
        (void)dbgsrv_close(h);
    if (g_http_on.exchange(false))
        dbg_http_server_stop();
}

int app_dbg_exec_cmd(const char *pipe_name, int port, const char *cmd) {
    dbgcli_set_app_name(g_app.app_name);
    return dbgcli_local_exec_cmd(pipe_name, port, cmd);
}

void app_dbg_log_init() {
    bsvf_log_init();
}

int app_dbg_init() {
    if (g_app.has_cmd)
        return 0;  // the -e client only talks to a running instance
    return debug_bsv_pipe_srv_init(g_app.app_name);
}

void app_dbg_exit() {
    debug_bsv_pipe_srv_exit();
}

const char *app_dbg_bsv_pipe_name() {
    return debug_bsv_pipe_name();
}
