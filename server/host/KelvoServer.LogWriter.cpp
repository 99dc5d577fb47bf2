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

struct TWriterState {
  std::unique_ptr<TConnectionObject> FConnObj;
  std::unique_ptr<TLogAPI> FLogAPI;
};

TWriterState& Writer() {
  static TWriterState state;
  return state;
}

}  // namespace

void TKelvoLogWriter::Startup() {
  TMEAPThreadPool::CreateThreadPool();
  std::unique_lock<std::shared_mutex> lock(WriterLock());
  auto& writer = Writer();
  if (writer.FLogAPI) return;
  auto conn = TServerAPIHelpers::CreateConnection();
  writer.FLogAPI = std::make_unique<TLogAPI>(conn.get());
  writer.FConnObj = std::move(conn);
}

void TKelvoLogWriter::Startup(TLogEndpointSinkFactory worker_sinks, TLogWriterSettings settings) {
  std::unique_lock<std::shared_mutex> lock(WriterLock());
  auto& writer = Writer();
  if (writer.FLogAPI) return;
  writer.FLogAPI = std::make_unique<TLogAPI>(nullptr, std::move(worker_sinks), settings);
}

void TKelvoLogWriter::Shutdown() {
  TWriterState released;
  {
    std::unique_lock<std::shared_mutex> lock(WriterLock());
    std::swap(released, Writer());
  }
  // The API (and with it the worker, which writes its rows first) goes before its connection.
  if (released.FLogAPI) released.FLogAPI->Shutdown();
  released.FLogAPI.reset();
  released.FConnObj.reset();
}

void TKelvoLogWriter::Log(TLogEndpoint AData) {
  try {
    std::shared_lock<std::shared_mutex> lock(WriterLock());
    if (auto& api = Writer().FLogAPI) api->Log(std::move(AData), true);
  } catch (const std::exception&) {
    // Out of memory or a thread that cannot start: analytics never fail the request.
  }
}

bool TKelvoLogWriter::GetStarted() {
  std::shared_lock<std::shared_mutex> lock(WriterLock());
  return Writer().FLogAPI != nullptr;
}

bool TKelvoLogWriter::GetFlushing() {
  std::shared_lock<std::shared_mutex> lock(WriterLock());
  return Writer().FLogAPI && Writer().FLogAPI->GetFlushing();
}

void KelvoLoggingShutdown() {
  TMEAPThreadPool::ReleaseThreadPool();
  TKelvoLogWriter::Shutdown();
}

void TServerAPIHelpers::LogEndpoint(TConnectionObject* /*AConnection*/, const std::string& AResource,
                                    const std::string& AEndpointName, const std::string& AMethod,
                                    const std::string& AUserID, const std::string& ACustom,
                                    const std::string& ATenantId) {
  TKelvoLogWriter::Log(TLogEndpoint(AResource, AEndpointName, AMethod, AUserID,
                                    std::chrono::system_clock::now(), ACustom, ATenantId));
}
