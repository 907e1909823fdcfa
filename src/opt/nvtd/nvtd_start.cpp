// nvtd_start.cpp - library start and end, and the run of the program between them.
// The program has no server to run yet: after start-up it waits for the end of standard
// input or a termination signal, then stops cleanly with status 0.
#include "ftpd.h"
#include "libapp.h"
#include "log.h"
#include "nvtd_conf.h"
#include "pal.h"
#include "pal_proc.h"

#include <atomic>

static std::atomic<int> g_stop{0};

int app_lib_init() {
    LOG2(LOG2_DBG, "main", "==>\n");
    pl_init();
    ftpd_lib_init();
    LOG2(LOG2_DBG, "main", "<==\n");
    return 0;
}

void app_lib_exit() {
    LOG2(LOG2_DBG, "main", "==>\n");
    ftpd_lib_exit();
    LOG2(LOG2_DBG, "main", "<==\n");
}

int app_start_server() {
    LOG2(LOG2_DBG, "main", "==>\n");
    LOG2(LOG2_INFO, "main",
         "no FTP server in this build: waiting for the end of standard input or "
         "SIGINT/SIGTERM\n");
    if (os_stdin_wait_end(&g_stop, 200) == 0)
        LOG2(LOG2_INFO, "main", "end of standard input, stopping\n");
    app_stop_server();
    LOG2(LOG2_DBG, "main", "<==\n");
    return 0;
}

int app_stop_server() {
    LOG2(LOG2_DBG, "main", "==>\n");
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
