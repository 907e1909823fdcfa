// sh_console.cpp - the console: line reading (the editor on a terminal, plain reads
// elsewhere) and the console session that runs lines until quit, exit or the end of input.
// While the session edits a line, log lines reach the terminal through a callback that
// takes the line off the screen, prints the log line and draws the line again.
#include "sh_edit_internal.h"

#include "log.h"
#include "pal.h"

#include <cstdio>

char *libsh_readline(const char *prompt, char *buf, int size) {
    libsh_init();
    if (buf == nullptr || size < 2)
        return nullptr;
    if (sh_tty_usable())
        return sh_edit_line(buf, size, prompt, false, 0) < 0 ? nullptr : buf;
    if (sh_tty_stdin_terminal() && prompt != nullptr) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
    }
    return sh_tty_plain_line(buf, size) ? buf : nullptr;
}

// ---------------------------------------------------------------------------------------
// The console's output operations: straight to standard output.

static int stdio_printf(void *, const char *fmt, va_list ap) {
    char buf[8192];
    int n = pal_vsnprintf(buf, fmt, ap);
    sh_tty_write(std::string_view(buf, static_cast<size_t>(n)));
    return n;
}

static int stdio_write(void *, const char *data, size_t len) {
    sh_tty_write(std::string_view(data, len));
    return static_cast<int>(len);
}

static int stdio_flush(void *) {
    return 0;
}

/// A log line while the console session runs: never in the middle of the edited line.
static void console_log_line(int, const char *, const char *line, int len) {
    std::scoped_lock lock(sh_edit_mutex());
    sh_edit_hide_locked();
    std::fwrite(line, 1, static_cast<size_t>(len), stderr);
    std::fflush(stderr);
    sh_edit_show_locked();
}

/// Takes the log's console output over while the editor runs; returns whether it did.
static bool console_log_take() {
    if (!sh_tty_usable())
        return false;
    if (log2_settings_dump().find("log_shell_enale_out=1\n") == std::string::npos)
        return false;  // console output is off: nothing to print
    log2_ioctl(nullptr, LOG2_IOC_OUT_CB, console_log_line);
    log2_ioctl(nullptr, LOG2_IOC_ERR_CB, console_log_line);
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0);
    return true;
}

static void console_log_give_back() {
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 1);
    log2_ioctl(nullptr, LOG2_IOC_OUT_CB, static_cast<log2_out_fn>(nullptr));
    log2_ioctl(nullptr, LOG2_IOC_ERR_CB, static_cast<log2_out_fn>(nullptr));
}

int libsh_stdio_loop(const char *prompt) {
    libsh_init();
    LOG2(LOG2_DBG, SH_TAG, "STDIO_MODE ==>\n");
    dbgsh_srv_ctx ctx;
    ctx.mode = SH_MODE_STDIO;
    ctx.printf = stdio_printf;
    ctx.write = stdio_write;
    ctx.flush = stdio_flush;
    const char *p = prompt != nullptr && prompt[0] != '\0' ? prompt : ">";
    // Start-up lines of the servers come first; then the hint.
    os_sleep_ms(300);
    sh_tty_write("\nType `help` to learn how to use prompt\n");
    bool took = console_log_take();
    while (ctx.exit_flag.load() == 0) {
        char line[8192] = "";
        bool got = libsh_readline(p, line, sizeof line) != nullptr;
        LOG2(LOG2_DBG, SH_TAG, "ret=%d cmd=[%s]\n", got ? 0 : -1, line);
        if (!got)
            break;
        std::string text(pal_trim(line));
        if (text == "q")
            text = "e";  // at the console q stops the program, not only the session
        (void)libsh_exec_line(&ctx, text.c_str());
    }
    if (took)
        console_log_give_back();
    return 0;
}
