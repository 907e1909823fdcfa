// ssl.h - TLS 1.2 for net streams, and creation of the FTPS key and self-signed certificate.
// The adapter is thin: one shared client configuration, server configurations built from a
// certificate chain and a key file, handshakes in both roles over a transport of two
// callbacks (for net streams: the stream's socket read and write), and record I/O that
// keeps the stream's time-out. Peers are never verified (no CA, no server name).
#pragma once

#include <cstddef>

struct net_stream;   ///< libnet's stream record
struct ssl_conf;     ///< a client or server configuration (opaque)
struct ssl_session;  ///< one TLS session (opaque)

/// Transport under a session. recv and send move at most len bytes and block at most
/// timeout_ms: they return the byte count, 0 when nothing moved in time, or -1 on an error
/// (an abort included). closed tells whether the peer has ended the byte stream; a 0 from
/// recv is then the end of the session rather than a time-out.
struct ssl_io {
    void *arg;
    int (*recv)(void *arg, unsigned char *buf, size_t len);
    int (*send)(void *arg, const unsigned char *buf, size_t len);
    bool (*closed)(void *arg);
    int timeout_ms;  ///< bound of a handshake and of each ssl_session_read/_write call
};

// ---------------------------------------------------------------------------------------
// Configurations.

/// Creates the shared client configuration unless it exists ("ssl_cli_conf_new failed\n"
/// at error level when it cannot be made). Returns 0. Thread-safe.
int libssl_init();

/// libssl_init, then plugs the TLS handshakes into libnet so that "tcps" and "https"
/// streams and FTPS sessions use them. Returns 0 or -1. Call once at start.
int ssl_lib_init();

/// Frees the shared client configuration. No session may still use it.
void ssl_lib_exit();

/// A new client configuration: DRBG seeded with "ssl_client", client defaults, the
/// library's whole cipher-suite list, TLS 1.2 only, verify mode none. Null on failure
/// (logged). Owned by the caller; free with ssl_conf_free.
[[nodiscard]] ssl_conf *ssl_cli_conf_new();

/// Restricts conf to the cipher suites named in names, comma-separated, in that order (the
/// library's names, as ssl_session_cipher gives them). Returns 0, or -1 (logged at error
/// level, conf unchanged) for an unknown name or an empty list. Call before any handshake
/// uses conf.
[[nodiscard]] int ssl_conf_suites(ssl_conf *conf, const char *names);

/// The shared client configuration (made on first use), or null when it cannot be made.
/// Owned by libssl.
ssl_conf *ssl_cli_conf_get();

/// A server configuration from a PEM certificate file (own certificate first, then its
/// chain) and a PEM or DER private key file without password: DRBG seeded with
/// "nvsd_srv", server defaults, verify mode none (no client certificate is asked for).
/// A missing, empty, corrupt or mismatched file gives null with the reason logged at
/// error level. Owned by the caller; free with ssl_srv_conf_free. Read-only afterwards,
/// so any number of threads may run handshakes on it.
[[nodiscard]] ssl_conf *ssl_srv_conf_new(const char *crt_file, const char *key_file);
void ssl_srv_conf_free(ssl_conf *conf);
void ssl_conf_free(ssl_conf *conf);

// ---------------------------------------------------------------------------------------
// Sessions over a transport.

/// Runs a client (conf made by ssl_cli_conf_new, or null for the shared one) or server
/// handshake over io (copied). The handshake ends within io->timeout_ms: a peer that
/// stalls or sends garbage ends only this handshake. On failure logs
/// "mbedtls_ssl_handshake eno=%d err=[%s]" at error level and returns null; the
/// transport is left open for the caller to close. The session is owned by the caller
/// (ssl_session_free). On success the server logs "Proto=[%s] Cipher=[%s]" at debug level.
[[nodiscard]] ssl_session *ssl_cli_handshake(ssl_conf *conf, const ssl_io *io);
[[nodiscard]] ssl_session *ssl_srv_handshake(const ssl_conf *conf, const ssl_io *io);

/// Reads until len bytes arrived, the transport's time-out passed since the call began,
/// or the peer ended the session. Returns the bytes read (0: nothing in time), or -1 on
/// an error or when the session had already ended ("mbedtls_ssl_read = %d\n" at verbose
/// level). Bytes that arrived before the peer's end are returned first, never dropped.
[[nodiscard]] int ssl_session_read(ssl_session *s, void *buf, int len);

/// Writes len bytes; returns len, the bytes written when the time-out passed first, or
/// -1 on an error ("mbedtls_ssl_write = %d\n" at verbose level).
[[nodiscard]] int ssl_session_write(ssl_session *s, const void *data, int len);

/// Sends the close notify (best effort, within one time-out slice) and frees the session.
/// Null is accepted. The transport is not closed.
void ssl_session_free(ssl_session *s);

/// "TLSv1.2" (or "unknown") and the name of the negotiated cipher suite.
const char *ssl_session_proto(const ssl_session *s);
const char *ssl_session_cipher(const ssl_session *s);
/// True when the established session b resumed a (by session identifier or by ticket: the
/// same master secret): an FTPS data connection that resumed its control connection's
/// session.
bool ssl_session_resumes(const ssl_session *b, const ssl_session *a);

// ---------------------------------------------------------------------------------------
// Sessions on net streams. The transport is the stream's socket read and write with the
// stream's time-out (and abort flag); after a handshake s->tls holds the session and s->io
// the TLS operations, and net_close ends the session. A failed handshake leaves the
// stream plain and open for its owner to close.

/// Client handshake on a connected stream with conf (from ssl_cli_conf_new; null: the shared
/// client configuration). Returns the session (owned by the stream) or null.
ssl_session *ssl_cli_connect(net_stream *s, ssl_conf *conf = nullptr);

/// Server handshake on an accepted stream with conf (ssl_srv_conf_new). Logs
/// "Proto=[%s] Cipher=[%s]" at debug level. Returns the session (owned by the stream) or
/// null. Blocks at most about the stream's time-out.
ssl_session *ssl_srv_new(net_stream *s, const ssl_conf *conf);

/// The stream's TLS read and write (its io operations): results of ssl_session_read and
/// ssl_session_write under the stream's current time-out.
[[nodiscard]] int ssl_recv_proc(net_stream *s, void *buf, int len);
[[nodiscard]] int ssl_send_proc(net_stream *s, const void *data, int len);

// ---------------------------------------------------------------------------------------
// Key and certificate creation.

/// Writes a new RSA-2048 key (exponent 65537) as DER to key_file and a self-signed X.509
/// v3 certificate for it as PEM to crt_file (serial 1, subject and issuer
/// "CN=CA,O=norva,C=CN", SHA-256, valid from 1 January of this year to 31 December of
/// this year + 10, CA false, subject and authority key identifiers). Returns 0 or -1.
/// A clock before 2024 fails with "Please set the correct time for the system" after the
/// key file was written. Each file is replaced whole (temporary file and rename); the key
/// file gets mode 0600, the certificate keeps the mode of the file it replaces (0644 when
/// new), and a symbolic link at either path is refused (-1, logged) and left alone.
/// Blocks for the key generation (about a second).
[[nodiscard]] int ssl_create_key_x509_file(const char *key_file, const char *crt_file);

/// Generates the RSA key into pem (PEM text, terminated) and der (DER, *der_len in: the
/// room, out: the length). 0 or the library's negative code.
[[nodiscard]] int ssl_create_pem_der(char *pem, size_t pem_size, unsigned char *der,
                                     size_t *der_len);

/// Builds the self-signed certificate for the PEM key issuer_key_pem into out (PEM text,
/// terminated). 0 or a negative code; -1 when the clock is before 2024.
[[nodiscard]] int ssl_create_x509(const char *issuer_key_pem, char *out, size_t out_size);
