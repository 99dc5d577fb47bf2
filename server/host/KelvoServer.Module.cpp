#include "KelvoServer.Module.h"

#include <functional>
#include <memory>
#include <vector>

#include "KelvoHosting.APIDocResource.h"
#include "KelvoHosting.ExtensionsServices.h"
#include "KelvoHosting.LoggingService.h"
#include "KelvoHosting.ResourceManager.h"
#include "KelvoServer.ACL.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.BaseDAO.h"
#include "KelvoServer.Config.h"
#include "KelvoServer.ExtensionsServices.h"
#include "KelvoServer.GroupsResource.h"
#include "KelvoServer.LogWriter.h"
#include "KelvoServer.Redirect.h"
#include "KelvoServer.UsersResource.h"
#include "KelvoServer.VersionResource.h"
#include "KelvoServer.WebvaneModule.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Services.h"

namespace {

bool GStarted = false;

/// The endpoint environment of this server: multi-tenant mode and trace messages.
class TKelvoEndpointEnvironmentImp : public TKelvoEndpointEnvironment {
 public:
  bool MultiTenantMode() const override { return KelvoConfig().FServerTenants.FMultiTenantMode; }
  void LogMessage(const std::string& text) override {
    if (!KelvoLoggingEnabled()) return;
    rapidjson::Document record;
    record.SetObject();
    AddMember(record, "Message", text, record.GetAllocator());
    KelvoLog("Trace", record);
  }
};

void InstallEndpointFactories() {
  TKelvoEndpointManager::FEndpointManagerFactory = [] { return std::make_unique<TKelvoEndpointManagerImpl>(); };
  TKelvoEndpointAuthorization::FEndpointAuthorizationFactory = [] {
    return std::make_unique<TKelvoEndpointAuthorizationImpl>();
  };
  TKelvoEndpointEnvironment::FEnvironmentFactory = [] { return std::make_unique<TKelvoEndpointEnvironmentImp>(); };
}

// The pipeline reaches sessions, users and tenants through these hooks. A hook installed before
// start-up (an embedding host, a test double) is kept; the ones installed here are removed at
// shut-down, so a reloaded module starts clean.
std::vector<std::function<void()>> GInstalledHookResets;

template <class THook, class TImpl>
void InstallHook(THook& hook, TImpl impl) {
  if (hook) return;
  hook = std::move(impl);
  GInstalledHookResets.push_back([&hook] { hook = nullptr; });
}

void InstallRequestServices() {
  auto& services = KelvoRequestServices();
  InstallHook(services.UserIDOfSession, [](IKelvoHostContext*, const std::string& token, const std::string& tenant,
                                           std::string& user_id) {
    return TServerAPIHelpers::UserIDOfSession(nullptr, token, tenant, user_id);
  });
  InstallHook(services.UserNameOfID, [](IKelvoHostContext*, const std::string& user_id, const std::string& tenant,
                                        std::string& user_name) {
    return TServerAPIHelpers::UserNameOfID(nullptr, user_id, tenant, user_name);
  });
  InstallHook(services.GetGroupsByUser,
              [](IKelvoHostContext*, const std::string& user_id, const std::string& tenant) {
                return TServerAPIHelpers::GetGroupsByUser(nullptr, user_id, tenant);
              });
  InstallHook(services.IsUserBelongsToTenant, &TServerAPIHelpers::IsUserBelongsToTenant);
  InstallHook(services.GetTenantName, &TServerAPIHelpers::GetTenantNameByTenantId);
  InstallHook(services.GetDefaultTenantId, [] { return TServerAPIHelpers::GetDefaultTenantId(nullptr); });
  InstallHook(services.ValidateTenant,
              [](const std::string& tenant) { return TServerAPIHelpers::ValidateTenant(nullptr, tenant); });
  InstallHook(services.ValidateTenantWithSecret, [](const std::string& tenant, const std::string& secret) {
    return TServerAPIHelpers::ValidateTenant(nullptr, tenant, secret);
  });
}

void RemoveRequestServices() {
  for (auto& reset : GInstalledHookResets) reset();
  GInstalledHookResets.clear();
}

void LogStartupError(const std::exception& e) {
  if (!KelvoLoggingEnabled()) return;
  rapidjson::Document record;
  record.SetObject();
  auto& a = record.GetAllocator();
  AddMember(record, "Type", "Other", a);
  AddMember(record, "Exception", ExceptionClassName(e), a);
  AddMember(record, "Message", e.what(), a);
  KelvoLog("Error", record);
}

void RegisterRedirects() {
  for (const auto& [name, value] : KelvoConfig().FServerRedirect.FRedirect)
    TKelvoEndpointRedirect::Instance().RegisterFromConfig(name, value);
}

void RegisterBuiltInResources() {
  TVersionResource::Register();
  TAPIDocResource::Register();
  TUsersResource::Register();
  TGroupsResource::Register();
}

// First start-up notification: everything requests are routed to. A failing step ends it.
void ModuleStartupNotification() {
  try {
    RegisterACLs();
    RegisterRedirects();
    RegisterBuiltInResources();
  } catch (const std::exception& e) {
    LogStartupError(e);
    throw;
  }
}

void ModuleShutdownNotification() {
  TKelvoEndpointEnvironment::ReleaseInstance();
  TKelvoEndpointManager::ReleaseInstance();
  TKelvoEndpointAuthorization::ReleaseInstance();
  TKelvoEndpointRedirect::ReleaseInstance();
}

void SetUpLogging() {
  const TLogging& logging = KelvoConfig().FServerLogging;
  // A relative log file lives beside the configuration (the server's working directory is "/").
  std::string file_name = logging.FFileName;
  if (!file_name.empty() && file_name[0] != '/') {
    const std::string config = KelvoConfig().GetConfigFileName();
    const auto slash = config.rfind('/');
    if (slash != std::string::npos) file_name = config.substr(0, slash + 1) + file_name;
  }
  if (auto setup = KelvoServices().Get<IKelvoLoggingSetupService>()) setup->SetupFileOutput(file_name, logging.FAppend);
  if (KelvoLoggingEnabled()) {
    rapidjson::Document record;
    record.SetObject();
    AddMember(record, "Filename", KelvoConfig().GetConfigFileName(), record.GetAllocator());
    record.AddMember("Exists", KelvoConfig().GetConfigFileExists(), record.GetAllocator());
    KelvoLog("ConfigLoaded", record);
  }
}

void AddDatabaseConnection() {
  TConnectionObject::AddStandardConnectionDefs();
  if (KelvoLoggingEnabled()) {
    rapidjson::Document record;
    record.SetObject();
    AddMember(record, "InstanceName", KelvoConfig().FData.FInstanceName, record.GetAllocator());
    AddMember(record, "Filename", KelvoConfig().FData.FDatabase, record.GetAllocator());
    KelvoLog("DBConnection", record);
  }
}

}  // namespace

std::string HandlerNameOfModuleFile(const std::string& file_name) {
  std::string name = LowerCase(file_name);
  const auto slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const auto dot = name.find('.');
  if (dot != std::string::npos) name.erase(dot);
  return name + "-handler";
}

void KelvoServerStartup(const std::string& config_file) {
  if (GStarted) return;
  GStarted = true;

  // What the module's units set up before anything runs.
  InstallEndpointFactories();
  TUsersResource::RegisterAllowCreator();
  TGroupsResource::RegisterAllowCreator();
  InstallRequestServices();
  KelvoServices().Add<IKelvoSegmentsService>(std::make_shared<TKelvoSegmentsService>());
  RegisterKelvoLoggingService();
  auto application = std::make_shared<TKelvoApplicationService>();
  application->AddStartupNotification(ModuleStartupNotification);
  application->AddShutdownNotification(ModuleShutdownNotification);
  KelvoServices().Add<IKelvoApplicationService>(application);
  ResetKelvoConfig(config_file);

  try {
    KelvoConfig().Load();
    SetUpLogging();
    KelvoWebApplication().SetMaxConnections(KelvoConfig().FServerLimits.FMaxConnections);
    AddDatabaseConnection();
    TKelvoLogWriter::Startup();
    if (auto service = KelvoServices().Get<IKelvoApplicationService>()) service->Startup();
  } catch (...) {
    // The server still runs: with defaults, and with whatever was registered before the failure.
  }
}

void KelvoServerShutdown() {
  if (!GStarted) return;
  GStarted = false;
  try {
    if (auto service = KelvoServices().Get<IKelvoApplicationService>()) service->Shutdown();
  } catch (...) {
    // Shut-down must finish: what follows releases the rest.
  }
  try {
    KelvoLoggingShutdown();  // writes the analytics rows still queued, then stops the writer
  } catch (...) {
  }
  // The log file is closed before the database: closing the last connection makes the engine
  // write its cache out, which can take longer than Apache waits for a stopping child.
  UnregisterKelvoLoggingService();  // closes the log file's document
  try {
    TConnectionObject::CloseStandardConnectionDefs();
  } catch (...) {
    // The pool is gone with the process in any case.
  }
  RemoveRequestServices();
  KelvoServices().Clear();
}
