// The process-wide analytics writer: request threads hand it one row per handled request.
#pragma once

#include "KelvoServer.LogAPI.h"

class TKelvoLogWriter {
 public:
  /// Module start-up, after the standard connection definition is registered: creates the
  /// writer's connection object and `TLogAPI` (and the module's general task pool), and
  /// installs the request pipeline's analytics hook (`KelvoRequestServices().LogEndpoint`).
  /// Does nothing when already started.
  static void Startup();
  /// Starts the writer with the given store for the writer thread (tests, benchmarks).
  static void Startup(TLogEndpointSinkFactory worker_sinks, TLogWriterSettings settings = {});
  /// Writes every row handed over so far and stops the writer. Harmless when not started.
  static void Shutdown();
  /// Queues the row; does nothing when the writer is not started. Never throws.
  static void Log(TLogEndpoint AData);
  static bool GetStarted();
  /// True while rows are queued or waiting for the writer.
  static bool GetFlushing();
  /// Rows the running writer gave up or refused (see `TLogEndpointWorker::GetDroppedRows`).
  static uint64_t GetDroppedRows();
};

/// Module shut-down for logging: releases the general task pool, then flushes and stops the
/// analytics writer. Harmless when called twice. Call it before the database pools are
/// closed. The log file stays open until `UnregisterKelvoLoggingService`, so that later
/// shut-down steps can still log.
void KelvoLoggingShutdown();
