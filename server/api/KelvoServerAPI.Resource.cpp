#include "KelvoServerAPI.Resource.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.HTTPError.h"
#include "KelvoServerAPI.Services.h"

namespace {

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool SameTextAPI(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::string WithoutTrailingSlash(std::string text) {
  if (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

// Preference of a segment kind where two templates differ: a constant beats a parameter, which
// beats a wildcard.
int Rank(const TKelvoEndPointSegment* segment) {
  if (!segment) return 0;
  switch (segment->Kind()) {
    case TKelvoEndPointSegment::TKind::Constant:
    case TKelvoEndPointSegment::TKind::Slash: return 3;
    case TKelvoEndPointSegment::TKind::Parameter: return 2;
    case TKelvoEndPointSegment::TKind::WildCard: return 1;
  }
  return 0;
}

bool SegmentMatches(const TKelvoEndPointSegment& segment, const std::string& request_segment) {
  const std::string text = WithoutTrailingSlash(request_segment);
  switch (segment.Kind()) {
    case TKelvoEndPointSegment::TKind::Slash: return request_segment == "/";
    case TKelvoEndPointSegment::TKind::Constant: return request_segment != "/" && SameTextAPI(WithoutTrailingSlash(segment.Text()), text);
    case TKelvoEndPointSegment::TKind::Parameter: return !text.empty();
    case TKelvoEndPointSegment::TKind::WildCard: return true;
  }
  return false;
}

bool TemplateMatches(const TKelvoEndpointSegmentList& segments, const std::vector<std::string>& request) {
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i]->Kind() == TKelvoEndPointSegment::TKind::WildCard) return request.size() > i;  // one or more
    if (i >= request.size() || !SegmentMatches(*segments[i], request[i])) return false;
  }
  return segments.size() == request.size();
}

// True when `a` is preferred to `b`: at the first place where their kinds differ, the higher rank.
bool Preferred(const TKelvoEndpointSegmentList& a, const TKelvoEndpointSegmentList& b) {
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ra = Rank(i < a.size() ? a[i].get() : nullptr);
    const int rb = Rank(i < b.size() ? b[i].get() : nullptr);
    if (ra != rb) return ra > rb;
  }
  return false;
}

// The segments below the resource: the request's segments without the resource's own.
std::vector<std::string> SegmentsBelowResource(TEndpointRequest& request) {
  std::vector<std::string> segments = request.Segments().ToArray();
  if (segments.empty()) return segments;
  const bool leading_slash = segments.front() == "/";
  segments.erase(segments.begin());
  if (leading_slash && !segments.empty()) segments.erase(segments.begin());
  return segments;
}

std::map<std::string, std::string>& StringsTable() {
  static std::map<std::string, std::string> table;
  return table;
}

const char* MethodName(TEndpointRequest::TMethod method) {
  switch (method) {
    case TEndpointRequest::TMethod::Get: return "get";
    case TEndpointRequest::TMethod::Put: return "put";
    case TEndpointRequest::TMethod::Post: return "post";
    case TEndpointRequest::TMethod::Delete: return "delete";
    case TEndpointRequest::TMethod::Patch: return "patch";
  }
  return "get";
}

}  // namespace

TKelvoLoggingResourceFunc KelvoLoggingResourceFunc;

// --- definitions -------------------------------------------------------------------------------

TResourceDefinition::TResourceDefinition(std::string name, std::string path)
    : FName(std::move(name)), FPath(path.empty() ? Lower(FName) : std::move(path)) {
  while (!FPath.empty() && FPath.front() == '/') FPath.erase(0, 1);
  while (!FPath.empty() && FPath.back() == '/') FPath.pop_back();
}

TEndpointDefinition& TResourceDefinition::Add(std::string endpoint, TEndpointRequest::TMethod method,
                                              std::string suffix, TEndpointHandler handler) {
  FEndpoints.emplace_back(std::move(endpoint), method, std::move(suffix), std::move(handler));
  return FEndpoints.back();
}

TEndpointDefinition& TResourceDefinition::Get(std::string e, std::string s, TEndpointHandler h) {
  return Add(std::move(e), TEndpointRequest::TMethod::Get, std::move(s), std::move(h));
}
TEndpointDefinition& TResourceDefinition::Put(std::string e, std::string s, TEndpointHandler h) {
  return Add(std::move(e), TEndpointRequest::TMethod::Put, std::move(s), std::move(h));
}
TEndpointDefinition& TResourceDefinition::Post(std::string e, std::string s, TEndpointHandler h) {
  return Add(std::move(e), TEndpointRequest::TMethod::Post, std::move(s), std::move(h));
}
TEndpointDefinition& TResourceDefinition::Delete(std::string e, std::string s, TEndpointHandler h) {
  return Add(std::move(e), TEndpointRequest::TMethod::Delete, std::move(s), std::move(h));
}
TEndpointDefinition& TResourceDefinition::Patch(std::string e, std::string s, TEndpointHandler h) {
  return Add(std::move(e), TEndpointRequest::TMethod::Patch, std::move(s), std::move(h));
}

// --- the resource ------------------------------------------------------------------------------

TKelvoTypeInfoResource::TKelvoTypeInfoResource(TResourceDefinition definition) : FDefinition(std::move(definition)) {
  auto segments_service = KelvoServices().Get<IKelvoSegmentsService>();
  if (!segments_service) throw EKelvoException("No segments service registered");
  for (const auto& endpoint : FDefinition.Endpoints()) {
    TEndpointTemplate t{&endpoint, {}};
    segments_service->ExtractSegments(endpoint.Suffix(), t.FSegments);
    FTemplates.push_back(std::move(t));
  }
}

bool TKelvoTypeInfoResource::IsBaseURL(const std::string& base_url) const {
  return SameTextAPI(WithoutTrailingSlash(base_url), "/" + FDefinition.Path());
}

std::vector<std::string> TKelvoTypeInfoResource::GetEndpointNames() const {
  std::vector<std::string> names;
  for (const auto& endpoint : FDefinition.Endpoints()) names.push_back(endpoint.Name());
  return names;
}

const TKelvoTypeInfoResource::TEndpointTemplate* TKelvoTypeInfoResource::Match(
    TEndpointRequest::TMethod method, const std::vector<std::string>& segments) const {
  const TEndpointTemplate* best = nullptr;
  for (const auto& t : FTemplates) {
    if (t.FEndpoint->Method() != method || !TemplateMatches(t.FSegments, segments)) continue;
    if (!best || Preferred(t.FSegments, best->FSegments)) best = &t;
  }
  return best;
}

bool TKelvoTypeInfoResource::CanHandleRequest(TEndpointContext& context, std::string& endpoint_name) {
  TEndpointRequest* request = context.Request();
  if (!request) return false;
  const TEndpointTemplate* t = Match(request->MethodType(), SegmentsBelowResource(*request));
  if (!t) return false;
  endpoint_name = t->FEndpoint->Name();
  return true;
}

void TKelvoTypeInfoResource::HandleRequest(TEndpointContext& context) {
  TEndpointRequest* request = context.Request();
  TEndpointResponse* response = context.Response();
  if (!request || !response) throw EKelvoException("Request or response missing");
  const auto segments = SegmentsBelowResource(*request);
  const TEndpointTemplate* t = Match(request->MethodType(), segments);
  // After a redirect the context names the endpoint this resource reported; prefer it.
  const std::string chosen = context.EndpointName();
  if (!chosen.empty() && (!t || t->FEndpoint->Name() != chosen)) {
    for (const auto& candidate : FTemplates)
      if (candidate.FEndpoint->Name() == chosen && TemplateMatches(candidate.FSegments, segments)) t = &candidate;
  }
  if (!t) RaiseNotFound();

  // Access: the endpoint's own list, else the resource's; no list means no restriction.
  if (TKelvoEndpointAuthorization::FEndpointAuthorizationFactory || TKelvoEndpointAuthorization::HasInstance()) {
    auto& authorization = TKelvoEndpointAuthorization::GetInstance();
    const TACL* acl = authorization.FindACL(GetName() + "." + t->FEndpoint->Name());
    if (!acl) acl = authorization.FindACL(GetName());
    if (acl) authorization.Authorize(context, *acl);
  }

  // Path parameters go first: the path names the object, a query field of the same name must
  // not redirect the endpoint to another one.
  int position = 0;
  for (size_t i = 0; i < t->FSegments.size() && i < segments.size(); ++i)
    if (t->FSegments[i]->Kind() == TKelvoEndPointSegment::TKind::Parameter)
      request->Params().Insert(position++, t->FSegments[i]->Text(), WithoutTrailingSlash(segments[i]));

  if (t->FEndpoint->Handler()) t->FEndpoint->Handler()(context, *request, *response);
}

std::vector<TAPIDocPath> TKelvoTypeInfoResource::DocPaths() const {
  std::vector<TAPIDocPath> paths;
  for (const auto& endpoint : FDefinition.Endpoints()) {
    std::string text = "/" + FDefinition.Path();
    std::string suffix = endpoint.Suffix();
    while (!suffix.empty() && suffix.front() == '/') suffix.erase(0, 1);
    if (!suffix.empty()) text += "/" + suffix;
    auto it = std::find_if(paths.begin(), paths.end(), [&](const TAPIDocPath& p) { return p.FPath == text; });
    if (it == paths.end()) {
      paths.push_back(TAPIDocPath{text, {}, GetName()});
      it = paths.end() - 1;
    }
    it->FOperations.emplace_back(MethodName(endpoint.Method()), &endpoint);
  }
  return paths;
}

void RegisterResource(const TResourceDefinition& definition) {
  RegisterResource(std::make_unique<TKelvoTypeInfoResource>(definition));
}

// --- resource strings --------------------------------------------------------------------------

void TResourceStringsTable::Add(const std::string& key, const std::string& text) { StringsTable()[key] = text; }

std::string TResourceStringsTable::Resolve(const std::string& key_or_text) {
  const auto& table = StringsTable();
  auto it = table.find(key_or_text);
  return it == table.end() ? key_or_text : it->second;
}
