#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kesto {

// Device queries of one search, and RSSI queries of one list, at once.
inline constexpr size_t kQueriesInFlight = 64;

// Runs the device queries of a search side by side on at most maxThreads
// threads, made as they are needed. Jobs start in the order they were
// submitted, except that a job waits while an earlier one with the same key
// (the device's address) still runs: a device answering twice is asked once
// after the other, as it would be one at a time. The destructor waits for
// every submitted job, so jobs bound their own time (and watch the stop).
class QueryPool {
 public:
  explicit QueryPool(size_t maxThreads) : maxThreads_(maxThreads) {}
  ~QueryPool();
  QueryPool(const QueryPool&) = delete;
  QueryPool& operator=(const QueryPool&) = delete;

  void Submit(std::string key, std::function<void()> job);

 private:
  struct Job {
    std::string key;
    std::function<void()> run;
  };

  void Work();
  // The first job whose key is not running, moved out of pending_; false when none.
  bool TakeRunnable(Job& job);

  const size_t maxThreads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> pending_;
  std::multiset<std::string> running_;
  size_t idle_ = 0;
  bool closing_ = false;
  std::vector<std::thread> threads_;  // touched only by the submitting thread
};

// Calls body(i) for i in 0..count-1 on at most maxThreads threads, keyed as in
// QueryPool; returns once every call has returned.
void ForEachConcurrently(size_t count, size_t maxThreads,
                         const std::function<std::string(size_t)>& key,
                         const std::function<void(size_t)>& body);

}  // namespace kesto
