#include "discovery/query_pool.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace kesto {

QueryPool::~QueryPool() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void QueryPool::Submit(std::string key, std::function<void()> job) {
  bool needThread = false;
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(Job{std::move(key), std::move(job)});
    needThread = idle_ == 0 && threads_.size() < maxThreads_;
  }
  changed_.notify_all();
  if (needThread) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // No thread to be had: the threads there are take the job in turn.
    }
  }
  if (threads_.empty()) {
    // Not even one: the job runs here and now, as it would one at a time.
    Job now;
    {
      std::lock_guard lock(mutex_);
      if (!TakeRunnable(now)) return;
    }
    now.run();
  }
}

bool QueryPool::TakeRunnable(Job& job) {
  const auto runnable = std::find_if(pending_.begin(), pending_.end(),
                                     [this](const Job& j) { return !running_.contains(j.key); });
  if (runnable == pending_.end()) return false;
  job = std::move(*runnable);
  pending_.erase(runnable);
  return true;
}

void QueryPool::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    Job job;
    if (TakeRunnable(job)) {
      const auto key = running_.insert(job.key);
      lock.unlock();
      job.run();
      job.run = nullptr;  // whatever the job holds goes before the lock is taken
      lock.lock();
      running_.erase(key);
      // A job of the same key may be runnable now.
      changed_.notify_all();
      continue;
    }
    if (closing_ && pending_.empty()) return;
    ++idle_;
    changed_.wait(lock);
    --idle_;
  }
}

void ForEachConcurrently(size_t count, size_t maxThreads,
                         const std::function<std::string(size_t)>& key,
                         const std::function<void(size_t)>& body) {
  QueryPool pool(std::min(count, maxThreads));
  for (size_t i = 0; i < count; ++i) pool.Submit(key(i), [&body, i] { body(i); });
}

}  // namespace kesto
