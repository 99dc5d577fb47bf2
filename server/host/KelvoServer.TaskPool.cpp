#include "KelvoServer.TaskPool.h"

#include <algorithm>
#include <exception>

#include <rapidjson/document.h>

#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.Services.h"

namespace {

// A work item's failure is discarded, but not without a trace in the diagnostic log.
void LogFailedItem(const std::exception& e) {
  if (!KelvoLoggingEnabled()) return;
  rapidjson::Document record;
  record.SetObject();
  auto& a = record.GetAllocator();
  record.AddMember("Type", "Other", a);
  record.AddMember("Exception", rapidjson::Value(ExceptionClassName(e), a), a);
  record.AddMember("Message", rapidjson::Value(e.what(), a), a);
  KelvoLog("Error", record);
}

}  // namespace

bool TKelvoTask::IsFinished() const {
  const auto status = FStatus.load();
  return status == TKelvoTaskStatus::Completed || status == TKelvoTaskStatus::Canceled ||
         status == TKelvoTaskStatus::Exception;
}

TKelvoTaskPool::TKelvoTaskPool(unsigned threads)
    : FThreadCount(threads != 0 ? threads : std::max(2u, std::thread::hardware_concurrency())) {}

TKelvoTaskPool::~TKelvoTaskPool() { Shutdown(); }

TKelvoTaskRef TKelvoTaskPool::QueueWorkItem(std::function<void()> callback) {
  TKelvoTaskRef task(new TKelvoTask(std::move(callback)));
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (FStopping) return nullptr;
    // Another thread only when every existing one may be busy with an unfinished item.
    if (FThreads.size() < FThreadCount && static_cast<size_t>(FCounter.load()) >= FThreads.size()) {
      FThreads.emplace_back([this] { Run(); });
    }
    ++FCounter;
    FQueue.push_back(task);
    FTasks.push_back(task);
  }
  FWork.notify_one();
  return task;
}

void TKelvoTaskPool::Run() {
  for (;;) {
    TKelvoTaskRef task;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FWork.wait(lock, [this] { return FStopping || !FQueue.empty(); });
      if (FQueue.empty()) return;  // stopping
      task = std::move(FQueue.front());
      FQueue.pop_front();
    }
    auto expected = TKelvoTaskStatus::WaitingToRun;
    if (!task->FStatus.compare_exchange_strong(expected, TKelvoTaskStatus::Running)) {
      continue;  // cancelled while queued; the counter was settled by the cancel
    }
    try {
      task->FBody();
      task->FStatus = TKelvoTaskStatus::Completed;
    } catch (const std::exception& e) {
      task->FStatus = TKelvoTaskStatus::Exception;
      LogFailedItem(e);
    } catch (...) {
      task->FStatus = TKelvoTaskStatus::Exception;
    }
    task->FBody = nullptr;  // release what the callback captured
    --FCounter;
  }
}

void TKelvoTaskPool::CancelTask(const TKelvoTaskRef& task) {
  if (!task) return;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FTasks.erase(std::remove(FTasks.begin(), FTasks.end(), task), FTasks.end());
  }
  auto expected = TKelvoTaskStatus::WaitingToRun;
  if (task->FStatus.compare_exchange_strong(expected, TKelvoTaskStatus::Canceled)) --FCounter;
}

void TKelvoTaskPool::CleanTaskList() {
  std::lock_guard<std::mutex> lock(FLock);
  FTasks.erase(std::remove_if(FTasks.begin(), FTasks.end(),
                              [](const TKelvoTaskRef& t) { return t->IsFinished(); }),
               FTasks.end());
}

size_t TKelvoTaskPool::GetTaskCount() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FTasks.size();
}

void TKelvoTaskPool::Shutdown() {
  std::vector<std::thread> threads;
  std::deque<TKelvoTaskRef> queued;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStopping = true;
    threads.swap(FThreads);
    queued.swap(FQueue);
    FTasks.clear();
  }
  FWork.notify_all();
  for (auto& task : queued) {
    auto expected = TKelvoTaskStatus::WaitingToRun;
    if (task->FStatus.compare_exchange_strong(expected, TKelvoTaskStatus::Canceled)) --FCounter;
  }
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}
