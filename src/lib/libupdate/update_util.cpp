// update_util.cpp - the command-line utilities: download to a file, configuration merge
// and query, and the version check against this program's own version.
#include "update.h"

#include "conf.h"
#include "log.h"
#include "pal.h"

#include <string>

static constexpr const char *NET_TAG = "net";
static constexpr const char *UPDATE_TAG = "update";

// The directory part of path ("" when path names no directory).
static std::string parent_dir(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int update_download(const char *url, const char *path) {
    PAL_ASSERT_RET(url != nullptr && path != nullptr, UPDATE_EXIT_FAIL);
    std::string body;
    if (http_get(url, 3000, &body, os_stderr_is_terminal()) != 0) {
        LOG2(LOG2_ERR, NET_TAG, "get [%s] failed, [%s] not written\n", url, path);
        return UPDATE_EXIT_FAIL;
    }
    // Directories are made only for a body that arrived whole.
    std::string dir = parent_dir(path);
    if (!dir.empty()) {
        if (int rc = os_mkdirs(dir.c_str()); rc != 0) {
            LOG2(LOG2_ERR, NET_TAG, "mkdir [%s] error: %s\n", dir.c_str(), pal_strerror(rc));
            return UPDATE_EXIT_FAIL;
        }
    }
    // Written beside path and renamed over it: a failed write leaves the old file whole.
    if (int rc = os_replace_file(path, body, 0644, true); rc != 0) {
        LOG2(LOG2_ERR, NET_TAG, "write [%s] error: %s\n", path, pal_strerror(rc));
        return UPDATE_EXIT_FAIL;
    }
    LOG2(LOG2_INFO, NET_TAG, "[%s] saved to [%s], %zu bytes\n", url, path, body.size());
    return UPDATE_EXIT_OK;
}

// True when file loads as a configuration; logs the failure.
static bool conf_loads(const char *file) {
    conf_handle *h = conf_load(file);
    if (h == nullptr) {
        LOG2(LOG2_ERR, UPDATE_TAG, "load [%s] error\n", file);
        return false;
    }
    conf_free(h);
    return true;
}

int update_conf_merge(const char *new_file, const char *old_file) {
    PAL_ASSERT_RET(new_file != nullptr && old_file != nullptr, UPDATE_EXIT_FAIL);
    if (!conf_loads(new_file) || !conf_loads(old_file))
        return UPDATE_EXIT_FAIL;
    if (conf_merge(new_file, old_file) != 0) {
        LOG2(LOG2_ERR, UPDATE_TAG, "merge [%s] into [%s] failed\n", old_file, new_file);
        return UPDATE_EXIT_FAIL;
    }
    return UPDATE_EXIT_OK;
}

int update_conf_get(const char *file, const char *key, std::string *out) {
    PAL_ASSERT_RET(file != nullptr && key != nullptr && out != nullptr, UPDATE_EXIT_FAIL);
    conf_handle *h = conf_load(file);
    if (h == nullptr) {
        LOG2(LOG2_ERR, UPDATE_TAG, "load [%s] error\n", file);
        return UPDATE_EXIT_FAIL;
    }
    *out = conf_get_key_string(h, key, "");
    conf_free(h);
    return UPDATE_EXIT_OK;
}

int update_check(const char *url, const char *own_ver, std::span<char, 32> ver) {
    PAL_ASSERT_RET(url != nullptr && own_ver != nullptr, UPDATE_EXIT_FAIL);
    if (update_get_new_ver(url, ver) != 0)
        return UPDATE_EXIT_FAIL;
    bool newer = update_ver_cmp(ver.data(), own_ver) > 0;
    LOG2(LOG2_INFO, UPDATE_TAG, "published version [%s], this version [%s]%s\n", ver.data(),
         own_ver, newer ? ", a newer version is available" : "");
    return newer ? UPDATE_EXIT_NEWER : UPDATE_EXIT_OK;
}
