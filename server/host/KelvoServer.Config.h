// The server's settings, read once from kelvoserver.ini when the module starts.
//
// One process-wide instance (`KelvoConfig()`); it is loaded before requests are served and
// only read afterwards, without locks.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "KelvoServer.IniFile.h"

using TNameValuePairs = std::vector<std::pair<std::string, std::string>>;

enum class TServerType { Unknown = 0, Dev = 1, ISAPI = 2, Apache = 3 };

struct TData {
  std::string FDatabase;
  std::string FUsername;
  std::string FPassword;
  std::string FSEPassword;
  bool FPooled = true;
  int FPooledMax = 0;
  std::string FInstanceName;
};

struct TConsoleLogin {
  std::string FUsername;
  std::string FPassword;
};

struct TServerKeys {
  std::string FApplicationId;
  std::string FAppSecret;
  std::string FMasterSecret;
};

struct THTTPConnection {
  std::string FPort;
  bool FHTTPS = false;
  std::string FKeyFile;
  std::string FRootCertFile;
  std::string FCertFile;
  std::string FKeyPassword;
};

struct TConsoleBrowser {
  std::string FLimitRows;
  std::string FDateFormat;
};

struct TConsoleCookies {
  std::string FUser;
  std::string FConsole;
};

struct TConsoleDisplayOptions {
  bool FEdgeModulesVisible = false;
};

struct TConsolePaths {
  std::string FResourceFiles;
  std::string FTemplateFiles;
  std::string FConsolePath;
  std::string FWebFiles;
  std::string FSwaggerFiles;
};

struct TServerPackages { TNameValuePairs FPackages; };
struct TServerACL { TNameValuePairs FACL; };
struct TServerRedirect { TNameValuePairs FRedirect; };
struct TServerPublicPaths { TNameValuePairs FPaths; };
struct TServerRoots { std::string FResources; };

struct TServerDevThreads {
  bool FThreadPool = false;
  int FThreadPoolSize = 0;
  int FListenQueue = 0;
  bool FKeepAlive = false;
};

struct TServerLimits {
  int FMaxConnections = 32;
  /// Largest request body accepted, in bytes; larger ones get 413 without being read.
  long long FMaxContentLength = 16LL * 1024 * 1024;
};

struct TAndroidGCMPush {
  std::string FApiURL;
  std::string FApiKey;
  std::string FProjectID;
};

struct TIOSPush {
  std::string FCertFile;
  std::string FCertFilePassword;
  bool FProductionEnvironment = false;
};

struct TEdgeHTTP {
  int FProxyPort = 0;
  std::string FProxyPassword;
  std::string FProxyHost;
  std::string FProxyUserName;
};

struct TServerTenants {
  bool FMultiTenantMode = false;
  std::string FDefaultTenantId;
  std::string FTenantIDCookieName;
};

struct TLogging {
  std::string FFileName;
  bool FAppend = true;
};

class TConfigurationWriter;

class TKelvoConfiguration {
 public:
  explicit TKelvoConfiguration(std::string override_config_file_name = {});

  /// Reads the file the first time; later calls do nothing.
  void Load();
  /// Reads the file again, unconditionally.
  void Reload();
  /// Reads settings from INI text instead of a file (tests, tools).
  void LoadFromText(const std::string& ini_text);

  std::string GetConfigFileName() const;
  bool GetConfigFileExists() const;
  void OverrideConfigFileName(const std::string& name) { FOverrideConfigFileName = name; }
  /// Directory of the module file, with a trailing "/".
  static std::string CurrentDirectory();
  /// File name of the loaded module (without directory).
  static std::string ModuleFileName();
  TServerType GetServerType() const { return TServerType::Apache; }
  const TConsolePaths& GetConsolePaths() const;
  /// Opens the configuration file for writing single keys through a `TConfigurationWriter`.
  void Update(const std::function<void(TConfigurationWriter&)>& callback);

  TData FData;
  TConsoleLogin FConsoleLogin;
  TServerKeys FServerKeys;
  THTTPConnection FServerDevConnection;
  THTTPConnection FConsoleDevConnection;
  std::string FAPICrossDomain;
  TConsoleBrowser FConsoleBrowser;
  TConsoleCookies FConsoleCookies;
  TConsoleDisplayOptions FConsoleDisplayOptions;
  TConsolePaths FConsolePathsDev;
  TConsolePaths FConsolePathsISAPI;
  TConsolePaths FConsolePathsApache;
  TServerPackages FServerPackages;
  bool FLoaded = false;
  TServerACL FServerACL;
  TServerRedirect FServerRedirect;
  TServerPublicPaths FServerPublicPaths;
  TServerRoots FServerRoots;
  std::string FOverrideConfigFileName;
  TServerDevThreads FServerDevThreads;
  TServerLimits FServerLimits;
  TAndroidGCMPush FAndroidGCMPush;
  TIOSPush FIOSPush;
  TEdgeHTTP FEdgeHTTP;
  TServerTenants FServerTenants;
  TLogging FServerLogging;
  TLogging FConsoleLogging;

 private:
  void ReadFrom(const TIniFile& ini);
};

/// Writes single keys of the configuration file (`TKelvoConfiguration::Update`).
class TConfigurationWriter {
 public:
  explicit TConfigurationWriter(TIniFile& ini) : FIni(ini) {}
  void WriteDBFileName(const std::string& value) { FIni.WriteString("Data", "Database", value); }
  void WriteDBInstanceName(const std::string& value) { FIni.WriteString("Data", "InstanceName", value); }
  void WriteDBPassword(const std::string& value) { FIni.WriteString("Data", "Password", value); }
  void WriteDBUserName(const std::string& value) { FIni.WriteString("Data", "UserName", value); }
  void WriteResourcesFiles(const std::string& value) {
    FIni.WriteString("Console.Paths.Dev", "ResourcesFiles", value);
  }

 private:
  TIniFile& FIni;
};

/// The process-wide configuration. Replaced only by `ResetKelvoConfig` (module start, tests).
TKelvoConfiguration& KelvoConfig();
/// Starts over with a fresh, unloaded configuration (graceful restarts reload the module).
void ResetKelvoConfig(const std::string& override_config_file_name = {});
