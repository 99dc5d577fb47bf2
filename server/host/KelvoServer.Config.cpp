#include "KelvoServer.Config.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "KelvoServerAPI.Exceptions.h"

namespace {

// Where the configuration is looked for when there is none beside the module.
const char* const kSystemConfigFile = "/etc/kelvoserver/kelvoserver.ini";

bool FileExists(const std::string& name) {
  struct stat st {};
  return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ModulePath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname) return {};
  std::error_code ec;
  auto path = std::filesystem::weakly_canonical(info.dli_fname, ec);
  return ec ? std::string(info.dli_fname) : path.string();
}

// Replaces every occurrence of `macro` (ignoring case) by the environment variable's value;
// a variable that is unset or empty leaves the macro in place.
std::string ExpandMacro(std::string text, const std::string& macro, const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || !*value) return text;
  const std::string lower_macro = LowerCase(macro);
  std::string result;
  size_t pos = 0;
  while (pos < text.size()) {
    if (LowerCase(text.substr(pos, macro.size())) == lower_macro) {
      result += value;
      pos += macro.size();
    } else {
      result += text[pos++];
    }
  }
  return result;
}

std::string ExpandMacros(const std::string& text) {
  return ExpandMacro(ExpandMacro(text, "$(TP)", "TP"), "$(ZQK)", "ZQK");
}

std::string WithTrailingDelimiter(const std::string& path) {
  if (path.empty() || path.back() == '/') return path;
  return path + "/";
}

std::string JoinPaths(std::initializer_list<std::string> parts) {
  std::string joined;
  for (const auto& part : parts) joined += WithTrailingDelimiter(part);
  return joined;
}

// String keys whose value is empty take the default.
std::string ReadText(const TIniFile& ini, const char* section, const char* key, const std::string& def) {
  std::string value = ini.ReadString(section, key, def);
  return value.empty() ? def : value;
}

THTTPConnection ReadConnection(const TIniFile& ini, const char* section, const char* default_port) {
  THTTPConnection c;
  c.FPort = ReadText(ini, section, "Port", default_port);
  c.FHTTPS = ini.ReadBool(section, "HTTPS", false);
  c.FKeyFile = ReadText(ini, section, "KeyFile", "");
  c.FRootCertFile = ReadText(ini, section, "RootCertFile", "");
  c.FCertFile = ReadText(ini, section, "CertFile", "");
  c.FKeyPassword = ReadText(ini, section, "KeyFilePassword", "");
  return c;
}

TConsolePaths ReadConsolePaths(const TIniFile& ini, const char* section, const std::string& console_path) {
  TConsolePaths p;
  p.FResourceFiles = ExpandMacros(ReadText(ini, section, "ResourcesFiles", ""));
  p.FTemplateFiles =
      ExpandMacros(ReadText(ini, section, "TemplateFiles", JoinPaths({p.FResourceFiles, "webresources", "templates"})));
  p.FWebFiles = ExpandMacros(ReadText(ini, section, "WebFiles", "."));
  p.FSwaggerFiles = ExpandMacros(ReadText(ini, section, "SwaggerFiles", JoinPaths({p.FResourceFiles, "swagger-ui"})));
  p.FConsolePath = console_path;
  return p;
}

TLogging ReadLogging(const TIniFile& ini, const char* section) {
  TLogging l;
  l.FFileName = ReadText(ini, section, "FileName", "");
  l.FAppend = ini.ReadBool(section, "Append", true);
  return l;
}

std::unique_ptr<TKelvoConfiguration>& GlobalConfig() {
  static std::unique_ptr<TKelvoConfiguration> config = std::make_unique<TKelvoConfiguration>();
  return config;
}

}  // namespace

TKelvoConfiguration::TKelvoConfiguration(std::string override_config_file_name)
    : FOverrideConfigFileName(std::move(override_config_file_name)) {
  ReadFrom(TIniFile());
}

std::string TKelvoConfiguration::CurrentDirectory() {
  const std::string path = ModulePath();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string TKelvoConfiguration::ModuleFileName() {
  const std::string path = ModulePath();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TKelvoConfiguration::GetConfigFileName() const {
  if (!FOverrideConfigFileName.empty()) {
    std::filesystem::path name(FOverrideConfigFileName);
    if (name.is_relative()) name = std::filesystem::path(CurrentDirectory()) / name;
    return name.lexically_normal().string();
  }
  const std::string beside_module = CurrentDirectory() + "kelvoserver.ini";
  if (FileExists(beside_module)) return beside_module;
  return kSystemConfigFile;
}

bool TKelvoConfiguration::GetConfigFileExists() const { return FileExists(GetConfigFileName()); }

void TKelvoConfiguration::Load() {
  if (FLoaded) return;
  Reload();
}

void TKelvoConfiguration::Reload() {
  ReadFrom(TIniFile::FromFile(GetConfigFileName()));
  FLoaded = true;
}

void TKelvoConfiguration::LoadFromText(const std::string& ini_text) {
  ReadFrom(TIniFile::FromText(ini_text));
  FLoaded = true;
}

const TConsolePaths& TKelvoConfiguration::GetConsolePaths() const {
  switch (GetServerType()) {
    case TServerType::Dev: return FConsolePathsDev;
    case TServerType::ISAPI: return FConsolePathsISAPI;
    case TServerType::Apache: return FConsolePathsApache;
    default: throw EKelvoConfigurationError("Unknown server type");
  }
}

void TKelvoConfiguration::Update(const std::function<void(TConfigurationWriter&)>& callback) {
  const std::string file_name = GetConfigFileName();
  TIniFile ini = TIniFile::FromFile(file_name);
  TConfigurationWriter writer(ini);
  callback(writer);
  ini.SaveToFile(file_name);
}

void TKelvoConfiguration::ReadFrom(const TIniFile& ini) {
  const std::string module_name = ModuleFileName();
  const std::string console_path = module_name.find(".so") != std::string::npos ? module_name : std::string();

  FData.FDatabase = ExpandMacros(ReadText(ini, "Data", "Database", "kelvoserver.tvl"));
  FData.FUsername = ReadText(ini, "Data", "UserName", "sysdba");
  FData.FPassword = ReadText(ini, "Data", "Password", "plumcrate");
  FData.FSEPassword = ReadText(ini, "Data", "SEPassword", "");
  FData.FPooled = ini.ReadBool("Data", "Pooled", true);
  FData.FPooledMax = ini.ReadInteger("Data", "PooledMax", 0);
  FData.FInstanceName = ReadText(ini, "Data", "InstanceName", "");

  FConsoleDisplayOptions.FEdgeModulesVisible = ini.ReadBool("Console.DisplayOptions", "ShowEdgeModules", false);

  FConsoleLogin.FUsername = ReadText(ini, "Console.Login", "UserName", "");
  FConsoleLogin.FPassword = ReadText(ini, "Console.Login", "Password", "");

  FServerDevConnection = ReadConnection(ini, "Server.Connection.Dev", "8080");
  FConsoleDevConnection = ReadConnection(ini, "Console.Connection.Dev", "8081");

  FAPICrossDomain = ReadText(ini, "Server.APICrossDomain", "CrossDomain", "");

  FServerKeys.FMasterSecret = ReadText(ini, "Server.Keys", "MasterSecret", "");
  FServerKeys.FAppSecret = ReadText(ini, "Server.Keys", "AppSecret", "");
  FServerKeys.FApplicationId = ReadText(ini, "Server.Keys", "ApplicationID", "");

  FConsoleBrowser.FLimitRows = ReadText(ini, "Console.Browser", "LimitRows", "15");
  FConsoleBrowser.FDateFormat = ReadText(ini, "Console.Browser", "DateFormat", "mm/dd/yyyy");

  FConsoleCookies.FUser = ReadText(ini, "Console.Cookies", "User", "KelvoConsoleUser");
  FConsoleCookies.FConsole = ReadText(ini, "Console.Cookies", "Console", "KelvoConsole");

  FConsolePathsDev = ReadConsolePaths(ini, "Console.Paths.Dev", console_path);
  FConsolePathsISAPI = ReadConsolePaths(ini, "Console.Paths.ISAPI", console_path);
  FConsolePathsApache = ReadConsolePaths(ini, "Console.Paths.Apache", console_path);

  FServerDevThreads.FThreadPool = ini.ReadBool("Server.Threads.Dev", "ThreadPool", false);
  FServerDevThreads.FThreadPoolSize = ini.ReadInteger("Server.Threads.Dev", "ThreadPoolSize", 0);
  FServerDevThreads.FListenQueue = ini.ReadInteger("Server.Threads.Dev", "ListenQueue", 0);
  FServerDevThreads.FKeepAlive = ini.ReadBool("Server.Threads.Dev", "KeepAlive", false);

  FServerLimits.FMaxConnections = ini.ReadInteger("Server.Limits", "MaxConnections", 32);
  {
    const std::string text = ReadText(ini, "Server.Limits", "MaxContentLength", "");
    long long limit = 16LL * 1024 * 1024;
    try {
      size_t used = 0;
      if (!text.empty()) {
        const long long parsed = std::stoll(text, &used);
        if (used == text.size() && parsed >= 0) limit = parsed;
      }
    } catch (const std::exception&) {
    }
    FServerLimits.FMaxContentLength = limit;
  }

  FServerTenants.FMultiTenantMode = ini.ReadBool("Server.Tenants", "MultiTenantMode", false);
  FServerTenants.FDefaultTenantId = ReadText(ini, "Server.Tenants", "DefaultTenantId", "");
  FServerTenants.FTenantIDCookieName = ReadText(ini, "Server.Tenants", "TenantIDCookieName", "TenantID");

  FServerACL.FACL = ini.ReadSectionValues("Server.Authorization");

  FAndroidGCMPush.FApiURL = ReadText(ini, "Server.Push.GCM", "APIURL", "");
  FAndroidGCMPush.FApiKey = ReadText(ini, "Server.Push.GCM", "APIKey", "");
  FAndroidGCMPush.FProjectID = ReadText(ini, "Server.Push.GCM", "ProjectID", "");

  FIOSPush.FCertFile = ReadText(ini, "Server.Push.APNS", "CertificateFileName", "");
  FIOSPush.FCertFilePassword = ReadText(ini, "Server.Push.APNS", "CertificateFilePassword", "");
  FIOSPush.FProductionEnvironment = ini.ReadBool("Server.Push.APNS", "ProductionEnvironment", false);

  FServerPackages.FPackages = ini.ReadSectionValues("Server.Packages");
  for (auto& [name, value] : FServerPackages.FPackages) name = ExpandMacros(name);

  FEdgeHTTP.FProxyPort = ini.ReadInteger("Server.EdgeHTTP", "ProxyPort", 0);
  FEdgeHTTP.FProxyHost = ReadText(ini, "Server.EdgeHTTP", "ProxyHost", "");
  FEdgeHTTP.FProxyPassword = ReadText(ini, "Server.EdgeHTTP", "ProxyPassword", "");
  FEdgeHTTP.FProxyUserName = ReadText(ini, "Server.EdgeHTTP", "ProxyUserName", "");

  FServerRoots.FResources = ReadText(ini, "Server.Roots", "Resources", "");
  FServerRedirect.FRedirect = ini.ReadSectionValues("Server.Redirect");
  FServerPublicPaths.FPaths = ini.ReadSectionValues("Server.PublicPaths");

  FServerLogging = ReadLogging(ini, "Server.Logging");
  FConsoleLogging = ReadLogging(ini, "Console.Logging");
}

TKelvoConfiguration& KelvoConfig() { return *GlobalConfig(); }

void ResetKelvoConfig(const std::string& override_config_file_name) {
  GlobalConfig() = std::make_unique<TKelvoConfiguration>(override_config_file_name);
}
