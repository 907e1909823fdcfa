// nvtd_shell.cpp - the program's part of the command shell: `show config` is the settings
// dump of -p (through the settings tables), `show status` is empty, `exit` stops the
// servers, and console reads end when a signal stops them.
#include "nvtd_shell.h"

#include "libapp.h"
#include "nvtd_conf.h"
#include "sh.h"

static std::string item_config() {
    return app_priv_conf_dump();
}

static std::string item_status() {
    return "";
}

static const rvar app_rvars[] = {
    {"config", "View configuration parameters", item_config},
    {"status", "Show the status of the program", item_status},
};

/// `call kill`: the servers stop before the exit routine frees what they use.
[[noreturn]] static void app_shell_terminate(int code) {
    app_stop_server();
    app_exit(code);
}

int app_shell_init(const std::atomic<int> *stop) {
    libsh_init();
    libsh_app a;
    a.version = g_app.app_ver;
    a.version_date = g_app.app_ver_date;
    a.bsv_pipe_name = app_dbg_bsv_pipe_name();
    a.exit_hook = app_stop_server;
    a.terminate = app_shell_terminate;
    a.stop = stop;
    libsh_set_app(a);
    for (const rvar &r : app_rvars)
        (void)rvar_mgr_add(libsh_rvars(), &r);
    // There is no item "rule": sr reports the missing item.
    (void)libsh_alias_set("st", "show status");
    (void)libsh_alias_set("sr", "show rule");
    return 0;
}

int app_shell_stdio_loop(const char *) {
    return libsh_stdio_loop(g_app.prompt);
}
