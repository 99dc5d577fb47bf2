#include "KelvoServer.MEAPThreadPool.h"

#include <memory>
#include <mutex>

namespace {

std::mutex GPoolLock;
std::shared_ptr<TKelvoTaskPool> GPool;

std::shared_ptr<TKelvoTaskPool> CurrentPool() {
  std::lock_guard<std::mutex> lock(GPoolLock);
  return GPool;
}

}  // namespace

void TMEAPThreadPool::CreateThreadPool() {
  std::lock_guard<std::mutex> lock(GPoolLock);
  if (!GPool) GPool = std::make_shared<TKelvoTaskPool>();
}

void TMEAPThreadPool::ReleaseThreadPool() {
  std::shared_ptr<TKelvoTaskPool> pool;
  {
    std::lock_guard<std::mutex> lock(GPoolLock);
    pool.swap(GPool);
  }
  // Outside the lock: waiting for running items must not block callers of the other operations.
  if (pool) pool->Shutdown();
}

TKelvoTaskRef TMEAPThreadPool::QueueWorkItem(std::function<void()> callback) {
  auto pool = CurrentPool();
  return pool ? pool->QueueWorkItem(std::move(callback)) : nullptr;
}

int TMEAPThreadPool::GetCounter() {
  auto pool = CurrentPool();
  return pool ? pool->GetCounter() : 0;
}

void TMEAPThreadPool::CancelTask(const TKelvoTaskRef& task) {
  if (auto pool = CurrentPool()) pool->CancelTask(task);
}

void TMEAPThreadPool::CleanTaskList() {
  if (auto pool = CurrentPool()) pool->CleanTaskList();
}
