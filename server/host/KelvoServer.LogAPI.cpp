#include "KelvoServer.LogAPI.h"

TLogAPI::TLogAPI(TLogEndpointSinkFactory worker_sinks, TLogWriterSettings settings)
    : FWorkerSinks(std::move(worker_sinks)), FSettings(settings) {}

TLogAPI::~TLogAPI() { Shutdown(); }

TLogAPI::TWorker* TLogAPI::Worker() {
  if (auto* worker = FWorker.load(std::memory_order_acquire)) return worker;
  std::lock_guard<std::mutex> lock(FLock);
  if (FShutdown) return nullptr;
  if (!FWorkerOwner) {
    FWorkerOwner = std::make_unique<TWorker>(FWorkerSinks, FSettings);
    FWorker.store(FWorkerOwner.get(), std::memory_order_release);
  }
  return FWorkerOwner.get();
}

void TLogAPI::Log(TLogEndpoint data) {
  if (auto* worker = Worker()) worker->Post(std::move(data));
}

void TLogAPI::Shutdown() {
  std::lock_guard<std::mutex> lock(FLock);
  FShutdown = true;
  // The worker object stays until this API goes, so a request thread that still holds its
  // pointer posts into a stopped queue (refused) rather than into freed memory.
  if (FWorkerOwner) FWorkerOwner->Stop();
}

bool TLogAPI::GetFlushing() const {
  const auto* worker = FWorker.load(std::memory_order_acquire);
  return worker && worker->GetFlushing();
}

uint64_t TLogAPI::GetDroppedRows() const {
  const auto* worker = FWorker.load(std::memory_order_acquire);
  return worker ? worker->GetDroppedRows() : 0;
}
