// sh_edit.cpp - the line editor: one line edited in place with cursor and Emacs-style keys,
// drawn over as many rows as it wraps to. Keys dispatch through one binding table. The
// line on screen can be hidden and shown again by other output (log lines) under one lock.
#include "sh_edit_internal.h"

#include "pal.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
struct edit_state {
    std::string line;
    size_t pos = 0;
    size_t cap = 0;  ///< most bytes the line may hold (buffer size - 1)
    std::string prompt;
    int mode = 0;
    int cols = 80, rows = 24;
    int cur_row = 0;  ///< row of the cursor below the prompt's row
    bool shown = false;
    int hist = 0;  ///< history line shown; == count for the input line
    std::string input;     ///< the input line while history is shown
    std::string original;  ///< the line as editing began (Alt-R)
};
}  // namespace

enum edit_action { EDIT_GO, EDIT_ACCEPT, EDIT_ABORT, EDIT_EOF };

static std::mutex g_edit_mu;
static edit_state *g_active = nullptr;  // the line on screen; under g_edit_mu
static std::string g_cut;               // the last cut text

std::string &sh_edit_cut() {
    return g_cut;
}

std::mutex &sh_edit_mutex() {
    return g_edit_mu;
}

static const char word_seps[] = " \t!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";

static bool is_sep(char c) {
    return std::strchr(word_seps, c) != nullptr && c != '\0';
}

/// Display columns of text: bytes that do not continue a UTF-8 sequence.
static int width(std::string_view s) {
    int n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// ---------------------------------------------------------------------------------------
// Drawing.

static std::string move_up(int n) {
    return n > 0 ? "\x1b[" + std::to_string(n) + "A" : "";
}

static void refresh(edit_state *e) {
    std::string out = move_up(e->cur_row) + "\r\x1b[J" + e->prompt + e->line;
    int total = width(e->prompt) + width(e->line);
    if (total > 0 && total % e->cols == 0)
        out += "\r\n";  // leave the pending wrap so the cursor math holds
    int end_row = total / e->cols;
    int t = width(e->prompt) + width(std::string_view(e->line).substr(0, e->pos));
    out += move_up(end_row - t / e->cols) + "\r";
    if (t % e->cols > 0)
        out += "\x1b[" + std::to_string(t % e->cols) + "C";
    e->cur_row = t / e->cols;
    e->shown = true;
    sh_tty_write(out);
}

void sh_edit_hide_locked() {
    edit_state *e = g_active;
    if (e == nullptr || !e->shown)
        return;
    sh_tty_write(move_up(e->cur_row) + "\r\x1b[J");
    e->cur_row = 0;
    e->shown = false;
}

void sh_edit_show_locked() {
    if (g_active != nullptr && !g_active->shown)
        refresh(g_active);
}

/// Moves below the line and starts a new row, for listed output.
static void leave_line(edit_state *e) {
    int total = width(e->prompt) + width(e->line);
    int end_row = total / e->cols;
    sh_tty_write(std::string(end_row > e->cur_row ? "\x1b[" + std::to_string(end_row - e->cur_row) + "B" : "") +
                 "\r\n");
    e->cur_row = 0;
    e->shown = false;
}

// ---------------------------------------------------------------------------------------
// Moves and edits.

static size_t char_left(const edit_state *e, size_t p) {
    while (p > 0 && (static_cast<unsigned char>(e->line[--p]) & 0xC0) == 0x80) {
    }
    return p;
}

static size_t char_right(const edit_state *e, size_t p) {
    if (p >= e->line.size())
        return p;
    p++;
    while (p < e->line.size() && (static_cast<unsigned char>(e->line[p]) & 0xC0) == 0x80)
        p++;
    return p;
}

static size_t word_left(const edit_state *e, size_t p) {
    while (p > 0 && is_sep(e->line[p - 1]))
        p--;
    while (p > 0 && !is_sep(e->line[p - 1]))
        p--;
    return p;
}

static size_t word_right(const edit_state *e, size_t p) {
    while (p < e->line.size() && is_sep(e->line[p]))
        p++;
    while (p < e->line.size() && !is_sep(e->line[p]))
        p++;
    return p;
}

static void insert(edit_state *e, std::string_view text) {
    size_t room = e->cap > e->line.size() ? e->cap - e->line.size() : 0;
    text = text.substr(0, room);
    e->line.insert(e->pos, text);
    e->pos += text.size();
}

/// Cuts [from, to) into the cut buffer.
static void cut(edit_state *e, size_t from, size_t to) {
    if (to <= from)
        return;
    g_cut = e->line.substr(from, to - from);
    e->line.erase(from, to - from);
    e->pos = from;
}

static void set_line(edit_state *e, const std::string &text) {
    e->line = text.substr(0, e->cap);
    e->pos = e->line.size();
}

static int k_left(edit_state *e) { e->pos = char_left(e, e->pos); return EDIT_GO; }
static int k_right(edit_state *e) { e->pos = char_right(e, e->pos); return EDIT_GO; }
static int k_home(edit_state *e) { e->pos = 0; return EDIT_GO; }
static int k_end(edit_state *e) { e->pos = e->line.size(); return EDIT_GO; }
static int k_word_left(edit_state *e) { e->pos = word_left(e, e->pos); return EDIT_GO; }
static int k_word_right(edit_state *e) { e->pos = word_right(e, e->pos); return EDIT_GO; }

static int k_backspace(edit_state *e) {
    size_t p = char_left(e, e->pos);
    e->line.erase(p, e->pos - p);
    e->pos = p;
    return EDIT_GO;
}

static int k_delete(edit_state *e) {
    e->line.erase(e->pos, char_right(e, e->pos) - e->pos);
    return EDIT_GO;
}

static int k_ctrl_d(edit_state *e) {
    if (e->line.empty())
        return EDIT_EOF;
    return k_delete(e);
}

static int k_cut_end(edit_state *e) { cut(e, e->pos, e->line.size()); return EDIT_GO; }
static int k_cut_start(edit_state *e) { cut(e, 0, e->pos); return EDIT_GO; }
static int k_cut_line(edit_state *e) { cut(e, 0, e->line.size()); return EDIT_GO; }
static int k_cut_word_left(edit_state *e) { cut(e, word_left(e, e->pos), e->pos); return EDIT_GO; }
static int k_cut_word_right(edit_state *e) {
    cut(e, e->pos, word_right(e, e->pos));
    return EDIT_GO;
}

static int k_cut_to_space(edit_state *e) {
    size_t p = e->pos;
    while (p > 0 && std::isspace(static_cast<unsigned char>(e->line[p - 1])))
        p--;
    while (p > 0 && !std::isspace(static_cast<unsigned char>(e->line[p - 1])))
        p--;
    cut(e, p, e->pos);
    return EDIT_GO;
}

static int k_paste(edit_state *e) { insert(e, g_cut); return EDIT_GO; }

static int k_transpose(edit_state *e) {
    if (e->pos == 0 || e->line.size() < 2)
        return EDIT_GO;
    if (e->pos == e->line.size())
        e->pos--;
    std::swap(e->line[e->pos - 1], e->line[e->pos]);
    e->pos++;
    return EDIT_GO;
}

static int k_squeeze(edit_state *e) {
    size_t a = e->pos, b = e->pos;
    while (a > 0 && (e->line[a - 1] == ' ' || e->line[a - 1] == '\t'))
        a--;
    while (b < e->line.size() && (e->line[b] == ' ' || e->line[b] == '\t'))
        b++;
    e->line.erase(a, b - a);
    e->pos = a;
    return EDIT_GO;
}

/// Alt-U, Alt-L, Alt-C on the current or following word; the cursor ends after it.
static int word_case(edit_state *e, int how) {
    size_t p = e->pos;
    while (p < e->line.size() && is_sep(e->line[p]))
        p++;
    bool first = true;
    for (; p < e->line.size() && !is_sep(e->line[p]); p++) {
        unsigned char c = static_cast<unsigned char>(e->line[p]);
        bool up = how == 'u' || (how == 'c' && first);
        e->line[p] = static_cast<char>(up ? std::toupper(c) : std::tolower(c));
        first = false;
    }
    e->pos = p;
    return EDIT_GO;
}

static int k_upper(edit_state *e) { return word_case(e, 'u'); }
static int k_lower(edit_state *e) { return word_case(e, 'l'); }
static int k_capital(edit_state *e) { return word_case(e, 'c'); }
static int k_revert(edit_state *e) { set_line(e, e->original); return EDIT_GO; }
static int k_accept(edit_state *) { return EDIT_ACCEPT; }
static int k_abort(edit_state *) { return EDIT_ABORT; }

static int k_ctrl_c(edit_state *e) {
    leave_line(e);
    sh_tty_exit(1);
}

static int k_clear_screen(edit_state *e) {
    sh_tty_write("\x1b[H\x1b[2J");
    e->cur_row = 0;
    e->shown = false;
    return EDIT_GO;
}

// ---------------------------------------------------------------------------------------
// History and rows.

static int k_hist_prev(edit_state *e) {
    if (e->mode != 0 || e->hist <= 0)
        return EDIT_GO;
    if (e->hist == sh_hist_count())
        e->input = e->line;
    set_line(e, sh_hist_at(--e->hist));
    return EDIT_GO;
}

static int k_hist_next(edit_state *e) {
    int count = sh_hist_count();
    if (e->mode != 0 || e->hist >= count)
        return EDIT_GO;
    e->hist++;
    set_line(e, e->hist == count ? e->input : sh_hist_at(e->hist));
    return EDIT_GO;
}

static int k_hist_first(edit_state *e) {
    if (e->mode != 0 || sh_hist_count() == 0)
        return EDIT_GO;
    if (e->hist == sh_hist_count())
        e->input = e->line;
    e->hist = 0;
    set_line(e, sh_hist_at(0));
    return EDIT_GO;
}

static int k_hist_input(edit_state *e) {
    if (e->mode != 0 || e->hist == sh_hist_count())
        return EDIT_GO;
    e->hist = sh_hist_count();
    set_line(e, e->input);
    return EDIT_GO;
}

/// Moves the cursor one row up or down inside a wrapped line; false when there is none.
static bool row_move(edit_state *e, int dir) {
    int pw = width(e->prompt);
    int t = pw + width(std::string_view(e->line).substr(0, e->pos)) + dir * e->cols;
    int total = pw + width(e->line);
    if (t < pw || (dir > 0 && t / e->cols > total / e->cols))
        return false;
    t = std::min(t, total);
    size_t p = 0;
    for (int col = pw; p < e->line.size() && col < t; col++)
        p = char_right(e, p);
    e->pos = p;
    return true;
}

static int k_row_up(edit_state *e) { row_move(e, -1); return EDIT_GO; }
static int k_row_down(edit_state *e) { row_move(e, 1); return EDIT_GO; }

static int k_up(edit_state *e) {
    bool at_end = e->pos == e->line.size();
    if (!at_end && row_move(e, -1))
        return EDIT_GO;
    return k_hist_prev(e);
}

static int k_down(edit_state *e) {
    if (row_move(e, 1))
        return EDIT_GO;
    return k_hist_next(e);
}

// ---------------------------------------------------------------------------------------
// Keys that print lists or ask questions: they run with the line detached.

static int k_help(edit_state *e) {
    leave_line(e);
    sh_edit_help(e->mode == 2);
    return EDIT_GO;
}

static int k_hist_list(edit_state *e) {
    leave_line(e);
    sh_hist_list();
    return EDIT_GO;
}

static int k_hist_clear(edit_state *e) {
    leave_line(e);
    (void)sh_hist_confirm_clear();
    sh_tty_write("\r\n");
    return EDIT_GO;
}

static int search_with(edit_state *e, const std::string &start) {
    if (e->mode != 0)
        return EDIT_GO;
    leave_line(e);
    std::string found;
    if (sh_hist_search(start, &found)) {
        set_line(e, found);
        e->hist = sh_hist_count();
    }
    return EDIT_GO;
}

static int k_search(edit_state *e) { return search_with(e, ""); }
static int k_search_input(edit_state *e) { return search_with(e, e->line); }

static int k_suspend(edit_state *e) {
    leave_line(e);
    sh_tty_suspend();
    return EDIT_GO;
}

static int k_key_debug(edit_state *e) {
    leave_line(e);
    sh_tty_write("\r\nEnter keyboard debug mode, <Ctrl-C> to exit debug\r\n");
    for (;;) {
        int c = sh_tty_read_byte(-1);
        if (c < 0 && c != -2)
            return EDIT_EOF;
        if (c == 3)
            break;
        if (c >= 0)
            sh_tty_write(pal_format("%3d 0x%02x (%c)\r\n", c, c, c >= 32 && c < 127 ? c : ' '));
    }
    return EDIT_GO;
}

static int complete_key(edit_state *e, bool list_only);
static int k_complete(edit_state *e) { return complete_key(e, false); }
static int k_complete_list(edit_state *e) { return complete_key(e, true); }

// ---------------------------------------------------------------------------------------
// The binding table.

namespace {
struct binding {
    int key;
    int (*fn)(edit_state *e);
    bool detached;  ///< waits for keys or prints lists: runs without the drawing lock
};
}  // namespace

#define CTRL(c) ((c) & 0x1f)
#define EXT(s) (KEY_EXT + (s))
#define ALT(c) (KEY_ALT + (c))
#define ALT_EXT(s) (KEY_ALT_EXT + (s))

static const binding bindings[] = {
    {EXT(SC_F1), k_help, true},          {30, k_key_debug, true},
    {CTRL('B'), k_left, false},          {EXT(SC_LEFT), k_left, false},
    {CTRL('F'), k_right, false},         {EXT(SC_RIGHT), k_right, false},
    {EXT(SC_UP), k_up, false},           {EXT(SC_DOWN), k_down, false},
    {ALT_EXT(SC_UP), k_row_up, false},   {EXT(SC_CTRL_UP), k_row_up, false},
    {ALT_EXT(SC_DOWN), k_row_down, false}, {EXT(SC_CTRL_DOWN), k_row_down, false},
    {ALT('b'), k_word_left, false},      {ALT_EXT(SC_LEFT), k_word_left, false},
    {EXT(SC_CTRL_LEFT), k_word_left, false}, {ALT('f'), k_word_right, false},
    {ALT_EXT(SC_RIGHT), k_word_right, false}, {EXT(SC_CTRL_RIGHT), k_word_right, false},
    {CTRL('A'), k_home, false},          {EXT(SC_HOME), k_home, false},
    {CTRL('E'), k_end, false},           {EXT(SC_END), k_end, false},
    {CTRL('L'), k_clear_screen, false},  {CTRL('H'), k_backspace, false},
    {127, k_backspace, false},           {CTRL('D'), k_ctrl_d, false},
    {EXT(SC_DEL), k_delete, false},      {ALT('u'), k_upper, false},
    {ALT('l'), k_lower, false},          {ALT('c'), k_capital, false},
    {ALT('\\'), k_squeeze, false},       {CTRL('T'), k_transpose, false},
    {CTRL('K'), k_cut_end, false},       {ALT_EXT(SC_END), k_cut_end, false},
    {EXT(SC_CTRL_END), k_cut_end, false}, {CTRL('U'), k_cut_start, false},
    {ALT_EXT(SC_HOME), k_cut_start, false}, {EXT(SC_CTRL_HOME), k_cut_start, false},
    {CTRL('X'), k_cut_line, false},      {ALT(127), k_cut_word_left, false},
    {ALT(8), k_cut_word_left, false},    {EXT(SC_CTRL_BS), k_cut_word_left, false},
    {ALT('d'), k_cut_word_right, false}, {ALT_EXT(SC_DEL), k_cut_word_right, false},
    {EXT(SC_CTRL_DEL), k_cut_word_right, false}, {CTRL('W'), k_cut_to_space, false},
    {CTRL('Y'), k_paste, false},         {CTRL('V'), k_paste, false},
    {EXT(SC_INS), k_paste, false},       {CTRL('I'), k_complete, true},
    {ALT('='), k_complete_list, true},   {ALT('?'), k_complete_list, true},
    {CTRL('P'), k_hist_prev, false},     {CTRL('N'), k_hist_next, false},
    {ALT('<'), k_hist_first, false},     {EXT(SC_PGUP), k_hist_first, false},
    {ALT('>'), k_hist_input, false},     {EXT(SC_PGDN), k_hist_input, false},
    {CTRL('R'), k_search, true},         {CTRL('S'), k_search, true},
    {EXT(SC_F4), k_search_input, true},  {EXT(SC_F2), k_hist_list, true},
    {EXT(SC_F3), k_hist_clear, true},    {CTRL('M'), k_accept, false},
    {CTRL('J'), k_accept, false},        {CTRL('G'), k_abort, false},
    {CTRL('C'), k_ctrl_c, false},        {ALT('r'), k_revert, false},
    {CTRL('Z'), k_suspend, true},
};

static const binding *binding_of(int key) {
    for (const binding &b : bindings) {
        if (b.key == key)
            return &b;
    }
    return nullptr;
}

/// Runs one key. Returns an edit_action.
static int edit_key(edit_state *e, int key, const std::string &raw) {
    const binding *b = binding_of(key);
    if (b != nullptr && b->detached) {
        {
            std::scoped_lock lock(g_edit_mu);
            g_active = nullptr;
        }
        int rc = b->fn(e);
        std::scoped_lock lock(g_edit_mu);
        g_active = e;
        refresh(e);
        return rc;
    }
    std::scoped_lock lock(g_edit_mu);
    int rc = EDIT_GO;
    if (b != nullptr)
        rc = b->fn(e);
    else if (key >= 32 && key < 256 && key != 127)
        insert(e, raw);
    if (rc == EDIT_GO)
        refresh(e);
    return rc;
}

/// Ends editing: the line is left on screen and a new row begins.
static void edit_finish(edit_state *e, int action) {
    std::scoped_lock lock(g_edit_mu);
    if (action == EDIT_ABORT)
        e->line.clear();
    leave_line(e);
    g_active = nullptr;
}

static int edit_loop(edit_state *e) {
    for (;;) {
        std::string raw;
        int key = sh_key_read(&raw);
        if (key == -2) {  // the window changed size
            std::scoped_lock lock(g_edit_mu);
            sh_tty_size(&e->cols, &e->rows);
            refresh(e);
            continue;
        }
        if (key == KEY_EOF)
            return EDIT_EOF;
        int rc = edit_key(e, key, raw);
        if (rc != EDIT_GO)
            return rc;
    }
}

int sh_edit_line(char *buf, int size, const char *prompt, bool keep, int mode) {
    if (buf == nullptr || size < 2)
        return -1;
    if (sh_tty_raw() != 0)
        return -1;
    // Sub-prompts (search patterns, history id) edit inside an editor: only the outermost
    // one gives the terminal back.
    static int depth = 0;
    depth++;
    edit_state e;
    e.cap = static_cast<size_t>(size) - 1;
    e.prompt = prompt ? prompt : "";
    e.mode = mode;
    e.line = keep ? std::string(buf, strnlen(buf, e.cap)) : std::string();
    e.pos = e.line.size();
    e.original = e.line;
    e.hist = sh_hist_count();
    sh_tty_size(&e.cols, &e.rows);
    {
        std::scoped_lock lock(g_edit_mu);
        g_active = &e;
        refresh(&e);
    }
    int action = edit_loop(&e);
    edit_finish(&e, action);
    if (--depth == 0)
        sh_tty_restore();
    if (action == EDIT_EOF || action == EDIT_ABORT)
        return -1;
    if (!e.line.empty() && e.line.back() == ' ')
        e.line.pop_back();
    if (mode == 0)
        sh_hist_add(e.line);
    pal_strlcpy(std::span<char>(buf, static_cast<size_t>(size)), e.line);
    return static_cast<int>(e.line.size());
}

// ---------------------------------------------------------------------------------------
// Completion.

/// The start of the word that ends at the cursor.
static size_t word_start(const edit_state *e) {
    size_t p = e->pos;
    while (p > 0 && e->line[p - 1] != ' ' && e->line[p - 1] != '\t')
        p--;
    return p;
}

static std::string common_prefix(const sh_complete_list &l) {
    std::string p = l.items[0].name;
    for (const sh_completion &c : l.items) {
        size_t n = 0;
        while (n < p.size() && n < c.name.size() && p[n] == c.name[n])
            n++;
        p.resize(n);
    }
    return p;
}

static void list_candidates(const sh_complete_list &l, int cols);

static int complete_key(edit_state *e, bool list_only) {
    sh_complete_fn fn = sh_edit_complete();
    if (fn == nullptr)
        return EDIT_GO;
    sh_complete_list l;
    fn(e->line.substr(0, e->pos).c_str(), &l);
    size_t from = word_start(e);
    if (!list_only && l.items.size() == 1) {
        e->line.erase(from, e->pos - from);
        e->pos = from;
        insert(e, l.items[0].name + " ");
        return EDIT_GO;
    }
    if (!list_only && !l.items.empty()) {
        std::string prefix = common_prefix(l);
        if (prefix.size() > e->pos - from) {
            e->line.erase(from, e->pos - from);
            e->pos = from;
            insert(e, prefix);
            return EDIT_GO;
        }
    }
    if (l.items.empty() && l.hint.empty())
        return EDIT_GO;
    leave_line(e);
    list_candidates(l, e->cols);
    return EDIT_GO;
}

static void list_candidates(const sh_complete_list &l, int cols) {
    sh_pager pg;
    sh_pager_start(&pg);
    if (!l.hint.empty())
        pg.line(sh_colour(l.hint_colour) + "Please input: " + l.hint + sh_colour(0),
                14 + width(l.hint));
    size_t w = 0;
    bool descs = false;
    for (const sh_completion &c : l.items) {
        w = std::max(w, c.name.size());
        descs |= !c.desc.empty();
    }
    w += 4;
    if (descs) {
        for (const sh_completion &c : l.items) {
            std::string name = c.name + std::string(w - c.name.size(), ' ');
            if (!pg.line(sh_colour(c.name_colour) + name + sh_colour(c.desc_colour) + c.desc +
                             sh_colour(0),
                         static_cast<int>(w) + width(c.desc)))
                return;
        }
        return;
    }
    size_t per_row = std::max<size_t>(1, static_cast<size_t>(cols) / w);
    for (size_t i = 0; i < l.items.size(); i += per_row) {
        std::string row;
        for (size_t k = i; k < l.items.size() && k < i + per_row; k++) {
            const sh_completion &c = l.items[k];
            row += sh_colour(c.name_colour) + c.name + sh_colour(0) +
                   std::string(w - c.name.size(), ' ');
        }
        if (!pg.line(row, static_cast<int>(w * per_row)))
            return;
    }
}
