// The documentation of the "Groups" resource: its paths, texts and definitions, the same in
// YAML and JSON, and allow-creator registration of its three item endpoints.
#include <gtest/gtest.h>

#include "KelvoHosting.ResourceManager.h"
#include "KelvoInProcess.h"
#include "KelvoServerAPI.JSON.h"
#include "SwaggerCheck.h"

namespace {

std::vector<std::string> Texts(const rapidjson::Value& array) {
  std::vector<std::string> out;
  for (const auto& v : array.GetArray()) out.emplace_back(v.GetString());
  return out;
}

TEST(GroupsResourceDoc, PathsTextsAndDefinitions) {
  TInProcessServer server("");
  const auto json = server.Request("GET", "/api/apidoc.json");
  ASSERT_EQ(json.FStatus, 200);
  EXPECT_EQ(SwaggerProblems(json.FBody), std::vector<std::string>{});
  rapidjson::Document doc;
  ASSERT_TRUE(ParseJSON(json.FBody, doc));
  const auto& paths = doc["paths"];

  struct TCase {
    const char* Path;
    const char* Method;
    const char* Summary;
    std::vector<std::string> Produces, Consumes;
  };
  const std::vector<std::string> json_type = {"application/json"};
  const TCase cases[] = {
      {"/groups", "get", "Get Groups", json_type, {}},
      {"/groups/{item}", "get", "Get Group", json_type, {}},
      {"/groups/fields", "get", "Get Fields", json_type, {}},
      {"/groups", "post", "Add Group", json_type, json_type},
      {"/groups/{item}", "put", "Update Group", json_type, json_type},
      {"/groups/{item}", "delete", "Delete Group", {}, {}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(paths.HasMember(c.Path) && paths[c.Path].HasMember(c.Method)) << c.Path << " " << c.Method;
    const auto& op = paths[c.Path][c.Method];
    EXPECT_EQ(std::string(op["summary"].GetString()), c.Summary);
    EXPECT_EQ(Texts(op["tags"]), std::vector<std::string>{"Groups"});
    EXPECT_EQ(op.HasMember("produces") ? Texts(op["produces"]) : std::vector<std::string>{}, c.Produces) << c.Summary;
    EXPECT_EQ(op.HasMember("consumes") ? Texts(op["consumes"]) : std::vector<std::string>{}, c.Consumes) << c.Summary;
  }
  EXPECT_EQ(std::string(paths["/groups"]["get"]["description"].GetString()),
            "Used to retrieve all data from `Groups`.\nOptional query param of **skip, limit, order, where** "
            "determines\nsize of returned array, filtered and order by.");
  EXPECT_EQ(std::string(paths["/groups/{item}"]["delete"]["responses"]["404"]["description"].GetString()),
            "Group not found");
  EXPECT_EQ(std::string(paths["/groups"]["post"]["responses"]["404"]["description"].GetString()),
            "Group already exist");
  EXPECT_EQ(std::string(paths["/groups/{item}"]["put"]["responses"]["404"]["description"].GetString()),
            "Group not found / User not found");
  for (const char* def : {"_metaGroupObject", "groupObject", "groupAddObject", "updateGroupObject",
                          "updatedGroupObject", "fieldGroupObject"})
    EXPECT_TRUE(doc["definitions"].HasMember(def)) << def;

  // The YAML definitions say the same as the JSON ones.
  const auto yaml = server.Request("GET", "/api/groups/apidoc.yaml");
  ASSERT_EQ(yaml.FStatus, 200);
  rapidjson::Document from_yaml;
  ASSERT_TRUE(ParseJSON(YAMLToJSON(yaml.FBody), from_yaml)) << yaml.FBody;
  for (auto it = from_yaml["definitions"].MemberBegin(); it != from_yaml["definitions"].MemberEnd(); ++it)
    EXPECT_TRUE(it->value == doc["definitions"][it->name.GetString()]) << it->name.GetString();
  EXPECT_EQ(from_yaml["definitions"].MemberCount(), 6u);
}

TEST(GroupsResourceDoc, ItemEndpointsAllowTheirCreator) {
  TInProcessServer server("");
  auto& authorization = EndpointAuthorization();
  for (const char* name : {"Groups.GetGroup", "Groups.DeleteGroup", "Groups.UpdateGroup"})
    EXPECT_TRUE(authorization.AllowCreator(name)) << name;
  for (const char* name : {"Groups.GetGroups", "Groups.AddGroup", "Groups.GetGroupFields"})
    EXPECT_FALSE(authorization.AllowCreator(name)) << name;
}

}  // namespace
