// pal_service.cpp - systemd readiness over NOTIFY_SOCKET and helper programs run to their
// end (systemctl). The datagram is written here so that no service library is needed.
#include "pal_service.h"

#include <cerrno>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pal.h"

extern char **environ;

int os_notify_state(const char *state) {
    const char *path = getenv("NOTIFY_SOCKET");
    if (!path || !*path || !state)
        return 0;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof sa.sun_path)
        return PAL_ENAMETOOLONG;
    memcpy(sa.sun_path, path, len);
    if (sa.sun_path[0] == '@')
        sa.sun_path[0] = '\0';  // abstract name
    pal_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return pal_last_error();
    socklen_t salen = socklen_t(offsetof(sockaddr_un, sun_path) + len);
    ssize_t n = sendto(fd.get(), state, strlen(state), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr *>(&sa), salen);
    return n < 0 ? pal_last_error() : 1;
}

bool os_find_exec(const char *name) {
    const char *path = getenv("PATH");
    if (!name || !*name || !path)
        return false;
    std::string_view rest(path);
    while (!rest.empty()) {
        size_t cut = rest.find(':');
        std::string dir(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        std::string full = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

int os_run_wait(const char *const argv[]) {
    if (!argv || !argv[0])
        return PAL_EINVAL;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, const_cast<char *const *>(argv),
                          environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return pal_errno_code(rc);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return pal_last_error();
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : PAL_EFAIL;
}
