// The service registry shared by the server and extension packages, and the service interfaces
// the server offers through it.
//
// Services are added during start-up (before requests are served) and only looked up afterwards,
// so lookups take no lock. A service is keyed by the interface type it is registered under.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <typeindex>

#include <rapidjson/document.h>

class TKelvoServices {
 public:
  template <class I>
  void Add(std::shared_ptr<I> service) {
    FServices[std::type_index(typeid(I))] = std::move(service);
  }
  template <class I>
  void Remove() {
    FServices.erase(std::type_index(typeid(I)));
  }
  /// The service registered under interface `I`, or null.
  template <class I>
  std::shared_ptr<I> Get() const {
    auto it = FServices.find(std::type_index(typeid(I)));
    return it == FServices.end() ? nullptr : std::static_pointer_cast<I>(it->second);
  }
  template <class I>
  bool Supports(std::shared_ptr<I>& service) const {
    service = Get<I>();
    return service != nullptr;
  }
  void Clear() { FServices.clear(); }

 private:
  std::map<std::type_index, std::shared_ptr<void>> FServices;
};

/// The process-wide registry.
TKelvoServices& KelvoServices();

/// Diagnostic log: categorised JSON records. Must accept calls from many threads.
class IKelvoLoggingService {
 public:
  virtual ~IKelvoLoggingService() = default;
  virtual bool GetLoggingEnabled() const = 0;
  /// Writes one record; `json` is a JSON object.
  virtual void Log(const std::string& category, const rapidjson::Value& json) = 0;
};

/// Custom output of the diagnostic log: receives each entry ({"Thread": id, category: record}).
using TKelvoLoggingOutputProc =
    std::function<void(const std::string& category, const rapidjson::Value& entry)>;
/// The custom output's own "enabled" test.
using TKelvoLoggingEnabledFunc = std::function<bool()>;

/// Set-up of the diagnostic log's outputs.
class IKelvoLoggingSetupService {
 public:
  virtual ~IKelvoLoggingSetupService() = default;
  /// Closes the open log file, then opens `file_name` unless it is empty. Never throws.
  virtual void SetupFileOutput(const std::string& file_name, bool append) = 0;
  /// Replaces the custom output and its enabled test; empty callables remove them. With
  /// `synchronize`, calls of the output never overlap (for outputs that are not thread-safe).
  virtual void SetupCustomOutput(TKelvoLoggingEnabledFunc enabled, TKelvoLoggingOutputProc output,
                                 bool synchronize) = 0;
};

/// Start-up and shut-down notifications of the application (module load and unload).
class IKelvoApplicationService {
 public:
  using TNotification = std::function<void()>;
  virtual ~IKelvoApplicationService() = default;
  virtual void AddStartupNotification(TNotification notification) = 0;
  virtual void AddShutdownNotification(TNotification notification) = 0;
  /// Runs the start-up notifications in registration order, each under its own guard.
  virtual void Startup() = 0;
  /// Runs the shut-down notifications in reverse order, each under its own guard.
  virtual void Shutdown() = 0;
};

/// True when a logging service is registered and reports itself enabled.
bool KelvoLoggingEnabled();
/// Writes a record through the logging service when logging is enabled; never throws.
void KelvoLog(const std::string& category, const rapidjson::Value& json);
