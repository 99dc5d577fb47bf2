// The "Groups" resource through the real Apache on a fresh database: members, custom fields,
// the error replies, tenant isolation, access-control lists by group and creator-only access.
#include <gtest/gtest.h>

#include <algorithm>

#include <rapidjson/document.h>

#include "KelvoServerTestSupport.h"

namespace {

using TS = TKelvoTestServer;

constexpr const char* kAnonymous = "00000000-0000-0000-0000-000000000000";

rapidjson::Document Parse(const std::string& json) {
  rapidjson::Document d;
  d.Parse(json.c_str(), json.size());
  return d;
}

std::string Describe(const THttpReply& reply) { return std::to_string(reply.FStatus) + " " + reply.FBody; }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// A group object in member order without its dates: "groupname=g,_meta{creator,created},city=x,users[a,b]".
// "updated" is left out: whether it differs from "created" depends on the clock's resolution.
std::string Shape(const rapidjson::Value& group) {
  std::string out;
  for (auto it = group.MemberBegin(); it != group.MemberEnd(); ++it) {
    const std::string name = it->name.GetString();
    if (!out.empty()) out += ",";
    out += name;
    if (name == "_meta") {
      out += "{";
      for (auto m = it->value.MemberBegin(); m != it->value.MemberEnd(); ++m)
        if (std::string(m->name.GetString()) != "updated")
          out += std::string(m != it->value.MemberBegin() ? "," : "") + m->name.GetString();
      out += "}";
    } else if (name == "users" && it->value.IsArray()) {
      std::vector<std::string> ids;
      for (const auto& id : it->value.GetArray()) ids.push_back(id.GetString());
      std::sort(ids.begin(), ids.end());
      out += "[";
      for (size_t i = 0; i < ids.size(); ++i) out += (i ? "," : "") + ids[i];
      out += "]";
    } else if (it->value.IsString()) {
      out += std::string("=") + it->value.GetString();
    }
  }
  return out;
}

// The test's users get short aliases in shapes, so that expectations read as names.
class TAliases {
 public:
  void Add(const std::string& id, const std::string& alias) { FPairs.emplace_back(id, alias); }
  std::string operator()(std::string text) const {
    for (const auto& [id, alias] : FPairs)
      for (size_t at = text.find(id); at != std::string::npos; at = text.find(id, at)) text.replace(at, id.size(), alias);
    return text;
  }

 private:
  std::vector<std::pair<std::string, std::string>> FPairs;
};

class ApacheGroups : public ::testing::Test {
 protected:
  static TKelvoTestServer::TOptions TwoTenants() {
    TKelvoTestServer::TOptions options;
    options.FMultiTenant = true;
    options.FTenants = {{"TENANT-ONE", "secret-one", "One"}, {"TENANT-TWO", "secret-two", "Two"}};
    return options;
  }

  void SetUp() override {
    FServer = std::make_unique<TKelvoTestServer>(TwoTenants());
    FAnn = FServer->Signup("ann", "pw", 0).FId;
    FBob = FServer->Signup("bob", "pw", 0).FId;
    FZoe = FServer->Signup("zoe", "pw", 1).FId;  // tenant two
    FAlias.Add(FAnn, "ann");
    FAlias.Add(FBob, "bob");
    FAlias.Add(FZoe, "zoe");
  }

  THttpReply Send(const std::string& method, const std::string& path, const std::string& body = {},
                  size_t tenant = 0) {
    return FServer->Send(method, path, body, FServer->TenantHeadersOf(tenant));
  }
  std::string GroupShape(const std::string& name, size_t tenant = 0) {
    auto reply = Send("GET", "/groups/" + name, {}, tenant);
    if (reply.FStatus != 200) return Describe(reply);
    return FAlias(Shape(Parse(reply.FBody)));
  }

  std::unique_ptr<TKelvoTestServer> FServer;
  std::string FAnn, FBob, FZoe;
  TAliases FAlias;
};

TEST_F(ApacheGroups, AddingGroupsAndTheirErrors) {
  // Members listed at creation are in the reply; the group's creator is the anonymous caller.
  auto add = Send("POST", "/groups", "{\"groupname\":\"g1\",\"city\":\"Oslo\",\"users\":[" + Quoted(FAnn) + "]}");
  ASSERT_EQ(add.FStatus, 201) << Describe(add);
  EXPECT_NE(add.Header("Location").find("/groups/g1"), std::string::npos) << add.Header("Location");
  auto doc = Parse(add.FBody);
  EXPECT_EQ(FAlias(Shape(doc)), "groupname=g1,_meta{creator,created},city=Oslo,users[ann]");
  EXPECT_EQ(std::string(doc["_meta"]["creator"].GetString()), kAnonymous);

  // An unknown member: 404 naming it; the group and the members before it stay.
  add = Send("POST", "/groups", "{\"groupname\":\"g2\",\"users\":[" + Quoted(FAnn) + ",\"x\"," + Quoted(FBob) + "]}");
  EXPECT_EQ(add.FStatus, 404);
  EXPECT_EQ(TS::Member(add.FBody, "description"), "User \"x\" not found");
  EXPECT_EQ(GroupShape("g2"), "groupname=g2,_meta{creator,created},users[ann]");

  struct TCase {
    std::string Body;
    long Status;
    std::string Description;
  };
  const TCase cases[] = {
      {"{\"groupname\":\"g1\"}", 409, "Group \"g1\" already exists"},
      {"{\"groupname\":\"\"}", 400, "Group name expected"},
      {"{\"city\":\"Oslo\"}", 400, "Group name expected"},
      {"[\"g9\"]", 400, "Unexpected request body"},
      {"not json", 400, "Unexpected request body"},
      {"{\"groupname\":\"g4\",\"creator\":\"x\"}", 400,
       "Operation could not be completed because one or more dynamic names conflicts with a static name.  "
       "Conflict(s): creator"},
      {"{\"groupname\":\"g5\",\"2nd\":\"x\"}", 400, "First key character cannot be numeric \"2nd\""},
  };
  for (const auto& c : cases) {
    auto reply = Send("POST", "/groups", c.Body);
    EXPECT_EQ(reply.FStatus, c.Status) << c.Body << " -> " << Describe(reply);
    EXPECT_EQ(TS::Member(reply.FBody, "description"), c.Description) << c.Body;
  }
  EXPECT_EQ(Send("GET", "/groups/g4").FStatus, 404) << "a refused custom field leaves no group";
  EXPECT_EQ(Send("GET", "/groups/g5").FStatus, 404);

  // The name member is found ignoring case; "_meta" is never a custom field; a group without
  // members has no "users" member.
  add = Send("POST", "/groups", "{\"GroupName\":\"g3\",\"_meta\":{\"creator\":\"x\"},\"n\":7}");
  ASSERT_EQ(add.FStatus, 201) << Describe(add);
  EXPECT_EQ(FAlias(Shape(Parse(add.FBody))), "groupname=g3,_meta{creator,created},n=7");

  // The name is client text: the Location carries it as one encoded path segment.
  add = Send("POST", "/groups", "{\"groupname\":\"a b?c\\r\\nX-Injected: 1\"}");
  ASSERT_EQ(add.FStatus, 201) << Describe(add);
  EXPECT_FALSE(add.HasHeader("X-Injected"));
  EXPECT_NE(add.Header("Location").find("/groups/a%20b%3Fc%0D%0AX-Injected%3A%201"), std::string::npos)
      << add.Header("Location");
  EXPECT_EQ(Send("DELETE", "/groups/a%20b%3Fc%0D%0AX-Injected%3A%201").FStatus, 204);

  // The list carries each group's own members; an unknown or deleted group is a bare 404.
  auto list = Send("GET", "/groups");
  ASSERT_EQ(list.FStatus, 200) << Describe(list);
  std::vector<std::string> shapes;
  const auto listed = Parse(list.FBody);
  for (const auto& g : listed.GetArray()) shapes.push_back(FAlias(Shape(g)));
  std::sort(shapes.begin(), shapes.end());
  EXPECT_EQ(shapes, (std::vector<std::string>{"groupname=g1,_meta{creator,created},city=Oslo,users[ann]",
                                              "groupname=g2,_meta{creator,created},users[ann]",
                                              "groupname=g3,_meta{creator,created},n=7"}));
  auto filtered = Send("GET", "/groups?where=" + std::string("%7B%22city%22%3A%22Oslo%22%7D"));
  ASSERT_EQ(filtered.FStatus, 200) << Describe(filtered);
  EXPECT_EQ(Parse(filtered.FBody).Size(), 1u) << filtered.FBody;
  EXPECT_EQ(Send("GET", "/groups?where=%7Bbad").FStatus, 400);

  // The groups of a user, for the pipeline and for GET /users/{id}/groups.
  auto mine = Send("GET", "/users/" + FAnn + "/groups");
  ASSERT_EQ(mine.FStatus, 200) << Describe(mine);
  std::vector<std::string> names;
  const auto mine_doc = Parse(mine.FBody);
  for (const auto& n : mine_doc.GetArray()) names.push_back(n.GetString());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"g1", "g2"}));
  EXPECT_EQ(Send("GET", "/users/" + FBob + "/groups").FBody, "[]");

  for (const char* name : {"nope", "g3"}) {
    auto missing = Send("DELETE", std::string("/groups/") + name);
    EXPECT_EQ(missing.FStatus, name == std::string("g3") ? 204 : 404) << Describe(missing);
    missing = Send("GET", std::string("/groups/") + name);
    EXPECT_EQ(missing.FStatus, 404);
    EXPECT_EQ(TS::Member(missing.FBody, "description"), "");
  }
}

TEST_F(ApacheGroups, UpdatingMembersAndFields) {
  ASSERT_EQ(Send("POST", "/groups", "{\"groupname\":\"team\",\"city\":\"Rome\",\"users\":[" + Quoted(FAnn) + "," +
                                        Quoted(FBob) + "]}")
                .FStatus,
            201);
  struct TStep {
    std::string Body;
    long Status;
    std::string After;  // group shape afterwards
  };
  const std::string meta = "groupname=team,_meta{creator,created}";
  const TStep steps[] = {
      {"{\"users\":[]}", 200, meta + ",city=Rome"},
      {"{\"users\":[" + Quoted(FAnn) + "," + Quoted(FAnn) + "]}", 200, meta + ",city=Rome,users[ann]"},
      {"{\"zip\":5}", 200, meta + ",city=Rome,zip=5,users[ann]"},  // no "users": members unchanged
      {"{\"city\":\"\"}", 200, meta + ",zip=5,users[ann]"},
      {"{\"city\":null}", 200, meta + ",city=null,zip=5,users[ann]"},
      {"{\"groupname\":\"other\",\"_meta\":{}}", 200, meta + ",city=null,zip=5,users[ann]"},
      {"{\"users\":\"" + FBob + "\"}", 200, meta + ",city=null,zip=5,users[ann]"},  // not a list: ignored
      // Custom fields and members are two steps: the field change stays when a member is unknown.
      {"{\"pet\":\"cat\",\"users\":[" + Quoted(FBob) + ",\"x\"]}", 404, meta + ",city=null,pet=cat,zip=5,users[ann]"},
      {"{\"creator\":\"me\"}", 400, meta + ",city=null,pet=cat,zip=5,users[ann]"},
      {"[1]", 400, meta + ",city=null,pet=cat,zip=5,users[ann]"},
  };
  for (const auto& step : steps) {
    auto put = Send("PUT", "/groups/team", step.Body);
    EXPECT_EQ(put.FStatus, step.Status) << step.Body << " -> " << Describe(put);
    if (put.FStatus == 200) {
      EXPECT_EQ(TS::Member(put.FBody, "updated").size(), 24u) << put.FBody;
    }
    if (put.FStatus == 404) {
      EXPECT_EQ(TS::Member(put.FBody, "description"), "User \"x\" not found");
    }
    EXPECT_EQ(GroupShape("team"), step.After) << step.Body;
  }
  // The reply's date is the group's last change.
  auto put = Send("PUT", "/groups/team", "{\"zip\":6}");
  ASSERT_EQ(put.FStatus, 200);
  const auto team = Parse(Send("GET", "/groups/team").FBody);
  ASSERT_TRUE(team["_meta"].HasMember("updated")) << put.FBody;
  EXPECT_EQ(TS::Member(put.FBody, "updated"), team["_meta"]["updated"].GetString());
  EXPECT_NE(std::string(team["_meta"]["updated"].GetString()), team["_meta"]["created"].GetString());

  auto fields = Send("GET", "/groups/fields");
  ASSERT_EQ(fields.FStatus, 200);
  EXPECT_NE(fields.FBody.find("{\"name\":\"groupname\"},{\"name\":\"_meta\",\"fields\":[{\"name\":\"creator\"},"
                              "{\"name\":\"created\"},{\"name\":\"updated\"}]},{\"name\":\"users\"},"
                              "{\"name\":\"city\",\"custom\":true}"),
            std::string::npos)
      << fields.FBody;
}

TEST_F(ApacheGroups, AnotherTenantsGroupIsOutOfReach) {
  ASSERT_EQ(Send("POST", "/groups", "{\"groupname\":\"two\",\"users\":[" + Quoted(FZoe) + "]}", 1).FStatus, 201);
  ASSERT_EQ(Send("POST", "/groups", "{\"groupname\":\"shared-name\"}", 1).FStatus, 201);

  EXPECT_EQ(Send("GET", "/groups/two").FStatus, 404);
  auto put = Send("PUT", "/groups/two", "{\"x\":\"1\"}");
  EXPECT_EQ(put.FStatus, 401) << Describe(put);
  EXPECT_EQ(TS::Member(put.FBody, "description"), "This entity does not belong to the selected Tenant.");
  EXPECT_EQ(Send("DELETE", "/groups/two").FStatus, 404);
  EXPECT_EQ(Send("GET", "/groups").FBody, "[]");
  EXPECT_EQ(Send("GET", "/users/" + FZoe + "/groups").FBody, "[]");
  // Names are per tenant.
  EXPECT_EQ(Send("POST", "/groups", "{\"groupname\":\"shared-name\"}").FStatus, 201);
  EXPECT_EQ(GroupShape("two", 1), "groupname=two,_meta{creator,created},users[zoe]");
}

// Access by group: the user's groups are read per request, exactly and in the request's tenant.
TEST(ApacheGroupACL, EntriesByGroupAndByStar) {
  TKelvoTestServer::TOptions options;
  options.FExtraIni =
      "[Server.Authorization]\n"
      "Users.GetUsers={\"groups\":[\"staff\"]}\n"
      "Users.GetUserFields={\"groups\":[\"*\"]}\n"
      "Groups.GetGroups={\"groups\":[\"staff\",\"auditors\"]}\n"
      "Groups.GetGroupFields={\"groups\":[\"*\"]}\n";
  TKelvoTestServer server(options);
  const auto ann = server.Signup("ann", "pw");    // staff
  const auto bob = server.Signup("bob", "pw");    // no group
  const auto cat = server.Signup("cat", "pw");    // Staff (another name: comparisons are exact)
  const auto dan = server.Signup("dan", "pw");    // auditors
  const std::string master = TS::Master();
  for (const auto& [group, member] : {std::pair{"staff", ann.FId}, {"Staff", cat.FId}, {"auditors", dan.FId}})
    ASSERT_EQ(server.Send("POST", "/groups", std::string("{\"groupname\":\"") + group + "\",\"users\":[" +
                                                 Quoted(member) + "]}", {master}).FStatus, 201);

  struct TCase {
    const char* Path;
    long Ann, Bob, Cat, Dan, Anonymous;
  };
  const TCase cases[] = {
      {"/users", 200, 401, 401, 401, 401},
      {"/users/fields", 200, 401, 200, 200, 401},
      {"/groups", 200, 401, 401, 200, 401},
      {"/groups/fields", 200, 401, 200, 200, 401},
  };
  for (const auto& c : cases) {
    const std::pair<const TTestUser*, long> who[] = {{&ann, c.Ann}, {&bob, c.Bob}, {&cat, c.Cat}, {&dan, c.Dan}};
    for (const auto& [user, status] : who)
      EXPECT_EQ(server.Send("GET", c.Path, {}, {TS::Token(user->FToken)}).FStatus, status) << c.Path << " " << user->FId;
    EXPECT_EQ(server.Send("GET", c.Path).FStatus, c.Anonymous) << c.Path;
    EXPECT_EQ(server.Send("GET", c.Path, {}, {master}).FStatus, 200) << c.Path;
  }

  // Leaving the group takes effect with the next request.
  ASSERT_EQ(server.Send("PUT", "/groups/staff", "{\"users\":[]}", {master}).FStatus, 200);
  EXPECT_EQ(server.Send("GET", "/users", {}, {TS::Token(ann.FToken)}).FStatus, 401);
  EXPECT_EQ(server.Send("GET", "/users/fields", {}, {TS::Token(ann.FToken)}).FStatus, 401);
  ASSERT_EQ(server.Send("PUT", "/groups/staff", "{\"users\":[" + Quoted(bob.FId) + "]}", {master}).FStatus, 200);
  EXPECT_EQ(server.Send("GET", "/users", {}, {TS::Token(bob.FToken)}).FStatus, 200);
}

// A resource entry gives the allow-creator endpoints a copy that lets a group's creator in.
TEST(ApacheGroupACL, CreatorOnlyAccess) {
  TKelvoTestServer::TOptions options;
  options.FExtraIni =
      "[Server.Authorization]\n"
      "Groups={\"groups\":[\"admins\"]}\n"
      "Groups.AddGroup={\"users\":[\"*\"]}\n";
  TKelvoTestServer server(options);
  const auto ann = server.Signup("ann", "pw");
  const auto bob = server.Signup("bob", "pw");
  const auto eve = server.Signup("eve", "pw");
  const auto T = [](const TTestUser& u) { return std::vector<std::string>{TS::Token(u.FToken)}; };
  ASSERT_EQ(server.Send("POST", "/groups", "{\"groupname\":\"admins\",\"users\":[" + Quoted(eve.FId) + "]}",
                        {TS::Master()}).FStatus, 201);

  auto add = server.Send("POST", "/groups", "{\"groupname\":\"anns\"}", T(ann));
  ASSERT_EQ(add.FStatus, 201) << Describe(add);
  EXPECT_EQ(std::string(Parse(add.FBody)["_meta"]["creator"].GetString()), ann.FId);
  ASSERT_EQ(server.Send("POST", "/groups", "{\"groupname\":\"open\"}").FStatus, 401) << "AddGroup needs a user";

  // Others: refused, and nothing changes.
  EXPECT_EQ(server.Send("GET", "/groups/anns", {}, T(bob)).FStatus, 401);
  EXPECT_EQ(server.Send("PUT", "/groups/anns", "{\"x\":\"1\",\"users\":[" + Quoted(bob.FId) + "]}", T(bob)).FStatus,
            401);
  EXPECT_EQ(server.Send("DELETE", "/groups/anns", {}, T(bob)).FStatus, 401);
  EXPECT_EQ(server.Send("GET", "/groups", {}, T(ann)).FStatus, 401) << "the list is not a creator endpoint";
  // The creator, and a member of admins.
  auto get = server.Send("GET", "/groups/anns", {}, T(ann));
  ASSERT_EQ(get.FStatus, 200) << Describe(get);
  EXPECT_EQ(get.FBody.find("\"x\""), std::string::npos);
  EXPECT_EQ(server.Send("GET", "/groups/anns", {}, T(eve)).FStatus, 200);
  EXPECT_EQ(server.Send("GET", "/groups/admins", {}, T(ann)).FStatus, 401) << "created by the master secret";
  EXPECT_EQ(server.Send("PUT", "/groups/anns", "{\"users\":[" + Quoted(bob.FId) + "]}", T(ann)).FStatus, 200);
  EXPECT_EQ(server.Send("GET", "/groups/anns", {}, T(bob)).FStatus, 401) << "membership is not creatorship";
  EXPECT_EQ(server.Send("DELETE", "/groups/anns", {}, T(ann)).FStatus, 204);
  EXPECT_EQ(server.Send("GET", "/groups/anns", {}, T(eve)).FStatus, 404);
}

}  // namespace
