#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/tool_launch.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"

using namespace std::chrono_literals;
using mvsdk::platform::after;
using mvsdk::platform::background_queue;
using mvsdk::platform::ConcurrentQueue;
using mvsdk::platform::main_queue;
using mvsdk::platform::Semaphore;
using mvsdk::platform::SerialQueue;
using mvsdk::platform::TaskGroup;

using mvsdk::test::LogCapture;
using mvsdk::test::exec_argv;
using mvsdk::test::launch_argv;
using mvsdk::test::self_path;

namespace {

// Generous bound for waits: long enough for a loaded CI machine, short enough that a deadlock
// fails the test instead of hanging it.
constexpr auto kWait = 10s;

}  // namespace

TEST(SerialQueue, RunsOneAtATimeInSubmissionOrderPerSubmitter) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  SerialQueue q("test.serial");
  std::vector<std::vector<int>> seen(kThreads);  // touched only by the queue's worker
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> done{0};
  Semaphore finished;

  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        q.async([&, t, i] {
          if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
          seen[t].push_back(i);
          std::this_thread::yield();
          inside.fetch_sub(1);
          if (done.fetch_add(1) + 1 == kThreads * kPerThread) finished.signal();
        });
      }
    });
  }
  for (auto& s : submitters) s.join();
  ASSERT_TRUE(finished.wait_for(kWait)) << "ran " << done.load() << " tasks";
  EXPECT_EQ(overlaps.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "submitter " << t;
  }
}

TEST(SerialQueue, SyncWaitsForTaskAndRunsInlineOnOwnWorker) {
  SerialQueue q("test.sync");
  std::atomic<bool> slow_done{false};
  q.async([&] {
    std::this_thread::sleep_for(20ms);
    slow_done = true;
  });
  bool ran = false;
  std::thread::id ran_on;
  q.sync([&] {
    // FIFO: the earlier task has finished before this one starts.
    EXPECT_TRUE(slow_done.load());
    EXPECT_TRUE(q.is_current());
    ran_on = std::this_thread::get_id();
    ran = true;
  });
  EXPECT_TRUE(ran);
  EXPECT_NE(ran_on, std::this_thread::get_id());
  EXPECT_FALSE(q.is_current());

  // sync from the worker itself runs inline instead of deadlocking.
  auto nested = std::make_shared<std::promise<bool>>();
  auto fut = nested->get_future();
  q.async([&q, nested] {
    bool inner = false;
    q.sync([&] { inner = true; });
    nested->set_value(inner);
  });
  ASSERT_EQ(fut.wait_for(kWait), std::future_status::ready);
  EXPECT_TRUE(fut.get());
}

TEST(SerialQueue, ThrowingTaskIsDroppedWithLogLineAndQueueKeepsWorking) {
  LogCapture log;
  SerialQueue q("test.throw");
  q.async([] { throw std::runtime_error("boom"); });
  int after_value = 0;
  q.sync([&] { after_value = 7; });
  EXPECT_EQ(after_value, 7);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("boom"), std::string::npos);
  EXPECT_NE(lines[0].find("test.throw"), std::string::npos);
}

TEST(SerialQueue, DestructorRunsQueuedTasksThenJoins) {
  std::atomic<int> count{0};
  {
    SerialQueue q("test.drain");
    for (int i = 0; i < 100; ++i)
      q.async([&] {
        std::this_thread::yield();
        count.fetch_add(1);
      });
  }
  EXPECT_EQ(count.load(), 100);
}

TEST(SerialQueue, DestroyedFromOwnWorkerDoesNotDeadlock) {
  auto* q = new SerialQueue("test.selfdestroy");
  auto done = std::make_shared<std::promise<void>>();
  auto fut = done->get_future();
  std::atomic<int> later{0};
  Semaphore both_queued;
  q->async([q, &both_queued] {
    if (both_queued.wait_for(kWait)) delete q;
  });
  // Already queued behind the deleting task: still runs after the delete returns.
  q->async([&later, done] {
    later = 1;
    done->set_value();
  });
  both_queued.signal();
  ASSERT_EQ(fut.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(later.load(), 1);
}

TEST(ConcurrentQueue, RunsTasksInParallelAndSyncWaits) {
  ConcurrentQueue q("test.concurrent", 3);
  // Three tasks that each wait for the other two can only finish if they run at the same time.
  Semaphore arrived;
  Semaphore go;
  TaskGroup group;
  std::atomic<int> finished{0};
  for (int i = 0; i < 3; ++i)
    group.async(q, [&] {
      arrived.signal();
      if (go.wait_for(kWait)) finished.fetch_add(1);
    });
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(arrived.wait_for(kWait)) << "only " << i << " started";
  for (int i = 0; i < 3; ++i) go.signal();
  ASSERT_TRUE(group.wait(kWait));
  EXPECT_EQ(finished.load(), 3);

  bool ran = false;
  q.sync([&] {
    EXPECT_TRUE(q.is_current());
    q.sync([&] { ran = true; });  // nested sync on a worker runs inline
  });
  EXPECT_TRUE(ran);
}

TEST(MainQueue, RunsOnOneThreadThatIsNotTheCaller) {
  std::vector<std::thread::id> ids;  // touched only on the main queue
  TaskGroup group;
  for (int i = 0; i < 20; ++i) group.async(main_queue(), [&] { ids.push_back(std::this_thread::get_id()); });
  ASSERT_TRUE(group.wait(kWait));
  ASSERT_EQ(ids.size(), 20u);
  for (auto id : ids) EXPECT_EQ(id, ids[0]);
  EXPECT_NE(ids[0], std::this_thread::get_id());
  EXPECT_EQ(&main_queue(), &main_queue());
  EXPECT_FALSE(main_queue().is_current());
  bool current = false;
  main_queue().sync([&] { current = main_queue().is_current(); });
  EXPECT_TRUE(current);
}

TEST(BackgroundQueue, RunsTasksOffTheCaller) {
  std::promise<std::thread::id> p;
  auto f = p.get_future();
  background_queue().async([&] { p.set_value(std::this_thread::get_id()); });
  ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
  EXPECT_NE(f.get(), std::this_thread::get_id());
}

TEST(After, NeverRunsEarly) {
  SerialQueue q("test.after");
  std::vector<std::pair<int, std::chrono::steady_clock::duration>> fired;  // touched only on q
  Semaphore all;
  // Scheduled out of order; each must fire no earlier than its own delay after it was posted.
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
}

TEST(After, TaskForDestroyedQueueIsDroppedNotRun) {
  LogCapture log;
  std::atomic<bool> ran{false};
  {
    SerialQueue q("test.gone");
    after(30ms, q, [&] { ran = true; });
  }
  // A later timer entry on a live queue tells when the dropped one has been handled.
  SerialQueue probe("test.probe");
  Semaphore fired;
  after(60ms, probe, [&] { fired.signal(); });
  ASSERT_TRUE(fired.wait_for(kWait));
  EXPECT_FALSE(ran.load());
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("dropped"), std::string::npos);
}

TEST(TaskGroup, NoticeComesAfterLastTask) {
  ConcurrentQueue q("test.group", 3);
  TaskGroup group;
  std::atomic<int> completed{0};
  for (int i = 0; i < 12; ++i)
    group.async(q, [&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
      completed.fetch_add(1);
    });
  // Manually entered work holds the notice back too.
  group.enter();
  std::promise<int> seen_at_notice;
  auto f = seen_at_notice.get_future();
  group.notify(main_queue(), [&] { seen_at_notice.set_value(completed.load()); });
  std::this_thread::sleep_for(20ms);
  EXPECT_NE(f.wait_for(0ms), std::future_status::ready);
  group.leave();
  ASSERT_EQ(f.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(f.get(), 12);

  // An empty group notifies at once; a wait on it succeeds at once.
  std::promise<void> immediate;
  auto g = immediate.get_future();
  group.notify(main_queue(), [&] { immediate.set_value(); });
  EXPECT_EQ(g.wait_for(kWait), std::future_status::ready);
  EXPECT_TRUE(group.wait(0ms));
}

TEST(TaskGroup, ThrowingTaskStillLeavesAndWaitTimesOut) {
  LogCapture log;
  SerialQueue q("test.group.throw");
  TaskGroup group;
  group.async(q, [] { throw std::runtime_error("bad task"); });
  EXPECT_TRUE(group.wait(kWait));
  group.enter();
  EXPECT_FALSE(group.wait(20ms));
  group.leave();
  EXPECT_TRUE(group.wait(0ms));
  group.leave();  // unbalanced: logged and ignored, the group stays empty
  EXPECT_TRUE(group.wait(0ms));
}

TEST(Semaphore, TimedWaitAndCounting) {
  Semaphore s;
  EXPECT_FALSE(s.wait_for(20ms));
  Semaphore two(2);
  EXPECT_TRUE(two.wait_for(0ms));
  EXPECT_TRUE(two.wait_for(0ms));
  EXPECT_FALSE(two.wait_for(0ms));
  std::thread t([&] { s.signal(); });
  EXPECT_TRUE(s.wait_for(kWait));
  t.join();
  s.signal();
  s.wait();  // a signal given before the wait is kept
}

TEST(Once, RunsExactlyOnceAcrossThreads) {
  mvsdk::platform::OnceFlag flag;
  std::atomic<int> calls{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i) ts.emplace_back([&] { mvsdk::platform::once(flag, [&] { calls.fetch_add(1); }); });
  for (auto& t : ts) t.join();
  EXPECT_EQ(calls.load(), 1);
}

// Run as a separate process by ProcessExit.WithTasksPendingIsClean (the test binary re-executes
// itself with MVSDK_DISPATCH_EXIT_CHILD set); skipped in a normal run.
TEST(ProcessExitChild, ExitsWithWorkInFlight) {
  if (std::getenv("MVSDK_DISPATCH_EXIT_CHILD") == nullptr) GTEST_SKIP() << "helper for the exit test";
  // A static that says when it has been destroyed: no task may run after that.
  struct Alive {
    std::atomic<bool> yes{true};
    ~Alive() {
      yes = false;
      std::this_thread::sleep_for(20ms);  // a slow teardown widens the window a late task would hit
    }
  };
  static Alive statics_in_use;
  Semaphore running;
  // A main queue task still running at exit, many queued behind it, work on the background
  // queue and a timer entry far in the future.
  main_queue().async([&running] {
    running.signal();
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(1ms);
      if (!statics_in_use.yes) std::abort();
    }
  });
  for (int i = 0; i < 1000; ++i)
    main_queue().async([] {
      if (!statics_in_use.yes) std::abort();
      mvsdk::platform::log_line(mvsdk::platform::Level::kInfo, "queued task ran");
    });
  for (int i = 0; i < 8; ++i) background_queue().async([] { std::this_thread::sleep_for(20ms); });
  after(10s, main_queue(), [] { std::abort(); });
  ASSERT_TRUE(running.wait_for(kWait));
  std::exit(0);
}

TEST(ProcessExit, WithTasksPendingIsClean) {
  const std::string exe = self_path();
  ASSERT_FALSE(exe.empty());
  const auto argv = launch_argv(exe, {"--gtest_filter=ProcessExitChild.ExitsWithWorkInFlight"});
  pid_t pid = fork();
  if (pid == 0) {
    setenv("MVSDK_DISPATCH_EXIT_CHILD", "1", 1);
    exec_argv(argv);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the process did not exit";
    }
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
