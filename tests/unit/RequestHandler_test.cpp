// The request pipeline end to end inside the test process: checks, routing, error replies.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "KelvoHosting.RequestHandler.h"
#include "KelvoInProcess.h"
#include "KelvoServerTestSupport.h"
#include "KelvoServer.WebvaneModule.h"
#include "KelvoServer.Redirect.h"
#include "KelvoServer.WebvaneRequestTypes.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.JSON.h"

namespace {

using THeaders = std::vector<std::pair<std::string, std::string>>;

std::string Describe(const TInProcessReply& r) { return std::to_string(r.FStatus) + " " + r.FBody; }

// Answers with the endpoint name, the authentication flags and the request's user id.
void EchoContext(TEndpointContext& context) {
  rapidjson::Document body;
  body.SetObject();
  auto& a = body.GetAllocator();
  AddMember(body, "endpoint", context.EndpointName(), a);
  body.AddMember("flags", context.Authenticated().Bits(), a);
  AddMember(body, "path", context.Request()->Segments().GetCount() > 0 ? context.Request()->Segments().GetItem(0) : "", a);
  context.Response()->Body().SetValue(body);
}

}  // namespace

struct TCheckCase {
  const char* FName;
  const char* FIni;
  const char* FPath;
  THeaders FHeaders;
  int FStatus;
  const char* FBody;  // exact reply body
};

class PipelineChecks : public ::testing::TestWithParam<TCheckCase> {};

TEST_P(PipelineChecks, Reply) {
  const auto& c = GetParam();
  // A database with no tenant: tenant checks answer from real (empty) data.
  TInProcessServer server(c.FIni, [](const std::string& dir) { CreateServerDatabase(dir + "/kelvoserver.tvl", {}); });
  RegisterResource(std::make_unique<TStubResource>("Things", "/things", "GetUsers", EchoContext));
  const auto reply = server.Request("GET", c.FPath, c.FHeaders);
  EXPECT_EQ(reply.FStatus, c.FStatus) << Describe(reply);
  EXPECT_EQ(reply.FBody, c.FBody);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PipelineChecks,
    ::testing::Values(
        TCheckCase{"RootWithoutResource", "", "/", {}, 200, ""},
        TCheckCase{"EmptyPath", "", "", {}, 200, ""},
        TCheckCase{"Favicon", "", "/favicon.ico", {}, 404, ""},
        TCheckCase{"FaviconAnyCase", "", "/FAVICON.ICO", {}, 404, ""},
        TCheckCase{"UnknownResource", "", "/nothing", {}, 404, "{\"error\":\"Resource not found: /nothing\"}"},
        TCheckCase{"KnownResource", "", "/things/1", {}, 200, "{\"endpoint\":\"GetUsers\",\"flags\":2,\"path\":\"things/\"}"},
        TCheckCase{"Version2_7", "", "/", {{"X-Vantrel-Api-Version", "2.7"}}, 200, ""},
        TCheckCase{"Version1", "", "/", {{"X-Vantrel-Api-Version", "1"}}, 200, ""},
        TCheckCase{"Version3", "", "/", {{"X-Vantrel-Api-Version", "3"}}, 400,
                   "{\"error\":\"Error\",\"description\":\"Request version number not supported: 3\"}"},
        TCheckCase{"VersionAbc", "", "/", {{"X-Vantrel-Api-Version", "abc"}}, 400,
                   "{\"error\":\"Error\",\"description\":\"Request version number not supported: abc\"}"},
        TCheckCase{"VersionDot5", "", "/", {{"X-Vantrel-Api-Version", ".5"}}, 400,
                   "{\"error\":\"Error\",\"description\":\"Request version number not supported: .5\"}"},
        TCheckCase{"VersionResourceTakesAnyVersion", "", "/version", {{"X-Vantrel-Api-Version", "99"}}, 200,
                   "{\"version\":\"4.1\",\"server\":\"Brill Server\"}"},
        TCheckCase{"AppIdMissing", "[Server.Keys]\nApplicationID=app\n", "/", {}, 400,
                   "{\"error\":\"Error\",\"description\":\"Application id missing from request\"}"},
        TCheckCase{"AppIdUnknown", "[Server.Keys]\nApplicationID=app\n", "/", {{"X-Vantrel-Application-Id", "x"}}, 404,
                   "{\"error\":\"Error\",\"description\":\"Request has unknown application id: x\"}"},
        TCheckCase{"AppIdWhenNoneConfigured", "", "/", {{"X-Vantrel-Application-Id", "x"}}, 404,
                   "{\"error\":\"Error\",\"description\":\"Request has unknown application id: x\"}"},
        TCheckCase{"AppIdRight", "[Server.Keys]\nApplicationID=app\n", "/", {{"X-Vantrel-Application-Id", "app"}}, 200, ""},
        TCheckCase{"AppSecretMissing", "[Server.Keys]\nAppSecret=s\n", "/", {}, 401, "{\"error\":\"Error\"}"},
        TCheckCase{"AppSecretWrong", "[Server.Keys]\nAppSecret=s\n", "/", {{"X-Vantrel-App-Secret", "t"}}, 401, "{\"error\":\"Error\"}"},
        TCheckCase{"AppSecretRight", "[Server.Keys]\nAppSecret=s\n", "/things", {{"X-Vantrel-App-Secret", "s"}}, 200,
                   "{\"endpoint\":\"GetUsers\",\"flags\":2,\"path\":\"things\"}"},
        TCheckCase{"MasterWinsOverWrongAppSecret", "[Server.Keys]\nAppSecret=s\nMasterSecret=m\n", "/things",
                   {{"X-Vantrel-App-Secret", "wrong"}, {"X-Vantrel-Master-Secret", "m"}}, 200,
                   "{\"endpoint\":\"GetUsers\",\"flags\":1,\"path\":\"things\"}"},
        TCheckCase{"MasterWrong", "[Server.Keys]\nMasterSecret=m\n", "/", {{"X-Vantrel-Master-Secret", "x"}}, 401,
                   "{\"error\":\"Error\"}"},
        TCheckCase{"TenantInSingleTenantMode", "", "/", {{"X-Vantrel-Tenant-Id", "t1"}}, 401,
                   "{\"error\":\"Error\",\"description\":\"Tenant may be specified only for Multi Tenant Mode.\"}"},
        TCheckCase{"TenantUnknownInMultiTenantMode", "[Server.Tenants]\nMultiTenantMode=true\n", "/",
                   {{"X-Vantrel-Tenant-Id", "t1"}, {"X-Vantrel-Tenant-Secret", "s"}}, 401,
                   "{\"error\":\"Error\",\"description\":\"Enter the valid values for Tenant ID and Tenant Secret.\"}"},
        TCheckCase{"RootStrippedFromPath", "[Server.Roots]\nResources=api\n", "/api/things/123", {}, 200,
                   "{\"endpoint\":\"GetUsers\",\"flags\":2,\"path\":\"things/\"}"},
        TCheckCase{"RootWithSlashes", "[Server.Roots]\nResources=/API/\n", "/api/things", {}, 200,
                   "{\"endpoint\":\"GetUsers\",\"flags\":2,\"path\":\"things\"}"},
        TCheckCase{"OutsideRoot", "[Server.Roots]\nResources=api\n", "/other", {}, 404,
                   "{\"error\":\"Resource not found: /other\"}"},
        // Outside the root no check runs: the missing application id goes unnoticed.
        TCheckCase{"OutsideRootSkipsChecks", "[Server.Roots]\nResources=api\n[Server.Keys]\nApplicationID=app\n", "/", {},
                   200, ""}),
    [](const auto& info) { return std::string(info.param.FName); });

TEST(Pipeline, ResourceChoice) {
  TInProcessServer server("");
  auto first = std::make_unique<TStubResource>("A", "/things", "FromA", EchoContext);
  first->FCanHandle = false;
  RegisterResource(std::move(first));
  RegisterResource(std::make_unique<TStubResource>("B", "/things", "FromB", EchoContext));
  // The second resource's endpoint name is the one used.
  auto reply = server.Request("GET", "/things");
  EXPECT_EQ(reply.FStatus, 200);
  EXPECT_NE(reply.FBody.find("\"endpoint\":\"FromB\""), std::string::npos) << reply.FBody;

  auto none = std::make_unique<TStubResource>("C", "/empty", "X");
  none->FCanHandle = false;
  RegisterResource(std::move(none));
  reply = server.Request("GET", "/empty/1");
  EXPECT_EQ(Describe(reply), "404 {\"error\":\"Error\",\"description\":\"Resource not found: /empty/1\"}");

  RegisterResource(std::make_unique<TStubResource>("D", "/twice", "One"));
  RegisterResource(std::make_unique<TStubResource>("E", "/twice", "Two"));
  reply = server.Request("GET", "/twice");
  EXPECT_EQ(Describe(reply), "500 {\"error\":\"Resource error\",\"description\":\"Unable to resolve request to a single endpoint\"}");
}

TEST(Pipeline, ExceptionsBecomeTheErrorReply) {
  TInProcessServer server("");
  RegisterResource(std::make_unique<TStubResource>("Boom", "/boom", "Boom", [](TEndpointContext& c) {
    c.Response()->Body().SetValue(rapidjson::Value("partial"));  // replaced by the error reply
    throw std::runtime_error("database is down");
  }));
  RegisterResource(std::make_unique<TStubResource>("Http", "/http", "Http", [](TEndpointContext&) {
    RaiseDuplicate("Duplicate", "Name taken");
  }));
  RegisterResource(std::make_unique<TStubResource>("Range", "/range", "Range", [](TEndpointContext& c) {
    c.Request()->Segments().GetItem(7);
  }));
  RegisterResource(std::make_unique<TStubResource>("Odd", "/odd", "Odd", [](TEndpointContext&) { throw 42; }));
  auto reply = server.Request("GET", "/boom");
  EXPECT_EQ(Describe(reply), "500 {\"error\":\"Error\",\"description\":\"database is down\"}");
  EXPECT_EQ(reply.FContentType, "application/json");
  EXPECT_EQ(Describe(server.Request("GET", "/http")), "409 {\"error\":\"Duplicate\",\"description\":\"Name taken\"}");
  reply = server.Request("GET", "/range");
  EXPECT_EQ(reply.FStatus, 500);
  EXPECT_NE(reply.FBody.find("out of range"), std::string::npos) << reply.FBody;
  EXPECT_EQ(server.Request("GET", "/odd").FStatus, 500);
}

TEST(Pipeline, CrossOrigin) {
  {
    TInProcessServer server("[Server.APICrossDomain]\nCrossDomain=https://app.example\n[Server.Keys]\nAppSecret=s\n");
    // Preflight: answered before any key check, with an empty body.
    auto reply = server.Request("OPTIONS", "/users");
    EXPECT_EQ(reply.FStatus, 200);
    EXPECT_EQ(reply.FBody, "");
    EXPECT_EQ(reply.Header("Access-Control-Allow-Origin"), "https://app.example");
    EXPECT_EQ(reply.Header("Access-Control-Allow-Methods"), "GET, PUT, POST, HEAD, DELETE, PATCH");
    EXPECT_NE(reply.Header("Access-Control-Allow-Headers").find("X-Vantrel-Session-Token"), std::string::npos);
    // Error replies carry the origin header too.
    reply = server.Request("GET", "/nothing");
    EXPECT_EQ(reply.FStatus, 401);
    EXPECT_EQ(reply.Header("Access-Control-Allow-Origin"), "https://app.example");
  }
  TInProcessServer server("");
  auto reply = server.Request("OPTIONS", "/");
  EXPECT_EQ(reply.Header("Access-Control-Allow-Origin"), "");
  EXPECT_NE(reply.Header("Access-Control-Allow-Methods"), "");
  EXPECT_EQ(server.Request("GET", "/").Header("Access-Control-Allow-Origin"), "");
}

TEST(Pipeline, Redirects) {
  TInProcessServer server(
      "[Server.Redirect]\nOld={\"destination\":\"New\"}\nOld.Special={\"destination\":\"Missing\"}\n"
      "Stuck={\"destination\":\"Closed\"}\n");
  RegisterResource(std::make_unique<TStubResource>("Old", "/old", "Plain", EchoContext));
  RegisterResource(std::make_unique<TStubResource>("Special", "/special", "Special", EchoContext));
  RegisterResource(std::make_unique<TStubResource>("New", "/new", "Fresh", EchoContext));
  RegisterResource(std::make_unique<TStubResource>("Stuck", "/stuck", "S", EchoContext));
  auto closed = std::make_unique<TStubResource>("Closed", "/closed", "C", EchoContext);
  closed->FCanHandle = false;
  RegisterResource(std::move(closed));

  auto reply = server.Request("GET", "/old");
  EXPECT_EQ(reply.FStatus, 200);
  EXPECT_NE(reply.FBody.find("\"endpoint\":\"Fresh\""), std::string::npos) << reply.FBody;
  EXPECT_EQ(Describe(server.Request("GET", "/stuck")),
            "404 {\"error\":\"Error\",\"description\":\"Redirect resource \\\"Closed\\\" does not have an endpoint to handle request\"}");
}

TEST(Pipeline, RedirectToUnknownAndDuplicateNames) {
  TInProcessServer server("[Server.Redirect]\nA.Go={\"destination\":\"Nowhere\"}\nB={\"destination\":\"twin\"}\n");
  RegisterResource(std::make_unique<TStubResource>("A", "/a", "Go", EchoContext));
  RegisterResource(std::make_unique<TStubResource>("B", "/b", "Go", EchoContext));
  RegisterResource(std::make_unique<TStubResource>("Twin", "/t1", "X", EchoContext));
  RegisterResource(std::make_unique<TStubResource>("TWIN", "/t2", "X", EchoContext));
  EXPECT_EQ(Describe(server.Request("GET", "/a")),
            "404 {\"error\":\"Error\",\"description\":\"Redirect resource not found: Nowhere\"}");
  EXPECT_EQ(Describe(server.Request("GET", "/b")), "500 {\"error\":\"Error\",\"description\":\"Duplicate\"}");
}

TEST(Pipeline, BadRedirectLineStopsRegistrationButServerAnswers) {
  TInProcessServer server("[Server.Redirect]\nA=[1]\n");
  EXPECT_EQ(server.Request("GET", "/").FStatus, 200);
  EXPECT_EQ(server.Request("GET", "/a").FStatus, 404);
}

TEST(Pipeline, RedirectLineErrors) {
  struct TCase {
    const char* FValue;
    const char* FMessage;
  };
  const TCase cases[] = {
      {"nope", "Invalid JSON Redirect : nope"},
      {"[1]", "Invalid JSON Redirect : [1]"},
      {"{}", "Invalid JSON Redirect : {}"},
      {"{\"Destination\":\"X\"}", "Unexpected JSON Redirect elements: Destination"},
      {"{\"destination\":1}", "Cannot parse JSON Redirect.  JSON string expected: {\"destination\":1}"},
      {"{\"destination\":\"X\",\"destination\":\"Y\"}", "Invalid JSON Redirect : {\"destination\":\"X\",\"destination\":\"Y\"}"},
  };
  for (const auto& c : cases) {
    TKelvoEndpointRedirect table;
    try {
      table.RegisterFromConfig("R", c.FValue);
      ADD_FAILURE() << "accepted " << c.FValue;
    } catch (const EKelvoConfigurationError& e) {
      EXPECT_STREQ(e.what(), c.FMessage);
    }
  }
}

TEST(Pipeline, TooManyConcurrentRequestsGetTheErrorPage) {
  TInProcessServer server("[Server.Limits]\nMaxConnections=1\n");
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false;
  bool release = false;
  RegisterResource(std::make_unique<TStubResource>("Slow", "/slow", "Slow", [&](TEndpointContext&) {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  }));
  std::thread slow([&] { server.Request("GET", "/slow"); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return entered; });
  }
  const auto reply = server.Request("GET", "/");
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  slow.join();
  EXPECT_EQ(reply.FStatus, 500);
  EXPECT_EQ(reply.FContentType, "text/html");
  EXPECT_EQ(reply.FBody,
            "<html><title>Internal Server Error 500</title>\r\n<h1>Internal Server Error 500</h1><hr>\r\n"
            "Exception: EWebvaneException<br>\r\nMessage: Maximum number of concurrent connections exceeded.  "
            "Please try again later<br></html>\r\n");
  // The slot is free again.
  EXPECT_EQ(server.Request("GET", "/").FStatus, 200);
}

TEST(RequestProps, HeadersAndTenantDecoding) {
  struct TCase {
    std::string FTenantHeader;
    std::string FTenantId;
  };
  const TCase cases[] = {
      {"%7B3F2504E0-4F89-11D3-9A0C-0305E82C3301%7D", "3F2504E0-4F89-11D3-9A0C-0305E82C3301"},
      {"{short}", "{short}"},
      {"plain%20id", "plain id"},
      {"bad%zzescape%", "bad%zzescape%"},
      {"", ""},
  };
  for (const auto& c : cases) {
    TWebvaneRequest web;
    web.FHeaders = {{"X-Vantrel-Tenant-Id", c.FTenantHeader}, {"x-vantrel-api-version", "2.7.1"}};
    web.FPathInfo = "/users/123";
    TWebvaneResponse response;
    TWebvaneServerWebResponse adapter(response, web);
    const auto props = TKelvoHostRequestProps::Read(*adapter.GetRequest());
    EXPECT_EQ(props.FTenantId, c.FTenantId) << c.FTenantHeader;
    EXPECT_EQ(props.FApiMajorVersion, "2");
    EXPECT_EQ(props.FApiMinorVersion, "7.1");
    EXPECT_EQ(props.FResourceURL, "/users/");
  }
}

TEST(RequestProps, ResourceURLOfPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"/users/123", "/users/"}, {"/users", "/users"}, {"users", "users"}, {"", "/"}, {"/", "/"},
      {"//x", "//"},  // a second "/" is its own segment
      {"/favicon.ico", "/favicon.ico"},
  };
  for (const auto& [path, url] : cases) EXPECT_EQ(ResourceURLOfPath(path), url) << path;
}

TEST(Pipeline, TenantIsResolvedOnlyWhenAskedFor) {
  TInProcessServer server("[Server.Tenants]\nDefaultTenantId=unknown-tenant\n",
                          [](const std::string& dir) { CreateServerDatabase(dir + "/kelvoserver.tvl", {}); });
  RegisterResource(std::make_unique<TStubResource>("Lazy", "/lazy", "Lazy", EchoContext));
  RegisterResource(std::make_unique<TStubResource>("Eager", "/eager", "Eager", [](TEndpointContext& c) {
    c.Tenant();
  }));
  EXPECT_EQ(server.Request("GET", "/lazy").FStatus, 200);
  EXPECT_EQ(Describe(server.Request("GET", "/eager")),
            "401 {\"error\":\"Error\",\"description\":\"Default Tenant ID is not valid.\"}");
}

TEST(Pipeline, SessionTokenWithoutTenantIsIgnored) {
  // Multi-tenant mode without a tenant header: no tenant, so the token is never looked up.
  TInProcessServer server("[Server.Tenants]\nMultiTenantMode=true\n");
  RegisterResource(std::make_unique<TStubResource>("Things", "/things", "Me", EchoContext));
  const auto reply = server.Request("GET", "/things", {{"X-Vantrel-Session-Token", "abc"}});
  EXPECT_EQ(Describe(reply), "200 {\"endpoint\":\"Me\",\"flags\":2,\"path\":\"things\"}");
}
