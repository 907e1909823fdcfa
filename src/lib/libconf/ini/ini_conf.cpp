// ini_conf.cpp - the INI driver: opens files and text, answers lookups and changes on the
// dictionary, and writes the store back to its file with a UTF-8 byte-order mark.
#include <cstdio>

#include "conf_internal.h"
#include "pal.h"

namespace {
/// One open INI store: the file it came from (none for text) and its entries.
struct ini_ctx {
    bool has_file = false;
    std::string file;
    std::unique_ptr<dictionary> dict;
};
}  // namespace

static ini_ctx *ini_of(void *ctx) { return static_cast<ini_ctx *>(ctx); }

static int ini_match(const char *file) {
    return conf_name_match(file, INI_FILE_PATTERN) ? 1 : 0;
}

static void *ini_make(std::string_view data, const char *file) {
    std::unique_ptr<dictionary> dict = iniparser_load_all(data);
    if (!dict) {
        return nullptr;
    }
    auto *ctx = new ini_ctx;
    ctx->has_file = file != nullptr;
    ctx->file = file != nullptr ? file : "";
    ctx->dict = std::move(dict);
    return ctx;
}

static void *ini_open(const char *file, int create) {
    if (file == nullptr) {
        return nullptr;
    }
    std::string data;
    if (os_read_file(file, &data) != 0) {
        if (!create) {
            return nullptr;
        }
        // A missing file is created empty; anything that still cannot be read is reported.
        if (os_write_file(file, "") != 0 || os_read_file(file, &data) != 0) {
            fprintf(stderr, "iniparser: cannot open %s\n", file);
            return nullptr;
        }
    }
    return ini_make(data, file);
}

static void *ini_open_str(const char *text) {
    if (text == nullptr) {
        fprintf(stderr, "iniparser: cannot open [str]\n");
        return nullptr;
    }
    return ini_make(text, nullptr);
}

static void ini_close(void *ctx) { delete ini_of(ctx); }

// section TAB key, at most 8191 bytes (the dictionary cuts it further).
static std::string ini_full_key(const char *sec, const char *key) {
    std::string full = std::string(sec) + "\t" + key;
    if (full.size() > 8191) {
        full.resize(8191);
    }
    return full;
}

static const char *ini_get(void *ctx, const char *sec, const char *key, const char *def) {
    if (ctx == nullptr || sec == nullptr || key == nullptr) {
        return def;
    }
    return dictionary_get(ini_of(ctx)->dict.get(), ini_full_key(sec, key), def);
}

static int ini_set(void *ctx, const char *sec, const char *key, const char *val) {
    if (ctx == nullptr || sec == nullptr || key == nullptr || val == nullptr) {
        return -1;
    }
    dictionary *d = ini_of(ctx)->dict.get();
    std::string full = ini_full_key(sec, key);
    // A section name that fills the whole name length would leave the key indistinct
    // from the section entry itself.
    if (full.size() > DICT_NAME_MAX &&
        std::string_view(full).substr(0, DICT_NAME_MAX).find('\t') == std::string::npos) {
        return -1;
    }
    if (dictionary_find(d, sec) < 0 && dictionary_set(d, sec, nullptr, nullptr) != 0) {
        return -1;
    }
    return dictionary_set(d, full, val, nullptr);
}

static std::vector<std::string> ini_list_sections(void *ctx) {
    std::vector<std::string> out;
    if (ctx == nullptr) {
        return out;
    }
    for (const dict_slot &s : ini_of(ctx)->dict->slots) {
        if (s.key && s.key->find('\t') == std::string::npos) {
            out.push_back(*s.key);
        }
    }
    return out;
}

static std::vector<std::string> ini_list_keys(void *ctx, const char *sec) {
    std::vector<std::string> out;
    if (ctx == nullptr || sec == nullptr) {
        return out;
    }
    std::string prefix = std::string(sec).substr(0, DICT_NAME_MAX) + "\t";
    for (const dict_slot &s : ini_of(ctx)->dict->slots) {
        if (s.key && s.key->compare(0, prefix.size(), prefix) == 0) {
            out.push_back(s.key->substr(prefix.size()));
        }
    }
    return out;
}

static int ini_del_section(void *ctx, const char *sec) {
    if (ctx == nullptr || sec == nullptr) {
        return -2;
    }
    dictionary *d = ini_of(ctx)->dict.get();
    std::string_view name = std::string_view(sec).substr(0, DICT_NAME_MAX);
    int removed = 0;
    for (size_t i = 0; i < d->slots.size(); i++) {
        const dict_slot &s = d->slots[i];
        if (s.key && dictionary_in_section(*s.key, name)) {
            dictionary_unset_slot(d, i);
            removed++;
        }
    }
    return removed > 0 ? 0 : -2;
}

static int ini_del_key(void *ctx, const char *sec, const char *key) {
    if (ctx == nullptr || sec == nullptr || key == nullptr) {
        return -1;
    }
    return dictionary_unset(ini_of(ctx)->dict.get(), ini_full_key(sec, key)) == 0 ? 0 : -1;
}

static int ini_rename_section(void *ctx, const char *old_name, const char *new_name) {
    if (ctx == nullptr || old_name == nullptr || new_name == nullptr) {
        return -2;
    }
    return dictionary_secrename(ini_of(ctx)->dict.get(), old_name, new_name);
}

static int ini_rename_key(void *, const char *, const char *, const char *) {
    PAL_LOG(CONF_LOG_WARN, "conf", "noimpl\n");
    return 0;
}

static void ini_dump(void *ctx) {
    if (ctx == nullptr) {
        return;
    }
    std::string text = iniparser_render(ini_of(ctx)->dict.get());
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

static int ini_save(void *ctx) {
    if (ctx == nullptr || !ini_of(ctx)->has_file) {
        return -1;
    }
    const ini_ctx *c = ini_of(ctx);
    std::string text = "\xEF\xBB\xBF" + iniparser_render(c->dict.get());
    // A failed write is a failed save: the caller must not believe the file holds it.
    if (os_write_file(c->file.c_str(), text) != 0) {
        PAL_LOG(CONF_LOG_DBG | CONF_LOG_F_OSERR, "conf", "fopen [%s] err: ", c->file.c_str());
        return -1;
    }
    return 0;
}

const conf_driver ini_conf_driver = {
    .kind = 0,
    .match = ini_match,
    .open = ini_open,
    .open_str = ini_open_str,
    .close = ini_close,
    .get = ini_get,
    .set = ini_set,
    .list_sections = ini_list_sections,
    .list_keys = ini_list_keys,
    .del_section = ini_del_section,
    .del_key = ini_del_key,
    .rename_section = ini_rename_section,
    .rename_key = ini_rename_key,
    .dump = ini_dump,
    .save = ini_save,
};
