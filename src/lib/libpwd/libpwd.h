// libpwd.h - the credential check of the FTP server: one configured user and password
// (accepted also in its "{SHA}" form), a per-address count of failed logins that locks an
// address out for a while, and the login file with one line per success or failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum : int {
    PWD_TEXT_SIZE = 4096,  ///< size of the credential buffers and of error texts
    PWD_SHA_LEN = 33,      ///< "{SHA}" + 28 Base64 characters
};

/// Results of libpwd_check_user_pwd and ipcheck_check.
enum : int { PWD_OK = 0, PWD_WRONG = 1, PWD_LOCKED = 2 };

/// Stores the configured user name and password (each cut to 4095 bytes) and the
/// password's "{SHA}" form. An empty user means nothing is configured. Call before any
/// session checks a login; the buffers are read without a lock afterwards.
void libpwd_set_credentials(const char *user, const char *passwd);

/// Checks one login attempt from address addr (the client's address text). user and pwd
/// may be null (read as empty) and are compared in constant time. Returns PWD_OK,
/// PWD_WRONG ("Wrong user or password" in err) or PWD_LOCKED (the lockout text in err).
/// The lockout is checked and a failure counted in one step, so parallel attempts from one
/// address get no more tries than the limit. IPv4 addresses count alone (also written as
/// IPv4-mapped IPv6), IPv6 addresses by their /64. Writes the login file. Thread-safe.
[[nodiscard]] int libpwd_check_user_pwd(const char *addr, const char *user, const char *pwd,
                                        std::span<char> err);

/// Writes the "{SHA}" form of pwd into out: "{SHA}" and the Base64 text (with padding) of
/// the SHA-1 digest of its bytes; null or empty pwd gives "". Returns out.data().
const char *pwd_sha_encode(const char *pwd, std::span<char> out);

/// SHA-1 digest of len bytes.
void pwd_sha1(const void *data, size_t len, uint8_t digest[20]);

/// Standard Base64 with padding into out (terminated). Returns the length, or -1 when out
/// is too small.
int pwd_base64(const uint8_t *data, size_t len, std::span<char> out);

/// Starts the lockout and the login file. login_file null or empty: no login file (a file
/// that cannot be opened leaves it off too). fail_limit 0 turns the lockout off (logged at
/// warning level); wait_m 0 means 60 minutes; table_limit 0 means 10000 addresses. A full
/// table never frees an address that is locked out: records whose lock ran out go first,
/// then the unlocked ones with the fewest failures; a table full of locked addresses grows
/// by a quarter of the limit, and past that a new address is checked but not counted.
/// A second call replaces the first (call libpwd_exit in between). Returns 0.
int ipcheck_init(const char *login_file, uint64_t file_size_cap, int fail_limit, int wait_m,
                 int table_limit);

/// Records in the attempt table: addresses (IPv6: /64 prefixes) with failures counted.
/// For diagnostics and tests.
int ipcheck_count();

/// The monotonic millisecond clock of the lockout; tests may replace it (null restores
/// the system clock). Not thread-safe against running checks.
void ipcheck_set_clock(uint64_t (*clock_ms)());

/// Clears the credentials (overwritten with zeros), frees the attempt table, closes the
/// login file.
void libpwd_exit();

/// Counters of libpwd_check_user_pwd since the process started, and the lockouts now.
struct pwd_stats {
    uint64_t logins_ok;      ///< attempts that returned PWD_OK
    uint64_t logins_failed;  ///< attempts that returned PWD_WRONG
    uint64_t logins_locked;  ///< attempts refused because their address was locked out
    int locked_now;          ///< addresses (IPv6: /64 prefixes) locked out at this moment
};

/// Reads the counters (no lock) and counts the locked addresses (under the table's lock,
/// one pass over the table). Any thread.
void libpwd_stats_get(pwd_stats *out);
