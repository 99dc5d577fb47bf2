// "API": the API documentation of every registered resource, as YAML or JSON.
#pragma once

#include <string>

#include "KelvoServerAPI.APIDoc.h"

class TAPIDocResource {
 public:
  /// Adds the documentation texts and registers the resource.
  static void Register();
  /// Collects the documentation of the registered resources whose paths start with "/" + `item`
  /// (all of them when `item` is empty).
  static void CollectDocumentation(TAPIDoc& doc, TAPIDoc::TMode mode, const std::string& item);
};
