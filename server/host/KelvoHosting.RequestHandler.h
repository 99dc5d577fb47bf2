// The request pipeline: one host request becomes one call of one resource endpoint, or the
// server's JSON error reply.
//
// The pipeline is fixed; what needs configuration, the database or analytics is virtual, so the
// web module's handler and in-process callers supply it.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "KelvoHosting.RequestTypes.h"
#include "KelvoServerAPI.Resources.h"

class TEndpointContextImpl;

/// The server's request headers, read once per request.
struct TKelvoHostRequestProps {
  std::string FApplicationId;
  std::string FApiVersion;
  std::string FApiMajorVersion;
  std::string FApiMinorVersion;
  std::string FSessionToken;
  std::string FResourceURL;
  std::string FAppSecret;
  std::string FMasterSecret;
  std::string FTenantId;
  std::string FTenantSecret;

  static TKelvoHostRequestProps Read(const IKelvoHostRequest& request);
};

/// Base URL of a path: "/users/" for /users/123, "/users" for /users, "/" for / or "".
std::string ResourceURLOfPath(const std::string& path);

/// Decodes %XX escapes (and "+" as a space when `plus_as_space`); malformed escapes stay as written.
std::string URLDecode(const std::string& text, bool plus_as_space = false);

/// Forwards every operation to the original request except the path, which has the resources
/// root removed.
class TKelvoHostRequestWrapper : public IKelvoHostRequest {
 public:
  TKelvoHostRequestWrapper(std::string path_info, IKelvoHostRequestPtr original)
      : FPathInfo(std::move(path_info)), FOriginalRequest(std::move(original)) {}
  std::string GetContentType() const override { return FOriginalRequest->GetContentType(); }
  TKelvoHostMethodType GetMethodType() const override { return FOriginalRequest->GetMethodType(); }
  std::string GetPathInfo() const override { return FPathInfo; }
  TQueryFields GetQueryFields() const override { return FOriginalRequest->GetQueryFields(); }
  const TBytes& GetRawContent() const override { return FOriginalRequest->GetRawContent(); }
  std::string GetMethod() const override { return FOriginalRequest->GetMethod(); }
  long long GetContentLength() const override { return FOriginalRequest->GetContentLength(); }
  std::string GetHeader(const std::string& name) const override { return FOriginalRequest->GetHeader(name); }
  std::string GetBasePath() const override { return FOriginalRequest->GetBasePath(); }
  std::string GetServerHost() const override { return FOriginalRequest->GetServerHost(); }

 private:
  std::string FPathInfo;
  IKelvoHostRequestPtr FOriginalRequest;
};

class TKelvoHostRequestHandler {
 public:
  virtual ~TKelvoHostRequestHandler() = default;

  /// Runs the pipeline. Exceptions propagate to the caller, which hands them to HandleException.
  void HandleRequest(IKelvoHostContext* context, const IKelvoHostRequestPtr& request,
                     const IKelvoHostResponsePtr& response, bool& handled);
  /// Writes the error reply for `error` (the server's one error format).
  void HandleException(std::exception_ptr error, IKelvoHostResponse& response, bool& handled);

  // Operations the pipeline calls; public so the lazy user, groups and tenant objects reach them.
  virtual bool UserIDOfSession(IKelvoHostContext* context, const std::string& session_token,
                               const std::string& tenant_id, std::string& user_id) = 0;
  virtual bool UserNameOfID(IKelvoHostContext* context, const std::string& user_id,
                            const std::string& tenant_id, std::string& user_name) = 0;
  virtual std::vector<std::string> GetGroupsByUser(IKelvoHostContext* context, const std::string& user_id,
                                                   const std::string& tenant_id);
  virtual void CheckRequest(const std::vector<TKelvoResource*>& resources, const TKelvoHostRequestProps& props,
                            TEndpointContext::TAuthenticated& flags) = 0;
  virtual void LogEndpoint(const std::string& resource, const std::string& endpoint, const std::string& method,
                           const std::string& user_id, const std::string& custom, const std::string& tenant_id) = 0;
  virtual void RedirectEndpoint(TEndpointContext& context, TKelvoResource*& resource, std::string& endpoint_name) = 0;
  virtual std::string GetResourcesRoot();
  virtual bool IsUserBelongsToTenant(const std::string& user_id, const std::string& tenant_id) = 0;
  virtual std::string GetTenantName(const std::string& tenant_id, IKelvoHostContext* context) = 0;
  virtual std::string GetDefaultTenantId() = 0;

 private:
  void InstallContextCallbacks(TEndpointContextImpl& context, IKelvoHostContext* host_context,
                               TKelvoHostRequestProps& props, TEndpointRequest& request,
                               TEndpointResponse*& response, std::string& endpoint_name,
                               TEndpointContext::TAuthenticated& flags);
  TKelvoResource* ChooseResource(const std::vector<TKelvoResource*>& resources, TEndpointContext& context,
                                 std::string& endpoint_name);
};

/// Local date and time as text, for the "Time" member of log records.
std::string LogTimeText();
