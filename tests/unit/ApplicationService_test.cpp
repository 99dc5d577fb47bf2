#include <gtest/gtest.h>

#include "KelvoInProcess.h"
#include "KelvoServer.ExtensionsServices.h"
#include "KelvoServer.Module.h"

TEST(ApplicationService, NotificationOrderAndFailures) {
  TKelvoApplicationService service;
  std::vector<std::string> log;
  service.AddStartupNotification([&] { log.push_back("s1"); });
  service.AddStartupNotification([&] {
    log.push_back("s2");
    // Added while start-up runs: runs in the same pass.
    service.AddStartupNotification([&] { log.push_back("s4"); });
    throw std::runtime_error("s2 fails");
  });
  service.AddStartupNotification([&] { log.push_back("s3"); });
  service.AddShutdownNotification([&] { log.push_back("d1"); });
  service.AddShutdownNotification([&] { throw std::runtime_error("d2 fails"); });
  service.AddShutdownNotification([&] { log.push_back("d3"); });
  service.Startup();
  service.AddStartupNotification([&] { log.push_back("late"); });  // after start-up: never run
  service.Shutdown();
  service.Shutdown();  // nothing left to run
  EXPECT_EQ(log, (std::vector<std::string>{"s1", "s2", "s3", "s4", "d3", "d1"}));
  EXPECT_TRUE(service.Started());
  EXPECT_TRUE(service.IsShutdown());
}

TEST(ModuleLifecycle, ShutdownTwiceAndRestart) {
  {
    TInProcessServer server("");
    EXPECT_EQ(server.Request("GET", "/version").FStatus, 200);
    KelvoServerShutdown();  // the server's own shut-down runs again below: harmless
  }
  KelvoServerShutdown();
  // A new start begins with empty registries (Apache reloads the module on restart).
  TInProcessServer again("");
  EXPECT_EQ(again.Request("GET", "/version").FStatus, 200);
  EXPECT_EQ(HandlerNameOfModuleFile("/usr/lib/apache2/modules/mod_kelvoserver.so"), "mod_kelvoserver-handler");
  EXPECT_EQ(HandlerNameOfModuleFile("Mod_KelvoServer.DLL"), "mod_kelvoserver-handler");
}
