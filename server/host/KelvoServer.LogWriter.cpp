#include "KelvoServer.LogWriter.h"

#include <memory>
#include <shared_mutex>

#include "KelvoServer.MEAPThreadPool.h"

namespace {

// Posting takes the lock shared, so request threads never wait for each other here; shut-down
// takes it exclusively, so no request thread can still be inside the API it releases.
std::shared_mutex& WriterLock() {
  static std::shared_mutex lock;
  return lock;
}

std::unique_ptr<TLogAPI>& WriterAPI() {
  static std::unique_ptr<TLogAPI> api;
  return api;
}

}  // namespace

void TKelvoLogWriter::Startup(TLogEndpointSinkFactory worker_sinks, TLogWriterSettings settings) {
  std::unique_lock<std::shared_mutex> lock(WriterLock());
  if (WriterAPI()) return;
  WriterAPI() = std::make_unique<TLogAPI>(std::move(worker_sinks), settings);
}

void TKelvoLogWriter::Shutdown() {
  std::unique_ptr<TLogAPI> api;
  {
    std::unique_lock<std::shared_mutex> lock(WriterLock());
    api = std::move(WriterAPI());
  }
  if (api) api->Shutdown();
}

void TKelvoLogWriter::Log(TLogEndpoint data) {
  try {
    std::shared_lock<std::shared_mutex> lock(WriterLock());
    if (auto& api = WriterAPI()) api->Log(std::move(data));
  } catch (const std::exception&) {
    // Out of memory or a thread that cannot start: analytics never fail the request.
  }
}

bool TKelvoLogWriter::GetStarted() {
  std::shared_lock<std::shared_mutex> lock(WriterLock());
  return WriterAPI() != nullptr;
}

bool TKelvoLogWriter::GetFlushing() {
  std::shared_lock<std::shared_mutex> lock(WriterLock());
  return WriterAPI() && WriterAPI()->GetFlushing();
}

void KelvoLoggingShutdown() {
  TMEAPThreadPool::ReleaseThreadPool();
  TKelvoLogWriter::Shutdown();
}
