// Test support for the server with a database: a fresh database with known tenants in the run
// directory of the real Apache, fixed keys, and sign-up / sign-in helpers.
//
//   TKelvoTestServer server;                                   // single tenant, fresh database
//   const auto ann = server.Signup("ann", "pw");               // ann.FId, ann.FToken
//   auto reply = server.Send("GET", "/users/me", "", {TKelvoTestServer::Token(ann.FToken)});
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "KelvoTestSupport.h"

struct TTestTenant {
  std::string FId;
  std::string FSecret;
  std::string FName;
};

/// Creates a server database file (schema, version row) with the tenants in order; the first
/// has the lowest key and so is the default tenant.
void CreateServerDatabase(const std::string& file_name, const std::vector<TTestTenant>& tenants);

struct TTestUser {
  std::string FId;
  std::string FToken;
};

class TKelvoTestServer {
 public:
  static constexpr const char* kApplicationId = "testapp";
  static constexpr const char* kAppSecret = "appsecret";
  static constexpr const char* kMasterSecret = "mastersecret";

  struct TOptions {
    bool FMultiTenant = false;
    std::vector<TTestTenant> FTenants = {{"TENANT-ONE", "secret-one", "One"}};
    /// More INI text (sections such as [Server.Authorization]).
    std::string FExtraIni;
    int FThreads = 64;
    /// Requests at once in the module (MaxConnections).
    int FMaxConnections = 32;
  };

  TKelvoTestServer() : TKelvoTestServer(TOptions()) {}
  explicit TKelvoTestServer(const TOptions& options);

  TApacheServer& Apache() { return *FApache; }
  const TOptions& Options() const { return FOptions; }
  const TTestTenant& Tenant(size_t index = 0) const { return FOptions.FTenants.at(index); }

  /// The application id and app secret headers, then `headers`.
  THttpReply Send(const std::string& method, const std::string& path, const std::string& body = {},
                  const std::vector<std::string>& headers = {}) const;

  static std::string Token(const std::string& token) { return "X-Vantrel-Session-Token: " + token; }
  static std::string Master() { return std::string("X-Vantrel-Master-Secret: ") + kMasterSecret; }
  /// Tenant id and secret headers of `tenant`.
  static std::vector<std::string> TenantHeaders(const TTestTenant& tenant);
  /// In multi-tenant mode: the headers of tenant `index`; otherwise none.
  std::vector<std::string> TenantHeadersOf(size_t index) const;

  /// Signs a user up (in tenant `tenant_index` in multi-tenant mode); fails the test when the
  /// reply is not 200. `extra_members` is JSON text added to the body object (",\"city\":\"x\"").
  TTestUser Signup(const std::string& name, const std::string& password, size_t tenant_index = 0,
                   const std::string& extra_members = {}) const;
  /// Signs in; the session token, empty when the reply is not 201.
  std::string Login(const std::string& name, const std::string& password, size_t tenant_index = 0) const;

  /// A string member of a JSON object text, empty when absent.
  static std::string Member(const std::string& json, const std::string& name);

 private:
  TOptions FOptions;
  std::unique_ptr<TApacheServer> FApache;
};
