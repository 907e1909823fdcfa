// ssl_internal.h - the records behind the opaque handles of ssl.h, shared by the files
// of libssl. Never included outside this folder.
#pragma once

#include "ssl.h"
#include "ssl_compat.h"

#include "log.h"

#include <cstddef>
#include <mutex>
#include <vector>

/// Module tag of every libssl log line.
#define SSL_TAG "sslcli"
/// Error level with the text of the last system error appended.
inline constexpr int SSL_LOG_ERR_OS = static_cast<int>(LOG2_ERR) | static_cast<int>(LOG2_F_OSERR);

/// A TLS configuration with everything it points to: random source, own certificate
/// chain and key. mbedtls_ssl_config keeps pointers into the record, so it never moves.
struct ssl_conf {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_x509_crt chain;
    mbedtls_pk_context key;
    mbedtls_ssl_config conf;
    mbedtls_ssl_cache_context cache;  ///< server: sessions that data connections may resume
#if SSL_COMPAT_TICKETS
    mbedtls_ssl_ticket_context ticket;  ///< server: the keys of its session tickets
    std::mutex ticket_lock;  ///< the ticket keys rotate inside ticket writes
#endif
    std::mutex rng_lock;  ///< sessions of many threads draw from the one DRBG
    std::vector<int> suites;  ///< suites chosen by ssl_conf_suites (0-terminated), else empty

    ssl_conf();
    ~ssl_conf();
    ssl_conf(const ssl_conf &) = delete;
    ssl_conf &operator=(const ssl_conf &) = delete;
};

/// One TLS session over a transport. Sessions bound to a net stream keep the stream in
/// io.arg.
struct ssl_session {
    mbedtls_ssl_context ssl;
    ssl_io io;
    bool eof = false;  ///< the peer ended the session (close notify or end of stream)
    bool peer_end = false;  ///< ...by its close notify or the end of the stream, not an error

    ssl_session();
    ~ssl_session();
    ssl_session(const ssl_session &) = delete;
    ssl_session &operator=(const ssl_session &) = delete;
};

/// The library's text for an error code, into buf (always terminated).
const char *ssl_err_text(int code, char *buf, size_t size);

/// Seeds the configuration's DRBG with the personalisation text. 0 or the library's code.
int ssl_conf_seed(ssl_conf *c, const char *pers);

/// Sets the parts common to both roles: cipher-suite list, random source, TLS 1.2 only,
/// no peer verification.
void ssl_conf_common(ssl_conf *c);
