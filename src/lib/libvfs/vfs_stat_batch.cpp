// vfs_stat_batch.cpp - status of many names of one directory, on two cores.
//
// One helper thread serves the whole process. A caller posts its batch when the helper
// is idle and goes on with other work; when it finishes the batch it takes chunks of
// names from the same counter as the helper until none is left. When the helper is busy
// with another batch the caller works alone. So a listing never waits for another one,
// and the process never holds more than one extra thread for this.
#include "vfs_internal.h"

#include "pal.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

/// Batches below this size are not worth a hand-over.
constexpr size_t HELP_MIN = 128;
/// Names taken at a time from the shared counter.
constexpr size_t CHUNK = 32;

void work(vfs_stat_job *j) {
    for (;;) {
        size_t i = j->next.fetch_add(CHUNK, std::memory_order_relaxed);
        if (i >= j->n)
            return;
        size_t end = i + CHUNK < j->n ? i + CHUNK : j->n;
        for (; i < end; i++)
            j->err[i] = fstatat(j->dfd, j->names[i], &j->out[i], AT_SYMLINK_NOFOLLOW) == 0
                            ? 0
                            : errno;
    }
}

class stat_helper {
public:
    ~stat_helper() {
        {
            std::lock_guard<std::mutex> g(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_ != nullptr) {
            (void)os_thread_wait(thread_, -1, nullptr);
            os_thread_close(thread_);
        }
    }

    /// Hands j to the helper when it is idle. False when it is busy or cannot start.
    bool post(vfs_stat_job *j) {
        std::lock_guard<std::mutex> g(lock_);
        if (job_ != nullptr || busy_ || stop_)
            return false;
        if (thread_ == nullptr)
            thread_ = os_thread_init("vfs_stat", run, this, 0, nullptr);
        if (thread_ == nullptr)
            return false;
        job_ = j;
        wake_.notify_one();
        return true;
    }

    /// After the caller ran out of work: takes j back if the helper never started on it,
    /// else waits until the helper left it.
    void finish(vfs_stat_job *j) {
        std::unique_lock<std::mutex> g(lock_);
        if (!j->taken) {
            job_ = nullptr;
            return;
        }
        done_.wait(g, [j] { return j->finished; });
    }

private:
    static int run(void *arg) {
        auto *h = static_cast<stat_helper *>(arg);
        std::unique_lock<std::mutex> g(h->lock_);
        for (;;) {
            h->wake_.wait(g, [h] { return h->job_ != nullptr || h->stop_; });
            if (h->stop_)
                return 0;
            vfs_stat_job *j = h->job_;
            h->job_ = nullptr;
            j->taken = true;
            h->busy_ = true;
            g.unlock();
            work(j);
            g.lock();
            j->finished = true;
            h->busy_ = false;
            h->done_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable done_;
    os_thread *thread_ = nullptr;
    vfs_stat_job *job_ = nullptr;
    bool busy_ = false;
    bool stop_ = false;
};

stat_helper g_helper;

}  // namespace

void vfs_stat_start(vfs_stat_job *j, int dfd, const char *const *names, size_t n,
                    struct stat *out, int *err) {
    j->dfd = dfd;
    j->names = names;
    j->n = n;
    j->out = out;
    j->err = err;
    j->next.store(0, std::memory_order_relaxed);
    j->taken = j->finished = false;
    j->posted = n >= HELP_MIN && g_helper.post(j);
}

void vfs_stat_finish(vfs_stat_job *j) {
    work(j);
    if (j->posted)
        g_helper.finish(j);
    j->posted = false;
}
