// vfs_confine_test.cpp - no path leaves the served root: "..", repeated separators and
// symbolic links that point outside, run once with the kernel's openat2 and once with the
// driver's own checked walk (what kernels without openat2 get).
#include "vfs.h"
#include "vfs_internal.h"
#include "vfs_test_util.h"

#include <gtest/gtest.h>

#include <set>

#include <sys/resource.h>

class VfsConfine : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        vfs_file_use_openat2(GetParam());
        // outside/ holds what must never be reached; root/ is served.
        vfs_test_write(tmp / "outside/secret.txt", "secret");
        fs::create_directories(tmp / "outside/odir");
        vfs_test_write(tmp / "root/in.txt", "inside");
        vfs_test_write(tmp / "root/sub/deep.txt", "deep");
        // A file of the same name inside the root: an escape that is clamped lands here.
        vfs_test_write(tmp / "root/secret.txt", "root copy");
        fs::create_directories(tmp / "root/odir");
        const std::string links[][2] = {  // target, link in root/
            {(tmp / "outside").string(), "abs_out"}, {"../outside/secret.txt", "rel_out"},
            {"/", "to_slash"}, {"..", "sub/up"}, {"../../..", "sub/upup"}, {"deep.txt", "sub/good"},
            {"/in.txt", "abs_in"}, {"../new.txt", "dangling_out"},
            {"/proc/self/root/etc/passwd", "magic"}};
        for (const auto &[target, link] : links)
            fs::create_symlink(target, tmp / "root" / link);
        m = vfs_mount2((tmp / "root").c_str(), nullptr);
        ASSERT_NE(m, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(vfs_umount(m), 0);
        vfs_file_use_openat2(true);
        // Whatever ran, nothing outside changed.
        EXPECT_EQ(vfs_test_read(tmp / "outside/secret.txt"), "secret");
        std::set<std::string> names;
        for (auto &e : fs::directory_iterator(tmp / "outside"))
            names.insert(e.path().filename().string());
        EXPECT_EQ(names, (std::set<std::string>{"secret.txt", "odir"}));
    }
    std::string read_all(const char *path) {
        vfs_file *f = vfs_open(m, path, VFS_O_DOWNLOAD);
        if (!f)
            return "<fail>";
        char buf[64];
        int64_t n = vfs_pread(f, buf, sizeof buf, 0);
        EXPECT_EQ(vfs_close(f), 0);
        return n < 0 ? "<fail>" : std::string(buf, static_cast<size_t>(n));
    }

    vfs_tmpdir tmp;
    vfs_mount *m = nullptr;
};

// "..", separators and links that point outside end at the root (an absolute link target
// is taken from the served root, which has no /outside); links inside keep working.
TEST_P(VfsConfine, ReadsStayInside) {
    const char *const reads[][2] = {
        {"../secret.txt", "root copy"}, {"/../../../secret.txt", "root copy"},
        {"//..//..//secret.txt", "root copy"}, {"\\..\\..\\secret.txt", "root copy"},
        {"sub/../../outside/secret.txt", "<fail>"}, {"/abs_out/secret.txt", "<fail>"},
        {"/rel_out", "<fail>"}, {"/to_slash/secret.txt", "root copy"},
        {"/sub/upup/secret.txt", "root copy"}, {"/sub/up/sub/up/secret.txt", "root copy"},
        {"/sub/up/up/up/secret.txt", "<fail>"},  // up is only in sub
        {"/magic", "<fail>"}, {"/sub/good", "deep"}, {"/abs_in", "inside"},
        {"/sub/up/in.txt", "inside"}};
    for (const auto &[path, want] : reads)
        EXPECT_EQ(read_all(path), want) << path;
    fs::create_symlink("loop_b", tmp / "root/loop_a");
    fs::create_symlink("loop_a", tmp / "root/loop_b");
    EXPECT_EQ(read_all("/loop_a"), "<fail>");
    EXPECT_EQ(vfs_lasterr(m)->code, PAL_ELOOP);
}

TEST_P(VfsConfine, StatAndDirectoryChangesStayInside) {
    vfs_stat_rec st{};
    EXPECT_EQ(vfs_stat(m, "/abs_out", &st), -1);
    EXPECT_EQ(vfs_stat(m, "/to_slash/odir", &st), 0);
    char cwd[VFS_PATH_MAX] = "/";
    EXPECT_EQ(vfs_chdir(m, cwd, "../../.."), 0);
    EXPECT_STREQ(cwd, "/");
    EXPECT_EQ(vfs_chdir(m, cwd, "abs_out/odir"), -1);
    EXPECT_STREQ(cwd, "/");
    EXPECT_EQ(vfs_chdir(m, cwd, "to_slash/sub"), 0);
    EXPECT_STREQ(cwd, "/to_slash/sub");
    vfs_dir *d = vfs_opendir(m, cwd);
    ASSERT_NE(d, nullptr);
    int n = 0;
    while (vfs_readdir(d))
        n++;
    EXPECT_EQ(n, 4);
    EXPECT_EQ(vfs_closedir(d), 0);
}

TEST_P(VfsConfine, WritesThroughLinksStayInside) {
    // Creating through a dangling link that names a file outside creates it inside.
    EXPECT_TRUE(vfs_test_put(m, "/dangling_out", "w")) << vfs_strerror(m);
    EXPECT_EQ(vfs_test_read(tmp / "root/new.txt"), "w");
    EXPECT_FALSE(fs::exists(tmp / "new.txt"));
    EXPECT_EQ(vfs_mkdir(m, "/abs_out/made"), -1);
    EXPECT_EQ(vfs_mkdir(m, "/to_slash/made"), 0);
    EXPECT_TRUE(fs::is_directory(tmp / "root/made"));
    EXPECT_EQ(vfs_remove(m, "/abs_out/secret.txt"), -1);
    EXPECT_EQ(vfs_remove(m, "/rel_out"), 0) << "removes the link, not its target";
    EXPECT_EQ(vfs_rename(m, "/in.txt", "/abs_out/stolen.txt", true), -1);
    EXPECT_EQ(vfs_rename(m, "/abs_out/secret.txt", "/stolen.txt", true), -1);
    EXPECT_EQ(vfs_rename(m, "/in.txt", "/to_slash/moved.txt", true), 0);
    EXPECT_EQ(vfs_test_read(tmp / "root/moved.txt"), "inside");
    vfs_ioc_mkdir mk{"/../../escape", 0700};
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_MKDIR2, &mk, 8), 0);
    EXPECT_TRUE(fs::is_directory(tmp / "root/escape"));
    EXPECT_FALSE(fs::exists(tmp / "escape"));
}

static std::string resolver_name(const ::testing::TestParamInfo<bool> &p) {
    return p.param ? "Openat2" : "CheckedWalk";
}
INSTANTIATE_TEST_SUITE_P(Resolver, VfsConfine, ::testing::Values(true, false), resolver_name);

namespace {
// Lowers the soft limit of open descriptors for one test and puts it back.
class nofile_limit {
public:
    explicit nofile_limit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &old_);
        rlimit lower = old_;
        lower.rlim_cur = soft;
        ok_ = setrlimit(RLIMIT_NOFILE, &lower) == 0;
    }
    ~nofile_limit() { setrlimit(RLIMIT_NOFILE, &old_); }
    nofile_limit(const nofile_limit &) = delete;
    nofile_limit &operator=(const nofile_limit &) = delete;
    bool ok() const { return ok_; }

private:
    rlimit old_{};
    bool ok_ = false;
};
}  // namespace

// The checked walk of a 200-level path, and of links at its bottom whose ".." climb back
// far (and past the root), works with 64 descriptors allowed: the walk holds only a few.
TEST(VfsWalk, DeepPathsNeedFewDescriptors) {
    vfs_tmpdir tmp;
    std::string mid, base;  // under the root: level 51 is named "mid", level 200 the bottom
    for (int level = 1; level <= 200; level++) {
        base += level == 51 ? "/mid" : "/d";
        if (level == 51)
            mid = base;
    }
    vfs_test_write(tmp / ("root" + mid + "/mid.txt"), "middle");
    vfs_test_write(tmp / ("root" + base + "/bottom.txt"), "bottom");
    vfs_test_write(tmp / "root/secret.txt", "root copy");
    std::string ups;
    for (int i = 0; i < 149; i++)
        ups += "../";
    fs::create_symlink(ups + "mid.txt", tmp / ("root" + base + "/up"));
    fs::create_symlink(ups + ups + "secret.txt", tmp / ("root" + base + "/far"));
    vfs_file_use_openat2(false);
    vfs_mount *m = vfs_mount2((tmp / "root").c_str(), nullptr);
    ASSERT_NE(m, nullptr);
    auto read = [m](const std::string &path) {
        vfs_file *f = vfs_open(m, path.c_str(), VFS_O_DOWNLOAD);
        if (!f)
            return std::string("<fail> ") + vfs_strerror(m);
        char buf[16];
        int64_t n = vfs_pread(f, buf, sizeof buf, 0);
        EXPECT_EQ(vfs_close(f), 0);
        return n < 0 ? std::string("<fail>") : std::string(buf, static_cast<size_t>(n));
    };
    std::string got[3];
    {
        nofile_limit limit(64);
        ASSERT_TRUE(limit.ok());
        got[0] = read(base + "/bottom.txt");
        got[1] = read(base + "/up");
        got[2] = read(base + "/far");
    }
    vfs_file_use_openat2(true);
    EXPECT_EQ(got[0], "bottom");
    EXPECT_EQ(got[1], "middle");
    EXPECT_EQ(got[2], "root copy");
    EXPECT_EQ(vfs_umount(m), 0);
}
