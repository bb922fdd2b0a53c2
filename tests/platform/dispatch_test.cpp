#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "support/log_capture.h"

namespace mvsdk::platform {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;

// Long enough for a loaded machine, short enough that a deadlock fails instead of hanging.
constexpr auto kWait = 10s;

TEST(SerialQueue, SyncWaitsThrowingTasksAreDroppedAndDestructionDrains) {
  LogCapture log;
  std::atomic<int> count{0};
  {
    SerialQueue q("test.throw");
    q.async([&] {
      std::this_thread::sleep_for(20ms);
      ++count;
    });
    q.async([] { throw std::runtime_error("boom"); });
    std::thread::id ran_on;
    q.sync([&] {
      EXPECT_EQ(count.load(), 1);  // FIFO: the earlier task has finished
      EXPECT_TRUE(q.is_current());
      ran_on = std::this_thread::get_id();
      q.sync([&] { ++count; });  // sync from the worker itself runs inline
    });
    EXPECT_NE(ran_on, std::this_thread::get_id());
    EXPECT_FALSE(q.is_current());
    for (int i = 0; i < 100; ++i) q.async([&] { ++count; });
  }
  EXPECT_EQ(count.load(), 102);  // the destructor ran the queued tasks before joining
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("boom"), std::string::npos);
  EXPECT_NE(lines[0].find("test.throw"), std::string::npos);
}

TEST(SerialQueue, DestroyedFromOwnWorkerDoesNotDeadlock) {
  auto* q = new SerialQueue("test.selfdestroy");
  std::promise<void> later;
  Semaphore both_queued;
  q->async([q, &both_queued] {
    if (both_queued.wait_for(kWait)) delete q;
  });
  q->async([&later] { later.set_value(); });  // queued behind the delete: still runs
  both_queued.signal();
  EXPECT_EQ(later.get_future().wait_for(kWait), std::future_status::ready);
}

TEST(After, NeverEarlyAndDroppedForADestroyedQueue) {
  LogCapture log;
  std::atomic<bool> ran{false};
  {
    SerialQueue gone("test.gone");
    after(30ms, gone, [&] { ran = true; });
  }
  SerialQueue q("test.after");
  std::vector<std::pair<int, std::chrono::steady_clock::duration>> fired;  // touched only on q
  Semaphore all;
  // Scheduled out of order; each fires no earlier than its own delay after it was posted.
  const int delays[] = {60, 0, 30, 10, 45, 5, -5};
  for (int d : delays) {
    const auto posted = std::chrono::steady_clock::now();
    after(std::chrono::milliseconds(d), q, [&, d, posted] {
      fired.emplace_back(d, std::chrono::steady_clock::now() - posted);
      all.signal();
    });
  }
  for (size_t i = 0; i < std::size(delays); ++i) ASSERT_TRUE(all.wait_for(kWait)) << i;
  q.sync([] {});
  ASSERT_EQ(fired.size(), std::size(delays));
  for (auto [d, elapsed] : fired) EXPECT_GE(elapsed, std::chrono::milliseconds(d)) << d;
  // The 60 ms entry has fired, so the 30 ms one for the destroyed queue was handled.
  EXPECT_FALSE(ran.load());
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("dropped"), std::string::npos);
}

// Tasks of a group run on a concurrent queue; a sync from one of its workers runs inline.
TEST(TaskGroup, NoticeComesAfterLastTaskAndThrowingTasksLeave) {
  LogCapture log;
  ConcurrentQueue q("test.group", 3);
  TaskGroup group;
  std::atomic<int> completed{0};
  for (int i = 0; i < 12; ++i) {
    group.async(q, [&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
      ++completed;
      if (i == 5) throw std::runtime_error("bad task");
    });
  }
  group.enter();  // manually entered work holds the notice back too
  std::promise<int> seen_at_notice;
  auto f = seen_at_notice.get_future();
  group.notify(main_queue(), [&] { seen_at_notice.set_value(completed.load()); });
  EXPECT_FALSE(group.wait(20ms));
  EXPECT_NE(f.wait_for(0ms), std::future_status::ready);
  group.leave();
  ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(f.get(), 12);
  // An empty group notifies and waits at once; an unbalanced leave is logged and ignored.
  std::promise<void> immediate;
  group.notify(main_queue(), [&] { immediate.set_value(); });
  EXPECT_EQ(immediate.get_future().wait_for(kWait), std::future_status::ready);
  group.leave();
  EXPECT_TRUE(group.wait(0ms));
  bool inline_on_worker = false;
  q.sync([&] { q.sync([&] { inline_on_worker = q.is_current(); }); });  // nested sync: no deadlock
  EXPECT_TRUE(inline_on_worker);
}

TEST(Semaphore, TimedWaitCountingAndOnce) {
  Semaphore s, two(2);
  EXPECT_FALSE(s.wait_for(20ms));
  EXPECT_EQ((std::vector{two.wait_for(0ms), two.wait_for(0ms), two.wait_for(0ms)}), (std::vector{true, true, false}));
  std::thread t([&] { s.signal(); });
  EXPECT_TRUE(s.wait_for(kWait));
  t.join();
  s.signal();
  s.wait();  // a signal given before the wait is kept
  OnceFlag flag;
  std::atomic<int> calls{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i) ts.emplace_back([&] { once(flag, [&] { ++calls; }); });
  for (auto& th : ts) th.join();
  EXPECT_EQ(calls.load(), 1);
}

// Exit with a main queue task running, many queued behind it, background work and a timer entry
// far ahead: clean, and no task runs once the statics are being destroyed.
TEST(ProcessExit, WithTasksPendingIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct Alive {
          std::atomic<bool> yes{true};
          ~Alive() {
            yes = false;
            std::this_thread::sleep_for(20ms);  // a slow teardown widens the window of a late task
          }
        };
        static Alive statics_in_use;
        Semaphore running;
        main_queue().async([&running] {
          running.signal();
          for (int i = 0; i < 50 && statics_in_use.yes; ++i) std::this_thread::sleep_for(1ms);
          if (!statics_in_use.yes) std::abort();
        });
        for (int i = 0; i < 1000; ++i) {
          main_queue().async([] {
            if (!statics_in_use.yes) std::abort();
            log_line(Level::kInfo, "queued task ran");
          });
        }
        for (int i = 0; i < 8; ++i) background_queue().async([] { std::this_thread::sleep_for(20ms); });
        after(10s, main_queue(), [] { std::abort(); });
        std::exit(running.wait_for(kWait) ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace mvsdk::platform
