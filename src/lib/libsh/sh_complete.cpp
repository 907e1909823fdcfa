// sh_complete.cpp - the shell's completion of a line for the line editor: command names and
// aliases for the first word, then the command's own completion (show items, call
// functions, set variables and their values).
#include "sh_internal.h"

#include "pal.h"

#include <atomic>

static constexpr size_t SH_COMPLETE_MAX = 1024;
static constexpr int SH_COMPLETE_WORDS = 4;

static std::atomic<sh_complete_fn> g_edit_complete{nullptr};

void sh_edit_set_complete(sh_complete_fn fn) {
    g_edit_complete.store(fn);
}

sh_complete_fn sh_edit_complete() {
    return g_edit_complete.load();
}

void sh_complete_list::add(std::string_view name, int ncolour, std::string_view desc,
                           int dcolour) {
    if (items.size() >= SH_COMPLETE_MAX)
        return;
    items.push_back({std::string(name.substr(0, 63)), ncolour, std::string(desc.substr(0, 255)),
                     dcolour});
}

static bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

/// Words of the line split at blanks; after a trailing blank an empty word is being typed.
static std::vector<std::string> complete_words(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size() && (int)words.size() < SH_COMPLETE_WORDS) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        if (i >= line.size())
            break;
        size_t end = line.find_first_of(" \t", i);
        words.emplace_back(line.substr(i, end == std::string_view::npos ? end : end - i));
        i = end == std::string_view::npos ? line.size() : end;
    }
    if (words.empty() || (!line.empty() && (line.back() == ' ' || line.back() == '\t')))
        words.emplace_back();
    return words;
}

static void complete_first(std::string_view prefix, sh_complete_list *out) {
    std::span<const libsh_cmd> cmds = libsh_cmds();
    int shown = 0;
    for (size_t row = 0; row < cmds.size(); row++) {
        if (!starts_with(cmds[row].name, prefix))
            continue;
        out->add(cmds[row].name, row < 8 ? 0x84 : 0x87, cmds[row].help, shown++ % 2 ? 8 : 7);
    }
    for (const std::string &a : libsh_alias_list()) {
        size_t eq = a.find('=');
        std::string_view name(a.data(), eq);
        if (starts_with(name, prefix))
            out->add(name, 0x83, pal_format("alias of '%s'", a.c_str() + eq + 1),
                     shown++ % 2 ? 8 : 7);
    }
}

void libsh_complete(const char *line, sh_complete_list *out) {
    out->items.clear();
    out->hint.clear();
    std::vector<std::string> words = complete_words(line ? line : "");
    if (words.size() == 1) {
        complete_first(words[0], out);
        return;
    }
    // A first word that is an alias of one command word completes as that command.
    std::string value, name = words[0];
    if (libsh_alias_get(name.c_str(), &value) && value.find_first_of(" \t") == std::string::npos)
        name = value;
    for (const libsh_cmd &c : libsh_cmds()) {
        if (name == c.name && c.complete != nullptr) {
            c.complete(words, out);
            return;
        }
    }
}

void sh_complete_show(const std::vector<std::string> &words, sh_complete_list *out) {
    if (words.size() != 2)
        return;
    rvar_mgr *m = libsh_rvars();
    for (size_t i = 0; i < rvar_mgr_count(m); i++) {
        const rvar *r = rvar_mgr_at(m, i);
        if (starts_with(r->name, words[1]))
            out->add(r->name, 0x86, r->desc, 7);
    }
}

void sh_complete_call(const std::vector<std::string> &words, sh_complete_list *out) {
    if (words.size() != 2)
        return;
    fvar_mgr *m = libsh_fvars();
    for (size_t i = 0; i < fvar_mgr_count(m); i++) {
        const fvar *f = fvar_mgr_at(m, i);
        if (starts_with(f->name, words[1]))
            out->add(f->name, 0x86, f->desc, 7);
    }
}

void sh_complete_set(const std::vector<std::string> &words, sh_complete_list *out) {
    dvar_mgr *m = libsh_dvars();
    if (words.size() == 2) {
        for (size_t i = 0; i < dvar_mgr_count(m); i++) {
            const dvar *d = dvar_mgr_at(m, i);
            if (starts_with(d->name, words[1]))
                out->add(d->name, 0x86, d->desc ? d->desc : "", 7);
        }
        return;
    }
    const dvar *d = words.size() == 3 ? dvar_mgr_find(m, words[1].c_str()) : nullptr;
    if (d == nullptr)
        return;
    std::string_view range = d->range ? d->range : "";
    if (d->type != DVAR_TYPE_ENUM || range.empty()) {
        out->hint = d->desc ? d->desc : "";
        return;
    }
    while (!range.empty()) {
        size_t bar = range.find('|');
        std::string_view v = range.substr(0, bar);
        if (!v.empty() && starts_with(v, words[2]))
            out->add(v, 0x86);
        range = bar == std::string_view::npos ? std::string_view() : range.substr(bar + 1);
    }
}
