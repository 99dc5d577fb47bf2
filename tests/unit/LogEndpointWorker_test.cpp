// The analytics writer thread over an in-memory store: batching, the quiet period, shut-down,
// rows posted during a write, and retries of failed writes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "KelvoHosting.LoggingService.h"
#include "KelvoServer.LogEndpoint.h"

namespace {

using namespace std::chrono_literals;

// What the store holds, shared by every sink the worker creates.
struct TFakeStore {
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<size_t> FBatches;  // size of each stored batch, in order
  std::vector<std::string> FRows;  // UserID of each stored row, in order
  int FFailures = 0;           // writes that fail before the next succeeds
  int FFactoryFailures = 0;    // sink creations that fail
  int FAttempts = 0;
  bool FHold = false;          // writes wait while set
  bool FHolding = false;       // a write is waiting

  size_t RowCount() {
    std::lock_guard<std::mutex> lock(FLock);
    return FRows.size();
  }
  // Polls for a state instead of sleeping a fixed time; gives up after `limit`.
  template <class Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, limit, [&] { return pred(); });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(FLock);
    FHold = false;
    FChanged.notify_all();
  }
};

class TFakeSink : public ILogEndpointSink {
 public:
  explicit TFakeSink(TFakeStore& store) : FStore(store) {}
  void WriteBatch(std::vector<TLogEndpoint>& rows) override {
    std::unique_lock<std::mutex> lock(FStore.FLock);
    ++FStore.FAttempts;
    FStore.FHolding = FStore.FHold;
    FStore.FChanged.notify_all();
    FStore.FChanged.wait(lock, [&] { return !FStore.FHold; });
    FStore.FHolding = false;
    if (FStore.FFailures > 0) {
      --FStore.FFailures;
      throw std::runtime_error("connection lost");
    }
    FStore.FBatches.push_back(rows.size());
    for (const auto& row : rows) FStore.FRows.push_back(row.UserID);
    FStore.FChanged.notify_all();
  }

 private:
  TFakeStore& FStore;
};

TLogEndpointSinkFactory FactoryOf(TFakeStore& store) {
  return [&store]() -> std::unique_ptr<ILogEndpointSink> {
    {
      std::lock_guard<std::mutex> lock(store.FLock);
      if (store.FFactoryFailures > 0) {
        --store.FFactoryFailures;
        ++store.FAttempts;
        throw std::runtime_error("database unavailable");
      }
    }
    return std::make_unique<TFakeSink>(store);
  };
}

TLogEndpoint Row(int n) {
  return TLogEndpoint("Users", "GetUser", "GET", std::to_string(n),
                      std::chrono::system_clock::now(), "", "");
}

std::vector<std::string> Numbers(int from, int to) {
  std::vector<std::string> numbers;
  for (int n = from; n < to; ++n) numbers.push_back(std::to_string(n));
  return numbers;
}

TLogWriterSettings FastRetries() {
  TLogWriterSettings settings;
  settings.FRetryDelay = 1ms;
  return settings;
}

}  // namespace

TEST(LogEndpointWorker, FullBatchesAtOnceAndTheRestAfterTheQuietPeriod) {
  TFakeStore store;
  TLogEndpointWorker worker(FactoryOf(store));
  for (int n = 0; n < 250; ++n) ASSERT_TRUE(worker.Post(Row(n)));

  // The two full batches do not wait for the quiet period; the partial one does.
  ASSERT_TRUE(store.WaitFor([&] { return store.FRows.size() >= 200; }));
  EXPECT_EQ(store.RowCount(), 200u);
  EXPECT_TRUE(worker.GetFlushing());

  ASSERT_TRUE(store.WaitFor([&] { return store.FRows.size() >= 250; }));
  for (int i = 0; i < 1000 && worker.GetFlushing(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(worker.GetFlushing());
  std::lock_guard<std::mutex> lock(store.FLock);
  EXPECT_EQ(store.FBatches, (std::vector<size_t>{100, 100, 50}));
  EXPECT_EQ(store.FRows, Numbers(0, 250));
}

TEST(LogEndpointWorker, RowPostedWhileAWriteIsUnderWayIsNotLost) {
  TFakeStore store;
  store.FHold = true;
  TLogWriterSettings settings;
  settings.FQuietPeriod = 50ms;
  TLogEndpointWorker worker(FactoryOf(store), settings);
  for (int n = 0; n < 100; ++n) worker.Post(Row(n));
  ASSERT_TRUE(store.WaitFor([&] { return store.FHolding; }));
  // The worker is inside the write of the first batch and has taken everything queued.
  for (int n = 100; n < 130; ++n) worker.Post(Row(n));
  store.Release();
  ASSERT_TRUE(store.WaitFor([&] { return store.FRows.size() >= 130; }));
  std::lock_guard<std::mutex> lock(store.FLock);
  EXPECT_EQ(store.FRows, Numbers(0, 130));
}

TEST(LogEndpointWorker, StopWritesEverythingPostedBeforeIt) {
  struct TCase {
    const char* FName;
    int FRows;
    bool FHoldFirstWrite;  // rows still queued, not yet taken, when Stop begins
  };
  for (const TCase& c : {TCase{"partial batch", 30, false}, TCase{"full and partial", 230, false},
                         TCase{"queued behind a write", 180, true}}) {
    SCOPED_TRACE(c.FName);
    TFakeStore store;
    store.FHold = c.FHoldFirstWrite;
    TLogWriterSettings settings;
    settings.FQuietPeriod = 1h;  // only Stop can write the partial batch
    TLogEndpointWorker worker(FactoryOf(store), settings);
    int posted = 0;
    if (c.FHoldFirstWrite) {
      for (; posted < 100; ++posted) worker.Post(Row(posted));
      ASSERT_TRUE(store.WaitFor([&] { return store.FHolding; }));
    }
    for (; posted < c.FRows; ++posted) worker.Post(Row(posted));
    std::thread release([&] {
      if (c.FHoldFirstWrite) store.Release();
    });
    worker.Stop();
    release.join();
    EXPECT_EQ(store.FRows, Numbers(0, c.FRows));
    EXPECT_FALSE(worker.GetFlushing());
    EXPECT_FALSE(worker.Post(Row(0)));
    worker.Stop();  // a second stop is harmless
  }
}

TEST(LogEndpointWorker, FailedWritesAreRetriedThenDroppedWithAnErrorRecord) {
  struct TCase {
    const char* FName;
    int FFailures;
    int FFactoryFailures;
    size_t FStored;
    uint64_t FDropped;
  };
  const TCase cases[] = {
      {"one passing failure", 1, 0, 40, 0},
      {"fails on all but the last try", 3, 0, 40, 0},
      {"database unavailable at first", 0, 2, 40, 0},
      {"fails on every try", 4, 0, 0, 40},
  };
  RegisterKelvoLoggingService();
  std::vector<std::string> errors;
  KelvoServices().Get<IKelvoLoggingSetupService>()->SetupCustomOutput(
      nullptr,
      [&](const std::string& category, const rapidjson::Value& entry) {
        if (category != "Error") return;
        const auto& r = entry["Error"];
        errors.push_back(std::string(r["Type"].GetString()) + "/" + r["Exception"].GetString() +
                         "/" + r["Message"].GetString() + "/" +
                         std::to_string(r["Rows"].GetUint64()));
      },
      true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.FName);
    errors.clear();
    TFakeStore store;
    store.FFailures = c.FFailures;
    store.FFactoryFailures = c.FFactoryFailures;
    TLogEndpointWorker worker(FactoryOf(store), FastRetries());
    for (int n = 0; n < 40; ++n) worker.Post(Row(n));
    worker.Stop();
    EXPECT_EQ(store.FRows.size(), c.FStored);  // never twice
    EXPECT_EQ(worker.GetDroppedRows(), c.FDropped);
    if (c.FDropped > 0) {
      EXPECT_EQ(errors, std::vector<std::string>{"Analytics/runtime_error/connection lost/40"});
    } else {
      EXPECT_TRUE(errors.empty());
    }
  }
  UnregisterKelvoLoggingService();
}

TEST(LogEndpointWorker, AfterADroppedBatchTheNextGetsOneTryAndWritingResumes) {
  TFakeStore store;
  store.FFailures = 5;  // every try of the first batch, and the single try of the second
  TLogEndpointWorker worker(FactoryOf(store), FastRetries());
  for (int n = 0; n < 200; ++n) worker.Post(Row(n));
  ASSERT_TRUE(store.WaitFor([&] { return store.FAttempts >= 5; }));
  for (int n = 200; n < 250; ++n) worker.Post(Row(n));
  worker.Stop();
  EXPECT_EQ(worker.GetDroppedRows(), 200u);
  EXPECT_EQ(store.FAttempts, 6);
  EXPECT_EQ(store.FRows, Numbers(200, 250));
}

TEST(LogEndpointWorker, ManyPostingThreadsLoseNothing) {
  TFakeStore store;
  TLogEndpointWorker worker(FactoryOf(store));
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&worker, t] {
      for (int n = 0; n < 1000; ++n) worker.Post(Row(t * 1000 + n));
    });
  }
  for (auto& t : threads) t.join();
  worker.Stop();
  std::lock_guard<std::mutex> lock(store.FLock);
  ASSERT_EQ(store.FRows.size(), 8000u);
  for (size_t b = 0; b + 1 < store.FBatches.size(); ++b) EXPECT_LE(store.FBatches[b], 100u);
  // Each thread's rows keep their order.
  std::vector<int> next(8, 0);
  for (const auto& id : store.FRows) {
    const int n = std::stoi(id);
    EXPECT_EQ(n % 1000, next[n / 1000]++);
  }
}

TEST(LogEndpointWorker, FullQueueRefusesRowsAndSaysSo) {
  RegisterKelvoLoggingService();
  std::vector<std::string> errors;
  KelvoServices().Get<IKelvoLoggingSetupService>()->SetupCustomOutput(
      nullptr,
      [&](const std::string& category, const rapidjson::Value& entry) {
        if (category == "Error") {
          errors.push_back(std::string(entry["Error"]["Message"].GetString()) + "/" +
                           std::to_string(entry["Error"]["Rows"].GetUint64()));
        }
      },
      true);
  TFakeStore store;
  store.FHold = true;
  TLogWriterSettings settings;
  settings.FBatchSize = 1;
  settings.FMaxQueuedRows = 48;  // three rows per shard; one thread posts into one shard
  TLogEndpointWorker worker(FactoryOf(store), settings);
  ASSERT_TRUE(worker.Post(Row(0)));
  ASSERT_TRUE(store.WaitFor([&] { return store.FHolding; }));  // the writer is stuck on row 0
  int accepted = 0;
  for (int n = 1; n <= 10; ++n) accepted += worker.Post(Row(n)) ? 1 : 0;
  EXPECT_EQ(accepted, 3);
  store.Release();
  worker.Stop();
  EXPECT_EQ(store.FRows, Numbers(0, 4));
  EXPECT_EQ(worker.GetDroppedRows(), 7u);
  UnregisterKelvoLoggingService();
  EXPECT_EQ(errors, std::vector<std::string>{"Analytics queue full: rows refused/7"});
}
