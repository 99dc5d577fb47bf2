// The application service: start-up and shut-down notifications of the module.
#pragma once

#include <vector>

#include "KelvoServerAPI.Services.h"

class TKelvoApplicationService : public IKelvoApplicationService {
 public:
  void AddStartupNotification(TNotification notification) override;
  void AddShutdownNotification(TNotification notification) override;
  /// Runs start-up notifications in the order they were added, each under its own guard; a
  /// notification added while this runs is run in the same pass.
  void Startup() override;
  /// Runs shut-down notifications in reverse order, each under its own guard.
  void Shutdown() override;
  bool Started() const { return FStarted; }
  bool IsShutdown() const { return FShutdown; }

 private:
  std::vector<TNotification> FStartupList;
  std::vector<TNotification> FShutdownList;
  bool FStarted = false;
  bool FShutdown = false;
};
