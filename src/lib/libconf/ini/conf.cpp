// conf.cpp - the front end of the configuration store: the driver registry, handles,
// section:key addressing, merge and the file-name match that picks a driver.
#include "conf.h"

#include <array>
#include <mutex>

#include "conf_internal.h"
#include "pal.h"

struct conf_handle {
    void *ctx;
    const conf_driver *drv;
};

namespace {
/// Four driver slots, filled in order. The INI driver takes the first one the first time
/// a store is opened.
struct conf_registry {
    std::mutex lock;
    std::array<const conf_driver *, 4> drivers{};
    bool ini_added = false;
};
}  // namespace

static conf_registry &registry() {
    static conf_registry reg;
    return reg;
}

static bool driver_complete(const conf_driver *d) {
    return d->match && d->open && d->open_str && d->close && d->get && d->set &&
           d->list_sections && d->list_keys && d->del_section && d->del_key &&
           d->rename_section && d->rename_key && d->dump && d->save;
}

static int add_driver_locked(conf_registry &reg, const conf_driver *drv) {
    for (const conf_driver *&slot : reg.drivers) {
        if (slot == nullptr) {
            slot = drv;
            return 0;
        }
    }
    return -1;
}

int conf_add_driver(const conf_driver *drv) {
    if (drv == nullptr || !driver_complete(drv)) {
        PAL_LOG(CONF_LOG_ERR, "conf", "driver table incomplete\n");
        return -1;
    }
    conf_registry &reg = registry();
    std::scoped_lock guard(reg.lock);
    return add_driver_locked(reg, drv);
}

// Copies the registry, adding the INI driver on first use.
static std::array<const conf_driver *, 4> drivers() {
    conf_registry &reg = registry();
    std::scoped_lock guard(reg.lock);
    if (!reg.ini_added) {
        reg.ini_added = true;
        add_driver_locked(reg, &ini_conf_driver);
    }
    return reg.drivers;
}

static conf_handle *conf_wrap(void *ctx, const conf_driver *drv) {
    if (ctx == nullptr) {
        return nullptr;
    }
    return new conf_handle{ctx, drv};
}

conf_handle *conf_load(const char *file) {
    if (file == nullptr) {
        return nullptr;
    }
    for (const conf_driver *drv : drivers()) {
        if (drv != nullptr && drv->match(file)) {
            return conf_wrap(drv->open(file, 0), drv);
        }
    }
    return nullptr;
}

conf_handle *conf_load_str(const char *text) {
    for (const conf_driver *drv : drivers()) {
        if (drv != nullptr && drv->kind == 0) {
            return conf_wrap(drv->open_str(text), drv);
        }
    }
    return nullptr;
}

int conf_free(conf_handle *h) {
    if (h != nullptr) {
        h->drv->close(h->ctx);
        delete h;
    }
    return 0;
}

const char *conf_get_string(conf_handle *h, const char *sec, const char *key, const char *def) {
    if (h == nullptr) {
        return def;
    }
    return h->drv->get(h->ctx, sec, key, def);
}

// Absent keys give def; anything else converts like atoi (an empty value gives 0).
static int conf_to_int(const char *v, int def) {
    if (v == nullptr || std::string_view(v) == "NOT_FOUND") {
        return def;
    }
    return pal_atoi(v);
}

int conf_get_int(conf_handle *h, const char *sec, const char *key, int def) {
    return conf_to_int(conf_get_string(h, sec, key, "NOT_FOUND"), def);
}

int conf_set_string(conf_handle *h, const char *sec, const char *key, const char *val) {
    if (h == nullptr) {
        return -1;
    }
    return h->drv->set(h->ctx, sec, key, val);
}

// Splits section:key (or section TAB key) at its first TAB, else its first ':'.
static bool conf_split(const char *name, std::string *sec, std::string *key) {
    if (name == nullptr) {
        return false;
    }
    std::string_view n(name);
    size_t at = n.find('\t');
    if (at == std::string_view::npos) {
        at = n.find(':');
    }
    if (at == std::string_view::npos) {
        return false;
    }
    *sec = n.substr(0, std::min(at, static_cast<size_t>(8191)));
    *key = n.substr(at + 1);
    return true;
}

const char *conf_get_key_string(conf_handle *h, const char *name, const char *def) {
    std::string sec;
    std::string key;
    if (!conf_split(name, &sec, &key)) {
        return def;
    }
    return conf_get_string(h, sec.c_str(), key.c_str(), def);
}

int conf_get_key_int(conf_handle *h, const char *name, int def) {
    return conf_to_int(conf_get_key_string(h, name, "NOT_FOUND"), def);
}

uint64_t conf_get_key_size(conf_handle *h, const char *name, uint64_t def) {
    const char *v = conf_get_key_string(h, name, "NOT_FOUND");
    if (v == nullptr || std::string_view(v) == "NOT_FOUND") {
        return def;
    }
    return size_str_to_u64(v);
}

int conf_set_key(conf_handle *h, const char *name, const char *val) {
    std::string sec;
    std::string key;
    if (!conf_split(name, &sec, &key)) {
        return -1;
    }
    return conf_set_string(h, sec.c_str(), key.c_str(), val);
}

bool conf_has_section(conf_handle *h, const char *sec) {
    if (sec == nullptr) {
        return false;
    }
    for (const std::string &s : conf_list_sections(h)) {
        if (s == sec) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> conf_list_sections(conf_handle *h) {
    return h != nullptr ? h->drv->list_sections(h->ctx) : std::vector<std::string>();
}

std::vector<std::string> conf_list_keys(conf_handle *h, const char *sec) {
    return h != nullptr ? h->drv->list_keys(h->ctx, sec) : std::vector<std::string>();
}

int conf_del_section(conf_handle *h, const char *sec) {
    return h != nullptr ? h->drv->del_section(h->ctx, sec) : -2;
}

int conf_del_key(conf_handle *h, const char *sec, const char *key) {
    return h != nullptr ? h->drv->del_key(h->ctx, sec, key) : -1;
}

int conf_rename_section(conf_handle *h, const char *old_name, const char *new_name) {
    return h != nullptr ? h->drv->rename_section(h->ctx, old_name, new_name) : -2;
}

int conf_rename_key(conf_handle *h, const char *sec, const char *old_key, const char *new_key) {
    return h != nullptr ? h->drv->rename_key(h->ctx, sec, old_key, new_key) : -1;
}

void conf_dump(conf_handle *h) {
    if (h != nullptr) {
        h->drv->dump(h->ctx);
    }
}

int conf_save(conf_handle *h) { return h != nullptr ? h->drv->save(h->ctx) : -1; }

// Copies every key dst shares with src; returns the count, or -1 when a set failed.
static int merge_values(conf_handle *dst, conf_handle *src) {
    int copied = 0;
    for (const std::string &sec : conf_list_sections(dst)) {
        std::vector<std::string> src_keys = conf_list_keys(src, sec.c_str());
        for (const std::string &key : conf_list_keys(dst, sec.c_str())) {
            bool shared = false;
            for (const std::string &k : src_keys) {
                shared = shared || k == key;
            }
            if (!shared) {
                continue;
            }
            std::string val = conf_get_string(src, sec.c_str(), key.c_str(), "");
            if (conf_set_string(dst, sec.c_str(), key.c_str(), val.c_str()) != 0) {
                return -1;
            }
            copied++;
        }
    }
    return copied;
}

int conf_merge(const char *dst_file, const char *src_file) {
    conf_handle *dst = conf_load(dst_file);
    if (dst == nullptr) {
        return -1;
    }
    conf_handle *src = conf_load(src_file);
    int copied = merge_values(dst, src);
    // The merge only counts once the destination file really holds it.
    int rc = copied < 0 ? -1 : 0;
    if (copied > 0 && conf_save(dst) != 0) {
        rc = -1;
    }
    conf_free(src);
    conf_free(dst);
    return rc;
}

// Pattern characters of one alternative: '*' and '?' are wild unless escaped.
namespace {
struct conf_pat_char {
    char c;
    bool wild;
};
}  // namespace

static char conf_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Matches name against one alternative; '*' backtracks to its last position only, so
// the cost stays linear in name times pattern.
static bool conf_match_one(std::string_view name, const std::vector<conf_pat_char> &pat) {
    size_t n = 0;
    size_t p = 0;
    size_t star = std::string_view::npos;
    size_t star_n = 0;
    while (n < name.size()) {
        if (p < pat.size() && pat[p].wild && pat[p].c == '*') {
            star = p++;
            star_n = n;
        } else if (p < pat.size() && ((pat[p].wild && pat[p].c == '?') ||
                                      (!pat[p].wild && pat[p].c == conf_lower(name[n])))) {
            p++;
            n++;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++star_n;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p].wild && pat[p].c == '*') {
        p++;
    }
    return p == pat.size();
}

bool conf_name_match(const char *name, const char *pattern) {
    if (name == nullptr || pattern == nullptr) {
        return false;
    }
    std::vector<conf_pat_char> alt;
    for (const char *p = pattern;; p++) {
        if (*p == '\0' || *p == '|') {
            if (conf_match_one(name, alt)) {
                return true;
            }
            if (*p == '\0') {
                return false;
            }
            alt.clear();
        } else if (*p == '\\' && p[1] != '\0') {
            alt.push_back({conf_lower(*++p), false});
        } else {
            alt.push_back({conf_lower(*p), *p == '*' || *p == '?'});
        }
    }
}
