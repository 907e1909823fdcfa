// event_proc.cpp - starting and stopping the server child; the only file of event_bench
// that knows processes.
#include "event_proc.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int bench_child_start(bench_child *c, const std::vector<std::string> &argv,
                      const std::string &out_path) {
    int in[2];
    if (argv.empty() || pipe2(in, O_CLOEXEC) != 0)
        return -1;
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = -1;
    posix_spawn_file_actions_t fa;
    if (out >= 0 && posix_spawn_file_actions_init(&fa) == 0) {
        // dup2 clears close-on-exec on the copies, so the child keeps exactly these three.
        if (posix_spawn_file_actions_adddup2(&fa, in[0], 0) == 0 &&
            posix_spawn_file_actions_adddup2(&fa, out, 1) == 0 &&
            posix_spawn_file_actions_adddup2(&fa, out, 2) == 0)
            rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
    }
    close(in[0]);
    if (out >= 0)
        close(out);
    if (rc != 0) {
        close(in[1]);
        return -1;
    }
    c->pid = pid;
    c->stdin_fd = in[1];
    return 0;
}

bool bench_child_alive(bench_child *c) {
    if (c->pid <= 0)
        return false;
    if (waitpid(c->pid, nullptr, WNOHANG) == 0)
        return true;
    c->pid = 0;
    return false;
}

void bench_child_stop(bench_child *c, int wait_ms) {
    if (c->stdin_fd >= 0)
        close(c->stdin_fd);
    c->stdin_fd = -1;
    for (int waited = 0; waited < wait_ms && bench_child_alive(c); waited += 20)
        usleep(20000);
    if (c->pid <= 0)
        return;
    kill(c->pid, SIGKILL);
    (void)waitpid(c->pid, nullptr, 0);
    c->pid = 0;
}
