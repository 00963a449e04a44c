// The default thread count follows the CPUs the process may run on, as a
// scheduler or `taskset` restricts them, not the machine's core count.
#include <gtest/gtest.h>
#include <sched.h>

#include "threads.h"

namespace dyadmill {
namespace {

// Restricts the calling thread to `cpus` of its current CPUs for the
// lifetime of the object (availableCpus() reads the calling thread's mask).
class AffinityLimit {
 public:
  explicit AffinityLimit(int cpus) {
    sched_getaffinity(0, sizeof(saved_), &saved_);
    cpu_set_t limited;
    CPU_ZERO(&limited);
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < cpus; ++cpu) {
      if (CPU_ISSET(cpu, &saved_)) {
        CPU_SET(cpu, &limited);
        ++taken;
      }
    }
    applied_ = sched_setaffinity(0, sizeof(limited), &limited) == 0;
  }
  ~AffinityLimit() { sched_setaffinity(0, sizeof(saved_), &saved_); }
  bool applied() const { return applied_; }

 private:
  cpu_set_t saved_{};
  bool applied_ = false;
};

TEST(Threads, DefaultFollowsTheAffinityMask) {
  cpu_set_t mask;
  ASSERT_EQ(sched_getaffinity(0, sizeof(mask), &mask), 0);
  EXPECT_EQ(availableCpus(), CPU_COUNT(&mask));
  {
    const AffinityLimit one(1);
    ASSERT_TRUE(one.applied());
    EXPECT_EQ(availableCpus(), 1);
    EXPECT_EQ(workerThreads(RunParameters{}), 1);
  }
  if (CPU_COUNT(&mask) >= 2) {
    const AffinityLimit two(2);
    ASSERT_TRUE(two.applied());
    EXPECT_EQ(availableCpus(), 2);
  }
}

TEST(Threads, TheOptionWinsOverTheMask) {
  RunParameters params;
  params.threadParam = 7;
  const AffinityLimit one(1);
  EXPECT_EQ(workerThreads(params), 7);
}

TEST(Threads, ATeamHasNoMoreThreadsThanPiecesOfWork) {
  EXPECT_EQ(teamSize(4, 100), 4);
  EXPECT_EQ(teamSize(4, 3), 3);
  EXPECT_EQ(teamSize(4, 0), 1);  // an empty loop still gets its one thread
  EXPECT_EQ(teamSize(1024, std::uint64_t{1} << 40), 1024);
}

}  // namespace
}  // namespace dyadmill
