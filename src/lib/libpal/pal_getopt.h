// pal_getopt.h - POSIX option parsing of an argument vector, without global state.
// Parsing stops at the first word that is not an option and after "--", whatever the
// environment says, so that program and shell command lines read the same everywhere.
#pragma once

/// State of one parse. Reset before a new parse: ind 1, err 1 (messages on), opt '?'.
struct pal_getopt_state {
    int ind = 1;              ///< index of the next argument to read
    int err = 1;              ///< non-zero: messages for bad options go to standard error
    int opt = '?';            ///< the option character that caused the last error
    const char *arg = nullptr;  ///< argument of the last option that takes one
    int pos = 0;              ///< position inside a group of options ("-dq"); 0 between words
};

/// Resets st to the start of a parse.
void pal_getopt_reset(pal_getopt_state *st);

/// Returns the next option character of argv, or -1 when the options end (a word that is not
/// an option, a lone "-", "--" which is skipped, or the end of argv). An option letter
/// followed by ':' in optstring takes an argument, either the rest of its word ("-cfile") or
/// the next word; st->arg then points into argv. An unknown option, or one whose argument is
/// missing, returns '?' with the character in st->opt and, when st->err is set, prints
/// "%s: invalid option -- %c\n" or "%s: option requires an argument -- %c\n" (argv[0]) to
/// standard error; a leading ':' in optstring makes a missing argument return ':' silently.
/// argv is not reordered.
int pal_getopt(pal_getopt_state *st, int argc, char *const argv[], const char *optstring);
