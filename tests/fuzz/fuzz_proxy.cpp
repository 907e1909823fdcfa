// fuzz_proxy.cpp - the proxy reply readers: the input is what the proxy answers to the
// HTTP CONNECT, SOCKS4(a) or SOCKS5 handshake. The first byte picks the kind, whether a
// user and password are offered and which target address form is asked for.
#include <cstddef>
#include <cstdint>

#include "fuzz_util.h"
#include "net.h"
#include "pal.h"

// The handshakes proxy_tcp_connect runs on the connection to the proxy. They have external
// linkage in libnet but no public declaration; the connect itself needs a real proxy.
int proxy_http_init(net_stream *s, const char *host, int port, const net_proxy *p, net_err *e);
int proxy_sock4_init(net_stream *s, const char *host, int port, const net_proxy *p, net_err *e);
int proxy_sock5_init(net_stream *s, const char *host, int port, const net_proxy *p, net_err *e);

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    return 0;
}

using handshake_fn = int (*)(net_stream *, const char *, int, const net_proxy *, net_err *);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    static const handshake_fn kinds[] = {proxy_http_init, proxy_sock4_init, proxy_sock5_init};
    // Literal addresses only: a name would be resolved, and SOCKS4 resolves its target.
    static const char *const hosts[] = {"127.0.0.1", "::1", "ftp.example", "255.255.255.255"};
    unsigned pick = data[0];
    net_proxy p{};
    if (pick & 4) {
        (void)pal_strlcpy(p.user, "user");
        (void)pal_strlcpy(p.pwd, "secret");
    }
    const char *host = hosts[(pick >> 3) & 3];
    handshake_fn run = kinds[(pick & 3) % 3];
    if (run == proxy_sock4_init && host == hosts[2])
        host = hosts[0];
    fuzz_feed f;
    f.data = data + 1;
    f.size = size - 1;
    f.piece = f.size;  // net_read fills what it asks for when the bytes are there
    f.keep_sent = false;
    net_stream s;
    fuzz_feed_stream(&s, &f);
    net_err e{};
    (void)run(&s, host, 2121, &p, &e);
    (void)net_err_text(&e);
    return 0;
}
