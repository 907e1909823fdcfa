// pal_log.cpp - the hook through which libpal and the libraries below the log core log,
// the assertion and the call stack it prints.
#include "pal.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

static std::atomic<pal_log_fn> log_hook{nullptr};

void pal_set_log_hook(pal_log_fn fn) {
    log_hook.store(fn, std::memory_order_release);
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

// One frame as "function+offset (module)", demangled when the symbol is a C++ one.
static int describe_frame(void *addr, std::span<char> out) {
    Dl_info info{};
    if (dladdr(addr, &info) == 0 || info.dli_fname == nullptr)
        return pal_snprintf(out, "%p\n", addr);
    const char *module = info.dli_fname;
    if (info.dli_sname == nullptr)
        return pal_snprintf(out, "%p (%s)\n", addr, module);
    int status = -1;
    char *plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    const char *name = status == 0 && plain ? plain : info.dli_sname;
    auto offset = static_cast<const char *>(addr) - static_cast<const char *>(info.dli_saddr);
    int n = pal_snprintf(out, "%s+0x%tx (%s)\n", name, offset, module);
    free(plain);
    return n;
}

int os_dump_stack(std::span<char> out) {
    if (out.empty())
        return 0;
    void *frames[64];
    int count = backtrace(frames, 64);
    out[0] = '\0';
    int used = 0;
    // Frame 0 is this function itself.
    for (int i = 1; i < count && static_cast<size_t>(used) + 1 < out.size(); i++)
        used += describe_frame(frames[i], out.subspan(static_cast<size_t>(used)));
    return used;
}

void assert_dump_stack() {
    std::string stack(16384, '\0');
    int n = os_dump_stack(stack);
    stack.resize(static_cast<size_t>(n));
    pal_log(3, "pal", __FILE__, __LINE__, __func__, "[%s]\n", stack.c_str());
}
