// pal.h - the platform layer: error codes, bounded strings, clock, threads, files.
// Everything above libpal reaches the operating system through this header (and the
// other pal_*.h headers); no system structure appears in it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>

// ---------------------------------------------------------------------------------------
// Error table: 0 and negative codes with fixed English messages.

enum pal_err : int {
    PAL_OK = 0,
    PAL_EFAIL = -1,       ///< "Operation failed."
    PAL_EINVAL = -2,      ///< "Invalid parameter."
    PAL_ENOENT = -3,      ///< "The system cannot find the file specified."
    PAL_ENOPATH = -4,     ///< "The system cannot find the path specified."
    PAL_EACCES = -5,      ///< "Access is denied."
    PAL_EBADF = -6,       ///< "The handle is invalid."
    PAL_ENOMEM = -7,      ///< "Not enough memory resources are available."
    PAL_EEXIST = -8,      ///< "The file exists."
    PAL_EMFILE = -9,      ///< "Too many open files."
    PAL_ETIMEDOUT = -10,  ///< "The operation timed out."
    PAL_EAGAIN = -11,     ///< "The operation would block."
    PAL_EINPROGRESS = -12,
    PAL_EISCONN = -13,
    PAL_ECANCELED = -14,  ///< "The operation was cancelled."
    PAL_ETRUNC = -15,     ///< "The buffer is too small; the text was cut."
    PAL_ECONNREFUSED = -16,
    PAL_ECONNRESET = -17,
    PAL_ENOTCONN = -18,
    PAL_EPIPE = -19,
    PAL_EADDRINUSE = -20,
    PAL_ENOSPC = -21,     ///< "There is not enough space on the disk."
    PAL_EROFS = -22,
    PAL_EBUSY = -23,
    PAL_ENOTEMPTY = -24,  ///< "The directory is not empty."
    PAL_EISDIR = -25,
    PAL_ENAMETOOLONG = -26,
    PAL_ELOOP = -27,
    PAL_EXDEV = -28,
    PAL_EIO = -29,
    PAL_EPERM = -30,
    PAL_ESPIPE = -31,
    PAL_EFBIG = -32,
    PAL_EOVERFLOW = -33,
    PAL_EINTR = -34,
    PAL_EHOSTUNREACH = -35,
    PAL_ENETUNREACH = -36,
    PAL_ENOTSUP = -37,    ///< "Not supported."
    PAL_EEOF = -38,       ///< "Reached the end of the file."
    PAL_ERESOLVE = -39,   ///< "The host name could not be resolved."
    PAL_EDISCONN = -40,   ///< "The connection was closed by the peer."
    PAL_ENOTDIR = -126,   ///< "A directory operation was attempted on a non-directory object."
    PAL_ERR_MIN = -139,   ///< the last code of the table
};

/// The fixed message of a table code, or "Invalid error code" for any other number.
/// The text is static; safe from any thread.
const char *pal_strerror(int code);

/// Maps a system error number (errno) onto the table; unknown numbers give PAL_EFAIL.
[[nodiscard]] int pal_errno_code(int err);

/// The table code of the calling thread's last system error (errno).
[[nodiscard]] int pal_last_error();

/// The system's own text for errno value err ("No such file or directory"), into buf.
const char *pal_os_strerror(int err, std::span<char> buf);

// ---------------------------------------------------------------------------------------
// Bounded strings. Every write into a fixed buffer goes through these helpers.

/// Copies src into dst, always terminated (dst must not be empty). Returns the length
/// copied, or PAL_ETRUNC when src was cut to fit.
int pal_strlcpy(std::span<char> dst, std::string_view src);

/// Appends src to the terminated text in dst. Returns the new length or PAL_ETRUNC.
int pal_strlcat(std::span<char> dst, std::string_view src);

/// printf into dst, always terminated. Returns the length stored (cut to dst.size() - 1);
/// *cut, when given, tells whether the text was cut.
[[gnu::format(printf, 2, 3)]] int pal_snprintf(std::span<char> dst, const char *fmt, ...);
int pal_vsnprintf(std::span<char> dst, const char *fmt, va_list ap, bool *cut = nullptr);

/// printf into a new std::string.
[[gnu::format(printf, 1, 2)]] std::string pal_format(const char *fmt, ...);
std::string pal_vformat(const char *fmt, va_list ap);

/// White space as isspace() on bytes below 0x80 (bytes 0x80 and up are never white space).
bool pal_isspace(char c);
std::string_view pal_trim(std::string_view s);
bool pal_iequals(std::string_view a, std::string_view b);  ///< ASCII case-insensitive
bool pal_istarts_with(std::string_view s, std::string_view prefix);
void pal_to_upper(std::span<char> s);  ///< ASCII, in place, up to the terminator
void pal_to_lower(std::span<char> s);

/// Decimal conversion as C's atoi without its undefined behaviour: leading white space,
/// an optional sign, digits up to the first other byte; no digits give 0; values beyond
/// the type's range are clamped.
int pal_atoi(std::string_view s);
long long pal_atoll(std::string_view s);

/// Size text with suffixes ("k" 1024, "kB" 1000, "M", "MB", "G", ...) to bytes; 0 for
/// anything that is not a size.
uint64_t size_str_to_u64(const char *s);

/// Clamps a 64-bit size to a positive 32-bit setting (values above INT32_MAX give
/// INT32_MAX), for settings that the server keeps as 32-bit numbers.
int pal_size_to_i32(uint64_t v);

// ---------------------------------------------------------------------------------------
// Clock and time.

/// Monotonic milliseconds (never goes back, unaffected by clock changes).
uint64_t os_clock_ms();
/// Monotonic microseconds.
uint64_t os_clock_us();
void os_sleep_ms(int ms);

/// Broken-down local time of now, with microseconds.
struct pal_tm {
    int year, mon, mday, hour, min, sec, usec, wday, yday;
};
void os_localtime(pal_tm *out);
/// Broken-down local time (utc = false) or UTC of a Unix time in seconds.
void os_time_split(int64_t t, bool utc, pal_tm *out);
/// Seconds east of UTC of local time at the Unix time t.
int os_time_offset(int64_t t);
int64_t os_time_now();  ///< Unix time in seconds

// ---------------------------------------------------------------------------------------
// Threads. Every thread of the program starts through os_thread_init, which registers
// its name in the thread-name table for log lines.

/// Fault options of a thread (used by crash handling): each flag a byte.
struct os_thread_opts {
    uint8_t write_dump;  ///< write a dump file after the summary
    uint8_t handle;      ///< a fault ends this thread only
    uint8_t exit;        ///< a fault ends the process with status 254
};

using os_thread_proc = int (*)(void *arg);
struct os_thread;

/// Starts a thread named name (at most 255 bytes) running proc(arg). stack_size is
/// ignored; opts may be null (all flags clear) and is copied. Returns the handle, owned
/// by the caller until os_thread_close, or null when the thread cannot be created.
[[nodiscard]] os_thread *os_thread_init(const char *name, os_thread_proc proc, void *arg,
                                        size_t stack_size, const os_thread_opts *opts);

/// Waits up to timeout_ms (-1: no limit) for the thread to end. Returns 0 with its result
/// in *exit_code (may be null), or PAL_ETIMEDOUT.
int os_thread_wait(os_thread *t, int timeout_ms, int *exit_code);

/// Releases the handle; a thread still running goes on detached.
void os_thread_close(os_thread *t);

/// Waits 1000 ms for the thread; a thread that has not ended by then cannot be killed
/// safely, so it is waited for until it ends (its blocking waits see the abort flag within
/// one slice). Returns 0, or -2 when the first 1000 ms ran out. The handle is closed.
int os_thread_wait_kill_exit(os_thread *t, int *exit_code);

/// The fault options of the calling thread (all clear for threads not started here).
os_thread_opts os_thread_self_opts();

/// Runs proc(arg) and stores its result in *result (may be null). On a thread started
/// with the "handle" option a fault inside proc is reported, proc is abandoned (its stack
/// is not unwound: what it owned stays as it was) and the call returns PAL_ECANCELED;
/// otherwise 0. os_thread_init runs every procedure this way; a pool uses it to give a
/// connection back after its worker faulted. Calls nest; the innermost one returns.
[[nodiscard]] int os_thread_call(os_thread_proc proc, void *arg, int *result);

/// Numeric id of the calling thread (the kernel thread id).
uint64_t os_thread_id();

/// Registers the calling thread's name as "%s_%04x" (name, four hex digits from the
/// registration time) in the thread-name table. A later call replaces it.
void os_thread_name_init(const char *name);
/// Removes the calling thread from the table.
void os_thread_name_exit();
/// The shown name of thread tid: "%s_%llu" (registered name, id) or "%llu". Returns the
/// length stored in out.
int os_thread_name_get(uint64_t tid, std::span<char> out);
/// Frees the whole table (at log exit).
void os_thread_names_free();

// ---------------------------------------------------------------------------------------
// Log hook. libpal sits below the log core; its own messages (assertions, URL parser)
// reach the log through this hook, which the log core installs. Without it they go to
// standard error.

using pal_log_fn = int (*)(int level, const char *tag, const char *file, int line,
                           const char *func, const char *fmt, va_list ap);
void pal_set_log_hook(pal_log_fn fn);
[[gnu::format(printf, 6, 7)]] int pal_log(int level, const char *tag, const char *file, int line,
                                          const char *func, const char *fmt, ...);

/// Logs through the hook with the caller's source position. Without a hook, levels up to
/// warn go to standard error and the rest is dropped.
#define PAL_LOG(level, tag, ...) pal_log((level), (tag), __FILE__, __LINE__, __func__, __VA_ARGS__)

/// Logs "expr[%s]: assert failed\n" at error level with tag "pal", then the call stack.
/// Execution goes on: callers return their failure value.
void pal_assert_fail(const char *expr, const char *file, int line, const char *func);

/// Checks expr; on failure logs it and returns ret from the calling function.
#define PAL_ASSERT_RET(expr, ret)                                                          \
    do {                                                                                   \
        if (!(expr)) {                                                                     \
            pal_assert_fail(#expr, __FILE__, __LINE__, __func__);                          \
            return ret;                                                                    \
        }                                                                                  \
    } while (0)

/// Logs "[%s]\n" with the current call stack at error level (tag "pal").
void assert_dump_stack();
/// Writes the call stack of the caller into out, one frame and "\n" per line, as
/// "%s!%s+0x%x [%s @ %u]" (module, function, offset, source file, line; the part in
/// brackets only where the build has line information) or "%s+0x%x" (module, offset from
/// its base) where no symbol is known. Returns the length stored (cut to fit).
int os_dump_stack(std::span<char> out);

// ---------------------------------------------------------------------------------------
// Crash handling. A fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP) is reported with an
// exception summary in the log ("--ExptInfo-- "), a dump file in the minidump format when
// a dump directory is set, and the recent log lines ("--LastLog-- "); the process then
// ends with status 254. A thread started with the "handle" option ends alone instead.

/// Platform start: arms crash handling once per process, unless a debugger is attached
/// (nothing is armed then and faults go to the debugger). The calling thread gets an
/// emergency stack, and so does every thread os_thread_init starts from then on. Called
/// by pl_init.
void os_env_init();
/// True once crash handling is armed.
bool os_panic_armed();

/// Enables dump files in dir (absolute; created with its parents at the first fault),
/// named "%s-%04d_%02d_%02d-%02d_%02d_%02d.dmp" after name (at most 63 bytes) and the
/// local time. An empty dir, or crash handling not armed, leaves dumps off. Call during
/// start-up, before other threads run.
void os_panic_set_dir(const char *dir, const char *name);
/// The program version shown in the summary's "info:" line (at most 63 bytes).
void os_panic_set_app_ver(const char *version);
/// Source of the recent log lines for "--LastLog-- ". Called on the faulting thread,
/// inside the fault handler, only when the log core took the summary (so that thread is
/// not inside the log core). Copies at most out.size() - 1 bytes, terminated; returns the
/// length.
using os_panic_recent_fn = int (*)(std::span<char> out);
void os_panic_set_recent(os_panic_recent_fn fn);

/// The name of an exception code: "ACCESS_VIOLATION" for 0xC0000005 and the other
/// entries of the table, or "unkown(%d)" (the code as a signed decimal) formatted into
/// buf for a code outside it. Safe in a signal handler.
const char *os_exception_name(uint32_t code, std::span<char> buf);

// ---------------------------------------------------------------------------------------
// Files, directories and process facts.

/// Owns one file descriptor.
class pal_fd {
public:
    explicit pal_fd(int fd = -1) noexcept : fd_(fd) {}
    pal_fd(pal_fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    pal_fd &operator=(pal_fd &&o) noexcept {
        reset(std::exchange(o.fd_, -1));
        return *this;
    }
    pal_fd(const pal_fd &) = delete;
    pal_fd &operator=(const pal_fd &) = delete;
    ~pal_fd() { reset(); }
    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;  ///< closes the old descriptor

private:
    int fd_;
};

/// The directory of the running executable (from /proc/self/exe), without a trailing '/'.
int os_exe_get_dir(std::span<char> out);
/// The full path of the running executable.
int os_exe_get_path(std::span<char> out);
bool path_is_absolute(const char *path);
int os_chdir(const char *dir);           ///< 0 or a table code
bool os_file_exists(const char *path);   ///< anything at path (no link following needed)
bool os_is_dir(const char *path);
int64_t os_file_size(const char *path);  ///< size, or a negative table code
int os_mkdirs(const char *dir);          ///< creates every missing level; 0 or a table code
int os_getpid();
bool os_is_root();                       ///< effective user id 0
/// Host name of this machine (empty on failure).
std::string os_hostname();
/// Processor name as uname reports it ("x86_64").
std::string os_machine_name();
/// Short description of the operating system ("Linux 6.1.0 x86_64").
std::string os_description();
/// Reads a whole file into out; 0 or a table code.
int os_read_file(const char *path, std::string *out);
/// Writes data to path (created or truncated) with the given mode; 0 or a table code.
int os_write_file(const char *path, std::string_view data, int mode = 0644);

/// Random bytes from the kernel; 0 or a table code.
int os_random(void *buf, size_t len);

/// True when standard error is a terminal (colour sequences make sense there).
bool os_stderr_is_terminal();

/// Platform start and end: system error texts, crash handling (os_env_init) and
/// process-wide state. pl_init may be called more than once.
void pl_init();
void pl_exit();

// ---------------------------------------------------------------------------------------
// Checksums.

/// CRC-64 with the Jones polynomial (reflected, no final XOR; "123456789" gives
/// 0xe9c6d914c4b8d9ca from crc 0). Pass the previous result as crc to continue a sum.
uint64_t pal_crc64(uint64_t crc, const void *data, size_t len);

// ---------------------------------------------------------------------------------------
// Plain descriptor reads (for code that compares against or bypasses the VFS).

/// Opens path read-only. The descriptor (wrap it in pal_fd), or a negative table code.
[[nodiscard]] int os_file_open_read(const char *path);
/// Reads len bytes at offset, repeating short reads until the end of the file. Returns
/// the count (smaller only at the end), or a negative table code.
[[nodiscard]] int64_t os_file_pread(int fd, void *buf, size_t len, int64_t offset);

// ---------------------------------------------------------------------------------------
// Files that hold secrets (pal_secret_file.cpp).

/// Replaces path with data: written to a temporary file in the same directory, synced,
/// then renamed over path, so readers see the old content or the new, never a part. The
/// new file gets mode (the umask does not apply), or with keep_mode the mode of the file it
/// replaces (mode when there is none). A symbolic link at path is refused with PAL_ELOOP
/// and left alone; nothing is ever written through one. 0 or a table code; errno holds the
/// system's reason for log lines. Blocks on the disk.
[[nodiscard]] int os_replace_file(const char *path, std::string_view data, int mode,
                                  bool keep_mode);

/// Creates path as an empty file with mode 0600 (whatever the umask) unless something
/// already exists there; an existing file, or a symbolic link, is left as it is. Returns
/// 0 (made or already there) or a table code.
[[nodiscard]] int os_create_private_file(const char *path);
