// app_opt.cpp - the command line: arguments, the option loop, the -s key table and usage.
// Options are parsed before the log and the configuration exist; one-off options that need
// neither (-v, -h, "-s list", a bad option) end the process right here.
#include "libapp.h"

#include "log.h"
#include "pal.h"
#include "pal_getopt.h"
#include "pal_proc.h"

#include <cstdio>
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

int app_opt_init(int argc, char **argv) {
    pl_init();
    os_thread_name_init("main");
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
