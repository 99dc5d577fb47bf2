// Analytics rows in table LOG: queued for the writer thread, or written at once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "KelvoServer.LogEndpoint.h"

class TLogAPI {
 public:
  using TWorker = TLogEndpointWorker;

  /// `worker_sinks` gives the writer thread its store (with a connection of its own); the
  /// thread starts with the first asynchronous row.
  explicit TLogAPI(TLogEndpointSinkFactory worker_sinks, TLogWriterSettings settings = {});
  /// Shuts the worker down (its rows are written first).
  ~TLogAPI();
  TLogAPI(const TLogAPI&) = delete;
  TLogAPI& operator=(const TLogAPI&) = delete;

  /// Asynchronous: queue the row for the writer thread; never fails. Rows that arrive after
  /// `Shutdown` are not taken.
  void Log(TLogEndpoint data);
  /// Writes every queued row, then ends the writer thread. Harmless when repeated.
  void Shutdown();
  /// True while rows are queued or waiting for the writer.
  bool GetFlushing() const;
  /// Rows the writer gave up after all tries failed.
  uint64_t GetDroppedRows() const;

 private:
  TWorker* Worker();

  const TLogEndpointSinkFactory FWorkerSinks;
  const TLogWriterSettings FSettings;
  mutable std::mutex FLock;  // worker creation and shut-down
  std::unique_ptr<TWorker> FWorkerOwner;
  std::atomic<TWorker*> FWorker{nullptr};
  bool FShutdown = false;
};
