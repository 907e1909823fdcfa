// vfs_path_test.cpp - lexical path resolution, session directory changes, the entry-id CRC.
#include "vfs.h"
#include "vfs_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

static std::string resolve(const char *cwd, const char *path) {
    char out[VFS_PATH_MAX];
    EXPECT_EQ(vfs_path_resolve(cwd, path, out, sizeof out), 0) << cwd << " + " << path;
    return out;
}

TEST(VfsPathResolve, DotsSeparatorsAndRoot) {
    const char *const cases[][3] = {  // directory, path, result
        {"/", ".", "/"}, {"/", "..", "/"}, {"/", "../../..", "/"}, {"/", "/", "/"},
        {"/a/b", ".", "/a/b"}, {"/a/b", "..", "/a"}, {"/a/b", "..//x/", "/a/x"},
        {"/a/b", "../../../../x", "/x"}, {"/a", "sub", "/a/sub"},
        {"/a", "/abs//path/", "/abs/path"},
        {"/a", "x/./y/../z", "/a/x/z"}, {"/a//b/", "c", "/a/b/c"}, {"/a", "\\b\\c", "/b/c"},
        {"/a", "b\\..\\c", "/a/c"}, {"/", "dir with space/ü.txt", "/dir with space/ü.txt"},
        {"/", "...", "/..."}, {"/", ".hidden/..x", "/.hidden/..x"}};
    for (const auto &[cwd, path, want] : cases)
        EXPECT_EQ(resolve(cwd, path), want);
}

TEST(VfsPathResolve, TooLongAndBadArguments) {
    char out[VFS_PATH_MAX];
    std::string longp(5000, 'a');
    EXPECT_EQ(vfs_path_resolve("/", longp.c_str(), out, sizeof out), PAL_ENAMETOOLONG);
    EXPECT_STREQ(out, "");
    std::string fits = "/" + std::string(4094, 'b');
    EXPECT_EQ(vfs_path_resolve("/", fits.c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::strlen(out), 4095u);
    EXPECT_EQ(vfs_path_resolve(nullptr, "/", out, sizeof out), PAL_EINVAL);
    EXPECT_EQ(vfs_path_resolve("/", nullptr, out, sizeof out), PAL_EINVAL);
    char small[4];
    EXPECT_EQ(vfs_path_resolve("/", "abcd", small, sizeof small), PAL_ENAMETOOLONG);
}

TEST(VfsCrc64, RedisCheckValue) {
    EXPECT_EQ(pal_crc64(0, "123456789", 9), 0xe9c6d914c4b8d9caULL);
    EXPECT_EQ(pal_crc64(0, "", 0), 0u);
    // Continuing a sum gives the same result as one pass.
    EXPECT_EQ(pal_crc64(pal_crc64(0, "1234", 4), "56789", 5), 0xe9c6d914c4b8d9caULL);
}

class VfsChdir : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tmp / "a/b");
        fs::create_directories(tmp / "x");
        vfs_test_write(tmp / "a/file.txt", "data");
        m = vfs_mount2(tmp.str().c_str(), nullptr);
        ASSERT_NE(m, nullptr);
        std::strcpy(cwd, "/");
    }
    void TearDown() override { EXPECT_EQ(vfs_umount(m), 0); }
    int cd(const char *p) { return vfs_chdir(m, cwd, p); }

    vfs_tmpdir tmp;
    vfs_mount *m = nullptr;
    char cwd[VFS_PATH_MAX];
};

TEST_F(VfsChdir, MovesThroughTheTreeLexically) {
    const char *const steps[][2] = {  // path, directory after it
        {".", "/"}, {"..", "/"}, {"a", "/a"}, {"b/", "/a/b"}, {"..//..//x/", "/x"},
        {"/a//b", "/a/b"}, {"/", "/"}, {"\\a\\b", "/a/b"}};
    for (const auto &[path, want] : steps) {
        EXPECT_EQ(cd(path), 0) << path;
        EXPECT_STREQ(cwd, want) << path;
    }
}

// A file gives -126 (not a directory); no failure moves the directory.
TEST_F(VfsChdir, FailuresKeepTheDirectory) {
    ASSERT_EQ(cd("/a"), 0);
    EXPECT_EQ(cd("file.txt"), -1);
    EXPECT_EQ(vfs_lasterr(m)->code, -126);  // PAL_ENOTDIR
    EXPECT_EQ(cd("missing"), -1);
    EXPECT_EQ(vfs_lasterr(m)->code, PAL_ENOENT);
    EXPECT_STRNE(vfs_strerror(m), "");
    EXPECT_EQ(cd(std::string(4095, 'q').c_str()), -1);
    EXPECT_EQ(cd(std::string(5000, 'q').c_str()), -1);
    EXPECT_EQ(vfs_lasterr(m)->code, PAL_ENAMETOOLONG);
    EXPECT_STREQ(cwd, "/a");
}

TEST_F(VfsChdir, RealpathNeverTouchesTheDisk) {
    char out[VFS_PATH_MAX];
    EXPECT_EQ(vfs_realpath(m, "/a", "nothere/../b", out), 0);
    EXPECT_STREQ(out, "/a/b");
    EXPECT_EQ(vfs_realpath(m, "/", "..", out), 0);
    EXPECT_STREQ(out, "/");
    EXPECT_EQ(vfs_realpath(m, "/", std::string(5000, 'z').c_str(), out), -1);
    EXPECT_EQ(vfs_lasterr(m)->code, PAL_ENAMETOOLONG);
}
