// The whole server in the test process: start-up from an INI text, requests through the web
// layer exactly as the Apache binding hands them over, and stand-in resources.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "KelvoServerAPI.Resources.h"
#include "KelvoTestSupport.h"
#include "Webvane.HTTP.h"

struct TInProcessReply {
  int FStatus = 0;
  std::string FContentType;
  std::string FBody;
  THeaderList FHeaders;
  std::string FLocation;
  std::string Header(const std::string& name) const;
};

/// Starts the server with `ini_text` as its configuration; shuts it down on destruction.
class TInProcessServer {
 public:
  /// Runs with the server's directory after kelvoserver.ini is written and before start-up,
  /// e.g. to create the database there.
  using TBeforeStart = std::function<void(const std::string& dir)>;

  explicit TInProcessServer(const std::string& ini_text, const TBeforeStart& before_start = {});
  ~TInProcessServer();
  TInProcessServer(const TInProcessServer&) = delete;
  TInProcessServer& operator=(const TInProcessServer&) = delete;

  TInProcessReply Request(const std::string& method, const std::string& uri,
                          const std::vector<std::pair<std::string, std::string>>& headers = {},
                          const std::string& body = {});
  const std::string& Dir() const { return FDir.Path(); }

 private:
  TTempDir FDir;
};

/// A resource whose answers the test decides.
class TStubResource : public TKelvoResource {
 public:
  using THandler = std::function<void(TEndpointContext&)>;
  TStubResource(std::string name, std::string base_url, std::string endpoint, THandler handler = {})
      : FName(std::move(name)), FBaseURL(std::move(base_url)), FEndpoint(std::move(endpoint)), FHandler(std::move(handler)) {}
  std::string GetName() const override { return FName; }
  bool IsBaseURL(const std::string& base_url) const override;
  std::vector<std::string> GetEndpointNames() const override { return {FEndpoint}; }
  bool CanHandleRequest(TEndpointContext& context, std::string& endpoint_name) override;
  void HandleRequest(TEndpointContext& context) override;

  bool FCanHandle = true;

 private:
  std::string FName;
  std::string FBaseURL;
  std::string FEndpoint;
  THandler FHandler;
};
