// The documentation documents: assembled from every resource declared with metadata.
#include <gtest/gtest.h>

#include "KelvoInProcess.h"
#include "KelvoServerAPI.Resource.h"
#include "SwaggerCheck.h"

namespace {

TResourceDefinition Documented(const std::string& name, const std::string& json_definitions) {
  TResourceDefinition r(name);
  r.Get("Get" + name, "", nullptr).Summary("List").Response(200, "OK", "#/definitions/" + name + "Object", true);
  r.Put("Put" + name, "{id}/sub/{key}", nullptr)
      .Param({"body", "body", "The new value", "", true, "#/definitions/" + name + "Object"})
      .Response(200, "Done");
  r.YAMLDefinitions(name + "Object:\n  type: object\n").JSONDefinitions(json_definitions);
  return r;
}

std::string JSONDefs(const std::string& name) { return "{\"" + name + "Object\":{\"type\":\"object\"}}"; }

}  // namespace

TEST(APIDoc, JSONJoinsTheDefinitionsOfAllResources) {
  TInProcessServer server("");
  RegisterResource(Documented("Alpha", JSONDefs("Alpha")));
  RegisterResource(Documented("Beta", "  " + JSONDefs("Beta") + "\n"));
  RegisterResource(std::make_unique<TStubResource>("Plain", "/plain", "X"));  // no metadata, no documentation
  const auto reply = server.Request("GET", "/api/apidoc.json");
  ASSERT_EQ(reply.FStatus, 200) << reply.FBody;
  EXPECT_EQ(reply.FContentType, "application/json");
  EXPECT_EQ(SwaggerProblems(reply.FBody), std::vector<std::string>{});
  rapidjson::Document doc;
  ASSERT_TRUE(ParseJSON(reply.FBody, doc));
  for (const char* def : {"AlphaObject", "BetaObject", "VersionObject", "apicallObject"})
    EXPECT_TRUE(doc["definitions"].HasMember(def)) << def;
  std::vector<std::string> paths;
  for (auto it = doc["paths"].MemberBegin(); it != doc["paths"].MemberEnd(); ++it) paths.push_back(it->name.GetString());
  EXPECT_EQ(paths, (std::vector<std::string>{"/alpha", "/alpha/{id}/sub/{key}", "/api", "/api/apidoc.json",
                                             "/api/apidoc.yaml", "/api/{item}/apidoc.yaml", "/beta",
                                             "/beta/{id}/sub/{key}", "/groups", "/groups/fields",
                                             "/groups/{item}", "/users", "/users/fields", "/users/login",
                                             "/users/logout", "/users/signup", "/users/{id}", "/users/{id}/groups",
                                             "/version"}));
  EXPECT_EQ(std::string(doc["paths"]["/version"]["get"]["description"].GetString()),
            "Used to retrieve the `Version` of the Brill Server.");
}

TEST(APIDoc, YAMLIsTheSameDocument) {
  TInProcessServer server("");
  RegisterResource(Documented("Alpha", JSONDefs("Alpha")));
  const auto yaml = server.Request("GET", "/api/apidoc.yaml");
  ASSERT_EQ(yaml.FStatus, 200);
  EXPECT_EQ(yaml.FContentType, "text/plain; charset=utf-8");
  const std::string as_json = YAMLToJSON(yaml.FBody);
  ASSERT_FALSE(as_json.empty()) << yaml.FBody;
  EXPECT_EQ(SwaggerProblems(as_json), std::vector<std::string>{});
  rapidjson::Document from_yaml;
  rapidjson::Document from_json;
  ASSERT_TRUE(ParseJSON(as_json, from_yaml));
  ASSERT_TRUE(ParseJSON(server.Request("GET", "/api/apidoc.json").FBody, from_json));
  EXPECT_TRUE(from_yaml == from_json) << as_json;
}

TEST(APIDoc, ItemSelectsPaths) {
  TInProcessServer server("");
  RegisterResource(Documented("Alpha", JSONDefs("Alpha")));
  auto reply = server.Request("GET", "/api/alpha/apidoc.yaml");
  ASSERT_EQ(reply.FStatus, 200);
  rapidjson::Document doc;
  ASSERT_TRUE(ParseJSON(YAMLToJSON(reply.FBody), doc));
  EXPECT_EQ(doc["paths"].MemberCount(), 2u);
  EXPECT_TRUE(doc["definitions"].HasMember("AlphaObject"));
  EXPECT_FALSE(doc["definitions"].HasMember("VersionObject"));
  // Paths are compared exactly: no path starts with "/ALPHA".
  reply = server.Request("GET", "/api/ALPHA/apidoc.yaml");
  ASSERT_TRUE(ParseJSON(YAMLToJSON(reply.FBody), doc));
  EXPECT_EQ(doc["paths"].MemberCount(), 0u);
  EXPECT_EQ(doc["definitions"].MemberCount(), 0u);
  // The query parameter "item" works on the plain call too.
  reply = server.Request("GET", "/api/apidoc.yaml?item=version");
  ASSERT_TRUE(ParseJSON(YAMLToJSON(reply.FBody), doc));
  EXPECT_EQ(doc["paths"].MemberCount(), 1u);
}

TEST(APIDoc, BadDefinitionsFailTheJSONDocument) {
  {
    TInProcessServer server("");
    RegisterResource(Documented("Alpha", "{not json"));
    EXPECT_EQ(server.Request("GET", "/api/apidoc.json").FBody,
              "{\"error\":\"Error\",\"description\":\"Wrong deinitions. Invalid JSON Objects\"}");
    EXPECT_EQ(server.Request("GET", "/api/apidoc.yaml").FStatus, 200);  // YAML mode does not read them
  }
  TInProcessServer server("");
  RegisterResource(Documented("Alpha", "[1,2]"));
  const auto reply = server.Request("GET", "/api/apidoc.json");
  EXPECT_EQ(reply.FStatus, 500);
  EXPECT_EQ(reply.FBody, "{\"error\":\"Error\",\"description\":\"Invalid class typecast\"}");
}

TEST(APIDoc, CallList) {
  TInProcessServer server("");
  const auto reply = server.Request("GET", "/api");
  EXPECT_EQ(reply.FBody, "[{\"apicall\":\"apidoc.yaml\"},{\"apicall\":\"apidoc.json\"}]");
  EXPECT_EQ(reply.FContentType, "application/json");
}
