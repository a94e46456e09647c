// Runtimes on many threads at once: each owns its machine, and what they share (interned names, the
// process-wide ceilings, block caches that values freed on another thread end up in) must hold up.
// Built with ThreadSanitizer by scripts/test-tsan.sh.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "parser/runtime.h"

namespace tarnwick {
namespace {

constexpr char kProgram[] = R"(
class Point { fn norm(self) { return self.x * self.x + self.y * self.y } }
fn work(n) {
  let total = 0
  let names = []
  let i = 0
  while i < n {
    let p = {__class__: "Point", x: i, y: i + 1}
    total = total + p.norm() % 7
    names = [f"item{i % 13}", str(i), names]
    if len(str(names)) > 200 { names = [] }
    i = i + 1
  }
  return total
}
shared = work(10)
)";

int64_t expected_work(int64_t n) {
  int64_t total = 0;
  for (int64_t i = 0; i < n; ++i) total += (i * i + (i + 1) * (i + 1)) % 7;
  return total;
}

TEST(RuntimeThreads, ManyRuntimesOnManyThreadsGiveTheirOwnResults) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 20;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&wrong, t] {
      Runtime rt;
      if (!rt.run(kProgram).ok()) {
        ++wrong;
        return;
      }
      for (int k = 0; k < kCalls; ++k) {
        const int64_t n = 200 + t * 10 + k;
        Outcome r = rt.call(rt.global("work"), {ValueRef::integer(n)});
        if (!r.ok() || !r.value().is_int() || r.value().as_int() != expected_work(n)) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RuntimeThreads, AnInterruptFromAnotherThreadStopsTheRun) {
  Runtime rt;
  ASSERT_TRUE(rt.run("fn spin() { while 1 { } }").ok());
  std::atomic<bool> done{false};
  // A request that comes before the call begins is dropped with the call's start: ask until it ends.
  std::thread stopper([&] {
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      rt.interrupt();
    }
  });
  Outcome r = rt.call(rt.global("spin"), {});
  done = true;
  stopper.join();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, FailureKind::Interrupted);
}

}  // namespace
}  // namespace tarnwick
