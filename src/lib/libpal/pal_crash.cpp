// pal_crash.cpp - crash handling: fault signals on an alternate stack, the thread fault
// options (write dump, handle, exit), the exception summary, the process hook that ends
// the process with status 254, and the dump file. The handler allocates nothing and takes
// no lock that the faulting thread may hold; one fault is reported at a time.
#include "pal.h"
#include "pal_crash_internal.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

enum : size_t {
    ALT_STACK_SIZE = 128 * 1024,  // also holds the log core's line buffers
    EXPT_TEXT = 8192,
    STACK_TEXT = 8192,
    MAX_FRAMES = 256,
};
enum : unsigned { WATCHDOG_S = 15 };  // a report that hangs this long ends the process
enum : int { EXIT_PANIC = 254 };

enum : int {  // log levels and flags as the log core reads them
    L_CRIT = 2,
    L_ERR = 3,
    L_DBG = 7,
    L_VERB = 8,
    F_NOEXIT = 0x200,
    F_BSV = 0x400,
    F_BSV_ONLY = 0x800,
};

namespace {
struct crash_state {
    std::atomic<int> armed{0};
    std::atomic<int> dump_enabled{0};
    char dump_dir[4096];
    char dump_name[64];
    char app_ver[64];
    char arch[65];
    long gmtoff;                       // local time minus UTC, read while arming
    std::atomic<os_panic_recent_fn> recent{nullptr};
    std::atomic<uint32_t> owner{0};    // thread id of the thread reporting a fault
    bool thread_dumped;                // the thread filter wrote the summary already
    bool log_usable;                   // the log core took this fault's summary
    struct sigaction old_alarm;
    char expt[EXPT_TEXT];
    char stack[STACK_TEXT];
    char lastlog[4096];
    uintptr_t pcs[MAX_FRAMES];
    crash_maps maps;
};
}  // namespace

static crash_state g;
alignas(16) static char g_main_alt_stack[ALT_STACK_SIZE];

struct crash_guard {
    sigjmp_buf jb;
    crash_guard *outer;
};
// Initial-exec TLS: reading it never allocates, also inside the handler.
[[gnu::tls_model("initial-exec")]] static thread_local crash_guard *tl_guard = nullptr;
[[gnu::tls_model("initial-exec")]] static thread_local int tl_depth = 0;
[[gnu::tls_model("initial-exec")]] static thread_local bool tl_filtered = false;

// ---------------------------------------------------------------------------------------
// Exception codes and names.

namespace {
struct expt_name {
    uint32_t code;
    const char *name;
};
}  // namespace

static const expt_name expt_names[20] = {
    {0xC0000005, "ACCESS_VIOLATION"},      {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0x80000003, "BREAKPOINT"},            {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},  {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},          {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},         {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000006, "IN_PAGE_ERROR"},         {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},          {0xC0000026, "INVALID_DISPOSITION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"}, {0xC0000096, "PRIV_INSTRUCTION"},
    {0x80000004, "SINGLE_STEP"},           {0xC00000FD, "STACK_OVERFLOW"},
};

const char *os_exception_name(uint32_t code, std::span<char> buf) {
    for (const expt_name &row : expt_names)
        if (row.code == code)
            return row.name;
    if (buf.empty())
        return "";
    crash_text t(buf.data(), buf.size());
    t.put("unkown(");
    t.put_dec(static_cast<int32_t>(code));
    t.put(")");
    return buf.data();
}

static uint32_t fpe_code(int si_code) {
    switch (si_code) {
    case FPE_INTDIV: return 0xC0000094;
    case FPE_INTOVF: return 0xC0000095;
    case FPE_FLTDIV: return 0xC000008E;
    case FPE_FLTOVF: return 0xC0000091;
    case FPE_FLTUND: return 0xC0000093;
    case FPE_FLTRES: return 0xC000008F;
    case FPE_FLTINV: return 0xC0000090;
    case FPE_FLTSUB: return 0xC000008C;
    default: return 0xC0000090;
    }
}

// A fault next to the stack pointer is a stack that ran into its guard page.
static bool near_stack(const crash_fault *f) {
    const uintptr_t reach = 64 * 1024;
    return f->addr + reach >= f->sp && f->addr < f->sp + reach;
}

static uint32_t expt_code(const crash_fault *f) {
    switch (f->signo) {
    case SIGSEGV: return near_stack(f) ? 0xC00000FD : 0xC0000005;
    case SIGBUS: return f->si_code == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGFPE: return fpe_code(f->si_code);
    case SIGILL:
        return f->si_code == ILL_PRVOPC || f->si_code == ILL_PRVREG ? 0xC0000096 : 0xC000001D;
    case SIGTRAP: return f->si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default: return 0;
    }
}

static void fault_fill(crash_fault *f, int signo, siginfo_t *si, void *uc) {
    *f = crash_fault{};
    f->signo = signo;
    f->si_code = si->si_code;
    f->addr = reinterpret_cast<uintptr_t>(si->si_addr);
    f->tid = static_cast<uint32_t>(gettid());
    f->uc = uc;
    const mcontext_t &mc = static_cast<ucontext_t *>(uc)->uc_mcontext;
#if defined(__x86_64__)
    f->pc = static_cast<uintptr_t>(mc.gregs[REG_RIP]);
    f->sp = static_cast<uintptr_t>(mc.gregs[REG_RSP]);
    f->write = (mc.gregs[REG_ERR] & 2) != 0;  // page-fault error code: bit 1 is a write
#elif defined(__aarch64__)
    f->pc = static_cast<uintptr_t>(mc.pc);
    f->sp = static_cast<uintptr_t>(mc.sp);
#endif
    f->code = expt_code(f);
}

// ---------------------------------------------------------------------------------------
// Output. Lines go through the log core's hook like every platform message; a crit line
// that the log core drops means the faulting thread is inside the log core itself, so the
// rest of the report goes straight to standard error.

static int hook_call(pal_log_fn fn, int level, const char *func, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = fn(level, "pal", __FILE__, __LINE__, func, fmt, ap);
    va_end(ap);
    return n;
}

static void raw_write(const char *text, size_t len) {
    while (len > 0) {
        ssize_t n = write(2, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

static void raw_line(const char *func, const char *text) {
    char buf[EXPT_TEXT + 128];
    crash_text t(buf, sizeof buf);
    t.put("[pal] ");
    t.put(func);
    t.put("(): ");
    t.put(text);
    raw_write(t.buf, t.len);
}

static void emit(int level, const char *func, const char *text) {
    pal_log_fn fn = pal_log_hook_get();
    if (fn != nullptr && g.log_usable) {
        if (hook_call(fn, level, func, "%s", text) > 0 || (level & 0xff) != L_CRIT)
            return;
        g.log_usable = false;
    }
    raw_line(func, text);
}

/// text, then the system's text for err and a line end.
static void emit_err(int level, const char *func, const char *text, int err) {
    char buf[4096 + 256];
    crash_text t(buf, sizeof buf);
    t.put(text);
    t.put(pal_strerror(pal_errno_code(err)));
    t.put("\n");
    emit(level, func, buf);
}

// ---------------------------------------------------------------------------------------
// Summary (os_exception_dump).

static void put_addr(crash_text *t, uintptr_t a) {
    t->put("0x");
    t->put_hex(a, 16);
}

static void put_stack(const crash_fault *f, crash_text *stack) {
    g.pcs[0] = f->pc;
    int n = crash_unwind(f->uc, g.pcs, MAX_FRAMES);
    if (n == 0 || g.pcs[0] != f->pc) {  // the unwinder lost the faulting frame: keep it
        g.pcs[0] = f->pc;
        n = n == 0 ? 1 : n;
    }
    crash_symbolise(g.pcs, n, true, stack, &g.maps);
}

static void os_exception_dump(const crash_fault *f) {
    crash_text stack(g.stack, sizeof g.stack);
    put_stack(f, &stack);
    const char *lf = strchr(g.stack, '\n');
    size_t asym_len = lf ? static_cast<size_t>(lf - g.stack) : stack.len;
    char name[32];
    crash_text t(g.expt, sizeof g.expt);
    t.put("--ExptInfo-- \n");
    t.put("info: os=linux arch=");
    t.put(g.arch);
    t.put(" app_ver=");
    t.put(g.app_ver);
    t.put("\nCode: 0x");
    t.put_hex(f->code);
    t.put("\nCmsg: ");
    t.put(os_exception_name(f->code, name));
    t.put("\nFlag: 0\nAddr: ");
    put_addr(&t, f->pc);
    t.put("\nASym: ");
    t.put(g.stack, asym_len);
    t.put("\n");
    if (f->signo == SIGSEGV || f->signo == SIGBUS) {  // the access kind, then its address
        t.put("Param[1]: ");
        put_addr(&t, static_cast<uintptr_t>(f->write));
        t.put("\nParam[2]: ");
        put_addr(&t, f->addr);
        t.put("\n");
    }
    t.put("[");
    t.put(g.stack, stack.len);
    t.put("]\n");
    emit(L_CRIT | F_NOEXIT | F_BSV, "os_exception_dump", g.expt);
}

// ---------------------------------------------------------------------------------------
// Dump file (os_painc_create_mini_dump).

// Broken-down local time from the offset read while arming (localtime is not safe here).
static void local_time(int v[6]) {
    int64_t t = static_cast<int64_t>(time(nullptr)) + g.gmtoff;
    int64_t days = t / 86400, secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        days--;
    }
    // Civil date from a day count (the proleptic Gregorian calendar).
    int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    v[0] = static_cast<int>(yoe + era * 400 + (m <= 2));
    v[1] = static_cast<int>(m);
    v[2] = static_cast<int>(d);
    v[3] = static_cast<int>(secs / 3600);
    v[4] = static_cast<int>(secs / 60 % 60);
    v[5] = static_cast<int>(secs % 60);
}

static void put_num(crash_text *t, int v, int digits) {
    char tmp[12];
    crash_text n(tmp, sizeof tmp);
    n.put_udec(static_cast<unsigned>(v));
    for (int i = static_cast<int>(n.len); i < digits; i++)
        t->put("0");
    t->put(tmp);
}

// Creates every missing level of dir; 0, or the errno of the first level that failed.
static int mkdirs_raw(const char *dir) {
    char part[4096];
    size_t len = strlen(dir);
    if (len == 0 || len >= sizeof part)
        return ENAMETOOLONG;
    memcpy(part, dir, len + 1);
    for (size_t i = 1; i <= len; i++) {
        if (i != len && part[i] != '/')
            continue;
        part[i] = '\0';
        if (mkdir(part, 0755) != 0 && errno != EEXIST)
            return errno;
        part[i] = dir[i];
    }
    return 0;
}

static void dump_path(crash_text *p) {
    int v[6];
    local_time(v);
    p->put(g.dump_dir);
    p->put("/");
    p->put(g.dump_name);
    p->put("-");
    put_num(p, v[0], 4);
    for (int i = 1; i < 6; i++) {
        p->put(i == 3 ? "-" : "_");
        put_num(p, v[i], 2);
    }
    p->put(".dmp");
}

static void create_mini_dump(const crash_fault *f, const char *path) {
    char msg[4096 + 64];
    crash_text m(msg, sizeof msg);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        m.put("CreateFileW [");
        m.put(path);
        m.put("] error:");
        emit_err(L_DBG, "CreateMiniDump", msg, errno);
        return;
    }
    int rc = crash_minidump_write(fd, f, &g.maps);
    int err = errno;
    close(fd);
    if (rc != 0) {
        m.put("MiniDumpWriteDump [");
        m.put(path);
        m.put("] error:");
        emit_err(L_DBG, "CreateMiniDump", msg, err);
        return;
    }
    m.put("MiniDump ");
    m.put(path);
    m.put(" created\n");
    emit(L_CRIT | F_NOEXIT, "CreateMiniDump", msg);
}

static void os_painc_create_mini_dump(const crash_fault *f) {
    emit(L_DBG, "os_painc_create_mini_dump", "==>\n");
    if (!g.dump_enabled.load(std::memory_order_acquire))
        return;
    if (int err = mkdirs_raw(g.dump_dir); err != 0) {
        char msg[4096 + 32];
        crash_text m(msg, sizeof msg);
        m.put("os_mkdirs ");
        m.put(g.dump_dir);
        m.put(" error:");
        emit_err(L_DBG, "os_painc_create_mini_dump", msg, err);
    }
    char path[4096 + 128];
    crash_text p(path, sizeof path);
    dump_path(&p);
    create_mini_dump(f, path);
}

// ---------------------------------------------------------------------------------------
// Process hook and thread filter.

// The recent log lines: kept as a binary record by the log core (it writes no text for
// them) and written to standard error, where the administrator reads the report.
static void last_log() {
    size_t n = 0;
    os_panic_recent_fn fn = g.recent.load();
    if (fn != nullptr && g.log_usable) {
        int got = fn(std::span<char>(g.lastlog, sizeof g.lastlog));
        n = got > 0 ? static_cast<size_t>(got) : 0;
    }
    g.lastlog[n < sizeof g.lastlog ? n : sizeof g.lastlog - 1] = '\0';
    pal_log_fn hook = pal_log_hook_get();
    if (hook != nullptr && g.log_usable)
        hook_call(hook, L_CRIT | F_NOEXIT | F_BSV_ONLY, "app_panic_handle", "--LastLog-- \n%s\n",
                  g.lastlog);
    raw_write("--LastLog-- \n", 13);
    raw_write(g.lastlog, strlen(g.lastlog));
    raw_write("\n", 1);
}

[[noreturn]] static void app_panic_handle(const crash_fault *f) {
    if (!g.thread_dumped)
        os_exception_dump(f);
    os_painc_create_mini_dump(f);
    last_log();
    emit(L_CRIT | F_NOEXIT | F_BSV, "app_panic_handle", "process panic exit\n");
    _exit(EXIT_PANIC);
}

static void watchdog_fire(int) {
    static const char msg[] = "crash report stalled: the process ends\n";
    raw_write(msg, sizeof msg - 1);
    _exit(EXIT_PANIC);
}

static void watchdog(bool on) {
    if (!on) {
        alarm(0);
        sigaction(SIGALRM, &g.old_alarm, nullptr);
        return;
    }
    struct sigaction sa {};
    sa.sa_handler = watchdog_fire;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &g.old_alarm);
    alarm(WATCHDOG_S);
}

// The thread was started with "handle": its procedure is abandoned and it ends alone.
[[noreturn]] static void thread_end_alone() {
    emit(L_DBG, "os_thread_exception_filter", "except handle\n");
    watchdog(false);
    crash_guard *guard = tl_guard;
    tl_depth = 0;
    g.owner.store(0, std::memory_order_release);
    siglongjmp(guard->jb, 1);
}

[[noreturn]] static void os_thread_exception_filter(const crash_fault *f, os_thread_opts o) {
    os_exception_dump(f);
    if (o.write_dump)
        os_painc_create_mini_dump(f);
    if (o.handle && tl_guard != nullptr)
        thread_end_alone();
    if (o.exit) {
        emit(L_CRIT | F_NOEXIT | F_BSV, "os_thread_exception_filter", "thread panic exit\n");
        _exit(EXIT_PANIC);
    }
    emit(L_ERR, "os_thread_exception_filter", "except continue\n");
    g.thread_dumped = true;
    app_panic_handle(f);
}

static void crash_lock(uint32_t tid) {
    uint32_t free_owner = 0;
    while (!g.owner.compare_exchange_weak(free_owner, tid, std::memory_order_acquire)) {
        free_owner = 0;
        timespec slice{0, 1000 * 1000};
        nanosleep(&slice, nullptr);
    }
}

static void crash_signal(int signo, siginfo_t *si, void *uc) {
    if (tl_depth++ > 0) {  // the report itself faulted: end without a second one
        static const char msg[] = "fault inside the crash handler\n";
        raw_write(msg, sizeof msg - 1);
        _exit(EXIT_PANIC);
    }
    crash_fault f;
    fault_fill(&f, signo, si, uc);
    crash_lock(f.tid);
    watchdog(true);
    g.thread_dumped = false;
    g.log_usable = true;
    crash_maps_read(&g.maps);
    if (tl_filtered)
        os_thread_exception_filter(&f, os_thread_self_opts());
    app_panic_handle(&f);
}

// ---------------------------------------------------------------------------------------
// Arming.

static bool debugger_attached() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    buf[n > 0 ? n : 0] = '\0';
    const char *p = strstr(buf, "TracerPid:");
    if (p == nullptr)
        return false;
    p += 10;
    while (*p == ' ' || *p == '\t')
        p++;
    return *p != '0';
}

static void alt_stack_set(void *mem, size_t size, stack_t *old) {
    stack_t ss{};
    ss.ss_sp = mem;
    ss.ss_size = size;
    sigaltstack(&ss, old);
}

static void crash_arm() {
    if (debugger_attached())
        return;
    (void)crash_sym_arm();
    crash_minidump_arm();
    utsname u{};
    if (uname(&u) == 0)
        (void)pal_strlcpy(g.arch, u.machine);
    tzset();
    time_t now = time(nullptr);
    struct tm parts {};
    if (localtime_r(&now, &parts) != nullptr)
        g.gmtoff = parts.tm_gmtoff;
    // The static stack is the main thread's only: the first start may come from any
    // thread (a library call), and a thread's stack must end with the thread (the
    // sanitizers' runtime unmaps whatever stack a thread holds when it ends).
    if (gettid() == getpid())
        alt_stack_set(g_main_alt_stack, sizeof g_main_alt_stack, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = crash_signal;
    sigemptyset(&sa.sa_mask);
    // SA_NODEFER: a fault inside the report re-enters and ends the process with 254
    // instead of being killed by the blocked signal.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP})
        sigaction(signo, &sa, nullptr);
    g.armed.store(1, std::memory_order_release);
}

void os_env_init() {
    static std::once_flag once;
    std::call_once(once, crash_arm);
}

bool os_panic_armed() {
    return g.armed.load(std::memory_order_acquire) != 0;
}

void os_panic_set_dir(const char *dir, const char *name) {
    if (!os_panic_armed() || dir == nullptr || dir[0] == '\0')
        return;
    (void)pal_strlcpy(g.dump_dir, dir);
    (void)pal_strlcpy(g.dump_name, name ? name : "");
    g.dump_enabled.store(1, std::memory_order_release);
}

void os_panic_set_app_ver(const char *version) {
    (void)pal_strlcpy(g.app_ver, version ? version : "");
}

void os_panic_set_recent(os_panic_recent_fn fn) {
    g.recent.store(fn);
}

// ---------------------------------------------------------------------------------------
// Threads.

void crash_thread_arm(crash_thread_stack *s) {
    *s = crash_thread_stack{};
    tl_filtered = true;
    if (!os_panic_armed())
        return;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mem = mmap(nullptr, ALT_STACK_SIZE + page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED)
        return;
    mprotect(mem, page, PROT_NONE);  // a guard below the emergency stack
    s->mem = mem;
    s->size = ALT_STACK_SIZE + page;
    alt_stack_set(static_cast<char *>(mem) + page, ALT_STACK_SIZE, &s->old);
}

void crash_thread_disarm(crash_thread_stack *s) {
    if (s->mem == nullptr)
        return;
    sigaltstack(&s->old, nullptr);  // gives back the stack that was there before
    munmap(s->mem, s->size);
    s->mem = nullptr;
}

int os_thread_call(os_thread_proc proc, void *arg, int *result) {
    PAL_ASSERT_RET(proc != nullptr, PAL_EINVAL);
    crash_guard guard;
    guard.outer = tl_guard;
    if (sigsetjmp(guard.jb, 1) != 0) {
        tl_guard = guard.outer;
        return PAL_ECANCELED;
    }
    tl_guard = &guard;
    int r = proc(arg);
    tl_guard = guard.outer;
    if (result != nullptr)
        *result = r;
    return 0;
}
