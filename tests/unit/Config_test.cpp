#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "KelvoServer.Config.h"
#include "KelvoServer.IniFile.h"
#include "KelvoTestSupport.h"

namespace {

TKelvoConfiguration Loaded(const std::string& text) {
  TKelvoConfiguration config;
  config.LoadFromText(text);
  return config;
}

}  // namespace

TEST(Config, EveryKeyHasItsDefaultWithoutAFile) {
  const auto c = Loaded("");
  EXPECT_EQ(c.FData.FDatabase, "kelvoserver.tvl");
  EXPECT_EQ(c.FData.FUsername, "sysdba");
  EXPECT_EQ(c.FData.FPassword, "plumcrate");
  EXPECT_EQ(c.FData.FSEPassword, "");
  EXPECT_TRUE(c.FData.FPooled);
  EXPECT_EQ(c.FData.FPooledMax, 0);
  EXPECT_EQ(c.FData.FInstanceName, "");
  EXPECT_EQ(c.FServerKeys.FApplicationId, "");
  EXPECT_EQ(c.FServerKeys.FAppSecret, "");
  EXPECT_EQ(c.FServerKeys.FMasterSecret, "");
  EXPECT_EQ(c.FAPICrossDomain, "");
  EXPECT_EQ(c.FServerLimits.FMaxConnections, 32);
  EXPECT_EQ(c.FServerLimits.FMaxContentLength, 16LL * 1024 * 1024);
  EXPECT_FALSE(c.FServerTenants.FMultiTenantMode);
  EXPECT_EQ(c.FServerTenants.FDefaultTenantId, "");
  EXPECT_EQ(c.FServerTenants.FTenantIDCookieName, "TenantID");
  EXPECT_TRUE(c.FServerACL.FACL.empty());
  EXPECT_TRUE(c.FServerRedirect.FRedirect.empty());
  EXPECT_TRUE(c.FServerPublicPaths.FPaths.empty());
  EXPECT_TRUE(c.FServerPackages.FPackages.empty());
  EXPECT_EQ(c.FServerRoots.FResources, "");
  EXPECT_EQ(c.FAndroidGCMPush.FApiURL, "");
  EXPECT_FALSE(c.FIOSPush.FProductionEnvironment);
  EXPECT_EQ(c.FEdgeHTTP.FProxyPort, 0);
  EXPECT_EQ(c.FServerLogging.FFileName, "");
  EXPECT_TRUE(c.FServerLogging.FAppend);
  EXPECT_TRUE(c.FConsoleLogging.FAppend);
  EXPECT_EQ(c.FServerDevConnection.FPort, "8080");
  EXPECT_EQ(c.FConsoleDevConnection.FPort, "8081");
  EXPECT_EQ(c.FConsoleBrowser.FLimitRows, "15");
  EXPECT_EQ(c.FConsoleBrowser.FDateFormat, "mm/dd/yyyy");
  EXPECT_EQ(c.FConsoleCookies.FUser, "KelvoConsoleUser");
  EXPECT_EQ(c.FConsoleCookies.FConsole, "KelvoConsole");
  EXPECT_EQ(c.FConsolePathsApache.FWebFiles, ".");
  EXPECT_EQ(c.FConsolePathsApache.FSwaggerFiles, "swagger-ui/");
  EXPECT_EQ(c.FConsolePathsApache.FTemplateFiles, "webresources/templates/");
  EXPECT_FALSE(c.FServerDevThreads.FThreadPool);
  EXPECT_EQ(c.GetServerType(), TServerType::Apache);
  EXPECT_EQ(&c.GetConsolePaths(), &c.FConsolePathsApache);
}

struct TConfigCase {
  const char* FName;
  const char* FIni;
  std::function<void(const TKelvoConfiguration&)> FCheck;
};

class ConfigCases : public ::testing::TestWithParam<TConfigCase> {};

TEST_P(ConfigCases, ReadsAsExpected) { GetParam().FCheck(Loaded(GetParam().FIni)); }

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigCases,
    ::testing::Values(
        TConfigCase{"SectionsAndKeysIgnoreCase", "[server.keys]\napplicationid=app\nAPPSECRET=s\n",
                    [](const auto& c) {
                      EXPECT_EQ(c.FServerKeys.FApplicationId, "app");
                      EXPECT_EQ(c.FServerKeys.FAppSecret, "s");
                    }},
        TConfigCase{"EmptyStringTakesDefault", "[Data]\nUserName=\n[Server.Connection.Dev]\nPort=\n",
                    [](const auto& c) {
                      EXPECT_EQ(c.FData.FUsername, "sysdba");
                      EXPECT_EQ(c.FServerDevConnection.FPort, "8080");
                    }},
        TConfigCase{"IntegersAndBooleans",
                    "[Server.Limits]\nMaxConnections=5\n[Server.Tenants]\nMultiTenantMode=1\n"
                    "[Server.Logging]\nAppend=false\n[Data]\nPooled=0\nPooledMax=12\n",
                    [](const auto& c) {
                      EXPECT_EQ(c.FServerLimits.FMaxConnections, 5);
                      EXPECT_TRUE(c.FServerTenants.FMultiTenantMode);
                      EXPECT_FALSE(c.FServerLogging.FAppend);
                      EXPECT_FALSE(c.FData.FPooled);
                      EXPECT_EQ(c.FData.FPooledMax, 12);
                    }},
        TConfigCase{"BadIntegerKeepsDefault", "[Server.Limits]\nMaxConnections=lots\nMaxContentLength=-3\n",
                    [](const auto& c) {
                      EXPECT_EQ(c.FServerLimits.FMaxConnections, 32);
                      EXPECT_EQ(c.FServerLimits.FMaxContentLength, 16LL * 1024 * 1024);
                    }},
        TConfigCase{"WholeSectionsInFileOrderSplitAtFirstEquals",
                    "[Server.Authorization]\n; comment\nUsers={\"public\":true}\nUsers.GetUser={\"users\":[\"a=b\"]}\n"
                    "[Server.Redirect]\nGroups={\"destination\":\"Users\"}\n",
                    [](const auto& c) {
                      ASSERT_EQ(c.FServerACL.FACL.size(), 2u);
                      EXPECT_EQ(c.FServerACL.FACL[0].first, "Users");
                      EXPECT_EQ(c.FServerACL.FACL[0].second, "{\"public\":true}");
                      EXPECT_EQ(c.FServerACL.FACL[1].first, "Users.GetUser");
                      EXPECT_EQ(c.FServerACL.FACL[1].second, "{\"users\":[\"a=b\"]}");
                      ASSERT_EQ(c.FServerRedirect.FRedirect.size(), 1u);
                    }},
        TConfigCase{"ConsolePathDefaultsFollowResourcesFiles",
                    "[Console.Paths.Apache]\nResourcesFiles=/srv/res\n",
                    [](const auto& c) {
                      EXPECT_EQ(c.FConsolePathsApache.FSwaggerFiles, "/srv/res/swagger-ui/");
                      EXPECT_EQ(c.FConsolePathsApache.FTemplateFiles, "/srv/res/webresources/templates/");
                      EXPECT_EQ(c.FConsolePathsDev.FSwaggerFiles, "swagger-ui/");
                    }},
        TConfigCase{"CommentsBlankLinesAndCRLF",
                    "# top\r\n[Server.Roots]\r\n\r\n; note\r\nResources=api\r\n",
                    [](const auto& c) { EXPECT_EQ(c.FServerRoots.FResources, "api"); }}),
    [](const auto& info) { return std::string(info.param.FName); });

TEST(Config, MacrosExpandFromEnvironmentAndStayWhenUnset) {
  ::setenv("ZQK", "/opt/pkgs", 1);
  ::unsetenv("TP");
  const auto c = Loaded(
      "[Data]\nDatabase=$(tp)/db.tvl\n[Server.Packages]\n$(ZQK)/demo.so=Demo\n$(zqk)/two.so=Two\n"
      "[Console.Paths.Apache]\nWebFiles=$(ZQK)/web\n");
  EXPECT_EQ(c.FData.FDatabase, "$(tp)/db.tvl");
  ASSERT_EQ(c.FServerPackages.FPackages.size(), 2u);
  EXPECT_EQ(c.FServerPackages.FPackages[0].first, "/opt/pkgs/demo.so");
  EXPECT_EQ(c.FServerPackages.FPackages[0].second, "Demo");
  EXPECT_EQ(c.FServerPackages.FPackages[1].first, "/opt/pkgs/two.so");
  EXPECT_EQ(c.FConsolePathsApache.FWebFiles, "/opt/pkgs/web");
  ::unsetenv("ZQK");
  const auto unset = Loaded("[Server.Packages]\n$(ZQK)/demo.so=Demo\n");
  EXPECT_EQ(unset.FServerPackages.FPackages[0].first, "$(ZQK)/demo.so");
}

TEST(Config, FileLookupOverrideAndLoadOnce) {
  TTempDir dir;
  WriteTextFile(dir.File("a.ini"), "[Server.Keys]\nApplicationID=first\n");
  TKelvoConfiguration config(dir.File("a.ini"));
  EXPECT_EQ(config.GetConfigFileName(), dir.File("a.ini"));
  EXPECT_TRUE(config.GetConfigFileExists());
  config.Load();
  EXPECT_EQ(config.FServerKeys.FApplicationId, "first");
  WriteTextFile(dir.File("a.ini"), "[Server.Keys]\nApplicationID=second\n");
  config.Load();  // loads once
  EXPECT_EQ(config.FServerKeys.FApplicationId, "first");
  config.Reload();
  EXPECT_EQ(config.FServerKeys.FApplicationId, "second");

  TKelvoConfiguration missing(dir.File("none.ini"));
  EXPECT_FALSE(missing.GetConfigFileExists());
  missing.Load();
  EXPECT_EQ(missing.FData.FDatabase, "kelvoserver.tvl");
}

TEST(Config, WithoutOverrideLooksBesideTheModuleThenInEtc) {
  const std::string beside = TKelvoConfiguration::CurrentDirectory() + "kelvoserver.ini";
  std::remove(beside.c_str());
  EXPECT_EQ(TKelvoConfiguration().GetConfigFileName(), "/etc/kelvoserver/kelvoserver.ini");
  WriteTextFile(beside, "[Server.Keys]\nApplicationID=beside\n");
  TKelvoConfiguration config;
  EXPECT_EQ(config.GetConfigFileName(), beside);
  config.Load();
  EXPECT_EQ(config.FServerKeys.FApplicationId, "beside");
  std::remove(beside.c_str());
  // A relative override is taken against the module's directory.
  EXPECT_EQ(TKelvoConfiguration("sub/../x.ini").GetConfigFileName(), TKelvoConfiguration::CurrentDirectory() + "x.ini");
}

TEST(Config, UpdateWritesSingleKeysAndKeepsTheRest) {
  TTempDir dir;
  WriteTextFile(dir.File("k.ini"), "; keep me\n[Data]\nDatabase=old.tvl\n[Server.Keys]\nAppSecret=s\n");
  TKelvoConfiguration config(dir.File("k.ini"));
  config.Load();
  config.Update([](TConfigurationWriter& w) {
    w.WriteDBFileName("new.tvl");
    w.WriteDBUserName("admin");
  });
  EXPECT_EQ(config.FData.FDatabase, "old.tvl");  // loaded values do not change
  const std::string text = ReadTextFile(dir.File("k.ini"));
  EXPECT_NE(text.find("; keep me"), std::string::npos);
  config.Reload();
  EXPECT_EQ(config.FData.FDatabase, "new.tvl");
  EXPECT_EQ(config.FData.FUsername, "admin");
  EXPECT_EQ(config.FServerKeys.FAppSecret, "s");
}
