// pal_value.cpp - the runtime-variable registries and typed values. A registry holds
// pointers to records its callers own; it checks a record once, when it is added.
#include "pal_value.h"

#include "pal.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

static constexpr int LOG_ERR = 3;

bool pal_value_has_ref(const pal_value &v) {
    if (v.type == VALUE_TYPE_NONE)
        return false;
    return v.type != VALUE_TYPE_INT_PTR || v.ref != nullptr;
}

/// The integer a value refers to, or null (logged) for an unsupported kind.
static int *value_slot(const pal_value &v) {
    if (v.type == VALUE_TYPE_INT)
        return const_cast<int *>(&v.i);
    if (v.type == VALUE_TYPE_INT_PTR && v.ref != nullptr)
        return v.ref;
    PAL_LOG(LOG_ERR, "pal", "unsupport type=%d\n", v.type);
    return nullptr;
}

int pal_value_set(pal_value *v, const char *text) {
    PAL_ASSERT_RET(v != nullptr, -1);
    int *slot = value_slot(*v);
    if (slot == nullptr)
        return -1;
    std::atomic_ref<int>(*slot).store(pal_atoi(text ? text : ""));
    return 0;
}

int pal_value_get(const pal_value &v, std::span<char> buf) {
    int *slot = value_slot(v);
    if (slot == nullptr)
        return -1;
    return pal_snprintf(buf, "%d", std::atomic_ref<int>(*slot).load());
}

namespace {
/// Pointers to records of type T in registration order, under one lock.
template <class T> class var_registry {
public:
    T *find(const char *name) const {
        if (name == nullptr)
            return nullptr;
        std::scoped_lock lock(mu_);
        for (T *r : items_) {
            if (std::strcmp(r->name, name) == 0)
                return r;
        }
        return nullptr;
    }
    /// Appends r unless its name is taken; ok says whether r passed its own check (its
    /// operation, or for a dynamic variable its set or value).
    int add(T *r, bool ok, bool is_dvar) {
        PAL_ASSERT_RET(r != nullptr && r->name != nullptr, -1);
        std::scoped_lock lock(mu_);
        for (T *have : items_) {
            if (std::strcmp(have->name, r->name) == 0) {
                PAL_LOG(LOG_ERR, "pal", "error: var=%s already exists\n", r->name);
                return -1;
            }
        }
        if (!ok) {
            if (is_dvar)
                PAL_LOG(LOG_ERR, "pal", "var=%s set error\n", r->name);
            else
                PAL_LOG(LOG_ERR, "pal", "var=%s init error\n", r->name);
            return -1;
        }
        items_.push_back(r);
        return 0;
    }
    size_t count() const {
        std::scoped_lock lock(mu_);
        return items_.size();
    }
    T *at(size_t i) const {
        std::scoped_lock lock(mu_);
        return i < items_.size() ? items_[i] : nullptr;
    }

private:
    mutable std::mutex mu_;
    std::vector<T *> items_;
};
}  // namespace

struct rvar_mgr {
    var_registry<const rvar> reg;
};
struct fvar_mgr {
    var_registry<const fvar> reg;
};
struct dvar_mgr {
    var_registry<dvar> reg;
};

rvar_mgr *rvar_mgr_new() { return new rvar_mgr; }
fvar_mgr *fvar_mgr_new() { return new fvar_mgr; }
dvar_mgr *dvar_mgr_new() { return new dvar_mgr; }
void rvar_mgr_free(rvar_mgr *m) { delete m; }
void fvar_mgr_free(fvar_mgr *m) { delete m; }
void dvar_mgr_free(dvar_mgr *m) { delete m; }

int rvar_mgr_add(rvar_mgr *m, const rvar *r) {
    PAL_ASSERT_RET(m != nullptr && r != nullptr, -1);
    return m->reg.add(r, r->get != nullptr, false);
}

int fvar_mgr_add(fvar_mgr *m, const fvar *f) {
    PAL_ASSERT_RET(m != nullptr && f != nullptr, -1);
    return m->reg.add(f, f->func != nullptr, false);
}

int dvar_mgr_add(dvar_mgr *m, dvar *d) {
    PAL_ASSERT_RET(m != nullptr && d != nullptr, -1);
    bool ok = d->set != nullptr || pal_value_has_ref(d->value);
    return m->reg.add(d, ok, true);
}

const rvar *rvar_mgr_find(const rvar_mgr *m, const char *name) {
    return m ? m->reg.find(name) : nullptr;
}
const fvar *fvar_mgr_find(const fvar_mgr *m, const char *name) {
    return m ? m->reg.find(name) : nullptr;
}
dvar *dvar_mgr_find(const dvar_mgr *m, const char *name) {
    return m ? m->reg.find(name) : nullptr;
}

size_t rvar_mgr_count(const rvar_mgr *m) { return m ? m->reg.count() : 0; }
size_t fvar_mgr_count(const fvar_mgr *m) { return m ? m->reg.count() : 0; }
size_t dvar_mgr_count(const dvar_mgr *m) { return m ? m->reg.count() : 0; }
const rvar *rvar_mgr_at(const rvar_mgr *m, size_t i) { return m ? m->reg.at(i) : nullptr; }
const fvar *fvar_mgr_at(const fvar_mgr *m, size_t i) { return m ? m->reg.at(i) : nullptr; }
dvar *dvar_mgr_at(const dvar_mgr *m, size_t i) { return m ? m->reg.at(i) : nullptr; }

int dvar_mgr_set(const dvar_mgr *m, const char *name, const char *text, std::span<char> msg) {
    dvar *d = dvar_mgr_find(m, name);
    if (d == nullptr) {
        pal_snprintf(msg, "The set variable '%s' does not exist", name ? name : "");
        return -12;
    }
    if (d->set != nullptr)
        return d->set(text, msg);
    if (!pal_value_has_ref(d->value))
        return -1;
    return pal_value_set(&d->value, text);
}

int dvar_mgr_get(dvar *d, std::span<char> buf) {
    PAL_ASSERT_RET(d != nullptr, -1);
    if (d->get != nullptr)
        return d->get(buf);
    if (!pal_value_has_ref(d->value)) {
        pal_strlcpy(buf, "error: not support");
        PAL_LOG(LOG_ERR, "pal", "error: var.name %s get=NULL error\n", d->name);
        return -1;
    }
    return pal_value_get(d->value, buf);
}
