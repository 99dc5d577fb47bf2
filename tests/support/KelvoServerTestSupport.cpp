#include "KelvoServerTestSupport.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "FirebirdTestSupport.h"
#include "KelvoData.Schema.h"
#include "KelvoServer.BaseDAO.h"
#include "KelvoServer.TenantAPI.h"

void CreateServerDatabase(const std::string& file_name, const std::vector<TTestTenant>& tenants) {
  using TOption = TConnectionObject::TConnectionOption;
  const auto lines = TConnectionObject::BuildConnectionParams("", file_name, "sysdba", "plumcrate", {},
                                                              {TOption::UTF8, TOption::OpenModeCreate}, 0);
  CreateKelvoDatabase(TFBConnectParams::FromLines(lines), TFirebirdTestDatabase::SchemaText());
  TConnectionObject connection("", file_name, "sysdba", "plumcrate", {TOption::UTF8});
  TTenantAPI api(&connection);
  for (const auto& t : tenants) api.AddSampleTenant(t.FId, t.FName, t.FSecret, {});
}

TKelvoTestServer::TKelvoTestServer(const TOptions& options) : FOptions(options) {
  const std::string ini = std::string("[Data]\nDatabase=kelvoserver.tvl\n") + "[Server.Keys]\nApplicationID=" +
                          kApplicationId + "\nAppSecret=" + kAppSecret + "\nMasterSecret=" + kMasterSecret + "\n" +
                          "[Server.Limits]\nMaxConnections=" + std::to_string(options.FMaxConnections) + "\n" +
                          "[Server.Tenants]\nMultiTenantMode=" + (options.FMultiTenant ? "true" : "false") + "\n" +
                          options.FExtraIni;
  FApache = std::make_unique<TApacheServer>(ini, options.FThreads, "mod_kelvoserver-handler",
                                            [this](const std::string& run_dir) {
                                              CreateServerDatabase(run_dir + "/kelvoserver.tvl", FOptions.FTenants);
                                            });
}

THttpReply TKelvoTestServer::Send(const std::string& method, const std::string& path, const std::string& body,
                                  const std::vector<std::string>& headers) const {
  THttpRequest request;
  request.FMethod = method;
  request.FUrl = FApache->Url(path);
  request.FHeaders = {std::string("X-Vantrel-Application-Id: ") + kApplicationId,
                      std::string("X-Vantrel-App-Secret: ") + kAppSecret};
  if (!body.empty()) request.FHeaders.push_back("Content-Type: application/json");
  request.FHeaders.insert(request.FHeaders.end(), headers.begin(), headers.end());
  request.FBody = body;
  return HttpExchange(request);
}

std::vector<std::string> TKelvoTestServer::TenantHeaders(const TTestTenant& tenant) {
  return {"X-Vantrel-Tenant-Id: " + tenant.FId, "X-Vantrel-Tenant-Secret: " + tenant.FSecret};
}

std::vector<std::string> TKelvoTestServer::TenantHeadersOf(size_t index) const {
  if (!FOptions.FMultiTenant) return {};
  return TenantHeaders(Tenant(index));
}

TTestUser TKelvoTestServer::Signup(const std::string& name, const std::string& password, size_t tenant_index,
                                   const std::string& extra_members) const {
  const std::string body = "{\"username\":\"" + name + "\",\"password\":\"" + password + "\"" + extra_members + "}";
  const auto reply = Send("POST", "/users/signup", body, TenantHeadersOf(tenant_index));
  EXPECT_EQ(reply.FStatus, 200) << reply.FBody;
  return {Member(reply.FBody, "_id"), Member(reply.FBody, "sessionToken")};
}

std::string TKelvoTestServer::Login(const std::string& name, const std::string& password, size_t tenant_index) const {
  const std::string body = "{\"username\":\"" + name + "\",\"password\":\"" + password + "\"}";
  const auto reply = Send("POST", "/users/login", body, TenantHeadersOf(tenant_index));
  return reply.FStatus == 201 ? Member(reply.FBody, "sessionToken") : std::string();
}

std::string TKelvoTestServer::Member(const std::string& json, const std::string& name) {
  rapidjson::Document document;
  document.Parse(json.c_str(), json.size());
  if (document.HasParseError() || !document.IsObject()) return {};
  auto it = document.FindMember(name.c_str());
  if (it == document.MemberEnd() || !it->value.IsString()) return {};
  return it->value.GetString();
}
