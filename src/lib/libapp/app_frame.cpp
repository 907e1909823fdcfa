// app_frame.cpp - the fixed start-up sequence, the banner, the configuration dump and the
// exit routine. The order of the steps matters: the log starts before anything it should
// report, the configuration is read before -s values, and -s values before any action.
#include "libapp.h"

#include "log.h"
#include "pal.h"
#include "pal_proc.h"

#include <cstdio>
#include <cstdlib>

static bool g_app_lib_started = false;
static bool g_app_exited = false;

/// dir + '/' + name, without doubling a trailing '/'.
static std::string app_join(const std::string &dir, const char *name) {
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + '/' + name;
}

/// Signals, working directory, log defaults, configuration path, log settings of the file.
static void app_init_env() {
    if (g_app.hooks.sig_proc != nullptr) {
        const int signos[] = {2, 15};
        if (os_signal_route(signos, 2, g_app.hooks.sig_proc) != 0)
            LOG2(LOG2_WARN, "main", "signal handling is not available\n");
    }
    char dir[4096];
    if (os_exe_get_dir(dir) >= 0)
        g_app.exe_dir = dir;
    if (g_app.chdir_exe && !g_app.exe_dir.empty() && os_chdir(g_app.exe_dir.c_str()) != 0)
        LOG2(int(LOG2_ERR) | LOG2_F_OSERR, "main", "os_chdir(%s) error: ", g_app.exe_dir.c_str());
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "info");
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "time|tid|func");
    if (g_app.conf_path.empty())
        g_app.conf_path = app_join(g_app.exe_dir, g_app.app_conf_file);
    log2_init_imp("ini_file", g_app.conf_path.c_str());
}

/// Steps 2 to 7: command-line log settings, service action, library start, configuration.
static void app_start_config() {
    if (!g_app.log_file.empty()) {
        log2_ioctl(nullptr, LOG2_IOC_FILE, g_app.log_file.c_str());
        log2_ioctl(nullptr, LOG2_IOC_FILE_ON, 1L);
    }
    if (!g_app.log_level.empty())
        log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, g_app.log_level.c_str());
    if (g_app.svc_action != 0) {
        LOG2(LOG2_ERR, "main", "service %s is not available in this build\n",
             g_app.svc_action == 'i' ? "install" : "removal");
        app_exit(1);
    }
    if (g_app.hooks.lib_init_proc() != 0)
        LOG2(LOG2_ERR, "main", "library start failed\n");
    g_app_lib_started = true;
    if (!os_file_exists(g_app.conf_path.c_str())) {
        LOG2(LOG2_DBG, "main", "Load default %s\n", g_app.app_conf_file);
        g_app.conf_path = g_app.app_conf_file;
    }
    g_app.hooks.conf_init_proc(g_app.conf_path.c_str());
    app_key_apply(g_app.keys);
}

/// -e: one command through the debug client.
static void app_run_cmd() {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "info");
    if (g_app.hooks.shell_connet_cmd == nullptr) {
        LOG2(LOG2_ERR, "main", "-e: the debug shell client is not available in this build\n");
        app_exit(1);
    }
    g_app.hooks.shell_connet_cmd(g_app.debug_pipe_name.c_str(), g_app.shell_port,
                                 g_app.cmd.c_str());
    app_exit(0);
}

/// A relative crash-dump directory lives beside the executable.
static void app_set_dump_dir() {
    const std::string &dir = g_app.panic_dump_dir;
    if (dir.empty()) {
        g_app.dump_dir.clear();
        return;
    }
    g_app.dump_dir = path_is_absolute(dir.c_str()) ? dir : app_join(g_app.exe_dir, dir.c_str());
    LOG2(LOG2_DBG, "main", "panic_dump_dir=[%s] name=[%s]\n", g_app.dump_dir.c_str(),
         g_app.app_name);
}

int app_opt_set() {
    PAL_ASSERT_RET(g_app.hooks.lib_init_proc != nullptr, -1);
    PAL_ASSERT_RET(g_app.hooks.conf_init_proc != nullptr, -1);
    app_init_env();
    app_start_config();
    app_baner();
    if (g_app.dump_conf) {
        app_conf_dump();
        app_exit(0);
    }
    if (g_app.has_cmd)
        app_run_cmd();
    if (g_app.hooks.opt_set_proc != nullptr)
        g_app.hooks.opt_set_proc();
    if (g_app.hooks.check_instance_proc != nullptr && g_app.hooks.check_instance_proc() < 0)
        app_exit(1);
    if (g_app.require_admin && !os_is_root())
        LOG2(LOG2_WARN, "main", "%s privileges are required to run the program\n",
             "administrator");
    app_set_dump_dir();
    if (g_app.run_as_service) {
        LOG2(LOG2_ERR, "main", "service mode is not available in this build\n");
        app_exit(1);
    }
    return 0;
}

std::string app_baner_text() {
    std::string text = pal_format("%s-%s-%s v%s (%s) - %s", g_app.app_name, "linux",
                                  os_machine_name().c_str(), g_app.app_ver, g_app.app_ver_date,
                                  g_app.app_desc);
    if (text.size() > 255)
        text.resize(255);
    return text;
}

void app_baner() {
    std::string text = app_baner_text();
    if (g_app.run_as_service || g_app.always_log_banner) {
        LOG2(LOG2_DBG, "main", "%s\n", text.c_str());
        if (g_app.log_cmdline)
            LOG2(LOG2_DBG, "main", "cmdline=[%s] os=[%s]\n", g_app.cmdline.c_str(),
                 os_description().c_str());
    }
    if (g_app.quiet)
        return;
    fprintf(stderr, "%s\n", text.c_str());
    if (g_app.copyright != nullptr && g_app.copyright[0] != '\0')
        fprintf(stderr, "%s\n", g_app.copyright);
    if (g_app.run_as_service)
        fprintf(stderr, "daemon startup is complete, press any key to continue\n");
    fflush(stderr);
}

void app_conf_dump() {
    if (g_app.hooks.conf_dump_proc == nullptr) {
        LOG2(LOG2_ERR, "main", "g_app.conf_dump_proc = NULL!\n");
        return;
    }
    std::string text = g_app.hooks.conf_dump_proc();
    printf("%s", text.c_str());
    fflush(stdout);
}

void app_exit_routine() {
    if (g_app_exited)
        return;
    g_app_exited = true;
    // No signal handler may run while the libraries go down.
    os_signal_exit();
    if (g_app_lib_started && g_app.hooks.lib_exit_proc != nullptr)
        g_app.hooks.lib_exit_proc();
    log2_exit();
    g_app.conf_path.clear();
    g_app.log_file.clear();
    g_app.log_level.clear();
    g_app.cmd.clear();
    g_app.cmdline.clear();
    g_app.args.clear();
    g_app.panic_dump_dir.clear();
    g_app.dump_dir.clear();
    os_thread_name_exit();
    pl_exit();
}

void app_exit(int code) {
    app_exit_routine();
    fflush(stdout);
    fflush(stderr);
    std::exit(code);
}
