// libapp.cpp - the generic program frame: the command line with its one-off options and
// the -s key table, the fixed start-up sequence, the banner, the dump and the exit routine.
// Options are parsed before the log and the configuration exist, so -v, -h, "-s list" and a
// bad option end the process at once. The order of the start-up steps matters: the log
// starts before anything it should report, the file before -s values, those before actions.
#include "libapp.h"

#include "log.h"
#include "pal.h"
#include "pal_getopt.h"
#include "pal_proc.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

app_rec g_app;

static const char *const app_usage_lines[] = {
    "\t-c [config_file]  set config file\n",
    "\t-p dump current config\n",
    "\t-s [list|key=val] Set configuration options\n",
    "\t-e [\"cmd;...\"] execute string 'cmd'\n",
    "\t-v show version\n",
    "\t-q Do not display the startup banner and copyright message\n",
    "\t-d Run as a service\n",
    "\t-i Install service\n",
    "\t-u uninstall service\n",
    "\t-o [log_file]     set output log file\n",
    "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n",
    "\t-h display this help\n",
};

void app_usage() {
    app_baner();
    fprintf(stderr, "Usage: %s [opt] [arguments] ...\n", g_app.app_name ? g_app.app_name : "");
    for (const char *line : app_usage_lines)
        fputs(line, stderr);
    fflush(stderr);
}

/// A path from the command line names a file relative to where the user started the
/// program, not to the executable's directory that start-up changes into.
static std::string app_abs_path(const char *path) {
    if (path == nullptr || path[0] == '\0' || path_is_absolute(path) || g_app.start_dir.empty())
        return path ? path : "";
    std::string full = g_app.start_dir;
    if (full.back() != '/')
        full += '/';
    return full + path;
}

static void app_print_keys(const app_key *keys) {
    printf("support the following key settings\n");
    for (const app_key *k = keys; k != nullptr && k->name != nullptr; k++)
        printf("%s\n", k->name);
    fflush(stdout);
}

int os_opt_kv_get(app_key *keys, const char *text) {
    PAL_ASSERT_RET(text != nullptr, -1);
    std::string_view arg(text);
    if (arg == "list") {
        app_print_keys(keys);
        return 1;
    }
    size_t eq = arg.find('=');
    if (eq == std::string_view::npos) {
        LOG2(LOG2_ERR, "main", "%s syntax error Example: k=v\n", text);
        return -1;
    }
    std::string key(arg.substr(0, eq));
    for (app_key *k = keys; k != nullptr && k->name != nullptr; k++) {
        if (key != k->name)
            continue;
        k->pending.assign(arg.substr(eq + 1));
        k->has_pending = true;
        return 0;
    }
    LOG2(LOG2_ERR, "main", "unsupported key [%s]\n", key.c_str());
    return -2;
}

void app_key_apply(app_key *keys) {
    for (app_key *k = keys; k != nullptr && k->name != nullptr; k++) {
        if (!k->has_pending)
            continue;
        if (k->var != nullptr && k->type == APP_KEY_INT)
            *static_cast<int *>(k->var) = pal_atoi(k->pending);
        else if (k->var != nullptr && k->type == APP_KEY_STR)
            *static_cast<std::string *>(k->var) = k->pending;
        k->pending.clear();
        k->pending.shrink_to_fit();
        k->has_pending = false;
    }
}

/// Applies one option letter with its argument (null for flags) to the record.
static void app_opt_one(int c, const char *arg) {
    switch (c) {
    case 'c': g_app.conf_path = app_abs_path(arg); break;
    case 'o': g_app.log_file = app_abs_path(arg); break;
    case 'l': g_app.log_level = arg; break;
    case 'd': g_app.run_as_service = true; break;
    case 'q': g_app.quiet = true; break;
    case 'p': g_app.dump_conf = true; break;
    case 'i':
    case 'w': g_app.svc_action = 'i'; break;
    case 'u': g_app.svc_action = 'u'; break;
    case 'e':
        g_app.has_cmd = true;
        g_app.cmd = arg;
        break;
    case 'v':
        printf("%s\n", g_app.app_ver);
        fflush(stdout);
        app_exit(0);
    case 'h':
        app_usage();
        app_exit(0);
    case 's':
        if (os_opt_kv_get(g_app.keys, arg) == 1)
            app_exit(0);
        break;
    default:  // the parser has printed what was wrong
        app_usage();
        app_exit(1);
    }
}

int app_opt_loop(int argc, char **argv) {
    pal_getopt_state st;
    pal_getopt_reset(&st);
    int c;
    while ((c = pal_getopt(&st, argc, argv, APP_OPTSTRING)) != -1)
        app_opt_one(c, st.arg);
    return 0;
}

/// Copies the arguments into the record and joins them into the command-line text.
static int app_take_args(int argc, char **argv) {
    if (argc > APP_MAX_ARGS) {
        fprintf(stderr, "error: Too many args\n");
        return -1;
    }
    g_app.args.clear();
    g_app.cmdline.clear();
    for (int i = 0; i < argc && argv[i] != nullptr; i++) {
        g_app.args.emplace_back(argv[i]);
        if (i > 0)
            g_app.cmdline += ' ';
        g_app.cmdline += argv[i];
    }
    if (g_app.cmdline.size() > 4095)
        g_app.cmdline.resize(4095);
    return 0;
}

/// The identity texts every banner and exit path relies on.
static bool app_identity_ok() {
    const struct {
        const char *value;
        const char *expr;
    } checks[] = {
        {g_app.app_name, "g_app.app_name!=NULL"},
        {g_app.app_desc, "g_app.app_desc!=NULL"},
        {g_app.app_ver, "g_app.app_ver!=NULL"},
        {g_app.app_ver_date, "g_app.app_ver_date!=NULL"},
    };
    for (const auto &c : checks) {
        if (c.value == nullptr) {
            pal_assert_fail(c.expr, __FILE__, __LINE__, __func__);
            return false;
        }
    }
    return true;
}

// The recent log lines for a crash report; the fault handler calls it only when the
// faulting thread is not inside the log core.
static int app_panic_recent(std::span<char> out) {
    std::string text = log2_recent_lines();
    (void)pal_strlcpy(out, text);
    return static_cast<int>(std::min(text.size(), out.size() - 1));
}

int app_opt_init(int argc, char **argv) {
    pl_init();
    os_panic_set_app_ver(g_app.app_ver);
    os_panic_set_recent(app_panic_recent);
    os_thread_name_init("main");
    app_dbg_log_init();  // before the log settings: a ".pcap" log file needs the writer
    char cwd[4096];
    if (os_getcwd(cwd) > 0)
        g_app.start_dir = cwd;
    if (!app_identity_ok())
        return -1;
    if (app_take_args(argc, argv) != 0) {
        app_usage();
        app_exit(1);
    }
    PAL_ASSERT_RET(g_app.hooks.opt_proc != nullptr, -1);
    // The option loop works on the copies: the record owns them from here on.
    std::vector<char *> av;
    for (std::string &a : g_app.args)
        av.push_back(a.data());
    av.push_back(nullptr);
    g_app.hooks.opt_proc(static_cast<int>(g_app.args.size()), av.data());
    return app_opt_set();
}

// ---------------------------------------------------------------------------------------
// Start-up sequence and exit.

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
        int rc = g_app.svc_action == 'i'
                     ? os_install_service(g_app.srv_name, g_app.srv_disp_name, g_app.srv_desc,
                                          g_app.srv_start_flag)
                     : os_remove_service(g_app.srv_name);
        app_exit(rc == 0 ? 0 : 1);
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
    int rc = g_app.hooks.shell_connet_cmd(g_app.debug_pipe_name.c_str(), g_app.shell_port,
                                          g_app.cmd.c_str());
    app_exit(rc < 0 ? 1 : 0);  // scripts see a failed connection or a missing reply
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
    os_panic_set_dir(g_app.dump_dir.c_str(), g_app.app_name);
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
        // The service manager restarts a failed start only when the exit status says so.
        app_exit(os_service_start(g_app.srv_name) < 0 ? 1 : 0);
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
