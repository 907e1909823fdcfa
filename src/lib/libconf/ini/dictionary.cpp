// dictionary.cpp - slots, hashing, insertion order and section renames for the INI store.
// Lookups compare the hash first, then the whole name; names are cut to DICT_NAME_MAX
// bytes so that no caller can make a name the file format could never hold.
#include "dictionary.h"

#include <algorithm>

#include "conf_internal.h"
#include "pal.h"

static std::string_view dict_cut(std::string_view key) {
    return key.substr(0, std::min(key.size(), static_cast<size_t>(DICT_NAME_MAX)));
}

uint32_t dictionary_hash(std::string_view key) {
    uint32_t h = 0;
    for (char c : key) {
        // Bytes count as signed chars, sign-extended, so high bytes hash as the file
        // format has always hashed them.
        h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

std::unique_ptr<dictionary> dictionary_new(int capacity) {
    auto d = std::make_unique<dictionary>();
    d->slots.resize(static_cast<size_t>(capacity < 1 ? 1 : capacity));
    return d;
}

int dictionary_find(const dictionary *d, std::string_view key) {
    if (d == nullptr) {
        return -1;
    }
    key = dict_cut(key);
    uint32_t h = dictionary_hash(key);
    for (size_t i = 0; i < d->slots.size(); i++) {
        const dict_slot &s = d->slots[i];
        if (s.key && s.hash == h && *s.key == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const char *dictionary_get(const dictionary *d, std::string_view key, const char *def) {
    int i = dictionary_find(d, key);
    if (i < 0 || !d->slots[static_cast<size_t>(i)].val) {
        return def;
    }
    return d->slots[static_cast<size_t>(i)].val->c_str();
}

static std::unique_ptr<std::string> dict_text(const char *s) {
    if (s == nullptr) {
        return nullptr;
    }
    return std::make_unique<std::string>(s);
}

// Doubles the table; the slots keep their indexes.
static int dict_grow(dictionary *d) {
    size_t size = d->slots.size() * 2;
    if (size > static_cast<size_t>(d->max_size)) {
        return -1;
    }
    d->slots.resize(size);
    return 0;
}

int dictionary_set(dictionary *d, std::string_view key, const char *val, const char *comment) {
    if (d == nullptr) {
        return -1;
    }
    key = dict_cut(key);
    int found = dictionary_find(d, key);
    if (found >= 0) {
        // A repeated name replaces the value only: the first comment stays.
        d->slots[static_cast<size_t>(found)].val = dict_text(val);
        return 0;
    }
    if (static_cast<size_t>(d->n) == d->slots.size() && dict_grow(d) != 0) {
        return -1;
    }
    // The first free slot at or after index n, wrapping at the end of the table.
    size_t size = d->slots.size();
    size_t i = static_cast<size_t>(d->n) % size;
    while (d->slots[i].key) {
        i = (i + 1) % size;
    }
    dict_slot &s = d->slots[i];
    s.key = std::make_unique<std::string>(key);
    s.val = dict_text(val);
    s.comment = (comment != nullptr && comment[0] != '\0') ? dict_text(comment) : nullptr;
    s.hash = dictionary_hash(key);
    d->n++;
    return 0;
}

void dictionary_unset_slot(dictionary *d, size_t i) {
    if (d == nullptr || i >= d->slots.size() || !d->slots[i].key) {
        return;
    }
    dict_slot &s = d->slots[i];
    s.key.reset();
    s.val.reset();
    s.comment.reset();
    s.hash = 0;
    d->n--;
}

int dictionary_unset(dictionary *d, std::string_view key) {
    int i = dictionary_find(d, key);
    if (i < 0) {
        return -1;
    }
    dictionary_unset_slot(d, static_cast<size_t>(i));
    return 0;
}

bool dictionary_in_section(std::string_view key, std::string_view sec) {
    if (key.size() < sec.size() || key.substr(0, sec.size()) != sec) {
        return false;
    }
    return key.size() == sec.size() || key[sec.size()] == '\t';
}

int dictionary_secrename(dictionary *d, std::string_view old_sec, std::string_view new_sec) {
    if (d == nullptr) {
        return -2;
    }
    old_sec = dict_cut(old_sec);
    new_sec = dict_cut(new_sec);
    // Any entry of the new section already there would end up twice under one name.
    bool taken = false;
    for (const dict_slot &s : d->slots) {
        taken = taken || (s.key && dictionary_in_section(*s.key, new_sec));
    }
    if (taken) {
        std::string name(new_sec);
        PAL_LOG(CONF_LOG_ERR, "conf", "nsec=%s exist error\n", name.c_str());
        return -1;
    }
    int renamed = 0;
    for (dict_slot &s : d->slots) {
        if (!s.key || !dictionary_in_section(*s.key, old_sec)) {
            continue;
        }
        std::string key(new_sec);
        key += std::string_view(*s.key).substr(old_sec.size());
        *s.key = dict_cut(key);
        s.hash = dictionary_hash(*s.key);
        renamed++;
    }
    return renamed > 0 ? 0 : -2;
}
