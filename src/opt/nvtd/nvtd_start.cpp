// nvtd_start.cpp - library start and end, the run of the FTP server between them, and the
// stop that a signal, the end of standard input or the service manager asks for.
// In a console the command shell runs until exit, the end of input or SIGINT/SIGTERM; under
// -d it sleeps in 1000 ms steps until the stop flag is set.
#include "ftpd.h"
#include "libapp.h"
#include "log.h"
#include "net.h"
#include "nvtd_conf.h"
#include "nvtd_shell.h"
#include "pal.h"
#include "pal_proc.h"
#include "sh.h"
#include "vfs.h"

#ifdef NVTD_HAVE_LIBSSL
#include "ssl.h"
#endif

#include <atomic>

static std::atomic<int> g_stop{0};      // set once the servers are stopped
static std::atomic<int> g_stopping{0};  // the stop has begun (told to the service manager)
// Written by the main thread, taken by whichever thread stops first (the signal thread or
// the main thread), so that ftpd_stop runs once.
static std::atomic<ftpd_server *> g_ftpd{nullptr};

int app_lib_init() {
    LOG2(LOG2_DBG, "main", "==>\n");
    pl_init();
    ftpd_lib_init();
    (void)app_dbg_init();  // the binary log socket, named in `show info`
    (void)app_shell_init(&g_stop);
    int rc = libvfs_init();
#ifdef NVTD_HAVE_LIBSSL
    if (ssl_lib_init() != 0)
        rc = -1;
#endif
    LOG2(LOG2_DBG, "main", "<==\n");
    return rc;
}

void app_lib_exit() {
    LOG2(LOG2_DBG, "main", "==>\n");
    ftpd_lib_exit();
    app_dbg_exit();
    libsh_exit();
    (void)sock_env_exit();  // also ends the TLS library's shared state
    libvfs_exit();
    LOG2(LOG2_DBG, "main", "<==\n");
}

static void app_wait_service() {
    LOG2(LOG2_DBG, "main", "run_as_daemon loop...\n");
    app_service_ready(true);
    while (!g_stop.load())
        os_sleep_ms(1000);
}

static void app_wait_console() {
    const ftpd_conf &c = g_ftpd_conf;
    const char *who = c.user.empty() ? "anonymous" : c.user.c_str();
    if (c.ftp_port > 1)
        LOG2(LOG2_INFO, "main", "FTP server on %s port %d (user %s)\n",
             c.ftp_addr.empty() ? "all addresses" : c.ftp_addr.c_str(), c.ftp_port, who);
    if (c.ftps_port > 1)
        LOG2(LOG2_INFO, "main", "FTPS (implicit TLS) on %s port %d\n",
             c.ftps_addr.empty() ? "all addresses" : c.ftps_addr.c_str(), c.ftps_port);
    if (g_app.hooks.shell_stdio_loop != nullptr) {
        LOG2(LOG2_INFO, "main", "waiting for the end of standard input, exit or SIGINT/SIGTERM\n");
        g_app.hooks.shell_stdio_loop(nullptr);
        if (g_stop.load() == 0)  // neither exit nor a signal: the input ended (or quit)
            LOG2(LOG2_INFO, "main", "end of standard input, stopping\n");
        return;
    }
    LOG2(LOG2_INFO, "main", "waiting for the end of standard input or SIGINT/SIGTERM\n");
    if (os_stdin_wait_end(&g_stop, 200) == 0)
        LOG2(LOG2_INFO, "main", "end of standard input, stopping\n");
}

int app_start_server() {
    LOG2(LOG2_DBG, "main", "==>\n");
    ftpd_server *srv = ftpd_start();
    if (!srv) {
        LOG2(LOG2_ERR, "main", "ftpd_start failed\n");
        return -1;
    }
    g_ftpd.store(srv);
    (void)app_dbg_start();
    if (g_app.run_as_service)
        app_wait_service();
    else
        app_wait_console();
    // Also stops a server whose start raced with a signal's stop.
    app_stop_server();
    // Here and not in app_stop_server: `exit` in a debug session calls that from the
    // session's own thread, and stopping the debug servers waits for their sessions.
    app_dbg_stop();
    LOG2(LOG2_DBG, "main", "<==\n");
    return 0;
}

int app_stop_server() {
    LOG2(LOG2_DBG, "main", "==>\n");
    if (g_stopping.exchange(1) == 0 && g_app.run_as_service)
        app_service_ready(false);
    if (ftpd_server *srv = g_ftpd.exchange(nullptr))
        ftpd_stop(srv);
    g_stop.store(1);
    return 0;
}

void app_sig_handler(int signo) {
    LOG2(LOG2_DBG, "main", "signal=%d\n", signo);
    os_signal_default(signo);
    if (signo != 2 && signo != 15)
        return;
    LOG2(LOG2_INFO, "main", "stop_server ==>\n");
    // The main thread sees the stop flag within one wait slice and ends the process with
    // status 0 through the exit routine.
    app_stop_server();
}
