// fuzz_sh.cpp - the command shell's line interpreter on a memory session, as the debug
// shell and the web console run it: splitting, quotes, aliases, assignments and every
// built-in with the input as its arguments. The input is one or more lines.
//
// The debug functions that end the process on purpose (call kill, null, thread_except,
// stack_over) are hidden from this target: it is linked with --wrap on their lookup.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "pal_value.h"
#include "sh.h"

extern "C" const fvar *__real__Z13fvar_mgr_findPK8fvar_mgrPKc(const fvar_mgr *m,
                                                              const char *name);

extern "C" const fvar *__wrap__Z13fvar_mgr_findPK8fvar_mgrPKc(const fvar_mgr *m,
                                                              const char *name) {
    static const char *const hidden[] = {"kill", "null", "thread_except", "stack_over"};
    for (const char *h : hidden)
        if (name != nullptr && strcasecmp(name, h) == 0)
            return nullptr;
    return __real__Z13fvar_mgr_findPK8fvar_mgrPKc(m, name);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    libsh_app app;
    app.exit_hook = [] { return 0; };
    app.terminate = [](int) {};
    libsh_set_app(app);
    return 0;
}

static void run_line(const std::string &line) {
    libsh_mem_ctx m;
    libsh_mem_ctx_init(&m);
    (void)libsh_exec_line(&m.ctx, line.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Each input starts from a fresh shell (aliases, environment, registries) and the
    // start-up log level, so that what one input defines cannot steer the next.
    libsh_init();
    (void)log2_ioctl(nullptr, LOG2_IOC_LEVEL, long{LOG2_INFO});
    run_line("nosuch_command_to_clear_the_last_line");  // an empty line repeats the last one
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        run_line(text.substr(start, end - start));
        start = end + 1;
    }
    libsh_exit();
    return 0;
}
