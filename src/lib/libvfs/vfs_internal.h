// vfs_internal.h - shared between the core and the drivers of libvfs; never leaves the folder.
#pragma once

#include "vfs.h"

#include <cstdarg>

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
void vfs_stat_batch(int dfd, const char *const *names, size_t n, struct stat *out, int *err);
