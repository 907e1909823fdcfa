// dictionary.h - the hashed dictionary behind the INI driver (private to libconf).
// Entries live in numbered slots; listings, the save and the dump walk the slots from 0
// upward, so the slot a new entry takes decides the order a saved file has.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// Names (sections, keys, section TAB key) are cut to this many bytes before every
/// lookup, insertion or deletion.
enum : size_t { DICT_NAME_MAX = 1024 };
/// Initial slot count; the table doubles when full.
enum : int { DICT_INITIAL_SIZE = 128 };

/// One slot. A free slot has no key. Value and comment are heap strings held by pointer,
/// so text handed out by lookups stays where it is when the table grows.
struct dict_slot {
    std::unique_ptr<std::string> key;      ///< none: free slot
    std::unique_ptr<std::string> val;      ///< none: a section entry (or no value)
    std::unique_ptr<std::string> comment;  ///< comment and blank lines before the entry
    uint32_t hash = 0;
};

/// A section entry has the section name as key and no value; a setting has the key
/// section TAB name. Used by one thread at a time.
struct dictionary {
    int n = 0;  ///< used slots
    std::vector<dict_slot> slots;
    std::unique_ptr<std::string> trailer;  ///< comment lines after the last entry
    int max_size = 1 << 24;                ///< growth beyond this many slots fails
};

/// Jenkins one-at-a-time hash over the bytes taken as signed chars.
uint32_t dictionary_hash(std::string_view key);

/// A new dictionary with capacity slots (at least 1), or null.
[[nodiscard]] std::unique_ptr<dictionary> dictionary_new(int capacity = DICT_INITIAL_SIZE);

/// Slot index of key, or -1.
[[nodiscard]] int dictionary_find(const dictionary *d, std::string_view key);

/// The value of key, or def when the key is absent or has no value. The text stays valid
/// until the entry changes or the dictionary is freed.
const char *dictionary_get(const dictionary *d, std::string_view key, const char *def);

/// Inserts key, or replaces the value of an existing key (its comment stays). val and
/// comment may be null (no value, no comment); an empty comment is stored as none.
/// Returns 0, or -1 when the table cannot grow.
[[nodiscard]] int dictionary_set(dictionary *d, std::string_view key, const char *val,
                                 const char *comment);

/// Removes key with its value and comment. 0, or -1 when absent.
int dictionary_unset(dictionary *d, std::string_view key);

/// Frees slot i (key, value and comment) when it is in use.
void dictionary_unset_slot(dictionary *d, size_t i);

/// Renames section old_sec (its entry and every old_sec TAB key) to new_sec.
/// 0, -1 when an entry named new_sec exists (nothing changes), -2 when nothing matched.
int dictionary_secrename(dictionary *d, std::string_view old_sec, std::string_view new_sec);

/// True when key names section sec or a setting of it.
bool dictionary_in_section(std::string_view key, std::string_view sec);
