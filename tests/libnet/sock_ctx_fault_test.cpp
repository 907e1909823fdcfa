// Tests of a pool worker that ends by a fault: only its connection ends, and the record and
// socket are given back so that the pool's count stays right. Skipped under the
// sanitizers, whose own fault handlers take the fault first.
#include "net_test_util.h"

#include <gtest/gtest.h>

namespace {
std::atomic<int> g_fault_hooks{0};
int *volatile g_nowhere = nullptr;  // volatile: the compiler cannot see that it is null

// Echoes lines until the peer closes; the line "fault" reads through a null pointer.
int faulting_worker(sock_ctx *c) {
    c->stream.timeout_ms = 20000;
    char line[64];
    int n;
    while ((n = net_gets(&c->stream, line, sizeof(line))) > 0) {
        if (std::string(line, static_cast<size_t>(n)) == "fault")
            n = *g_nowhere;
        (void)net_write(&c->stream, line, n);
    }
    sock_tcp_ctx_close(c->pool, c);
    return 0;
}

void fault_hook(sock_ctx *) {
    g_fault_hooks++;
}
}  // namespace

TEST(SockPoolFault, FaultingWorkerEndsOnlyItsConnectionAndGivesItsRecordBack) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own fault handler takes the fault";
#endif
    pl_init();  // arms crash handling
    ASSERT_TRUE(os_panic_armed());
    g_fault_hooks = 0;
    log_capture cap;
    sock_ctx_opts po{"pool_fault", sizeof(sock_ctx) + 8, fault_hook, faulting_worker};
    sock_ctx_pool *pool = sock_tcp_ctx_init(&po);
    ASSERT_NE(pool, nullptr);
    os_socket_t a[2], b[2];
    ASSERT_TRUE(tcp_pair(a));
    ASSERT_TRUE(tcp_pair(b));
    ASSERT_NE(sock_tcp_ctx_open(pool, a[1]), nullptr);
    ASSERT_NE(sock_tcp_ctx_open(pool, b[1]), nullptr);
    EXPECT_EQ(sock_tcp_ctx_count(pool), 2);

    ASSERT_TRUE(send_all(a[0], "fault\n"));
    EXPECT_TRUE(wait_until([&] { return sock_tcp_ctx_count(pool) == 1; }, 10000));
    EXPECT_EQ(g_fault_hooks.load(), 1);
    EXPECT_TRUE(cap.has("ACCESS_VIOLATION"));
    EXPECT_TRUE(cap.has("except handle"));
    // The faulting connection's socket was closed; the other one still echoes.
    EXPECT_EQ(os_socket_wait(a[0], OS_SOCKET_READ, 2000), OS_SOCKET_READ);
    EXPECT_EQ(recv_n(a[0], 1, 100), "");
    ASSERT_TRUE(send_all(b[0], "still\n"));
    EXPECT_EQ(recv_n(b[0], 5), "still");

    sock_tcp_close(b[0]);
    EXPECT_TRUE(wait_until([&] { return sock_tcp_ctx_count(pool) == 0; }));
    EXPECT_EQ(g_fault_hooks.load(), 2);
    sock_tcp_ctx_exit(pool);
    sock_tcp_close(a[0]);
}
