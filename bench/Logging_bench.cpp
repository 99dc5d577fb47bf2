// Cost of handing one analytics row to the writer from a request thread. The writer thread
// stores into a sink that only counts, so the figure is the request thread's share alone.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>

#include "FirebirdTestSupport.h"
#include "KelvoServer.LogWriter.h"

namespace {

std::atomic<uint64_t> GStored{0};
constexpr int kRowsPerThread = 50000;

class TCountingSink : public ILogEndpointSink {
 public:
  void WriteBatch(std::vector<TLogEndpoint>& rows) override { GStored += rows.size(); }
};

void BM_PostAnalyticsRow(benchmark::State& state) {
  if (state.thread_index() == 0) {
    // Room for every row of the run, so that the figure is that of accepted rows: with a no-op
    // store and nothing else to do, 32 posting threads can outrun the writer thread.
    TLogWriterSettings settings;
    settings.FMaxQueuedRows = 4 * kRowsPerThread * 32;
    TKelvoLogWriter::Startup([] { return std::make_unique<TCountingSink>(); }, settings);
  }
  for (auto _ : state) {
    TKelvoLogWriter::Log(TLogEndpoint("Users", "GetUsers", "GET", "7d1e4c2a-user",
                                      std::chrono::system_clock::now(), "",
                                      "30de4e7b-0a2c-4b4f-a3f1-5b1d6c0f2e11"));
  }
  if (state.thread_index() == 0) {
    state.counters["refused"] = static_cast<double>(TKelvoLogWriter::GetDroppedRows());
    TKelvoLogWriter::Shutdown();
  }
}

// What building the row costs by itself (its strings and the time stamp), for comparison.
void BM_BuildRowOnly(benchmark::State& state) {
  for (auto _ : state) {
    TLogEndpoint row("Users", "GetUsers", "GET", "7d1e4c2a-user", std::chrono::system_clock::now(),
                     "", "30de4e7b-0a2c-4b4f-a3f1-5b1d6c0f2e11");
    benchmark::DoNotOptimize(row);
  }
}

}  // namespace

BENCHMARK(BM_BuildRowOnly)->Threads(1)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PostAnalyticsRow)->Threads(1)->Threads(32)->Iterations(kRowsPerThread)->UseRealTime()
    ->Repetitions(5)->ReportAggregatesOnly(true);

namespace {

// What one flush of the writer costs in the embedded engine: 100 rows, one transaction.
void BM_WriteBatchToDatabase(benchmark::State& state) {
  TFirebirdTestDatabase db;
  auto conn = db.Connect();
  std::vector<TLogEndpoint> rows;
  for (int i = 0; i < 100; ++i) {
    rows.emplace_back("Users", "GetUsers", "GET", "7d1e4c2a-user", "", 7,
                      std::chrono::system_clock::now());
  }
  TLogDAO dao(conn.get());
  for (auto _ : state) dao.InsertBatch(rows);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows.size()));
}

}  // namespace

BENCHMARK(BM_WriteBatchToDatabase)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Repetitions(3)->ReportAggregatesOnly(true);
