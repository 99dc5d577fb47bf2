// What an endpoint sees of a request and how it writes its reply.
#include <gtest/gtest.h>

#include <sstream>

#include "KelvoHosting.Endpoints.h"
#include "KelvoInProcess.h"
#include "KelvoServer.WebvaneRequestTypes.h"
#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.Resource.h"

namespace {

// A host request over a web request the test fills in.
struct THost {
  TWebvaneRequest FWeb;
  TWebvaneResponse FResponse;
  std::shared_ptr<TWebvaneServerWebResponse> FHostResponse = std::make_shared<TWebvaneServerWebResponse>(FResponse, FWeb);
  IKelvoHostRequestPtr Request() { return FHostResponse->GetRequest(); }
};

}  // namespace

TEST(EndpointModel, ParamsLookupCaseRules) {
  TEndpointParamsImpl params;
  params.Add("limit", "5");
  params.Add("Limit", "6");
  std::string value;
  EXPECT_TRUE(params.TryGetValue("LIMIT", value));
  EXPECT_EQ(value, "5");  // the first pair, ignoring case
  EXPECT_TRUE(params.Contains("limit"));
  EXPECT_FALSE(params.Contains("LIMIT"));  // exact
  EXPECT_FALSE(params.TryGetValue("skip", value));
  EXPECT_THROW(params.GetPair(2), EArgumentOutOfRangeException);
  EXPECT_THROW(params.GetPair(-1), EArgumentOutOfRangeException);
}

TEST(EndpointModel, SegmentsAndResource) {
  struct TCase {
    const char* FPath;
    std::vector<std::string> FSegments;
    const char* FResource;
  };
  const TCase cases[] = {
      {"/users/123", {"users/", "123"}, "users"},
      {"/users/123/", {"users/", "123/"}, "users"},
      {"", {}, ""},
      {"/", {}, ""},
      {"users", {"users"}, "users"},
      {"//x", {"/", "x"}, "x"},
  };
  for (const auto& c : cases) {
    THost host;
    host.FWeb.FPathInfo = c.FPath;
    TEndpointRequestImpl request(host.Request());
    EXPECT_EQ(request.Segments().ToArray(), c.FSegments) << c.FPath;
    EXPECT_EQ(request.Resource(), c.FResource) << c.FPath;
  }
  THost host;
  host.FWeb.FPathInfo = "/a";
  TEndpointRequestImpl request(host.Request());
  EXPECT_THROW(request.Segments().GetItem(1), EArgumentOutOfRangeException);
}

TEST(EndpointModel, MethodsHeadersAndQuery) {
  const std::pair<const char*, TEndpointRequest::TMethod> methods[] = {
      {"GET", TEndpointRequest::TMethod::Get},       {"HEAD", TEndpointRequest::TMethod::Get},
      {"PUT", TEndpointRequest::TMethod::Put},       {"POST", TEndpointRequest::TMethod::Post},
      {"DELETE", TEndpointRequest::TMethod::Delete}, {"PATCH", TEndpointRequest::TMethod::Patch},
      {"TRACE", TEndpointRequest::TMethod::Get}};
  for (const auto& [text, method] : methods) {
    THost host;
    host.FWeb.FMethod = text;
    TEndpointRequestImpl request(host.Request());
    EXPECT_EQ(request.MethodType(), method) << text;
    EXPECT_EQ(request.MethodString(), text);
  }
  THost host;
  host.FWeb.FQueryString = "where=%7B%22a%22%3A1%7D&name=a+b&flag&=x&limit=5=6";
  host.FWeb.FHeaders = {{"X-Custom", "v"}, {"Host", "example:81"}};
  host.FWeb.FUnparsedURI = "/users?x";
  TEndpointRequestImpl request(host.Request());
  EXPECT_EQ(request.Params().ToPairs(),
            (std::vector<std::pair<std::string, std::string>>{
                {"where", "{\"a\":1}"}, {"name", "a b"}, {"flag", ""}, {"", "x"}, {"limit", "5=6"}}));
  EXPECT_EQ(request.Headers().GetValue("x-custom"), "v");
  std::string value;
  EXPECT_FALSE(request.Headers().TryGetValue("Missing", value));
  EXPECT_THROW(request.Headers().SetValue("X", "y"), ENotSupportedException);
  EXPECT_EQ(request.ServerHost(), "example:81");
  EXPECT_EQ(request.BasePath(), "/users?x");
}

TEST(EndpointModel, BodyIsReadOnceAndOnlyWithALength) {
  THost host;
  host.FWeb.FContent = "{\"a\":[1,2]}";
  host.FWeb.FContentLength = static_cast<long long>(host.FWeb.FContent.size());
  host.FWeb.FContentType = "application/json";
  TEndpointRequestImpl request(host.Request());
  EXPECT_EQ(&request.Body(), &request.Body());
  const rapidjson::Value* first = nullptr;
  const rapidjson::Value* second = nullptr;
  ASSERT_TRUE(request.Body().TryGetValue(first));
  ASSERT_TRUE(request.Body().TryGetObject(second));
  EXPECT_EQ(first, second);  // parsed once
  const rapidjson::Value* array = nullptr;
  EXPECT_FALSE(request.Body().TryGetArray(array));
  EXPECT_EQ(array, nullptr);
  std::istream* stream = nullptr;
  std::string content_type;
  ASSERT_TRUE(request.Body().TryGetStream(stream, content_type));
  EXPECT_EQ(content_type, "application/json");
  std::ostringstream copy;
  copy << stream->rdbuf();
  EXPECT_EQ(copy.str(), host.FWeb.FContent);

  // A zero length hides whatever body came with it.
  THost empty;
  empty.FWeb.FContent = "{\"a\":1}";
  empty.FWeb.FContentLength = 0;
  TEndpointRequestImpl none(empty.Request());
  TBytes bytes;
  EXPECT_FALSE(none.Body().TryGetBytes(bytes));
  const rapidjson::Value* value = nullptr;
  EXPECT_FALSE(none.Body().TryGetValue(value));
  EXPECT_FALSE(none.Body().TryGetStream(stream));
  EXPECT_THROW(none.Body().GetObject(), EKelvoHTTPError);

  // Bodies that are not JSON give no value; the endpoint decides what that means.
  for (const char* text : {"{", "nul", "{\"a\":1} x", "\xff\xfe"}) {
    THost bad;
    bad.FWeb.FContent = text;
    bad.FWeb.FContentLength = static_cast<long long>(bad.FWeb.FContent.size());
    TEndpointRequestImpl r(bad.Request());
    EXPECT_FALSE(r.Body().TryGetValue(value)) << text;
    EXPECT_TRUE(r.Body().TryGetBytes(bytes));
  }
}

TEST(EndpointModel, DeeplyNestedJSONIsRefusedNotOverflowed) {
  THost host;
  host.FWeb.FContent = std::string(200000, '[') + std::string(200000, ']');
  host.FWeb.FContentLength = static_cast<long long>(host.FWeb.FContent.size());
  TEndpointRequestImpl request(host.Request());
  const rapidjson::Value* value = nullptr;
  EXPECT_FALSE(request.Body().TryGetValue(value));
}

TEST(EndpointModel, Negotiation) {
  const auto list = ParseAcceptList("text/html;level=1;q=0.5, application/JSON , */*;q=0.1, garbage, ;q=1, a/b;q=x");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].FMediaType, "text/html");
  EXPECT_EQ(list[0].FParams, (std::vector<std::pair<std::string, std::string>>{{"level", "1"}}));
  EXPECT_DOUBLE_EQ(list[0].FQuality, 0.5);
  EXPECT_EQ(list[1].FMediaType, "application/json");
  EXPECT_DOUBLE_EQ(list[1].FQuality, 1.0);
  EXPECT_EQ(list[2].FMediaType, "*/*");
  EXPECT_EQ(list[3].FMediaType, "a/b");
  EXPECT_DOUBLE_EQ(list[3].FQuality, 1.0);  // an unreadable quality keeps the default
  EXPECT_TRUE(ParseAcceptList("").empty());
  EXPECT_TRUE(ParseAcceptList(",,,;;;").empty());
  const auto quoted = ParseAcceptList("text/plain; charset=\"utf-8, really\"");
  ASSERT_EQ(quoted.size(), 1u);
  EXPECT_EQ(quoted[0].FParams[0].second, "utf-8, really");
}

TEST(EndpointModel, ResponseBodies) {
  TInProcessServer server("");
  TResourceDefinition r("Out");
  r.Get("Writer", "writer", [](TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
    // The writer's text wins over an earlier value.
    rapidjson::Value value("ignored");
    response.Body().SetValue(value);
    auto& writer = response.Body().GetJSONWriter();
    writer.StartObject();
    writer.Key("n");
    writer.Int(1);
    writer.EndObject();
  });
  r.Get("Bytes", "bytes", [](TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
    response.Body().SetBytes(std::string("a\0b", 3), "application/octet-stream");
  });
  r.Get("Stream", "stream", [](TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
    std::istringstream mine("kept by the caller");
    mine.seekg(5);
    response.Body().SetStream(mine, "text/plain");
    EXPECT_EQ(mine.str(), "kept by the caller");
  });
  r.Post("Created", "", [](TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
    response.SetCreated("u1");
    rapidjson::Document body;
    body.SetObject();
    AddMember(body, "_id", "u1", body.GetAllocator());
    response.Body().SetValue(body);
  });
  r.Put("Absolute", "", [](TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
    response.SetCreated("/elsewhere/1", 202);
    response.Headers().SetValue("X-Extra", "1");
  });
  RegisterResource(r);

  auto reply = server.Request("GET", "/out/writer");
  EXPECT_EQ(reply.FBody, "{\"n\":1}");
  EXPECT_EQ(reply.FContentType, "application/json");
  reply = server.Request("GET", "/out/bytes");
  EXPECT_EQ(reply.FBody, std::string("a\0b", 3));
  EXPECT_EQ(reply.FContentType, "application/octet-stream");
  EXPECT_EQ(server.Request("GET", "/out/stream").FBody, "kept by the caller");
  reply = server.Request("POST", "/out");
  EXPECT_EQ(reply.FStatus, 201);
  EXPECT_EQ(reply.FLocation, "http://127.0.0.1:8080/out/u1");
  EXPECT_EQ(reply.FBody, "{\"_id\":\"u1\"}");
  reply = server.Request("PUT", "/out");
  EXPECT_EQ(reply.FStatus, 202);
  EXPECT_EQ(reply.FLocation, "http://127.0.0.1:8080/elsewhere/1");
  EXPECT_EQ(reply.Header("X-Extra"), "1");
}

TEST(EndpointModel, MakeLocation) {
  struct TCase {
    const char* FScheme;
    int FPort;
    const char* FPath;
    const char* FExpected;
  };
  const TCase cases[] = {
      {"http", 80, "u1", "http://h/users/u1"},
      {"http", 8080, "u1", "http://h:8080/users/u1"},
      {"https", 443, "/x", "https://h/x"},
      {"HTTPS", 8443, "/x", "https://h:8443/x"},
      {"https", 80, "/x", "https://h:80/x"},
  };
  for (const auto& c : cases) {
    TWebvaneRequest web;
    web.FScheme = c.FScheme;
    web.FServerPort = c.FPort;
    web.FHost = "h";
    web.FPathInfo = "/users";
    EXPECT_EQ(TWebvaneServerWebRequest(web).MakeLocation(c.FPath), c.FExpected);
  }
}

TEST(EndpointModel, SetCreatedWithoutLocationSupportChangesOnlyTheStatus) {
  // A host response that offers neither location interface.
  class TBareResponse : public TKelvoHostResponse {
   public:
    std::istream* GetContentStream() const override { return nullptr; }
    std::string GetContentType() const override { return {}; }
    int GetStatusCode() const override { return FStatus; }
    void SetContentStream(std::unique_ptr<std::istream>) override {}
    void SetStatusCode(int code) override { FStatus = code; }
    IKelvoHostRequestPtr GetRequest() override { return nullptr; }
    void SetContentType(const std::string&) override {}
    int FStatus = 200;
  };
  auto bare = std::make_shared<TBareResponse>();
  TEndpointResponseImpl response(bare);
  response.SetCreated("x", 201);
  EXPECT_EQ(bare->FStatus, 201);
  EXPECT_THROW(response.Headers().SetValue("A", "b"), ENotSupportedException);
  std::string value;
  EXPECT_FALSE(response.Headers().TryGetValue("A", value));
}
