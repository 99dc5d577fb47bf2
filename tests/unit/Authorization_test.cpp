// Access-control lists, creator checks and the users they resolve through the pipeline.
#include <gtest/gtest.h>

#include <map>

#include "KelvoHosting.Helpers.h"
#include "KelvoHosting.ResourceManager.h"
#include "KelvoInProcess.h"
#include "KelvoServer.ACL.h"
#include "KelvoServer.WebvaneModule.h"
#include "KelvoServerAPI.Resource.h"

namespace {

const char* const kAlice = "11111111-1111-1111-1111-111111111111";
const char* const kBob = "22222222-2222-2222-2222-222222222222";
const char* const kCarol = "33333333-3333-3333-3333-333333333333";
// Carol's user name has the shape of an id.
const char* const kCarolName = "44444444-4444-4444-4444-444444444444";

struct TFakeUser {
  std::string FId;
  std::string FName;
  std::vector<std::string> FGroups;
};

// Sessions and users as the data layer would answer them, for one tenant "t1".
class AuthorizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FUsers = {{"tA", {kAlice, "alice", {"staff"}}}, {"tB", {kBob, "bob", {}}}, {"tC", {kCarol, kCarolName, {"other"}}}};
    auto& services = KelvoRequestServices();
    services.GetDefaultTenantId = [] { return std::string("t1"); };
    services.UserIDOfSession = [this](IKelvoHostContext*, const std::string& token, const std::string& tenant,
                                      std::string& id) {
      auto it = FUsers.find(token);
      if (tenant != "t1" || it == FUsers.end()) return false;
      id = it->second.FId;
      return true;
    };
    services.IsUserBelongsToTenant = [](const std::string&, const std::string& tenant) { return tenant == "t1"; };
    services.UserNameOfID = [this](IKelvoHostContext*, const std::string& id, const std::string&, std::string& name) {
      for (const auto& [token, user] : FUsers)
        if (user.FId == id) {
          name = user.FName;
          return true;
        }
      return false;
    };
    services.GetGroupsByUser = [this](IKelvoHostContext*, const std::string& id, const std::string&) {
      for (const auto& [token, user] : FUsers)
        if (user.FId == id) return user.FGroups;
      return std::vector<std::string>();
    };
  }
  void TearDown() override { KelvoRequestServices() = TKelvoRequestServices(); }

  // Starts the server with the ACL lines; "Stuff.GetThing" allows the creator of a thing.
  std::unique_ptr<TInProcessServer> Start(const std::string& acl_lines, const std::string& keys = "") {
    auto server = std::make_unique<TInProcessServer>("[Server.Keys]\n" + keys + "\n[Server.Authorization]\n" + acl_lines);
    EndpointAuthorization().RegisterAllowCreator("Stuff", {"GetThing"});
    RegisterACLs();  // again, now that the allow-creator endpoint is known
    TResourceDefinition stuff("Stuff");
    stuff.Get("ListThings", "", Identity);
    stuff.Get("GetThing", "{id}", [this](TEndpointContext& context, TEndpointRequest& request, TEndpointResponse& response) {
      TEndpointHelpers::CheckCreator(context, [&] { return FCreators.at(request.Params().GetValue("id")); });
      Identity(context, request, response);
    });
    RegisterResource(stuff);
    return server;
  }

  static void Identity(TEndpointContext& context, TEndpointRequest&, TEndpointResponse& response) {
    response.Body().SetBytes(TEndpointHelpers::IdentityFromContext(context), "text/plain");
  }

  static int Status(TInProcessServer& server, const std::string& path, const std::string& token,
                    const std::string& master = "") {
    std::vector<std::pair<std::string, std::string>> headers;
    if (!token.empty()) headers.emplace_back("X-Vantrel-Session-Token", token);
    if (!master.empty()) headers.emplace_back("X-Vantrel-Master-Secret", master);
    return server.Request("GET", path, headers).FStatus;
  }

  std::map<std::string, TFakeUser> FUsers;
  std::map<std::string, std::string> FCreators = {
      {"byAlice", kAlice}, {"byBob", kBob}, {"anon", TEndpointHelpers::kAnonymousCreator}};
};

}  // namespace

TEST_F(AuthorizationTest, GroupEntryWithCreatorCopy) {
  auto server = Start("Stuff={\"groups\":[\"staff\"]}\n", "MasterSecret=m");
  struct TCase {
    const char* FPath;
    const char* FToken;
    int FStatus;
  };
  const TCase cases[] = {
      {"/stuff", "tA", 200},        {"/stuff/byBob", "tA", 200},  // a member of staff reads anything
      {"/stuff", "tB", 401},        {"/stuff/byBob", "tB", 200},  // bob only what he created
      {"/stuff/byAlice", "tB", 401}, {"/stuff/anon", "tB", 401},  // nobody proves an anonymous creation
      {"/stuff", "", 401},          {"/stuff/byBob", "", 401},
      {"/stuff", "tUnknown", 401},
  };
  for (const auto& c : cases) EXPECT_EQ(Status(*server, c.FPath, c.FToken), c.FStatus) << c.FPath << " " << c.FToken;
  EXPECT_EQ(Status(*server, "/stuff/byAlice", "", "m"), 200);
  EXPECT_EQ(server->Request("GET", "/stuff", {{"X-Vantrel-Master-Secret", "m"}}).FBody,
            TEndpointHelpers::kMasterSecretCreator);
  EXPECT_EQ(server->Request("GET", "/stuff", {{"X-Vantrel-Session-Token", "tA"}}).FBody, kAlice);
}

TEST_F(AuthorizationTest, PublicEntryOpensEveryEndpoint) {
  auto server = Start("Stuff={\"public\":true}\n");
  EXPECT_EQ(Status(*server, "/stuff/byAlice", "tB"), 200);
  EXPECT_EQ(Status(*server, "/stuff/byAlice", ""), 200);
  EXPECT_EQ(server->Request("GET", "/stuff").FBody, TEndpointHelpers::kAnonymousCreator);
}

TEST_F(AuthorizationTest, UsersByIdAndByName) {
  struct TCase {
    std::string FAcl;
    const char* FToken;
    int FStatus;
  };
  const TCase cases[] = {
      {"{\"users\":[\"alice\"]}", "tA", 200},
      {"{\"users\":[\"alice\"]}", "tB", 401},
      {std::string("{\"users\":[\"") + kBob + "\"]}", "tB", 200},
      {std::string("{\"users\":[\"") + kCarolName + "\"]}", "tC", 401},  // a name shaped like an id grants nothing
      {std::string("{\"users\":[\"") + kCarol + "\"]}", "tC", 200},
      {"{\"users\":[\"*\"]}", "tB", 200},
      {"{\"users\":[\"*\"]}", "", 401},
      {"{\"groups\":[\"*\"]}", "tB", 401},  // bob is in no group
      {"{\"groups\":[\"*\"]}", "tC", 200},
      {"{\"groups\":[\"Staff\"]}", "tA", 401},  // group names are compared exactly
      {"{}", "tA", 401},
  };
  for (const auto& c : cases) {
    auto server = Start("Stuff.ListThings=" + c.FAcl + "\n");
    EXPECT_EQ(Status(*server, "/stuff", c.FToken), c.FStatus) << c.FAcl << " " << c.FToken;
  }
}

TEST_F(AuthorizationTest, EntriesActInFileOrder) {
  {
    // The endpoint's own entry replaces the copy of the resource's entry, keeping allow-creator.
    auto server = Start("Stuff={\"public\":true}\nStuff.GetThing={\"users\":[\"alice\"]}\n");
    EXPECT_EQ(Status(*server, "/stuff/byBob", "tB"), 200);
    EXPECT_EQ(Status(*server, "/stuff/byAlice", "tB"), 401);
    EXPECT_EQ(Status(*server, "/stuff", ""), 200);
  }
  // A resource entry after the endpoint's entry replaces it with its copy.
  auto server = Start("Stuff.GetThing={\"users\":[\"alice\"]}\nStuff={\"public\":true}\n");
  EXPECT_EQ(Status(*server, "/stuff/byAlice", "tB"), 200);
}

TEST(ACLReader, Errors) {
  const std::pair<const char*, const char*> cases[] = {
      {"[1]", "Invalid JSON ACL : [1]"},
      {"not json", "Invalid JSON ACL : not json"},
      {"{\"Users\":[]}", "Unexpected JSON ACL elements: Users"},
      {"{\"users\":\"bob\"}", "Cannot parse JSON ACL.  JSON Array expected: {\"users\":\"bob\"}"},
      {"{\"groups\":{}}", "Cannot parse JSON ACL.  JSON Array expected: {\"groups\":{}}"},
      {"{\"public\":\"yes\"}", "Cannot parse JSON ACL.  JSON true or false expected: {\"public\":\"yes\"}"},
  };
  for (const auto& [value, message] : cases) {
    try {
      ReadACL(value);
      ADD_FAILURE() << "accepted " << value;
    } catch (const EKelvoConfigurationError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
  const auto acl = ReadACL("{\"users\":[\"a\",2],\"public\":false,\"groups\":[\"g\"],\"users\":[\"b\"]}");
  EXPECT_EQ(acl->Users(), (std::vector<std::string>{"a", "2", "b"}));
  EXPECT_EQ(acl->Groups(), std::vector<std::string>{"g"});
  EXPECT_FALSE(acl->IsPublic());
  EXPECT_FALSE(acl->AllowCreator());
}

TEST(ACLReader, BadEntryStopsStartupRegistrationButTheServerAnswers) {
  TInProcessServer server("[Server.Authorization]\nVersion={\"public\":true}\nUsers=[1]\nGroups={}\n");
  EXPECT_EQ(server.Request("GET", "/").FStatus, 200);
  const auto reply = server.Request("GET", "/version");
  EXPECT_EQ(reply.FStatus, 404);
  EXPECT_EQ(reply.FBody, "{\"error\":\"Resource not found: /version\"}");
  // Entries before the bad one were registered; the ones after were not.
  EXPECT_NE(EndpointAuthorization().FindACL("version"), nullptr);
  EXPECT_EQ(EndpointAuthorization().FindACL("Groups"), nullptr);
}

TEST(ResourceManager, FindByNameAndAllowCreatorNames) {
  TInProcessServer server("");
  RegisterResource(std::make_unique<TStubResource>("Twin", "/t1", "X"));
  EXPECT_EQ(EndpointManager().FindByName("version")->GetName(), "Version");
  EXPECT_EQ(EndpointManager().FindByName("nothing"), nullptr);
  EXPECT_EQ(EndpointManager().FindByBaseURL("/t1/").size(), 1u);
  RegisterResource(std::make_unique<TStubResource>("TWIN", "/t2", "X"));
  EXPECT_THROW(EndpointManager().FindByName("twin"), EKelvoException);

  auto& authorization = EndpointAuthorization();
  authorization.RegisterAllowCreator("Stuff", {"GetThing", "DeleteThing"});
  authorization.RegisterAllowCreator("StuffX", {"Other"});
  EXPECT_TRUE(authorization.AllowCreator("stuff.getthing"));
  EXPECT_FALSE(authorization.AllowCreator("Stuff.GetThings"));
  EXPECT_EQ(authorization.AllowCreatorEndpoints("STUFF"), (std::vector<std::string>{"Stuff.DeleteThing", "Stuff.GetThing"}));
}
