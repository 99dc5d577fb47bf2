// The process-wide analytics writer: its life cycle as module start-up and shut-down drive it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "KelvoInProcess.h"
#include "KelvoServer.LogWriter.h"

namespace {

struct TCountingSink : ILogEndpointSink {
  explicit TCountingSink(std::atomic<int>& stored) : FStored(stored) {}
  void WriteBatch(std::vector<TLogEndpoint>& rows) override { FStored += rows.size(); }
  std::atomic<int>& FStored;
};

TLogEndpoint Row() {
  return TLogEndpoint("Users", "GetUser", "GET", "u", std::chrono::system_clock::now(), "", "");
}

}  // namespace

TEST(LogWriter, RowsCountOnlyWhileStartedAndShutdownWritesThem) {
  std::atomic<int> stored{0};
  auto sinks = [&] { return std::make_unique<TCountingSink>(stored); };
  TKelvoLogWriter::Shutdown();  // harmless before any start
  TKelvoLogWriter::Log(Row());  // not started: ignored
  EXPECT_FALSE(TKelvoLogWriter::GetStarted());

  TLogWriterSettings slow;
  slow.FQuietPeriod = std::chrono::hours(1);
  TKelvoLogWriter::Startup(sinks, slow);
  TKelvoLogWriter::Startup(sinks, slow);  // a second start keeps the running writer
  for (int i = 0; i < 5; ++i) TKelvoLogWriter::Log(Row());
  EXPECT_TRUE(TKelvoLogWriter::GetFlushing());
  KelvoLoggingShutdown();
  KelvoLoggingShutdown();
  EXPECT_EQ(stored.load(), 5);
  EXPECT_FALSE(TKelvoLogWriter::GetStarted());
  TKelvoLogWriter::Log(Row());
  EXPECT_EQ(stored.load(), 5);
}

TEST(LogWriter, ShutdownWhileRequestThreadsPostIsSafe) {
  std::atomic<int> stored{0};
  std::atomic<int> posted{0};
  TKelvoLogWriter::Startup([&] { return std::make_unique<TCountingSink>(stored); });
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const bool started = TKelvoLogWriter::GetStarted();
        TKelvoLogWriter::Log(Row());
        if (started) ++posted;
      }
    });
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (posted.load() < 1000 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::yield();
  }
  TKelvoLogWriter::Shutdown();
  stop = true;
  for (auto& t : threads) t.join();
  // Every row taken before shut-down is stored; rows offered afterwards are not.
  EXPECT_GE(stored.load(), 1000);
  EXPECT_LE(stored.load(), posted.load());
}

// What the pipeline hands over: one row per request an endpoint handled, none for failures.
TEST(LogWriter, PipelineRecordsHandledRequestsOnly) {
  std::mutex lock;
  std::vector<std::string> rows;
  struct TRecordingSink : ILogEndpointSink {
    TRecordingSink(std::mutex& l, std::vector<std::string>& r) : FLock(l), FRows(r) {}
    void WriteBatch(std::vector<TLogEndpoint>& batch) override {
      std::lock_guard<std::mutex> guard(FLock);
      for (const auto& row : batch) {
        FRows.push_back(row.Resource + "|" + row.EndpointName + "|" + row.Method + "|" + row.UserID +
                        "|" + row.Custom + "|" + row.TenantID);
      }
    }
    std::mutex& FLock;
    std::vector<std::string>& FRows;
  };
  TInProcessServer server("");
  RegisterResource(std::make_unique<TStubResource>("Things", "/things", "GetUsers"));
  RegisterResource(std::make_unique<TStubResource>("Fails", "/fails", "Boom", [](TEndpointContext&) {
    throw std::runtime_error("endpoint failed");
  }));
  // The module started its own writer over the (absent) database; replace it by the recorder.
  TKelvoLogWriter::Shutdown();
  TKelvoLogWriter::Startup([&] { return std::make_unique<TRecordingSink>(lock, rows); });
  EXPECT_EQ(server.Request("GET", "/things").FStatus, 200);
  EXPECT_EQ(server.Request("DELETE", "/things").FStatus, 200);
  EXPECT_EQ(server.Request("GET", "/fails").FStatus, 500);
  EXPECT_EQ(server.Request("GET", "/nothing").FStatus, 404);
  KelvoLoggingShutdown();
  EXPECT_EQ(rows, (std::vector<std::string>{"Things|GetUsers|GET|||", "Things|GetUsers|DELETE|||"}));
}
