// sh_edit_hist.cpp - the editor's history ring (256 lines), its list, search and clearing,
// the paged output of lists, colours, and the key help (F1). The history lives for the
// process and is used only by the thread that owns the console.
#include "sh_edit_internal.h"

#include "pal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

static std::array<std::string, SH_HIST_SLOTS> g_hist;
static long g_hist_added = 0;  // lines added since start; the n-th sits in slot n % 256
static std::string g_last_patterns;

void sh_hist_add(std::string_view line) {
    line = line.substr(0, SH_HIST_LINE - 1);
    if (line.empty() || line == "history")
        return;
    if (g_hist_added > 0 && g_hist[(g_hist_added - 1) % SH_HIST_SLOTS] == line)
        return;
    g_hist[g_hist_added % SH_HIST_SLOTS] = std::string(line);
    g_hist_added++;
}

int sh_hist_count() {
    return static_cast<int>(std::min<long>(g_hist_added, SH_HIST_SLOTS));
}

std::string sh_hist_at(int i) {
    long first = g_hist_added - sh_hist_count();
    return g_hist[(first + i) % SH_HIST_SLOTS];
}

void sh_hist_clear() {
    for (std::string &s : g_hist)
        s.clear();
    g_hist_added = 0;
}

// ---------------------------------------------------------------------------------------
// Colours and paging.

std::string sh_colour(int code) {
    if (code == 0)
        return "\x1b[0m";
    std::string out = "\x1b[0";
    int fg = code & 0x7f, bg = (code >> 8) & 0x7f;
    if (fg >= 1 && fg <= 8)
        out += ";" + std::to_string(((code & 0x80) ? 90 : 30) + fg - 1);
    if (bg >= 1 && bg <= 8)
        out += ";" + std::to_string(((code & 0x8000) ? 100 : 40) + bg - 1);
    if (code & 0x10000)
        out += ";4";
    return out + "m";
}

void sh_pager_start(sh_pager *p) {
    sh_tty_size(&p->cols, &p->rows);
    p->used = 0;
    p->stopped = false;
}

bool sh_pager::line(std::string_view text, int visible_len) {
    if (stopped)
        return false;
    if (used >= rows - 1) {
        sh_tty_write("*** Press <Space> or <Enter> to continue . . .");
        std::string raw;
        int key = sh_key_read(&raw);
        sh_tty_write("\r\x1b[K");
        if (key != ' ' && key != '\r' && key != '\n') {
            stopped = true;
            return false;
        }
        used = 0;
    }
    sh_tty_write(std::string(text) + "\n");  // the terminal adds the carriage return
    used += std::max(1, (visible_len + cols - 1) / cols);
    return true;
}

// ---------------------------------------------------------------------------------------
// Key help.

namespace {
struct help_row {
    const char *keys;
    const char *action;
};
struct help_group {
    const char *name;
    std::initializer_list<help_row> rows;
};
}  // namespace

static const help_group help_groups[] = {
    {"Misc", {{"F1", "show this key help"}, {"Ctrl-^", "keyboard debug mode"}}},
    {"Move",
     {{"Ctrl-B, Left / Ctrl-F, Right", "one character back / forward"},
      {"Up, ESC+Up, Ctrl-Up, Alt-Up / Down, ESC+Down, Ctrl-Down, Alt-Down",
       "move between the lines of a line that wraps"},
      {"Alt-B, ESC+Left, Ctrl-Left, Alt-Left / Alt-F, ESC+Right, Ctrl-Right, Alt-Right",
       "one word back / forward"},
      {"Ctrl-A, Home / Ctrl-E, End", "start / end of line"},
      {"Ctrl-L", "clear the screen and redraw the line"}}},
    {"Edit",
     {{"Ctrl-H, Backspace", "delete the character before the cursor"},
      {"Ctrl-D, DEL", "delete the character under the cursor"},
      {"Alt-U / Alt-L / Alt-C", "uppercase / lowercase / capitalize the current or following word"},
      {"Alt-\\", "delete white space around the cursor"},
      {"Ctrl-T", "transpose characters"}}},
    {"Cut and paste",
     {{"Ctrl-K, ESC+End, Ctrl-End, Alt-End", "cut to end of line"},
      {"Ctrl-U, ESC+Home, Ctrl-Home, Alt-Home", "cut from start of line to the cursor"},
      {"Ctrl-X", "cut the whole line"},
      {"Alt-Backspace, ESC+Backspace, Ctrl-Backspace", "cut the word left of the cursor"},
      {"Alt-D, ESC+Del, Alt-Del, Ctrl-Del", "cut the word after the cursor"},
      {"Ctrl-W", "cut left up to white space"},
      {"Ctrl-Y, Ctrl-V, Insert", "paste the last cut text"}}},
    {"Complete",
     {{"TAB, Ctrl-I", "complete"}, {"Alt-=, Alt-?", "list the possible completions"}}},
    {"History",
     {{"Ctrl-P, Up / Ctrl-N, Down", "previous / next history line"},
      {"Alt-<, PgUp / Alt->, PgDn", "first history line / back to the input line"},
      {"Ctrl-R, Ctrl-S", "search the history"},
      {"F4", "search the history with the current input as patterns"},
      {"F1 in search", "show the pattern help"},
      {"F2", "list the history"},
      {"F3", "clear the history after confirmation"}}},
    {"Control",
     {{"Enter, Ctrl-J, Ctrl-M", "accept the line"},
      {"Ctrl-G", "abort the line (returns no line)"},
      {"Ctrl-C", "end the process with status 1"},
      {"Ctrl-D", "end of input when the line is empty"},
      {"Alt-R", "revert the line"},
      {"Ctrl-Z", "suspend (on systems with job control; resumes editing)"}}},
};

/// The parts of a text separated by " / " (keys and their actions pair up row by row).
static std::vector<std::string> slash_parts(std::string_view s) {
    std::vector<std::string> out;
    for (;;) {
        size_t at = s.find(" / ");
        out.emplace_back(s.substr(0, at));
        if (at == std::string_view::npos)
            return out;
        s.remove_prefix(at + 3);
    }
}

/// Rows of a group: each " / " alternative of the keys on its own row, next to the
/// matching alternative of the action when the action has as many.
static std::vector<std::pair<std::string, std::string>> help_rows(const help_group &g) {
    std::vector<std::pair<std::string, std::string>> rows;
    for (const help_row &r : g.rows) {
        std::vector<std::string> keys = slash_parts(r.keys), acts = slash_parts(r.action);
        if (acts.size() != keys.size())
            acts = {r.action};
        for (size_t i = 0; i < keys.size(); i++)
            rows.emplace_back(keys[i], i < acts.size() ? acts[i] : "");
    }
    return rows;
}

static bool help_box(sh_pager *pg, const help_group &g) {
    auto rows = help_rows(g);
    size_t kw = std::strlen(g.name), aw = 0;
    for (const auto &[k, a] : rows) {
        kw = std::max(kw, k.size());
        aw = std::max(aw, a.size());
    }
    std::string rule = "+" + std::string(kw + 2, '-') + "+" + std::string(aw + 2, '-') + "+";
    auto row = [&](const std::string &k, const std::string &a) {
        std::string t = "| " + k + std::string(kw - k.size(), ' ') + " | " + a +
                        std::string(aw - a.size(), ' ') + " |";
        return pg->line(t, static_cast<int>(t.size()));
    };
    auto ruler = [&] { return pg->line(rule, static_cast<int>(rule.size())); };
    if (!ruler() || !row(g.name, "") || !ruler())
        return false;
    for (const auto &[k, a] : rows) {
        if (!row(k, a))
            return false;
    }
    return ruler();
}

static const char *const pattern_help[] = {
    "Patterns are separated by ' ', patter match is case insensitive:",
    "  (Hint: use Ctrl-Y/Ctrl-V/Insert to paste last paterns)",
    "    word           choose line including word",
    "    -word          choose line excluding word",
    "    \"a phrase\"     choose line including a phrase",
    "    -\"a phrase\"    choose line excluding a phrase",
    "  e.g.  show -memory \"log level\" -\"set log\"",
};

void sh_edit_help(bool patterns) {
    sh_pager pg;
    sh_pager_start(&pg);
    if (patterns) {
        for (const char *line : pattern_help) {
            if (!pg.line(line, static_cast<int>(std::strlen(line))))
                return;
        }
        return;
    }
    for (const help_group &g : help_groups) {
        if (!help_box(&pg, g))
            return;
    }
    pg.line("Alt keys can also be typed as ESC followed by the key.", 55) &&
        pg.line("Up and Down move between the rows of a line that wraps; on its first (last) row "
                "they fetch history.",
                100);
}

// ---------------------------------------------------------------------------------------
// List, clear, search.

/// Lists lines numbered from 1 with paging.
static void list_numbered(const std::vector<std::string> &lines) {
    sh_pager pg;
    sh_pager_start(&pg);
    for (size_t i = 0; i < lines.size(); i++) {
        std::string t = pal_format("%4d  %s", static_cast<int>(i + 1), lines[i].c_str());
        if (!pg.line(t, static_cast<int>(t.size())))
            return;
    }
}

void sh_hist_list() {
    std::vector<std::string> lines;
    for (int i = 0; i < sh_hist_count(); i++) {
        std::string l = sh_hist_at(i);
        if (!l.empty())
            lines.push_back(l);
    }
    list_numbered(lines);
}

bool sh_hist_confirm_clear() {
    sh_tty_write(" \b\n!!! Confirm to clear history [y]: ");
    std::string raw;
    if (sh_key_read(&raw) != 'y')
        return false;
    sh_hist_clear();
    sh_tty_write("\nHistory are cleared!");
    return true;
}

namespace {
struct pattern {
    std::string text;  ///< lower case
    bool exclude;
};
}  // namespace

static std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

/// Words separated by blanks; "..." keeps blanks; a leading '-' excludes. At most 16.
static std::vector<pattern> parse_patterns(std::string_view s) {
    std::vector<pattern> out;
    size_t i = 0;
    while (i < s.size() && out.size() < 16) {
        while (i < s.size() && s[i] == ' ')
            i++;
        if (i >= s.size())
            break;
        bool exclude = s[i] == '-';
        i += exclude;
        size_t end;
        if (i < s.size() && s[i] == '"') {
            end = s.find('"', ++i);
            end = end == std::string_view::npos ? s.size() : end;
            out.push_back({lower(s.substr(i, end - i)), exclude});
            i = end + 1;
            continue;
        }
        end = std::min(s.find(' ', i), s.size());
        if (end > i)
            out.push_back({lower(s.substr(i, end - i)), exclude});
        i = end;
    }
    return out;
}

static bool matches(const std::string &line, const std::vector<pattern> &pats) {
    std::string l = lower(line);
    for (const pattern &p : pats) {
        if ((l.find(p.text) != std::string::npos) == p.exclude)
            return false;
    }
    return true;
}

bool sh_hist_search(const std::string &start, std::string *out) {
    char pats[SH_HIST_LINE];
    pal_strlcpy(pats, start);
    std::string saved_cut = sh_edit_cut();
    if (!g_last_patterns.empty())
        sh_edit_cut() = g_last_patterns;
    int n = sh_edit_line(pats, sizeof pats, "Input Patterns <F1> help: ", !start.empty(), 2);
    sh_edit_cut() = saved_cut;
    if (n < 0)
        return false;
    g_last_patterns = pats;
    std::vector<pattern> p = parse_patterns(pats);
    std::vector<std::string> found;
    for (int i = 0; i < sh_hist_count(); i++) {
        std::string l = sh_hist_at(i);
        if (!l.empty() && matches(l, p))
            found.push_back(l);
    }
    list_numbered(found);
    if (found.empty())
        return false;
    char id[8] = "";
    if (found.size() == 1)
        pal_strlcpy(id, "1");
    if (sh_edit_line(id, sizeof id, "Input history id: ", found.size() == 1, 1) <= 0)
        return false;
    int k = pal_atoi(id);
    if (k < 1 || k > static_cast<int>(found.size())) {
        sh_tty_write(pal_format(" \bInvalid history id: %s\n", id));
        return false;
    }
    *out = found[static_cast<size_t>(k - 1)];
    return true;
}
