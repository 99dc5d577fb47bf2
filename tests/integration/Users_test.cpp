// The "Users" resource through the real Apache on a fresh database: sessions, custom fields,
// lists, the error replies, tenant isolation and access-control lists.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include <rapidjson/document.h>

#include "KelvoServerTestSupport.h"
#include "SwaggerCheck.h"

namespace {

using TS = TKelvoTestServer;

rapidjson::Document Parse(const std::string& json) {
  rapidjson::Document d;
  d.Parse(json.c_str(), json.size());
  return d;
}

std::string Describe(const THttpReply& reply) { return std::to_string(reply.FStatus) + " " + reply.FBody; }

// The custom fields and name of a user object, in member order, without the dates.
std::string Shape(const rapidjson::Value& user) {
  std::string out;
  for (auto it = user.MemberBegin(); it != user.MemberEnd(); ++it) {
    const std::string name = it->name.GetString();
    if (!out.empty()) out += ",";
    out += name;
    if (name == "_meta") {
      out += "{";
      for (auto m = it->value.MemberBegin(); m != it->value.MemberEnd(); ++m)
        out += std::string(m != it->value.MemberBegin() ? "," : "") + m->name.GetString();
      out += "}";
    } else if (name != "_id" && it->value.IsString()) {
      out += std::string("=") + it->value.GetString();
    }
  }
  return out;
}

}  // namespace

TEST(ApacheUsers, SignupLoginMeUpdateLogout) {
  TKelvoTestServer server;
  const auto ann = server.Signup("ann", "pw1", 0, ",\"city\":\"Oslo\"");
  ASSERT_EQ(ann.FId.size(), 36u);
  ASSERT_EQ(ann.FToken.size(), 32u);

  // The sign-up token is a working session.
  auto me = server.Send("GET", "/users/me", "", {TS::Token(ann.FToken)});
  ASSERT_EQ(me.FStatus, 200) << me.FBody;
  auto doc = Parse(me.FBody);
  // Writing the custom fields stamps the user as modified after its creation.
  EXPECT_EQ(Shape(doc), "username=ann,_id,_meta{creator,created,updated},city=Oslo");
  EXPECT_EQ(std::string(doc["_id"].GetString()), ann.FId);
  // Signed up anonymously: the user is his own creator.
  EXPECT_EQ(std::string(doc["_meta"]["creator"].GetString()), ann.FId);

  // Login hands out a new token (the old one stops working) and answers 201 with a Location.
  auto login = server.Send("POST", "/users/login", "{\"username\":\"ann\",\"password\":\"pw1\"}");
  ASSERT_EQ(login.FStatus, 201) << login.FBody;
  EXPECT_NE(login.Header("Location").find("/users/login/" + ann.FId), std::string::npos) << login.Header("Location");
  const std::string token = TS::Member(login.FBody, "sessionToken");
  EXPECT_EQ(Shape(Parse(login.FBody)), "username=ann,_id,_meta{creator,created,updated},city=Oslo,sessionToken=" + token);
  EXPECT_NE(token, ann.FToken);
  EXPECT_EQ(server.Send("GET", "/users/me", "", {TS::Token(ann.FToken)}).FStatus, 401);

  // Custom fields: change one, add one, remove one with null; the password member is not a field.
  auto put = server.Send("PUT", "/users/" + ann.FId, "{\"city\":null,\"age\":42,\"pet\":\"cat\",\"password\":\"pw2\"}",
                         {TS::Token(token)});
  ASSERT_EQ(put.FStatus, 200) << put.FBody;
  const std::string updated = TS::Member(put.FBody, "updated");
  EXPECT_EQ(updated.size(), 24u) << put.FBody;
  EXPECT_EQ(updated.back(), 'Z');
  me = server.Send("GET", "/users/me", "", {TS::Token(token)});
  doc = Parse(me.FBody);
  EXPECT_EQ(Shape(doc), "username=ann,_id,_meta{creator,created,updated},age=42,pet=cat");
  EXPECT_EQ(std::string(doc["_meta"]["updated"].GetString()), updated);

  // The password changed; the session survived the change.
  EXPECT_EQ(server.Login("ann", "pw1"), "");
  EXPECT_EQ(server.Send("GET", "/users/me", "", {TS::Token(token)}).FStatus, 200);
  const std::string token2 = server.Login("ann", "pw2");
  ASSERT_FALSE(token2.empty());

  // Logout ends the session.
  EXPECT_EQ(Describe(server.Send("POST", "/users/logout", "", {TS::Token(token2)})), "200 ");
  EXPECT_EQ(Describe(server.Send("GET", "/users/me", "", {TS::Token(token2)})), "401 {\"error\":\"Error\"}");
  EXPECT_EQ(server.Send("POST", "/users/logout", "", {TS::Token(token2)}).FStatus, 401);
}

TEST(ApacheUsers, ErrorReplies) {
  TKelvoTestServer server;
  const auto ann = server.Signup("ann", "pw");
  const std::string conflict =
      "Operation could not be completed because one or more dynamic names conflicts with a static name.  "
      "Conflict(s): username";
  struct TCase {
    const char* FMethod;
    std::string FPath;
    std::string FBody;
    std::vector<std::string> FHeaders;
    std::string FReply;  // status and body
  };
  const TCase cases[] = {
      {"POST", "/users/signup", "[1]", {}, "401 {\"error\":\"Error\"}"},
      {"POST", "/users/signup", "{\"username\":", {}, "401 {\"error\":\"Error\"}"},
      {"POST", "/users/signup", "{\"password\":\"p\"}", {}, "400 {\"error\":\"Error\",\"description\":\"User name expected\"}"},
      {"POST", "/users/signup", "{\"username\":\"s2\",\"2x\":\"y\"}", {},
       "400 {\"error\":\"Error\",\"description\":\"First key character cannot be numeric \\\"2x\\\"\"}"},
      {"POST", "/users/signup", "{\"username\":\"ann\",\"password\":\"p\"}", {},
       "409 {\"error\":\"Error\",\"description\":\"User \\\"ann\\\" already exists\"}"},
      {"POST", "/users", "[1]", {}, "400 {\"error\":\"Error\",\"description\":\"Unexpected request body\"}"},
      {"POST", "/users", "{\"password\":\"p\"}", {}, "400 {\"error\":\"Error\",\"description\":\"User name expected\"}"},
      {"POST", "/users", "{\"UserName\":\"ann\",\"password\":\"p\"}", {},
       "409 {\"error\":\"Error\",\"description\":\"User \\\"ann\\\" already exists\"}"},
      {"POST", "/users", "{\"username\":\"a2\",\"2x\":\"y\"}", {},
       "403 {\"error\":\"Error\",\"description\":\"First key character cannot be numeric \\\"2x\\\"\"}"},
      {"POST", "/users/login", "{\"username\":\"ann\",\"password\":\"bad\"}", {}, "401 {\"error\":\"Error\"}"},
      {"POST", "/users/login", "{\"username\":\"nobody\",\"password\":\"pw\"}", {},
       "404 {\"error\":\"Error\",\"description\":\"User \\\"nobody\\\" not found\"}"},
      {"POST", "/users/login", std::string("{\"username\":\"") + std::string(300, 'n') + "\",\"password\":\"pw\"}", {},
       "404 {\"error\":\"Error\",\"description\":\"User \\\"" + std::string(300, 'n') + "\\\" not found\"}"},
      {"POST", "/users/login?a=1&b=2", "{\"username\":\"ann\",\"password\":\"pw\"}", {},
       "400 {\"error\":\"Error\",\"description\":\"Unexpected request query parameters\"}"},
      {"POST", "/users/login", "{\"password\":\"pw\"}", {}, "400 {\"error\":\"Error\",\"description\":\"User name expected\"}"},
      {"POST", "/users/login", "\"ann\"", {}, "401 {\"error\":\"Error\"}"},
      {"GET", "/users/me", "", {}, "401 {\"error\":\"Error\"}"},
      {"GET", "/users/ME/groups", "", {}, "401 {\"error\":\"Error\"}"},
      {"GET", "/users/no-such-id", "", {}, "404 {\"error\":\"Error\"}"},
      {"GET", "/users/me", "", {TS::Token("not-a-session")}, "401 {\"error\":\"Error\"}"},
      {"GET", "/users?where={bad", "", {}, "400 {\"error\":\"Error\",\"description\":\"Unable to parse JSON\"}"},
      {"GET", "/users?skip=abc", "", {}, "400 {\"error\":\"Error\",\"description\":\"Unexpected query string\"}"},
      {"PUT", "/users/" + ann.FId, "[1]", {}, "400 {\"error\":\"Error\",\"description\":\"Unexpected request body\"}"},
      {"PUT", "/users/" + ann.FId, "{\"username\":\"bob\"}", {}, "400 {\"error\":\"Error\",\"description\":\"" + conflict + "\"}"},
      {"PUT", "/users/no-such-id", "{\"a\":\"b\"}", {},
       "401 {\"error\":\"Error\",\"description\":\"This entity does not belong to the selected Tenant.\"}"},
      {"DELETE", "/users/no-such-id", "", {}, "404 {\"error\":\"Error\"}"},
      {"POST", "/users/logout", "", {}, "401 {\"error\":\"Error\"}"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Describe(server.Send(c.FMethod, c.FPath, c.FBody, c.FHeaders)), c.FReply)
        << c.FMethod << " " << c.FPath << " " << c.FBody.substr(0, 60);
  // None of the refused requests left a user behind, and ann still signs in.
  const auto list = Parse(server.Send("GET", "/users").FBody);
  ASSERT_TRUE(list.IsArray());
  EXPECT_EQ(list.Size(), 1u);
  EXPECT_FALSE(server.Login("ann", "pw").empty());
}

TEST(ApacheUsers, ListsAndUpdates) {
  TKelvoTestServer server;
  std::map<std::string, std::string> ids;
  for (const char* name : {"amy", "ben", "cid", "dan", "eve"})
    ids[name] = server.Signup(name, "pw", 0, std::string(",\"team\":\"") + (name[0] < 'c' ? "red" : "blue") + "\"").FId;
  auto names = [&](const std::string& query) {
    const auto reply = server.Send("GET", "/users" + query);
    EXPECT_EQ(reply.FStatus, 200) << query << " " << reply.FBody;
    std::string out;
    const auto doc = Parse(reply.FBody);
    if (!doc.IsArray()) return std::string("not an array: ") + reply.FBody;
    for (const auto& u : doc.GetArray()) out += std::string(out.empty() ? "" : ",") + u["username"].GetString();
    return out;
  };
  EXPECT_EQ(names(""), "amy,ben,cid,dan,eve");
  EXPECT_EQ(names("?order=-username&skip=1&limit=2"), "dan,cid");
  EXPECT_EQ(names("?where=%7B%22team%22:%22red%22%7D&order=-username"), "ben,amy");
  // One "username" equality is a name lookup: limit and order do not apply.
  EXPECT_EQ(names("?where=%7B%22username%22:%22cid%22%7D&limit=5&order=-username"), "cid");
  EXPECT_EQ(names("?where=%7B%22username%22:%22nobody%22%7D"), "");
  // Any other spelling or a second filter goes through the query writer.
  EXPECT_EQ(names("?where=%7B%22USERNAME%22:%22cid%22%7D"), "cid");
  EXPECT_EQ(names("?where=%7B%22username%22:%22cid%22,%22team%22:%22red%22%7D"), "");

  // {"password": ...} changes only the password; "updated" is the user's own modification time.
  const auto token = server.Login("amy", "pw");
  auto put = server.Send("PUT", "/users/" + ids["amy"], "{\"password\":\"new\"}", {TS::Token(token)});
  ASSERT_EQ(put.FStatus, 200) << put.FBody;
  auto me = Parse(server.Send("GET", "/users/me", "", {TS::Token(token)}).FBody);
  EXPECT_EQ(Shape(me), "username=amy,_id,_meta{creator,created,updated},team=red");
  EXPECT_EQ(TS::Member(put.FBody, "updated"), me["_meta"]["updated"].GetString());
  EXPECT_FALSE(server.Login("amy", "new").empty());
  // "Password" is neither the password nor a custom field.
  put = server.Send("PUT", "/users/" + ids["amy"], "{\"Password\":\"other\",\"_ID\":\"x\",\"_meta\":{}}");
  EXPECT_EQ(put.FStatus, 200) << put.FBody;
  EXPECT_FALSE(server.Login("amy", "new").empty());
  me = Parse(server.Send("GET", "/users/" + ids["amy"]).FBody);
  EXPECT_EQ(Shape(me), "username=amy,_id,_meta{creator,created,updated},team=red");

  // Members "_id" and "_meta" of a sign-up are custom fields; values keep their JSON text.
  const auto odd = server.Signup("odd", "pw", 0, ",\"_id\":\"fake\",\"n\":1.50,\"b\":true,\"z\":null,\"o\":{\"x\":1}");
  const auto raw = server.Send("GET", "/users/" + odd.FId).FBody;
  EXPECT_NE(raw.find("\"_id\":\"fake\""), std::string::npos) << raw;
  EXPECT_NE(raw.find("\"n\":\"1.50\",\"o\":\"\""), std::string::npos) << raw;
  EXPECT_NE(raw.find("\"b\":\"true\""), std::string::npos) << raw;
  EXPECT_NE(raw.find("\"z\":\"null\""), std::string::npos) << raw;

  // Fields: the fixed ones, then every custom-field name in order.
  const auto fields = server.Send("GET", "/users/fields");
  EXPECT_EQ(fields.FBody,
            "[{\"name\":\"username\"},{\"name\":\"_id\"},{\"name\":\"_meta\",\"fields\":[{\"name\":\"creator\"},"
            "{\"name\":\"created\"},{\"name\":\"updated\"}]},{\"name\":\"_id\",\"custom\":true},{\"name\":\"b\","
            "\"custom\":true},{\"name\":\"n\",\"custom\":true},{\"name\":\"o\",\"custom\":true},{\"name\":\"team\","
            "\"custom\":true},{\"name\":\"z\",\"custom\":true}]");
  // The groups store answers no groups yet.
  EXPECT_EQ(Describe(server.Send("GET", "/users/me/groups", "", {TS::Token(server.Login("amy", "new"))})), "200 []");

  // Delete answers 204, and the user is gone.
  const auto del = server.Send("DELETE", "/users/" + odd.FId);
  EXPECT_EQ(Describe(del), "204 ");
  EXPECT_EQ(server.Send("GET", "/users/" + odd.FId).FStatus, 404);
  EXPECT_EQ(server.Send("DELETE", "/users/" + odd.FId).FStatus, 404);

  // Add answers 201 with the new id and its Location; the master secret is the creator.
  const auto add = server.Send("POST", "/users", "{\"username\":\"max\",\"password\":\"pw\"}", {TS::Master()});
  ASSERT_EQ(add.FStatus, 201) << add.FBody;
  const std::string id = TS::Member(add.FBody, "_id");
  EXPECT_EQ(add.FBody, "{\"_id\":\"" + id + "\"}");
  EXPECT_NE(add.Header("Location").find("/users/" + id), std::string::npos);
  me = Parse(server.Send("GET", "/users/" + id).FBody);
  EXPECT_EQ(std::string(me["_meta"]["creator"].GetString()), "00000000-0000-0000-0000-000000000001");
}

TEST(ApacheUsers, TenantsAreIsolated) {
  TKelvoTestServer::TOptions options;
  options.FMultiTenant = true;
  options.FTenants = {{"TENANT-A", "secret-a", "A"}, {"TENANT-B", "secret-b", "B"}};
  TKelvoTestServer server(options);
  const auto annA = server.Signup("ann", "pw", 0);
  const auto samA = server.Signup("sam", "pa", 0);
  const auto samB = server.Signup("sam", "pb", 1);
  const auto b = server.TenantHeadersOf(1);
  auto with = [](std::vector<std::string> headers, const std::string& more) {
    headers.push_back(more);
    return headers;
  };

  // Each tenant signs in its own sam.
  EXPECT_EQ(server.Login("sam", "pb", 1).size(), 32u);
  EXPECT_EQ(server.Login("sam", "pa", 1), "");
  EXPECT_EQ(Describe(server.Send("POST", "/users/login", "{\"username\":\"ann\",\"password\":\"pw\"}", b)),
            "404 {\"error\":\"Error\",\"description\":\"User \\\"ann\\\" not found\"}");

  // Tenant B never reads, changes or deletes a user of tenant A.
  EXPECT_EQ(server.Send("GET", "/users/" + annA.FId, "", b).FStatus, 404);
  EXPECT_EQ(server.Send("GET", "/users/" + annA.FId, "", with(b, TS::Master())).FStatus, 404);
  EXPECT_EQ(Describe(server.Send("PUT", "/users/" + annA.FId, "{\"x\":\"y\"}", with(b, TS::Master()))),
            "401 {\"error\":\"Error\",\"description\":\"This entity does not belong to the selected Tenant.\"}");
  EXPECT_EQ(server.Send("DELETE", "/users/" + annA.FId, "", with(b, TS::Master())).FStatus, 404);
  EXPECT_EQ(Describe(server.Send("GET", "/users?where=%7B%22username%22:%22ann%22%7D", "", b)), "200 []");
  const auto listB = Parse(server.Send("GET", "/users", "", b).FBody);
  ASSERT_TRUE(listB.IsArray());
  ASSERT_EQ(listB.Size(), 1u);
  EXPECT_EQ(std::string(listB[0]["_id"].GetString()), samB.FId);
  // A session of tenant A is no session in tenant B.
  EXPECT_EQ(server.Send("GET", "/users/me", "", with(b, TS::Token(annA.FToken))).FStatus, 401);
  // Without tenant headers there is no tenant: nothing is listed, nobody signs in.
  EXPECT_EQ(Describe(server.Send("GET", "/users")), "200 []");
  EXPECT_EQ(server.Send("GET", "/users/me", "", {TS::Token(annA.FToken)}).FStatus, 401);
  // Wrong secrets are refused before anything else.
  EXPECT_EQ(Describe(server.Send("GET", "/users", "", {"X-Vantrel-Tenant-Id: TENANT-A", "X-Vantrel-Tenant-Secret: secret-b"})),
            "401 {\"error\":\"Error\",\"description\":\"Enter the valid values for Tenant ID and Tenant Secret.\"}");

  // Tenant A still has both its users, unchanged.
  const auto a = server.TenantHeadersOf(0);
  EXPECT_EQ(server.Send("GET", "/users/me", "", with(a, TS::Token(annA.FToken))).FStatus, 200);
  EXPECT_EQ(server.Send("GET", "/users/" + samA.FId, "", a).FStatus, 200);
  EXPECT_EQ(Shape(Parse(server.Send("GET", "/users/" + annA.FId, "", a).FBody)), "username=ann,_id,_meta{creator,created}");
}

TEST(ApacheUsers, AccessControlLists) {
  TKelvoTestServer::TOptions options;
  options.FExtraIni = "[Server.Authorization]\nUsers={\"users\":[\"ann\"]}\n";
  TKelvoTestServer server(options);
  // The list is closed to anonymous callers; the master secret passes every list.
  auto add = [&](const std::string& name) {
    const auto reply = server.Send("POST", "/users", "{\"username\":\"" + name + "\",\"password\":\"pw\"}", {TS::Master()});
    EXPECT_EQ(reply.FStatus, 201) << reply.FBody;
    return TS::Member(reply.FBody, "_id");
  };
  const std::string ann = add("ann"), bob = add("bob");
  EXPECT_EQ(server.Send("POST", "/users/signup", "{\"username\":\"cy\",\"password\":\"pw\"}").FStatus, 401);
  // The ACL closes the login endpoint to anonymous callers too; the master secret opens it.
  EXPECT_EQ(server.Send("POST", "/users/login", "{\"username\":\"bob\",\"password\":\"pw\"}").FStatus, 401);
  auto login = [&](const std::string& name) {
    const auto reply =
        server.Send("POST", "/users/login", "{\"username\":\"" + name + "\",\"password\":\"pw\"}", {TS::Master()});
    EXPECT_EQ(reply.FStatus, 201) << reply.FBody;
    return TS::Token(TS::Member(reply.FBody, "sessionToken"));
  };
  const auto annT = login("ann");
  const auto bobToken = login("bob");

  struct TCase {
    const char* FMethod;
    std::string FPath;
    std::vector<std::string> FHeaders;
    int FStatus;
  };
  const TCase cases[] = {
      {"GET", "/users", {}, 401},
      {"GET", "/users", {annT}, 200},                  // by user name
      {"GET", "/users", {bobToken}, 401},
      {"GET", "/users", {TS::Master()}, 200},
      {"GET", "/users/" + bob, {bobToken}, 200},       // creator-only copy: bob reads himself
      {"GET", "/users/me", {bobToken}, 200},
      {"GET", "/users/" + ann, {bobToken}, 401},       // but nobody else
      {"GET", "/users/" + bob, {annT}, 200},           // ann is on the list
      {"PUT", "/users/" + ann, {bobToken}, 401},
      {"DELETE", "/users/" + ann, {bobToken}, 401},
      {"GET", "/users/fields", {bobToken}, 401},
  };
  for (const auto& c : cases) {
    const std::string body = std::string(c.FMethod) == "PUT" ? "{\"x\":\"y\"}" : "";
    EXPECT_EQ(server.Send(c.FMethod, c.FPath, body, c.FHeaders).FStatus, c.FStatus)
        << c.FMethod << " " << c.FPath << " " << (c.FHeaders.empty() ? "" : c.FHeaders[0]);
  }
  // bob changes and deletes himself.
  EXPECT_EQ(server.Send("PUT", "/users/" + bob, "{\"x\":\"y\"}", {bobToken}).FStatus, 200);
  EXPECT_EQ(server.Send("DELETE", "/users/" + bob, "", {bobToken}).FStatus, 204);
}

TEST(ApacheUsers, PublicAndSignedInEntries) {
  TKelvoTestServer::TOptions options;
  options.FExtraIni =
      "[Server.Authorization]\nUsers={\"users\":[\"*\"]}\nUsers.GetUser={\"public\":true}\n"
      "Users.SignupUser={\"public\":true}\nUsers.LoginUser={\"public\":true}\n";
  TKelvoTestServer server(options);
  const auto ann = server.Signup("ann", "pw");
  EXPECT_EQ(server.Send("GET", "/users").FStatus, 401);
  EXPECT_EQ(server.Send("GET", "/users", "", {TS::Token(ann.FToken)}).FStatus, 200);
  EXPECT_EQ(server.Send("GET", "/users/" + ann.FId).FStatus, 200);  // public, no creator check
  EXPECT_EQ(server.Send("DELETE", "/users/" + ann.FId).FStatus, 401);
}

TEST(ApacheUsers, ConcurrentSignInsOfOneUser) {
  TKelvoTestServer server;
  server.Signup("busy", "pw");
  constexpr int kClients = 32;
  std::vector<std::string> tokens(kClients);
  std::vector<long> statuses(kClients);
  std::atomic<int> ready{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kClients) std::this_thread::yield();
      const auto reply = server.Send("POST", "/users/login", "{\"username\":\"busy\",\"password\":\"pw\"}");
      statuses[i] = reply.FStatus;
      tokens[i] = TS::Member(reply.FBody, "sessionToken");
    });
  for (auto& c : clients) c.join();
  int valid = 0;
  std::set<std::string> distinct;
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(statuses[i], 201) << i;
    distinct.insert(tokens[i]);
    if (server.Send("GET", "/users/me", "", {TS::Token(tokens[i])}).FStatus == 200) ++valid;
  }
  // Every sign-in replaced the token: exactly one of them is the session now.
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kClients));
  EXPECT_EQ(valid, 1);
}

TEST(ApacheUsers, APIDocumentationOfUsers) {
  TKelvoTestServer server;
  const auto json = server.Send("GET", "/api/apidoc.json");
  ASSERT_EQ(json.FStatus, 200);
  EXPECT_EQ(SwaggerProblems(json.FBody), std::vector<std::string>{});
  const auto doc = Parse(json.FBody);
  EXPECT_EQ(std::string(doc["paths"]["/users/signup"]["post"]["summary"].GetString()), "Sign Up  User");
  EXPECT_EQ(std::string(doc["paths"]["/users"]["get"]["description"].GetString()),
            "Used to retrieve all data from `Users`.\nOptional query param of **skip, limit, order, where** determines\n"
            "size of returned array, filtered and order by.");
  for (const char* def : {"_metaObject", "userObject", "userTokenObject", "userCredentialsObject",
                          "userSignUpResponseObject", "useridObject", "updateObject", "updatedObject", "groupName",
                          "fieldObject"})
    EXPECT_TRUE(doc["definitions"].HasMember(def)) << def;
  const auto yaml = server.Send("GET", "/api/apidoc.yaml");
  const auto from_yaml = Parse(YAMLToJSON(yaml.FBody));
  EXPECT_TRUE(from_yaml == doc);
}
