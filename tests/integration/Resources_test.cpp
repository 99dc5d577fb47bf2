// The built-in resources answering through the real Apache.
#include <gtest/gtest.h>

#include "KelvoTestSupport.h"
#include "SwaggerCheck.h"

TEST(ApacheResources, VersionAnswersEveryApiVersion) {
  TApacheServer server("[Server.Keys]\nAppSecret=s\n");
  for (const char* version : {"", "1", "2.7", "3", "abc", ".5"}) {
    std::vector<std::string> headers = {"X-Vantrel-App-Secret: s"};
    if (*version) headers.push_back(std::string("X-Vantrel-Api-Version: ") + version);
    const auto reply = HttpGet(server.Url("/version"), headers);
    EXPECT_EQ(reply.FStatus, 200) << version;
    EXPECT_EQ(reply.FBody, "{\"version\":\"4.1\",\"server\":\"Brill Server\"}");
    EXPECT_EQ(reply.Header("Content-Type"), "application/json");
  }
  // Version skips only the version check, not the keys.
  EXPECT_EQ(HttpGet(server.Url("/version")).FStatus, 401);
  // Any other resource refuses an unsupported version.
  EXPECT_EQ(HttpGet(server.Url("/api"), {"X-Vantrel-App-Secret: s", "X-Vantrel-Api-Version: 3"}).FStatus, 400);
}

TEST(ApacheResources, APIDocumentation) {
  TApacheServer server("");
  auto reply = HttpGet(server.Url("/api"));
  EXPECT_EQ(reply.FBody, "[{\"apicall\":\"apidoc.yaml\"},{\"apicall\":\"apidoc.json\"}]");

  const auto json = HttpGet(server.Url("/api/apidoc.json"));
  ASSERT_EQ(json.FStatus, 200);
  EXPECT_EQ(SwaggerProblems(json.FBody), std::vector<std::string>{});
  EXPECT_NE(json.FBody.find("\"host\":\"127.0.0.1:" + std::to_string(server.Port()) + "\""), std::string::npos);

  const auto yaml = HttpGet(server.Url("/api/apidoc.yaml"));
  ASSERT_EQ(yaml.FStatus, 200);
  EXPECT_EQ(yaml.Header("Content-Type"), "text/plain; charset=utf-8");
  const std::string yaml_as_json = YAMLToJSON(yaml.FBody);
  ASSERT_FALSE(yaml_as_json.empty()) << yaml.FBody;
  EXPECT_EQ(SwaggerProblems(yaml_as_json), std::vector<std::string>{});

  const auto item = HttpGet(server.Url("/api/version/apidoc.yaml"));
  ASSERT_EQ(item.FStatus, 200);
  const std::string item_json = YAMLToJSON(item.FBody);
  EXPECT_NE(item_json.find("\"/version\""), std::string::npos) << item.FBody;
  EXPECT_EQ(item_json.find("\"/api\""), std::string::npos) << item.FBody;
}

TEST(ApacheResources, BadACLEntryStopsRegistrationButTheServerAnswers) {
  TApacheServer server("[Server.Authorization]\nUsers={\"Users\":[\"x\"]}\n");
  EXPECT_EQ(HttpGet(server.Url("/")).FStatus, 200);
  const auto reply = HttpGet(server.Url("/version"));
  EXPECT_EQ(reply.FStatus, 404);
  EXPECT_EQ(reply.FBody, "{\"error\":\"Resource not found: /version\"}");
}

TEST(ApacheResources, DocumentationBehindAResourcesRoot) {
  TApacheServer server("[Server.Roots]\nResources=/rest\n");
  const auto json = HttpGet(server.Url("/rest/api/apidoc.json"));
  ASSERT_EQ(json.FStatus, 200);
  EXPECT_NE(json.FBody.find("\"basePath\":\"/rest\""), std::string::npos) << json.FBody.substr(0, 300);
  EXPECT_EQ(HttpGet(server.Url("/rest/version")).FBody, "{\"version\":\"4.1\",\"server\":\"Brill Server\"}");
}
