// sh_tty_termios.cpp - the line editor's terminal back end: raw mode with termios, key
// bytes with a bounded wait, the window size (TIOCGWINSZ, SIGWINCH), job control. The
// saved attributes are put back at exit, on Ctrl-C and before a fault is handled, so a
// shell never leaves the terminal without echo.
#include "sh_edit_internal.h"

#include "pal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static termios g_saved{};
static std::atomic<bool> g_have_saved{false};
static std::atomic<bool> g_raw{false};
static std::atomic<bool> g_resized{false};
static bool g_armed = false;

static const int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
static struct sigaction g_prev[std::size(fault_signals)];

bool sh_tty_usable() {
    if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1)
        return false;
    const char *term = std::getenv("TERM");
    if (term == nullptr)
        return true;
    for (const char *plain : {"dumb", "cons25", "emacs"}) {
        if (strcasecmp(term, plain) == 0)
            return false;
    }
    return true;
}

void sh_tty_restore() {
    // Only async-signal-safe calls: this also runs inside the fault handler.
    if (g_raw.exchange(false) && g_have_saved.load())
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

/// Puts the terminal back when the fault will end the process (a thread started with the
/// "handle" option ends alone, and the editor goes on), then lets the previous handler (the
/// crash report) run.
static void fault_restore(int signo, siginfo_t *si, void *uc) {
    if (!os_thread_self_opts().handle)
        sh_tty_restore();
    for (size_t i = 0; i < std::size(fault_signals); i++) {
        if (fault_signals[i] != signo)
            continue;
        const struct sigaction &prev = g_prev[i];
        if (prev.sa_flags & SA_SIGINFO) {
            prev.sa_sigaction(signo, si, uc);
            return;
        }
        if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
            prev.sa_handler(signo);
            return;
        }
        signal(signo, SIG_DFL);  // the default action follows when the handler returns
        raise(signo);
    }
}

static void on_winch(int) {
    g_resized.store(true);
}

/// Once: restore at exit, before fault handling, and follow window size changes.
static void tty_arm() {
    if (g_armed)
        return;
    g_armed = true;
    std::atexit(sh_tty_restore);
    for (size_t i = 0; i < std::size(fault_signals); i++) {
        struct sigaction sa {};
        sigaction(fault_signals[i], nullptr, &g_prev[i]);
        sa.sa_sigaction = fault_restore;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | (g_prev[i].sa_flags & SA_NODEFER);
        sa.sa_mask = g_prev[i].sa_mask;
        sigaction(fault_signals[i], &sa, nullptr);
    }
    struct sigaction sw {};
    sw.sa_handler = on_winch;
    sigemptyset(&sw.sa_mask);
    sigaction(SIGWINCH, &sw, nullptr);
}

int sh_tty_raw() {
    if (g_raw.load())
        return 0;
    termios t{};
    if (tcgetattr(STDIN_FILENO, &t) != 0)
        return -1;
    if (!g_have_saved.load()) {
        g_saved = t;
        g_have_saved.store(true);
    }
    tty_arm();
    t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    t.c_cflag |= CS8;
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0)
        return -1;
    g_raw.store(true);
    return 0;
}

static bool stop_asked() {
    const std::atomic<int> *stop = sh_app().stop;
    return stop != nullptr && stop->load() != 0;
}

/// Waits for input in 200 ms slices so that a stop request ends the wait.
static int wait_input(int timeout_ms) {
    constexpr int slice = 200;
    for (int waited = 0;; waited += slice) {
        if (stop_asked())
            return -3;
        int step = timeout_ms < 0 ? slice : std::min(slice, timeout_ms - waited);
        pollfd p{.fd = STDIN_FILENO, .events = POLLIN, .revents = 0};
        int n = poll(&p, 1, std::max(step, 0));
        if (n != 0 || (timeout_ms >= 0 && waited + step >= timeout_ms))
            return n;
    }
}

int sh_tty_read_byte(int timeout_ms) {
    for (;;) {
        int n = wait_input(timeout_ms);
        if (n == -3)
            return -1;
        if (n < 0 && errno == EINTR) {
            if (timeout_ms >= 0)
                return -2;  // a resize: let the caller redraw
            if (g_resized.load())
                return -2;
            continue;
        }
        if (n < 0)
            return -1;
        if (n == 0)
            return -2;
        unsigned char c;
        ssize_t r = read(STDIN_FILENO, &c, 1);
        if (r == 1)
            return c;
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return -1;
    }
}

void sh_tty_write(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

void sh_tty_size(int *cols, int *rows) {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col < 2 || ws.ws_row < 2) {
        *cols = 160;
        *rows = 24;
        return;
    }
    *cols = ws.ws_col;
    *rows = ws.ws_row;
}

bool sh_tty_resized() {
    return g_resized.exchange(false);
}

void sh_tty_suspend() {
    sh_tty_restore();
    kill(getpid(), SIGTSTP);  // stops here until SIGCONT
    (void)sh_tty_raw();
}

void sh_tty_exit(int code) {
    sh_tty_restore();
    std::fflush(stdout);
    std::fflush(stderr);
    // Other threads (the servers) still run: end at once rather than run destructors
    // under them.
    std::_Exit(code);
}

bool sh_tty_stdin_terminal() {
    return isatty(STDIN_FILENO) == 1;
}

bool sh_tty_plain_line(char *buf, int size) {
    // Byte by byte from the descriptor (no stdio buffer), so that the wait can see a stop
    // request between slices. The rest of an overlong line is dropped.
    size_t n = 0;
    bool any = false;
    for (;;) {
        int c = sh_tty_read_byte(-1);
        if (c == -2)
            continue;
        if (c < 0) {
            if (!any)
                return false;
            break;
        }
        any = true;
        if (c == '\n')
            break;
        if (n + 1 < static_cast<size_t>(size))
            buf[n++] = static_cast<char>(c);
    }
    while (n > 0 && buf[n - 1] == '\r')
        n--;
    buf[n] = '\0';
    return true;
}
