// pal_log.cpp - the hook through which libpal and the libraries below the log core log,
// and the assertion (its call stack comes from pal_crash_sym.cpp).
#include "pal.h"
#include "pal_crash_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

static std::atomic<pal_log_fn> log_hook{nullptr};

void pal_set_log_hook(pal_log_fn fn) {
    log_hook.store(fn, std::memory_order_release);
}

pal_log_fn pal_log_hook_get() {
    return log_hook.load(std::memory_order_acquire);
}

int pal_log(int level, const char *tag, const char *file, int line, const char *func,
            const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = 0;
    pal_log_fn fn = log_hook.load(std::memory_order_acquire);
    if (fn != nullptr) {
        n = fn(level, tag, file, line, func, fmt, ap);
    } else if ((level & 0xff) <= 4) {  // no log core yet: only warnings and worse
        int saved = errno;
        std::string text = pal_vformat(fmt, ap);
        n = fprintf(stderr, "[%s] %s(): %s", tag ? tag : "tag", func ? func : "", text.c_str());
        errno = saved;
    }
    va_end(ap);
    return n;
}

void pal_assert_fail(const char *expr, const char *file, int line, const char *func) {
    pal_log(3, "pal", file, line, func, "expr[%s]: assert failed\n", expr);
    assert_dump_stack();
}
