#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quillane::parallel {

namespace {

// One call's chunks. Helpers that start after the caller has finished find nothing to
// do; the caller waits only for helpers that started.
struct Job {
    const std::function<void(size_t, size_t)>* body;
    size_t n, grain;
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable idle;
    bool closed = false;
    unsigned running = 0;
    std::exception_ptr failure;

    void work() {
        for (;;) {
            const size_t begin = next.fetch_add(grain);
            if (begin >= n) return;
            try {
                (*body)(begin, std::min(n, begin + grain));
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!failure) failure = std::current_exception();
                next.store(n);  // the call fails: skip what is left
                return;
            }
        }
    }

    void help() {
        {
            std::lock_guard lock(mutex);
            if (closed) return;
            ++running;
        }
        work();
        std::lock_guard lock(mutex);
        if (--running == 0) idle.notify_all();
    }
};

class Pool {
public:
    explicit Pool(unsigned workers) {
        for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { serve(); });
    }
    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    void post(std::shared_ptr<Job> job, unsigned copies) {
        {
            std::lock_guard lock(mutex_);
            for (unsigned i = 0; i < copies; ++i) queue_.push_back(job);
        }
        wake_.notify_all();
    }

private:
    void serve() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job->help();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// The process's pool, made at first use. A child made by fork() has none of its parent's
// threads, and the parent's pool may have been mid-call: the child forgets it (never
// touching its locks) and makes its own at its first batch call.
std::atomic<Pool*> current{nullptr};

void forget_pool_in_child() { current.store(nullptr); }

// Registered when the library loads, before any thread of ours exists.
[[maybe_unused]] const int registered = ::pthread_atfork(nullptr, nullptr, forget_pool_in_child);

Pool& pool() {
    Pool* p = current.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    // Never destroyed: worker threads must not be joined during static destruction,
    // where the interpreter may already be gone. Two first callers may race: one pool wins.
    auto* made = new Pool(allowed_cores() - 1);
    if (current.compare_exchange_strong(p, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *p;
}

}  // namespace

unsigned allowed_cores() {
    static const unsigned cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0) {
            return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
        }
        return std::max(1u, std::thread::hardware_concurrency());
    }();
    return cores;
}

unsigned thread_count(unsigned requested) {
    const unsigned cores = allowed_cores();
    return requested == 0 ? cores : std::min(requested, cores);
}

void for_chunks(size_t n, size_t grain, unsigned threads,
                const std::function<void(size_t, size_t)>& body) {
    grain = std::max<size_t>(grain, 1);
    const size_t chunks = (n + grain - 1) / grain;
    const unsigned helpers =
        static_cast<unsigned>(std::min<size_t>(chunks, thread_count(threads)) - (chunks > 0));
    if (helpers == 0) {
        for (size_t begin = 0; begin < n; begin += grain) body(begin, std::min(n, begin + grain));
        return;
    }
    auto job = std::make_shared<Job>();
    job->body = &body;
    job->n = n;
    job->grain = grain;
    pool().post(job, helpers);
    job->help();
    std::unique_lock lock(job->mutex);
    job->closed = true;
    job->idle.wait(lock, [&] { return job->running == 0; });
    if (job->failure) std::rethrow_exception(job->failure);
}

}  // namespace quillane::parallel
