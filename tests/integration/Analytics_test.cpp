// Analytics and the diagnostic log of a running server, read back after it stopped.
#include <gtest/gtest.h>

#include "KelvoData.Firebird.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerTestSupport.h"

namespace {

std::unique_ptr<TDataSet> Select(const std::string& database, const std::string& sql) {
  TFBConnectParams params;
  params.FConnectString = database;
  params.FEmbedded = true;
  params.FUserName = "SYSDBA";
  params.FCharacterSet = "UTF8";
  TFBConnection connection(params);
  connection.Open();
  return connection.Query(sql);
}

}  // namespace

TEST(ApacheAnalytics, EveryHandledRequestIsARowAndTheLogIsOneDocument) {
  TKelvoTestServer::TOptions options;
  options.FExtraIni = "[Server.Logging]\nFileName=kelvoserver.log\n";
  TKelvoTestServer server(options);
  const auto ann = server.Signup("ann", "pw");
  const int kRequests = 150;
  for (int i = 0; i < kRequests; ++i) ASSERT_EQ(server.Send("GET", "/version").FStatus, 200);
  EXPECT_EQ(server.Send("GET", "/nothing").FStatus, 404);  // not dispatched: no row
  server.Apache().Stop();  // shut-down writes what is still queued

  const std::string database = server.Apache().RunDir() + "/kelvoserver.tvl";
  auto count = Select(database, "select count(*) as N from LOG where RESOURCE = 'Version' and ENDPOINT = 'Get'");
  EXPECT_EQ(count->AsInteger("N"), kRequests);
  auto signup = Select(database, "select count(*) as N from LOG where RESOURCE = 'Users' and ENDPOINT = 'SignupUser' "
                                 "and USERID = '" + ann.FId + "' and TID is not null");
  EXPECT_EQ(signup->AsInteger("N"), 1);

  // The log file is one complete JSON document with a Request record per dispatched request.
  rapidjson::Document log;
  const std::string text = ReadTextFile(server.Apache().RunDir() + "/kelvoserver.log");
  ASSERT_TRUE(ParseJSON(text, log)) << text.substr(text.size() > 300 ? text.size() - 300 : 0);
  int requests = 0;
  for (const auto& entry : log["Log"].GetArray())
    if (entry.HasMember("Request")) ++requests;
  EXPECT_EQ(requests, kRequests + 1);
}
