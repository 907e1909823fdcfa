// crash_helper.cpp - a program that faults on purpose, one way per mode, for the crash
// handling tests. It runs with the real log core at debug level on standard error.
// Usage: crash_helper MODE [DUMP_DIR]
#include "log.h"
#include "pal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

// Faulting code stays in functions of its own, so that the stack and the dump name them.
[[gnu::noinline]] int crash_helper_null_read(volatile int *p) {
    return *p;
}

[[gnu::noinline]] int crash_helper_divide(const volatile int *a, const volatile int *b) {
    return *a / *b;
}

// Ends when the stack does: the limit is out of reach.
[[gnu::noinline]] int crash_helper_recurse(int depth, const volatile int *limit) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth == *limit)
        return frame[0];
    return crash_helper_recurse(depth + 1, limit) + frame[0];
}

static volatile int *g_null = nullptr;
static volatile int g_seven = 7, g_zero = 0, g_no_limit = -1;
static std::atomic<int> g_ready{0};

static int null_proc(void *) {
    return crash_helper_null_read(g_null);
}

static int overflow_proc(void *) {
    return crash_helper_recurse(0, &g_no_limit);
}

// Both threads wait for each other, so that their faults come as close together as
// possible.
static int racing_proc(void *) {
    g_ready.fetch_add(1);
    while (g_ready.load() < 2) {
    }
    return crash_helper_null_read(g_null);
}

static int recent_lines(std::span<char> out) {
    std::string text = log2_recent_lines();
    (void)pal_strlcpy(out, text);
    return static_cast<int>(std::min(text.size(), out.size() - 1));
}

// Runs proc on a thread with the given options and waits for it.
static int run_thread(os_thread_proc proc, os_thread_opts opts) {
    os_thread *t = os_thread_init("crash_helper", proc, nullptr, 0, &opts);
    if (t == nullptr)
        return 2;
    int code = 0;
    if (os_thread_wait(t, 20000, &code) != 0)
        return 3;
    os_thread_close(t);
    return 0;
}

static int run_mode(const std::string &mode) {
    const os_thread_opts handle{0, 1, 0};
    if (mode == "null-main" || mode == "null-early")
        return crash_helper_null_read(g_null);
    if (mode == "div-main")
        return crash_helper_divide(&g_seven, &g_zero);
    if (mode == "null-handle")
        return run_thread(null_proc, handle);
    if (mode == "overflow-handle")
        return run_thread(overflow_proc, handle);
    if (mode == "null-thread")
        return run_thread(null_proc, os_thread_opts{0, 0, 0});
    if (mode == "null-exit")
        return run_thread(null_proc, os_thread_opts{0, 0, 1});
    if (mode == "null-handle-dump")
        return run_thread(null_proc, os_thread_opts{1, 1, 0});
    if (mode == "two-handle") {
        os_thread *a = os_thread_init("racer", racing_proc, nullptr, 0, &handle);
        os_thread *b = os_thread_init("racer", racing_proc, nullptr, 0, &handle);
        int rc = a && b ? 0 : 2;
        for (os_thread *t : {a, b})
            if (t && os_thread_wait_kill_exit(t, nullptr) != 0)
                rc = 3;
        return rc;
    }
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    std::string mode = argv[1];
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_NAME, "dbg");
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "tid|func");
    pl_init();
    os_panic_set_app_ver("9.8.7.6");
    os_panic_set_recent(recent_lines);
    LOG2(LOG2_INFO, "helper", "helper line before the fault\n");
    if (argc > 2 && mode != "null-early")
        os_panic_set_dir(argv[2], "crash_helper");
    int rc = run_mode(mode);
    LOG2(LOG2_INFO, "helper", "process goes on rc=%d\n", rc);
    return rc;
}
