// pal_getopt.cpp - POSIX option parsing with the state kept by the caller.
#include "pal_getopt.h"

#include <cstdio>
#include <cstring>

void pal_getopt_reset(pal_getopt_state *st) {
    *st = pal_getopt_state{};
}

static void getopt_message(const pal_getopt_state *st, const char *prog, const char *what,
                           int c) {
    if (st->err)
        fprintf(stderr, "%s: %s -- %c\n", prog ? prog : "", what, c);
}

/// Moves to the next word once the current group of option letters is used up.
static void getopt_next_letter(pal_getopt_state *st, char *const argv[]) {
    if (argv[st->ind][st->pos + 1] == '\0') {
        st->ind++;
        st->pos = 0;
        return;
    }
    st->pos++;
}

/// Steps onto the first letter of the next word; false when the options end there.
static bool getopt_enter_word(pal_getopt_state *st, int argc, char *const argv[]) {
    if (st->ind >= argc || argv[st->ind] == nullptr)
        return false;
    const char *word = argv[st->ind];
    if (word[0] != '-' || word[1] == '\0')
        return false;
    if (strcmp(word, "--") == 0) {
        st->ind++;
        return false;
    }
    st->pos = 1;
    return true;
}

int pal_getopt(pal_getopt_state *st, int argc, char *const argv[], const char *optstring) {
    st->arg = nullptr;
    if (st->pos == 0 && !getopt_enter_word(st, argc, argv))
        return -1;
    const char *prog = argc > 0 ? argv[0] : "";
    // '+' (stop at the first non-option) is how parsing always works here.
    if (optstring[0] == '+')
        optstring++;
    bool colon_mode = optstring[0] == ':';
    const char *word = argv[st->ind];
    int c = static_cast<unsigned char>(word[st->pos]);
    const char *letter = c != ':' && c != '\0' ? strchr(optstring, c) : nullptr;
    if (letter == nullptr) {
        st->opt = c;
        getopt_message(st, prog, "invalid option", c);
        getopt_next_letter(st, argv);
        return '?';
    }
    if (letter[1] != ':') {
        getopt_next_letter(st, argv);
        return c;
    }
    // The argument is the rest of this word, or the whole next word.
    if (word[st->pos + 1] != '\0') {
        st->arg = word + st->pos + 1;
        st->ind++;
        st->pos = 0;
        return c;
    }
    st->ind++;
    st->pos = 0;
    if (st->ind >= argc || argv[st->ind] == nullptr) {
        st->opt = c;
        if (colon_mode)
            return ':';
        getopt_message(st, prog, "option requires an argument", c);
        return '?';
    }
    st->arg = argv[st->ind++];
    return c;
}
