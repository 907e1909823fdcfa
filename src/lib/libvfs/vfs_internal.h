// vfs_internal.h - shared between the core and the drivers of libvfs; never leaves the folder.
#pragma once

#include "vfs.h"

#include <atomic>
#include <cstdarg>

#include <sys/stat.h>

extern const vfs_drv vfs_drv_file;
extern const vfs_drv vfs_drv_physfs;

/// Fills err: source module, operation, line, table code and a formatted message (an
/// empty format leaves the message empty, so the table's text is shown).
[[gnu::format(printf, 6, 7)]] void vfs_err_set(vfs_err *err, const char *file,
                                               const char *func, int line, int code,
                                               const char *fmt, ...);

/// Splits a virtual path into the relative path under the root ("" for the root itself),
/// lexically: '\\' is a separator, "." is dropped, ".." never climbs above the root.
/// 0, or PAL_ENAMETOOLONG when the result does not fit in out_size.
int vfs_path_to_rel(const char *path, char *out, size_t out_size);

/// Test hook of the local driver: false makes it confine paths by its own checked walk
/// instead of openat2 (as on kernels without openat2). Process-wide.
void vfs_file_use_openat2(bool on);

/// Status of n names of the directory dfd, as fstatat without following links: out[i] and
/// err[i] (0, or the errno). Status calls of a large directory are bound by memory
/// latency, so a batch is shared with one process-wide helper thread when that thread is
/// free; otherwise (or for a small batch) the caller does all of it.
struct vfs_stat_job {
    int dfd = -1;
    const char *const *names = nullptr;
    size_t n = 0;
    struct stat *out = nullptr;
    int *err = nullptr;
    std::atomic<size_t> next{0};  // the next name not yet taken
    bool posted = false;          // handed to the helper
    bool taken = false;           // the helper started on it (under the helper's lock)
    bool finished = false;        // the helper left it (under the helper's lock)
};
/// Hands the job to the helper when it is free, so its status calls run while the caller
/// does other work. Every started job must be finished.
void vfs_stat_start(vfs_stat_job *j, int dfd, const char *const *names, size_t n,
                    struct stat *out, int *err);
/// Takes the status of what is left on the calling thread and waits for the helper's
/// share: then out and err are complete.
void vfs_stat_finish(vfs_stat_job *j);
