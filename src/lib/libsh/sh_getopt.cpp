// sh_getopt.cpp - option parsing for built-in commands, reentrant: the state lives in the
// session context, so sessions on several threads parse at the same time. Like the usual
// getopt it moves options in front of the other words unless POSIXLY_CORRECT is set.
#include "sh_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool is_option(const char *w) {
    return w != nullptr && w[0] == '-' && w[1] != '\0';
}

static bool takes_arg(const char *optstring, char c) {
    const char *p = std::strchr(optstring, c);
    return p != nullptr && p[1] == ':';
}

/// Moves argv[from..from+n) to position to (to < from), shifting the words between.
static void rotate_words(char **argv, int to, int from, int n) {
    for (int k = 0; k < n; k++) {
        char *w = argv[from + k];
        for (int j = from + k; j > to + k; j--)
            argv[j] = argv[j - 1];
        argv[to + k] = w;
    }
}

/// With permutation, brings the next option word (and its separate argument) to ind.
/// Returns false when no option follows.
static bool permute_next(sh_getopt_state *st, int argc, char **argv, const char *optstring) {
    int j = st->ind;
    while (j < argc && argv[j] != nullptr && !is_option(argv[j]))
        j++;
    if (j >= argc || argv[j] == nullptr)
        return false;
    int n = 1;
    if (std::strcmp(argv[j], "--") != 0 && argv[j][2] == '\0' &&
        takes_arg(optstring, argv[j][1]) && j + 1 < argc)
        n = 2;
    rotate_words(argv, st->ind, j, n);
    return true;
}

/// Steps onto the first letter of the word at ind; false when the options end there.
static bool enter_word(sh_getopt_state *st, int argc, char **argv, const char *optstring) {
    if (st->ind >= argc || argv[st->ind] == nullptr)
        return false;
    if (!is_option(argv[st->ind])) {
        bool permute = optstring[0] != '+' && std::getenv("POSIXLY_CORRECT") == nullptr;
        if (!permute || !permute_next(st, argc, argv, optstring))
            return false;
    }
    if (std::strcmp(argv[st->ind], "--") == 0) {
        st->ind++;
        return false;
    }
    st->pos = 1;
    return true;
}

int sh_getopt(dbgsh_srv_ctx *ctx, int argc, char **argv, const char *optstring) {
    sh_getopt_state *st = &ctx->opt;
    st->arg = nullptr;
    if (st->pos == 0 && !enter_word(st, argc, argv, optstring))
        return -1;
    const char *word = argv[st->ind];
    char c = word[st->pos];
    const char *entry = c == ':' || c == '+' ? nullptr : std::strchr(optstring, c);
    bool last = word[st->pos + 1] == '\0';
    if (entry == nullptr) {
        st->opt = static_cast<unsigned char>(c);
        if (st->err)
            std::fprintf(stderr, "%s: invalid option -- '%c'\n", argv[0], c);
        st->pos = last ? 0 : st->pos + 1;
        st->ind += last ? 1 : 0;
        return '?';
    }
    if (entry[1] != ':') {
        st->pos = last ? 0 : st->pos + 1;
        st->ind += last ? 1 : 0;
        return static_cast<unsigned char>(c);
    }
    int at = st->pos;
    st->pos = 0;
    if (!last) {
        st->arg = word + at + 1;
    } else if (st->ind + 1 < argc && argv[st->ind + 1] != nullptr) {
        st->arg = argv[++st->ind];
    } else {
        st->ind++;
        st->opt = static_cast<unsigned char>(c);
        if (st->err)
            std::fprintf(stderr, "%s: option requires an argument -- '%c'\n", argv[0], c);
        return '?';
    }
    st->ind++;
    return static_cast<unsigned char>(c);
}

bool sh_opt_usage(dbgsh_srv_ctx *ctx, int argc, char **argv, const char *optstring,
                  const char *usage, const char *help) {
    bool want = false;
    int c;
    while ((c = sh_getopt(ctx, argc, argv, optstring)) != -1) {
        if (c == 'h')
            want = true;
    }
    if (want && usage != nullptr)
        sh_usage(ctx, usage, help);
    return want;
}

void sh_usage(dbgsh_srv_ctx *ctx, std::string_view usage, const char *help) {
    std::string text(usage);
    size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, help ? help : "");
    libsh_write(ctx, text);
}
