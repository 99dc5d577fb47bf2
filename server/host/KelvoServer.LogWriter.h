// The process-wide analytics writer: request threads hand it one row per handled request.
#pragma once

#include "KelvoServer.LogAPI.h"

class TKelvoLogWriter {
 public:
  /// Starts the writer with the given store for the writer thread (tests, benchmarks).
  /// Does nothing when it is already started.
  static void Startup(TLogEndpointSinkFactory worker_sinks, TLogWriterSettings settings = {});
  /// Writes every row handed over so far and stops the writer. Harmless when not started.
  static void Shutdown();
  /// Queues the row; does nothing when the writer is not started. Never throws.
  static void Log(TLogEndpoint data);
  static bool GetStarted();
  /// True while rows are queued or waiting for the writer.
  static bool GetFlushing();
};

/// Module shut-down for logging: flushes and stops the analytics writer and releases the
/// general task pool. Harmless when called twice. The log file itself stays open until
/// `UnregisterKelvoLoggingService`, so that later shut-down steps can still log.
void KelvoLoggingShutdown();
