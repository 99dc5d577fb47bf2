// The API documentation of registered resources as a Swagger 2.0 document, in YAML or JSON.
#pragma once

#include <string>
#include <vector>

#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Resource.h"

class TAPIDoc {
 public:
  enum class TMode { YAML, JSON };

  /// `host` is the request's Host header; `base_path` the URL path below which the documented
  /// paths lie ("/" when the server has no resources root).
  TAPIDoc(std::string host, std::string base_path, TMode mode);

  void AddPath(TAPIDocPath path) { FPaths.push_back(std::move(path)); }
  /// Appends a resource's object definitions (YAML text, or the members of a JSON object text).
  void AppendDefinitions(const std::string& text);
  void SortPaths();
  size_t PathCount() const { return FPaths.size(); }

  std::string GetAPIDocYaml() const;
  void WriteAPIDocJson(TJSONWriter& writer) const;

 private:
  /// The document without its definitions, as a JSON DOM.
  void BuildDocument(rapidjson::Document& document) const;

  std::string FHost;
  std::string FBasePath;
  TMode FMode;
  std::vector<TAPIDocPath> FPaths;
  std::string FDefinitions;
};

/// A documentation text as plain text: resource-string keys resolved, and YAML block-scalar
/// texts (" |" and a line break, then indented lines) turned into their lines.
std::string APIDocText(const std::string& key_or_text);
