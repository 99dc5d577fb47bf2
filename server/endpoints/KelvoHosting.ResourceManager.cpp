#include "KelvoHosting.ResourceManager.h"

#include <algorithm>
#include <cctype>

#include "KelvoHosting.Helpers.h"
#include "KelvoServer.IniFile.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Resource.h"
#include "KelvoServerAPI.Services.h"

std::vector<TKelvoResource*> TKelvoEndpointManagerImpl::GetResources() const {
  std::vector<TKelvoResource*> resources;
  resources.reserve(FResources.size());
  for (const auto& r : FResources) resources.push_back(r.get());
  return resources;
}

void TKelvoEndpointManagerImpl::RegisterResource(std::unique_ptr<TKelvoResource> resource) {
  if (!resource) return;
  if (KelvoLoggingEnabled()) {
    rapidjson::Document record;
    record.SetObject();
    auto& a = record.GetAllocator();
    AddMember(record, "Resource", resource->GetName(), a);
    rapidjson::Value endpoints(rapidjson::kArrayType);
    for (const auto& name : resource->GetEndpointNames())
      endpoints.PushBack(rapidjson::Value(name.c_str(), a), a);
    record.AddMember("Endpoints", endpoints, a);
    if (KelvoLoggingResourceFunc) {
      rapidjson::Document custom;
      custom.SetObject();
      if (KelvoLoggingResourceFunc(*resource, custom)) record.Swap(custom);
    }
    KelvoLog("RegResource", record);
  }
  FResources.push_back(std::move(resource));
}

std::vector<TKelvoResource*> TKelvoEndpointManagerImpl::FindByBaseURL(const std::string& base_url) const {
  std::vector<TKelvoResource*> found;
  for (const auto& r : FResources)
    if (r->IsBaseURL(base_url)) found.push_back(r.get());
  return found;
}

TKelvoResource* TKelvoEndpointManagerImpl::FindByName(const std::string& name) const {
  TKelvoResource* found = nullptr;
  for (const auto& r : FResources) {
    if (!SameText(r->GetName(), name)) continue;
    if (found) throw EKelvoException("Duplicate");
    found = r.get();
  }
  return found;
}

TKelvoEndpointManagerImpl& EndpointManager() {
  auto* manager = dynamic_cast<TKelvoEndpointManagerImpl*>(&TKelvoEndpointManager::GetInstance());
  if (!manager) throw EKelvoException("Invalid class typecast");
  return *manager;
}

// --- authorization -----------------------------------------------------------------------------

bool TKelvoEndpointAuthorizationImpl::TLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) < std::tolower(y);
  });
}

bool LooksLikeId(const std::string& text) { return text.size() == 36 && text.find('-') == 8; }

void TKelvoEndpointAuthorizationImpl::Authorize(TEndpointContext& context, const TACL& acl) {
  using TFlag = TEndpointContext::TAuthenticatedFlag;
  if (acl.IsPublic() || context.Authenticated().Contains(TFlag::MasterSecret)) return;
  TEndpointContext::TUser* user = context.User();
  if (!user) RaiseUnauthorized();
  const std::string user_id = user->UserID();
  for (const auto& entry : acl.Users()) {
    if (entry == "*" || entry == user_id) return;
    // A name shaped like an id grants nothing by name: it could be another user's id.
    if (!LooksLikeId(entry) && entry == user->UserName()) return;
  }
  for (const auto& entry : acl.Groups()) {
    if (entry == "*") {
      if (user->Groups().GetCount() > 0) return;
    } else if (user->Groups().Contains(entry)) {
      return;
    }
  }
  if (acl.AllowCreator()) {
    TEndpointHelpers::SetCreatorRequired(context);
    return;
  }
  RaiseUnauthorized();
}

const TACL* TKelvoEndpointAuthorizationImpl::FindACL(const std::string& name) const {
  auto it = FACL.find(name);
  return it == FACL.end() ? nullptr : it->second.get();
}

void TKelvoEndpointAuthorizationImpl::RegisterACL(const std::string& name, std::unique_ptr<TACL> acl) {
  FACL[name] = std::move(acl);
}

void TKelvoEndpointAuthorizationImpl::RegisterAllowCreator(const std::string& resource,
                                                           const std::vector<std::string>& endpoints) {
  for (const auto& endpoint : endpoints) FAllowCreator[resource + "." + endpoint] = true;
}

bool TKelvoEndpointAuthorizationImpl::AllowCreator(const std::string& name) const {
  auto it = FAllowCreator.find(name);
  return it != FAllowCreator.end() && it->second;
}

std::vector<std::string> TKelvoEndpointAuthorizationImpl::AllowCreatorEndpoints(const std::string& resource) const {
  std::vector<std::string> names;
  const std::string prefix = resource + ".";
  for (const auto& [name, allowed] : FAllowCreator)
    if (name.size() > prefix.size() && SameText(name.substr(0, prefix.size()), prefix)) names.push_back(name);
  return names;
}

TKelvoEndpointAuthorizationImpl& EndpointAuthorization() {
  auto* authorization = dynamic_cast<TKelvoEndpointAuthorizationImpl*>(&TKelvoEndpointAuthorization::GetInstance());
  if (!authorization) throw EKelvoException("Invalid class typecast");
  return *authorization;
}
