#include "KelvoServer.WebvaneRequestTypes.h"

#include "KelvoServer.IniFile.h"

TKelvoHostMethodType TWebvaneServerWebRequest::GetMethodType() const {
  const std::string& m = FWebRequest.FMethod;
  if (m == "PUT") return TKelvoHostMethodType::Put;
  if (m == "POST") return TKelvoHostMethodType::Post;
  if (m == "HEAD") return TKelvoHostMethodType::Head;
  if (m == "DELETE") return TKelvoHostMethodType::Delete;
  if (m == "PATCH") return TKelvoHostMethodType::Patch;
  return TKelvoHostMethodType::Get;  // GET and every method the server does not know
}

std::string TWebvaneServerWebRequest::MakeLocation(const std::string& path) const {
  const bool https = FWebRequest.FScheme.size() >= 5 && SameText(FWebRequest.FScheme.substr(0, 5), "https");
  std::string location = https ? "https://" : "http://";
  const int default_port = https ? 443 : 80;
  location += FWebRequest.FHost;
  if (FWebRequest.FServerPort != default_port) location += ":" + std::to_string(FWebRequest.FServerPort);
  if (path.empty() || path[0] != '/') location += FWebRequest.FPathInfo + "/";
  location += path;
  return location;
}

void TWebvaneServerWebResponse::SetContentStream(std::unique_ptr<std::istream> stream) {
  // The new body replaces the old one whole; ownership moves to the web response.
  FResponse.FContentStream = std::move(stream);
}

IKelvoHostRequestPtr TWebvaneServerWebResponse::GetRequest() {
  if (!FRequest) FRequest = std::make_shared<TWebvaneServerWebRequest>(FWebRequest);
  return FRequest;
}
