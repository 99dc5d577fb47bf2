#include "KelvoHosting.Endpoints.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "KelvoServer.IniFile.h"
#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.Format.h"

std::vector<std::string> SplitPathSegments(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 0;
  while (start < path.size()) {
    const auto slash = path.find('/', start);
    const size_t end = slash == std::string::npos ? path.size() : slash + 1;
    segments.push_back(path.substr(start, end - start));
    start = end;
  }
  return segments;
}

std::vector<std::string> RequestSegments(const std::string& path_info) {
  return SplitPathSegments(!path_info.empty() && path_info[0] == '/' ? path_info.substr(1) : path_info);
}

// --- context -----------------------------------------------------------------------------------

TEndpointContext::TUser* TEndpointContextImpl::User() {
  if (!FUserCreated) {
    // Marked only after success: a failed lookup raises again on the next call.
    if (FOnCreateUser) FUser = FOnCreateUser(*this);
    FUserCreated = true;
  }
  return FUser.get();
}

TEndpointContext::TEdgemodule* TEndpointContextImpl::Edgemodule() {
  if (!FEdgemoduleCreated) {
    if (FOnCreateEdgemodule) FEdgemodule = FOnCreateEdgemodule(*this);
    FEdgemoduleCreated = true;
  }
  return FEdgemodule.get();
}

TEndpointContext::TAuthenticated TEndpointContextImpl::Authenticated() {
  return FOnGetAuthenticated ? FOnGetAuthenticated() : TAuthenticated();
}

TEndpointRequest* TEndpointContextImpl::Request() { return FOnGetRequest ? FOnGetRequest() : nullptr; }

TEndpointResponse* TEndpointContextImpl::Response() { return FOnGetResponse ? FOnGetResponse() : nullptr; }

std::string TEndpointContextImpl::EndpointName() { return FOnGetEndpointName ? FOnGetEndpointName() : std::string(); }

TEndpointContext::TTenant* TEndpointContextImpl::Tenant() {
  if (!FTenantCreated) {
    if (FOnGetTenant) FTenant = FOnGetTenant(*this);
    FTenantCreated = true;
  }
  return FTenant.get();
}

TEndpointNegotiation* TEndpointContextImpl::Negotiation() {
  if (!FNegotiation) {
    TEndpointRequest* request = Request();
    std::string content_type;
    std::string accept;
    if (request) {
      content_type = request->Headers().GetValue("Content-Type");
      accept = request->Headers().GetValue("Accept");
    }
    FNegotiation = std::make_unique<TEndpointNegotiationImpl>(content_type, accept);
  }
  return FNegotiation.get();
}

// --- params, segments, headers ----------------------------------------------------------------

std::pair<std::string, std::string> TEndpointParamsImpl::GetPair(int index) const {
  if (index < 0 || index >= GetCount())
    throw EArgumentOutOfRangeException(Format("Argument out of range: index %d", {index}));
  return FList[static_cast<size_t>(index)];
}

void TEndpointParamsImpl::Insert(int index, const std::string& name, const std::string& value) {
  if (index < 0 || index > GetCount())
    throw EArgumentOutOfRangeException(Format("Argument out of range: index %d", {index}));
  FList.insert(FList.begin() + index, {name, value});
}

bool TEndpointParamsImpl::TryGetValue(const std::string& name, std::string& value) const {
  for (const auto& [n, v] : FList)
    if (SameText(n, name)) {
      value = v;
      return true;
    }
  return false;
}

bool TEndpointParamsImpl::Contains(const std::string& name) const {
  return std::any_of(FList.begin(), FList.end(), [&](const auto& pair) { return pair.first == name; });
}

std::string TEndpointSegmentsImpl::GetItem(int index) const {
  if (index < 0 || index >= GetCount())
    throw EArgumentOutOfRangeException(Format("Argument out of range: index %d", {index}));
  return FList[static_cast<size_t>(index)];
}

bool TEndpointRequestHeadersImpl::TryGetValue(const std::string& name, std::string& value) const {
  value = FRequest.GetHeader(name);
  return !value.empty();
}

bool TEndpointResponseHeadersRWImpl::TryGetValue(const std::string& name, std::string& value) const {
  auto* headers = dynamic_cast<IKelvoHostResponseHeaders*>(&FResponse);
  if (!headers) return false;
  value = headers->GetHeader(name);
  return !value.empty();
}

void TEndpointResponseHeadersRWImpl::DoSetValue(const std::string& name, const std::string& value) {
  auto* headers = dynamic_cast<IKelvoHostResponseHeaders*>(&FResponse);
  if (!headers) throw ENotSupportedException("CustomHeaders");
  headers->SetHeader(name, value);
}

// --- negotiation ------------------------------------------------------------------------------

namespace {

std::vector<std::string> SplitOutsideQuotes(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string current;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') quoted = !quoted;
    if (c == separator && !quoted) {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  parts.push_back(current);
  return parts;
}

bool ParseQuality(const std::string& text, double& quality) {
  if (text.empty() || text.size() > 16) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(value >= 0.0 && value <= 1.0)) return false;
  quality = value;
  return true;
}

}  // namespace

TAcceptList ParseAcceptList(const std::string& header) {
  TAcceptList list;
  for (const auto& item_text : SplitOutsideQuotes(header, ',')) {
    const auto parts = SplitOutsideQuotes(item_text, ';');
    TAcceptItem item;
    item.FMediaType = LowerCase(Trim(parts[0]));
    // A media type needs a "/" between two non-empty names; anything else cannot be read.
    const auto slash = item.FMediaType.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == item.FMediaType.size() ||
        item.FMediaType.find_first_of(" \t\"", 0) != std::string::npos)
      continue;
    for (size_t i = 1; i < parts.size(); ++i) {
      const std::string param = Trim(parts[i]);
      const auto eq = param.find('=');
      if (eq == std::string::npos || eq == 0) continue;
      std::string name = LowerCase(Trim(param.substr(0, eq)));
      std::string value = Trim(param.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      if (name == "q") {
        ParseQuality(value, item.FQuality);
      } else {
        item.FParams.emplace_back(std::move(name), std::move(value));
      }
    }
    list.push_back(std::move(item));
  }
  return list;
}

TEndpointNegotiationImpl::TEndpointNegotiationImpl(const std::string& content_type, const std::string& accept)
    : FConsumeList(ParseAcceptList(content_type)), FProduceList(ParseAcceptList(accept)) {}

// --- request body ------------------------------------------------------------------------------

TBodyReader::TBodyReader(std::string content_type, const TBytes& raw_content, long long content_length)
    : FContentType(std::move(content_type)), FRawContent(raw_content), FContentLength(content_length) {}

bool TBodyReader::TryGetBytes(TBytes& bytes) const {
  if (FContentLength > 0) {
    bytes = FRawContent;
    return true;
  }
  bytes.clear();
  return false;
}

bool TBodyReader::TryGetStream(std::istream*& stream) {
  if (!FStream && FContentLength > 0) FStream = std::make_unique<std::istringstream>(FRawContent);
  stream = FStream.get();
  return stream != nullptr;
}

bool TBodyReader::TryGetStream(std::istream*& stream, std::string& content_type) {
  const bool found = TryGetStream(stream);
  content_type = found ? FContentType : std::string();
  return found;
}

bool TBodyReader::TryGetValue(const rapidjson::Value*& value) {
  if (!FValueParsed && FContentLength > 0) {
    FValueParsed = true;
    auto document = std::make_unique<rapidjson::Document>();
    if (ParseJSON(FRawContent, *document)) FValue = std::move(document);
  }
  value = FValue.get();
  return value != nullptr;
}

bool TBodyReader::TryGetObject(const rapidjson::Value*& object) {
  if (TryGetValue(object) && object->IsObject()) return true;
  object = nullptr;
  return false;
}

bool TBodyReader::TryGetArray(const rapidjson::Value*& array) {
  if (TryGetValue(array) && array->IsArray()) return true;
  array = nullptr;
  return false;
}

TJSONReader& TBodyReader::GetJSONReader() {
  if (!FJSONReader) FJSONReader = std::make_unique<TJSONReader>(FContentLength > 0 ? FRawContent : TBytes());
  return *FJSONReader;
}

// --- request -----------------------------------------------------------------------------------

TEndpointHeaders& TEndpointRequestImpl::Headers() {
  if (!FHeaders) FHeaders = std::make_unique<TEndpointRequestHeadersImpl>(*FHostRequest);
  return *FHeaders;
}

TEndpointParams& TEndpointRequestImpl::Params() {
  if (!FParams) {
    FParams = std::make_unique<TEndpointParamsImpl>();
    for (const auto& [name, value] : FHostRequest->GetQueryFields()) FParams->Add(name, value);
  }
  return *FParams;
}

TEndpointSegments& TEndpointRequestImpl::Segments() {
  if (!FSegments) FSegments = std::make_unique<TEndpointSegmentsImpl>(RequestSegments(FHostRequest->GetPathInfo()));
  return *FSegments;
}

TEndpointRequestBody& TEndpointRequestImpl::Body() {
  if (!FBody) FBody = std::make_unique<TEndpointRequestBodyImpl>(*FHostRequest);
  return *FBody;
}

TEndpointRequest::TMethod TEndpointRequestImpl::MethodType() const {
  switch (FHostRequest->GetMethodType()) {
    case TKelvoHostMethodType::Put: return TMethod::Put;
    case TKelvoHostMethodType::Post: return TMethod::Post;
    case TKelvoHostMethodType::Delete: return TMethod::Delete;
    case TKelvoHostMethodType::Patch: return TMethod::Patch;
    case TKelvoHostMethodType::Get:
    case TKelvoHostMethodType::Head: return TMethod::Get;
  }
  return TMethod::Get;
}

std::string TEndpointRequestImpl::Resource() {
  const auto& segments = Segments();
  std::string resource;
  if (segments.GetCount() > 0 && segments.GetItem(0) != "/")
    resource = segments.GetItem(0);
  else if (segments.GetCount() > 1)
    resource = segments.GetItem(1);
  if (!resource.empty() && resource.back() == '/') resource.pop_back();
  return resource;
}

// --- response ----------------------------------------------------------------------------------

TJSONWriter& TEndpointResponseBodyImpl::GetJSONWriter() {
  if (!FJSONWriter) {
    FWriterStream = std::make_unique<rapidjson::StringBuffer>();
    FJSONWriter = std::make_unique<TJSONWriter>(*FWriterStream);
  }
  return *FJSONWriter;
}

void TEndpointResponseBodyImpl::SetStream(std::unique_ptr<std::istream> stream, const std::string& content_type) {
  FHostResponse.SetContentType(content_type);
  if (stream) {
    stream->clear();
    stream->seekg(0);
  }
  FHostResponse.SetContentStream(std::move(stream));
}

void TEndpointResponseBodyImpl::SetStream(std::istream& stream, const std::string& content_type) {
  stream.clear();
  stream.seekg(0);
  std::ostringstream copy;
  copy << stream.rdbuf();
  SetStream(std::make_unique<std::istringstream>(copy.str()), content_type);
}

void TEndpointResponseBodyImpl::SetValue(const rapidjson::Value& value) {
  SetStream(std::make_unique<std::istringstream>(JSONToText(value)), "application/json");
}

void TEndpointResponseBodyImpl::SetBytes(const TBytes& bytes, const std::string& content_type) {
  SetStream(std::make_unique<std::istringstream>(bytes), content_type);
}

void TEndpointResponseBodyImpl::Write() {
  if (!FWriterStream) return;
  std::string text(FWriterStream->GetString(), FWriterStream->GetSize());
  FJSONWriter.reset();
  FWriterStream.reset();
  SetStream(std::make_unique<std::istringstream>(std::move(text)), "application/json");
}

TEndpointHeaders& TEndpointResponseImpl::Headers() {
  if (!FHeaders) FHeaders = std::make_unique<TEndpointResponseHeadersRWImpl>(*FHostResponse);
  return *FHeaders;
}

TEndpointResponseBody& TEndpointResponseImpl::Body() {
  if (!FBody) FBody = std::make_unique<TEndpointResponseBodyImpl>(*FHostResponse);
  return *FBody;
}

void TEndpointResponseImpl::SetCreated(const std::string& location, int status_code) {
  FHostResponse->SetStatusCode(status_code);
  IKelvoHostRequestPtr request = FHostResponse->GetRequest();
  auto* maker = dynamic_cast<IKelvoHostRequestLocation*>(request.get());
  auto* setter = dynamic_cast<IKelvoHostResponseLocation*>(FHostResponse.get());
  if (maker && setter) setter->SetLocation(maker->MakeLocation(location));
}

void TEndpointResponseImpl::Write() {
  if (FBody) FBody->Write();
}
