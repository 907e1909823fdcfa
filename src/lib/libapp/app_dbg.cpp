// app_dbg.cpp - the application's debug servers: the local-socket shell when a pipe name
// is configured and the TCP shell on the configured port (loopback unless addresses are
// named). A server that fails to start is logged; the FTP service goes on without it.
#include "libapp.h"

#include <atomic>

#include "bsvf.h"
#include "dbg.h"
#include "log.h"
#include "pal.h"

static std::atomic<dbgsrv *> g_pipe_srv{nullptr};
static std::atomic<dbgsrv *> g_shell_srv{nullptr};

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
    return 0;
}

void app_dbg_stop() {
    if (dbgsrv *h = g_pipe_srv.exchange(nullptr))
        (void)dbgsrv_close(h);
    if (dbgsrv *h = g_shell_srv.exchange(nullptr))
        (void)dbgsrv_close(h);
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
