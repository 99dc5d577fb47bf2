// The diagnostic log: one JSON document per run in the file named by section Server.Logging,
// and an optional custom output installed by a host.
//
// File layout (valid JSON once closed; with Append a restart adds a second document):
//   {"Application":"/path/mod_kelvoserver.so","Started":"2026-12-11T09:27:24.120+01:00","Log":[
//   {"Thread":1234,"Request":{...}},
//   {"Thread":1235,"Error":{...}}
//   ]}
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include <rapidjson/document.h>

#include "KelvoServerAPI.Services.h"

class TKelvoLoggingService : public IKelvoLoggingService, public IKelvoLoggingSetupService {
 public:
  TKelvoLoggingService() = default;
  /// Closes the log file (writing its closing "]}") and drops the custom output.
  ~TKelvoLoggingService() override;
  TKelvoLoggingService(const TKelvoLoggingService&) = delete;
  TKelvoLoggingService& operator=(const TKelvoLoggingService&) = delete;

  /// True while a log file is open; otherwise the custom output's enabled test (true when it
  /// has none); false when there is neither.
  bool GetLoggingEnabled() const override;
  /// Writes {"Thread": id, category: copy of json}; safe from any thread. The caller keeps `json`.
  void Log(const std::string& category, const rapidjson::Value& json) override;
  /// A file that cannot be opened leaves the service without file output; the failure is
  /// reported on stderr (Apache's error log) and never propagates.
  void SetupFileOutput(const std::string& file_name, bool append) override;
  void SetupCustomOutput(TKelvoLoggingEnabledFunc enabled, TKelvoLoggingOutputProc output,
                         bool synchronize) override;

  /// Name of the open log file; empty when there is none.
  std::string GetFileName() const;

 private:
  struct TCustomOutput {
    TKelvoLoggingEnabledFunc FEnabledFunc;
    TKelvoLoggingOutputProc FOutputProc;
    bool FSynchronize = false;
    std::mutex FCallLock;
  };

  void CloseFile();  // FWriterLock held

  // The monitor of the file writer: entries are written whole and one at a time.
  mutable std::mutex FWriterLock;
  std::FILE* FWriter = nullptr;
  std::string FFileName;
  bool FLogIsEmpty = true;
  // Read by the enabled test on every request without taking the writer's lock.
  std::atomic<bool> FFileOpen{false};
  std::atomic<std::shared_ptr<TCustomOutput>> FOutput;
};

/// Creates the process-wide logging service when absent and publishes it in `KelvoServices()`
/// under `IKelvoLoggingService` and `IKelvoLoggingSetupService`. Call at module start, before
/// the log set-up from the configuration. Calling it again does nothing.
void RegisterKelvoLoggingService();
/// Removes the logging service from `KelvoServices()` and closes its log file. Harmless when
/// nothing is registered.
void UnregisterKelvoLoggingService();
