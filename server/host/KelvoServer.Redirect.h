// Redirects: calls for one resource (or one endpoint of it) go to another resource.
#pragma once

#include <map>
#include <string>

struct TCaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

class TKelvoEndpointRedirect {
 public:
  struct TRedirect {
    std::string FDestination;
  };
  /// Adds or replaces the redirect under `name` (resource, or resource "." endpoint).
  void RegisterRedirect(const std::string& name, const TRedirect& redirect);
  bool FindRedirect(const std::string& name, TRedirect& redirect) const;
  /// Reads one line of the redirect section and registers it; raises EKelvoConfigurationError.
  void RegisterFromConfig(const std::string& name, const std::string& value);

  static TKelvoEndpointRedirect& Instance();
  static void ReleaseInstance();

 private:
  std::map<std::string, TRedirect, TCaseInsensitiveLess> FRedirect;
};

class TRedirectHelpers {
 public:
  /// The destination for resource "." endpoint, else for the resource alone.
  static bool FindRedirect(const std::string& resource, const std::string& endpoint, std::string& destination);
};
