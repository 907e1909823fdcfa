// vfs_cache_test.cpp - the read cache, observed through a fake driver that records every
// read the core makes, and over real files that change while they are read.
#include "vfs.h"
#include "vfs_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {
struct fake_file {
    std::string data;
    std::vector<std::pair<int64_t, size_t>> reads;
    bool fail = false;
};
fake_file g_fake;

int fake_probe(const char *url) { return std::strncmp(url, "fake:", 5) == 0 ? 0 : -1; }
void *fake_mount(const char *, int, vfs_err *, vfs_mount *) { return &g_fake; }
int fake_umount(void *) { return 0; }
void *fake_open(void *ctx, const char *, unsigned) { return ctx; }
int fake_close(void *) { return 0; }
int64_t fake_read(void *, void *buf, size_t len, int64_t off) {
    g_fake.reads.emplace_back(off, len);
    if (g_fake.fail)
        return -1;
    if (off < 0 || static_cast<size_t>(off) >= g_fake.data.size())
        return 0;
    size_t n = std::min(len, g_fake.data.size() - static_cast<size_t>(off));
    std::memcpy(buf, g_fake.data.data() + off, n);
    return static_cast<int64_t>(n);
}
int fake_fstat(void *, vfs_stat_rec *st) {
    *st = {};
    st->kind = VFS_K_FILE;
    st->size = g_fake.data.size();
    return 0;
}

const vfs_drv fake_drv = {
    .kind = 9, .name = "fake", .init = nullptr, .exit = nullptr, .probe = fake_probe,
    .mount = fake_mount, .umount = fake_umount, .statfs = nullptr, .reserved = nullptr,
    .open = fake_open, .wopen = nullptr, .open2 = nullptr, .close = fake_close,
    .read = fake_read, .write = nullptr, .fsync = nullptr, .ftruncate = nullptr,
    .futime = nullptr, .flock = nullptr, .lseek = nullptr, .fstat = fake_fstat,
    .opendir = nullptr, .readdir = nullptr, .seekdir = nullptr, .telldir = nullptr,
    .closedir = nullptr, .ioctl = nullptr,
};
}  // namespace

constexpr size_t KiB = 1024, MiB = 1024 * 1024;

class VfsReadCache : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(libvfs_init(), 0);
        ASSERT_EQ(vfs_add_drv(&fake_drv), 0);
    }
    void SetUp() override { open_fake("fake:x?rcache_size=1M", 3 * MiB); }
    void TearDown() override { EXPECT_EQ(vfs_umount(m), 0); }
    void open_fake(const char *url, size_t size) {
        if (m) {
            EXPECT_EQ(vfs_umount(m), 0);
        }
        g_fake = {};
        g_fake.data = vfs_test_pattern(size);
        m = vfs_mount2(url, nullptr);
        ASSERT_NE(m, nullptr);
        f = vfs_open(m, "/x", VFS_O_DOWNLOAD);
        ASSERT_NE(f, nullptr);
    }
    // Reads len bytes at off and checks them against the pattern.
    int64_t rd(size_t len, int64_t off) {
        std::string buf(len, '\0');
        int64_t n = vfs_pread(f, buf.data(), len, off);
        if (n > 0) {
            EXPECT_EQ(buf.substr(0, static_cast<size_t>(n)),
                      g_fake.data.substr(static_cast<size_t>(off), static_cast<size_t>(n)))
                << "at " << off;
        }
        return n;
    }

    vfs_mount *m = nullptr;
    vfs_file *f = nullptr;
};

using reads_t = std::vector<std::pair<int64_t, size_t>>;

TEST_F(VfsReadCache, SequentialReadsBecomeOneDriverRead) {
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(rd(64 * KiB, i * 64 * KiB), static_cast<int64_t>(64 * KiB));
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}}));
    EXPECT_EQ(rd(64 * KiB, MiB), static_cast<int64_t>(64 * KiB));
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}, {MiB, MiB}}));
}

TEST_F(VfsReadCache, ReadsAcrossTheWindowEdge) {
    int64_t off = 0;
    for (int i = 0; i < 11; i++, off += 100000)
        EXPECT_EQ(rd(100000, off), 100000);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}, {MiB, MiB}}));
}

TEST_F(VfsReadCache, UnrelatedOffsetEmptiesTheCache) {
    EXPECT_EQ(rd(64 * KiB, 0), static_cast<int64_t>(64 * KiB));
    EXPECT_EQ(rd(64 * KiB, 2 * MiB), static_cast<int64_t>(64 * KiB));
    EXPECT_EQ(rd(64 * KiB, 64 * KiB), static_cast<int64_t>(64 * KiB));
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}, {2 * MiB, MiB}, {64 * KiB, MiB}}));
}

TEST_F(VfsReadCache, LargeReadsBypassTheCache) {
    EXPECT_EQ(rd(2 * MiB, 0), static_cast<int64_t>(2 * MiB));
    EXPECT_EQ(rd(MiB, 2 * MiB), static_cast<int64_t>(MiB));
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 2 * MiB}, {2 * MiB, MiB}}));
}

TEST_F(VfsReadCache, ShortFileAndEnd) {
    open_fake("fake:x?rcache_size=1M", 100 * KiB);
    EXPECT_EQ(rd(64 * KiB, 0), static_cast<int64_t>(64 * KiB));
    EXPECT_EQ(rd(64 * KiB, 64 * KiB), static_cast<int64_t>(36 * KiB));
    EXPECT_EQ(rd(64 * KiB, 100 * KiB), 0);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 100 * KiB}}));
}

TEST_F(VfsReadCache, GrowthAfterTheFirstReadIsNotSeen) {
    open_fake("fake:x?rcache_size=1M", 100 * KiB);
    EXPECT_EQ(rd(64 * KiB, 0), static_cast<int64_t>(64 * KiB));
    g_fake.data = vfs_test_pattern(300 * KiB);
    EXPECT_EQ(rd(64 * KiB, 64 * KiB), static_cast<int64_t>(36 * KiB));
    EXPECT_EQ(rd(64 * KiB, 100 * KiB), 0) << "the size was taken when the cache was made";
    // Reads as large as the cache see the file as it is now.
    EXPECT_EQ(rd(MiB, 100 * KiB), static_cast<int64_t>(200 * KiB));
}

TEST_F(VfsReadCache, DriverFailureFailsTheRead) {
    g_fake.fail = true;
    char buf[16];
    EXPECT_EQ(vfs_pread(f, buf, sizeof buf, 0), -1);
}

TEST_F(VfsReadCache, NoCacheWithoutSize) {
    open_fake("fake:x", 200 * KiB);
    EXPECT_EQ(rd(10, 0), 10);
    EXPECT_EQ(rd(10, 10), 10);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 10}, {10, 10}}));
    // Uploads never get a read cache.
    open_fake("fake:x?rcache_size=1M&wcache_size=64k", 200 * KiB);
    ASSERT_EQ(vfs_close(f), 0);
    f = vfs_open(m, "/x", VFS_O_UPLOAD);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(rd(10, 0), 10);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 10}}));
}

TEST(VfsReadCacheFile, FileChangedUnderTheCache) {
    vfs_tmpdir tmp;
    std::string data = vfs_test_pattern(3 * MiB);
    vfs_test_write(tmp / "big", data);
    vfs_mount *m = vfs_mount2((tmp.str() + "?rcache_size=1M").c_str(), nullptr);
    ASSERT_NE(m, nullptr);
    vfs_file *f = vfs_open(m, "/big", VFS_O_DOWNLOAD);
    ASSERT_NE(f, nullptr);
    std::string buf(64 * KiB, '\0');
    ASSERT_EQ(vfs_pread(f, buf.data(), buf.size(), 0), static_cast<int64_t>(buf.size()));
    EXPECT_EQ(buf, data.substr(0, buf.size()));
    fs::resize_file(tmp / "big", 100 * KiB);
    // The window still holds the old bytes; past it, the truncated file just ends.
    int64_t n = vfs_pread(f, buf.data(), buf.size(), 64 * KiB);
    EXPECT_EQ(n, static_cast<int64_t>(buf.size()));
    n = vfs_pread(f, buf.data(), buf.size(), MiB);
    EXPECT_EQ(n, 0);
    n = vfs_pread(f, buf.data(), buf.size(), 2 * MiB + 5);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(vfs_close(f), 0);
    EXPECT_EQ(vfs_umount(m), 0);
}
