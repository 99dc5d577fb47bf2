#include "KelvoServer.ExtensionsServices.h"

void TKelvoApplicationService::AddStartupNotification(TNotification notification) {
  FStartupList.push_back(std::move(notification));
}

void TKelvoApplicationService::AddShutdownNotification(TNotification notification) {
  FShutdownList.push_back(std::move(notification));
}

void TKelvoApplicationService::Startup() {
  FStarted = true;
  while (!FStartupList.empty()) {
    TNotification notification = std::move(FStartupList.front());
    FStartupList.erase(FStartupList.begin());
    try {
      notification();
    } catch (...) {
      // A failed notification has logged what it needed to; the next one still runs.
    }
  }
}

void TKelvoApplicationService::Shutdown() {
  FShutdown = true;
  while (!FShutdownList.empty()) {
    TNotification notification = std::move(FShutdownList.back());
    FShutdownList.pop_back();
    try {
      notification();
    } catch (...) {
      // Shut-down goes on: every later notification still releases what it owns.
    }
  }
}
