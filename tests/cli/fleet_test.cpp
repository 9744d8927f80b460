// The writer's slots: never more threads than slots, each job once, a slot
// number per thread, and no job begun after a stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "cli/fleet.h"
#include "platform/stop_signal.h"

namespace kesto::cli {
namespace {

TEST(RunInSlots, AtMostKAtOnceEachJobOnce) {
  for (const int slots : {1, 3, 16}) {
    StopSignal stop;
    std::mutex mutex;
    std::vector<int> runs(40, 0);
    std::set<int> slotsSeen;
    int running = 0, most = 0;  // under mutex, so that no peak is lost
    RunInSlots(runs.size(), slots, stop, [&](size_t index, int slot) {
      {
        std::lock_guard lock(mutex);
        most = std::max(most, ++running);
      }
      std::this_thread::yield();
      std::lock_guard lock(mutex);
      ++runs[index];
      slotsSeen.insert(slot);
      --running;
    });
    EXPECT_LE(most, slots);
    EXPECT_TRUE(std::all_of(runs.begin(), runs.end(), [](int n) { return n == 1; }));
    EXPECT_LE(*slotsSeen.rbegin(), slots - 1);
  }
}

TEST(RunInSlots, AStopBeginsNoFurtherJob) {
  StopSignal stop;
  std::atomic<bool> stopped{false};
  std::atomic<int> begunAfter{0};
  RunInSlots(100, 4, stop, [&](size_t index, int) {
    if (stopped) ++begunAfter;
    if (index == 1) {
      stop.Trigger();
      stopped = true;
    }
  });
  // Another slot may have looked at the stop just before it fired: at most
  // one job more in each, none in the slot that stopped.
  EXPECT_LE(begunAfter, 3);
}

}  // namespace
}  // namespace kesto::cli
