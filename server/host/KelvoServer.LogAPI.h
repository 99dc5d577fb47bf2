// Analytics rows in table LOG: queued for the writer thread, or written at once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.LogEndpoint.h"

/// A direct (synchronous) analytics write failed in the database.
class ELogAPIError : public EBaseAPIError {
 public:
  using EBaseAPIError::EBaseAPIError;
};

/// The SQL of table LOG.
class TLogDAO : public TBaseDAO {
 public:
  using TBaseDAO::TBaseDAO;
  /// Null key: `TID` below `null_below`.
  void Insert(const TLogEndpoint& row, int32_t null_below);
  /// All rows by one prepared statement in one transaction; rolled back on failure.
  void InsertBatch(const std::vector<TLogEndpoint>& rows);
  void DeleteAll();
};

class TLogAPI : public TBaseAPI {
 public:
  using TWorker = TLogEndpointWorker;

  /// `AConnectionObject` (not owned) serves the synchronous writes and `DeleteAllLogs`; when
  /// null, each of them uses a connection of its own on `_RS_KELVO`. The writer thread always
  /// draws a connection of its own from `_RS_KELVO`.
  explicit TLogAPI(TConnectionObject* AConnectionObject);
  /// As above, with the writer thread's store and timing given (tests, benchmarks).
  TLogAPI(TConnectionObject* AConnectionObject, TLogEndpointSinkFactory worker_sinks,
          TLogWriterSettings settings = {});
  /// Shuts the worker down (its rows are written first).
  ~TLogAPI() override;
  TLogAPI(const TLogAPI&) = delete;
  TLogAPI& operator=(const TLogAPI&) = delete;

  /// Asynchronous: queues the row for the writer thread (started with the first row) and
  /// never fails; rows that arrive after `Shutdown` are not taken. Synchronous: inserts the
  /// row now, its tenant key as given (NULL below 1, the tenant id is not resolved).
  /// @throws ELogAPIError "LogAPI error - failed to log data" when the database refuses it.
  void Log(TLogEndpoint AData, bool AAsync);
  /// Writes every queued row, then ends the writer thread. Harmless when repeated.
  void Shutdown();
  /// Forgets the connection object given at creation (its owner is about to free it); later
  /// synchronous writes use connections of their own.
  void ReleaseConnection();
  /// Deletes every analytics row.
  void DeleteAllLogs();
  /// True while rows are queued or waiting for the writer.
  bool GetFlushing() const;
  /// Rows the writer gave up after all tries failed.
  uint64_t GetDroppedRows() const;

  /// The store the writer thread uses by default: its own connection on `_RS_KELVO`.
  static std::unique_ptr<ILogEndpointSink> CreateDatabaseSink();

 private:
  TWorker* Worker();

  const TLogEndpointSinkFactory FWorkerSinks;
  const TLogWriterSettings FSettings;
  mutable std::mutex FLock;  // worker creation, shut-down, synchronous writes, deletion
  std::unique_ptr<TWorker> FWorkerOwner;
  std::atomic<TWorker*> FWorker{nullptr};
  bool FShutdown = false;
};
