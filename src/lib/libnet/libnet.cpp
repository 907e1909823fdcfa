// libnet.cpp - error details and the TLS hook registry of the networking core.
// libssl registers its handshake here because it sits above libnet.
#include "net.h"

#include <cstdarg>
#include <mutex>

#include "log.h"

namespace {
struct tls_registry {
    std::mutex lock;
    net_tls_hooks hooks{};
    bool set = false;
};
}  // namespace

static tls_registry &tls_reg() {
    static tls_registry r;
    return r;
}

void net_err_set(net_err *e, int code, const char *fmt, ...) {
    if (!e)
        return;
    e->code = code;
    va_list ap;
    va_start(ap, fmt);
    pal_vsnprintf(e->msg, fmt, ap);
    va_end(ap);
}

const char *net_err_text(const net_err *e) {
    if (!e)
        return "";
    return e->msg[0] ? e->msg : pal_strerror(e->code);
}

void net_set_tls_hooks(const net_tls_hooks *hooks) {
    tls_registry &r = tls_reg();
    std::scoped_lock g(r.lock);
    r.set = hooks != nullptr;
    r.hooks = hooks ? *hooks : net_tls_hooks{};
}

/// Copy of the registered hooks; false when none are registered.
bool net_tls_hooks_get(net_tls_hooks *out) {
    tls_registry &r = tls_reg();
    std::scoped_lock g(r.lock);
    *out = r.hooks;
    return r.set;
}
