// vfs_cache_test.cpp - the read cache, observed through a fake driver that records every
// read the core makes, and over real files that change while they are read.
#include "vfs.h"
#include "vfs_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {
using reads_t = std::vector<std::pair<int64_t, int64_t>>;
struct fake_file {
    std::string data;
    reads_t reads;
    bool fail = false;
};
fake_file g_fake;

int64_t fake_read(void *, void *buf, size_t len, int64_t off) {
    g_fake.reads.emplace_back(off, static_cast<int64_t>(len));
    if (g_fake.fail)
        return -1;
    if (off < 0 || static_cast<size_t>(off) >= g_fake.data.size())
        return 0;
    size_t n = std::min(len, g_fake.data.size() - static_cast<size_t>(off));
    std::memcpy(buf, g_fake.data.data() + off, n);
    return static_cast<int64_t>(n);
}

// Serves "fake:" URLs; the entries left out are not needed for downloads.
const vfs_drv fake_drv = {
    .kind = 9, .name = "fake",
    .probe = [](const char *url) { return std::strncmp(url, "fake:", 5) == 0 ? 0 : -1; },
    .mount = [](const char *, int, vfs_err *, vfs_mount *) -> void * { return &g_fake; },
    .umount = [](void *) { return 0; },
    .open = [](void *ctx, const char *, unsigned) { return ctx; },
    .close = [](void *) { return 0; },
    .read = fake_read,
    .fstat = [](void *, vfs_stat_rec *st) {
        *st = {};
        st->kind = VFS_K_FILE;
        st->size = g_fake.data.size();
        return 0;
    },
};

constexpr int64_t KiB = 1024, MiB = 1024 * 1024;
}  // namespace

class VfsReadCache : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(libvfs_init(), 0);
        ASSERT_EQ(vfs_add_drv(&fake_drv), 0);
    }
    void SetUp() override { open_fake("fake:x?rcache_size=1M", 3 * MiB); }
    void TearDown() override { EXPECT_EQ(vfs_umount(m), 0); }
    void open_fake(const char *url, int64_t size) {
        if (m) {
            EXPECT_EQ(vfs_umount(m), 0);
        }
        g_fake = {};
        g_fake.data = vfs_test_pattern(static_cast<size_t>(size));
        m = vfs_mount2(url, nullptr);
        ASSERT_NE(m, nullptr);
        f = vfs_open(m, "/x", VFS_O_DOWNLOAD);
        ASSERT_NE(f, nullptr);
    }
    // Reads len bytes at off and checks them against the pattern.
    int64_t rd(int64_t len, int64_t off) {
        std::string buf(static_cast<size_t>(len), '\0');
        int64_t n = vfs_pread(f, buf.data(), buf.size(), off);
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

TEST_F(VfsReadCache, SequentialReadsBecomeOneDriverRead) {
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(rd(64 * KiB, i * 64 * KiB), 64 * KiB);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}}));
    EXPECT_EQ(rd(64 * KiB, MiB), 64 * KiB);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}, {MiB, MiB}}));

    // Reads that cross the window's edge refill it from where they start.
    open_fake("fake:x?rcache_size=1M", 3 * MiB);
    for (int64_t off = 0; off < 1100000; off += 100000)
        EXPECT_EQ(rd(100000, off), 100000);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}, {MiB, MiB}}));
}

TEST_F(VfsReadCache, UnrelatedOffsetsAndLargeReads) {
    EXPECT_EQ(rd(64 * KiB, 0), 64 * KiB);
    EXPECT_EQ(rd(64 * KiB, 2 * MiB), 64 * KiB);
    EXPECT_EQ(rd(64 * KiB, 64 * KiB), 64 * KiB);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, MiB}, {2 * MiB, MiB}, {64 * KiB, MiB}}));

    // A read at least as large as the cache goes to the driver as it is.
    open_fake("fake:x?rcache_size=1M", 3 * MiB);
    EXPECT_EQ(rd(2 * MiB, 0), 2 * MiB);
    EXPECT_EQ(rd(MiB, 2 * MiB), MiB);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 2 * MiB}, {2 * MiB, MiB}}));

    g_fake.fail = true;
    EXPECT_EQ(rd(16, 0), -1) << "a failing driver read fails the read";
}

TEST_F(VfsReadCache, ShortFileAndGrowthAfterTheFirstRead) {
    open_fake("fake:x?rcache_size=1M", 100 * KiB);
    EXPECT_EQ(rd(64 * KiB, 0), 64 * KiB);
    g_fake.data = vfs_test_pattern(300 * KiB);
    EXPECT_EQ(rd(64 * KiB, 64 * KiB), 36 * KiB);
    EXPECT_EQ(rd(64 * KiB, 100 * KiB), 0) << "the size was taken when the cache was made";
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 100 * KiB}}));
    // Reads as large as the cache see the file as it is now.
    EXPECT_EQ(rd(MiB, 100 * KiB), 200 * KiB);
}

TEST_F(VfsReadCache, NoCacheWithoutSizeNorForUploads) {
    open_fake("fake:x", 200 * KiB);
    EXPECT_EQ(rd(10, 0), 10);
    EXPECT_EQ(rd(10, 10), 10);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 10}, {10, 10}}));
    open_fake("fake:x?rcache_size=1M&wcache_size=64k", 200 * KiB);
    ASSERT_EQ(vfs_close(f), 0);
    f = vfs_open(m, "/x", VFS_O_UPLOAD);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(rd(10, 0), 10);
    EXPECT_EQ(g_fake.reads, (reads_t{{0, 10}}));
}

TEST(VfsReadCacheFile, FileTruncatedUnderTheCache) {
    vfs_tmpdir tmp;
    std::string data = vfs_test_pattern(3 * MiB);
    vfs_test_write(tmp / "big", data);
    vfs_mount *m = vfs_mount2((tmp.str() + "?rcache_size=1M").c_str(), nullptr);
    ASSERT_NE(m, nullptr);
    vfs_file *f = vfs_open(m, "/big", VFS_O_DOWNLOAD);
    ASSERT_NE(f, nullptr);
    std::string buf(64 * KiB, '\0');
    ASSERT_EQ(vfs_pread(f, buf.data(), buf.size(), 0), 64 * KiB);
    EXPECT_EQ(buf, data.substr(0, buf.size()));
    fs::resize_file(tmp / "big", 100 * KiB);
    // The window still holds the old bytes; past it, the truncated file just ends.
    EXPECT_EQ(vfs_pread(f, buf.data(), buf.size(), 64 * KiB), 64 * KiB);
    EXPECT_EQ(vfs_pread(f, buf.data(), buf.size(), MiB), 0);
    EXPECT_EQ(vfs_pread(f, buf.data(), buf.size(), 2 * MiB + 5), 0);
    EXPECT_EQ(vfs_close(f), 0);
    EXPECT_EQ(vfs_umount(m), 0);
}
