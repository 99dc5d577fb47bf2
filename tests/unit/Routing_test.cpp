// Choosing an endpoint inside a resource: the overlapping suffixes of the built-in resources
// must each stay reachable.
#include <gtest/gtest.h>

#include "KelvoInProcess.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Resource.h"

namespace {

// A stand-in handler: answers "<endpoint> k=v k=v" with the path parameters it was given.
TEndpointHandler Answer(const std::string& endpoint, std::vector<std::string> params = {}) {
  return [endpoint, params](TEndpointContext&, TEndpointRequest& request, TEndpointResponse& response) {
    std::string text = endpoint;
    for (const auto& p : params) text += " " + p + "=" + request.Params().GetValue(p);
    response.Body().SetBytes(text, "text/plain");
  };
}

void RegisterStandIns() {
  TResourceDefinition users("Members");
  users.Get("GetUsers", "", Answer("GetUsers"));
  users.Get("GetUser", "{id}", Answer("GetUser", {"id"}));
  users.Get("GetUserFields", "fields", Answer("GetUserFields"));
  users.Get("GetUserGroups", "{id}/groups", Answer("GetUserGroups", {"id"}));
  users.Post("SignupUser", "signup", Answer("SignupUser"));
  users.Post("LoginUser", "login", Answer("LoginUser"));
  users.Post("LogoutUser", "logout", Answer("LogoutUser"));
  users.Post("AddUser", "", Answer("AddUser"));
  users.Put("UpdateUser", "{id}", Answer("UpdateUser", {"id"}));
  users.Delete("DeleteUser", "{id}", Answer("DeleteUser", {"id"}));
  RegisterResource(users);

  TResourceDefinition groups("Teams");
  groups.Get("GetGroups", "", Answer("GetGroups"));
  groups.Get("GetGroup", "{item}", Answer("GetGroup", {"item"}));
  groups.Get("GetGroupFields", "fields", Answer("GetGroupFields"));
  groups.Post("AddGroup", "", Answer("AddGroup"));
  groups.Put("UpdateGroup", "{item}", Answer("UpdateGroup", {"item"}));
  groups.Delete("DeleteGroup", "{item}", Answer("DeleteGroup", {"item"}));
  RegisterResource(groups);

  TResourceDefinition modules("Edgemodules");
  modules.Get("GetModules", "", Answer("GetModules"));
  modules.Get("GetModule", "{mname}", Answer("GetModule", {"mname"}));
  modules.Get("GetResources", "resources", Answer("GetResources"));
  modules.Get("GetModuleResources", "{mname}/resources", Answer("GetModuleResources", {"mname"}));
  modules.Get("GetModulesFields", "fields", Answer("GetModulesFields"));
  modules.Get("GetResourcesFields", "resources/fields", Answer("GetResourcesFields"));
  modules.Get("GetModuleResource", "{mname}/resources/{name}", Answer("GetModuleResource", {"mname", "name"}));
  modules.Post("RegisterModule", "", Answer("RegisterModule"));
  modules.Post("RegisterModuleResource", "{mname}/resources", Answer("RegisterModuleResource", {"mname"}));
  modules.Put("UpdateModule", "{mname}", Answer("UpdateModule", {"mname"}));
  modules.Put("UpdateModuleResource", "{mname}/resources/{name}", Answer("UpdateModuleResource", {"mname", "name"}));
  modules.Delete("UnregisterModule", "{mname}", Answer("UnregisterModule", {"mname"}));
  modules.Delete("UnregisterModuleResource", "{mname}/resources/{name}",
                 Answer("UnregisterModuleResource", {"mname", "name"}));
  const std::pair<const char*, TEndpointRequest::TMethod> invokers[] = {
      {"Get", TEndpointRequest::TMethod::Get},       {"Put", TEndpointRequest::TMethod::Put},
      {"Post", TEndpointRequest::TMethod::Post},     {"Patch", TEndpointRequest::TMethod::Patch},
      {"Delete", TEndpointRequest::TMethod::Delete}};
  for (const auto& [verb, method] : invokers) {
    const std::string name = std::string(verb) + "ResourceEndpoint";
    auto add = [&](const std::string& n, const std::string& suffix) {
      switch (method) {
        case TEndpointRequest::TMethod::Get: modules.Get(n, suffix, Answer(n, {"mname", "rname"})); break;
        case TEndpointRequest::TMethod::Put: modules.Put(n, suffix, Answer(n, {"mname", "rname"})); break;
        case TEndpointRequest::TMethod::Post: modules.Post(n, suffix, Answer(n, {"mname", "rname"})); break;
        case TEndpointRequest::TMethod::Patch: modules.Patch(n, suffix, Answer(n, {"mname", "rname"})); break;
        case TEndpointRequest::TMethod::Delete: modules.Delete(n, suffix, Answer(n, {"mname", "rname"})); break;
      }
    };
    add(name, "{mname}/{rname}");
    add(name + "Item", "{mname}/{rname}/*");
  }
  RegisterResource(modules);
}

}  // namespace

TEST(Routing, OverlappingSuffixesResolveToTheMostSpecificEndpoint) {
  TInProcessServer server("");
  RegisterStandIns();
  struct TCase {
    const char* FMethod;
    const char* FPath;
    const char* FAnswer;
  };
  const TCase cases[] = {
      {"GET", "/members", "GetUsers"},
      {"GET", "/members/", "GetUsers"},
      {"GET", "/members/fields", "GetUserFields"},
      {"GET", "/members/FIELDS", "GetUserFields"},
      {"GET", "/members/123", "GetUser id=123"},
      {"GET", "/members/123/", "GetUser id=123"},
      {"GET", "/members/123/groups", "GetUserGroups id=123"},
      {"HEAD", "/members/123", "GetUser id=123"},
      {"POST", "/members", "AddUser"},
      {"POST", "/members/login", "LoginUser"},
      {"POST", "/members/signup", "SignupUser"},
      {"POST", "/members/logout", "LogoutUser"},
      {"PUT", "/members/u1", "UpdateUser id=u1"},
      {"DELETE", "/members/u1", "DeleteUser id=u1"},
      {"GET", "/teams/fields", "GetGroupFields"},
      {"GET", "/teams/staff", "GetGroup item=staff"},
      {"PUT", "/teams/staff", "UpdateGroup item=staff"},
      {"GET", "/edgemodules", "GetModules"},
      {"GET", "/edgemodules/fields", "GetModulesFields"},
      {"GET", "/edgemodules/resources", "GetResources"},
      {"GET", "/edgemodules/resources/fields", "GetResourcesFields"},
      {"GET", "/edgemodules/m1", "GetModule mname=m1"},
      {"GET", "/edgemodules/m1/resources", "GetModuleResources mname=m1"},
      {"GET", "/edgemodules/m1/resources/r1", "GetModuleResource mname=m1 name=r1"},
      {"GET", "/edgemodules/m1/r1", "GetResourceEndpoint mname=m1 rname=r1"},
      {"GET", "/edgemodules/m1/r1/a/b", "GetResourceEndpointItem mname=m1 rname=r1"},
      {"GET", "/edgemodules/m1/resources/r1/x", "GetResourceEndpointItem mname=m1 rname=resources"},
      {"POST", "/edgemodules", "RegisterModule"},
      {"POST", "/edgemodules/m1/resources", "RegisterModuleResource mname=m1"},
      {"POST", "/edgemodules/m1/r1", "PostResourceEndpoint mname=m1 rname=r1"},
      {"PUT", "/edgemodules/m1", "UpdateModule mname=m1"},
      {"PUT", "/edgemodules/m1/resources/r1", "UpdateModuleResource mname=m1 name=r1"},
      {"PUT", "/edgemodules/m1/r1/x", "PutResourceEndpointItem mname=m1 rname=r1"},
      {"PATCH", "/edgemodules/m1/r1", "PatchResourceEndpoint mname=m1 rname=r1"},
      {"DELETE", "/edgemodules/m1", "UnregisterModule mname=m1"},
      {"DELETE", "/edgemodules/m1/resources/r1", "UnregisterModuleResource mname=m1 name=r1"},
      {"DELETE", "/edgemodules/m1/r1/z", "DeleteResourceEndpointItem mname=m1 rname=r1"},
  };
  for (const auto& c : cases) {
    const auto reply = server.Request(c.FMethod, c.FPath);
    EXPECT_EQ(reply.FStatus, 200) << c.FMethod << " " << c.FPath << ": " << reply.FBody;
    EXPECT_EQ(reply.FBody, c.FAnswer) << c.FMethod << " " << c.FPath;
  }
}

TEST(Routing, NoEndpointForMethodOrShape) {
  TInProcessServer server("");
  RegisterStandIns();
  const std::pair<const char*, const char*> cases[] = {
      {"PATCH", "/members/1"}, {"POST", "/members/1/2/3"}, {"GET", "/members/1/groups/x"}, {"DELETE", "/members"},
      {"PUT", "/teams"}, {"GET", "/edgemodules/m1/resources/r1/fields/x/y"}};
  for (const auto& [method, path] : cases) {
    const auto reply = server.Request(method, path);
    if (std::string(path) == "/edgemodules/m1/resources/r1/fields/x/y") {
      EXPECT_EQ(reply.FStatus, 200) << "the wildcard takes any depth";
      continue;
    }
    EXPECT_EQ(reply.FStatus, 404) << method << " " << path;
    EXPECT_EQ(reply.FBody, std::string("{\"error\":\"Error\",\"description\":\"Resource not found: ") + path + "\"}");
  }
}

TEST(Routing, PathParametersJoinTheQueryParameters) {
  TInProcessServer server("");
  TResourceDefinition items("Items");
  items.Get("GetItem", "{ID}", [](TEndpointContext&, TEndpointRequest& request, TEndpointResponse& response) {
    std::string text;
    for (const auto& [name, value] : request.Params().ToPairs()) text += name + "=" + value + ";";
    text += "|" + request.Params().GetValue("id");
    response.Body().SetBytes(text, "text/plain");
  });
  RegisterResource(items);
  // The path names the object: its parameter comes first, so it wins over a query field of
  // the same name.
  EXPECT_EQ(server.Request("GET", "/items/42?limit=5&id=q").FBody, "ID=42;limit=5;id=q;|42");
}
