#include "KelvoServer.WebvaneModule.h"

#include <memory>
#include <sstream>

#include "KelvoHosting.ResourceManager.h"
#include "KelvoServer.Config.h"
#include "KelvoServer.ExtensionsServices.h"
#include "KelvoServer.Redirect.h"
#include "KelvoServer.WebvaneRequestTypes.h"
#include "KelvoServerAPI.Format.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Services.h"

namespace {

const char* const kAllowHeaders =
    "Origin, X-Requested-With, Content-Type, Accept, X-Vantrel-Application-Id, X-Vantrel-App-Secret, "
    "X-Vantrel-Master-Secret, X-Vantrel-Tenant-Id, X-Vantrel-Tenant-Secret, X-Vantrel-Session-Token, "
    "X-Vantrel-Api-Version";
const char* const kAllowMethods = "GET, PUT, POST, HEAD, DELETE, PATCH";

// Reads an integer the way configuration integers are read: anything that is not a number is 0.
int LeadingInteger(const std::string& text) {
  try {
    size_t used = 0;
    const long value = std::stol(text, &used);
    if (used != text.size()) return 0;
    return static_cast<int>(value);
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

TKelvoRequestServices& KelvoRequestServices() {
  static TKelvoRequestServices services;
  return services;
}

// --- request handler ---------------------------------------------------------------------------

bool TWebvaneRequestHandler::UserIDOfSession(IKelvoHostContext* context, const std::string& session_token,
                                             const std::string& tenant_id, std::string& user_id) {
  return KelvoRequestServices().UserIDOfSession
             ? KelvoRequestServices().UserIDOfSession(context, session_token, tenant_id, user_id)
             : false;
}

bool TWebvaneRequestHandler::UserNameOfID(IKelvoHostContext* context, const std::string& user_id,
                                          const std::string& tenant_id, std::string& user_name) {
  return KelvoRequestServices().UserNameOfID
             ? KelvoRequestServices().UserNameOfID(context, user_id, tenant_id, user_name)
             : false;
}

std::vector<std::string> TWebvaneRequestHandler::GetGroupsByUser(IKelvoHostContext* context,
                                                                  const std::string& user_id,
                                                                  const std::string& tenant_id) {
  return KelvoRequestServices().GetGroupsByUser ? KelvoRequestServices().GetGroupsByUser(context, user_id, tenant_id)
                                                : std::vector<std::string>();
}

bool TWebvaneRequestHandler::IsUserBelongsToTenant(const std::string& user_id, const std::string& tenant_id) {
  return KelvoRequestServices().IsUserBelongsToTenant ? KelvoRequestServices().IsUserBelongsToTenant(user_id, tenant_id)
                                                      : false;
}

std::string TWebvaneRequestHandler::GetTenantName(const std::string& tenant_id, IKelvoHostContext* context) {
  return KelvoRequestServices().GetTenantName ? KelvoRequestServices().GetTenantName(tenant_id) : std::string();
}

void TWebvaneRequestHandler::LogEndpoint(const std::string& resource, const std::string& endpoint,
                                         const std::string& method, const std::string& user_id,
                                         const std::string& custom, const std::string& tenant_id) {
  if (KelvoRequestServices().LogEndpoint)
    KelvoRequestServices().LogEndpoint(resource, endpoint, method, user_id, custom, tenant_id);
}

void TWebvaneRequestHandler::CheckRequest(const std::vector<TKelvoResource*>& resources,
                                          const TKelvoHostRequestProps& props,
                                          TEndpointContext::TAuthenticated& flags) {
  using TFlag = TEndpointContext::TAuthenticatedFlag;
  const TKelvoConfiguration& config = KelvoConfig();

  // B1: tenant.
  if (!props.FTenantId.empty()) {
    if (!config.FServerTenants.FMultiTenantMode)
      RaiseUnauthorized("", "Tenant may be specified only for Multi Tenant Mode.");
    const auto& validate = KelvoRequestServices().ValidateTenantWithSecret;
    if (!validate || !validate(props.FTenantId, props.FTenantSecret))
      RaiseUnauthorized("", "Enter the valid values for Tenant ID and Tenant Secret.");
    flags.Include(TFlag::Tenant);
  }

  // B2: API version, except for the version resource, which answers every client.
  const bool version_only = resources.size() == 1 && SameText(resources[0]->GetName(), "version");
  if (!version_only && !props.FApiVersion.empty()) {
    const int major = LeadingInteger(props.FApiMajorVersion);
    if (major < 1 || major > 2)
      RaiseBadRequest("", Format("Request version number not supported: %s", {props.FApiVersion}));
  }

  // B3: application id.
  if (props.FApplicationId != config.FServerKeys.FApplicationId) {
    if (!props.FApplicationId.empty())
      RaiseNotFound("", Format("Request has unknown application id: %s", {props.FApplicationId}));
    RaiseBadRequest("", "Application id missing from request");
  }

  // B4, B5: the master secret, when sent, decides alone; otherwise the app secret.
  if (!props.FMasterSecret.empty()) {
    if (props.FMasterSecret != config.FServerKeys.FMasterSecret) RaiseUnauthorized();
    flags.Include(TFlag::MasterSecret);
  } else {
    if (props.FAppSecret != config.FServerKeys.FAppSecret) RaiseUnauthorized();
    flags.Include(TFlag::AppSecret);
  }
}

void TWebvaneRequestHandler::RedirectEndpoint(TEndpointContext& context, TKelvoResource*& resource,
                                              std::string& endpoint_name) {
  std::string destination;
  if (!TRedirectHelpers::FindRedirect(resource->GetName(), endpoint_name, destination)) return;
  const std::string old_resource = resource->GetName();
  const std::string old_endpoint = endpoint_name;
  TKelvoResource* target = EndpointManager().FindByName(destination);
  if (!target) RaiseNotFound("", Format("Redirect resource not found: %s", {destination}));
  std::string new_endpoint;
  if (!target->CanHandleRequest(context, new_endpoint))
    RaiseNotFound("", Format("Redirect resource \"%s\" does not have an endpoint to handle request",
                             {target->GetName()}));
  resource = target;
  endpoint_name = new_endpoint;
  if (KelvoLoggingEnabled()) {
    rapidjson::Document record;
    record.SetObject();
    auto& a = record.GetAllocator();
    AddMember(record, "Resource", old_resource, a);
    AddMember(record, "Endpoint", old_endpoint, a);
    AddMember(record, "DestinationResource", target->GetName(), a);
    AddMember(record, "DestinationEndpoint", new_endpoint, a);
    AddMember(record, "Time", LogTimeText(), a);
    KelvoLog("Redirect", record);
  }
}

std::string TWebvaneRequestHandler::GetResourcesRoot() { return KelvoConfig().FServerRoots.FResources; }

std::string TWebvaneRequestHandler::GetDefaultTenantId() {
  const TKelvoConfiguration& config = KelvoConfig();
  if (config.FServerTenants.FMultiTenantMode) return {};
  const std::string& configured = config.FServerTenants.FDefaultTenantId;
  if (configured.empty())
    return KelvoRequestServices().GetDefaultTenantId ? KelvoRequestServices().GetDefaultTenantId() : std::string();
  const auto& validate = KelvoRequestServices().ValidateTenant;
  if (!validate || !validate(configured)) RaiseUnauthorized("", "Default Tenant ID is not valid.");
  return configured;
}

// --- web module --------------------------------------------------------------------------------

void TWebvaneModule1::WebModuleBeforeDispatch(TWebvaneRequest& request, TWebvaneResponse& response) {
  const std::string& cross_domain = KelvoConfig().FAPICrossDomain;
  if (!cross_domain.empty()) response.SetCustomHeader("Access-Control-Allow-Origin", cross_domain);
  if (request.FMethod == "OPTIONS") {
    response.SetCustomHeader("Access-Control-Allow-Headers", kAllowHeaders);
    response.SetCustomHeader("Access-Control-Allow-Methods", kAllowMethods);
    response.SendResponse();
  }
}

void TWebvaneModule1::WebModule1DefaultHandlerAction(TWebvaneRequest& request, TWebvaneResponse& response,
                                                     bool& handled) {
  // A body over the limit was never read: refuse it before anything looks at it.
  if (request.FContentTooLarge)
    RaiseError(413, "", Format("Request body larger than %s bytes", {KelvoConfig().FServerLimits.FMaxContentLength}));
  auto host_response = std::make_shared<TWebvaneServerWebResponse>(response, request);
  IKelvoHostRequestPtr host_request = host_response->GetRequest();
  TWebvaneRequestHandler handler;
  handler.HandleRequest(nullptr, host_request, host_response, handled);
}

void TWebvaneModule1::WebModuleException(std::exception_ptr error, TWebvaneRequest& request,
                                         TWebvaneResponse& response, bool& handled) {
  TWebvaneServerWebResponse host_response(response, request);
  TWebvaneRequestHandler handler;
  handler.HandleException(error, host_response, handled);
}

void TWebvaneModule1::Dispatch(TWebvaneRequest& request, TWebvaneResponse& response) {
  bool handled = false;
  try {
    WebModuleBeforeDispatch(request, response);
    if (response.FSent) return;
    // The default action serves every path (static-file dispatchers come before it when
    // public paths are configured).
    WebModule1DefaultHandlerAction(request, response, handled);
  } catch (...) {
    WebModuleException(std::current_exception(), request, response, handled);
  }
}

// --- application -------------------------------------------------------------------------------

TWebvaneApplication& KelvoWebApplication() {
  static TWebvaneApplication application([](TWebvaneRequest& request, TWebvaneResponse& response) {
    TWebvaneModule1 module;
    module.Dispatch(request, response);
  });
  return application;
}

void KelvoHandleWebRequest(TWebvaneRequest& request, TWebvaneResponse& response) {
  try {
    KelvoWebApplication().HandleRequest(request, response);
  } catch (const std::exception& e) {
    response = TWebvaneResponse();
    response.FStatusCode = 500;
    response.FContentType = "text/html";
    response.FContentStream = std::make_unique<std::istringstream>(InternalServerErrorPage(ExceptionClassName(e), e.what()));
  } catch (...) {
    response = TWebvaneResponse();
    response.FStatusCode = 500;
    response.FContentType = "text/html";
    response.FContentStream = std::make_unique<std::istringstream>(InternalServerErrorPage("", ""));
  }
}
