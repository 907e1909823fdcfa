// main.cpp - the entry of nvtd: identity and hooks into the application record, then the
// generic start-up frame, the run, and the exit routine.
#include "libapp.h"
#include "nvtd_conf.h"
#include "nvtd_shell.h"
#include "nvtd_version.h"

#ifdef NVTD_HAVE_LIBSSL
#include "ssl.h"
#endif

/// Identity, default names and flags of the program.
static void app_priv_init_defaults() {
    g_app.app_name = "nvtd";
    g_app.app_desc = "NORVA FTP Server";
    g_app.app_ver = NVTD_VERSION;
    g_app.app_ver_num = NVTD_VERSION_NUM;
    g_app.app_ver_date = NVTD_VERSION_DATE;
    g_app.copyright = "Copyright (C) 2024 the nvtd developers";
    g_app.app_conf_file = "nvtd.ini";
    g_app.srv_name = "nvtd";
    g_app.srv_disp_name = "NORVA FTP Server";
    g_app.srv_desc = "NORVA FTP Server";
    g_app.srv_start_flag = 0;
    g_app.web_title = "NVTD Web Debug Tool";
    g_app.prompt = "nvtd>";
    // Ports without any configuration file; a loaded file sets both (nvtd_conf.cpp).
    g_app.shell_port = 12681;
    g_app.http_port = 12680;
    g_app.keys = nvtd_keys_init();
    g_app.require_admin = 0;
    g_app.log_cmdline = 1;
    g_app.always_log_banner = 0;
    g_app.chdir_exe = 1;
}

static void app_register_procs() {
    app_hooks &h = g_app.hooks;
    h.wsrv_start_proc = app_start_server;
    h.wsrv_stop_proc = app_stop_server;
    h.shell_stdio_loop = app_shell_stdio_loop;
    h.shell_connet_cmd = app_dbg_exec_cmd;
    h.opt_proc = app_opt_loop;
    h.conf_init_proc = app_conf_file_init;
    h.conf_dump_proc = app_priv_conf_dump;
    h.opt_set_proc = app_priv_opt_set;
    h.check_instance_proc = app_priv_check_instance;
    h.sig_proc = app_sig_handler;
    h.lib_init_proc = app_lib_init;
    h.lib_exit_proc = app_lib_exit;
#ifdef NVTD_HAVE_LIBSSL
    h.x509_create_proc = ssl_create_key_x509_file;
#else
    h.x509_create_proc = nullptr;  // libssl not linked: certificate creation reports so
#endif
}

int main(int argc, char **argv) {
    app_priv_init_defaults();
    app_register_procs();
    if (app_opt_init(argc, argv) != 0)
        app_exit(1);
    int rc = app_start_server();
    app_exit_routine();
    return rc;
}
