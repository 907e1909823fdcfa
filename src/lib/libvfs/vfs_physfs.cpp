// vfs_physfs.cpp - the archive driver: serves files of a ZIP, 7z or other archive that
// PhysicsFS reads. Read-only, files only. Each mount puts its archive into the library's
// one search path under its own mount point "/N", so several archives are served at once.
#include "log.h"
#include "pal.h"
#include "pal_url.h"
#include "vfs_internal.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include <physfs.h>

static constexpr const char *SRC = "src/lib/libvfs/physfs";

namespace {
std::atomic<int> g_mount_counter{0};
}  // namespace

struct phy_mount_ctx {
    vfs_err *err = nullptr;
    int num = 0;
    std::string name;  // the archive's name in the search path, unique per mount
};

struct phy_file_ctx {
    phy_mount_ctx *mc = nullptr;
    PHYSFS_File *fh = nullptr;
};

static int phy_fail(phy_mount_ctx *mc, const char *func, int line) {
    const char *msg = PHYSFS_getErrorByCode(PHYSFS_getLastErrorCode());
    vfs_err_set(mc->err, SRC, func, line, -1, "%s", msg ? msg : "unknown error");
    return -1;
}

#define PHY_FAIL(mc) phy_fail((mc), __func__, __LINE__)

// ---------------------------------------------------------------------------------------
// Archive stream over a stdio file. Mounting through a stream lets every mount carry its
// own name, so the same archive mounted twice is two entries that unmount separately.

struct phy_stdio {
    std::FILE *fp = nullptr;
    std::string path;
};

static PHYSFS_Io *phy_io_new(const char *path);

static PHYSFS_sint64 io_read(PHYSFS_Io *io, void *buf, PHYSFS_uint64 len) {
    auto *s = static_cast<phy_stdio *>(io->opaque);
    size_t n = std::fread(buf, 1, static_cast<size_t>(len), s->fp);
    if (n == 0 && std::ferror(s->fp)) {
        PHYSFS_setErrorCode(PHYSFS_ERR_IO);
        return -1;
    }
    return static_cast<PHYSFS_sint64>(n);
}

static PHYSFS_sint64 io_write(PHYSFS_Io *, const void *, PHYSFS_uint64) {
    PHYSFS_setErrorCode(PHYSFS_ERR_READ_ONLY);
    return -1;
}

static int io_seek(PHYSFS_Io *io, PHYSFS_uint64 off) {
    auto *s = static_cast<phy_stdio *>(io->opaque);
    if (std::fseek(s->fp, static_cast<long>(off), SEEK_SET) != 0) {
        PHYSFS_setErrorCode(PHYSFS_ERR_IO);
        return 0;
    }
    return 1;
}

static PHYSFS_sint64 io_tell(PHYSFS_Io *io) {
    return std::ftell(static_cast<phy_stdio *>(io->opaque)->fp);
}

static PHYSFS_sint64 io_length(PHYSFS_Io *io) {
    auto *s = static_cast<phy_stdio *>(io->opaque);
    long pos = std::ftell(s->fp);
    if (pos < 0 || std::fseek(s->fp, 0, SEEK_END) != 0)
        return -1;
    long end = std::ftell(s->fp);
    std::fseek(s->fp, pos, SEEK_SET);
    return end;
}

static PHYSFS_Io *io_duplicate(PHYSFS_Io *io) {
    return phy_io_new(static_cast<phy_stdio *>(io->opaque)->path.c_str());
}

static int io_flush(PHYSFS_Io *) { return 1; }

static void io_destroy(PHYSFS_Io *io) {
    auto *s = static_cast<phy_stdio *>(io->opaque);
    std::fclose(s->fp);
    delete s;
    delete io;
}

static PHYSFS_Io *phy_io_new(const char *path) {
    std::FILE *fp = std::fopen(path, "rb");
    if (!fp) {
        PHYSFS_setErrorCode(PHYSFS_ERR_NOT_FOUND);
        return nullptr;
    }
    auto *s = new phy_stdio{fp, path};
    auto *io = new PHYSFS_Io{};
    io->version = 0;
    io->opaque = s;
    io->read = io_read;
    io->write = io_write;
    io->seek = io_seek;
    io->tell = io_tell;
    io->length = io_length;
    io->duplicate = io_duplicate;
    io->flush = io_flush;
    io->destroy = io_destroy;
    return io;
}

// ---------------------------------------------------------------------------------------
// Driver operations.

static int vfs_phy_init() {
    if (PHYSFS_isInit())
        return 0;
    if (!PHYSFS_init(nullptr)) {
        LOG2(LOG2_ERR, "vfs_loc", "error: %s\n",
             PHYSFS_getErrorByCode(PHYSFS_getLastErrorCode()));
        return -1;
    }
    return 0;
}

static void vfs_phy_exit() {
    if (PHYSFS_isInit())
        PHYSFS_deinit();
}

static int url_path(const char *url, std::string *out) {
    if (!std::strstr(url, "://")) {
        out->assign(url, std::strcspn(url, "?#"));
        return 0;
    }
    char path[VFS_PATH_MAX], decoded[VFS_PATH_MAX];
    if (url_get_path(url, path) != 0)
        return -1;
    url_decode(path, decoded, sizeof decoded);
    out->assign(decoded);
    return 0;
}

static int phy_probe(const char *url) {
    std::string path;
    if (!PHYSFS_isInit() || !url || url_path(url, &path) != 0)
        return -1;
    for (const PHYSFS_ArchiveInfo **i = PHYSFS_supportedArchiveTypes(); i && *i; i++) {
        std::string ext = std::string(".") + (*i)->extension;
        if (path.size() > ext.size() &&
            pal_iequals(std::string_view(path).substr(path.size() - ext.size()), ext))
            return 0;
    }
    return -1;
}

static void *phy_mount(const char *url, int, vfs_err *err, vfs_mount *) {
    auto *mc = new phy_mount_ctx;
    mc->err = err;
    std::string archive;
    if (url_path(url, &archive) != 0) {
        vfs_err_set(err, SRC, __func__, __LINE__, PAL_EINVAL, "%s", pal_strerror(PAL_EINVAL));
        delete mc;
        return nullptr;
    }
    mc->num = g_mount_counter.load();
    mc->name = pal_format("%d:%s", mc->num, archive.c_str());
    std::string point = pal_format("/%d", mc->num);
    PHYSFS_Io *io = phy_io_new(archive.c_str());
    if (!io || !PHYSFS_mountIo(io, mc->name.c_str(), point.c_str(), 1)) {
        PHY_FAIL(mc);
        if (io)
            io->destroy(io);
        delete mc;
        return nullptr;
    }
    g_mount_counter.fetch_add(1);
    return mc;
}

// Unmounting fails while a file of the archive is open; the context goes either way.
static int phy_umount(void *ctx) {
    auto *mc = static_cast<phy_mount_ctx *>(ctx);
    int rc = 0;
    if (!PHYSFS_unmount(mc->name.c_str())) {
        std::string point = pal_format("%d/", mc->num);
        LOG2(LOG2_ERR, "vfs_loc", "unmount2 [%s] error: %s\n", point.c_str(),
             PHYSFS_getErrorByCode(PHYSFS_getLastErrorCode()));
        rc = -1;
    }
    delete mc;
    return rc;
}

static int phy_reserved(void *, int *out) {
    if (out)
        *out = 0;
    return 0;
}

static void *phy_open(void *ctx, const char *path, unsigned) {
    auto *mc = static_cast<phy_mount_ctx *>(ctx);
    char rel[VFS_PATH_MAX];
    if (!path || strnlen(path, VFS_PATH_MAX) >= VFS_PATH_MAX ||
        vfs_path_to_rel(path, rel, sizeof rel) != 0) {
        vfs_err_set(mc->err, SRC, __func__, __LINE__, PAL_ENAMETOOLONG, "%s",
                    pal_strerror(PAL_ENAMETOOLONG));
        return nullptr;
    }
    std::string full = pal_format("/%d/%s", mc->num, rel);
    PHYSFS_File *fh = PHYSFS_openRead(full.c_str());
    if (!fh) {
        PHY_FAIL(mc);
        return nullptr;
    }
    return new phy_file_ctx{mc, fh};
}

static int phy_close(void *fctx) {
    auto *pf = static_cast<phy_file_ctx *>(fctx);
    int rc = PHYSFS_close(pf->fh) ? 0 : PHY_FAIL(pf->mc);
    delete pf;
    return rc;
}

static int64_t phy_read(void *fctx, void *buf, size_t len, int64_t offset) {
    auto *pf = static_cast<phy_file_ctx *>(fctx);
    if (offset != -1 && (offset < 0 || !PHYSFS_seek(pf->fh, static_cast<PHYSFS_uint64>(offset))))
        return PHY_FAIL(pf->mc);
    PHYSFS_sint64 n = PHYSFS_readBytes(pf->fh, buf, len);
    return n < 0 ? PHY_FAIL(pf->mc) : static_cast<int64_t>(n);
}

static int64_t phy_write(void *fctx, const void *buf, size_t len, int64_t offset) {
    auto *pf = static_cast<phy_file_ctx *>(fctx);
    if (offset != -1 && (offset < 0 || !PHYSFS_seek(pf->fh, static_cast<PHYSFS_uint64>(offset))))
        return PHY_FAIL(pf->mc);
    PHYSFS_sint64 n = PHYSFS_writeBytes(pf->fh, buf, len);
    return n < 0 ? PHY_FAIL(pf->mc) : static_cast<int64_t>(n);
}

static int64_t phy_lseek(void *fctx, int64_t offset, int whence) {
    auto *pf = static_cast<phy_file_ctx *>(fctx);
    if (whence != 0) {
        vfs_err_set(pf->mc->err, SRC, __func__, __LINE__, -1, "ony support whence==0");
        return -1;
    }
    if (offset < 0 || !PHYSFS_seek(pf->fh, static_cast<PHYSFS_uint64>(offset)))
        return PHY_FAIL(pf->mc);
    return offset;
}

static int phy_fstat(void *fctx, vfs_stat_rec *) {
    auto *pf = static_cast<phy_file_ctx *>(fctx);
    vfs_err_set(pf->mc->err, SRC, __func__, __LINE__, PAL_ENOTSUP, "Not supported.");
    return -1;
}

static void *phy_opendir(void *ctx, const char *, const char *) {
    auto *mc = static_cast<phy_mount_ctx *>(ctx);
    vfs_err_set(mc->err, SRC, __func__, __LINE__, PAL_ENOTSUP, "Not supported.");
    return nullptr;
}

static vfs_dirent *phy_readdir(void *) { return nullptr; }
static int phy_closedir(void *) { return -1; }

static int phy_ioctl(void *, int code, void *arg, int) {
    if (code != VFS_IOC_CAPS || !arg)
        return -1;
    *static_cast<int *>(arg) = 1;
    return 0;
}

const vfs_drv vfs_drv_physfs = {
    .kind = 4,
    .name = "physfs",
    .init = vfs_phy_init,
    .exit = vfs_phy_exit,
    .probe = phy_probe,
    .mount = phy_mount,
    .umount = phy_umount,
    .statfs = nullptr,
    .reserved = phy_reserved,
    .open = phy_open,
    .wopen = nullptr,
    .open2 = nullptr,
    .close = phy_close,
    .read = phy_read,
    .write = phy_write,
    .fsync = nullptr,
    .ftruncate = nullptr,
    .futime = nullptr,
    .flock = nullptr,
    .lseek = phy_lseek,
    .fstat = phy_fstat,
    .opendir = phy_opendir,
    .readdir = phy_readdir,
    .seekdir = nullptr,
    .telldir = nullptr,
    .closedir = phy_closedir,
    .ioctl = phy_ioctl,
};
