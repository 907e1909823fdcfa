// pal_error.cpp - the error table: fixed messages for 0 and the negative codes, and the
// one place where system error numbers are mapped onto it.
#include "pal.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace {
constexpr int kTableSize = 140;

// Index i holds the message of code -i.
constexpr std::array<const char *, kTableSize> kMessages = {
    "Success.",
    "Operation failed.",
    "Invalid parameter.",
    "The system cannot find the file specified.",
    "The system cannot find the path specified.",
    "Access is denied.",
    "The handle is invalid.",
    "Not enough memory resources are available.",
    "The file exists.",
    "Too many open files.",
    // -10
    "The operation timed out.",
    "The operation would block.",
    "The operation is in progress.",
    "The socket is already connected.",
    "The operation was cancelled.",
    "The buffer is too small; the text was cut.",
    "The connection was refused.",
    "The connection was reset by the peer.",
    "The socket is not connected.",
    "The pipe has been ended.",
    // -20
    "The address is already in use.",
    "There is not enough space on the disk.",
    "The media is write protected.",
    "The resource is busy.",
    "The directory is not empty.",
    "The path names a directory.",
    "The file name is too long.",
    "Too many levels of symbolic links.",
    "The system cannot move the file to a different disk drive.",
    "An input or output error occurred.",
    // -30
    "The operation is not permitted.",
    "The handle does not support seeking.",
    "The file is too large.",
    "The value is too large for its type.",
    "The call was interrupted.",
    "The host is unreachable.",
    "The network is unreachable.",
    "Not supported.",
    "Reached the end of the file.",
    "The host name could not be resolved.",
    // -40
    "The connection was closed by the peer.",
    "The address is not available.",
    "The address family is not supported.",
    "The protocol is not supported.",
    "The message is too long.",
    "The network is down.",
    "The connection was aborted.",
    "No buffer space is available.",
    "The socket has been shut down.",
    "The operation is already in progress.",
    // -50
    "The name is not valid.",
    "The data is invalid.",
    "The file or directory is corrupted.",
    "The device is not ready.",
    "The device does not exist.",
    "The device does not support the operation.",
    "The process cannot access the file because it is in use.",
    "The lock could not be obtained.",
    "A deadlock was avoided.",
    "The argument list is too long.",
    // -60
    "The executable format is not valid.",
    "The child process does not exist.",
    "The resource is temporarily unavailable.",
    "The disk quota has been exceeded.",
    "The file system is read-only.",
    "Too many links.",
    "The result is out of range.",
    "The numeric argument is out of the domain of the function.",
    "The operation is not valid for the object's state.",
    "The object has been closed.",
    // -70
    "The object has not been initialised.",
    "The object is already initialised.",
    "The limit has been reached.",
    "The table is full.",
    "The item was not found.",
    "The item already exists.",
    "The list is empty.",
    "The format of the data is not supported.",
    "The version is not supported.",
    "The checksum does not match.",
    // -80
    "The signature is not valid.",
    "The certificate is not valid.",
    "The key is not valid.",
    "The TLS handshake failed.",
    "The TLS session has been closed.",
    "The peer sent a fatal TLS alert.",
    "The random generator could not be seeded.",
    "The proxy refused the connection.",
    "The proxy requires authentication.",
    "The proxy answered with an invalid reply.",
    // -90
    "The URL is not valid.",
    "The scheme is not supported.",
    "The port is not valid.",
    "The protocol reply is not valid.",
    "The command is not known.",
    "The command syntax is not valid.",
    "The user name or password is incorrect.",
    "The account is locked.",
    "Too many clients are connected.",
    "The session has expired.",
    // -100
    "The mount point is not valid.",
    "The file system is not mounted.",
    "The driver was not found.",
    "The driver table is full.",
    "The handle has the wrong type.",
    "The handle is not a file.",
    "The handle is not a directory.",
    "The position is outside the file.",
    "The file is shorter than expected.",
    "The file changed while it was read.",
    // -110
    "The archive is not valid.",
    "The archive type is not supported.",
    "The entry is not in the archive.",
    "The cache could not be set up.",
    "The read did not complete.",
    "The write did not complete.",
    "The flush did not complete.",
    "The volume information could not be read.",
    "The free space could not be read.",
    "The time stamp could not be set.",
    // -120
    "The attributes could not be set.",
    "The owner could not be changed.",
    "The link could not be read.",
    "The link could not be created.",
    "The path leads outside the root.",
    "The directory could not be scanned.",
    "A directory operation was attempted on a non-directory object.",
    "The thread could not be created.",
    "The thread did not end in time.",
    "The event could not be created.",
    // -130
    "The wait failed.",
    "The poller is full.",
    "The poller has been stopped.",
    "The service could not be installed.",
    "The service could not be removed.",
    "The service control manager is not available.",
    "The configuration could not be loaded.",
    "The configuration could not be saved.",
    "The setting is not known.",
    "The value of the setting is not valid.",
};

struct errno_row {
    int err;
    int code;
};

constexpr errno_row kErrnoMap[] = {
    {0, PAL_OK},
    {EINVAL, PAL_EINVAL},
    {ENOENT, PAL_ENOENT},
    {EACCES, PAL_EACCES},
    {EBADF, PAL_EBADF},
    {ENOMEM, PAL_ENOMEM},
    {EEXIST, PAL_EEXIST},
    {EMFILE, PAL_EMFILE},
    {ENFILE, PAL_EMFILE},
    {ETIMEDOUT, PAL_ETIMEDOUT},
    {EAGAIN, PAL_EAGAIN},
    {EINPROGRESS, PAL_EINPROGRESS},
    {EALREADY, -49},
    {EISCONN, PAL_EISCONN},
    {ECANCELED, PAL_ECANCELED},
    {ECONNREFUSED, PAL_ECONNREFUSED},
    {ECONNRESET, PAL_ECONNRESET},
    {ENOTCONN, PAL_ENOTCONN},
    {EPIPE, PAL_EPIPE},
    {EADDRINUSE, PAL_EADDRINUSE},
    {ENOSPC, PAL_ENOSPC},
    {EROFS, -64},
    {EBUSY, PAL_EBUSY},
    {ENOTEMPTY, PAL_ENOTEMPTY},
    {EISDIR, PAL_EISDIR},
    {ENAMETOOLONG, PAL_ENAMETOOLONG},
    {ELOOP, PAL_ELOOP},
    {EXDEV, PAL_EXDEV},
    {EIO, PAL_EIO},
    {EPERM, PAL_EPERM},
    {ESPIPE, PAL_ESPIPE},
    {EFBIG, PAL_EFBIG},
    {EOVERFLOW, PAL_EOVERFLOW},
    {EINTR, PAL_EINTR},
    {EHOSTUNREACH, PAL_EHOSTUNREACH},
    {ENETUNREACH, PAL_ENETUNREACH},
    {ENOTSUP, PAL_ENOTSUP},
    {ENOSYS, PAL_ENOTSUP},
    {EOPNOTSUPP, PAL_ENOTSUP},
    {EADDRNOTAVAIL, -41},
    {EAFNOSUPPORT, -42},
    {EPROTONOSUPPORT, -43},
    {EMSGSIZE, -44},
    {ENETDOWN, -45},
    {ECONNABORTED, -46},
    {ENOBUFS, -47},
    {ESHUTDOWN, -48},
    {ENXIO, -54},
    {ENODEV, -54},
    {ETXTBSY, -56},
    {EDEADLK, -58},
    {E2BIG, -59},
    {ENOEXEC, -60},
    {ECHILD, -61},
    {EDQUOT, -63},
    {EMLINK, -65},
    {ERANGE, -66},
    {EDOM, -67},
    {ENOTDIR, PAL_ENOTDIR},
};
}  // namespace

static_assert(PAL_ERR_MIN == -(kTableSize - 1));

const char *pal_strerror(int code) {
    if (code > 0 || code < PAL_ERR_MIN)
        return "Invalid error code";
    return kMessages[static_cast<size_t>(-code)];
}

int pal_errno_code(int err) {
    // EWOULDBLOCK equals EAGAIN and EOPNOTSUPP equals ENOTSUP on Linux; the table lists
    // each spelling so that other systems map them too.
    for (const errno_row &row : kErrnoMap)
        if (row.err == err)
            return row.code;
    return PAL_EFAIL;
}

int pal_last_error() {
    return pal_errno_code(errno);
}

const char *pal_os_strerror(int err, std::span<char> buf) {
    if (buf.empty())
        return "";
    // The GNU strerror_r may return a static text instead of filling buf.
    const char *text = strerror_r(err, buf.data(), buf.size());
    if (text != buf.data())
        (void)pal_strlcpy(buf, text);
    return buf.data();
}
