// pal_thread.cpp - named threads and the thread-name table shown in log lines. Each thread
// runs its procedure under the crash handler's thread filter, on its own emergency stack.
// Threads are never cancelled: a thread that does not end is waited for, since its
// blocking waits run in slices that check their abort flags.
#include "pal.h"
#include "pal_crash_internal.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <unordered_map>

namespace {
struct thread_state {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    int result = 0;
};

struct start_record {
    std::string name;
    os_thread_proc proc;
    void *arg;
    os_thread_opts opts;
    std::shared_ptr<thread_state> state;
};

struct name_table {
    std::mutex mu;
    std::unordered_map<uint64_t, std::string> names;
};
}  // namespace

struct os_thread {
    pthread_t th;
    std::shared_ptr<thread_state> state;
    bool joined = false;
};

static thread_local os_thread_opts tls_opts{};

static name_table &names() {
    static name_table *table = new name_table;  // lives to the very end of the process
    return *table;
}

static void *thread_entry(void *p) {
    std::unique_ptr<start_record> rec(static_cast<start_record *>(p));
    tls_opts = rec->opts;
    os_thread_name_init(rec->name.c_str());
    // The kernel keeps at most 15 characters of a thread's name.
    pthread_setname_np(pthread_self(), rec->name.substr(0, 15).c_str());
    std::shared_ptr<thread_state> state = rec->state;
    os_thread_proc proc = rec->proc;
    void *arg = rec->arg;
    rec.reset();  // freed before the procedure runs

    // A fault in proc ends here when the thread was started with "handle".
    crash_thread_stack alt;
    crash_thread_arm(&alt);
    int result = -1;
    (void)os_thread_call(proc, arg, &result);
    crash_thread_disarm(&alt);
    os_thread_name_exit();
    {
        std::scoped_lock lock(state->mu);
        state->done = true;
        state->result = result;
    }
    state->cv.notify_all();
    return nullptr;
}

os_thread *os_thread_init(const char *name, os_thread_proc proc, void *arg, size_t,
                          const os_thread_opts *opts) {
    PAL_ASSERT_RET(proc != nullptr, nullptr);
    auto rec = std::make_unique<start_record>();
    rec->name = std::string(name ? name : "").substr(0, 255);
    rec->proc = proc;
    rec->arg = arg;
    rec->opts = opts ? *opts : os_thread_opts{};
    rec->state = std::make_shared<thread_state>();
    auto t = std::make_unique<os_thread>();
    t->state = rec->state;
    if (pthread_create(&t->th, nullptr, thread_entry, rec.get()) != 0)
        return nullptr;
    rec.release();  // the thread owns it now
    return t.release();
}

int os_thread_wait(os_thread *t, int timeout_ms, int *exit_code) {
    PAL_ASSERT_RET(t != nullptr, PAL_EINVAL);
    {
        std::unique_lock lock(t->state->mu);
        auto done = [&] { return t->state->done; };
        if (timeout_ms < 0)
            t->state->cv.wait(lock, done);
        else if (!t->state->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), done))
            return PAL_ETIMEDOUT;
        if (exit_code)
            *exit_code = t->state->result;
    }
    if (!t->joined) {
        pthread_join(t->th, nullptr);
        t->joined = true;
    }
    return 0;
}

void os_thread_close(os_thread *t) {
    if (!t)
        return;
    if (!t->joined)
        pthread_detach(t->th);
    delete t;
}

int os_thread_wait_kill_exit(os_thread *t, int *exit_code) {
    PAL_ASSERT_RET(t != nullptr, PAL_EINVAL);
    int rc = os_thread_wait(t, 1000, exit_code);
    if (rc == PAL_ETIMEDOUT) {
        (void)os_thread_wait(t, -1, exit_code);
        rc = -2;
    }
    os_thread_close(t);
    return rc;
}

os_thread_opts os_thread_self_opts() {
    return tls_opts;
}

uint64_t os_thread_id() {
    return static_cast<uint64_t>(gettid());
}

void os_thread_name_init(const char *name) {
    char shown[300];
    unsigned stamp = static_cast<unsigned>(os_clock_us() & 0xffff);
    pal_snprintf(shown, "%s_%04x", name ? name : "", stamp);
    name_table &table = names();
    std::scoped_lock lock(table.mu);
    table.names[os_thread_id()] = shown;
}

void os_thread_name_exit() {
    name_table &table = names();
    std::scoped_lock lock(table.mu);
    table.names.erase(os_thread_id());
}

int os_thread_name_get(uint64_t tid, std::span<char> out) {
    name_table &table = names();
    std::scoped_lock lock(table.mu);
    auto it = table.names.find(tid);
    if (it == table.names.end())
        return pal_snprintf(out, "%llu", static_cast<unsigned long long>(tid));
    return pal_snprintf(out, "%s_%llu", it->second.c_str(), static_cast<unsigned long long>(tid));
}

void os_thread_names_free() {
    name_table &table = names();
    std::scoped_lock lock(table.mu);
    table.names.clear();
}
