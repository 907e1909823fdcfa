// vfs_path.cpp - lexical path resolution and the error record helper.
// Virtual paths never touch the file system here: "." and ".." are resolved by text, so a
// session directory cannot be moved by a symbolic link and ".." never climbs above "/".
#include "vfs_internal.h"

#include "pal.h"

#include <cstring>
#include <string_view>
#include <vector>

void vfs_err_set(vfs_err *err, const char *file, const char *func, int line, int code,
                 const char *fmt, ...) {
    if (!err)
        return;
    err->file = file;
    err->func = func;
    err->line = line;
    err->code = code;
    va_list ap;
    va_start(ap, fmt);
    pal_vsnprintf(err->msg, fmt, ap);
    va_end(ap);
}

static bool is_sep(char c) { return c == '/' || c == '\\'; }

// Applies the components of path to the stack of names.
static void path_apply(std::vector<std::string_view> &st, std::string_view path) {
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && is_sep(path[i]))
            i++;
        size_t j = i;
        while (j < path.size() && !is_sep(path[j]))
            j++;
        std::string_view c = path.substr(i, j - i);
        i = j;
        if (c.empty() || c == ".")
            continue;
        if (c == "..") {
            if (!st.empty())
                st.pop_back();
            continue;
        }
        st.push_back(c);
    }
}

// Joins the stack as "/a/b" (or "/" when empty) straight into out; 0 or PAL_ENAMETOOLONG.
static int path_join(const std::vector<std::string_view> &st, char *out, size_t out_size,
                     bool leading) {
    size_t len = 0;
    auto put = [&](std::string_view part) {
        if (len + part.size() >= out_size)
            return false;
        std::memcpy(out + len, part.data(), part.size());
        len += part.size();
        return true;
    };
    bool ok = true;
    for (auto c : st) {
        if (leading || len)
            ok = ok && put("/");
        ok = ok && put(c);
    }
    if (!len && leading)
        ok = ok && put("/");
    out[ok ? len : 0] = 0;
    return ok ? 0 : PAL_ENAMETOOLONG;
}

int vfs_path_resolve(const char *cwd, const char *path, char *out, size_t out_size) {
    if (!out || out_size == 0)
        return PAL_EINVAL;
    out[0] = 0;
    if (!cwd || !path)
        return PAL_EINVAL;
    std::vector<std::string_view> st;
    st.reserve(16);
    if (!is_sep(path[0]))
        path_apply(st, cwd);
    path_apply(st, path);
    return path_join(st, out, out_size, true);
}

int vfs_path_to_rel(const char *path, char *out, size_t out_size) {
    if (!path || !out || out_size == 0)
        return PAL_EINVAL;
    std::vector<std::string_view> st;
    st.reserve(16);
    path_apply(st, path);
    return path_join(st, out, out_size, false);
}
