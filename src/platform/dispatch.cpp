#include "platform/dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <new>
#include <queue>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/log.h"

namespace mvsdk::platform {
namespace {

using Clock = std::chrono::steady_clock;

// The worker state of the queue whose worker is the current thread (nullptr elsewhere).
thread_local const void* tls_current_queue = nullptr;

void run_task(const Task& task, const std::string& label) noexcept {
  try {
    task();
  } catch (const std::exception& e) {
    if (log_enabled(Level::kError))
      log_line(Level::kError, "dispatch: task on \"" + label + "\" threw and was dropped: " + e.what());
  } catch (...) {
    if (log_enabled(Level::kError))
      log_line(Level::kError, "dispatch: task on \"" + label + "\" threw and was dropped");
  }
}

// Linux thread names are at most 15 characters; the tail of a label is usually the telling part
// ("MVSoundLibrary.queue" -> "ibrary.queue" would lose it), so keep the head.
void name_this_thread(const std::string& label) {
  std::string name = label.substr(0, 15);
  pthread_setname_np(pthread_self(), name.c_str());
}

// ---------------------------------------------------------------------------------------------
// Registry of live queues. after() and TaskGroup::notify() hold a queue reference until later;
// for the kit's own queues they check here that the queue still exists before posting, so a
// queue destroyed in the meantime loses the task (with a log line) instead of being used after
// it was freed. Queues implemented elsewhere are not registered and are trusted to outlive the
// delay. Leaked on purpose: the timer thread uses it during process exit.
struct Registry {
  std::mutex mutex;
  std::unordered_map<const Queue*, std::uint64_t> live;
  std::uint64_t next_serial = 1;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

std::uint64_t register_queue(const Queue* q) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const std::uint64_t serial = r.next_serial++;
  r.live[q] = serial;
  return serial;
}

void unregister_queue(const Queue* q) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.live.erase(q);
}

// A queue reference that can tell whether the kit's queue it names still exists.
struct QueueRef {
  Queue* queue = nullptr;
  std::uint64_t serial = 0;  // 0: not one of the kit's queues
};

QueueRef make_ref(Queue& q) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.live.find(&q);
  return QueueRef{&q, it == r.live.end() ? 0 : it->second};
}

void post(const QueueRef& ref, Task task) {
  if (ref.serial == 0) {
    ref.queue->async(std::move(task));
    return;
  }
  Registry& r = registry();
  std::unique_lock<std::mutex> lock(r.mutex);
  auto it = r.live.find(ref.queue);
  if (it == r.live.end() || it->second != ref.serial) {
    lock.unlock();
    log_line(Level::kError, "dispatch: delayed task dropped, its queue no longer exists");
    return;  // task (and its captures) released here, outside the lock
  }
  // Posting under the registry lock keeps the queue from being destroyed meanwhile (its
  // destructor unregisters first). async only queues the task, it never calls back here.
  ref.queue->async(std::move(task));
}

// ---------------------------------------------------------------------------------------------
// Worker state shared by the queue object and its threads. The threads hold it through a
// shared_ptr so a queue destroyed from its own worker can detach that worker safely.
struct WorkerState {
  explicit WorkerState(std::string l) : label(std::move(l)) {}

  const std::string label;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Task> tasks;
  int running = 0;        // tasks being run right now
  bool stopping = false;  // the queue was destroyed: drain, then exit
  bool closed = false;    // process exit: start nothing more

  void push(Task task) {
    if (!task) return;
    std::lock_guard<std::mutex> lock(mutex);
    try {
      tasks.push_back(std::move(task));
    } catch (const std::bad_alloc&) {
      if (log_enabled(Level::kError))
        log_line(Level::kError, "dispatch: out of memory, task for \"" + label + "\" dropped");
      return;
    }
    cv.notify_one();
  }

  // Runs on each worker thread until the queue is stopped and drained, or closed.
  static void work(const std::shared_ptr<WorkerState>& self) {
    tls_current_queue = self.get();
    name_this_thread(self->label);
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(self->mutex);
        self->cv.wait(lock, [&] { return self->closed || self->stopping || !self->tasks.empty(); });
        if (self->closed || self->tasks.empty()) return;  // closed, or stopping and drained
        task = std::move(self->tasks.front());
        self->tasks.pop_front();
        ++self->running;
      }
      run_task(task, self->label);
      task = nullptr;  // captures die before the next task starts
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        --self->running;
      }
      self->cv.notify_all();
    }
  }

  // At process exit: start nothing more (pending tasks stay queued and are never destroyed, so
  // none of their captures runs a destructor against half-destroyed statics), and give a task
  // that is running now a bounded time to finish. Not waiting when called from a worker.
  void close(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> lock(mutex);
    closed = true;
    cv.notify_all();
    if (tls_current_queue == this) return;
    cv.wait_for(lock, grace, [&] { return running == 0; });
  }
};

// Sends the queue's worker(s) off: already-queued tasks still run. From one of the workers
// themselves the threads are detached (joining would wait for the caller); they end on their
// own after draining and keep the shared state alive until then.
void shut_down(const std::shared_ptr<WorkerState>& state, std::vector<std::thread>& threads) {
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->stopping = true;
  }
  state->cv.notify_all();
  const bool from_worker = tls_current_queue == state.get();
  for (auto& t : threads) {
    if (!t.joinable()) continue;
    if (from_worker)
      t.detach();
    else
      t.join();
  }
}

// Posts a wrapper and waits until it has run. The wrapper's completion flag is set when the
// wrapper is destroyed, so the caller is also released if the task is dropped unrun.
void sync_via(WorkerState& state, Task task) {
  if (!task) return;
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  struct Signal {
    std::shared_ptr<Done> d;
    ~Signal() {
      std::lock_guard<std::mutex> lock(d->mutex);
      d->done = true;
      d->cv.notify_all();
    }
  };
  auto signal = std::make_shared<Signal>();
  signal->d = done;
  state.push([task = std::move(task), signal = std::move(signal)]() mutable {
    auto keep = std::move(signal);  // released (and the caller woken) only after the task ran
    task();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  done->cv.wait(lock, [&] { return done->done; });
}

// Set only while main_queue() or background_queue() builds its queue on this thread: the
// constructor hands its worker state out through it, for the exit handler.
thread_local std::shared_ptr<WorkerState>* tls_capture_state = nullptr;

// A process-wide queue is never destroyed, so its workers are never joined: they are detached
// and their state handed to the exit handler.
void adopt_as_process_queue(const std::shared_ptr<WorkerState>& state, std::vector<std::thread>& threads) {
  if (tls_capture_state == nullptr) return;
  *tls_capture_state = state;
  for (auto& t : threads) t.detach();
}

// ---------------------------------------------------------------------------------------------
// The process-wide timer: one thread, deadlines on the steady clock, earliest first.
class Timer {
 public:
  static Timer& instance() {
    static Timer* t = new Timer();  // leaked: lives for the process
    return *t;
  }

  void schedule(Clock::time_point when, QueueRef target, Task task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push(Entry{when, next_seq_++, target, std::make_shared<Task>(std::move(task))});
    }
    cv_.notify_one();
  }

 private:
  struct Entry {
    Clock::time_point when;
    std::uint64_t seq;  // equal deadlines fire in the order they were scheduled
    QueueRef target;
    std::shared_ptr<Task> task;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.when != b.when ? a.when > b.when : a.seq > b.seq;
    }
  };

  Timer() : thread_([this] { run(); }) { thread_.detach(); }

  void run() {
    name_this_thread("mvsdk.timer");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (entries_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const Clock::time_point when = entries_.top().when;
      if (Clock::now() < when) {
        // May wake early (spuriously or for a new entry): the loop checks the clock again.
        cv_.wait_until(lock, when);
        continue;
      }
      Entry e = entries_.top();
      entries_.pop();
      lock.unlock();
      try {
        post(e.target, std::move(*e.task));
      } catch (...) {
        // A foreign queue's async threw: the task is lost, the timer keeps running.
        log_line(Level::kError, "dispatch: posting a delayed task failed, task dropped");
      }
      e.task.reset();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
  std::uint64_t next_seq_ = 0;
  std::thread thread_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
struct SerialQueue::Impl {
  std::shared_ptr<WorkerState> state;
  std::vector<std::thread> threads;
};

SerialQueue::SerialQueue(std::string label) : impl_(std::make_unique<Impl>()) {
  impl_->state = std::make_shared<WorkerState>(std::move(label));
  impl_->threads.emplace_back([s = impl_->state] { WorkerState::work(s); });
  adopt_as_process_queue(impl_->state, impl_->threads);
  register_queue(this);
}

SerialQueue::~SerialQueue() {
  unregister_queue(this);
  shut_down(impl_->state, impl_->threads);
}

void SerialQueue::async(Task task) { impl_->state->push(std::move(task)); }

void SerialQueue::sync(Task task) {
  if (!task) return;
  if (is_current()) {
    run_task(task, impl_->state->label);
    return;
  }
  sync_via(*impl_->state, std::move(task));
}

bool SerialQueue::is_current() const { return tls_current_queue == impl_->state.get(); }

const std::string& SerialQueue::label() const { return impl_->state->label; }

// ---------------------------------------------------------------------------------------------
struct ConcurrentQueue::Impl {
  std::shared_ptr<WorkerState> state;
  std::vector<std::thread> threads;
};

ConcurrentQueue::ConcurrentQueue(std::string label, int n_workers) : impl_(std::make_unique<Impl>()) {
  impl_->state = std::make_shared<WorkerState>(std::move(label));
  const int n = std::max(1, n_workers);
  for (int i = 0; i < n; ++i) impl_->threads.emplace_back([s = impl_->state] { WorkerState::work(s); });
  adopt_as_process_queue(impl_->state, impl_->threads);
  register_queue(this);
}

ConcurrentQueue::~ConcurrentQueue() {
  unregister_queue(this);
  shut_down(impl_->state, impl_->threads);
}

void ConcurrentQueue::async(Task task) { impl_->state->push(std::move(task)); }

void ConcurrentQueue::sync(Task task) {
  if (!task) return;
  // From one of its own workers the task runs inline: waiting for another worker could deadlock
  // when every worker does the same.
  if (is_current()) {
    run_task(task, impl_->state->label);
    return;
  }
  sync_via(*impl_->state, std::move(task));
}

bool ConcurrentQueue::is_current() const { return tls_current_queue == impl_->state.get(); }

const std::string& ConcurrentQueue::label() const { return impl_->state->label; }

// ---------------------------------------------------------------------------------------------
namespace {

// The process-wide queues are never destroyed: tasks may still be posted to them during static
// destruction. At exit they are closed (see WorkerState::close) so no task starts while the
// process tears itself down; a running task gets a short grace period.
constexpr std::chrono::milliseconds kExitGrace{2000};

std::mutex g_exit_mutex;  // constant-initialised: usable from the exit handler
std::vector<std::shared_ptr<WorkerState>>* g_process_states = nullptr;

void close_process_queues() {
  std::vector<std::shared_ptr<WorkerState>> states;
  {
    std::lock_guard<std::mutex> lock(g_exit_mutex);
    if (g_process_states) states = *g_process_states;
  }
  for (auto& s : states) s->close(kExitGrace);
}

// Builds a process-wide queue, keeps its worker state for the exit handler.
template <class Q, class... Args>
Q* make_process_queue(Args&&... args) {
  std::shared_ptr<WorkerState> state;
  tls_capture_state = &state;
  auto* queue = new Q(std::forward<Args>(args)...);
  tls_capture_state = nullptr;
  std::lock_guard<std::mutex> lock(g_exit_mutex);
  if (!g_process_states) {
    g_process_states = new std::vector<std::shared_ptr<WorkerState>>();
    std::atexit(close_process_queues);
  }
  g_process_states->push_back(std::move(state));
  return queue;
}

}  // namespace

SerialQueue& main_queue() {
  static SerialQueue* q = make_process_queue<SerialQueue>("main");
  return *q;
}

ConcurrentQueue& background_queue() {
  // A few workers: background tasks include polls that sleep between checks.
  static ConcurrentQueue* q = make_process_queue<ConcurrentQueue>("background", 4);
  return *q;
}

void after(std::chrono::milliseconds delay, Queue& queue, Task task) {
  if (!task) return;
  // Deadline taken now, on the steady clock; a negative delay means "as soon as possible".
  const Clock::time_point when = Clock::now() + std::max(delay, std::chrono::milliseconds(0));
  Timer::instance().schedule(when, make_ref(queue), std::move(task));
}

// ---------------------------------------------------------------------------------------------
struct TaskGroup::Impl {
  std::mutex mutex;
  std::condition_variable cv;
  long count = 0;
  std::vector<std::pair<QueueRef, Task>> notices;

  void leave() {
    std::vector<std::pair<QueueRef, Task>> ready;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (count <= 0) {
        // An unbalanced leave would make later notices fire while work is still running.
        log_line(Level::kError, "dispatch: TaskGroup::leave without a matching enter ignored");
        return;
      }
      if (--count > 0) return;
      ready.swap(notices);
      cv.notify_all();
    }
    for (auto& [ref, task] : ready) post(ref, std::move(task));
  }
};

TaskGroup::TaskGroup() : impl_(std::make_shared<Impl>()) {}
TaskGroup::~TaskGroup() = default;

void TaskGroup::enter() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  ++impl_->count;
}

void TaskGroup::leave() {
  auto keep = impl_;  // a waiter released by this leave may destroy the group meanwhile
  keep->leave();
}

void TaskGroup::async(Queue& queue, Task task) {
  if (!task) return;
  enter();
  // The guard leaves the group when it is destroyed: right after the task ran (even if it
  // threw), or when a queue drops the task unrun. It holds the group's state, not this object,
  // so a TaskGroup may be destroyed while its tasks are still queued.
  struct Leave {
    std::shared_ptr<Impl> impl;
    ~Leave() { impl->leave(); }
  };
  auto guard = std::make_shared<Leave>();
  guard->impl = impl_;
  queue.async([guard = std::move(guard), task = std::move(task)]() mutable {
    auto leave_after = std::move(guard);
    task();
  });
}

void TaskGroup::notify(Queue& queue, Task task) {
  if (!task) return;
  QueueRef ref = make_ref(queue);
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->count > 0) {
      impl_->notices.emplace_back(ref, std::move(task));
      return;
    }
  }
  post(ref, std::move(task));
}

bool TaskGroup::wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->cv.wait_for(lock, timeout, [&] { return impl_->count == 0; });
}

// ---------------------------------------------------------------------------------------------
Semaphore::Semaphore(long initial) : count_(initial) {}

// Notifies under the lock: a waiter that wakes may destroy the semaphore as soon as it returns,
// so signal() must not touch it after the waiter can see the new count.
void Semaphore::signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  cv_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return count_ > 0; });
  --count_;
}

bool Semaphore::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [&] { return count_ > 0; })) return false;
  --count_;
  return true;
}

}  // namespace mvsdk::platform
