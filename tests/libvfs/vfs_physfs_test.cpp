// vfs_physfs_test.cpp - the archive driver over archives made by the test with Python's
// zipfile (and 7z when it is installed).
#include "vfs.h"
#include "vfs_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

// PhysicsFS 3.0 itself loses about 130 bytes when a file of a 7z archive is read, even
// after PHYSFS_close, PHYSFS_unmount and PHYSFS_deinit (a plain C program shows the same).
// The leak checker of the sanitizer build is told to pass over allocations made there.
extern "C" const char *__lsan_default_suppressions() { return "leak:libphysfs.so\n"; }

class VfsPhysfs : public ::testing::Test {
protected:
    // Writes a zip at rel holding name -> data pairs given as Python literals.
    fs::path make_zip(const std::string &rel, const std::string &py_entries) {
        fs::path zip = tmp / rel;
        fs::path script = tmp / "mk.py";
        vfs_test_write(script, "import sys, zipfile as zf\n"
                               "with zf.ZipFile(sys.argv[1], 'w', zf.ZIP_DEFLATED) as z:\n"
                               "    for n, d in " + py_entries + ":\n"
                               "        z.writestr(n, d)\n");
        // The system's interpreter starts faster than a wrapper found first on PATH.
        std::string py = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
        std::string cmd = py + " '" + script.string() + "' '" + zip.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return zip;
    }
    std::string read_at(vfs_mount *m, const char *path, size_t len, int64_t off) {
        vfs_file *f = vfs_open(m, path, VFS_O_DOWNLOAD);
        if (!f)
            return "<open fail>";
        std::string buf(len, '\0');
        int64_t n = vfs_pread(f, buf.data(), len, off);
        EXPECT_EQ(vfs_close(f), 0);
        return n < 0 ? "<read fail>" : buf.substr(0, static_cast<size_t>(n));
    }

    vfs_tmpdir tmp;
};

TEST_F(VfsPhysfs, TwoArchivesServedAtOnce) {
    fs::path a = make_zip("a.zip", "[('hello.txt', 'from a'), ('dir/x.txt', 'ax')]");
    fs::path b = make_zip("b.ZIP", "[('hello.txt', 'from b')]");
    // The same archive mounted twice is unmounted separately too.
    vfs_mount *ma = vfs_mount2(a.c_str(), nullptr), *mb = vfs_mount2(b.c_str(), nullptr);
    vfs_mount *ma2 = vfs_mount2(a.c_str(), nullptr);
    ASSERT_NE(ma, nullptr);
    ASSERT_NE(mb, nullptr);
    ASSERT_NE(ma2, nullptr);
    EXPECT_EQ(read_at(ma, "/hello.txt", 64, 0), "from a");
    EXPECT_EQ(read_at(mb, "hello.txt", 64, 0), "from b");
    EXPECT_EQ(read_at(ma, "/dir//x.txt", 64, 0), "ax");
    EXPECT_EQ(read_at(mb, "/dir/x.txt", 64, 0), "<open fail>") << "each mount sees its own";
    EXPECT_EQ(read_at(ma, "/../../hello.txt", 64, 0), "from a");
    EXPECT_EQ(vfs_umount(ma), 0);
    EXPECT_EQ(read_at(mb, "/hello.txt", 64, 0), "from b");
    EXPECT_EQ(read_at(ma2, "/hello.txt", 64, 0), "from a");
    EXPECT_EQ(vfs_umount(mb), 0);
    EXPECT_EQ(vfs_umount(ma2), 0);
}

TEST_F(VfsPhysfs, OffsetsSeekAndWhatIsNotSupported) {
    fs::path a = make_zip("o.zip", "[('big.bin', bytes(range(256)) * 400)]");
    vfs_mount *m = vfs_mount2(a.c_str(), nullptr);
    ASSERT_NE(m, nullptr);
    std::string bytes;
    for (int i = 0; i < 256; i++)
        bytes += static_cast<char>(i);
    EXPECT_EQ(read_at(m, "/big.bin", 4, 100), bytes.substr(100, 4));
    EXPECT_EQ(read_at(m, "/big.bin", 10, 256 * 399 + 250), bytes.substr(250, 6));  // the end

    vfs_file *f = vfs_open(m, "/big.bin", VFS_O_DOWNLOAD);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(vfs_lseek(f, 0, 2), -1);
    EXPECT_STREQ(vfs_strerror(f), "ony support whence==0");
    EXPECT_EQ(vfs_lseek(f, 1, 1), -1);
    EXPECT_EQ(vfs_lseek(f, 7, 0), 7);
    unsigned char c = 0;
    EXPECT_EQ(vfs_pread(f, &c, 1, -1), 1);
    EXPECT_EQ(c, 7);
    vfs_stat_rec st{};
    EXPECT_EQ(vfs_fstat(f, &st), -1);
    EXPECT_EQ(vfs_lasterr(f)->code, PAL_ENOTSUP);
    EXPECT_STREQ(vfs_strerror(f), "Not supported.");
    EXPECT_EQ(vfs_write(f, "x", 1), -1);
    EXPECT_EQ(vfs_file_fd(f), -1);  // no descriptor of its own: bytes go through vfs_pread
    EXPECT_EQ(vfs_close(f), 0);

    EXPECT_EQ(vfs_opendir(m, "/"), nullptr);
    EXPECT_EQ(vfs_lasterr(m)->code, -37);
    int caps = 0;
    EXPECT_EQ(vfs_ioctl(m, VFS_IOC_CAPS, &caps, 4), 0);
    EXPECT_EQ(caps, 1);
    EXPECT_EQ(vfs_mkdir(m, "/d"), -1);
    EXPECT_EQ(vfs_open(m, "/missing", VFS_O_DOWNLOAD), nullptr);
    EXPECT_EQ(vfs_lasterr(m)->code, -1);
    EXPECT_STRNE(vfs_strerror(m), "");
    EXPECT_EQ(vfs_umount(m), 0);
}

TEST_F(VfsPhysfs, CorruptAndTruncatedArchivesFail) {
    vfs_test_write(tmp / "junk.zip", std::string(4096, 'J'));
    std::string msg;
    EXPECT_EQ(vfs_test_mount_error(tmp.str() + "/junk.zip", &msg), -1);
    EXPECT_NE(msg, "");
    EXPECT_NE(vfs_test_mount_error(tmp.str() + "/missing.zip"), 0);
    fs::create_directories(tmp / "folder.zip");
    EXPECT_NE(vfs_test_mount_error(tmp.str() + "/folder.zip"), 0);
    vfs_err err{};

    fs::path good = make_zip("good.zip", "[('f.txt', 'x' * 5000), ('g.txt', 'y' * 5000)]");
    std::string bytes = vfs_test_read(good);
    for (size_t cut : {bytes.size() / 2, bytes.size() - 10, size_t{30}}) {
        vfs_test_write(tmp / "cut.zip", bytes.substr(0, cut));
        vfs_mount *m = vfs_mount2((tmp / "cut.zip").c_str(), &err);
        if (m) {  // the library may still find entries; reading them must not crash
            (void)read_at(m, "/f.txt", 6000, 0);
            EXPECT_EQ(vfs_umount(m), 0);
        } else {
            EXPECT_EQ(err.code, -1);
        }
    }
    // Damaged compressed data inside an intact directory fails the read, not the process.
    std::string broken = bytes;
    for (size_t i = 40; i < 200 && i < broken.size(); i++)
        broken[i] = static_cast<char>(~broken[i]);
    vfs_test_write(tmp / "broken.zip", broken);
    vfs_mount *m = vfs_mount2((tmp / "broken.zip").c_str(), &err);
    if (m) {
        EXPECT_NE(read_at(m, "/f.txt", 6000, 0), std::string(5000, 'x'));
        EXPECT_EQ(vfs_umount(m), 0);
    } else {
        EXPECT_EQ(err.code, -1);
    }
}

TEST_F(VfsPhysfs, SevenZipWhenAvailable) {
    if (std::system("command -v 7z >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "7z is not installed";
    vfs_test_write(tmp / "src/s.txt", "seven");
    std::string cmd = "cd '" + tmp.str() + "/src' && 7z a -bd '" + tmp.str() +
                      "/s.7z' s.txt >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    vfs_mount *m = vfs_mount2((tmp / "s.7z").c_str(), nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(read_at(m, "/s.txt", 16, 1), "even");
    EXPECT_EQ(vfs_umount(m), 0);
}
