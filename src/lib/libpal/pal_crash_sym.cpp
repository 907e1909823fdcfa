// pal_crash_sym.cpp - call stacks for crash reports and assertions: unwinding (libunwind),
// symbols and source lines (libdw from elfutils), and the process's mappings.
// libunwind unwinds from a signal context without allocating. libdw allocates, so inside
// the fault handler it runs in a short-lived copy of the process, which may hang when the
// faulting thread held the allocator's lock: the handler waits a bounded time for it.
#include "pal.h"
#include "pal_crash_internal.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <libunwind.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------
// Text building without the C library's formatting.

void crash_text::put(const char *s, size_t n) {
    if (cap == 0)
        return;
    size_t room = cap - 1 - len;
    if (n > room)
        n = room;
    memcpy(buf + len, s, n);
    len += n;
    buf[len] = '\0';
}

void crash_text::put(const char *s) {
    put(s, s ? strlen(s) : 0);
}

void crash_text::put_hex(uint64_t v, int min_digits) {
    char tmp[17];
    int n = 0;
    do {
        tmp[16 - n++] = "0123456789abcdef"[v & 0xf];
        v >>= 4;
    } while (v != 0 || n < min_digits);
    put(tmp + 17 - n, static_cast<size_t>(n));
}

void crash_text::put_udec(uint64_t v) {
    char tmp[20];
    int n = 0;
    do {
        tmp[19 - n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    put(tmp + 20 - n, static_cast<size_t>(n));
}

void crash_text::put_dec(int64_t v) {
    if (v < 0) {
        put("-", 1);
        put_udec(~static_cast<uint64_t>(v) + 1);
        return;
    }
    put_udec(static_cast<uint64_t>(v));
}

// ---------------------------------------------------------------------------------------
// /proc/self/maps, read with plain system calls.

static bool parse_hex(const char **p, uint64_t *out) {
    uint64_t v = 0;
    const char *s = *p;
    int digits = 0;
    for (;; s++, digits++) {
        char c = *s;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            break;
        v = v << 4 | static_cast<uint64_t>(d);
    }
    *p = s;
    *out = v;
    return digits > 0;
}

static uint32_t pool_add(crash_maps *m, const char *path, size_t n) {
    if (n == 0)
        return 0;
    if (m->count > 0) {  // mappings of one file follow each other: share the name
        const char *prev = m->pool + m->map[m->count - 1].path;
        if (m->map[m->count - 1].path != 0 && strlen(prev) == n && memcmp(prev, path, n) == 0)
            return m->map[m->count - 1].path;
    }
    if (m->pool_used + n + 1 > sizeof m->pool)
        return 0;
    uint32_t at = m->pool_used;
    memcpy(m->pool + at, path, n);
    m->pool[at + n] = '\0';
    m->pool_used += static_cast<uint32_t>(n + 1);
    return at;
}

// "start-end perms offset dev inode   path"
static void maps_line(crash_maps *m, const char *line, size_t len) {
    if (m->count >= crash_maps::MAX)
        return;
    const char *p = line;
    uint64_t start, end, offset;
    if (!parse_hex(&p, &start) || *p++ != '-' || !parse_hex(&p, &end) || *p++ != ' ')
        return;
    if (static_cast<size_t>(p - line) + 5 > len)
        return;
    uint8_t readable = p[0] == 'r', executable = p[2] == 'x';
    p += 5;
    if (!parse_hex(&p, &offset))
        return;
    for (int field = 0; field < 2; field++) {  // device and inode
        while (*p == ' ')
            p++;
        while (*p != ' ' && *p != '\0')
            p++;
    }
    while (*p == ' ')
        p++;
    size_t path_len = len - static_cast<size_t>(p - line);
    crash_map &e = m->map[m->count];
    e = crash_map{start, end, offset, pool_add(m, p, path_len), readable, executable};
    m->count++;
}

int crash_maps_read(crash_maps *m) {
    m->count = 0;
    m->pool[0] = '\0';
    m->pool_used = 1;
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char chunk[4096];
    char line[4096 + 1];
    size_t line_len = 0;
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < got; i++) {
            if (chunk[i] != '\n') {
                if (line_len < sizeof line - 1)
                    line[line_len++] = chunk[i];
                continue;
            }
            line[line_len] = '\0';
            maps_line(m, line, line_len);
            line_len = 0;
        }
    }
    close(fd);
    return m->count;
}

const crash_map *crash_maps_find(const crash_maps *m, uintptr_t addr) {
    int lo = 0, hi = m->count;  // the kernel lists mappings in address order
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (addr < m->map[mid].start)
            hi = mid;
        else if (addr >= m->map[mid].end)
            lo = mid + 1;
        else
            return &m->map[mid];
    }
    return nullptr;
}

uintptr_t crash_module_base(const crash_maps *m, const crash_map *e) {
    uintptr_t base = e->start;
    for (const crash_map *p = e; p >= m->map && p->path == e->path; p--) {
        if (e->path == 0)
            break;
        if (p->offset == 0)
            base = p->start;
    }
    return base;
}

// ---------------------------------------------------------------------------------------
// Unwinding.

int crash_unwind(void *uc, uintptr_t *pcs, int cap) {
    unw_cursor_t cursor;
    if (unw_init_local2(&cursor, static_cast<unw_context_t *>(uc), UNW_INIT_SIGNAL_FRAME) < 0)
        return 0;
    int n = 0;
    do {
        unw_word_t ip = 0;
        if (unw_get_reg(&cursor, UNW_REG_IP, &ip) < 0 || ip == 0)
            break;
        pcs[n++] = ip;
    } while (n < cap && unw_step(&cursor) > 0);
    return n;
}

// ---------------------------------------------------------------------------------------
// Symbols through libdw.

static void put_symbol(crash_text *out, const char *name) {
    int status = -1;
    char *plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    out->put(status == 0 && plain ? plain : name);
    free(plain);
}

// One frame; a return address is looked up one byte back, inside its call instruction.
static void dwfl_frame(Dwfl *dwfl, uintptr_t pc, bool exact, crash_text *out) {
    Dwarf_Addr look = exact ? pc : pc - 1;
    Dwfl_Module *mod = dwfl ? dwfl_addrmodule(dwfl, look) : nullptr;
    Dwarf_Addr low = 0;
    const char *path = mod ? dwfl_module_info(mod, nullptr, &low, nullptr, nullptr, nullptr,
                                              nullptr, nullptr)
                           : nullptr;
    GElf_Off off = 0;
    GElf_Sym sym;
    const char *name = mod ? dwfl_module_addrinfo(mod, look, &off, &sym, nullptr, nullptr,
                                                  nullptr)
                           : nullptr;
    out->put(path ? path : "");
    if (name != nullptr) {
        out->put("!");
        put_symbol(out, name);
        out->put("+0x");
        out->put_hex(pc - (look - off));
    } else {
        out->put("+0x");
        out->put_hex(pc - low);
    }
    Dwfl_Line *line = mod ? dwfl_module_getsrc(mod, look) : nullptr;
    int lineno = 0;
    const char *src = line ? dwfl_lineinfo(line, nullptr, &lineno, nullptr, nullptr, nullptr)
                           : nullptr;
    if (src != nullptr) {
        out->put(" [");
        out->put(src);
        out->put(" @ ");
        out->put_udec(static_cast<uint32_t>(lineno));
        out->put("]");
    }
    out->put("\n");
}

static void dwfl_frames(const uintptr_t *pcs, int n, bool first_exact, crash_text *out) {
    static const Dwfl_Callbacks callbacks = {
        .find_elf = dwfl_linux_proc_find_elf,
        .find_debuginfo = dwfl_standard_find_debuginfo,
        .section_address = nullptr,
        .debuginfo_path = nullptr,
    };
    Dwfl *dwfl = dwfl_begin(&callbacks);
    if (dwfl != nullptr && (dwfl_linux_proc_report(dwfl, getpid()) != 0 ||
                            dwfl_report_end(dwfl, nullptr, nullptr) != 0)) {
        dwfl_end(dwfl);
        dwfl = nullptr;
    }
    for (int i = 0; i < n && out->len + 1 < out->cap; i++)
        dwfl_frame(dwfl, pcs[i], first_exact && i == 0, out);
    if (dwfl != nullptr)
        dwfl_end(dwfl);
}

// ---------------------------------------------------------------------------------------
// Symbols in signal context.

enum : size_t { SHARED_SIZE = 64 * 1024 };
enum : uint32_t { SHARED_DONE = 0x53594d31 };  // the copy finished its text
enum : int { SYM_WAIT_MS = 3000 };

// Written by the copy of the process, read by the handler: a shared anonymous mapping.
struct sym_shared {
    volatile uint32_t done;
    char text[SHARED_SIZE - sizeof(uint32_t)];
};
static sym_shared *g_shared = nullptr;
// The copy's stack: reserved here, touched only in the copy.
enum : size_t { CHILD_STACK = 2 * 1024 * 1024 };
static char *g_child_stack = nullptr;

int crash_sym_arm() {
    if (g_shared != nullptr)
        return 0;
    void *stack = mmap(nullptr, CHILD_STACK, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (stack == MAP_FAILED)
        return pal_last_error();
    void *p = mmap(nullptr, sizeof(sym_shared), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        munmap(stack, CHILD_STACK);
        return pal_last_error();
    }
    g_child_stack = static_cast<char *>(stack);
    g_shared = static_cast<sym_shared *>(p);
    // The unwinder sets up its caches on first use: do that here, not in a fault.
    void *frames[4];
    (void)unw_backtrace(frames, 4);
    return 0;
}

static uint64_t mono_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

namespace {
struct sym_job {
    const uintptr_t *pcs;
    int n;
    bool first_exact;
};
}  // namespace

// A copy of the process, made without the fork handlers of the C library (they take the
// allocator's locks, which the faulting thread may hold), on a stack of its own: libdw
// needs more than the emergency stack has left.
static int sym_child(void *arg) {
    const sym_job *job = static_cast<const sym_job *>(arg);
    for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
        signal(signo, SIG_DFL);  // a fault in here ends the copy, not a second report
    crash_text t(g_shared->text, sizeof g_shared->text);
    dwfl_frames(job->pcs, job->n, job->first_exact, &t);
    g_shared->done = SHARED_DONE;
    syscall(SYS_exit_group, 0);
    return 0;
}

// Waits a bounded time for the copy to end; one that hangs is killed.
static void sym_wait(pid_t pid) {
    uint64_t until = mono_ms() + SYM_WAIT_MS;
    for (;;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || r < 0)  // ended, or reaped already (SIGCHLD ignored)
            return;
        if (mono_ms() >= until)
            break;
        timespec slice{0, 5 * 1000 * 1000};
        nanosleep(&slice, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

static void maps_frames(const uintptr_t *pcs, int n, crash_text *out, const crash_maps *m) {
    for (int i = 0; i < n && out->len + 1 < out->cap; i++) {
        const crash_map *e = crash_maps_find(m, pcs[i]);
        uintptr_t base = e ? crash_module_base(m, e) : 0;
        out->put(e ? crash_map_path(m, e) : "");
        out->put("+0x");
        out->put_hex(pcs[i] - base);
        out->put("\n");
    }
}

void crash_symbolise(const uintptr_t *pcs, int n, bool first_exact, crash_text *out,
                     const crash_maps *sig_maps) {
    if (sig_maps == nullptr) {
        dwfl_frames(pcs, n, first_exact, out);
        return;
    }
    if (g_shared != nullptr) {
        g_shared->done = 0;
        g_shared->text[0] = '\0';
        sym_job job{pcs, n, first_exact};
        pid_t pid = clone(sym_child, g_child_stack + CHILD_STACK, SIGCHLD, &job);
        if (pid > 0)
            sym_wait(pid);
        if (pid > 0 && g_shared->done == SHARED_DONE) {
            out->put(g_shared->text);
            return;
        }
    }
    maps_frames(pcs, n, out, sig_maps);
}

// ---------------------------------------------------------------------------------------
// Stacks outside a fault.

int os_dump_stack(std::span<char> out) {
    if (out.empty())
        return 0;
    out[0] = '\0';
    void *frames[256];
    int count = unw_backtrace(frames, 256);
    if (count <= 1) {
        PAL_LOG(3, "pal", "CaptureStackBackTrace frames=%d\n", count);
        return 0;
    }
    uintptr_t pcs[256];
    for (int i = 1; i < count; i++)  // frame 0 is this function
        pcs[i - 1] = reinterpret_cast<uintptr_t>(frames[i]);
    crash_text t(out.data(), out.size());
    crash_symbolise(pcs, count - 1, false, &t, nullptr);
    return static_cast<int>(t.len);
}

void assert_dump_stack() {
    std::string stack(16384, '\0');
    int n = os_dump_stack(stack);
    stack.resize(static_cast<size_t>(n));
    PAL_LOG(3, "pal", "[%s]\n", stack.c_str());
}
