// vfs_file_test.cpp - the local driver over a real temporary folder: files, status
// records, listings, control codes, mount options and bad input.
#include "vfs.h"
#include "vfs_test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

class VfsFile : public ::testing::Test {
protected:
    void SetUp() override { mount(""); }
    void TearDown() override {
        if (m) {
            EXPECT_EQ(vfs_umount(m), 0);
        }
    }
    void mount(const std::string &query) {
        if (m) {
            ASSERT_EQ(vfs_umount(m), 0);
        }
        m = vfs_mount2((tmp.str() + query).c_str(), nullptr);
        ASSERT_NE(m, nullptr);
    }
    int code() const { return vfs_lasterr(m)->code; }
    /// The error code a call left when it failed (-1 or null), else 0.
    int fail_code(int64_t rc) const { return rc == -1 ? code() : 0; }
    int fail_code(const void *handle) const { return handle ? 0 : code(); }

    vfs_tmpdir tmp;
    vfs_mount *m = nullptr;
};

TEST_F(VfsFile, UploadDownloadTruncateAndWhatDoesNotOpen) {
    vfs_file *w = vfs_open(m, "/up.bin", VFS_O_UPLOAD);
    ASSERT_NE(w, nullptr) << vfs_strerror(m);
    EXPECT_EQ(vfs_write(w, "hello ", 6), 6);
    EXPECT_EQ(vfs_write(w, "world", 5), 5);
    EXPECT_EQ(vfs_close(w), 0);
    EXPECT_EQ(vfs_test_read(tmp / "up.bin"), "hello world");
    // Open-or-create keeps what is there: an appending resume starts from a seek.
    w = vfs_open(m, "up.bin", VFS_O_UPLOAD);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(vfs_lseek(w, 0, 2), 11);
    EXPECT_EQ(vfs_write(w, "!", 1), 1);
    EXPECT_EQ(vfs_close(w), 0);
    EXPECT_EQ(vfs_test_read(tmp / "up.bin"), "hello world!");

    vfs_file *r = vfs_open(m, "/up.bin", VFS_O_DOWNLOAD);
    ASSERT_NE(r, nullptr);
    char buf[32] = {};
    EXPECT_EQ(vfs_pread(r, buf, 5, 6), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(vfs_pread(r, buf, sizeof buf, 100), 0);
    // A local file hands out its descriptor for zero-copy transfers.
    ASSERT_GE(vfs_file_fd(r), 0);
    EXPECT_EQ(pread(vfs_file_fd(r), buf, 5, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    vfs_stat_rec st{};
    ASSERT_EQ(vfs_fstat(r, &st), 0);
    EXPECT_EQ(st.size, 12u);
    EXPECT_EQ(st.kind, VFS_K_FILE);
    EXPECT_EQ(vfs_close(r), 0);
    EXPECT_EQ(vfs_close(r), -1) << "a closed handle is refused";

    w = vfs_open(m, "up.bin", VFS_O_WRITE | VFS_O_CREATE | VFS_O_TRUNC);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(vfs_write(w, "ab", 2), 2);
    EXPECT_EQ(vfs_ftruncate(w, 1), 0);
    EXPECT_EQ(vfs_close(w), 0);
    EXPECT_EQ(vfs_test_read(tmp / "up.bin"), "a");
    // Create alone opens an existing file only; directories and snapshots do not open.
    EXPECT_EQ(fail_code(vfs_open(m, "none.txt", VFS_O_WRITE | VFS_O_CREATE)), PAL_ENOENT);
    fs::create_directories(tmp / "d");
    EXPECT_EQ(fail_code(vfs_open(m, "/d", VFS_O_DOWNLOAD)), PAL_EISDIR);
    EXPECT_EQ(fail_code(vfs_open(m, "/missing", VFS_O_DOWNLOAD)), PAL_ENOENT);
    EXPECT_STREQ(vfs_lasterr(m)->func, "vfs_file_open");
    EXPECT_STREQ(vfs_lasterr(m)->file, "src/lib/libvfs/file");
    EXPECT_GT(vfs_lasterr(m)->line, 0);
    EXPECT_STREQ(vfs_strerror(m), "No such file or directory");
    EXPECT_EQ(fail_code(vfs_open(m, "/x", VFS_O_DOWNLOAD | VFS_O_SNAPSHOT)), PAL_ENOTSUP);
}

TEST_F(VfsFile, StatDirentAndListingFields) {
    vfs_test_write(tmp / "d/a.txt", "12345");
    vfs_test_write(tmp / "d/name with space ü.txt", "bb");
    fs::create_directories(tmp / "d/inner");
    fs::create_symlink("a.txt", tmp / "d/link");
    fs::create_symlink("/nowhere/at/all", tmp / "d/dangling");
    vfs_stat_rec st{};
    ASSERT_EQ(vfs_stat(m, "/d/a.txt", &st), 0);
    EXPECT_EQ(st.kind, VFS_K_FILE);
    EXPECT_EQ(st.size, 5u);
    EXPECT_EQ(st.nlink, 1u);
    EXPECT_EQ(st.owner, 0u);
    EXPECT_EQ(st.group, 0u);
    EXPECT_GT(st.mtime.sec, 1500000000);
    ASSERT_EQ(vfs_stat(m, "/d/inner", &st), 0);
    EXPECT_EQ(st.kind, VFS_K_DIR);
    EXPECT_EQ(st.nlink, 2u);
    vfs_ioc_stat ls{"/d/link", &st};
    ASSERT_EQ(vfs_ioctl(m, VFS_IOC_LSTAT, &ls, 8), 0);
    EXPECT_EQ(st.kind, VFS_K_LINK);
    EXPECT_EQ(fail_code(vfs_stat(m, "/nope", &st)), PAL_ENOENT);

    vfs_dirent de{};
    ASSERT_EQ(vfs_dirent_of(m, "/d/link", &de), 0);
    EXPECT_STREQ(de.name, "link");
    EXPECT_STREQ(de.link, "a.txt");
    EXPECT_EQ(de.st.kind, VFS_K_FILE | VFS_K_LINK);
    EXPECT_EQ(de.st.size, 5u);
    EXPECT_EQ(de.st.id, pal_crc64(0, "link", 4));
    ASSERT_EQ(vfs_dirent_of(m, "/d/inner", &de), 0);
    EXPECT_EQ(de.st.kind, VFS_K_DIR);
    EXPECT_EQ(de.link[0], 0);

    vfs_dir *d = vfs_opendir(m, "/d/");
    ASSERT_NE(d, nullptr) << vfs_strerror(m);
    std::map<std::string, vfs_dirent> seen;
    while (vfs_dirent *e = vfs_readdir(d))
        seen[e->name] = *e;
    EXPECT_EQ(vfs_closedir(d), 0);
    ASSERT_EQ(seen.size(), 5u) << "\".\" and \"..\" are not entries";
    for (auto &[name, e] : seen) {  // scanned entries carry their mark
        EXPECT_TRUE(e.st.kind & VFS_K_SCAN) << name;
        EXPECT_EQ(e.st.id, pal_crc64(0, name.data(), name.size())) << name;
    }
    EXPECT_EQ(seen["a.txt"].st.kind, VFS_K_FILE | VFS_K_SCAN);
    EXPECT_EQ(seen["name with space ü.txt"].st.size, 2u);
    EXPECT_EQ(seen["inner"].st.kind, VFS_K_DIR | VFS_K_SCAN);
    EXPECT_EQ(seen["inner"].st.nlink, 2u);
    EXPECT_EQ(seen["link"].st.kind, VFS_K_FILE | VFS_K_LINK | VFS_K_SCAN);
    EXPECT_STREQ(seen["link"].link, "a.txt");
    EXPECT_EQ(seen["dangling"].st.kind, VFS_K_LINK | VFS_K_SCAN);
    EXPECT_STREQ(seen["dangling"].link, "/nowhere/at/all");
    // Names only: the same entries, the kinds the directory knows, no status read.
    d = vfs_opendir(m, "/d/");
    ASSERT_NE(d, nullptr);
    std::map<std::string, vfs_dirent> names;
    while (vfs_dirent *e = vfs_readname(d))
        names[e->name] = *e;
    EXPECT_EQ(vfs_closedir(d), 0);
    ASSERT_EQ(names.size(), seen.size());
    EXPECT_EQ(names["a.txt"].st.kind, VFS_K_FILE | VFS_K_SCAN);
    EXPECT_EQ(names["a.txt"].st.size, 0u);
    EXPECT_EQ(names["inner"].st.kind, VFS_K_DIR | VFS_K_SCAN);
    EXPECT_EQ(names["dangling"].st.kind, VFS_K_LINK | VFS_K_SCAN);
    EXPECT_EQ(fail_code(vfs_opendir(m, "/d/a.txt")), PAL_ENOTDIR);
}

TEST_F(VfsFile, DirectoryDeletedWhileListed) {
    for (int i = 0; i < 50; i++)
        vfs_test_write(tmp / pal_format("gone/f%02d", i), "x");
    vfs_dir *d = vfs_opendir(m, "/gone");
    ASSERT_NE(d, nullptr);
    ASSERT_NE(vfs_readdir(d), nullptr);
    fs::remove_all(tmp / "gone");
    int more = 0;
    while (vfs_readdir(d) && more < 1000)
        more++;
    EXPECT_LT(more, 1000);
    EXPECT_EQ(vfs_closedir(d), 0);
    EXPECT_EQ(vfs_opendir(m, "/gone"), nullptr);
}

// Large directories take the status of their entries in batches, partly on a helper
// thread: every entry must still come with its own status, also when several listings
// run at once.
TEST_F(VfsFile, LargeDirectoriesKeepEachEntrysStatus) {
    constexpr int N = 2500;
    fs::create_directories(tmp / "big");
    for (int i = 0; i < N; i++) {
        fs::path p = tmp / pal_format("big/f%04d", i);
        vfs_test_write(p, "");
        fs::resize_file(p, static_cast<uintmax_t>(i));
    }
    auto check = [&](std::string *fault) {  // each listing on its own mount, as sessions
        vfs_mount *own = vfs_mount2(tmp.str().c_str(), nullptr);
        vfs_dir *d = own ? vfs_opendir(own, "/big") : nullptr;
        if (!d) {
            *fault = "opendir failed";
            if (own)
                (void)vfs_umount(own);
            return;
        }
        std::vector<int> seen(N, 0);
        while (vfs_dirent *e = vfs_readdir(d)) {
            int i = std::atoi(e->name + 1);
            if (e->st.size != static_cast<uint64_t>(i))
                *fault = pal_format("%s has size %llu", e->name,
                                    static_cast<unsigned long long>(e->st.size));
            seen[i]++;
        }
        (void)vfs_closedir(d);
        (void)vfs_umount(own);
        for (int i = 0; i < N; i++)
            if (seen[i] != 1)
                *fault = pal_format("f%04d seen %d times", i, seen[i]);
    };
    std::vector<std::string> faults(4);
    std::vector<std::thread> listings;
    for (auto &f : faults)
        listings.emplace_back(check, &f);
    for (auto &t : listings)
        t.join();
    for (auto &f : faults)
        EXPECT_EQ(f, "");

}

TEST_F(VfsFile, MakeRemoveAndRename) {
    EXPECT_EQ(vfs_mkdir(m, "/new"), 0);
    EXPECT_TRUE(fs::is_directory(tmp / "new"));
    EXPECT_EQ(fail_code(vfs_mkdir(m, "/new")), PAL_EEXIST);
    vfs_test_write(tmp / "new/f", "1");
    EXPECT_EQ(fail_code(vfs_rmdir(m, "/new")), PAL_ENOTEMPTY);
    EXPECT_EQ(vfs_remove(m, "/new"), -1);
    EXPECT_EQ(vfs_remove(m, "/new/f"), 0);
    EXPECT_EQ(vfs_rmdir(m, "/new"), 0);
    EXPECT_FALSE(fs::exists(tmp / "new"));
    EXPECT_EQ(vfs_rmdir(m, "/"), -1) << "the root is never removed";

    vfs_test_write(tmp / "a", "A");
    vfs_test_write(tmp / "b", "B");
    EXPECT_EQ(fail_code(vfs_rename(m, "/a", "/b", false)), PAL_EEXIST);
    EXPECT_EQ(vfs_test_read(tmp / "b"), "B");
    EXPECT_EQ(vfs_rename(m, "/a", "/b", true), 0);
    EXPECT_EQ(vfs_test_read(tmp / "b"), "A");
    EXPECT_FALSE(fs::exists(tmp / "a"));
    EXPECT_EQ(vfs_rename(m, "/b", "/c", false), 0);
    EXPECT_EQ(vfs_test_read(tmp / "c"), "A");
    EXPECT_EQ(fail_code(vfs_rename(m, "/missing", "/d", true)), PAL_ENOENT);
}

TEST_F(VfsFile, OtherControlCodes) {
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_NOP, nullptr, 0), 0);
    vfs_statfs sf{};
    vfs_ioc_statfs sa{"/", &sf};
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_STATFS, &sa, 8), 0);
    EXPECT_GT(sf.total, 0u);
    EXPECT_LE(sf.free, sf.total);
    vfs_volinfo vi{};
    vfs_ioc_volinfo va{"/", &vi};
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_VOLINFO, &va, 8), 0);
    EXPECT_STREQ(vi.root, (tmp.str() + "/").c_str());
    EXPECT_STRNE(vi.fs_name, "");
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_TOUCH, const_cast<char *>("/touched"), -1), 0);
    EXPECT_TRUE(fs::is_regular_file(tmp / "touched"));
    vfs_ioc_mkdir mk{"/m2", 0700};
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_MKDIR2, &mk, 8), 0);
    EXPECT_EQ(fs::status(tmp / "m2").permissions() & fs::perms::all, fs::perms::owner_all);
    vfs_ioc_access ac{"/touched", 4};
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_ACCESS, &ac, 8), 0);
    ac.path = "/none";
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_ACCESS, &ac, 8), -1);
    for (int c : {34, 35, 36}) {
        EXPECT_EQ(fail_code(vfs_ioctl(m, c, nullptr, 0)), PAL_ENOTSUP) << c;
        EXPECT_STREQ(vfs_strerror(m), "Not supported.");
    }
    EXPECT_EQ(vfs_ioctl(m, 9999, nullptr, 0), -1);
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_MKDIR, nullptr, -1), -1);
    char cwd[VFS_PATH_MAX];
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_GETCWD, cwd, sizeof cwd), 0);
    EXPECT_EQ(cwd[0], '/');
}

TEST_F(VfsFile, MountOptions) {
    mount("?flags=readonly");
    vfs_test_write(tmp / "ro.txt", "keep");
    EXPECT_EQ(fail_code(vfs_open(m, "/ro.txt", VFS_O_UPLOAD)), PAL_EACCES);
    EXPECT_EQ(vfs_mkdir(m, "/x"), -1);
    EXPECT_EQ(vfs_remove(m, "/ro.txt"), -1);
    EXPECT_EQ(vfs_rename(m, "/ro.txt", "/y", true), -1);
    vfs_file *f = vfs_open(m, "/ro.txt", VFS_O_DOWNLOAD);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(vfs_close(f), 0);
    // The last access word wins; unknown words are only logged.
    mount("?flags=readonly,RW-sync.bogus&read_timeout=3");
    EXPECT_EQ(vfs_mkdir(m, "/x"), 0);
    mount("?flags=direct");
    EXPECT_TRUE(vfs_test_put(m, "/direct.txt", "abc"));
    EXPECT_EQ(vfs_test_read(tmp / "direct.txt"), "abc");

    std::string msg;
    EXPECT_EQ(vfs_test_mount_error(tmp.str() + "?flags=vss"), PAL_ENOTSUP);
    EXPECT_EQ(vfs_test_mount_error(tmp.str() + "/does/not/exist"), PAL_ENOENT);
    EXPECT_EQ(vfs_test_mount_error(""), PAL_EINVAL);
    EXPECT_EQ(vfs_test_mount_error("///session", &msg), PAL_EINVAL);
    EXPECT_EQ(msg, "url_conf_2_real [///session] failed\n");
}

TEST_F(VfsFile, FileUrlsAndParallelSessions) {
    vfs_test_write(tmp / "dir x/f.txt", "url");
    std::string url = "file://" + tmp.str() + "/dir%20x?rcache_size=64k";
    vfs_mount *um = vfs_mount2(url.c_str(), nullptr);
    ASSERT_NE(um, nullptr);
    vfs_stat_rec st{};
    EXPECT_EQ(vfs_stat(um, "/f.txt", &st), 0);
    EXPECT_EQ(vfs_umount(um), 0);

    // Sessions run side by side, each on its own mount.
    std::vector<std::thread> ts;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; t++) {
        ts.emplace_back([&, t] {
            vfs_mount *sm = vfs_mount2(tmp.str().c_str(), nullptr);
            std::string name = pal_format("/s%d.txt", t);
            char cwd[VFS_PATH_MAX] = "/";
            for (int i = 0; i < 100 && sm; i++) {
                if (!vfs_test_put(sm, name.c_str(), "abc"))
                    bad++;
                if (vfs_chdir(sm, cwd, "dir x") != 0 || vfs_chdir(sm, cwd, "..") != 0)
                    bad++;
            }
            if (!sm || vfs_umount(sm) != 0)
                bad++;
        });
    }
    for (auto &th : ts)
        th.join();
    EXPECT_EQ(bad.load(), 0);
}

// Mounts of one root share its descriptor (sessions x 1, not x 2); a root replaced since
// is served as it is now.
TEST_F(VfsFile, MountsOfOneRootShareItsDescriptor) {
    auto fds = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    std::string root = (tmp / "shared").string();
    vfs_test_write(tmp / "shared/old.txt", "o");
    vfs_mount *a = vfs_mount2(root.c_str(), nullptr);
    ASSERT_NE(a, nullptr);
    auto with_one = fds();
    std::vector<vfs_mount *> more;
    for (int i = 0; i < 20; i++)
        more.push_back(vfs_mount2(root.c_str(), nullptr));
    EXPECT_EQ(fds(), with_one);
    fs::rename(tmp / "shared", tmp / "shared.old");
    vfs_test_write(tmp / "shared/new.txt", "n");
    vfs_mount *b = vfs_mount2(root.c_str(), nullptr);
    ASSERT_NE(b, nullptr);
    vfs_stat_rec st{};
    EXPECT_EQ(vfs_stat(b, "/new.txt", &st), 0);
    EXPECT_EQ(vfs_stat(a, "/old.txt", &st), 0);  // the older mounts keep what they had
    for (vfs_mount *m : more)
        EXPECT_EQ(vfs_umount(m), 0);
    EXPECT_EQ(vfs_umount(b), 0);
    EXPECT_EQ(vfs_umount(a), 0);
    EXPECT_EQ(fds(), with_one - 1);
}

// Unmounting closes what is left open; the stale handles are then refused.
TEST_F(VfsFile, UnmountClosesLeftoversAndStaleHandlesAreRefused) {
    vfs_test_write(tmp / "s.txt", "x");
    for (int i = 0; i < 40; i++)
        ASSERT_NE(vfs_open(m, "/s.txt", VFS_O_DOWNLOAD), nullptr);
    vfs_file *f = vfs_open(m, "/s.txt", VFS_O_DOWNLOAD);
    vfs_dir *d = vfs_opendir(m, "/");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(vfs_umount(m), 0);
    char c;
    EXPECT_EQ(vfs_pread(f, &c, 1, 0), -1);
    EXPECT_EQ(vfs_close(f), -1);
    EXPECT_EQ(vfs_readdir(d), nullptr);
    EXPECT_EQ(vfs_closedir(d), -1);
    EXPECT_STREQ(vfs_strerror(f), "invalid handle error");
    EXPECT_EQ(vfs_umount(m), -1);
    m = nullptr;
}

TEST_F(VfsFile, BackslashRootServesTheWholeSystem) {
    vfs_test_write(tmp / "deep/f.txt", "root");
    vfs_mount *all = vfs_mount2("\\", nullptr);
    ASSERT_NE(all, nullptr);
    std::string p = tmp.str() + "\\deep\\f.txt";
    vfs_stat_rec st{};
    EXPECT_EQ(vfs_stat(all, p.c_str(), &st), 0) << vfs_strerror(all);
    EXPECT_EQ(st.size, 4u);
    char cwd[VFS_PATH_MAX] = "/";
    EXPECT_EQ(vfs_chdir(all, cwd, tmp.str().c_str()), 0);
    EXPECT_EQ(std::string(cwd), tmp.str());
    EXPECT_EQ(vfs_umount(all), 0);
}

TEST_F(VfsFile, BadInputNeverCrashes) {
    std::string p4095 = "/" + std::string(4094, 'n');
    std::string p5000 = "/" + std::string(4999, 'n');
    std::string deep;
    while (deep.size() < 4090)
        deep += "/d";
    for (const std::string &p : {p4095, p5000, deep}) {
        EXPECT_EQ(vfs_open(m, p.c_str(), VFS_O_DOWNLOAD), nullptr);
        EXPECT_LT(code(), 0);
        EXPECT_EQ(vfs_mkdir(m, p.c_str()), -1);
        EXPECT_EQ(vfs_opendir(m, p.c_str()), nullptr);
        EXPECT_STRNE(vfs_strerror(m), "Success.");  // the failure left its reason
    }
    EXPECT_EQ(fail_code(vfs_mkdir(m, p5000.c_str())), PAL_ENAMETOOLONG);
    // An embedded NUL ends the name: nothing after it is seen.
    EXPECT_TRUE(vfs_test_put(m, "/ok\0/../../etc", "nul"));
    EXPECT_EQ(vfs_test_read(tmp / "ok"), "nul");
    // Names are bytes: non-UTF-8 and mixed separators are served as they are.
    EXPECT_EQ(vfs_mkdir(m, "\\mix/ed\xff\xfe"), -1);
    EXPECT_EQ(vfs_mkdir(m, "\\mix"), 0);
    EXPECT_EQ(vfs_mkdir(m, "mix\\ed\xff\xfe"), 0);
    EXPECT_TRUE(fs::is_directory(tmp / "mix" / "ed\xff\xfe"));
    // Invalid handles.
    EXPECT_EQ(vfs_open(nullptr, "/x", VFS_O_DOWNLOAD), nullptr);
    EXPECT_EQ(vfs_open(m, nullptr, VFS_O_DOWNLOAD), nullptr);
    EXPECT_STREQ(vfs_strerror(nullptr), "invalid handle error");
    int junk[4] = {1, 2, 3, 4};
    EXPECT_STREQ(vfs_strerror(junk), "invalid handle error");
    EXPECT_EQ(vfs_pread(nullptr, junk, 4, 0), -1);
    EXPECT_EQ(vfs_file_fd(nullptr), -1);
    EXPECT_EQ(vfs_mkdir(nullptr, "/x"), -1);
}
