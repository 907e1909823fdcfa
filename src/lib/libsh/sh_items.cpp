// sh_items.cpp - the shell's start and end, its registries, and the show items and call
// functions it registers itself (info, memory, llog, dvar; kill, null, thread_except,
// stack_over, tlog). The fault tests hand their faults to the process's crash handling.
#include "sh_internal.h"

#include "log.h"
#include "pal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

static std::mutex g_init_mu;
static bool g_inited = false;
static rvar_mgr *g_rvars = nullptr;
static fvar_mgr *g_fvars = nullptr;
static dvar_mgr *g_dvars = nullptr;
static libsh_app g_app_rec;

rvar_mgr *libsh_rvars() { return g_rvars; }
fvar_mgr *libsh_fvars() { return g_fvars; }
dvar_mgr *libsh_dvars() { return g_dvars; }

void libsh_set_app(const libsh_app &app) {
    g_app_rec = app;
}

const libsh_app &sh_app() {
    return g_app_rec;
}

// ---------------------------------------------------------------------------------------
// Show items.

static std::string item_info() {
    const libsh_app &a = g_app_rec;
    std::string out;
    out += pal_format("ver=%s\n", a.version ? a.version : "");
    out += pal_format("ver_date=%s\n", a.version_date ? a.version_date : "");
    out += pal_format("start_time=%s\n", libsh_time_span(sh_proc_uptime()).c_str());
    out += pal_format("is_root=%d\n", os_is_root() ? 1 : 0);
    out += pal_format("log_level=%s\n", log2_vars[0].get().c_str());
    out += pal_format("bsv_pipe_name=%s\n", libsh_quote(a.bsv_pipe_name ? a.bsv_pipe_name : "").c_str());
    out += pal_format("cpu_endian=%s\n", "little");
    out += pal_format("os_is_nt=%d\n", 0);
    out += pal_format("os_info=%s\n", sh_os_info().c_str());
    out += pal_format("hw_info=%s\n", sh_hw_info().c_str());
    out += pal_format("os_start_time=%s\n", libsh_time_span(sh_os_uptime()).c_str());
    return out;
}

static std::string item_memory() {
    return sh_memory_stats();
}

static std::string item_llog() {
    return log2_recent_lines();
}

static std::string item_dvar() {
    std::string out;
    dvar_mgr *m = g_dvars;
    for (size_t i = 0; i < dvar_mgr_count(m); i++) {
        dvar *d = dvar_mgr_at(m, i);
        char value[DVAR_VALUE_SIZE] = "";
        (void)dvar_mgr_get(d, value);
        out += pal_format("%s=%s\n", d->name, value);
    }
    return out;
}

static const rvar sh_rvars[] = {
    {"info", "View program running global info", item_info},
    {"memory", "View program memory stats", item_memory},
    {"llog", "show last log", item_llog},
    {"dvar", "View program Dynamic variable", item_dvar},
};

// ---------------------------------------------------------------------------------------
// Call functions.

static int call_kill(dbgsh_srv_ctx *ctx, int, char **) {
    LOG2(LOG2_WARN, SH_TAG, "user req exit!!\n");
    libsh_flush(ctx);
    if (g_app_rec.terminate != nullptr)
        g_app_rec.terminate(0);
    std::exit(0);
}

/// An access to the unmapped first page. The address comes through a volatile object so
/// that the compiler cannot see (and drop) the fault; it is not null, so a sanitizer
/// build faults the same way instead of reporting a null dereference.
static void raise_access_fault() {
    volatile uintptr_t where = 16;
    *reinterpret_cast<volatile int *>(where) = 0;
}

static int call_null(dbgsh_srv_ctx *ctx, int, char **) {
    LOG2(LOG2_WARN, SH_TAG, "user req null=0 !!\n");
    libsh_flush(ctx);
    raise_access_fault();
    return 0;
}

static int panic_thread(void *) {
    LOG2(LOG2_DBG, SH_TAG, "==>\n");
    raise_access_fault();
    return 0;
}

static constexpr int STACK_OVER_SIZE = 262144, STACK_OVER_FILL = 221184;

static int stack_over_thread(void *) {
    LOG2(LOG2_DBG, SH_TAG, "stack_size=%d n_size=%d\n", STACK_OVER_SIZE, STACK_OVER_FILL);
    volatile char buf[STACK_OVER_FILL];
    for (int i = 0; i < STACK_OVER_FILL; i += 512)
        buf[i] = 0;
    return buf[0];
}

/// Starts a test thread that ends alone on a fault.
static int start_test_thread(const char *name, os_thread_proc proc) {
    os_thread_opts opts{.write_dump = 1, .handle = 1, .exit = 0};
    os_thread *t = os_thread_init(name, proc, nullptr, 0, &opts);
    if (t == nullptr) {
        LOG2(LOG2_ERR, SH_TAG, "os_thread_init failed\n");
        return -1;
    }
    os_thread_close(t);
    return 0;
}

static int call_thread_except(dbgsh_srv_ctx *ctx, int, char **) {
    LOG2(LOG2_WARN, SH_TAG, "test thread_panic\n");
    libsh_flush(ctx);
    (void)start_test_thread("panic_thread", panic_thread);
    return 0;
}

static int call_stack_over(dbgsh_srv_ctx *ctx, int, char **) {
    LOG2(LOG2_WARN, SH_TAG, "stack_over pass!\n");
    libsh_flush(ctx);
    (void)start_test_thread("stack_over", stack_over_thread);
    return 0;
}

static int call_tlog(dbgsh_srv_ctx *ctx, int, char **) {
    LOG2(LOG2_VERB, SH_TAG, "log_verb\n");
    LOG2(LOG2_DBG, SH_TAG, "log_debug\n");
    LOG2(LOG2_INFO, SH_TAG, "log_info\n");
    LOG2(LOG2_NOTI, SH_TAG, "log_notice\n");
    LOG2(LOG2_WARN, SH_TAG, "log_warn\n");
    LOG2(LOG2_ERR, SH_TAG, "log_error\n");
    LOG2(int(LOG2_CRIT) | LOG2_F_NOEXIT, SH_TAG, "log_crit2\n");
    libsh_flush(ctx);
    return 0;
}

static const fvar sh_fvars[] = {
    {"kill", "Execute exit() to exit the process", call_kill},
    {"null", "null memory access exception", call_null},
    {"thread_except", "Thread exception handling test", call_thread_except},
    {"stack_over", "Test thread stack exceeded limit", call_stack_over},
    {"tlog", "Test All log level output", call_tlog},
};

void sh_items_register() {
    for (const rvar &r : sh_rvars)
        (void)rvar_mgr_add(g_rvars, &r);
    for (const fvar &f : sh_fvars)
        (void)fvar_mgr_add(g_fvars, &f);
}

// ---------------------------------------------------------------------------------------
// Start and end.

void libsh_init() {
    std::scoped_lock lock(g_init_mu);
    if (g_inited)
        return;
    g_inited = true;
    sh_env_init();
    sh_edit_set_complete(libsh_complete);
    sh_alias_init();
    g_dvars = dvar_mgr_new();
    for (dvar &d : log2_dvars())
        (void)dvar_mgr_add(g_dvars, &d);
    g_rvars = rvar_mgr_new();
    g_fvars = fvar_mgr_new();
    sh_items_register();
}

void libsh_exit() {
    std::scoped_lock lock(g_init_mu);
    if (!g_inited)
        return;
    g_inited = false;
    sh_alias_free();
    sh_env_free();
    rvar_mgr_free(std::exchange(g_rvars, nullptr));
    fvar_mgr_free(std::exchange(g_fvars, nullptr));
    dvar_mgr_free(std::exchange(g_dvars, nullptr));
}
