// The web module that receives every request, the request handler it uses, and the module's
// start-up and shut-down.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "KelvoHosting.RequestHandler.h"
#include "Webvane.HTTP.h"

/// What the pipeline needs of the data layer: sessions, users, groups, tenants and analytics.
/// The layers that provide them install them at module start; an operation that is not
/// installed answers "no" (no session, no tenant, no groups), and analytics are not recorded.
struct TKelvoRequestServices {
  std::function<bool(IKelvoHostContext*, const std::string& session_token, const std::string& tenant_id,
                     std::string& user_id)> UserIDOfSession;
  std::function<bool(IKelvoHostContext*, const std::string& user_id, const std::string& tenant_id,
                     std::string& user_name)> UserNameOfID;
  std::function<std::vector<std::string>(IKelvoHostContext*, const std::string& user_id,
                                         const std::string& tenant_id)> GetGroupsByUser;
  std::function<bool(const std::string& user_id, const std::string& tenant_id)> IsUserBelongsToTenant;
  std::function<std::string(const std::string& tenant_id)> GetTenantName;
  std::function<std::string()> GetDefaultTenantId;
  std::function<bool(const std::string& tenant_id)> ValidateTenant;
  std::function<bool(const std::string& tenant_id, const std::string& tenant_secret)> ValidateTenantWithSecret;
  std::function<void(const std::string& resource, const std::string& endpoint, const std::string& method,
                     const std::string& user_id, const std::string& custom, const std::string& tenant_id)> LogEndpoint;
};

/// The process-wide set, filled at start-up and only read by requests.
TKelvoRequestServices& KelvoRequestServices();

/// The pipeline's operations for web requests: configuration checks and, through the data
/// layer, sessions, users, groups, tenants and analytics.
class TWebvaneRequestHandler : public TKelvoHostRequestHandler {
 public:
  bool UserIDOfSession(IKelvoHostContext* context, const std::string& session_token, const std::string& tenant_id,
                       std::string& user_id) override;
  bool UserNameOfID(IKelvoHostContext* context, const std::string& user_id, const std::string& tenant_id,
                    std::string& user_name) override;
  std::vector<std::string> GetGroupsByUser(IKelvoHostContext* context, const std::string& user_id,
                                           const std::string& tenant_id) override;
  void CheckRequest(const std::vector<TKelvoResource*>& resources, const TKelvoHostRequestProps& props,
                    TEndpointContext::TAuthenticated& flags) override;
  void LogEndpoint(const std::string& resource, const std::string& endpoint, const std::string& method,
                   const std::string& user_id, const std::string& custom, const std::string& tenant_id) override;
  void RedirectEndpoint(TEndpointContext& context, TKelvoResource*& resource, std::string& endpoint_name) override;
  std::string GetResourcesRoot() override;
  bool IsUserBelongsToTenant(const std::string& user_id, const std::string& tenant_id) override;
  std::string GetTenantName(const std::string& tenant_id, IKelvoHostContext* context) override;
  std::string GetDefaultTenantId() override;
};

/// The web module: cross-origin answer first, then the default action, which hands every
/// request to a new TWebvaneRequestHandler; exceptions become the JSON error reply.
class TWebvaneModule1 {
 public:
  void Dispatch(TWebvaneRequest& request, TWebvaneResponse& response);

 private:
  void WebModuleBeforeDispatch(TWebvaneRequest& request, TWebvaneResponse& response);
  void WebModule1DefaultHandlerAction(TWebvaneRequest& request, TWebvaneResponse& response, bool& handled);
  void WebModuleException(std::exception_ptr error, TWebvaneRequest& request, TWebvaneResponse& response,
                          bool& handled);
};

/// The module's web application (limits concurrent requests to MaxConnections).
TWebvaneApplication& KelvoWebApplication();

/// Answers one request completely: the web application's dispatch, and the 500 page for an
/// exception that escapes it. Never throws.
void KelvoHandleWebRequest(TWebvaneRequest& request, TWebvaneResponse& response);

