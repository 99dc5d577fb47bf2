#include "KelvoServerAPI.Resources.h"

#include "KelvoServerAPI.Exceptions.h"

namespace {

// One instance per registry, created by its factory on first use.
template <class T>
std::unique_ptr<T>& Instance() {
  static std::unique_ptr<T> instance;
  return instance;
}

template <class T>
T& GetOrCreate(const typename T::TFactory& factory, const char* what) {
  auto& instance = Instance<T>();
  if (!instance) {
    if (!factory) throw EKelvoException(std::string("No factory for the ") + what);
    instance = factory();
  }
  return *instance;
}

}  // namespace

TKelvoEndpointManager::TFactory TKelvoEndpointManager::FEndpointManagerFactory;
TKelvoEndpointAuthorization::TFactory TKelvoEndpointAuthorization::FEndpointAuthorizationFactory;
TKelvoEndpointEnvironment::TFactory TKelvoEndpointEnvironment::FEnvironmentFactory;

TKelvoEndpointManager& TKelvoEndpointManager::GetInstance() {
  return GetOrCreate<TKelvoEndpointManager>(FEndpointManagerFactory, "endpoint manager");
}
void TKelvoEndpointManager::ReleaseInstance() { Instance<TKelvoEndpointManager>().reset(); }
bool TKelvoEndpointManager::HasInstance() { return Instance<TKelvoEndpointManager>() != nullptr; }

TKelvoEndpointAuthorization& TKelvoEndpointAuthorization::GetInstance() {
  return GetOrCreate<TKelvoEndpointAuthorization>(FEndpointAuthorizationFactory, "endpoint authorization");
}
void TKelvoEndpointAuthorization::ReleaseInstance() { Instance<TKelvoEndpointAuthorization>().reset(); }
bool TKelvoEndpointAuthorization::HasInstance() { return Instance<TKelvoEndpointAuthorization>() != nullptr; }

TKelvoEndpointEnvironment& TKelvoEndpointEnvironment::GetInstance() {
  return GetOrCreate<TKelvoEndpointEnvironment>(FEnvironmentFactory, "endpoint environment");
}
void TKelvoEndpointEnvironment::ReleaseInstance() { Instance<TKelvoEndpointEnvironment>().reset(); }
bool TKelvoEndpointEnvironment::HasInstance() { return Instance<TKelvoEndpointEnvironment>() != nullptr; }

void RegisterResource(std::unique_ptr<TKelvoResource> resource) {
  TKelvoEndpointManager::GetInstance().RegisterResource(std::move(resource));
}
