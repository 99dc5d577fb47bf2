#include "KelvoInProcess.h"

#include "KelvoServer.IniFile.h"
#include "KelvoServer.Module.h"
#include "KelvoServer.WebvaneModule.h"

std::string TInProcessReply::Header(const std::string& name) const {
  for (const auto& [n, v] : FHeaders)
    if (SameText(n, name)) return v;
  return {};
}

TInProcessServer::TInProcessServer(const std::string& ini_text, const TBeforeStart& before_start) {
  WriteTextFile(FDir.File("kelvoserver.ini"), ini_text);
  if (before_start) before_start(FDir.Path());
  KelvoServerStartup(FDir.File("kelvoserver.ini"));
}

TInProcessServer::~TInProcessServer() { KelvoServerShutdown(); }

TInProcessReply TInProcessServer::Request(const std::string& method, const std::string& uri,
                                          const std::vector<std::pair<std::string, std::string>>& headers,
                                          const std::string& body) {
  TWebvaneRequest request;
  request.FMethod = method;
  request.FUnparsedURI = uri;
  const auto question = uri.find('?');
  request.FPathInfo = uri.substr(0, question);
  if (question != std::string::npos) request.FQueryString = uri.substr(question + 1);
  request.FHost = "127.0.0.1";
  request.FServerPort = 8080;
  request.FHeaders = headers;
  request.FContentType = request.GetHeader("Content-Type");
  request.FContent = body;
  request.FContentLength = static_cast<long long>(body.size());
  TWebvaneResponse response;
  KelvoHandleWebRequest(request, response);
  TInProcessReply reply;
  reply.FStatus = response.FStatusCode;
  reply.FContentType = response.FContentType;
  reply.FBody = response.ContentText();
  reply.FHeaders = response.FCustomHeaders;
  reply.FLocation = response.FLocation;
  return reply;
}

bool TStubResource::IsBaseURL(const std::string& base_url) const {
  // "/users/" and "/users" both belong to the resource at "/users".
  std::string url = base_url;
  if (url.size() > 1 && url.back() == '/') url.pop_back();
  return SameText(url, FBaseURL);
}

bool TStubResource::CanHandleRequest(TEndpointContext&, std::string& endpoint_name) {
  if (!FCanHandle) return false;
  endpoint_name = FEndpoint;
  return true;
}

void TStubResource::HandleRequest(TEndpointContext& context) {
  if (FHandler) FHandler(context);
}
