#include "KelvoHosting.APIDocResource.h"

#include "KelvoServerAPI.Resources.h"

void TAPIDocResource::CollectDocumentation(TAPIDoc& doc, TAPIDoc::TMode mode, const std::string& item) {
  for (auto* resource : TKelvoEndpointManager::GetInstance().GetResources()) {
    // Only resources declared with metadata have documentation.
    auto* documented = dynamic_cast<TKelvoTypeInfoResource*>(resource);
    if (!documented) continue;
    bool added = false;
    for (auto& path : documented->DocPaths()) {
      if (!item.empty() && path.FPath.rfind("/" + item, 0) != 0) continue;
      doc.AddPath(std::move(path));
      added = true;
    }
    if (!added) continue;
    const auto& definition = documented->Definition();
    doc.AppendDefinitions(mode == TAPIDoc::TMode::YAML ? definition.YAMLDefinitionsText()
                                                       : definition.JSONDefinitionsText());
  }
  doc.SortPaths();
}

namespace {

// The URL path below which resource paths lie: the request URI without the path the
// pipeline routed (what remains is the configured resources root, if any).
std::string DocumentBasePath(TEndpointRequest& request) {
  const std::string uri = request.BasePath();
  const std::string path = uri.substr(0, uri.find('?'));
  std::string routed = "/";
  for (const auto& segment : request.Segments().ToArray()) routed += segment;
  if (path.size() >= routed.size() && path.compare(path.size() - routed.size(), routed.size(), routed) == 0) {
    std::string base = path.substr(0, path.size() - routed.size());
    return base.empty() ? "/" : base;
  }
  return "/";
}

void GetDoc(TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
  auto& writer = response.Body().GetJSONWriter();
  writer.StartArray();
  for (const char* call : {"apidoc.yaml", "apidoc.json"}) {
    writer.StartObject();
    writer.Key("apicall");
    writer.String(call);
    writer.EndObject();
  }
  writer.EndArray();
}

void GetYamlDoc(TEndpointContext&, TEndpointRequest& request, TEndpointResponse& response) {
  std::string item;
  request.Params().TryGetValue("item", item);
  TAPIDoc doc(request.ServerHost(), DocumentBasePath(request), TAPIDoc::TMode::YAML);
  TAPIDocResource::CollectDocumentation(doc, TAPIDoc::TMode::YAML, item);
  response.Body().SetBytes(doc.GetAPIDocYaml(), "text/plain; charset=utf-8");
}

void GetJSONDoc(TEndpointContext&, TEndpointRequest& request, TEndpointResponse& response) {
  TAPIDoc doc(request.ServerHost(), DocumentBasePath(request), TAPIDoc::TMode::JSON);
  TAPIDocResource::CollectDocumentation(doc, TAPIDoc::TMode::JSON, "");
  doc.WriteAPIDocJson(response.Body().GetJSONWriter());
}

const char* const kYAMLDefinitions =
    "apicallObject:\n"
    "  type: object\n"
    "  properties:\n"
    "    apicall:\n"
    "      type: string\n";

const char* const kJSONDefinitions =
    "{\"apicallObject\":{\"type\":\"object\",\"properties\":{\"apicall\":{\"type\":\"string\"}}}}";

}  // namespace

void TAPIDocResource::Register() {
  TResourceStringsTable::Add("sResponseOK", "OK");
  TResourceStringsTable::Add("sGetAPITitle", "Get API EndPoints");
  TResourceStringsTable::Add("sGetAPIDesc", " |\r\n    Used to retrieve all the API EndPoints.");
  TResourceStringsTable::Add("sGetAPIYAMLTitle", "Get YAML");
  TResourceStringsTable::Add("sGetAPIJSONTitle", "Get JSON");
  TResourceStringsTable::Add("sGetAPIYAMLDesc", "Get API in YAML format");
  TResourceStringsTable::Add("sGetAPIJSONDesc", "Get API in JSON format");
  TResourceStringsTable::Add("sGetOneAPITitle", "Get API EndPoint");
  TResourceStringsTable::Add("sGetOneAPIDesc", " |\r\n    Used to retrieve an EndPoint for the API EndPoints.");
  TResourceStringsTable::Add("sEndPointPath", "Path Segment to an EndPoint");

  TResourceDefinition api("API");
  api.Get("API", "", GetDoc)
      .Summary("sGetAPITitle")
      .Description("sGetAPIDesc")
      .Tags({"API"})
      .Produces({"application/json"})
      .Response(200, "sResponseOK", "#/definitions/apicallObject", true);
  api.Get("GetAPIYAMLFormat EndPoint", "{item}/apidoc.yaml", GetYamlDoc)
      .Summary("sGetOneAPITitle")
      .Description("sGetOneAPIDesc")
      .Tags({"API"})
      .Produces({"text/plain"})
      .Param({"item", "path", "sEndPointPath", "string", true, ""})
      .Response(200, "sResponseOK");
  api.Get("GetAPIYAMLFormat", "apidoc.yaml", GetYamlDoc)
      .Summary("sGetAPIYAMLTitle")
      .Description("sGetAPIYAMLDesc")
      .Tags({"API"})
      .Produces({"text/plain"})
      .Response(200, "sResponseOK");
  api.Get("GetAPIJSONFormat", "apidoc.json", GetJSONDoc)
      .Summary("sGetAPIJSONTitle")
      .Description("sGetAPIJSONDesc")
      .Tags({"API"})
      .Produces({"application/json"})
      .Response(200, "sResponseOK");
  api.YAMLDefinitions(kYAMLDefinitions).JSONDefinitions(kJSONDefinitions);
  RegisterResource(api);
}
