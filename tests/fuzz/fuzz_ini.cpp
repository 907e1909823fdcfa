// fuzz_ini.cpp - the INI loader on a buffer, then every read and edit a configuration
// reader or the console makes on what it loaded.
#include <cstddef>
#include <cstdint>
#include <string>

#include "conf.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    return 0;
}

// Reads every key of every section as text, number and size, by both name forms.
static void read_all(conf_handle *h) {
    for (const std::string &sec : conf_list_sections(h)) {
        (void)conf_has_section(h, sec.c_str());
        for (const std::string &key : conf_list_keys(h, sec.c_str())) {
            (void)conf_get_string(h, sec.c_str(), key.c_str(), "");
            (void)conf_get_int(h, sec.c_str(), key.c_str(), -1);
            std::string name = sec + ":" + key;
            (void)conf_get_key_size(h, name.c_str(), 0);
            (void)conf_get_key_int(h, name.c_str(), 0);
            (void)conf_name_match(key.c_str(), sec.c_str());
        }
    }
}

// The edits the console and -s make: set, rename, delete.
static void edit_some(conf_handle *h) {
    std::vector<std::string> secs = conf_list_sections(h);
    if (secs.empty())
        return;
    const char *sec = secs.front().c_str();
    (void)conf_set_string(h, sec, "fuzz_key", "a ; value # with 'quotes' and \\");
    (void)conf_set_key(h, "fuzz_sec:fuzz_key", "1");
    std::vector<std::string> keys = conf_list_keys(h, sec);
    if (!keys.empty()) {
        (void)conf_rename_key(h, sec, keys.front().c_str(), "fuzz_renamed");
        (void)conf_del_key(h, sec, keys.back().c_str());
    }
    (void)conf_rename_section(h, sec, secs.back().c_str());
    (void)conf_del_section(h, secs.back().c_str());
    read_all(h);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The loader takes terminated text, as a file read into memory is handed to it.
    std::string text(reinterpret_cast<const char *>(data), size);
    conf_handle *h = conf_load_str(text.c_str());
    if (h == nullptr)
        return 0;
    read_all(h);
    edit_some(h);
    (void)conf_free(h);
    return 0;
}
