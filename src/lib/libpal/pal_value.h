// pal_value.h - runtime variables: three small registries through which modules publish
// items to the shell by name. Read variables produce a text (the shell's `show` items),
// function variables take the shell's command arguments (`call`), dynamic variables are
// settings read and written as text at run time (`set`).
#pragma once

#include <cstddef>
#include <span>
#include <string>

struct dbgsh_srv_ctx;

/// Kinds of a typed value.
enum : int {
    VALUE_TYPE_NONE = 0,
    VALUE_TYPE_INT = 14,      ///< an integer held in the value itself (pal_value::i)
    VALUE_TYPE_INT_PTR = 15,  ///< a pointer to an integer held elsewhere (pal_value::ref)
};

/// A typed value: a kind and the storage it refers to. Reads and writes of the integer are
/// atomic, so sessions on several threads may set and read it together.
struct pal_value {
    int type = VALUE_TYPE_NONE;
    int i = 0;
    int *ref = nullptr;
};

/// True when v refers to storage: kind 14, or kind 15 with a pointer, or any other kind
/// (which the accessors then refuse as unsupported).
bool pal_value_has_ref(const pal_value &v);

/// Stores the decimal integer of text (an unparsable text gives 0). Returns 0, or -1 with
/// "unsupport type=%d\n" logged for a kind other than 14 and 15.
[[nodiscard]] int pal_value_set(pal_value *v, const char *text);

/// Writes the integer with "%d" into buf (always terminated). Returns the length, or -1 with
/// "unsupport type=%d\n" logged for a kind other than 14 and 15.
[[nodiscard]] int pal_value_get(const pal_value &v, std::span<char> buf);

/// Read variable: `get` returns a new text (the caller owns it).
struct rvar {
    const char *name;
    const char *desc;
    std::string (*get)();
};

/// Function variable: `func` has the shell's command signature.
struct fvar {
    const char *name;
    const char *desc;
    int (*func)(dbgsh_srv_ctx *ctx, int argc, char **argv);
};

/// Dynamic variable. `type` 1 is an enumeration whose allowed values are in `range`,
/// separated by '|'; any other type is a free text. `set` gets a 4096-byte message buffer
/// for its reason on failure; `get` writes the current value. Either may be null; `value`
/// is used in place of a missing one.
struct dvar {
    const char *name;
    int type;
    int reserved1;
    const char *range;
    const char *desc;
    int (*set)(const char *value, std::span<char> msg);
    int (*get)(std::span<char> buf);
    int reserved2;
    pal_value value;
};

enum : int { DVAR_TYPE_ENUM = 1 };

/// Size of the message buffer dvar_mgr_set writes into, and of dvar_mgr_get's buffer.
constexpr size_t DVAR_MSG_SIZE = 4096;
constexpr size_t DVAR_VALUE_SIZE = 8192;

// Registries: growable arrays of pointers to records that the registering module owns
// (usually static records); a registry never copies or frees a record. Names compare
// exactly; listings walk registration order. Records are added during start-up; lookups
// and listings are safe from any thread (each registry has its own lock).
struct rvar_mgr;
struct fvar_mgr;
struct dvar_mgr;

/// Creates an empty registry (owned by the caller until the matching _free).
rvar_mgr *rvar_mgr_new();
fvar_mgr *fvar_mgr_new();
dvar_mgr *dvar_mgr_new();
void rvar_mgr_free(rvar_mgr *m);
void fvar_mgr_free(fvar_mgr *m);
void dvar_mgr_free(dvar_mgr *m);

/// Appends r. Fails with -1 and logs (error level) "error: var=%s already exists\n" for a
/// taken name or "var=%s init error\n" when `get` is null; the registry is then unchanged.
[[nodiscard]] int rvar_mgr_add(rvar_mgr *m, const rvar *r);
/// As rvar_mgr_add, with `func` in place of `get`.
[[nodiscard]] int fvar_mgr_add(fvar_mgr *m, const fvar *f);
/// Appends d. Fails with -1 and logs "error: var=%s already exists\n" for a taken name or
/// "var=%s set error\n" when d has neither `set` nor a value reference.
[[nodiscard]] int dvar_mgr_add(dvar_mgr *m, dvar *d);

/// Lookup by exact name; null when absent (or m is null).
const rvar *rvar_mgr_find(const rvar_mgr *m, const char *name);
const fvar *fvar_mgr_find(const fvar_mgr *m, const char *name);
dvar *dvar_mgr_find(const dvar_mgr *m, const char *name);

/// Number of records, and the record at index i in registration order (null past the end).
size_t rvar_mgr_count(const rvar_mgr *m);
size_t fvar_mgr_count(const fvar_mgr *m);
size_t dvar_mgr_count(const dvar_mgr *m);
const rvar *rvar_mgr_at(const rvar_mgr *m, size_t i);
const fvar *fvar_mgr_at(const fvar_mgr *m, size_t i);
dvar *dvar_mgr_at(const dvar_mgr *m, size_t i);

/// Sets the variable name from text. An unknown name writes "The set variable '%s' does
/// not exist" into msg and returns -12. Otherwise the record's `set` when present (its
/// result); else -1 without a value reference; else the typed value is stored.
[[nodiscard]] int dvar_mgr_set(const dvar_mgr *m, const char *name, const char *text,
                               std::span<char> msg);

/// Writes the current value of d into buf (8192 bytes by convention): `get` when present;
/// else, without a value reference, "error: not support" with "error: var.name %s
/// get=NULL error\n" logged and -1; else the typed value. Returns 0 or a count on success.
[[nodiscard]] int dvar_mgr_get(dvar *d, std::span<char> buf);
