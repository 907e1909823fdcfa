// Socket primitives: address texts, would-block versus end of stream, waits, listeners.
#include "pal_socket.h"  // first: the header compiles on its own

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "pal.h"

namespace {
std::string text_of(const char *in, bool with_port = false, uint16_t port = 0) {
    os_sockaddr a{};
    if (!os_ipaddr_parse(in, &a))
        return "<bad>";
    a.port = port;
    char buf[128];
    return os_ipaddr_cstr(&a, with_port, buf);
}

os_socket_t listen_on(const char *addr, os_sockaddr *bound) {
    os_sockaddr a{};
    if (!os_ipaddr_parse(addr, &a))
        return 0;
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, a.family);
    if (!s || !os_socket_bind(s, &a) || !os_socket_listen(s, 8) || !os_socket_local(s, bound)) {
        if (s)
            os_socket_exit(s);
        return 0;
    }
    return s;
}

/// A connected loopback TCP pair: what c sends, a receives.
bool tcp_pair(os_socket_t *a, os_socket_t *c) {
    os_sockaddr bound{};
    os_socket_t l = listen_on("127.0.0.1", &bound);
    *c = l ? os_socket_init(OS_SOCKET_TCP, OS_AF_INET) : 0;
    *a = 0;
    if (*c && os_socket_connect(*c, &bound) >= 0 && os_socket_wait(l, OS_SOCKET_READ, 2000) > 0)
        *a = os_socket_accept(l, nullptr);
    if (l)
        os_socket_exit(l);
    return *a != 0;
}

std::string file_text(FILE *f) {
    std::string out(static_cast<size_t>(lseek(fileno(f), 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(fileno(f), out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    return out;
}
}  // namespace

TEST(SocketAddress, TextFormsSameHostAndResolution) {
    EXPECT_EQ(text_of("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(text_of("10.1.2.3", true, 21), "10.1.2.3:21");
    EXPECT_EQ(text_of("::1"), "0000:0000:0000:0000:0000:0000:0000:0001");
    EXPECT_EQ(text_of("[fe80::1%7]", true, 990), "[fe80:0000:0000:0000:0000:0000:0000:0001%7]:990");
    EXPECT_EQ(text_of("::ffff:192.168.1.2"), "0000:0000:0000:0000:0000:ffff:c0a8:0102");
    for (const char *bad : {"", "1.2.3", "256.1.1.1", "example.org", "::1::2", "[::1", "1.2.3.4:21"})
        EXPECT_EQ(text_of(bad), "<bad>") << bad;
    // A mapped address is the same host as its IPv4 form, whatever the ports.
    os_sockaddr a{}, b{}, c{}, d{};
    ASSERT_TRUE(os_ipaddr_parse("10.0.0.1", &a) && os_ipaddr_parse("::ffff:10.0.0.1", &b) &&
                os_ipaddr_parse("10.0.0.2", &c) && os_ipaddr_parse("::1", &d));
    a.port = 1;
    b.port = 2;
    EXPECT_TRUE(os_ipaddr_same_host(&a, &b));
    EXPECT_TRUE(os_ipaddr_same_host(&b, &a));
    EXPECT_FALSE(os_ipaddr_same_host(&a, &c));
    EXPECT_FALSE(os_ipaddr_same_host(&a, &d));
    EXPECT_TRUE(os_ipaddr_same_host(&d, &d));
    ASSERT_TRUE(os_addrinfo_addr("127.0.0.1", &a));
    EXPECT_EQ(a.family, OS_AF_INET);
    ASSERT_TRUE(os_addrinfo_addr("localhost", &a));
    EXPECT_TRUE(a.family == OS_AF_INET || a.family == OS_AF_INET6);
}

TEST(Socket, WouldBlockEndOfStreamAndWaitsAreToldApart) {
    os_socket_t p[2];
    ASSERT_TRUE(os_socket_pair(p));
    char buf[8];
    EXPECT_EQ(os_socket_recv(p[1], buf, 0), 0);
    EXPECT_EQ(os_socket_recv(p[1], buf, sizeof(buf)), 0);
    EXPECT_EQ(os_socket_error(), PAL_EAGAIN);
    uint64_t start = os_clock_ms();
    EXPECT_EQ(os_socket_wait(p[1], OS_SOCKET_READ, 100), 0);
    EXPECT_GE(os_clock_ms() - start, 95u);
    EXPECT_EQ(os_socket_wait(p[1], OS_SOCKET_READ | OS_SOCKET_WRITE, 100), OS_SOCKET_WRITE);
    ASSERT_EQ(os_socket_send(p[0], "abc", 3), 3);
    EXPECT_EQ(os_socket_wait(p[1], OS_SOCKET_READ, -1), OS_SOCKET_READ);
    EXPECT_EQ(os_socket_recv(p[1], buf, sizeof(buf)), 3);
    EXPECT_EQ(os_socket_error(), 0);
    os_socket_exit(p[0]);
    EXPECT_EQ(os_socket_wait(p[1], OS_SOCKET_READ, 1000), OS_SOCKET_READ);
    EXPECT_EQ(os_socket_recv(p[1], buf, sizeof(buf)), 0);
    EXPECT_EQ(os_socket_error(), 0);  // the end of the stream
    // Sending to a closed peer fails without a signal ending the process.
    EXPECT_EQ(os_socket_send(p[1], "x", 1), -1);
    EXPECT_EQ(os_socket_error(), PAL_EPIPE);
    os_socket_exit(p[1]);
}

TEST(Socket, ListenConnectAcceptWithPeerAddress) {
    os_sockaddr bound{};
    os_socket_t l = listen_on("127.0.0.1", &bound);
    ASSERT_NE(l, 0u);
    EXPECT_GT(bound.port, 0);
    EXPECT_EQ(os_socket_accept(l, nullptr), 0u);  // nothing pending
    os_socket_t c = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    ASSERT_NE(c, 0u);
    EXPECT_GE(os_socket_connect(c, &bound), 0);
    EXPECT_EQ(os_socket_wait(c, OS_SOCKET_WRITE, 2000), OS_SOCKET_WRITE);
    EXPECT_EQ(os_socket_connect(c, &bound), 1);  // already connected counts as success
    ASSERT_EQ(os_socket_wait(l, OS_SOCKET_READ, 2000), OS_SOCKET_READ);
    os_sockaddr peer{}, local{};
    os_socket_t a = os_socket_accept(l, &peer);
    ASSERT_NE(a, 0u);
    ASSERT_TRUE(os_socket_local(c, &local));
    EXPECT_TRUE(os_ipaddr_same_host(&peer, &local));
    EXPECT_EQ(peer.port, local.port);
    ASSERT_TRUE(os_socket_peer(a, &peer));
    EXPECT_EQ(peer.port, local.port);
    char buf[4];
    EXPECT_EQ(os_socket_recv(a, buf, sizeof(buf)), 0);  // accepted sockets do not block
    EXPECT_EQ(os_socket_error(), PAL_EAGAIN);
    os_socket_kill(c);
    EXPECT_EQ(os_socket_wait(a, OS_SOCKET_READ, 1000), OS_SOCKET_READ);
    for (os_socket_t s : {a, c, l})
        os_socket_exit(s);
}

// IPv4 and IPv6 listeners on one port are covered by the listener group tests of libnet.
TEST(Socket, ControlCodes) {
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    ASSERT_NE(s, 0u);
    EXPECT_TRUE(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1));
    EXPECT_TRUE(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, 65536));
    EXPECT_TRUE(os_socket_ctrl(s, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, 65536));
    EXPECT_FALSE(os_socket_ctrl(s, 99, 1));
    EXPECT_FALSE(os_socket_ctrl(0, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1));  // asserted, no crash
    os_socket_exit(s);
}

TEST(Socket, WaitAndPollerWorkAboveDescriptor1023) {
    if (os_fd_limit_raise(4096) < 1300)
        GTEST_SKIP() << "descriptor limit cannot be raised";
    std::vector<os_socket_t> filler(1100);
    for (os_socket_t &s : filler)
        s = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    os_socket_t p[2];
    ASSERT_TRUE(os_socket_pair(p));
    EXPECT_GT(p[1], 1024u);
    ASSERT_EQ(os_socket_send(p[0], "x", 1), 1);
    EXPECT_EQ(os_socket_wait(p[1], OS_SOCKET_READ, 1000), OS_SOCKET_READ);
    for (const char *backend : {"epoll", "poll"}) {
        os_poller *poller = os_poller_init(0, backend);
        ASSERT_NE(poller, nullptr);
        ASSERT_TRUE(os_poller_insert(poller, {OS_POLLER_OBJECT_SOCKET, p[1]}, OS_POLLER_EVENT_READ,
                                     nullptr));
        auto ignore = [](os_poller *, os_poller_object, unsigned, void *) {};
        EXPECT_EQ(os_poller_wait(poller, ignore, 1000), 1) << backend;
        os_poller_exit(poller);
    }
    for (os_socket_t s : {p[0], p[1]})
        os_socket_exit(s);
    for (os_socket_t s : filler)
        if (s)
            os_socket_exit(s);
}

// Receives wake for batches of data, but a sender that trickles less than a batch is still
// read as it comes, a silent one ends the call at the time-out counted from its last byte,
// and every byte lands in the file in order. The receive waits in slices of 300 ms; the
// pauses and the time-out keep wide margins to each other so that a busy machine cannot
// swap their order: the trickle pause spans two slices but is far inside the time-out, and
// the silence is twice the time-out.
TEST(SocketRecvFile, TrickleBulkSilenceAndEnd) {
    constexpr int trickle_pause_ms = 600, timeout_ms = 1500, silence_ms = 3000;
    os_socket_t a = 0, c = 0;
    ASSERT_TRUE(tcp_pair(&a, &c));
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    std::vector<char> buf(2 << 20);
    std::string bulk(3 << 20, '\0');
    for (size_t i = 0; i < bulk.size(); i++)
        bulk[i] = static_cast<char>(i * 7 + i / 4096);
    uint64_t start = os_clock_ms();
    std::thread sender([&] {
        EXPECT_EQ(os_socket_send(c, "head", 4), 4);
        // The pauses are the sender's behaviour under test, not waits for a condition.
        std::this_thread::sleep_for(std::chrono::milliseconds(trickle_pause_ms));
        EXPECT_EQ(os_socket_send(c, "-tail", 5), 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(silence_ms));
        size_t sent = 0;
        while (sent < bulk.size()) {
            int n = os_socket_send(c, bulk.data() + sent, bulk.size() - sent);
            if (n < 0)
                return;
            if (n == 0)
                (void)os_socket_wait(c, OS_SOCKET_WRITE, 1000);
            sent += static_cast<size_t>(n);
        }
    });
    int eof = -1;
    // Nine bytes in two pieces, then nothing for longer than the time-out: the call hands
    // back what came well before a batch's worth, no earlier than the time-out after the
    // second piece.
    int64_t n = os_socket_recv_file(a, fileno(f), buf.data(), buf.size(), 1 << 20, timeout_ms,
                                    nullptr, &eof);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(eof, 0);
    EXPECT_GE(os_clock_ms() - start, uint64_t{trickle_pause_ms + timeout_ms - 50});
    EXPECT_EQ(file_text(f), "head-tail");
    int64_t total = 0;
    for (int i = 0; i < 100 && total < static_cast<int64_t>(bulk.size()); i++) {
        n = os_socket_recv_file(a, fileno(f), buf.data(), buf.size(), 1 << 20, 5000, nullptr, &eof);
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 1 << 20);
        total += n;
    }
    sender.join();
    EXPECT_EQ(total, static_cast<int64_t>(bulk.size()));
    EXPECT_TRUE(file_text(f) == "head-tail" + bulk);
    os_socket_exit(c);
    n = os_socket_recv_file(a, fileno(f), buf.data(), buf.size(), 1 << 20, 5000, nullptr, &eof);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(eof, 1);
    fclose(f);
    os_socket_exit(a);
}

TEST(SocketRecvFile, FileFailureAndAbortAreToldApart) {
    os_socket_t a = 0, c = 0;
    ASSERT_TRUE(tcp_pair(&a, &c));
    char buf[4096];
    int eof = 0;
    const os_cancel cancel{[](void *) { return true; }, nullptr};
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    int64_t start = static_cast<int64_t>(os_clock_ms());
    EXPECT_EQ(os_socket_recv_file(a, fileno(f), buf, sizeof(buf), 100, 5000, &cancel, &eof), -1);
    EXPECT_EQ(os_socket_error(), PAL_ECANCELED);
    EXPECT_LT(static_cast<int64_t>(os_clock_ms()) - start, 2000);  // not the whole time-out
    // Bytes that reached the file before the abort are counted.
    ASSERT_EQ(os_socket_send(c, "data", 4), 4);
    ASSERT_GT(os_socket_wait(a, OS_SOCKET_READ, 2000), 0);
    EXPECT_EQ(os_socket_recv_file(a, fileno(f), buf, sizeof(buf), 100, 5000, &cancel, &eof), 4);
    EXPECT_EQ(os_socket_error(), PAL_ECANCELED);
    // A file that cannot take the bytes (read-only): -2 with the file's error.
    FILE *ro = fopen("/proc/self/cmdline", "r");
    ASSERT_NE(ro, nullptr);
    ASSERT_EQ(os_socket_send(c, "data", 4), 4);
    EXPECT_EQ(os_socket_recv_file(a, fileno(ro), buf, sizeof(buf), 100, 2000, nullptr, &eof), -2);
    EXPECT_EQ(os_socket_error(), PAL_EBADF);
    fclose(ro);
    fclose(f);
    os_socket_exit(c);
    os_socket_exit(a);
}

// A file's bytes from an offset, a block reaching past the file's end (only what the file
// holds), an abort while waiting for room and a silent peer's time-out.
TEST(SocketSendFile, OffsetsEndOfFileCancelAndTimeout) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    std::string body(8 << 20, '\0');
    for (size_t i = 0; i < body.size(); i++)
        body[i] = static_cast<char>(i * 13 + i / 4099);
    ASSERT_EQ(pwrite(fileno(f), body.data(), body.size(), 0), static_cast<ssize_t>(body.size()));
    int fd = fileno(f);
    os_socket_t pair[2];
    ASSERT_TRUE(os_socket_pair(pair));
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        while (os_socket_wait(pair[1], OS_SOCKET_READ, 3000) > 0) {
            int n = os_socket_recv(pair[1], buf, sizeof buf);
            if (n <= 0 && os_socket_error() != PAL_EAGAIN)
                break;
            got.append(buf, static_cast<size_t>(std::max(n, 0)));
        }
    });
    EXPECT_EQ(os_sendfile(pair[0], fd, 1000, 3000000, 65536, 3000, nullptr), 3000000);
    EXPECT_EQ(os_sendfile(pair[0], fd, (8 << 20) - 10, 100, 65536, 3000, nullptr), 10);
    os_socket_exit(pair[0]);
    reader.join();
    EXPECT_TRUE(got == body.substr(1000, 3000000) + body.substr(body.size() - 10));
    os_socket_exit(pair[1]);
    // Nobody reads: an abort ends the wait for room, a silent peer the time-out.
    ASSERT_TRUE(os_socket_pair(pair));
    // What went out before the abort is counted.
    const os_cancel cancel{[](void *) { return true; }, nullptr};
    int64_t before = os_sendfile(pair[0], fd, 0, 8 << 20, 8 << 20, 3000, &cancel);
    EXPECT_GT(before, 0);
    EXPECT_LT(before, 8 << 20);
    EXPECT_EQ(os_socket_error(), PAL_ECANCELED);
    uint64_t start = os_clock_ms();
    int64_t part = os_sendfile(pair[0], fd, 0, 8 << 20, 8 << 20, 600, nullptr);
    EXPECT_GE(part, 0);
    EXPECT_LT(part, 8 << 20);
    EXPECT_LT(os_clock_ms() - start, 3000u);
    for (os_socket_t s : pair)
        os_socket_exit(s);
    fclose(f);
}
