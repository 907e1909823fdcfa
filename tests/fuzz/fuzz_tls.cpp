// fuzz_tls.cpp - TLS handshake bytes through the adapter: the input is what the peer
// sends. The first byte picks the role (server, as the FTPS port runs it, or client);
// the server's key and certificate are made once per process in a scratch directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_util.h"
#include "ssl.h"

namespace fs = std::filesystem;

static ssl_conf *g_srv_conf;

namespace {
struct tls_feed {
    const uint8_t *data;
    size_t size;
    size_t pos;
};
}  // namespace

static int feed_recv(void *arg, unsigned char *buf, size_t len) {
    auto *f = static_cast<tls_feed *>(arg);
    size_t n = std::min(len, f->size - f->pos);
    std::copy_n(f->data + f->pos, n, buf);
    f->pos += n;
    return int(n);
}

static int feed_send(void *, const unsigned char *, size_t len) {
    return int(len);
}

static bool feed_closed(void *arg) {
    auto *f = static_cast<tls_feed *>(arg);
    return f->pos >= f->size;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    (void)libssl_init();
    std::string tmpl = (fs::temp_directory_path() / "nvtd_fuzz_tls_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        std::abort();
    std::string key = tmpl + "/k.der", crt = tmpl + "/c.pem";
    if (ssl_create_key_x509_file(key.c_str(), crt.c_str()) != 0)
        std::abort();
    g_srv_conf = ssl_srv_conf_new(crt.c_str(), key.c_str());
    std::error_code ec;
    fs::remove_all(tmpl, ec);
    if (g_srv_conf == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    tls_feed f{data + 1, size - 1, 0};
    ssl_io io{.arg = &f,
              .recv = feed_recv,
              .send = feed_send,
              .closed = feed_closed,
              .timeout_ms = 500};
    ssl_session *s = (data[0] & 1) ? ssl_cli_handshake(nullptr, &io)
                                   : ssl_srv_handshake(g_srv_conf, &io);
    if (s != nullptr) {
        char buf[512];
        (void)ssl_session_read(s, buf, sizeof buf);
        ssl_session_free(s);
    }
    return 0;
}
