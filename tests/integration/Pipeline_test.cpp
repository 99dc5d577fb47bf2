// The module inside the real apache2: what a client on the network sees.
#include <gtest/gtest.h>

#include <string>

#include "KelvoServerTestSupport.h"
#include "KelvoTestSupport.h"

namespace {

THttpReply Send(const TApacheServer& server, const std::string& method, const std::string& path,
                std::vector<std::string> headers = {}, std::string body = {}, bool chunked = false) {
  THttpRequest request;
  request.FMethod = method;
  request.FUrl = server.Url(path);
  request.FHeaders = std::move(headers);
  request.FBody = std::move(body);
  request.FChunked = chunked;
  return HttpExchange(request);
}

}  // namespace

TEST(ApachePipeline, RoutingAndErrorReplies) {
  TApacheServer server("");
  auto reply = HttpGet(server.Url("/"));
  EXPECT_EQ(reply.FStatus, 200);
  EXPECT_EQ(reply.FBody, "");

  reply = HttpGet(server.Url("/favicon.ico"));
  EXPECT_EQ(reply.FStatus, 404);
  EXPECT_EQ(reply.FBody, "");

  reply = HttpGet(server.Url("/nothing"));
  EXPECT_EQ(reply.FStatus, 404);
  EXPECT_EQ(reply.FBody, "{\"error\":\"Resource not found: /nothing\"}");
  EXPECT_EQ(reply.Header("Content-Type"), "application/json");

  // Query strings are not part of the path.
  reply = HttpGet(server.Url("/nothing/more?where=%7B%7D&x"));
  EXPECT_EQ(reply.FBody, "{\"error\":\"Resource not found: /nothing/more\"}");

  // Characters outside ASCII travel as \u escapes.
  reply = HttpGet(server.Url("/caf%C3%A9"));
  EXPECT_EQ(reply.FBody, "{\"error\":\"Resource not found: /caf\\u00E9\"}");

  // A method the server does not know is handled like GET.
  reply = Send(server, "BREW", "/");
  EXPECT_EQ(reply.FStatus, 200);
}

TEST(ApachePipeline, ApiVersionHeader) {
  TApacheServer server("");
  const std::pair<const char*, long> cases[] = {{"2.7", 200}, {"1", 200}, {"3", 400}, {"abc", 400}, {".5", 400}, {"0", 400}};
  for (const auto& [version, status] : cases) {
    const auto reply = HttpGet(server.Url("/"), {std::string("X-Vantrel-Api-Version: ") + version});
    EXPECT_EQ(reply.FStatus, status) << version;
    if (status == 400) {
      EXPECT_EQ(reply.FBody, std::string("{\"error\":\"Error\",\"description\":\"Request version number not supported: ") +
                                 version + "\"}");
    }
  }
}

TEST(ApachePipeline, ApplicationIdAndSecrets) {
  TApacheServer server("[Server.Keys]\nApplicationID=app1\nAppSecret=apps\nMasterSecret=mast\n");
  struct TCase {
    std::vector<std::string> FHeaders;
    long FStatus;
    const char* FBody;
  };
  const TCase cases[] = {
      {{}, 400, "{\"error\":\"Error\",\"description\":\"Application id missing from request\"}"},
      {{"X-Vantrel-Application-Id: other"}, 404,
       "{\"error\":\"Error\",\"description\":\"Request has unknown application id: other\"}"},
      {{"X-Vantrel-Application-Id: app1"}, 401, "{\"error\":\"Error\"}"},
      {{"X-Vantrel-Application-Id: app1", "X-Vantrel-App-Secret: apps"}, 200, ""},
      {{"X-Vantrel-Application-Id: app1", "X-Vantrel-App-Secret: wrong"}, 401, "{\"error\":\"Error\"}"},
      {{"X-Vantrel-Application-Id: app1", "X-Vantrel-Master-Secret: mast", "X-Vantrel-App-Secret: wrong"}, 200, ""},
      {{"X-Vantrel-Application-Id: app1", "X-Vantrel-Master-Secret: nope", "X-Vantrel-App-Secret: apps"}, 401,
       "{\"error\":\"Error\"}"},
      {{"X-Vantrel-Application-Id: app1", "X-Vantrel-App-Secret: apps", "X-Vantrel-Tenant-Id: t"}, 401,
       "{\"error\":\"Error\",\"description\":\"Tenant may be specified only for Multi Tenant Mode.\"}"},
  };
  for (const auto& c : cases) {
    const auto reply = HttpGet(server.Url("/"), c.FHeaders);
    EXPECT_EQ(reply.FStatus, c.FStatus) << (c.FHeaders.empty() ? "" : c.FHeaders.back());
    EXPECT_EQ(reply.FBody, c.FBody);
  }
}

TEST(ApachePipeline, ResourcesRoot) {
  TApacheServer server("[Server.Roots]\nResources=api\n[Server.Keys]\nApplicationID=app1\n");
  // Below the root the checks run; the path is routed without the root.
  auto reply = HttpGet(server.Url("/api/things/123"), {"X-Vantrel-Application-Id: app1"});
  EXPECT_EQ(reply.FBody, "{\"error\":\"Resource not found: /things/123\"}");
  reply = HttpGet(server.Url("/api/"));
  EXPECT_EQ(reply.FStatus, 400);
  // Outside the root nothing is checked.
  reply = HttpGet(server.Url("/"));
  EXPECT_EQ(reply.FStatus, 200);
  reply = HttpGet(server.Url("/other"));
  EXPECT_EQ(reply.FBody, "{\"error\":\"Resource not found: /other\"}");
}

TEST(ApachePipeline, CrossOrigin) {
  {
    TApacheServer server("[Server.APICrossDomain]\nCrossDomain=*\n[Server.Keys]\nAppSecret=s\n");
    auto reply = Send(server, "OPTIONS", "/users/1");
    EXPECT_EQ(reply.FStatus, 200);
    EXPECT_EQ(reply.FBody, "");
    EXPECT_EQ(reply.Header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(reply.Header("Access-Control-Allow-Methods"), "GET, PUT, POST, HEAD, DELETE, PATCH");
    EXPECT_EQ(reply.Header("Access-Control-Allow-Headers"),
              "Origin, X-Requested-With, Content-Type, Accept, X-Vantrel-Application-Id, X-Vantrel-App-Secret, "
              "X-Vantrel-Master-Secret, X-Vantrel-Tenant-Id, X-Vantrel-Tenant-Secret, X-Vantrel-Session-Token, "
              "X-Vantrel-Api-Version");
    reply = HttpGet(server.Url("/"), {"X-Vantrel-App-Secret: s"});
    EXPECT_EQ(reply.FStatus, 200);
    EXPECT_EQ(reply.Header("Access-Control-Allow-Origin"), "*");
    reply = HttpGet(server.Url("/"));
    EXPECT_EQ(reply.FStatus, 401);
    EXPECT_EQ(reply.Header("Access-Control-Allow-Origin"), "*");
  }
  TApacheServer server("");
  auto reply = Send(server, "OPTIONS", "/");
  EXPECT_FALSE(reply.HasHeader("Access-Control-Allow-Origin"));
  EXPECT_TRUE(reply.HasHeader("Access-Control-Allow-Methods"));
  EXPECT_FALSE(HttpGet(server.Url("/nothing")).HasHeader("Access-Control-Allow-Origin"));
}

TEST(ApachePipeline, OverMaxConnectionsGetsTheErrorPage) {
  // No request may run at all: every one is refused with the page.
  TApacheServer server("[Server.Limits]\nMaxConnections=0\n");
  const auto reply = HttpGet(server.Url("/"));
  EXPECT_EQ(reply.FStatus, 500);
  EXPECT_EQ(reply.Header("Content-Type").rfind("text/html", 0), 0u);
  EXPECT_EQ(reply.FBody,
            "<html><title>Internal Server Error 500</title>\r\n<h1>Internal Server Error 500</h1><hr>\r\n"
            "Exception: EWebvaneException<br>\r\nMessage: Maximum number of concurrent connections exceeded.  "
            "Please try again later<br></html>\r\n");
}

TEST(ApachePipeline, RequestBodies) {
  TApacheServer server("[Server.Limits]\nMaxContentLength=1000\n");
  // Within the limit, with a length or chunked: read completely, then routed.
  EXPECT_EQ(Send(server, "POST", "/", {"Content-Type: application/json"}, std::string(1000, 'x')).FStatus, 200);
  EXPECT_EQ(Send(server, "POST", "/", {}, std::string(999, 'y'), true).FStatus, 200);
  // Over the limit: 413 with the JSON error reply, whether the length is declared or not.
  auto reply = Send(server, "POST", "/", {}, std::string(1001, 'x'));
  EXPECT_EQ(reply.FStatus, 413);
  EXPECT_EQ(reply.FBody, "{\"error\":\"Error\",\"description\":\"Request body larger than 1000 bytes\"}");
  reply = Send(server, "PUT", "/users", {}, std::string(5000, 'z'), true);
  EXPECT_EQ(reply.FStatus, 413);
  // The server goes on answering.
  EXPECT_EQ(HttpGet(server.Url("/")).FStatus, 200);
}

TEST(ApachePipeline, HostileHeadersNeverCrashTheChild) {
  TApacheServer server("[Server.Tenants]\nMultiTenantMode=true\n", 64, "mod_kelvoserver-handler",
                       [](const std::string& dir) { CreateServerDatabase(dir + "/kelvoserver.tvl", {}); });
  const std::vector<std::vector<std::string>> cases = {
      {"X-Vantrel-Tenant-Id: %", "X-Vantrel-Tenant-Secret: %%%"},
      {"X-Vantrel-Tenant-Id: %7B" + std::string(4000, 'a') + "%7D"},
      {"X-Vantrel-Api-Version: 99999999999999999999999"},
      {"X-Vantrel-Api-Version: -1.-1"},
      {"X-Vantrel-Session-Token: " + std::string(6000, '~')},
      {"Accept: ;;;,,,q=;", "Content-Type: /"},
  };
  for (const auto& headers : cases) {
    const auto reply = HttpGet(server.Url("/users/me"), headers);
    EXPECT_TRUE(reply.FStatus == 400 || reply.FStatus == 401 || reply.FStatus == 404) << reply.FStatus << reply.FBody;
    EXPECT_EQ(reply.FBody.rfind("{\"error\":", 0), 0u) << reply.FBody;
  }
  EXPECT_EQ(HttpGet(server.Url("/")).FStatus, 200);
  EXPECT_EQ(server.ErrorLog().find("Segmentation"), std::string::npos) << server.ErrorLog();
}

TEST(ApachePipeline, HandlerNameComparedIgnoringCase) {
  {
    TApacheServer server("", 8, "MOD_KELVOSERVER-HANDLER");
    EXPECT_EQ(HttpGet(server.Url("/nothing")).FBody, "{\"error\":\"Resource not found: /nothing\"}");
  }
  TApacheServer server("", 8, "some-other-handler");
  const auto reply = HttpGet(server.Url("/nothing"));
  EXPECT_EQ(reply.FStatus, 404);
  EXPECT_EQ(reply.FBody.find("{\"error\""), std::string::npos) << "the module answered a request not meant for it";
}
