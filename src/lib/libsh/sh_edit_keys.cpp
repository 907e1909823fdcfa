// sh_edit_keys.cpp - keys from the bytes a terminal sends: the cursor, Home/End,
// Insert/Delete, PgUp/PgDn and F1-F4 keys in their xterm, VT220 and linux console forms,
// with Ctrl and Alt modifiers (CSI 1;5A), and ESC followed by a key as its Alt form.
#include "sh_edit_internal.h"

#include <cstring>

namespace {
struct key_seq {
    const char *seq;  ///< bytes after ESC
    int scan;
};
}  // namespace

// Sequences without modifiers. "[1~" and "[7~" are Home on VT220 and rxvt, "[[A" F1 on the
// linux console, "OP" F1 on xterm.
static const key_seq key_seqs[] = {
    {"[A", SC_UP},    {"[B", SC_DOWN},  {"[C", SC_RIGHT}, {"[D", SC_LEFT},  {"OA", SC_UP},
    {"OB", SC_DOWN},  {"OC", SC_RIGHT}, {"OD", SC_LEFT},  {"[H", SC_HOME},  {"[F", SC_END},
    {"OH", SC_HOME},  {"OF", SC_END},   {"[1~", SC_HOME}, {"[7~", SC_HOME}, {"[4~", SC_END},
    {"[8~", SC_END},  {"[2~", SC_INS},  {"[3~", SC_DEL},  {"[5~", SC_PGUP}, {"[6~", SC_PGDN},
    {"OP", SC_F1},    {"OQ", SC_F2},    {"OR", SC_F3},    {"OS", SC_F4},    {"[11~", SC_F1},
    {"[12~", SC_F2},  {"[13~", SC_F3},  {"[14~", SC_F4},  {"[[A", SC_F1},   {"[[B", SC_F2},
    {"[[C", SC_F3},   {"[[D", SC_F4},
};

/// The Ctrl form of an extended key, where one exists.
static int ctrl_scan(int scan) {
    switch (scan) {
    case SC_LEFT: return SC_CTRL_LEFT;
    case SC_RIGHT: return SC_CTRL_RIGHT;
    case SC_UP: return SC_CTRL_UP;
    case SC_DOWN: return SC_CTRL_DOWN;
    case SC_HOME: return SC_CTRL_HOME;
    case SC_END: return SC_CTRL_END;
    case SC_DEL: return SC_CTRL_DEL;
    default: return scan;
    }
}

/// The scan code of a sequence whose modifier parameter was removed ("[1;5A" is read as
/// "[A" with modifier 5, "[3;3~" as "[3~" with 3).
static int seq_scan(const std::string &seq) {
    for (const key_seq &k : key_seqs) {
        if (seq == k.seq)
            return k.scan;
    }
    return 0;
}

/// Reads the rest of a CSI or SS3 sequence after ESC and its introducer.
static std::string read_seq(char intro, std::string *raw) {
    std::string seq(1, intro);
    for (int n = 0; n < 16; n++) {
        int c = sh_tty_read_byte(100);
        if (c < 0)
            break;
        raw->push_back(static_cast<char>(c));
        seq.push_back(static_cast<char>(c));
        // "[[" (linux console F keys) takes one more letter; otherwise a letter or '~' ends.
        if (seq == "[[")
            continue;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '~')
            break;
        if (intro == 'O')
            break;
    }
    return seq;
}

/// Splits a modifier off: "[1;5A" -> "[A" and 5; "[3;5~" -> "[3~" and 5.
static std::string strip_modifier(const std::string &seq, int *mod) {
    *mod = 1;
    size_t semi = seq.find(';');
    if (semi == std::string::npos)
        return seq;
    *mod = std::atoi(seq.c_str() + semi + 1);
    std::string head = seq.substr(0, semi);
    char final = seq.back();
    if (final == '~')
        return head + "~";
    return "[" + std::string(1, final);  // "[1;5A": the 1 only carries the modifier
}

static int decode_escape(std::string *raw) {
    int c = sh_tty_read_byte(-1);
    if (c < 0)
        return KEY_EOF;
    raw->push_back(static_cast<char>(c));
    if (c != '[' && c != 'O') {
        if (c == 0x1b) {  // ESC ESC seq: Alt with an extended key
            int inner = decode_escape(raw);
            if (inner >= KEY_EXT && inner < KEY_ALT)
                return KEY_ALT_EXT + (inner - KEY_EXT);
            return inner;
        }
        return KEY_ALT + c;
    }
    std::string seq = read_seq(static_cast<char>(c), raw);
    if (seq == "[127;5u" || seq == "[8;5u")
        return KEY_EXT + SC_CTRL_BS;
    int mod = 1;
    int scan = seq_scan(strip_modifier(seq, &mod));
    if (scan == 0)
        return KEY_ALT + c;  // unknown sequence: ESC and its first byte
    if (mod == 3 || mod == 4)  // Alt, Alt+Shift
        return KEY_ALT_EXT + scan;
    if (mod >= 5)  // Ctrl and combinations
        return KEY_EXT + ctrl_scan(scan);
    return KEY_EXT + scan;
}

int sh_key_read(std::string *raw) {
    raw->clear();
    int c = sh_tty_read_byte(-1);
    if (c == -2)
        return -2;
    if (c < 0)
        return KEY_EOF;
    raw->push_back(static_cast<char>(c));
    if (c != 0x1b)
        return c;
    return decode_escape(raw);
}
