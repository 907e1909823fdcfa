// iniparser.cpp - reads INI text into a dictionary and writes a dictionary back as INI.
// Comment and blank lines are kept with the entry that follows them, so a file that is
// loaded and saved keeps its comments. Physical lines are limited to INI_LINE_MAX bytes.
#include "conf_internal.h"

#include "pal.h"

// Reads text the way a buffered line reader does: at most size - 1 bytes, stopping after
// a line feed. eof is set once a read has tried to go past the end, which is how a last
// line without line feed is told from a line that did not fit.
namespace {
struct ini_reader {
    std::string_view data;
    size_t pos = 0;
    bool eof = false;
};
}  // namespace

static size_t reader_gets(ini_reader *r, std::string *out, size_t size) {
    out->clear();
    while (out->size() + 1 < size) {
        if (r->pos >= r->data.size()) {
            r->eof = true;
            break;
        }
        char c = r->data[r->pos++];
        out->push_back(c);
        if (c == '\n') {
            break;
        }
    }
    return out->size();
}

// "%[^=] = ..." once the key has been read: the value forms in the order they are tried.
static bool classify_value(std::string_view rest, std::string *val) {
    size_t p = 0;
    while (p < rest.size() && pal_isspace(rest[p])) {
        p++;
    }
    rest = rest.substr(p);
    for (char q : {'"', '\''}) {
        // A quoted value keeps everything up to the closing quote, blanks and ';' too.
        if (rest.size() >= 2 && rest[0] == q && rest[1] != q) {
            *val = rest.substr(1, rest.find(q, 1) - 1);
            return true;
        }
    }
    size_t end = rest.find_first_of(";#");
    if (end != 0 && !rest.empty()) {
        std::string_view v = pal_trim(rest.substr(0, end));
        *val = (v == "\"\"" || v == "''") ? std::string_view() : v;
        return true;
    }
    val->clear();  // key=, key = ;comment, key=#x
    return true;
}

ini_line iniparser_classify(std::string_view line) {
    ini_line out;
    line = pal_trim(line);
    if (line.empty()) {
        out.kind = INI_LINE_BLANK;
        return out;
    }
    if (line[0] == '#' || line[0] == ';') {
        out.kind = INI_LINE_COMMENT;
        return out;
    }
    if (line[0] == '[' && line.back() == ']') {
        std::string_view name = line.substr(1);
        out.kind = INI_LINE_SECTION;
        out.name = pal_trim(name.substr(0, name.find(']')));
        return out;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        return out;  // a key without '=' is no setting
    }
    out.kind = INI_LINE_SETTING;
    out.name = pal_trim(line.substr(0, eq));
    classify_value(line.substr(eq + 1), &out.val);
    return out;
}

namespace {
/// State of one load: the dictionary, the section being read and the comment lines
/// waiting for the next entry.
struct ini_load {
    std::unique_ptr<dictionary> dict;
    std::string section;
    std::string comment;
    int lineno = 0;
};
}  // namespace

// Acts on one complete line; returns -1 when an insertion failed.
static int load_line(ini_load *st, std::string_view line) {
    ini_line l = iniparser_classify(line);
    int rc = 0;
    switch (l.kind) {
    case INI_LINE_BLANK:
        st->comment += "\n";
        return 0;
    case INI_LINE_COMMENT:
        st->comment.append(line);
        st->comment += "\n";
        return 0;
    case INI_LINE_SECTION:
        rc = dictionary_set(st->dict.get(), l.name, nullptr, st->comment.c_str());
        st->section = std::string_view(l.name).substr(0, DICT_NAME_MAX);
        break;
    case INI_LINE_SETTING:
        rc = dictionary_set(st->dict.get(), st->section + "\t" + l.name, l.val.c_str(),
                            st->comment.c_str());
        break;
    case INI_LINE_ERROR: {
        std::string text(line);
        PAL_LOG(CONF_LOG_DBG, "conf", "syntax error in (%d):\n-> %s\n", st->lineno,
                text.c_str());
        return 0;
    }
    }
    st->comment.clear();
    return rc;
}

static std::string_view strip_line_end(std::string_view s) {
    while (!s.empty() && pal_isspace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// End of input: a continued line still counts, and the comment lines left over become
// the trailer.
static std::unique_ptr<dictionary> load_finish(ini_load *st, std::string_view pending) {
    if (!pal_trim(pending).empty() && load_line(st, pending) < 0) {
        PAL_LOG(CONF_LOG_ERR, "conf", "memory allocation failure\n");
        return std::move(st->dict);
    }
    if (!st->comment.empty()) {
        st->dict->trailer = std::make_unique<std::string>(std::move(st->comment));
    }
    return std::move(st->dict);
}

std::unique_ptr<dictionary> iniparser_load_all(std::string_view data) {
    ini_load st;
    st.dict = dictionary_new(DICT_INITIAL_SIZE);
    ini_reader r;
    r.data = data;
    if (data.substr(0, 3) == "\xEF\xBB\xBF") {
        r.pos = 3;
    }
    std::string buf;      // the joined line
    std::string segment;  // one physical line
    size_t last = 0;      // where a continued line goes on
    bool pending = false;
    while (reader_gets(&r, &segment, INI_LINE_MAX - last) > 0) {
        st.lineno++;
        bool ended = segment.back() == '\n' || r.eof;
        buf.resize(last);
        // Text ends at a NUL byte as it would in a C string; the rest of the physical
        // line is dropped rather than failing the load as an over-long line.
        buf.append(std::string_view(segment).substr(0, segment.find('\0')));
        if (buf.size() <= 1) {
            st.comment += "\n";
            continue;
        }
        if (!ended) {
            PAL_LOG(CONF_LOG_ERR, "conf", "input line too long in (%d): \n", st.lineno);
            return nullptr;
        }
        std::string_view line = strip_line_end(buf);
        if (!line.empty() && line.back() == '\\') {
            PAL_LOG(CONF_LOG_DBG, "conf", "null_line_3\n");
            last = line.size() - 1;
            pending = true;
            continue;
        }
        pending = false;
        last = 0;
        if (load_line(&st, line) < 0) {
            PAL_LOG(CONF_LOG_ERR, "conf", "memory allocation failure\n");
            return std::move(st.dict);
        }
    }
    return load_finish(&st, pending ? std::string_view(buf).substr(0, last) : "");
}

static bool is_section_key(const dict_slot &s) {
    return s.key && s.key->find('\t') == std::string::npos;
}

// A value as it must stand in the file to load back unchanged: quoted when a comment
// character, surrounding blanks, a leading quote or a trailing backslash (which would
// continue the line) would otherwise change it.
static std::string render_value(const std::string *val) {
    if (val == nullptr || val->empty()) {
        return std::string();
    }
    std::string_view v(*val);
    bool plain = v.find_first_of(";#") == std::string_view::npos && !pal_isspace(v.front()) &&
                 !pal_isspace(v.back()) && v.front() != '"' && v.front() != '\'' &&
                 v.back() != '\\';
    if (plain) {
        return *val;
    }
    if (v.find('"') == std::string_view::npos) {
        return "\"" + *val + "\"";
    }
    if (v.find('\'') == std::string_view::npos) {
        return "'" + *val + "'";
    }
    return *val;  // holds both quote characters: no form keeps it whole
}

static void render_settings(const dictionary *d, std::string_view sec, std::string *out) {
    for (const dict_slot &s : d->slots) {
        if (!s.key || s.key->size() <= sec.size() || !dictionary_in_section(*s.key, sec)) {
            continue;
        }
        if (s.comment) {
            *out += *s.comment;
        }
        out->append(std::string_view(*s.key).substr(sec.size() + 1));
        *out += "=";
        *out += render_value(s.val.get());
        *out += "\n";
    }
}

// A store without sections: every entry as "key = value", nothing else.
static std::string render_flat(const dictionary *d) {
    std::string out;
    for (const dict_slot &s : d->slots) {
        if (s.key) {
            out += *s.key + " = " + render_value(s.val.get()) + "\n";
        }
    }
    return out;
}

std::string iniparser_render(const dictionary *d) {
    if (d == nullptr) {
        return std::string();
    }
    bool any_section = false;
    bool unnamed_section = false;
    for (const dict_slot &s : d->slots) {
        any_section = any_section || is_section_key(s);
        unnamed_section = unnamed_section || (is_section_key(s) && s.key->empty());
    }
    if (!any_section) {
        return render_flat(d);
    }
    std::string out;
    // Settings that stood before the first section line go first again, so that a save
    // does not lose them (unless an unnamed section writes them under "[]").
    if (!unnamed_section) {
        render_settings(d, "", &out);
    }
    int i = 0;
    for (const dict_slot &s : d->slots) {
        if (!is_section_key(s)) {
            continue;
        }
        if (s.comment) {
            out += *s.comment;
        } else if (i > 0) {
            out += "\n";
        }
        out += "[" + *s.key + "]\n";
        render_settings(d, *s.key, &out);
        i++;
    }
    out += d->trailer ? *d->trailer : std::string("\n");
    return out;
}
