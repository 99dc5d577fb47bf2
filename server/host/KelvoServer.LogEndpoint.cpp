#include "KelvoServer.LogEndpoint.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <utility>

#include <rapidjson/document.h>

#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.Services.h"

namespace {

// Rows are lost only when every try of their batch failed or a full queue refused them; the
// diagnostic log must say so, with the reason.
void LogDroppedRows(size_t rows, const std::string& error_class, const std::string& message) {
  if (!KelvoLoggingEnabled()) return;
  rapidjson::Document record;
  record.SetObject();
  auto& a = record.GetAllocator();
  record.AddMember("Type", "Analytics", a);
  record.AddMember("Exception", rapidjson::Value(error_class, a), a);
  record.AddMember("Message", rapidjson::Value(message, a), a);
  record.AddMember("Rows", static_cast<uint64_t>(rows), a);
  KelvoLog("Error", record);
}

TLogWriterSettings Checked(TLogWriterSettings settings) {
  if (settings.FBatchSize == 0) settings.FBatchSize = 1;
  if (settings.FFlushAttempts < 1) settings.FFlushAttempts = 1;
  return settings;
}

}  // namespace

TLogEndpointWorker::TLogEndpointWorker(TLogEndpointSinkFactory sink_factory,
                                       TLogWriterSettings settings)
    : FSinkFactory(std::move(sink_factory)),
      FSettings(Checked(settings)),
      FShardCapacity(std::max<size_t>(1, FSettings.FMaxQueuedRows / kShardCount)) {
  FThread = std::thread([this] { Execute(); });
}

TLogEndpointWorker::~TLogEndpointWorker() { Stop(); }

TLogEndpointWorker::TShard& TLogEndpointWorker::ShardOfThisThread() {
  // A thread always uses the same shard, so its rows keep their order; different threads
  // mostly use different shards and so rarely wait for each other.
  static std::atomic<unsigned> next{0};
  thread_local const unsigned index = next.fetch_add(1, std::memory_order_relaxed);
  return FShards[index % kShardCount];
}

bool TLogEndpointWorker::Post(TLogEndpoint data) {
  auto& shard = ShardOfThisThread();
  {
    std::lock_guard<std::mutex> lock(shard.FLock);
    // Checked under the shard's lock: the final drain at shut-down takes every shard's lock
    // after the flag is set, so a row is either drained or refused, never left behind.
    if (FStopping.load(std::memory_order_relaxed)) return false;
    if (shard.FQueue.size() >= FShardCapacity) {
      ++shard.FRefused;
      return false;
    }
    shard.FQueue.push_back(std::move(data));
    ++shard.FPosted;
  }
  // Only the post that finds no wake-up pending wakes the worker; the flag is read first so
  // that posts while one is pending touch nothing shared.
  if (!FWakePending.load(std::memory_order_relaxed) && !FWakePending.exchange(true)) {
    std::lock_guard<std::mutex> lock(FLock);
    FEvent.notify_one();
  }
  return true;
}

void TLogEndpointWorker::Stop() {
  std::lock_guard<std::mutex> stop_lock(FStopLock);
  FStopping.store(true);
  {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminated = true;
  }
  FEvent.notify_one();
  if (FThread.joinable()) FThread.join();
}

bool TLogEndpointWorker::GetFlushing() const {
  uint64_t posted = 0;
  for (auto& shard : FShards) {
    std::lock_guard<std::mutex> lock(shard.FLock);
    posted += shard.FPosted;
  }
  return posted > FDone.load();
}

uint64_t TLogEndpointWorker::GetDroppedRows() const { return FDropped.load(); }

uint64_t TLogEndpointWorker::TakeQueued(std::vector<TLogEndpoint>& taken) {
  uint64_t refused = 0;
  for (auto& shard : FShards) {
    std::lock_guard<std::mutex> lock(shard.FLock);
    refused += shard.FRefused;
    if (shard.FQueue.empty()) continue;
    if (taken.empty()) {
      taken.swap(shard.FQueue);  // the common case: one busy shard, no copying
    } else {
      std::move(shard.FQueue.begin(), shard.FQueue.end(), std::back_inserter(taken));
      shard.FQueue.clear();
    }
  }
  // Rows of different threads are written in the order they were stamped.
  const auto by_time = [](const TLogEndpoint& a, const TLogEndpoint& b) { return a.Time < b.Time; };
  if (!std::is_sorted(taken.begin(), taken.end(), by_time)) {
    std::stable_sort(taken.begin(), taken.end(), by_time);
  }
  const uint64_t fresh = refused - FRefusedSeen;
  FRefusedSeen = refused;
  return fresh;
}

void TLogEndpointWorker::Execute() {
  using TClock = std::chrono::steady_clock;
  std::vector<TLogEndpoint> taken;
  std::vector<TLogEndpoint> pending;
  pending.reserve(FSettings.FBatchSize);
  TClock::time_point deadline{};

  for (;;) {
    bool terminating;
    {
      std::unique_lock<std::mutex> lock(FLock);
      const auto has_work = [this] { return FWakePending.load() || FTerminated; };
      if (!has_work()) {
        if (pending.empty()) {
          FEvent.wait(lock, has_work);
        } else if (!FEvent.wait_until(lock, deadline, has_work)) {
          lock.unlock();
          Flush(pending);
          continue;
        }
      }
      terminating = FTerminated;
    }
    if (!terminating && FSettings.FGatherDelay.count() > 0) {
      // Let a burst gather before taking it: under load, request threads then find a wake-up
      // pending and skip the futex call, instead of paying one for almost every row.
      std::this_thread::sleep_for(FSettings.FGatherDelay);
    }
    // Cleared before the shards are read: a row posted after its shard was read sets it
    // again and so gets its own round.
    FWakePending.store(false);
    if (const uint64_t refused = TakeQueued(taken); refused > 0) {
      FDropped += refused;
      LogDroppedRows(refused, "", "Analytics queue full: rows refused");
    }

    for (auto& row : taken) {
      if (pending.empty()) deadline = TClock::now() + FSettings.FQuietPeriod;
      pending.push_back(std::move(row));
      if (pending.size() >= FSettings.FBatchSize) Flush(pending);
    }
    taken.clear();

    // At shut-down nothing that was posted may be left behind: posts are refused from the
    // moment `FStopping` was set, and this round has drained every shard after that.
    if (terminating) break;
  }
  if (!pending.empty()) Flush(pending);
  FSink.reset();
}

bool TLogEndpointWorker::TryWrite(std::vector<TLogEndpoint>& rows, std::string& error_class,
                                  std::string& error) {
  try {
    if (!FSink) FSink = FSinkFactory();
    FSink->WriteBatch(rows);
    return true;
  } catch (const std::exception& e) {
    error_class = ExceptionClassName(e);
    error = e.what();
  } catch (...) {
    error_class = "unknown";
    error.clear();
  }
  // The connection may be what failed; the next try starts on a fresh one.
  FSink.reset();
  return false;
}

void TLogEndpointWorker::Flush(std::vector<TLogEndpoint>& pending) {
  std::string error_class;
  std::string error;
  bool written = false;
  auto delay = FSettings.FRetryDelay;
  // While the store stays down, each further batch gets one try only: a long outage must not
  // stall the writer (or a shut-down) for the full retry time of every batch.
  const int attempts = FStoreDown ? 1 : FSettings.FFlushAttempts;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (attempt > 1) {
      std::this_thread::sleep_for(delay);
      delay *= 2;
    }
    written = TryWrite(pending, error_class, error);
    if (written) break;
  }
  FStoreDown = !written;
  const size_t count = pending.size();
  pending.clear();
  if (!written) FDropped += count;
  FDone += count;
  if (!written) LogDroppedRows(count, error_class, error);
}
