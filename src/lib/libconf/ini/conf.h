// conf.h - the configuration store: INI files (and INI text) behind a driver table.
// Section and key names are case-sensitive; comments survive a load and a save.
// A handle is used by one thread at a time; the store takes no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// A store kind. Every slot is required.
struct conf_driver {
    int kind;  ///< 0: can also build a store from text
    int (*match)(const char *file);
    void *(*open)(const char *file, int create);
    void *(*open_str)(const char *text);
    void (*close)(void *ctx);
    const char *(*get)(void *ctx, const char *sec, const char *key, const char *def);
    int (*set)(void *ctx, const char *sec, const char *key, const char *val);
    std::vector<std::string> (*list_sections)(void *ctx);
    std::vector<std::string> (*list_keys)(void *ctx, const char *sec);
    int (*del_section)(void *ctx, const char *sec);
    int (*del_key)(void *ctx, const char *sec, const char *key);
    int (*rename_section)(void *ctx, const char *old_name, const char *new_name);
    int (*rename_key)(void *ctx, const char *sec, const char *old_key, const char *new_key);
    void (*dump)(void *ctx);
    int (*save)(void *ctx);
};

struct conf_handle;

/// Opens a store from a file whose name a registered driver accepts (no creation).
/// Returns a handle owned by the caller until conf_free, or null.
[[nodiscard]] conf_handle *conf_load(const char *file);
/// Builds a store from INI text (first registered driver of kind 0), or null.
[[nodiscard]] conf_handle *conf_load_str(const char *text);
int conf_free(conf_handle *h);

/// Lookups return text inside the store, valid until that entry changes or the handle is
/// freed; callers copy what they keep.
const char *conf_get_string(conf_handle *h, const char *sec, const char *key, const char *def);
int conf_get_int(conf_handle *h, const char *sec, const char *key, int def);
int conf_set_string(conf_handle *h, const char *sec, const char *key, const char *val);

/// Names of the form section:key (or section TAB key).
const char *conf_get_key_string(conf_handle *h, const char *name, const char *def);
int conf_get_key_int(conf_handle *h, const char *name, int def);
uint64_t conf_get_key_size(conf_handle *h, const char *name, uint64_t def);
int conf_set_key(conf_handle *h, const char *name, const char *val);

bool conf_has_section(conf_handle *h, const char *sec);
std::vector<std::string> conf_list_sections(conf_handle *h);
std::vector<std::string> conf_list_keys(conf_handle *h, const char *sec);
/// Removes a section with all its keys: 0, or -2 when nothing was removed.
int conf_del_section(conf_handle *h, const char *sec);
/// 0, or -1 when the key does not exist.
int conf_del_key(conf_handle *h, const char *sec, const char *key);
/// Moves a section and its keys to new_name: 0, -1 when new_name exists (nothing
/// changes), -2 when old_name does not.
int conf_rename_section(conf_handle *h, const char *old_name, const char *new_name);
int conf_rename_key(conf_handle *h, const char *sec, const char *old_key, const char *new_key);
/// Writes the store in INI form to standard output.
void conf_dump(conf_handle *h);
/// Writes the store back to its file (with a UTF-8 byte-order mark). 0, or -1.
int conf_save(conf_handle *h);

/// Copies into dst every key that src has in the same section, then saves dst when
/// anything was copied. Keys only in src are not added. 0, or -1.
int conf_merge(const char *dst_file, const char *src_file);

/// Registers a store kind in the next of four slots. 0, or -1 when all are taken.
int conf_add_driver(const conf_driver *drv);

/// Case-insensitive wildcard match of name against alternatives separated by '|'
/// ('*' any run, '?' one character, '\\' makes the next character literal).
bool conf_name_match(const char *name, const char *pattern);
