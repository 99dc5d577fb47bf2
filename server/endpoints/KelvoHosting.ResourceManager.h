// The resource registry: which resources own a base URL, and which has a given name.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KelvoServerAPI.Resources.h"

class TKelvoEndpointManagerImpl : public TKelvoEndpointManager {
 public:
  std::vector<TKelvoResource*> GetResources() const override;
  /// Logs a RegResource record and appends the resource; names are not checked for duplicates.
  void RegisterResource(std::unique_ptr<TKelvoResource> resource) override;
  /// Every resource whose base-URL test holds, in registration order.
  std::vector<TKelvoResource*> FindByBaseURL(const std::string& base_url) const;
  /// The resource named `name` (ignoring case); null when none; raises "Duplicate" when two are.
  TKelvoResource* FindByName(const std::string& name) const;

 private:
  std::vector<std::unique_ptr<TKelvoResource>> FResources;
};

/// Access-control lists, the allow-creator endpoints, and the access decision.
class TKelvoEndpointAuthorizationImpl : public TKelvoEndpointAuthorization {
 public:
  /// Returns when allowed; raises 401 otherwise (or marks the context creator-required when
  /// the list allows the creator of the object the endpoint touches).
  void Authorize(TEndpointContext& context, const TACL& acl) override;
  const TACL* FindACL(const std::string& name) const override;

  /// Adds or replaces the list under `name` (ignoring case).
  void RegisterACL(const std::string& name, std::unique_ptr<TACL> acl);
  /// Marks "resource.endpoint" for each endpoint as allowing the creator of an object.
  void RegisterAllowCreator(const std::string& resource, const std::vector<std::string>& endpoints);
  bool AllowCreator(const std::string& name) const;
  /// The allow-creator names that start with `resource` + "." (ignoring case).
  std::vector<std::string> AllowCreatorEndpoints(const std::string& resource) const;

 private:
  struct TLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  std::map<std::string, std::unique_ptr<TACL>, TLess> FACL;
  std::map<std::string, bool, TLess> FAllowCreator;
};

/// True when `text` has the form of a user id: 36 characters with the first "-" at the 9th.
bool LooksLikeId(const std::string& text);

/// The endpoint authorization instance as the server's own class.
TKelvoEndpointAuthorizationImpl& EndpointAuthorization();

/// The endpoint manager instance as the server's own class.
TKelvoEndpointManagerImpl& EndpointManager();

