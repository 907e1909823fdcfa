// Local-socket ("named pipe") streams and descriptors above 1023.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "net_test_util.h"

namespace fs = std::filesystem;

TEST(NetPipe, ServerAndClientExchangeLinesOnAPrivateSocketNamedByPathOrName) {
    temp_dir dir;
    std::string path = dir.file("shell.sock");
    os_socket_t stale = npipe_srv_open(path.c_str());
    ASSERT_NE(stale, 0u);
    os_socket_exit(stale);  // leaves the socket file behind, as a crashed run would
    ASSERT_TRUE(fs::exists(path));
    os_socket_t srv = npipe_srv_open(path.c_str());
    ASSERT_NE(srv, 0u);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    net_stream s{};
    s.timeout_ms = 2000;
    EXPECT_EQ(npipe_srv_accept(srv, &s, 100), -2);  // no client yet
    std::thread client([&] {
        net_stream c{};
        if (npipe_cli_open(&c, path.c_str(), 2000) != 0)
            return;
        (void)net_write(&c, "hello\n", 6);
        char line[16];
        if (net_gets(&c, line, sizeof(line)) > 0)
            (void)net_write(&c, "bye\n", 4);
        (void)net_close(&c);
    });
    ASSERT_EQ(npipe_srv_accept(srv, &s, 2000), 0);
    EXPECT_EQ(s.type, NET_PIPE_SRV_TYPE);
    char line[16];
    EXPECT_EQ(net_gets(&s, line, sizeof(line)), 5);
    EXPECT_STREQ(line, "hello");
    EXPECT_EQ(net_write(&s, "ok\n", 3), 3);
    EXPECT_EQ(net_gets(&s, line, sizeof(line)), 3);
    EXPECT_STREQ(line, "bye");
    client.join();
    EXPECT_EQ(net_close(&s), 0);
    npipe_srv_close(srv, path.c_str());
    EXPECT_FALSE(fs::exists(path));
    // A name without a slash lives in the runtime directory, else in /tmp.
    const char *old = getenv("XDG_RUNTIME_DIR");
    std::string saved = old ? old : "";
    setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
    char where[108];
    EXPECT_GT(os_local_socket_path("nvtd_dbg", where), 0);
    EXPECT_EQ(std::string(where), dir.file("nvtd_dbg.sock"));
    srv = npipe_srv_open("nvtd_dbg");
    EXPECT_NE(srv, 0u);
    EXPECT_TRUE(fs::exists(dir.file("nvtd_dbg.sock")));
    net_stream c{};
    EXPECT_EQ(npipe_cli_open(&c, "nvtd_dbg", 1000), 0);
    EXPECT_EQ(c.type, NET_PIPE_CLI_TYPE);
    (void)net_close(&c);
    npipe_srv_close(srv, "nvtd_dbg");
    EXPECT_EQ(npipe_cli_open(&c, "nvtd_dbg", 300), -1);  // nobody listens any more
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_GT(os_local_socket_path("x", where), 0);
    EXPECT_STREQ(where, "/tmp/x.sock");
    if (old)
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST(NetHighDescriptors, ListenAcceptWatchAndWaitAbove1023) {
    if (os_fd_limit_raise(4096) < 1300)
        GTEST_SKIP() << "descriptor limit cannot be raised";
    std::vector<os_socket_t> filler;
    for (int i = 0; i < 1100; i++) {
        filler.push_back(os_socket_init(OS_SOCKET_TCP, OS_AF_INET));
        ASSERT_NE(filler.back(), 0u);
    }
    ASSERT_GT(filler.back(), 1024u);
    static std::atomic<os_socket_t> acc{0};
    static std::atomic<int> events{0};
    sock_srv_opts o{};
    o.name = "high";
    o.backlog = 4;
    o.accept_proc = [](os_socket_t s, const os_sockaddr *, void *) { return acc = s, 0; };
    sock_srv *srv = sock_server_init_imp("127.0.0.1", 0, &o);
    ASSERT_NE(srv, nullptr);
    EXPECT_GT(srv->socks[0], 1024u);
    net_err e{};
    os_socket_t cli = sock_connect("127.0.0.1", o.bound_port, 2000, nullptr, &e);
    ASSERT_GT(cli, 1024u);
    ASSERT_TRUE(wait_until([] { return acc.load() != 0; }));
    ASSERT_GT(acc.load(), 1024u);
    sock_event_ctx *ec = sock_insert_event_proc(
        acc,
        [](os_socket_t, unsigned ev, void *) {
            events += static_cast<int>(ev & OS_POLLER_EVENT_READ);
            return -1;  // one report is enough
        },
        nullptr);
    ASSERT_NE(ec, nullptr);
    EXPECT_EQ(os_socket_wait(cli, OS_SOCKET_WRITE, 1000), OS_SOCKET_WRITE);
    ASSERT_TRUE(send_all(cli, "x"));
    EXPECT_TRUE(wait_until([] { return events.load() != 0; }));
    EXPECT_EQ(events.load(), 1);
    EXPECT_EQ(os_socket_wait(acc, OS_SOCKET_READ, 1000), OS_SOCKET_READ);
    net_stream ns{};
    net_stream_init(&ns, NET_TYPE_TCP_SRV, acc, 1000);
    char c = 0;
    EXPECT_EQ(net_read(&ns, &c, 1), 1);
    EXPECT_EQ(c, 'x');
    (void)sock_del_event_proc(ec);
    (void)net_close(&ns);
    sock_tcp_close(cli);
    (void)sock_server_exit(srv);
    for (os_socket_t s : filler)
        os_socket_exit(s);
}
