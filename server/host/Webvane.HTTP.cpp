#include "Webvane.HTTP.h"

#include <sstream>

#include "KelvoHosting.RequestHandler.h"
#include "KelvoServer.IniFile.h"
#include "KelvoServerAPI.Format.h"

std::string TWebvaneRequest::GetHeader(const std::string& name) const {
  for (const auto& [n, v] : FHeaders)
    if (SameText(n, name)) return v;
  return {};
}

std::vector<std::pair<std::string, std::string>> TWebvaneRequest::QueryFields() const {
  std::vector<std::pair<std::string, std::string>> fields;
  size_t start = 0;
  while (start <= FQueryString.size() && !FQueryString.empty()) {
    auto amp = FQueryString.find('&', start);
    if (amp == std::string::npos) amp = FQueryString.size();
    const std::string field = FQueryString.substr(start, amp - start);
    if (!field.empty()) {
      const auto eq = field.find('=');
      if (eq == std::string::npos)
        fields.emplace_back(URLDecode(field, true), std::string());
      else
        fields.emplace_back(URLDecode(field.substr(0, eq), true), URLDecode(field.substr(eq + 1), true));
    }
    start = amp + 1;
  }
  return fields;
}

std::string TWebvaneResponse::GetCustomHeader(const std::string& name) const {
  for (const auto& [n, v] : FCustomHeaders)
    if (SameText(n, name)) return v;
  return {};
}

void TWebvaneResponse::SetCustomHeader(const std::string& name, const std::string& value) {
  for (auto& [n, v] : FCustomHeaders)
    if (SameText(n, name)) {
      v = value;
      return;
    }
  FCustomHeaders.emplace_back(name, value);
}

std::string TWebvaneResponse::ContentText() const {
  if (!FContentStream) return {};
  FContentStream->clear();
  FContentStream->seekg(0);
  std::ostringstream text;
  text << FContentStream->rdbuf();
  return text.str();
}

void TWebvaneApplication::HandleRequest(TWebvaneRequest& request, TWebvaneResponse& response) {
  // Counting slots instead of pooling module objects: the limit is what matters, and requests
  // keep no state between them.
  if (FActive.fetch_add(1) >= FMaxConnections) {
    FActive.fetch_sub(1);
    throw EWebvaneException("Maximum number of concurrent connections exceeded.  Please try again later");
  }
  struct TSlot {
    std::atomic<int>& FActive;
    ~TSlot() { FActive.fetch_sub(1); }
  } slot{FActive};
  FDispatch(request, response);
}

std::string InternalServerErrorPage(const std::string& class_name, const std::string& message) {
  return Format(
      "<html><title>Internal Server Error 500</title>\r\n<h1>Internal Server Error 500</h1><hr>\r\n"
      "Exception: %s<br>\r\nMessage: %s<br></html>\r\n",
      {class_name, message});
}
