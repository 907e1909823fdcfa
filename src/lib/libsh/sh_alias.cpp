// sh_alias.cpp - the alias table (39 hash buckets, each chain in insertion order) and the
// shell's copy of the environment. Both change at run time from any session, so each has
// one lock that every read and write takes.
#include "sh_internal.h"

#include <array>
#include <mutex>
#include <utility>

namespace {
struct alias_entry {
    std::string name;
    std::string value;
};
}  // namespace

static constexpr size_t ALIAS_BUCKETS = 39;
static std::mutex g_alias_mu;
static std::array<std::vector<alias_entry>, ALIAS_BUCKETS> g_alias;

static std::mutex g_env_mu;
static std::vector<std::string> g_envv;

static size_t alias_bucket(std::string_view name) {
    if (name.empty())
        return 0;
    size_t sum = 0;
    for (unsigned char c : name)
        sum += c;
    return ((static_cast<size_t>(static_cast<unsigned char>(name[0])) << 4) + sum) %
           ALIAS_BUCKETS;
}

static const std::pair<const char *, const char *> default_aliases[] = {
    {"a", "alias"},      {"c", "call"},       {"e", "exit"},        {"s", "show"},
    {"q", "quit"},       {"sc", "show config"}, {"sd", "show dvar"}, {"si", "show info"},
    {"sl", "show llog"}, {"sm", "show memory"},
};

void sh_alias_init() {
    sh_alias_clear();
    for (const auto &[name, value] : default_aliases)
        (void)libsh_alias_set(name, value);
}

void sh_alias_free() {
    sh_alias_clear();
}

void sh_alias_clear() {
    std::scoped_lock lock(g_alias_mu);
    for (auto &chain : g_alias)
        chain.clear();
}

int libsh_alias_set(const char *name, const char *value) {
    if (name == nullptr || name[0] == '\0')
        return -1;
    std::string_view n(name);
    std::scoped_lock lock(g_alias_mu);
    auto &chain = g_alias[alias_bucket(n)];
    for (alias_entry &e : chain) {
        if (e.name == n) {
            e.value = value ? value : "";
            return 0;
        }
    }
    chain.push_back({std::string(n), value ? value : ""});
    return 0;
}

bool libsh_alias_get(const char *name, std::string *value) {
    if (name == nullptr)
        return false;
    std::string_view n(name);
    std::scoped_lock lock(g_alias_mu);
    for (const alias_entry &e : g_alias[alias_bucket(n)]) {
        if (e.name == n) {
            *value = e.value;
            return true;
        }
    }
    return false;
}

bool sh_alias_remove(const char *name) {
    std::string_view n(name ? name : "");
    std::scoped_lock lock(g_alias_mu);
    auto &chain = g_alias[alias_bucket(n)];
    for (auto it = chain.begin(); it != chain.end(); ++it) {
        if (it->name == n) {
            chain.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> libsh_alias_list() {
    std::vector<std::string> out;
    std::scoped_lock lock(g_alias_mu);
    for (const auto &chain : g_alias) {
        for (const alias_entry &e : chain)
            out.push_back(e.name + "=" + e.value);
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Environment copy.

void sh_env_init() {
    std::scoped_lock lock(g_env_mu);
    g_envv = sh_os_environ();
}

void sh_env_free() {
    std::scoped_lock lock(g_env_mu);
    g_envv.clear();
    g_envv.shrink_to_fit();
}

/// The entry of name, or end.
static std::vector<std::string>::iterator env_find(std::string_view name) {
    for (auto it = g_envv.begin(); it != g_envv.end(); ++it) {
        if (it->size() > name.size() && it->compare(0, name.size(), name) == 0 &&
            (*it)[name.size()] == '=')
            return it;
    }
    return g_envv.end();
}

void libsh_env_set(std::string_view name, std::string_view value) {
    std::string entry = std::string(name) + "=" + std::string(value);
    std::scoped_lock lock(g_env_mu);
    auto it = env_find(name);
    if (it != g_envv.end())
        *it = std::move(entry);
    else
        g_envv.push_back(std::move(entry));
}

bool libsh_env_get(std::string_view name, std::string *value) {
    std::scoped_lock lock(g_env_mu);
    auto it = env_find(name);
    if (it == g_envv.end())
        return false;
    *value = it->substr(name.size() + 1);
    return true;
}

bool sh_env_unset(std::string_view name) {
    std::scoped_lock lock(g_env_mu);
    auto it = env_find(name);
    if (it == g_envv.end())
        return false;
    g_envv.erase(it);
    return true;
}

std::vector<std::string> sh_env_list() {
    std::scoped_lock lock(g_env_mu);
    return g_envv;
}
