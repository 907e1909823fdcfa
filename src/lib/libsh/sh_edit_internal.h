// sh_edit_internal.h - the line editor's parts: the terminal back end (termios), key codes
// decoded from escape sequences, the history ring and the editing state.
#pragma once

#include "sh_internal.h"

#include <mutex>
#include <string>

// ---------------------------------------------------------------------------------------
// Terminal back end (sh_tty_termios.cpp). Output goes to standard output.

/// True when standard input and output are terminals and TERM allows the editor.
bool sh_tty_usable();
/// Raw mode on (no echo, no line discipline, no signals from keys). Returns 0 or -1.
/// The first call arranges for the terminal to be restored at exit and on a fault.
int sh_tty_raw();
/// Restores the attributes saved by sh_tty_raw (safe to call when not raw).
void sh_tty_restore();
/// One byte from standard input, waiting at most timeout_ms (-1: no limit). Returns the
/// byte (0..255), -2 on time-out, -1 at the end of input or on an error.
int sh_tty_read_byte(int timeout_ms);
/// Writes text whole to standard output.
void sh_tty_write(std::string_view text);
/// Columns and rows of the window; a size below 2 counts as 160 x 24.
void sh_tty_size(int *cols, int *rows);
/// True once after the window changed size.
bool sh_tty_resized();
/// Suspends the process with the terminal restored; raw mode again when it resumes.
void sh_tty_suspend();
/// Restores the terminal and ends the process with code at once (Ctrl-C).
[[noreturn]] void sh_tty_exit(int code);
/// True when standard input is a terminal.
bool sh_tty_stdin_terminal();
/// Plain line from standard input without CR/LF; false at the end of input.
bool sh_tty_plain_line(char *buf, int size);

// ---------------------------------------------------------------------------------------
// Keys (sh_edit_keys.cpp).

enum : int {
    KEY_EXT = 0x1B00,  ///< extended key: KEY_EXT + scan code
    KEY_ALT = 0x1C00,  ///< Alt with a character: KEY_ALT + character
    KEY_ALT_EXT = 0x1D00,  ///< Alt with an extended key: KEY_ALT_EXT + scan code

    SC_F1 = 0x3B, SC_F2 = 0x3C, SC_F3 = 0x3D, SC_F4 = 0x3E,
    SC_HOME = 0x47, SC_UP = 0x48, SC_PGUP = 0x49, SC_LEFT = 0x4B, SC_RIGHT = 0x4D,
    SC_END = 0x4F, SC_DOWN = 0x50, SC_PGDN = 0x51, SC_INS = 0x52, SC_DEL = 0x53,
    SC_CTRL_LEFT = 0x73, SC_CTRL_RIGHT = 0x74, SC_CTRL_END = 0x75, SC_CTRL_HOME = 0x77,
    SC_CTRL_UP = 0x8D, SC_CTRL_DOWN = 0x91, SC_CTRL_DEL = 0x93,
    SC_CTRL_BS = 0x0E,  ///< Ctrl-Backspace where the terminal tells it apart

    KEY_EOF = -1,
};

/// Reads one key: a character, KEY_EXT + scan code, KEY_ALT + character (ESC followed by a
/// character) or KEY_ALT_EXT + scan code. raw receives the bytes read (for the keyboard
/// debug mode). Returns KEY_EOF at the end of input.
int sh_key_read(std::string *raw);

// ---------------------------------------------------------------------------------------
// History (sh_edit_hist.cpp): a ring of 256 lines of at most 4095 bytes.

constexpr int SH_HIST_SLOTS = 256;
constexpr size_t SH_HIST_LINE = 4096;

/// Adds line unless it is empty, "history" or equal to the newest line.
void sh_hist_add(std::string_view line);
/// Number of lines kept (at most 256).
int sh_hist_count();
/// The i-th kept line, 0 the oldest.
std::string sh_hist_at(int i);
void sh_hist_clear();

// ---------------------------------------------------------------------------------------
// Output with paging.

/// Counts rows of listed output; after a full screen less one it asks for a key.
struct sh_pager {
    int cols = 80, rows = 24, used = 0;
    bool stopped = false;
    /// Prints one line (text without its line end; colours allowed). False once stopped.
    bool line(std::string_view text, int visible_len);
};
void sh_pager_start(sh_pager *p);

/// "\x1b[...m" for a colour code (0 resets).
std::string sh_colour(int code);

// Features of the editor shown from lists (sh_edit_hist.cpp).
void sh_edit_help(bool patterns);
void sh_hist_list();
/// F3: asks for "y" and clears. Returns true when cleared.
bool sh_hist_confirm_clear();
/// Ctrl-R, Ctrl-S, F4: runs the pattern prompt (start text given), lists matches and asks
/// for an id. Returns true and the chosen line in *out.
bool sh_hist_search(const std::string &start, std::string *out);

/// The cut buffer (paste source).
std::string &sh_edit_cut();

/// Lock held while the editor draws; the console's log callback takes it too.
std::mutex &sh_edit_mutex();
/// Hides the line being edited (when one is shown) before other output.
void sh_edit_hide_locked();
/// Shows it again after that output.
void sh_edit_show_locked();
