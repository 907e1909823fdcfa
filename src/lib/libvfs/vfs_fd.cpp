// vfs_fd.cpp - the system descriptor behind a local file handle, so that downloads can
// hand it to sendfile.
//
// The file record and the local driver's file context keep their descriptor in their
// leading members (see libvfs.cpp and vfs_file.cpp); this file reads only those. Because
// it cannot see those definitions, every descriptor it finds is confirmed against the
// handle's own status (kind, size and modification time to the nanosecond) before it is
// returned: a record laid out differently yields -1 and callers keep their buffered path.
#include "vfs.h"

#include "pal.h"
#include "pal_socket.h"

namespace {
struct file_head {  // leading members of the core's file record
    uint32_t magic;
    uint32_t type;
    unsigned flags;
    void *fctx;
};
struct loc_head {  // leading members of the local driver's file context
    int kind;
    int fd;
};
}  // namespace

int vfs_file_fd(vfs_file *f) {
    vfs_stat_rec st{};
    if (f == nullptr || vfs_fstat(f, &st) < 0 || (st.kind & VFS_K_FILE) == 0)
        return -1;
    const auto *h = reinterpret_cast<const file_head *>(f);
    if (h->magic != VFS_MAGIC || h->type != VFS_T_FILE || h->fctx == nullptr)
        return -1;
    const auto *lf = static_cast<const loc_head *>(h->fctx);
    if (lf->kind != VFS_T_FILE || lf->fd < 0)
        return -1;
    if (!os_fd_same_status(lf->fd, st.size, st.mtime.sec, st.mtime.nsec))
        return -1;
    return lf->fd;
}
