// pal_crash_internal.h - what the crash handler, the symboliser and the dump writer share.
// Everything here that takes a "signal" note runs inside the fault handler: it allocates
// nothing, takes no lock and calls only async-signal-safe system calls.
#pragma once

#include "pal.h"

#include <signal.h>

#include <cstddef>
#include <cstdint>

/// A text being built in a fixed buffer; appends stop at the end and keep it terminated.
/// Signal-safe.
struct crash_text {
    char *buf;
    size_t cap;  ///< bytes of buf, terminator included
    size_t len = 0;

    crash_text(char *b, size_t c) : buf(b), cap(c) {
        if (cap > 0)
            buf[0] = '\0';
    }
    void put(const char *s);
    void put(const char *s, size_t n);
    void put_hex(uint64_t v, int min_digits = 1);  ///< lower-case digits, no "0x"
    void put_dec(int64_t v);
    void put_udec(uint64_t v);
};

/// One mapping of /proc/self/maps.
struct crash_map {
    uintptr_t start, end;
    uint64_t offset;   ///< offset of the mapping in its file
    uint32_t path;     ///< offset of the path in the table's name pool (0: no path)
    uint8_t readable, executable;
};

/// The process's mappings, read at the time of the fault.
struct crash_maps {
    enum { MAX = 8192, POOL = 256 * 1024 };
    crash_map map[MAX];
    int count;
    char pool[POOL];  ///< paths, each terminated; pool[0] is the empty name
    uint32_t pool_used;
};

/// Reads /proc/self/maps into m (entries beyond MAX are dropped). Returns the count, or -1
/// when the file cannot be read. Signal-safe.
int crash_maps_read(crash_maps *m);
/// The mapping that holds addr, or null. Signal-safe.
const crash_map *crash_maps_find(const crash_maps *m, uintptr_t addr);
/// The path of a mapping ("" for anonymous ones).
inline const char *crash_map_path(const crash_maps *m, const crash_map *e) {
    return m->pool + e->path;
}
/// Where the file of mapping e starts in memory (its mapping at file offset 0), or the
/// start of e when there is none before it. Signal-safe.
uintptr_t crash_module_base(const crash_maps *m, const crash_map *e);

/// The faulting point as the handler saw it.
struct crash_fault {
    int signo;
    int si_code;
    uint32_t code;       ///< the exception code of the name table
    uintptr_t pc;        ///< the faulting instruction
    uintptr_t sp;
    uintptr_t addr;      ///< the address the access went to (si_addr)
    int write;           ///< 1 when the faulting access was a write
    uint32_t tid;
    void *uc;            ///< the kernel's ucontext_t of the fault
};

/// Return addresses of the faulting thread, starting with the faulting instruction,
/// unwound from the fault's context. Returns the count. Signal-safe.
int crash_unwind(void *uc, uintptr_t *pcs, int cap);

/// Symbolises pcs[0..n) into out, one frame and "\n" per line, each as
/// "%s!%s+0x%x [%s @ %u]" (module, function, offset, source, line) or "%s+0x%x" (module,
/// offset from its base) where no symbol is known. With first_exact the first address is
/// an instruction (the faulting one); all others are return addresses.
/// sig_maps null: normal context, the debug information is read here. sig_maps given:
/// signal context; a short-lived copy of the process reads the debug information and is
/// killed when it does not finish within a few seconds, and the frames then keep the
/// second form, taken from sig_maps.
void crash_symbolise(const uintptr_t *pcs, int n, bool first_exact, crash_text *out,
                     const crash_maps *sig_maps);

/// Set-up done once while arming, outside any signal: the shared page the symbolising
/// copy writes into. Returns 0 or a table code.
int crash_sym_arm();

/// Writes a minidump of the fault into the open file fd. Returns 0, or -1 when a write
/// failed. Signal-safe.
int crash_minidump_write(int fd, const crash_fault *f, const crash_maps *m);
/// Facts the dump needs that are read once while arming.
void crash_minidump_arm();

/// The log core's hook (null before it is installed); pal_log.cpp keeps it.
pal_log_fn pal_log_hook_get();

/// The emergency stack of a thread started by os_thread_init.
struct crash_thread_stack {
    void *mem;     ///< the mapping, guard page included; null when none was set
    size_t size;
    stack_t old;   ///< the alternate stack that was set before (sanitizers keep their own)
};
/// Called by a new thread before its procedure: marks it as one whose faults go through
/// the thread filter and, once crash handling is armed, gives it an emergency stack.
void crash_thread_arm(crash_thread_stack *s);
/// Called by the thread as it ends: puts the old alternate stack back and frees its own.
void crash_thread_disarm(crash_thread_stack *s);
