// The resource registry: which resources own a base URL, and which has a given name.
#pragma once

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

/// The endpoint manager instance as the server's own class.
TKelvoEndpointManagerImpl& EndpointManager();

