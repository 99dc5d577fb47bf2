// Helpers shared by the entity resources.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Kelvo.QueryTypes.h"

class TEndpointParams;

class TQueryHelper {
 public:
  /// Looks a request parameter up by name (ignoring case); false when absent.
  using TParamLookup = std::function<bool(const std::string& AName, std::string& AValue)>;

  /// Longest `where` text read; longer ones are refused before parsing.
  static constexpr size_t KMaxWhereLength = 128 * 1024;
  /// Deepest JSON nesting of a `where` text ($or/$and groups take two levels each).
  static constexpr int KMaxWhereJSONDepth = 2 * 32 + 8;

  /// The query of a list request from its `where`, `skip`, `limit` and `order` parameters; null
  /// when none of them has a value.
  /// @throws EKelvoHTTPError 400 with the reason for bad input.
  static std::unique_ptr<TQuery> QueryFromParams(const TEndpointParams& AParams);
  static std::unique_ptr<TQuery> QueryFromParams(const TParamLookup& AParams);

  /// Appends the items of an `order` text ("a,-b,+c"; spaces separate items too).
  static bool ParseOrderBy(const std::string& AString, TQuery::TOrderBy& AItems);
};
