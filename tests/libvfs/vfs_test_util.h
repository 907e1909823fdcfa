// vfs_test_util.h - temporary folders and file helpers for the libvfs tests.
#pragma once

#include "pal.h"
#include "vfs.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

/// A fresh folder under the system's temporary directory, removed with everything in it.
class vfs_tmpdir {
public:
    vfs_tmpdir() {
        std::random_device rd;
        path_ = fs::temp_directory_path() / pal_format("vfs_test_%d_%08x", os_getpid(), rd());
        fs::create_directories(path_);
    }
    ~vfs_tmpdir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    vfs_tmpdir(const vfs_tmpdir &) = delete;
    vfs_tmpdir &operator=(const vfs_tmpdir &) = delete;
    std::string str() const { return path_.string(); }
    fs::path operator/(const std::string &rel) const { return path_ / rel; }

private:
    fs::path path_;
};

inline void vfs_test_write(const fs::path &p, const std::string &data) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

inline std::string vfs_test_read(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// Bytes 0..n-1 of a fixed pattern, so that any offset can be checked.
inline std::string vfs_test_pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return s;
}

/// Writes data to path on m through an upload handle; true when all of it went.
inline bool vfs_test_put(vfs_mount *m, const char *path, const std::string &data) {
    vfs_file *f = vfs_open(m, path, VFS_O_UPLOAD);
    if (!f)
        return false;
    bool ok = vfs_write(f, data.data(), data.size()) == static_cast<int64_t>(data.size());
    return vfs_close(f) == 0 && ok;
}

/// The error code of a mount of url that must fail (0 when it mounted), and its message.
inline int vfs_test_mount_error(const std::string &url, std::string *msg = nullptr) {
    vfs_err err{};
    if (vfs_mount *m = vfs_mount2(url.c_str(), &err))
        return vfs_umount(m), 0;
    if (msg)
        *msg = err.msg;
    return err.code;
}
