// ssl_conf.cpp - TLS configurations: the shared client configuration and server
// configurations made from a certificate chain and a private key.
#include "ssl.h"
#include "ssl_internal.h"

#include "log.h"
#include "pal.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

ssl_conf::ssl_conf() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_x509_crt_init(&chain);
    mbedtls_pk_init(&key);
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_cache_init(&cache);
#if SSL_COMPAT_TICKETS
    mbedtls_ssl_ticket_init(&ticket);
#endif
}

ssl_conf::~ssl_conf() {
    mbedtls_ssl_config_free(&conf);
    mbedtls_ssl_cache_free(&cache);
#if SSL_COMPAT_TICKETS
    mbedtls_ssl_ticket_free(&ticket);
#endif
    mbedtls_pk_free(&key);
    mbedtls_x509_crt_free(&chain);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
}

const char *ssl_err_text(int code, char *buf, size_t size) {
    if (size == 0)
        return "";
    buf[0] = '\0';
    mbedtls_strerror(code, buf, size);
    return buf;
}

int ssl_conf_seed(ssl_conf *c, const char *pers) {
    return mbedtls_ctr_drbg_seed(&c->drbg, mbedtls_entropy_func, &c->entropy,
                                 reinterpret_cast<const unsigned char *>(pers),
                                 std::char_traits<char>::length(pers));
}

// The DRBG is shared by every session of the configuration; the library serialises it
// only when built with its threading module, so the lock is ours.
static int locked_random(void *arg, unsigned char *out, size_t len) {
    auto *c = static_cast<ssl_conf *>(arg);
    std::scoped_lock lock(c->rng_lock);
    return mbedtls_ctr_drbg_random(&c->drbg, out, len);
}

// The library's own order puts ChaCha20-Poly1305 first, which is the fast choice without
// AES instructions. Where the library's AES-GCM uses them well, those suites lead on a
// processor that has them (the server's order picks the suite).
static bool cpu_has_aes() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("aes");
#else
    return false;
#endif
}

static const int *suite_order() {
    static const std::vector<int> order = [] {
        std::vector<int> v;
        if (ssl_compat_gcm_leads && cpu_has_aes()) {
            for (int id : {MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
                           MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
                           MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
                           MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384})
                if (mbedtls_ssl_ciphersuite_from_id(id) != nullptr)
                    v.push_back(id);
        }
        for (const int *p = mbedtls_ssl_list_ciphersuites(); *p != 0; p++)
            if (std::find(v.begin(), v.end(), *p) == v.end())
                v.push_back(*p);
        v.push_back(0);
        return v;
    }();
    return order.data();
}

void ssl_conf_common(ssl_conf *c) {
    mbedtls_ssl_conf_ciphersuites(&c->conf, suite_order());
    mbedtls_ssl_conf_rng(&c->conf, locked_random, c);
    mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_NONE);
    ssl_compat_tls12_only(&c->conf);
}

int ssl_conf_suites(ssl_conf *conf, const char *names) {
    PAL_ASSERT_RET(conf != nullptr && names != nullptr, -1);
    std::vector<int> ids;
    std::string_view rest(names);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string name(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        int id = mbedtls_ssl_get_ciphersuite_id(name.c_str());
        if (id == 0) {
            LOG2(LOG2_ERR, SSL_TAG, "unknown cipher suite [%s]\n", name.c_str());
            return -1;
        }
        ids.push_back(id);
    }
    if (ids.empty()) {
        LOG2(LOG2_ERR, SSL_TAG, "no cipher suite named\n");
        return -1;
    }
    ids.push_back(0);
    conf->suites = std::move(ids);  // the library keeps the pointer, so the list lives here
    mbedtls_ssl_conf_ciphersuites(&conf->conf, conf->suites.data());
    return 0;
}

ssl_conf *ssl_cli_conf_new() {
    LOG2(LOG2_VERB, SSL_TAG, "==>\n");
    if (ssl_compat_crypto_init() != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "psa_crypto_init failed\n");
        return nullptr;
    }
    auto *c = new (std::nothrow) ssl_conf;
    if (!c)
        return nullptr;
    if (ssl_conf_seed(c, "ssl_client") != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ctr_drbg_seed failed\n");
        delete c;
        return nullptr;
    }
    if (mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_config_defaults failed\n");
        delete c;
        return nullptr;
    }
    ssl_conf_common(c);
    return c;
}

void ssl_conf_free(ssl_conf *conf) { delete conf; }
void ssl_srv_conf_free(ssl_conf *conf) { delete conf; }

// The shared client configuration is made once, on first use, and read-only afterwards.
static std::mutex g_cli_lock;
static ssl_conf *g_cli_conf;

ssl_conf *ssl_cli_conf_get() {
    std::scoped_lock lock(g_cli_lock);
    if (!g_cli_conf) {
        g_cli_conf = ssl_cli_conf_new();
        if (!g_cli_conf)
            LOG2(LOG2_ERR, SSL_TAG, "ssl_cli_conf_new failed\n");
    }
    return g_cli_conf;
}

int libssl_init() {
    (void)ssl_cli_conf_get();
    return 0;
}

void ssl_lib_exit() {
    std::scoped_lock lock(g_cli_lock);
    delete g_cli_conf;
    g_cli_conf = nullptr;
}

// Loads the certificate chain and the key and checks that they belong together. 0 or -1.
static int srv_load_files(ssl_conf *c, const char *crt_file, const char *key_file) {
    char err[512];
    int ret = mbedtls_x509_crt_parse_file(&c->chain, crt_file);
    if (ret != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_x509_crt_parse_file %s failed\n", crt_file);
        LOG2(LOG2_ERR, SSL_TAG, "-0x%04x - %s\n", -ret, ssl_err_text(ret, err, sizeof err));
        return -1;
    }
    ret = ssl_compat_parse_keyfile(&c->key, key_file, &c->drbg);
    if (ret != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_pk_parse_keyfile %s failed\n", key_file);
        LOG2(LOG2_ERR, SSL_TAG, "-0x%04x - %s\n", -ret, ssl_err_text(ret, err, sizeof err));
        return -1;
    }
    // A key that does not match the certificate would only fail later, in every
    // handshake; refuse the pair here where the files are known.
#if MBEDTLS_VERSION_MAJOR >= 3
    ret = mbedtls_pk_check_pair(&c->chain.pk, &c->key, mbedtls_ctr_drbg_random, &c->drbg);
#else
    ret = mbedtls_pk_check_pair(&c->chain.pk, &c->key);
#endif
    if (ret != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "key %s does not match certificate %s: -0x%04x - %s\n",
             key_file, crt_file, -ret, ssl_err_text(ret, err, sizeof err));
        return -1;
    }
    return 0;
}

#if SSL_COMPAT_TICKETS
// The library serialises its ticket keys only when built with its threading module.
static int locked_ticket_write(void *arg, const mbedtls_ssl_session *session,
                               unsigned char *start, const unsigned char *end, size_t *tlen,
                               uint32_t *lifetime) {
    auto *c = static_cast<ssl_conf *>(arg);
    std::scoped_lock lock(c->ticket_lock);
    return mbedtls_ssl_ticket_write(&c->ticket, session, start, end, tlen, lifetime);
}

static int locked_ticket_parse(void *arg, mbedtls_ssl_session *session, unsigned char *buf,
                               size_t len) {
    auto *c = static_cast<ssl_conf *>(arg);
    std::scoped_lock lock(c->ticket_lock);
    return mbedtls_ssl_ticket_parse(&c->ticket, session, buf, len);
}
#endif

// Data connections resume the control connection's session: by identifier from a cache
// large enough for a busy server, or by ticket for clients that resume only that way (Go's
// crypto/tls, and so rclone). Both keep a session a day, as the cache does by default.
static int srv_conf_resumption(ssl_conf *c) {
    mbedtls_ssl_cache_set_max_entries(&c->cache, 4096);
    mbedtls_ssl_conf_session_cache(&c->conf, &c->cache, mbedtls_ssl_cache_get,
                                   mbedtls_ssl_cache_set);
#if SSL_COMPAT_TICKETS
    int ret = mbedtls_ssl_ticket_setup(&c->ticket, locked_random, c, MBEDTLS_CIPHER_AES_256_GCM,
                                       86400);
    if (ret != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_ticket_setup returned %d\n", ret);
        return -1;
    }
    mbedtls_ssl_conf_session_tickets_cb(&c->conf, locked_ticket_write, locked_ticket_parse, c);
#endif
    return 0;
}

// Seeds, applies the server defaults and installs chain and key. 0 or -1.
static int srv_conf_setup(ssl_conf *c, const char *crt_file, const char *key_file) {
    if (ssl_conf_seed(c, "nvsd_srv") != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ctr_drbg_seed failed\n");
        return -1;
    }
    if (mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_config_defaults failed\n");
        return -1;
    }
    if (srv_load_files(c, crt_file, key_file) != 0)
        return -1;
    // The certificates after the first one are the chain sent along with it.
    if (c->chain.next)
        mbedtls_ssl_conf_ca_chain(&c->conf, c->chain.next, nullptr);
    int ret = mbedtls_ssl_conf_own_cert(&c->conf, &c->chain, &c->key);
    if (ret != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_conf_own_cert returned %d\n", ret);
        return -1;
    }
    ssl_conf_common(c);
    return srv_conf_resumption(c);
}

ssl_conf *ssl_srv_conf_new(const char *crt_file, const char *key_file) {
    LOG2(LOG2_VERB, SSL_TAG, "==>\n");
    if (!crt_file || !key_file || !*crt_file || !*key_file) {
        LOG2(LOG2_ERR, SSL_TAG, "certificate file and key file are needed\n");
        return nullptr;
    }
    if (ssl_compat_crypto_init() != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "psa_crypto_init failed\n");
        return nullptr;
    }
    auto *c = new (std::nothrow) ssl_conf;
    if (!c)
        return nullptr;
    if (srv_conf_setup(c, crt_file, key_file) != 0) {
        delete c;
        return nullptr;
    }
    return c;
}
