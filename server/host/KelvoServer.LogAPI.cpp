#include "KelvoServer.LogAPI.h"

#include <ctime>

namespace {

const char* const kInsertLogSQL =
    "insert into LOG (\"RESOURCE\", \"ENDPOINT\", \"METHOD\", \"USERID\", \"ATIME\", \"CUSTOM\", "
    "\"TID\") values (:AResource, :AEndpoint, :AMethod, :AUserID, :ATime, :ACustom, :ATID)";

// Column sizes of table LOG, in characters. The method text comes from the client (Apache
// passes unknown methods through); one value longer than its column would make the engine
// refuse the whole batch, so values are cut to fit instead.
constexpr size_t kResourceLength = 255;
constexpr size_t kEndpointLength = 255;
constexpr size_t kMethodLength = 20;
constexpr size_t kUserIDLength = 255;
constexpr size_t kCustomLength = 4000;

// The first `max_chars` code points of UTF-8 text (continuation bytes are not counted).
std::string Clip(const std::string& text, size_t max_chars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == max_chars) {
      return text.substr(0, i);
    }
  }
  return text;
}

// The row's time as the server's local wall-clock time, which is what ATIME holds.
TDBTimestamp LocalTimestamp(TLogEndpoint::TTime time) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  int64_t fraction = micros % 1000000;
  if (fraction < 0) {
    fraction += 1000000;
    --seconds;
  }
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return TDBTimestamp{static_cast<int64_t>(::timegm(&local)) * 1000000 + fraction};
}

TDBParams RowParams(const TLogEndpoint& row, int32_t null_below) {
  return {
      {"AResource", TDBScalar(Clip(row.Resource, kResourceLength))},
      {"AEndpoint", TDBScalar(Clip(row.EndpointName, kEndpointLength))},
      {"AMethod", TDBScalar(Clip(row.Method, kMethodLength))},
      {"AUserID", TDBScalar(Clip(row.UserID, kUserIDLength))},
      {"ATime", TDBScalar(LocalTimestamp(row.Time))},
      {"ACustom", TDBScalar(Clip(row.Custom, kCustomLength))},
      {"ATID", row.TID < null_below ? TDBScalar(TDBNull{}) : TDBScalar(row.TID)},
  };
}

// The writer thread's store: a connection of its own, tenant ids resolved on it.
class TLogDatabaseSink : public ILogEndpointSink {
 public:
  TLogDatabaseSink() : FConnObj(TServerAPIHelpers::CreateConnection()) {}
  void WriteBatch(std::vector<TLogEndpoint>& rows) override {
    for (auto& row : rows) {
      // An unknown tenant resolves to -1 and is stored as NULL.
      if (!row.TenantID.empty() && row.TID < 0) {
        row.TID = TBaseWithTenantAPI::GetTIDByTenantId(FConnObj.get(), row.TenantID);
      }
    }
    TLogDAO(FConnObj.get()).InsertBatch(rows);
  }

 private:
  std::unique_ptr<TConnectionObject> FConnObj;
};

}  // namespace

void TLogDAO::Insert(const TLogEndpoint& row, int32_t null_below) {
  DAOGuard(&RaiseDAOError<EBaseDAODVError>,
           [&] { Conn().Execute(kInsertLogSQL, RowParams(row, null_below)); });
}

void TLogDAO::InsertBatch(const std::vector<TLogEndpoint>& rows) {
  std::vector<TDBParams> params;
  params.reserve(rows.size());
  for (const auto& row : rows) params.push_back(RowParams(row, 0));
  DAOGuard(&RaiseDAOError<EBaseDAODVError>, [&] {
    FConnObj->StartTransaction();
    try {
      Conn().ExecuteBatch(kInsertLogSQL, params);
      FConnObj->Commit();
    } catch (...) {
      if (FConnObj->InTransaction()) {
        try {
          FConnObj->Rollback();
        } catch (const std::exception&) {
          // The connection is broken; the failure that broke it is the one to report.
        }
      }
      throw;
    }
  });
}

void TLogDAO::DeleteAll() {
  DAOGuard(&RaiseDAOError<EBaseDAODVError>, [&] { Conn().Execute("delete from LOG"); });
}

std::unique_ptr<ILogEndpointSink> TLogAPI::CreateDatabaseSink() {
  return std::make_unique<TLogDatabaseSink>();
}

TLogAPI::TLogAPI(TConnectionObject* AConnectionObject)
    : TLogAPI(AConnectionObject, &TLogAPI::CreateDatabaseSink) {}

TLogAPI::TLogAPI(TConnectionObject* AConnectionObject, TLogEndpointSinkFactory worker_sinks,
                 TLogWriterSettings settings)
    : TBaseAPI(AConnectionObject), FWorkerSinks(std::move(worker_sinks)), FSettings(settings) {}

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

void TLogAPI::Log(TLogEndpoint AData, bool AAsync) {
  if (AAsync) {
    if (auto* worker = Worker()) worker->Post(std::move(AData));
    return;
  }
  std::lock_guard<std::mutex> lock(FLock);
  std::unique_ptr<TConnectionObject> own;
  try {
    if (!FConnObj) own = TServerAPIHelpers::CreateConnection();
    TLogDAO(FConnObj ? FConnObj : own.get()).Insert(AData, 1);
  } catch (const EBaseDAOError&) {
    throw ELogAPIError("LogAPI error - failed to log data");
  }
}

void TLogAPI::Shutdown() {
  std::lock_guard<std::mutex> lock(FLock);
  FShutdown = true;
  // The worker object stays until this API goes, so a request thread that still holds its
  // pointer posts into a stopped queue (refused) rather than into freed memory.
  if (FWorkerOwner) FWorkerOwner->Stop();
}

void TLogAPI::ReleaseConnection() {
  std::lock_guard<std::mutex> lock(FLock);
  FConnObj = nullptr;
}

void TLogAPI::DeleteAllLogs() {
  std::lock_guard<std::mutex> lock(FLock);
  std::unique_ptr<TConnectionObject> own;
  if (!FConnObj) own = TServerAPIHelpers::CreateConnection();
  TLogDAO(FConnObj ? FConnObj : own.get()).DeleteAll();
}

bool TLogAPI::GetFlushing() const {
  const auto* worker = FWorker.load(std::memory_order_acquire);
  return worker && worker->GetFlushing();
}

uint64_t TLogAPI::GetDroppedRows() const {
  const auto* worker = FWorker.load(std::memory_order_acquire);
  return worker ? worker->GetDroppedRows() : 0;
}
