// sh_edit_helper.cpp - reads lines from its terminal for the editor tests. "read" (default)
// prints GOT[line] for each line and EOF at the end; "console" runs the console session,
// and logs "async log line" from another thread after SIGUSR1.
#include "log.h"
#include "sh.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

static volatile std::sig_atomic_t g_poke = 0;

static int console_mode() {
    std::signal(SIGUSR1, [](int) { g_poke = 1; });
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_TEXT, "");
    std::atomic<bool> done{false};
    std::thread poker([&done] {
        while (!done.load()) {
            if (g_poke) {
                g_poke = 0;
                LOG2(LOG2_INFO, "main", "async log line\n");
            }
            usleep(5000);
        }
    });
    int rc = libsh_stdio_loop("C> ");
    done.store(true);
    poker.join();
    std::printf("SESSION END\n");
    return rc;
}

int main(int argc, char **argv) {
    libsh_init();
    if (argc > 1 && std::strcmp(argv[1], "console") == 0)
        return console_mode();
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
    char buf[4096];
    while (libsh_readline("T> ", buf, sizeof buf) != nullptr) {
        std::printf("GOT[%s]\n", buf);
        std::fflush(stdout);
    }
    std::printf("EOF\n");
    return 0;
}
