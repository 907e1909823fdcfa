// vfs.h - the virtual file system: mounts made from URLs through a table of drivers,
// checked handles, a per-file read cache, and the control operations through which the
// server creates, removes, renames and inspects paths and moves its session directory.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------
// Records shared with the drivers.

enum : uint32_t { VFS_MAGIC = 0x55aa55aa };
enum : uint32_t { VFS_T_MOUNT = 1, VFS_T_FILE = 2, VFS_T_DIR = 3 };

/// Open flags of vfs_open.
enum : unsigned {
    VFS_O_READ = 0x01,         ///< read access (also the default)
    VFS_O_WRITE = 0x02,        ///< write access
    VFS_O_RDWR = 0x04,         ///< read and write access
    VFS_O_CREATE = 0x08,       ///< with VFS_O_TRUNC: create or truncate; with VFS_O_OPEN_ALWAYS:
                               ///< open or create; alone: open an existing file
    VFS_O_OPEN_ALWAYS = 0x10,  ///< see VFS_O_CREATE
    VFS_O_TRUNC = 0x20,        ///< truncate (without VFS_O_CREATE: an existing file)
    VFS_O_DIRECT = 0x40,       ///< write-through I/O
    VFS_O_SHARE_ALL = 0x80,    ///< share with other openers (always so on this system)
    VFS_O_SEQUENTIAL = 0x1000, ///< sequential-scan hint
    VFS_O_RANDOM = 0x2000,     ///< random-access hint
    VFS_O_SNAPSHOT = 0x10000,  ///< the path names a snapshot: not supported
    VFS_O_DOWNLOAD = 0x81,     ///< what the server opens downloads with
    VFS_O_UPLOAD = 0x1a,       ///< uploads: write, open or create, no truncation
};

/// Error record of a mount: where the last failure was found and why.
struct vfs_err {
    const char *file;  ///< source module ("src/lib/libvfs/file"), static text or null
    const char *func;  ///< operation name, static text or null
    int line;
    int code;          ///< a code of the platform error table (PAL_*)
    char msg[4096];    ///< usually the system's message; empty: the table's message
};

struct vfs_time {
    int64_t sec;  ///< seconds since 1970
    uint32_t nsec;
};

/// Kind flags of a stat record.
enum : uint32_t {
    VFS_K_DIR = 0x01,
    VFS_K_FILE = 0x02,
    VFS_K_LINK = 0x100,  ///< the entry is a symbolic link (the other fields show its target)
    VFS_K_SCAN = 0x800,  ///< the entry came from a directory scan
};

/// Status record, filled by vfs_fstat, vfs_stat and the local driver's listings.
struct vfs_stat_rec {
    uint32_t kind;   ///< VFS_K_* flags
    uint32_t attr;   ///< the system's mode bits
    uint64_t group;  ///< always 0
    uint64_t size;
    vfs_time atime, mtime, ctime;
    uint32_t nlink;  ///< 2 for a directory, 1 otherwise
    uint32_t owner;  ///< always 0
    uint64_t id;     ///< entries: CRC-64 of the UTF-8 name; otherwise 0
    /// The system's own link count and numeric owner and group (0 where a driver has none);
    /// nlink, owner and group above keep the fixed values the classic listing shows.
    uint32_t sys_nlink;
    uint32_t uid;
    uint32_t gid;
};

enum : int { VFS_NAME_MAX = 512, VFS_PATH_MAX = 4096 };

/// Directory entry: status, name and, for a symbolic link, its target text.
struct vfs_dirent {
    vfs_stat_rec st;
    char name[VFS_NAME_MAX];
    char link[VFS_NAME_MAX];
};

/// Free and total space of a file system (control code 3, driver statfs).
struct vfs_statfs {
    uint64_t total;  ///< bytes
    uint64_t free;   ///< bytes available to this process
    uint64_t bsize;  ///< block size
};

/// Volume information (control code 7).
struct vfs_volinfo {
    char root[128];    ///< the served root
    char label[256];   ///< empty on this system
    char fs_name[32];  ///< file system type ("ext4", "tmpfs", ...) or its magic in hex
    uint64_t total;    ///< bytes
};

// ---------------------------------------------------------------------------------------
// Control codes and their arguments (vfs_ioctl).

enum : int {
    VFS_IOC_RESERVED = 2,   ///< int cell set to 0
    VFS_IOC_STATFS = 3,     ///< vfs_ioc_statfs
    VFS_IOC_GETCWD = 4,     ///< char buffer, length = its size: the process's directory
    VFS_IOC_SETCWD = 5,     ///< path: changes the process's directory (not confined)
    VFS_IOC_CAPS = 6,       ///< int cell set to 1
    VFS_IOC_VOLINFO = 7,    ///< vfs_ioc_volinfo
    VFS_IOC_NOP = 8,        ///< 0
    VFS_IOC_ACCESS = 30,    ///< vfs_ioc_access
    VFS_IOC_TOUCH = 31,     ///< path: create the file if missing
    VFS_IOC_MKDIR = 32,     ///< path
    VFS_IOC_MKDIR2 = 33,    ///< vfs_ioc_mkdir
    VFS_IOC_RMDIR = 40,     ///< path
    VFS_IOC_REMOVE = 41,    ///< path
    VFS_IOC_RENAME = 42,    ///< vfs_ioc_rename
    VFS_IOC_STAT = 44,      ///< vfs_ioc_stat (follows a final link)
    VFS_IOC_LSTAT = 45,     ///< vfs_ioc_stat (the link itself)
    VFS_IOC_DIRENT = 58,    ///< vfs_ioc_dirent
    VFS_IOC_CHDIR = 59,     ///< vfs_ioc_chdir
    VFS_IOC_REALPATH = 60,  ///< vfs_ioc_realpath
};

struct vfs_ioc_statfs { const char *path; vfs_statfs *out; };
struct vfs_ioc_volinfo { const char *path; vfs_volinfo *out; };
/// mode: 0 exists, else any of 4 read, 2 write, 1 execute. 0 when allowed.
struct vfs_ioc_access { const char *path; int mode; };
struct vfs_ioc_mkdir { const char *path; int mode; };
struct vfs_ioc_rename { const char *old_path; const char *new_path; uint8_t replace; };
struct vfs_ioc_stat { const char *path; vfs_stat_rec *out; };
struct vfs_ioc_dirent { const char *path; vfs_dirent *out; };
struct vfs_ioc_chdir { char *cwd; int size; const char *path; };
struct vfs_ioc_realpath { const char *cwd; const char *path; char *out; int size; };

// ---------------------------------------------------------------------------------------
// Driver table. Slots a driver does not offer are null; the core then fails the call
// with -1 (or null). Contexts are the driver's own; the core never looks inside.

struct vfs_mount;
struct vfs_file;
struct vfs_dir;

struct vfs_drv {
    int kind;          ///< 1 local files, 4 archives
    const char *name;
    int (*init)();     ///< once per process; 0 or -1
    void (*exit)();
    int (*probe)(const char *url);  ///< 0 when the driver serves url
    /// Returns the mount context, or null with err filled.
    void *(*mount)(const char *url, int flags, vfs_err *err, vfs_mount *mh);
    int (*umount)(void *ctx);
    int (*statfs)(void *ctx, vfs_statfs *out);
    int (*reserved)(void *ctx, int *out);
    void *(*open)(void *ctx, const char *path, unsigned flags);
    void *(*wopen)(void *ctx, const char *path, unsigned flags);
    void *(*open2)(void *ctx, const char *path, unsigned flags, int mode);
    int (*close)(void *fctx);
    /// offset -1: the current position. Returns the count or -1.
    int64_t (*read)(void *fctx, void *buf, size_t len, int64_t offset);
    int64_t (*write)(void *fctx, const void *buf, size_t len, int64_t offset);
    int (*fsync)(void *fctx);
    int (*ftruncate)(void *fctx, int64_t size);
    int (*futime)(void *fctx, const vfs_time *atime, const vfs_time *mtime);
    int (*flock)(void *fctx, int64_t offset, int64_t len, int mode);
    int64_t (*lseek)(void *fctx, int64_t offset, int whence);
    int (*fstat)(void *fctx, vfs_stat_rec *out);
    void *(*opendir)(void *ctx, const char *path, const char *pattern);
    vfs_dirent *(*readdir)(void *dctx);
    int (*seekdir)(void *dctx, long pos);
    long (*telldir)(void *dctx);
    int (*closedir)(void *dctx);
    int (*ioctl)(void *ctx, int code, void *arg, int len);
    /// The system descriptor behind a regular file, still owned by the file context; -1
    /// when the driver has none (the slot may be null).
    int (*fd)(void *fctx);
    /// As readdir, but only the name and, where the directory tells it cheaply, the kind:
    /// no status is read and no entry id is made (the slot may be null; readdir serves
    /// then).
    vfs_dirent *(*readname)(void *dctx);
};

// ---------------------------------------------------------------------------------------
// Start and end.

/// Registers the local and the archive driver and runs each driver's init, once per
/// process (later calls return 0). Returns 0, or -1 after a crit log line.
[[nodiscard]] int libvfs_init();
/// Ends every registered driver; no mount may be left.
void libvfs_exit();
/// Puts drv into the first free of the four driver slots (mounts ask slot 3 first).
/// drv must outlive the process's mounts. Returns 0, or -1 when every slot is taken.
int vfs_add_drv(const vfs_drv *drv);

// ---------------------------------------------------------------------------------------
// Mounts. A mount and its handles belong to one thread at a time; different mounts may
// be used by different threads at once.

/// Mounts url ('\\' read as '/'; query "rcache_size" and "wcache_size" with size suffixes,
/// and the driver's own options). Returns the mount, owned by the caller until
/// vfs_umount, or null with the reason in *err (err may be null).
[[nodiscard]] vfs_mount *vfs_mount2(const char *url, vfs_err *err);
/// Closes every file and directory left open, then unmounts. The driver's result or -1.
int vfs_umount(vfs_mount *m);
/// Text of the last failure of the mount of h (a mount, file or directory handle);
/// "invalid handle error" for anything else. Valid until the next call on that mount.
const char *vfs_strerror(const void *h);
/// The error record of h's mount, or null for an invalid handle.
const vfs_err *vfs_lasterr(const void *h);

// ---------------------------------------------------------------------------------------
// Files. Paths are virtual: '/'-separated, relative to the mount's root.

/// Opens path with VFS_O_* flags. Returns the handle (owned by the mount until vfs_close
/// or vfs_umount) or null with the mount's error record filled.
[[nodiscard]] vfs_file *vfs_open(vfs_mount *m, const char *path, unsigned flags);
/// Closes the file. The driver's result, or -1 for an invalid or closed handle.
int vfs_close(vfs_file *f);
/// Reads up to len bytes at offset (-1: the current position), through the mount's read
/// cache for files opened with VFS_O_READ. Returns the count (0 at the end) or -1.
[[nodiscard]] int64_t vfs_pread(vfs_file *f, void *buf, size_t len, int64_t offset);
/// Writes at the current position. Returns the count or -1.
[[nodiscard]] int64_t vfs_write(vfs_file *f, const void *buf, size_t len);
/// whence 0 set, 1 current, 2 end. Returns the new position or -1.
[[nodiscard]] int64_t vfs_lseek(vfs_file *f, int64_t offset, int whence);
[[nodiscard]] int vfs_fstat(vfs_file *f, vfs_stat_rec *out);
/// Sets the file's access and modification times (null: left as they are). 0 or -1.
[[nodiscard]] int vfs_futime(vfs_file *f, const vfs_time *atime, const vfs_time *mtime);
/// Sets the file's length. 0 or -1.
[[nodiscard]] int vfs_ftruncate(vfs_file *f, int64_t size);

// ---------------------------------------------------------------------------------------
// Directories.

/// Returns the handle (owned by the mount until vfs_closedir or vfs_umount) or null.
[[nodiscard]] vfs_dir *vfs_opendir(vfs_mount *m, const char *path);
/// The next entry (valid until the next call on d), or null at the end or on failure.
vfs_dirent *vfs_readdir(vfs_dir *d);
/// The next entry with its name only (st.kind where known, every other field zero): for
/// name listings, which need no status of each entry. Same lifetime as vfs_readdir's.
vfs_dirent *vfs_readname(vfs_dir *d);
int vfs_closedir(vfs_dir *d);

// ---------------------------------------------------------------------------------------
// Control operations: >= 0 on success, < 0 with the mount's error record filled.

[[nodiscard]] int vfs_ioctl(vfs_mount *m, int code, void *arg, int len);
[[nodiscard]] int vfs_mkdir(vfs_mount *m, const char *path);
[[nodiscard]] int vfs_rmdir(vfs_mount *m, const char *path);
[[nodiscard]] int vfs_remove(vfs_mount *m, const char *path);
/// replace: an existing target is replaced; without it the rename fails when it exists.
[[nodiscard]] int vfs_rename(vfs_mount *m, const char *old_path, const char *new_path,
                             bool replace);
/// Status of path, following a final symbolic link that stays inside the root.
[[nodiscard]] int vfs_stat(vfs_mount *m, const char *path, vfs_stat_rec *out);
/// Entry record of path (the entry itself; a link shows its target's status).
[[nodiscard]] int vfs_dirent_of(vfs_mount *m, const char *path, vfs_dirent *out);
/// Moves the session directory cwd (a buffer of VFS_PATH_MAX bytes, updated in place) to
/// path, resolved against it. Fails with PAL_ENOTDIR for a file, the system's code for a
/// missing path; cwd is left as it was on failure.
[[nodiscard]] int vfs_chdir(vfs_mount *m, char *cwd, const char *path);
/// Resolves path against cwd without touching the file system ("." and "..", repeated
/// and trailing separators; ".." never climbs above "/") into out (VFS_PATH_MAX bytes).
[[nodiscard]] int vfs_realpath(vfs_mount *m, const char *cwd, const char *path, char *out);

/// The lexical resolution used by vfs_realpath, for any caller: 0, or PAL_EINVAL /
/// PAL_ENAMETOOLONG. out always holds a terminated text.
[[nodiscard]] int vfs_path_resolve(const char *cwd, const char *path, char *out, size_t out_size);

// ---------------------------------------------------------------------------------------
// Zero-copy access.

/// The system descriptor of a regular file whose driver has one (the local driver), for
/// sendfile and direct receives; still owned by the handle (never close it). -1 for other drivers
/// or an invalid handle; the caller then moves the bytes through vfs_pread and vfs_write.
[[nodiscard]] int vfs_file_fd(vfs_file *f);
