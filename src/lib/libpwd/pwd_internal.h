// pwd_internal.h - what the files of libpwd share.
#pragma once

#include <span>
#include <string>

/// How the credentials of one attempt compared.
enum : int {
    IPCHECK_ACCEPTED = 0,   ///< right user and password: the address's count is cleared
    IPCHECK_WRONG = 1,      ///< counted as a failure
    IPCHECK_UNCOUNTED = 2,  ///< wrong, but neither counted nor written to the login file
};

/// One login attempt from addr, checked against the lockout and counted in the same step
/// under the table's lock, so that parallel attempts from one address get no more tries
/// than the limit. Writes the login file line (not for a locked or uncounted attempt).
/// Returns PWD_OK, or PWD_LOCKED with the lockout text in err (nothing counted then).
[[nodiscard]] int ipcheck_attempt(const char *addr, const char *user, int outcome,
                                  std::span<char> err);

/// The table's key for a client address: an IPv4 address (also in its IPv4-mapped IPv6
/// form) as "%u.%u.%u.%u", an IPv6 address by its /64 as "xxxx:xxxx:xxxx:xxxx::/64", any
/// other text as it is.
std::string ipcheck_key(const char *addr);

/// Frees the attempt table and closes the login file (part of libpwd_exit).
void ipcheck_table_exit();

/// Addresses locked out at this moment.
int ipcheck_locked_count();
