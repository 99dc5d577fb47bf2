// The "Users" resource through the real Apache on a fresh database: sessions, custom fields,
// lists, the error replies, tenant isolation and access-control lists.
#include <gtest/gtest.h>

#include <atomic>
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
