#include "KelvoServer.LogWriter.h"

#include <memory>
#include <atomic>
#include <mutex>
#include <vector>

#include "KelvoServer.MEAPThreadPool.h"
#include "KelvoServer.WebvaneModule.h"

namespace {

// Request threads reach the API through one atomic load: no lock, no shared counter, so
// posting threads never contend here. An API that was shut down is kept (stopped; it refuses
// rows) until the module is unloaded, because a request thread may still hold its pointer.
std::atomic<TLogAPI*> GLogAPI{nullptr};

struct TWriterState {
  std::mutex FLock;  // start-up and shut-down
  std::unique_ptr<TConnectionObject> FConnObj;
  std::unique_ptr<TLogAPI> FLogAPI;
  std::vector<std::unique_ptr<TLogAPI>> FRetired;
};

TWriterState& Writer() {
  static TWriterState state;
  return state;
}

void Start(std::unique_ptr<TConnectionObject> conn, std::unique_ptr<TLogAPI> api) {
  // The request pipeline records each handled request through this hook. It stays installed
  // after shut-down (posting then does nothing), so no request can race its removal.
  KelvoRequestServices().LogEndpoint = [](const std::string& resource, const std::string& endpoint,
                                          const std::string& method, const std::string& user_id,
                                          const std::string& custom, const std::string& tenant_id) {
    TServerAPIHelpers::LogEndpoint(nullptr, resource, endpoint, method, user_id, custom, tenant_id);
  };
  auto& writer = Writer();
  writer.FConnObj = std::move(conn);
  writer.FLogAPI = std::move(api);
  GLogAPI.store(writer.FLogAPI.get(), std::memory_order_release);
}

}  // namespace

void TKelvoLogWriter::Startup() {
  TMEAPThreadPool::CreateThreadPool();
  auto& writer = Writer();
  std::lock_guard<std::mutex> lock(writer.FLock);
  if (writer.FLogAPI) return;
  auto conn = TServerAPIHelpers::CreateConnection();
  auto api = std::make_unique<TLogAPI>(conn.get());
  Start(std::move(conn), std::move(api));
}

void TKelvoLogWriter::Startup(TLogEndpointSinkFactory worker_sinks, TLogWriterSettings settings) {
  auto& writer = Writer();
  std::lock_guard<std::mutex> lock(writer.FLock);
  if (writer.FLogAPI) return;
  Start(nullptr, std::make_unique<TLogAPI>(nullptr, std::move(worker_sinks), settings));
}

void TKelvoLogWriter::Shutdown() {
  auto& writer = Writer();
  std::lock_guard<std::mutex> lock(writer.FLock);
  if (!writer.FLogAPI) return;
  GLogAPI.store(nullptr, std::memory_order_release);
  // The worker writes every row it has taken before it ends; rows offered from now on are
  // refused by the stopped API.
  writer.FLogAPI->Shutdown();
  writer.FLogAPI->ReleaseConnection();
  writer.FConnObj.reset();  // before the database pools are closed
  writer.FRetired.push_back(std::move(writer.FLogAPI));
}

void TKelvoLogWriter::Log(TLogEndpoint AData) {
  try {
    if (auto* api = GLogAPI.load(std::memory_order_acquire)) api->Log(std::move(AData), true);
  } catch (const std::exception&) {
    // Out of memory or a thread that cannot start: analytics never fail the request.
  }
}

bool TKelvoLogWriter::GetStarted() { return GLogAPI.load(std::memory_order_acquire) != nullptr; }

uint64_t TKelvoLogWriter::GetDroppedRows() {
  auto* api = GLogAPI.load(std::memory_order_acquire);
  return api ? api->GetDroppedRows() : 0;
}

bool TKelvoLogWriter::GetFlushing() {
  auto* api = GLogAPI.load(std::memory_order_acquire);
  return api && api->GetFlushing();
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
