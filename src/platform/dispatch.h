#pragma once
// Dispatch: serial queues, the process-wide main queue, a background queue, delayed posting,
// task groups, semaphores with a timed wait and one-time initialisation.
//
// Tasks never throw out of a queue: an exception escaping a task is caught and dropped (with a
// log line) so one faulty callback cannot take the worker down.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace mvsdk::platform {

using Task = std::function<void()>;

// Anything tasks can be posted to.
class Queue {
 public:
  virtual ~Queue() = default;
  // Posts a task; returns at once.
  virtual void async(Task task) = 0;
  // Runs the task on the queue and waits for it. Called from the queue's own worker thread the
  // task runs inline (instead of deadlocking).
  virtual void sync(Task task) = 0;
  // True when the calling thread is one of this queue's workers.
  virtual bool is_current() const = 0;
  virtual const std::string& label() const = 0;
};

// One worker thread, tasks run one at a time in submission order. The destructor runs the
// tasks already queued, then joins the worker.
class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue() override;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Task task) override;
  void sync(Task task) override;
  bool is_current() const override;
  const std::string& label() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Several worker threads, tasks start in submission order but may run at the same time.
class ConcurrentQueue final : public Queue {
 public:
  ConcurrentQueue(std::string label, int n_workers);
  ~ConcurrentQueue() override;
  ConcurrentQueue(const ConcurrentQueue&) = delete;
  ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

  void async(Task task) override;
  void sync(Task task) override;
  bool is_current() const override;
  const std::string& label() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The process-wide main queue: a serial queue with its own thread, started on first use. Every
// callback the kit documents as "on the main queue" runs on this thread.
SerialQueue& main_queue();
// The process-wide background queue (concurrent, a few workers).
ConcurrentQueue& background_queue();

// Posts task to queue once delay has passed (never earlier). Timing is kept by one process-wide
// timer thread.
void after(std::chrono::milliseconds delay, Queue& queue, Task task);

// Tracks a set of tasks; notify() runs a task once all entered work has left.
class TaskGroup {
 public:
  TaskGroup();
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  void enter();
  void leave();
  // enter(), post task to queue, leave() when it has run.
  void async(Queue& queue, Task task);
  // Posts task to queue when the group is empty (at once if it already is). One-shot per call.
  void notify(Queue& queue, Task task);
  // Waits until the group is empty; false if the timeout passed first.
  bool wait(std::chrono::milliseconds timeout);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// Counting semaphore.
class Semaphore {
 public:
  explicit Semaphore(long initial = 0);
  void signal();
  void wait();
  // False when the timeout passed with nothing to take ("timed out").
  bool wait_for(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long count_;
};

// One-time initialisation.
using OnceFlag = std::once_flag;
inline void once(OnceFlag& flag, const std::function<void()>& fn) { std::call_once(flag, fn); }

}  // namespace mvsdk::platform
