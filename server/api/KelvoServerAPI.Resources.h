// Resources and the registries the server keeps for them: the endpoint manager (which resource
// serves a URL), the endpoint authorization (access-control lists) and the endpoint environment.
//
// Each registry has a class-wide factory that the server sets when it starts; GetInstance()
// creates the single instance with it on first use. Registries are filled during start-up and
// only read while requests are served.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KelvoServerAPI.Endpoints.h"

/// A resource: a named set of endpoints below one base URL.
class TKelvoResource {
 public:
  virtual ~TKelvoResource() = default;
  virtual std::string GetName() const = 0;
  /// True when requests with this base URL ("/users/", "/users", "/") belong to the resource.
  virtual bool IsBaseURL(const std::string& base_url) const = 0;
  virtual std::vector<std::string> GetEndpointNames() const = 0;
  /// Chooses the endpoint for the request's method and segments; false when none matches.
  virtual bool CanHandleRequest(TEndpointContext& context, std::string& endpoint_name) = 0;
  /// Checks access and runs the endpoint chosen by CanHandleRequest.
  virtual void HandleRequest(TEndpointContext& context) = 0;
};

class TKelvoEndpointManager {
 public:
  using TFactory = std::function<std::unique_ptr<TKelvoEndpointManager>()>;
  virtual ~TKelvoEndpointManager() = default;
  virtual std::vector<TKelvoResource*> GetResources() const = 0;
  virtual void RegisterResource(std::unique_ptr<TKelvoResource> resource) = 0;

  static TFactory FEndpointManagerFactory;
  /// The single instance, created on first call with FEndpointManagerFactory.
  static TKelvoEndpointManager& GetInstance();
  /// Frees the instance (and every registered resource); the next GetInstance starts afresh.
  static void ReleaseInstance();
  static bool HasInstance();
};

/// An access-control list.
class TACL {
 public:
  virtual ~TACL() = default;
  virtual bool IsPublic() const = 0;
  virtual const std::vector<std::string>& Groups() const = 0;
  virtual const std::vector<std::string>& Users() const = 0;
  virtual bool AllowCreator() const = 0;
};

class TKelvoEndpointAuthorization {
 public:
  using TFactory = std::function<std::unique_ptr<TKelvoEndpointAuthorization>()>;
  virtual ~TKelvoEndpointAuthorization() = default;
  /// Returns when the request may run the endpoint; raises 401 otherwise.
  virtual void Authorize(TEndpointContext& context, const TACL& acl) = 0;
  /// The list registered under `name` (resource, or resource "." endpoint), ignoring case.
  virtual const TACL* FindACL(const std::string& name) const = 0;

  static TFactory FEndpointAuthorizationFactory;
  static TKelvoEndpointAuthorization& GetInstance();
  static void ReleaseInstance();
  static bool HasInstance();
};

class TKelvoEndpointEnvironment {
 public:
  using TFactory = std::function<std::unique_ptr<TKelvoEndpointEnvironment>()>;
  virtual ~TKelvoEndpointEnvironment() = default;
  virtual bool MultiTenantMode() const = 0;
  virtual void LogMessage(const std::string& text) = 0;

  static TFactory FEnvironmentFactory;
  static TKelvoEndpointEnvironment& GetInstance();
  static void ReleaseInstance();
  static bool HasInstance();
};

/// Registers a resource with the endpoint manager.
void RegisterResource(std::unique_ptr<TKelvoResource> resource);
