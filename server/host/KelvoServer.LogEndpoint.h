// Request analytics: the row that records one handled request, and the background writer that
// stores such rows in batches without ever holding up the request that produced them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// One analytics row (table LOG).
struct TLogEndpoint {
  using TTime = std::chrono::system_clock::time_point;

  TLogEndpoint() = default;
  /// A row whose tenant key the writer resolves from `tenant_id`.
  TLogEndpoint(std::string resource, std::string endpoint_name, std::string method,
               std::string user_id, TTime time, std::string custom, std::string tenant_id)
      : Resource(std::move(resource)), EndpointName(std::move(endpoint_name)),
        Method(std::move(method)), UserID(std::move(user_id)), Time(time),
        Custom(std::move(custom)), TID(-1), TenantID(std::move(tenant_id)) {}
  /// A row whose tenant key is known.
  TLogEndpoint(std::string resource, std::string endpoint_name, std::string method,
               std::string user_id, std::string custom, int32_t tid, TTime time)
      : Resource(std::move(resource)), EndpointName(std::move(endpoint_name)),
        Method(std::move(method)), UserID(std::move(user_id)), Time(time),
        Custom(std::move(custom)), TID(tid) {}

  std::string Resource;
  std::string EndpointName;
  std::string Method;
  std::string UserID;
  TTime Time{};
  std::string Custom;
  /// Tenant key; below 0 = not resolved (stored as NULL unless `TenantID` resolves).
  int32_t TID = -1;
  /// Tenant id text, resolved to `TID` by the writer; never stored itself.
  std::string TenantID;
};

/// Where the writer stores its batches. One sink belongs to the writer thread alone.
class ILogEndpointSink {
 public:
  virtual ~ILogEndpointSink() = default;
  /// Stores `rows` in order, all or none (one transaction), resolving `TID` of rows that carry
  /// a tenant id; rows whose tenant cannot be found are stored with a NULL key. Throws on failure.
  virtual void WriteBatch(std::vector<TLogEndpoint>& rows) = 0;
};

/// Creates the writer thread's sink (its own database connection). May throw.
using TLogEndpointSinkFactory = std::function<std::unique_ptr<ILogEndpointSink>()>;

struct TLogWriterSettings {
  /// Rows per array execution and transaction.
  size_t FBatchSize = 100;
  /// A partial batch is written once this long has passed since its first row without the
  /// batch filling up, and at shut-down.
  std::chrono::milliseconds FQuietPeriod{1000};
  /// How long the worker lets rows gather after being woken, before it takes them.
  std::chrono::microseconds FGatherDelay{1000};
  /// Tries of one batch before its rows are given up; a database that is briefly unreachable
  /// (restart, lock conflict) must not cost the usage record. After a batch was given up, the
  /// following ones get one try each until a write succeeds again.
  int FFlushAttempts = 4;
  /// Pause before the second try; doubled before each further one.
  std::chrono::milliseconds FRetryDelay{100};
  /// Rows that may wait in memory; beyond it, posts are refused (and counted as dropped) until
  /// the writer catches up. Only a store that stays slower than the request rate for a long
  /// time reaches it; without it, such a store would grow the server without limit.
  size_t FMaxQueuedRows = 50000;
};

/// The analytics writer thread: request threads post rows, one thread writes them in batches,
/// in the order the rows were stamped. Posting only moves the row into an in-memory queue
/// under a short lock that other request threads rarely share.
class TLogEndpointWorker {
 public:
  explicit TLogEndpointWorker(TLogEndpointSinkFactory sink_factory,
                              TLogWriterSettings settings = {});
  /// Stops the worker as `Stop` does.
  ~TLogEndpointWorker();
  TLogEndpointWorker(const TLogEndpointWorker&) = delete;
  TLogEndpointWorker& operator=(const TLogEndpointWorker&) = delete;

  /// Queues a row; false (row not taken) once `Stop` has begun or while the queue is full.
  bool Post(TLogEndpoint data);
  /// Writes every row posted before the call, then ends the thread. Harmless when repeated.
  void Stop();
  /// True while rows are queued or waiting in a partial batch.
  bool GetFlushing() const;
  /// Rows given up after every try of their batch failed, or refused by a full queue.
  uint64_t GetDroppedRows() const;

 private:
  static constexpr size_t kShardCount = 16;
  struct alignas(64) TShard {
    mutable std::mutex FLock;
    std::vector<TLogEndpoint> FQueue;
    uint64_t FPosted = 0;
    uint64_t FRefused = 0;  // posts refused because the shard was full
  };

  TShard& ShardOfThisThread();
  /// Takes every shard's rows; returns how many posts were refused since the last call.
  uint64_t TakeQueued(std::vector<TLogEndpoint>& taken);
  void Execute();
  void Flush(std::vector<TLogEndpoint>& pending);
  bool TryWrite(std::vector<TLogEndpoint>& rows, std::string& error_class, std::string& error);

  const TLogEndpointSinkFactory FSinkFactory;
  const TLogWriterSettings FSettings;
  const size_t FShardCapacity;
  std::unique_ptr<ILogEndpointSink> FSink;  // writer thread only
  bool FStoreDown = false;                  // the last batch was given up; writer thread only

  // Request threads post into shards (one per thread, chosen once) so that they rarely wait
  // for each other; the worker takes every shard each round.
  std::array<TShard, kShardCount> FShards;
  alignas(64) std::atomic<bool> FWakePending{false};
  std::atomic<bool> FStopping{false};
  std::atomic<uint64_t> FDone{0};  // rows stored or given up
  std::atomic<uint64_t> FDropped{0};
  uint64_t FRefusedSeen = 0;  // writer thread only

  std::mutex FLock;  // the worker's sleep and wake-up
  std::condition_variable FEvent;
  bool FTerminated = false;
  std::mutex FStopLock;
  std::thread FThread;
};
