#include "KelvoHosting.ResourceManager.h"

#include "KelvoServer.IniFile.h"
#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.JSON.h"
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
