// dbg_page.h - the web console's page and icon, built into the library from
// dbg_page.html and dbg_icon.png (the build turns both into a generated source).
#pragma once

#include <cstddef>

/// The built-in page: one NUL-terminated HTML document with inline style and script. It
/// names the template variables $title, $sh_psa and $token_value, which the server expands
/// before sending it. Static storage; never freed.
const char *dbg_builtin_page();

/// The built-in icon (PNG); its length in bytes goes to *len. Static storage; never freed.
const unsigned char *dbg_builtin_icon(size_t *len);
