// pal_minidump.cpp - the dump file of a fault in the minidump format, written from inside
// the fault handler: system information, the faulting thread with its registers and stack,
// the modules of /proc/self/maps, the exception record and the maps text itself.
// Debuggers that read Linux minidumps (lldb --core) open it. Static buffers, plain writes.
#include "pal_crash_internal.h"

#include <fcntl.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
struct md_location {
    uint32_t size, rva;
};
struct md_header {
    uint32_t signature, version, stream_count, stream_rva, checksum, time;
    uint64_t flags;
};
struct md_dir {
    uint32_t type;
    md_location loc;
};
struct md_memory {
    uint64_t start;
    md_location mem;
};
struct md_thread {
    uint32_t id, suspend, priority_class, priority;
    uint64_t teb;
    md_memory stack;
    md_location context;
};
struct md_system_info {
    uint16_t arch, level, revision;
    uint8_t cpus, product_type;
    uint32_t major, minor, build, platform, csd_rva;
    uint16_t suite, reserved;
    uint32_t cpu[6];
};
struct md_misc {
    uint32_t size, flags, pid, create_time, user_time, kernel_time;
};
struct md_exception_stream {
    uint32_t thread_id, pad;
    uint32_t code, flags;
    uint64_t record, address;
    uint32_t nparams, pad2;
    uint64_t info[15];
    md_location context;
};
#pragma pack(push, 4)
struct md_module {
    uint64_t base;
    uint32_t size, checksum, time, name_rva;
    uint32_t version[13];
    md_location cv, misc;
    uint64_t reserved0, reserved1;
};
#pragma pack(pop)
struct md_context_amd64 {
    uint64_t home[6];
    uint32_t context_flags, mx_csr;
    uint16_t cs, ds, es, fs, gs, ss;
    uint32_t eflags;
    uint64_t dr[6];
    uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip;
    uint8_t flt_save[512];
    uint8_t vector_register[26 * 16];
    uint64_t vector_control;
    uint64_t debug_control, branch[4];
};

static_assert(sizeof(md_header) == 32 && sizeof(md_dir) == 12 && sizeof(md_memory) == 16);
static_assert(sizeof(md_thread) == 48 && sizeof(md_system_info) == 56);
static_assert(sizeof(md_exception_stream) == 168 && sizeof(md_module) == 108);
static_assert(sizeof(md_context_amd64) == 1232);

enum : uint32_t {
    MD_SIGNATURE = 0x504d444d,  // "MDMP"
    MD_VERSION = 0xa793,
    MD_THREAD_LIST = 3,
    MD_MODULE_LIST = 4,
    MD_MEMORY_LIST = 5,
    MD_EXCEPTION = 6,
    MD_SYSTEM_INFO = 7,
    MD_MISC_INFO = 15,
    MD_LINUX_MAPS = 0x47670009,
    MD_ARCH_AMD64 = 9,
    MD_OS_LINUX = 0x8201,
    MD_MISC_PID = 1,
    MD_CONTEXT_AMD64_ALL = 0x0010000f,  // control, integer, segments, floating point
    STREAMS = 7,
};
enum : size_t { STACK_MAX = 256 * 1024, RED_ZONE = 128 };

// Sequential writer over one file with a fixed buffer; remembers the first failure.
struct md_out {
    int fd;
    uint32_t off;  // file offset of the next byte
    size_t used;
    bool failed;
    char buf[64 * 1024];
};
}  // namespace

static md_out g_out;
static uint8_t g_cpus = 1;  // read while arming: sysconf may read files in ways not meant for signals

void crash_minidump_arm() {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    g_cpus = static_cast<uint8_t>(cpus > 0 && cpus < 255 ? cpus : 1);
}

static void out_flush(md_out *o) {
    size_t done = 0;
    while (done < o->used && !o->failed) {
        ssize_t n = write(o->fd, o->buf + done, o->used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            o->failed = true;
        else
            done += static_cast<size_t>(n);
    }
    o->used = 0;
}

static void out_put(md_out *o, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    o->off += static_cast<uint32_t>(len);
    while (len > 0) {
        if (o->used == sizeof o->buf)
            out_flush(o);
        size_t n = sizeof o->buf - o->used;
        n = n < len ? n : len;
        memcpy(o->buf + o->used, p, n);
        o->used += n;
        p += n;
        len -= n;
    }
}

// Process memory straight from the address space; a page that cannot be read is written
// as zeros, so that the layout stays as announced.
static void out_memory(md_out *o, uintptr_t start, size_t len) {
    out_flush(o);
    char zero[4096] = {};
    while (len > 0 && !o->failed) {
        size_t n = len < sizeof zero ? len : sizeof zero;
        ssize_t w = write(o->fd, reinterpret_cast<const void *>(start), n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EFAULT)
            w = write(o->fd, zero, n);
        if (w <= 0) {
            o->failed = true;
            return;
        }
        o->off += static_cast<uint32_t>(w);
        start += static_cast<size_t>(w);
        len -= static_cast<size_t>(w);
    }
}

// ---------------------------------------------------------------------------------------
// Module names: MINIDUMP_STRING, UTF-16 from the UTF-8 path.

// Decodes one UTF-8 sequence at s; a malformed byte stands for itself.
static uint32_t utf8_next(const unsigned char **s) {
    const unsigned char *p = *s;
    uint32_t c = *p++;
    int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    if (more > 0)
        c &= 0x3fu >> more;
    for (; more > 0 && (*p & 0xc0) == 0x80; more--)
        c = c << 6 | (*p++ & 0x3fu);
    *s = p;
    return c;
}

// Writes the string when o is given; returns its size in bytes either way.
static uint32_t md_string(md_out *o, const char *text) {
    uint32_t units = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p;)
        units += utf8_next(&p) > 0xffff ? 2 : 1;
    uint32_t bytes = units * 2;
    if (o == nullptr)
        return 4 + bytes + 2;
    out_put(o, &bytes, 4);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p;) {
        uint32_t c = utf8_next(&p);
        uint16_t u[2] = {static_cast<uint16_t>(c), 0};
        int n = 1;
        if (c > 0xffff) {
            c -= 0x10000;
            u[0] = static_cast<uint16_t>(0xd800 + (c >> 10));
            u[1] = static_cast<uint16_t>(0xdc00 + (c & 0x3ff));
            n = 2;
        }
        out_put(o, u, static_cast<size_t>(n) * 2);
    }
    uint16_t end = 0;
    out_put(o, &end, 2);
    return 4 + bytes + 2;
}

// The next module at or after map index *i: a run of mappings of one file that includes
// the mapping at file offset 0. Returns false at the end.
static bool next_module(const crash_maps *m, int *i, const crash_map **first, uint64_t *base,
                        uint64_t *end) {
    while (*i < m->count) {
        const crash_map *e = &m->map[*i];
        int j = *i + 1;
        while (j < m->count && m->map[j].path == e->path)
            j++;
        *i = j;
        const char *path = crash_map_path(m, e);
        // Files only: not anonymous shared memory ("/dev/zero (deleted)") nor devices.
        if (e->path == 0 || path[0] != '/' || strncmp(path, "/dev/", 5) == 0)
            continue;
        for (const crash_map *p = e; p < m->map + j; p++) {
            if (p->offset == 0) {
                *first = p;
                *base = p->start;
                *end = m->map[j - 1].end;
                return true;
            }
        }
    }
    return false;
}

// The list, then the names after it: readers take a stream longer than its list as one
// whose list is padded to 8 bytes, so the stream covers the list alone.
static void write_modules(md_out *o, const crash_maps *m, md_dir *d) {
    uint32_t count = 0;
    const crash_map *e;
    uint64_t base, end;
    for (int i = 0; next_module(m, &i, &e, &base, &end);)
        count++;
    *d = {MD_MODULE_LIST, {4 + count * static_cast<uint32_t>(sizeof(md_module)), o->off}};
    out_put(o, &count, 4);
    uint32_t name_rva = o->off + count * sizeof(md_module);
    for (int i = 0; next_module(m, &i, &e, &base, &end);) {
        md_module mod{};
        mod.base = base;
        mod.size = static_cast<uint32_t>(end - base);
        mod.name_rva = name_rva;
        name_rva += md_string(nullptr, crash_map_path(m, e));
        out_put(o, &mod, sizeof mod);
    }
    for (int i = 0; next_module(m, &i, &e, &base, &end);)
        md_string(o, crash_map_path(m, e));
}

// ---------------------------------------------------------------------------------------
// Registers.

static void fill_context(md_context_amd64 *c, const crash_fault *f) {
    *c = md_context_amd64{};
    c->context_flags = MD_CONTEXT_AMD64_ALL;
#if defined(__x86_64__)
    const mcontext_t &mc = static_cast<ucontext_t *>(f->uc)->uc_mcontext;
    const greg_t *r = mc.gregs;
    auto u = [](greg_t v) { return static_cast<uint64_t>(v); };
    c->rax = u(r[REG_RAX]), c->rcx = u(r[REG_RCX]), c->rdx = u(r[REG_RDX]);
    c->rbx = u(r[REG_RBX]), c->rsp = u(r[REG_RSP]), c->rbp = u(r[REG_RBP]);
    c->rsi = u(r[REG_RSI]), c->rdi = u(r[REG_RDI]), c->r8 = u(r[REG_R8]);
    c->r9 = u(r[REG_R9]), c->r10 = u(r[REG_R10]), c->r11 = u(r[REG_R11]);
    c->r12 = u(r[REG_R12]), c->r13 = u(r[REG_R13]), c->r14 = u(r[REG_R14]);
    c->r15 = u(r[REG_R15]), c->rip = u(r[REG_RIP]);
    c->eflags = static_cast<uint32_t>(r[REG_EFL]);
    uint64_t segs = u(r[REG_CSGSFS]);  // cs, gs, fs and ss in 16-bit fields
    c->cs = static_cast<uint16_t>(segs);
    c->gs = static_cast<uint16_t>(segs >> 16);
    c->fs = static_cast<uint16_t>(segs >> 32);
    c->ss = static_cast<uint16_t>(segs >> 48);
    if (mc.fpregs != nullptr) {
        static_assert(sizeof(*mc.fpregs) == sizeof c->flt_save);
        memcpy(c->flt_save, mc.fpregs, sizeof c->flt_save);
        c->mx_csr = mc.fpregs->mxcsr;
    }
#else
    (void)f;
#endif
}

// ---------------------------------------------------------------------------------------
// The file.

static void stack_range(const crash_fault *f, const crash_maps *m, uintptr_t *start,
                        size_t *len) {
    *start = 0;
    *len = 0;
    const crash_map *e = crash_maps_find(m, f->sp);
    if (e != nullptr && !e->readable && e + 1 < m->map + m->count && e[1].start == e->end)
        e++;  // the stack pointer sits in the guard page of an overflowed stack
    if (e == nullptr || !e->readable)
        return;
    uintptr_t from = f->sp > e->start + RED_ZONE ? f->sp - RED_ZONE : e->start;
    if (from < e->start)
        from = e->start;
    size_t n = e->end - from;
    *start = from;
    *len = n < STACK_MAX ? n : STACK_MAX;
}

static void system_info(md_out *o, md_dir *d) {
    static const char csd[] = "";
    md_system_info si{};
    si.arch = MD_ARCH_AMD64;
    si.level = 6;
    si.cpus = g_cpus;
    si.platform = MD_OS_LINUX;
    d->type = MD_SYSTEM_INFO;
    d->loc = {sizeof si, o->off};
    si.csd_rva = o->off + sizeof si;
    out_put(o, &si, sizeof si);
    md_string(o, csd);
}

static void maps_text(md_out *o, md_dir *d) {
    d->type = MD_LINUX_MAPS;
    d->loc.rva = o->off;
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    char chunk[4096];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0)
        out_put(o, chunk, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    d->loc.size = o->off - d->loc.rva;
}

static void thread_streams(md_out *o, const crash_fault *f, const crash_maps *m, md_dir *d) {
    static md_context_amd64 ctx;
    fill_context(&ctx, f);
    md_location ctx_loc{sizeof ctx, o->off};
    out_put(o, &ctx, sizeof ctx);
    uintptr_t stack_start;
    size_t stack_len;
    stack_range(f, m, &stack_start, &stack_len);
    md_memory stack{stack_start, {static_cast<uint32_t>(stack_len), o->off}};
    out_memory(o, stack_start, stack_len);

    uint32_t one = 1;
    md_thread th{};
    th.id = f->tid;
    th.stack = stack;
    th.context = ctx_loc;
    d[0] = {MD_THREAD_LIST, {4 + sizeof th, o->off}};
    out_put(o, &one, 4);
    out_put(o, &th, sizeof th);
    d[1] = {MD_MEMORY_LIST, {4 + sizeof stack, o->off}};
    out_put(o, &one, 4);
    out_put(o, &stack, sizeof stack);

    // Linux readers take the exception code as the signal number, as other Linux dump
    // writers store it; the summary in the log carries the exception code of the table.
    md_exception_stream ex{};
    ex.thread_id = f->tid;
    ex.code = static_cast<uint32_t>(f->signo);
    ex.flags = static_cast<uint32_t>(f->si_code);
    ex.address = f->addr;
    ex.context = ctx_loc;
    d[2] = {MD_EXCEPTION, {sizeof ex, o->off}};
    out_put(o, &ex, sizeof ex);
}

int crash_minidump_write(int fd, const crash_fault *f, const crash_maps *m) {
#if !defined(__x86_64__)
    (void)fd, (void)f, (void)m;
    errno = ENOTSUP;
    return -1;
#else
    md_out *o = &g_out;
    o->fd = fd;
    o->used = 0;
    o->failed = false;
    md_dir dir[STREAMS] = {};
    o->off = sizeof(md_header) + sizeof dir;
    if (lseek(fd, o->off, SEEK_SET) < 0)
        return -1;
    system_info(o, &dir[0]);
    md_misc misc{sizeof(md_misc), MD_MISC_PID, static_cast<uint32_t>(getpid()), 0, 0, 0};
    dir[1] = {MD_MISC_INFO, {sizeof misc, o->off}};
    out_put(o, &misc, sizeof misc);
    thread_streams(o, f, m, &dir[2]);
    write_modules(o, m, &dir[5]);
    maps_text(o, &dir[6]);
    out_flush(o);
    md_header h{MD_SIGNATURE, MD_VERSION, STREAMS, sizeof(md_header), 0,
                static_cast<uint32_t>(time(nullptr)), 0};
    if (o->failed || pwrite(fd, &h, sizeof h, 0) != sizeof h ||
        pwrite(fd, dir, sizeof dir, sizeof h) != static_cast<ssize_t>(sizeof dir))
        return -1;
    return 0;
#endif
}
