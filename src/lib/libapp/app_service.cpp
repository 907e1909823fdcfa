// app_service.cpp - the program as a systemd service: the unit file written by -i/-w and
// removed by -u, and the run under -d with readiness over the notification socket.
#include "libapp.h"

#include "log.h"
#include "pal.h"
#include "pal_service.h"

#include <cstdio>
#include <cstdlib>

std::string app_unit_dir() {
    const char *dir = getenv("NVTD_UNIT_DIR");
    return dir && *dir ? std::string(dir) : std::string("/etc/systemd/system");
}

std::string app_unit_text(const char *desc, const char *exe_path) {
    return pal_format("[Unit]\n"
                      "Description=%s\n"
                      "After=network.target\n"
                      "StartLimitIntervalSec=86400\n"
                      "StartLimitBurst=3\n"
                      "\n"
                      "[Service]\n"
                      "Type=notify\n"
                      "NotifyAccess=main\n"
                      "ExecStart=%s -d\n"
                      "Restart=on-failure\n"
                      "RestartSec=5\n"
                      "\n"
                      "[Install]\n"
                      "WantedBy=multi-user.target\n",
                      desc, exe_path);
}

// systemctl runs only against a system that systemd booted: a unit folder given for tests
// is left to the caller, and without systemd there is nothing to reload or enable.
static bool app_use_systemctl() {
    const char *dir = getenv("NVTD_UNIT_DIR");
    return !(dir && *dir) && os_is_dir("/run/systemd/system") && os_find_exec("systemctl");
}

static int app_systemctl(const char *verb, const char *name) {
    const char *argv[] = {"systemctl", verb, name, nullptr};
    if (!name)
        argv[2] = nullptr;
    int rc = os_run_wait(argv);
    if (rc != 0) {
        LOG2(LOG2_ERR, "main", "systemctl %s failed, exit status %d\n", verb, rc);
        return -1;
    }
    return 0;
}

int os_install_service(const char *name, const char *disp_name, const char *desc,
                       uint32_t) {
    char exe[4096];
    if (os_exe_get_path(exe) < 0) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, "main", "Unable to install %s - error: ", disp_name);
        return -1;
    }
    std::string path = app_unit_dir() + "/" + name + ".service";
    int rc = os_write_file(path.c_str(), app_unit_text(desc, exe), 0644);
    if (rc != 0) {
        LOG2(LOG2_ERR, "main", "Unable to install %s - %s (%s)\n", disp_name, pal_strerror(rc),
             path.c_str());
        return -1;
    }
    if (app_use_systemctl() &&
        (app_systemctl("daemon-reload", nullptr) != 0 || app_systemctl("enable", name) != 0)) {
        (void)std::remove(path.c_str());  // no half-installed service stays behind
        return -1;
    }
    LOG2(LOG2_INFO, "main", "%s service installed.\n", name);
    return 0;
}

int os_remove_service(const char *name) {
    std::string path = app_unit_dir() + "/" + name + ".service";
    if (!os_file_exists(path.c_str())) {
        LOG2(LOG2_ERR, "main", "OpenService failed - %s\n", pal_strerror(PAL_ENOENT));
        return -1;
    }
    bool sysd = app_use_systemctl();
    if (sysd) {
        LOG2(LOG2_INFO, "main", "Stopping %s.\n", name);
        if (app_systemctl("stop", name) != 0)
            LOG2(LOG2_INFO, "main", "%s failed to stop.\n", name);
        else
            LOG2(LOG2_INFO, "main", "%s stopped.\n", name);
        if (app_systemctl("disable", name) != 0)
            return -1;
    }
    if (std::remove(path.c_str()) != 0) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, "main", "DeleteService failed - ");
        return -1;
    }
    if (sysd && app_systemctl("daemon-reload", nullptr) != 0)
        return -1;
    LOG2(LOG2_INFO, "main", "%s service removed.\n", name);
    return 0;
}

void app_service_ready(bool ready) {
    int rc = os_notify_state(ready ? "READY=1" : "STOPPING=1");
    if (rc < 0)
        LOG2(LOG2_WARN, "main", "NOTIFY_SOCKET: %s\n", pal_strerror(rc));
}

int os_service_start(const char *name) {
    os_thread_name_init("srv");
    LOG2(LOG2_DBG, "main", "enter %s\n", name);
    int rc = g_app.hooks.wsrv_start_proc ? g_app.hooks.wsrv_start_proc() : -1;
    if (rc < 0)
        LOG2(LOG2_ERR, "main", "start server error\n");
    LOG2(LOG2_DBG, "main", "exit\n");
    return rc;
}
