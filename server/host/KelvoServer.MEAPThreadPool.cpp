#include "KelvoServer.MEAPThreadPool.h"

#include <memory>
#include <mutex>

#include "KelvoServer.BaseAPI.h"

namespace {

std::mutex GPoolLock;
std::shared_ptr<TKelvoTaskPool> GPool;
// Set by a release at shut-down, so that late work items do not bring the pool back.
bool GReleased = false;

std::shared_ptr<TKelvoTaskPool> CurrentPool(bool create = false) {
  std::lock_guard<std::mutex> lock(GPoolLock);
  // The pool exists from load on; creating it on first use is the same to callers and costs
  // nothing in a server that never uses it.
  if (!GPool && create && !GReleased) GPool = std::make_shared<TKelvoTaskPool>();
  return GPool;
}

}  // namespace

void TMEAPThreadPool::CreateThreadPool() {
  std::lock_guard<std::mutex> lock(GPoolLock);
  GReleased = false;
  if (!GPool) GPool = std::make_shared<TKelvoTaskPool>();
}

void TMEAPThreadPool::ReleaseThreadPool() {
  std::shared_ptr<TKelvoTaskPool> pool;
  {
    std::lock_guard<std::mutex> lock(GPoolLock);
    pool.swap(GPool);
    GReleased = true;
  }
  // Outside the lock: waiting for running items must not block callers of the other operations.
  if (pool) pool->Shutdown();
}

TKelvoTaskRef TMEAPThreadPool::QueueWorkItem(std::function<void(TConnectionObject&)> callback) {
  auto pool = CurrentPool(true);
  if (!pool) return nullptr;
  return pool->QueueWorkItem([callback = std::move(callback)] {
    // The connection is drawn from the pool only when the item first uses it.
    auto connection = TServerAPIHelpers::CreateConnection();
    callback(*connection);
  });
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
