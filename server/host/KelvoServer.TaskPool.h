// A small pool of std::threads that runs queued work items, with a handle per item and a count
// of items not yet finished. Threads start with the first item, so an unused pool costs nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

enum class TKelvoTaskStatus { WaitingToRun, Running, Completed, Canceled, Exception };

/// Handle of one queued work item.
class TKelvoTask {
 public:
  TKelvoTaskStatus GetStatus() const { return FStatus.load(); }
  /// True once the item has completed, failed or been cancelled.
  bool IsFinished() const;

 private:
  friend class TKelvoTaskPool;
  explicit TKelvoTask(std::function<void()> body) : FBody(std::move(body)) {}
  std::function<void()> FBody;
  std::atomic<TKelvoTaskStatus> FStatus{TKelvoTaskStatus::WaitingToRun};
};

using TKelvoTaskRef = std::shared_ptr<TKelvoTask>;

class TKelvoTaskPool {
 public:
  /// `threads` 0: one per hardware thread, at least 2.
  explicit TKelvoTaskPool(unsigned threads = 0);
  /// Cancels items not yet started and waits for running ones.
  ~TKelvoTaskPool();
  TKelvoTaskPool(const TKelvoTaskPool&) = delete;
  TKelvoTaskPool& operator=(const TKelvoTaskPool&) = delete;

  /// Queues `callback`; its exceptions are caught, written to the diagnostic log as an Error
  /// record and otherwise discarded. Returns null once `Shutdown` has begun.
  TKelvoTaskRef QueueWorkItem(std::function<void()> callback);
  /// Items queued and not yet finished.
  int GetCounter() const { return FCounter.load(); }
  /// Removes the task from the list and cancels it unless it has started or finished (a
  /// running item cannot be stopped from outside).
  void CancelTask(const TKelvoTaskRef& task);
  /// Removes every finished task from the list.
  void CleanTaskList();
  /// Number of tasks in the list.
  size_t GetTaskCount() const;
  /// Stops taking items, cancels queued ones, waits for running ones. Harmless when repeated.
  void Shutdown();

 private:
  void Run();

  const unsigned FThreadCount;
  mutable std::mutex FLock;
  std::condition_variable FWork;
  std::deque<TKelvoTaskRef> FQueue;
  std::vector<TKelvoTaskRef> FTasks;
  std::vector<std::thread> FThreads;
  bool FStopping = false;
  std::atomic<int> FCounter{0};
};
