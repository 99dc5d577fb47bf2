#include "KelvoServer.LogEndpoint.h"

#include <exception>
#include <utility>

#include <rapidjson/document.h>

#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.Services.h"

namespace {

// Rows given up after every try failed are the one loss analytics can have; the diagnostic log
// must say so, with the reason of the last failure.
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
    : FSinkFactory(std::move(sink_factory)), FSettings(Checked(settings)) {
  FThread = std::thread([this] { Execute(); });
}

TLogEndpointWorker::~TLogEndpointWorker() { Stop(); }

bool TLogEndpointWorker::Post(TLogEndpoint data) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (FTerminated) return false;
    // The worker only sleeps on an empty queue, so only the first row after a drain needs
    // to wake it; later posts skip the futex call.
    wake = FQueue.empty();
    FQueue.push_back(std::move(data));
    ++FUnwritten;
  }
  if (wake) FEvent.notify_one();
  return true;
}

void TLogEndpointWorker::Stop() {
  std::lock_guard<std::mutex> stop_lock(FStopLock);
  {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminated = true;
  }
  FEvent.notify_one();
  if (FThread.joinable()) FThread.join();
}

bool TLogEndpointWorker::GetFlushing() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FUnwritten > 0;
}

uint64_t TLogEndpointWorker::GetDroppedRows() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FDropped;
}

void TLogEndpointWorker::Execute() {
  using TClock = std::chrono::steady_clock;
  std::vector<TLogEndpoint> taken;
  std::vector<TLogEndpoint> pending;
  pending.reserve(FSettings.FBatchSize);
  TClock::time_point deadline{};

  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    const auto has_work = [this] { return !FQueue.empty() || FTerminated; };
    if (!has_work()) {
      if (pending.empty()) {
        FEvent.wait(lock, has_work);
      } else if (!FEvent.wait_until(lock, deadline, has_work)) {
        lock.unlock();
        Flush(pending);
        lock.lock();
        continue;
      }
    }
    // Everything queued so far is taken at once; rows posted from here on stay queued for the
    // next round, and their post wakes the worker again.
    taken.swap(FQueue);
    const bool terminating = FTerminated;
    lock.unlock();

    for (auto& row : taken) {
      if (pending.empty()) deadline = TClock::now() + FSettings.FQuietPeriod;
      pending.push_back(std::move(row));
      if (pending.size() >= FSettings.FBatchSize) Flush(pending);
    }
    taken.clear();  // keeps its capacity for the queue it is swapped with next

    lock.lock();
    // At shut-down nothing that was posted may be left behind: the queue is drained first.
    if (terminating && FQueue.empty()) break;
  }
  lock.unlock();
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
  {
    std::lock_guard<std::mutex> lock(FLock);
    FUnwritten -= count;
    if (!written) FDropped += count;
  }
  if (!written) LogDroppedRows(count, error_class, error);
}
