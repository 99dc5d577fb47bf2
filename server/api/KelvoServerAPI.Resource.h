// Declaring a resource: one readable place names the resource, its endpoints (method, path
// suffix, handler) and their documentation. RegisterResource builds the resource from it.
//
//   TResourceDefinition version("Version");
//   version.Get("Get", "", &GetVersion)
//       .Summary("sGetVersionSummaryTitle")
//       .Description("sGetVersionSummaryDesc")
//       .Tags({"Version"})
//       .Produces({"application/json"})
//       .Response(200, "sGetVersion200Response", "#/definitions/VersionObject");
//   RegisterResource(version);
//
// Documentation texts may name an entry of the resource-strings table; the entry's text is
// then used.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KelvoServerAPI.Endpoints.h"
#include "KelvoServerAPI.Resources.h"
#include "KelvoServerAPI.Segments.h"

using TEndpointHandler = std::function<void(TEndpointContext&, TEndpointRequest&, TEndpointResponse&)>;

struct TAPIDocParameter {
  std::string FName;
  std::string FIn;           // "path", "query", "header", "body"
  std::string FDescription;  // text or resource-string key
  std::string FType;         // "string", "integer", ...; empty with a schema
  bool FRequired = false;
  std::string FSchemaRef;    // "#/definitions/..." for a body
};

struct TAPIDocResponse {
  int FCode = 200;
  std::string FDescription;  // text or resource-string key
  std::string FSchemaRef;    // "#/definitions/..." or empty
  bool FArray = false;       // the schema is an array of FSchemaRef
};

struct TEndpointDoc {
  std::string FSummary;
  std::string FDescription;
  std::vector<std::string> FTags;
  std::vector<std::string> FProduces;
  std::vector<std::string> FConsumes;
  std::vector<TAPIDocParameter> FParameters;
  std::vector<TAPIDocResponse> FResponses;
};

class TEndpointDefinition {
 public:
  TEndpointDefinition(std::string name, TEndpointRequest::TMethod method, std::string suffix, TEndpointHandler handler)
      : FName(std::move(name)), FMethod(method), FSuffix(std::move(suffix)), FHandler(std::move(handler)) {}

  TEndpointDefinition& Summary(std::string text) { FDoc.FSummary = std::move(text); return *this; }
  TEndpointDefinition& Description(std::string text) { FDoc.FDescription = std::move(text); return *this; }
  TEndpointDefinition& Tags(std::vector<std::string> tags) { FDoc.FTags = std::move(tags); return *this; }
  TEndpointDefinition& Produces(std::vector<std::string> types) { FDoc.FProduces = std::move(types); return *this; }
  TEndpointDefinition& Consumes(std::vector<std::string> types) { FDoc.FConsumes = std::move(types); return *this; }
  TEndpointDefinition& Param(TAPIDocParameter parameter) { FDoc.FParameters.push_back(std::move(parameter)); return *this; }
  TEndpointDefinition& Params(const std::vector<TAPIDocParameter>& parameters) {
    FDoc.FParameters.insert(FDoc.FParameters.end(), parameters.begin(), parameters.end());
    return *this;
  }
  TEndpointDefinition& Response(int code, std::string description, std::string schema_ref = {}, bool array = false) {
    FDoc.FResponses.push_back({code, std::move(description), std::move(schema_ref), array});
    return *this;
  }

  const std::string& Name() const { return FName; }
  TEndpointRequest::TMethod Method() const { return FMethod; }
  const std::string& Suffix() const { return FSuffix; }
  const TEndpointHandler& Handler() const { return FHandler; }
  const TEndpointDoc& Doc() const { return FDoc; }

 private:
  std::string FName;
  TEndpointRequest::TMethod FMethod;
  std::string FSuffix;
  TEndpointHandler FHandler;
  TEndpointDoc FDoc;
};

class TResourceDefinition {
 public:
  /// `name` is the resource name; its base URL is "/" + `path` (default: the name in lower case).
  explicit TResourceDefinition(std::string name, std::string path = {});

  TEndpointDefinition& Get(std::string endpoint, std::string suffix, TEndpointHandler handler);
  TEndpointDefinition& Put(std::string endpoint, std::string suffix, TEndpointHandler handler);
  TEndpointDefinition& Post(std::string endpoint, std::string suffix, TEndpointHandler handler);
  TEndpointDefinition& Delete(std::string endpoint, std::string suffix, TEndpointHandler handler);
  TEndpointDefinition& Patch(std::string endpoint, std::string suffix, TEndpointHandler handler);
  /// Object definitions of the documentation: YAML mapping entries ("Name:\n  type: object ...").
  TResourceDefinition& YAMLDefinitions(std::string text) { FYAMLDefinitions = std::move(text); return *this; }
  /// The same as a JSON object text ({"Name": {...}}).
  TResourceDefinition& JSONDefinitions(std::string text) { FJSONDefinitions = std::move(text); return *this; }

  const std::string& Name() const { return FName; }
  const std::string& Path() const { return FPath; }
  const std::vector<TEndpointDefinition>& Endpoints() const { return FEndpoints; }
  const std::string& YAMLDefinitionsText() const { return FYAMLDefinitions; }
  const std::string& JSONDefinitionsText() const { return FJSONDefinitions; }

 private:
  TEndpointDefinition& Add(std::string endpoint, TEndpointRequest::TMethod method, std::string suffix,
                           TEndpointHandler handler);
  std::string FName;
  std::string FPath;
  std::vector<TEndpointDefinition> FEndpoints;
  std::string FYAMLDefinitions;
  std::string FJSONDefinitions;
};

/// One path of the documentation: its text ("/users/{id}") and its operations by method.
struct TAPIDocPath {
  std::string FPath;
  std::vector<std::pair<std::string, const TEndpointDefinition*>> FOperations;  // ("get", endpoint)
  std::string FResourceName;
};

/// A resource built from a TResourceDefinition: matches requests to its endpoints, checks
/// access, adds path parameters to the request and runs the endpoint.
class TKelvoTypeInfoResource : public TKelvoResource {
 public:
  /// Raises EKelvoException when the definition is unusable (no segments service registered).
  explicit TKelvoTypeInfoResource(TResourceDefinition definition);

  std::string GetName() const override { return FDefinition.Name(); }
  bool IsBaseURL(const std::string& base_url) const override;
  std::vector<std::string> GetEndpointNames() const override;
  bool CanHandleRequest(TEndpointContext& context, std::string& endpoint_name) override;
  void HandleRequest(TEndpointContext& context) override;

  const TResourceDefinition& Definition() const { return FDefinition; }
  /// The documentation paths of this resource, one per distinct path text.
  std::vector<TAPIDocPath> DocPaths() const;

 private:
  struct TEndpointTemplate {
    const TEndpointDefinition* FEndpoint;
    TKelvoEndpointSegmentList FSegments;
  };
  /// The best endpoint for the method and the segments below the resource, or null.
  const TEndpointTemplate* Match(TEndpointRequest::TMethod method, const std::vector<std::string>& segments) const;

  TResourceDefinition FDefinition;
  std::vector<TEndpointTemplate> FTemplates;
};

/// Builds the resource and registers it with the endpoint manager.
void RegisterResource(const TResourceDefinition& definition);

/// Texts that documentation metadata refers to by key.
class TResourceStringsTable {
 public:
  static void Add(const std::string& key, const std::string& text);
  /// The text registered under `key_or_text`, or `key_or_text` itself when none is.
  static std::string Resolve(const std::string& key_or_text);
};

/// Optional hook that fills a RegResource log record; true when it filled it.
using TKelvoLoggingResourceFunc = std::function<bool(const TKelvoResource&, rapidjson::Document& record)>;
extern TKelvoLoggingResourceFunc KelvoLoggingResourceFunc;
