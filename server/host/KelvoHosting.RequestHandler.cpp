#include "KelvoHosting.RequestHandler.h"

#include <cctype>
#include <sstream>
#include <ctime>
#include <sstream>

#include "KelvoHosting.Endpoints.h"
#include "KelvoServer.IniFile.h"
#include "KelvoServerAPI.Format.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Services.h"

using TFlag = TEndpointContext::TAuthenticatedFlag;

// --- request properties ------------------------------------------------------------------------

std::string URLDecode(const std::string& text, bool plus_as_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (c == '+' && plus_as_space) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string ResourceURLOfPath(const std::string& path) {
  const auto segments = SplitPathSegments(path);
  if (segments.empty()) return "/";
  if (segments[0] != "/") return segments[0];
  if (segments.size() < 2) return "/";
  return "/" + segments[1];
}

TKelvoHostRequestProps TKelvoHostRequestProps::Read(const IKelvoHostRequest& request) {
  TKelvoHostRequestProps p;
  p.FApplicationId = request.GetHeader("X-Vantrel-Application-Id");
  p.FApiVersion = request.GetHeader("X-Vantrel-Api-Version");
  const auto dot = p.FApiVersion.find('.');
  if (dot == std::string::npos || dot == 0) {
    p.FApiMajorVersion = p.FApiVersion;
  } else {
    p.FApiMajorVersion = p.FApiVersion.substr(0, dot);
    p.FApiMinorVersion = p.FApiVersion.substr(dot + 1);
  }
  p.FSessionToken = request.GetHeader("X-Vantrel-Session-Token");
  p.FResourceURL = ResourceURLOfPath(request.GetPathInfo());
  p.FAppSecret = request.GetHeader("X-Vantrel-App-Secret");
  p.FMasterSecret = request.GetHeader("X-Vantrel-Master-Secret");
  p.FTenantId = URLDecode(request.GetHeader("X-Vantrel-Tenant-Id"));
  // A GUID in braces ("{...}", 38 characters) names the tenant without its braces.
  if (p.FTenantId.size() > 32 && p.FTenantId.front() == '{' && p.FTenantId.back() == '}')
    p.FTenantId = p.FTenantId.substr(1, p.FTenantId.size() - 2);
  p.FTenantSecret = URLDecode(request.GetHeader("X-Vantrel-Tenant-Secret"));
  return p;
}

std::string LogTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// --- lazy user, groups and tenant --------------------------------------------------------------

namespace {

class TGroupsImpl : public TEndpointContext::TGroups {
 public:
  TGroupsImpl(IKelvoHostContext* context, TKelvoHostRequestHandler& handler, std::string user_id,
              std::string tenant_id)
      : FContext(context), FRequestHandler(handler), FUserID(std::move(user_id)), FTenantId(std::move(tenant_id)) {}
  bool Contains(const std::string& name) override {
    for (const auto& group : Load())
      if (group == name) return true;
    return false;
  }
  int GetCount() override { return static_cast<int>(Load().size()); }
  std::vector<std::string> ToArray() override { return Load(); }

 private:
  const std::vector<std::string>& Load() {
    if (!FLoaded) {
      FGroups = FRequestHandler.GetGroupsByUser(FContext, FUserID, FTenantId);
      FLoaded = true;
    }
    return FGroups;
  }
  IKelvoHostContext* FContext;
  TKelvoHostRequestHandler& FRequestHandler;
  std::string FUserID;
  std::string FTenantId;
  std::vector<std::string> FGroups;
  bool FLoaded = false;
};

class TUserImpl : public TEndpointContext::TUser {
 public:
  TUserImpl(IKelvoHostContext* context, TKelvoHostRequestHandler& handler, TEndpointContext& endpoint_context,
            std::string user_id, std::string session_token)
      : FContext(context),
        FRequestHandler(handler),
        FEndpointContext(endpoint_context),
        FUserID(std::move(user_id)),
        FSessionToken(std::move(session_token)) {}
  std::string UserID() const override { return FUserID; }
  std::string SessionToken() const override { return FSessionToken; }
  std::string UserName() override {
    if (!FUserNameLoaded) {
      if (!FRequestHandler.UserNameOfID(FContext, FUserID, TenantId(), FUserName)) RaiseNotFound();
      FUserNameLoaded = true;
    }
    return FUserName;
  }
  TEndpointContext::TGroups& Groups() override {
    if (!FGroups) FGroups = std::make_unique<TGroupsImpl>(FContext, FRequestHandler, FUserID, TenantId());
    return *FGroups;
  }

 private:
  std::string TenantId() {
    auto* tenant = FEndpointContext.Tenant();
    return tenant ? tenant->Id() : std::string();
  }
  IKelvoHostContext* FContext;
  TKelvoHostRequestHandler& FRequestHandler;
  TEndpointContext& FEndpointContext;
  std::string FUserID;
  std::string FUserName;
  bool FUserNameLoaded = false;
  std::string FSessionToken;
  std::unique_ptr<TGroupsImpl> FGroups;
};

class TTenantImpl : public TEndpointContext::TTenant {
 public:
  TTenantImpl(IKelvoHostContext* context, TKelvoHostRequestHandler& handler, std::string tenant_id)
      : FContext(context), FRequestHandler(handler), FTenantId(std::move(tenant_id)) {}
  std::string Id() const override { return FTenantId; }
  std::string Name() override { return FRequestHandler.GetTenantName(FTenantId, FContext); }

 private:
  IKelvoHostContext* FContext;
  TKelvoHostRequestHandler& FRequestHandler;
  std::string FTenantId;
};

class TEdgemoduleImpl : public TEndpointContext::TEdgemodule {
 public:
  explicit TEdgemoduleImpl(IKelvoEdgeHostContext& context) : FContext(context) {}
  std::string ModuleName() override { return FContext.GetModuleName(); }
  std::string ModuleVersion() override { return FContext.GetModuleVersion(); }

 private:
  IKelvoEdgeHostContext& FContext;
};

rapidjson::Document NewRecord() {
  rapidjson::Document record;
  record.SetObject();
  return record;
}

void LogRequest(const std::string& resource, const std::string& endpoint, const std::string& method,
                const std::string& user_id) {
  if (!KelvoLoggingEnabled()) return;
  auto record = NewRecord();
  auto& a = record.GetAllocator();
  AddMember(record, "Resource", resource, a);
  AddMember(record, "Endpoint", endpoint, a);
  AddMember(record, "Method", method, a);
  AddMember(record, "User", user_id.empty() ? "(blank)" : user_id, a);
  AddMember(record, "Time", LogTimeText(), a);
  KelvoLog("Request", record);
}

void LogHTTPError(int code, const std::string& reason, const std::string& error, const std::string& description) {
  if (!KelvoLoggingEnabled()) return;
  auto record = NewRecord();
  auto& a = record.GetAllocator();
  AddMember(record, "Type", "HTTP", a);
  AddMember(record, "Code", std::to_string(code), a);
  AddMember(record, "Reason", reason, a);
  AddMember(record, "Error", error, a);
  AddMember(record, "Description", description, a);
  KelvoLog("Error", record);
}

}  // namespace

// --- pipeline ----------------------------------------------------------------------------------

std::vector<std::string> TKelvoHostRequestHandler::GetGroupsByUser(IKelvoHostContext*, const std::string&,
                                                                    const std::string&) {
  return {};
}

std::string TKelvoHostRequestHandler::GetResourcesRoot() { return {}; }

void TKelvoHostRequestHandler::InstallContextCallbacks(TEndpointContextImpl& context, IKelvoHostContext* host_context,
                                                       TKelvoHostRequestProps& props, TEndpointRequest& request,
                                                       TEndpointResponse*& response, std::string& endpoint_name,
                                                       TEndpointContext::TAuthenticated& flags) {
  // Tenant: the header's, else the default tenant (which is then also what analytics records).
  context.FOnGetTenant = [this, host_context, &props](TEndpointContextImpl&) -> std::unique_ptr<TEndpointContext::TTenant> {
    if (props.FTenantId.empty()) props.FTenantId = GetDefaultTenantId();
    if (props.FTenantId.empty()) return nullptr;
    return std::make_unique<TTenantImpl>(host_context, *this, props.FTenantId);
  };
  // User: only with a session token and a tenant. A token of another tenant's user makes the
  // request anonymous rather than failing it.
  context.FOnCreateUser = [this, host_context, &props](TEndpointContextImpl& ctx) -> std::unique_ptr<TEndpointContext::TUser> {
    if (props.FSessionToken.empty()) return nullptr;
    auto* tenant = ctx.Tenant();
    if (!tenant) return nullptr;
    std::string user_id;
    if (!UserIDOfSession(host_context, props.FSessionToken, tenant->Id(), user_id)) RaiseUnauthorized();
    if (!IsUserBelongsToTenant(user_id, tenant->Id())) return nullptr;
    return std::make_unique<TUserImpl>(host_context, *this, ctx, user_id, props.FSessionToken);
  };
  if (auto* edge = dynamic_cast<IKelvoEdgeHostContext*>(host_context)) {
    context.FOnCreateEdgemodule = [edge](TEndpointContextImpl&) -> std::unique_ptr<TEndpointContext::TEdgemodule> {
      return std::make_unique<TEdgemoduleImpl>(*edge);
    };
  }
  context.FOnGetRequest = [&request] { return &request; };
  context.FOnGetResponse = [&response] { return response; };
  context.FOnGetEndpointName = [&endpoint_name] { return endpoint_name; };
  context.FOnGetAuthenticated = [&context, &flags] {
    auto result = flags;
    if (context.User()) result.Include(TFlag::User);
    return result;
  };
}

TKelvoResource* TKelvoHostRequestHandler::ChooseResource(const std::vector<TKelvoResource*>& resources,
                                                         TEndpointContext& context, std::string& endpoint_name) {
  TKelvoResource* chosen = nullptr;
  for (auto* resource : resources) {
    std::string name;
    if (!resource->CanHandleRequest(context, name)) continue;
    if (chosen) RaiseError(500, "Resource error", "Unable to resolve request to a single endpoint");
    chosen = resource;
    endpoint_name = name;
  }
  return chosen;
}

void TKelvoHostRequestHandler::HandleRequest(IKelvoHostContext* context, const IKelvoHostRequestPtr& request,
                                             const IKelvoHostResponsePtr& response, bool& handled) {
  // A1: per-request state.
  TEndpointContext::TAuthenticated flags;
  std::string path = request->GetPathInfo();
  bool match = true;

  // A2: the resources root.
  if (!path.empty()) {
    std::string root = GetResourcesRoot();
    if (!root.empty()) {
      if (root[0] != '/' && path[0] == '/') root.insert(0, "/");
      while (!root.empty() && root.back() == '/') root.pop_back();
      if (path.size() >= root.size() && SameText(path.substr(0, root.size()), root))
        path.erase(0, root.size());
      else
        match = false;
    }
  }

  // A3: the request properties over the path without the root.
  auto wrapper = std::make_shared<TKelvoHostRequestWrapper>(path, request);
  TKelvoHostRequestProps props = TKelvoHostRequestProps::Read(*wrapper);

  // A4: resources for the base URL, and the key, version and tenant checks.
  std::vector<TKelvoResource*> resources;
  if (match) {
    for (auto* resource : TKelvoEndpointManager::GetInstance().GetResources())
      if (resource->IsBaseURL(props.FResourceURL)) resources.push_back(resource);
    CheckRequest(resources, props, flags);
  }

  // A5: nothing registered for the base URL.
  if (resources.empty()) {
    if (props.FResourceURL == "/") {
      response->SetStatusCode(200);
      handled = true;
      return;
    }
    if (SameText(props.FResourceURL, "/favicon.ico")) {
      response->SetStatusCode(404);
      handled = true;
      return;
    }
    RaiseNotFound(Format("Resource not found: %s", {path}), "");
  }

  // A6: endpoint request and context (A15: all released when this function ends).
  TEndpointRequestImpl endpoint_request(wrapper);
  std::unique_ptr<TEndpointResponseImpl> endpoint_response;
  TEndpointResponse* response_ref = nullptr;
  std::string endpoint_name;
  TEndpointContextImpl endpoint_context;
  InstallContextCallbacks(endpoint_context, context, props, endpoint_request, response_ref, endpoint_name, flags);

  // A7 to A9: one resource, perhaps redirected.
  TKelvoResource* resource = ChooseResource(resources, endpoint_context, endpoint_name);
  if (resource) RedirectEndpoint(endpoint_context, resource, endpoint_name);
  if (!resource) RaiseNotFound("", Format("Resource not found: %s", {path}));

  // A10, A11: resolve the session (every request with a token has it checked) and log.
  std::string user_id;
  if (auto* user = endpoint_context.User()) user_id = user->UserID();
  LogRequest(resource->GetName(), endpoint_name, endpoint_request.MethodString(), user_id);

  // A12: run the endpoint and flush its response.
  endpoint_response = std::make_unique<TEndpointResponseImpl>(response);
  response_ref = endpoint_response.get();
  handled = true;
  resource->HandleRequest(endpoint_context);
  endpoint_response->Write();

  // A13, A14: analytics.
  using TDataType = TEndpointContextImpl::TEndpointDataType;
  const auto data_type = endpoint_context.EndpointDataType();
  std::string custom;
  if (data_type == TDataType::AddUser || data_type == TDataType::DeletedUser) custom = endpoint_context.EndpointDataValue();
  if ((data_type == TDataType::AddUser || data_type == TDataType::LoginUser) && user_id.empty())
    user_id = endpoint_context.EndpointDataValue();
  LogEndpoint(resource->GetName(), endpoint_name, endpoint_request.MethodString(), user_id, custom, props.FTenantId);
}

void TKelvoHostRequestHandler::HandleException(std::exception_ptr error, IKelvoHostResponse& response, bool& handled) {
  handled = true;
  int status = 500;
  std::string error_text;
  std::string description;
  try {
    std::rethrow_exception(error);
  } catch (const EKelvoHTTPError& e) {
    status = e.GetCode();
    error_text = e.GetError();
    description = e.GetDescription();
  } catch (const std::exception& e) {
    description = e.what();
  } catch (...) {
    description = "Unknown exception";
  }
  response.SetStatusCode(status);
  const std::string reason = response.GetReason();

  rapidjson::Document body;
  body.SetObject();
  AddMember(body, "error", error_text.empty() ? reason : error_text, body.GetAllocator());
  if (!description.empty()) AddMember(body, "description", description, body.GetAllocator());

  LogHTTPError(status, reason, error_text, description);

  response.SetContentType("application/json");
  response.SetContentStream(std::make_unique<std::istringstream>(JSONToText(body)));
}
