#include "KelvoServer.Helpers.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <rapidjson/document.h>

#include "Kelvo.QueryFromJSON.h"
#include "KelvoServerAPI.Endpoints.h"
#include "KelvoServerAPI.HTTPError.h"

namespace {

bool TryParseInt32(const std::string& AText, int32_t& AValue) {
  size_t i = 0;
  if (i < AText.size() && (AText[i] == '+' || AText[i] == '-')) ++i;
  if (i == AText.size() || AText.size() - i > 11) return false;
  for (size_t j = i; j < AText.size(); ++j)
    if (AText[j] < '0' || AText[j] > '9') return false;
  const long long v = std::strtoll(AText.c_str(), nullptr, 10);
  if (v < INT32_MIN || v > INT32_MAX) return false;
  AValue = static_cast<int32_t>(v);
  return true;
}

// Nesting depth of a JSON text, counted without building anything, so that a hostile text is
// refused before a recursive structure exists.
int JSONDepth(const std::string& AText) {
  int depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > deepest) deepest = depth;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return deepest;
}

bool IsOrderSeparator(char c) { return c == ',' || (static_cast<unsigned char>(c) <= ' '); }

void ParseWhere(const std::string& AText, TQuery& AQuery) {
  if (AText.size() > TQueryHelper::KMaxWhereLength) RaiseBadRequest({}, "Query filter too long");
  if (JSONDepth(AText) > TQueryHelper::KMaxWhereJSONDepth) RaiseBadRequest({}, "Query filters nested too deeply");
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(AText.c_str(), AText.size());
  if (document.HasParseError() || !document.IsObject()) RaiseBadRequest({}, "Unable to parse JSON");
  // EQueryParserException is a 400 with the parser's message already.
  ParseJSONFilters(document, AQuery.Filters(), 0);
}

}  // namespace

std::unique_ptr<TQuery> TQueryHelper::QueryFromParams(const TEndpointParams& AParams) {
  return QueryFromParams(
      [&](const std::string& name, std::string& value) { return AParams.TryGetValue(name, value); });
}

std::unique_ptr<TQuery> TQueryHelper::QueryFromParams(const TParamLookup& AParams) {
  std::unique_ptr<TQuery> query;
  auto Query = [&]() -> TQuery& {
    if (!query) query = std::make_unique<TQuery>();
    return *query;
  };
  std::string value;
  if (AParams("where", value) && !value.empty()) ParseWhere(value, Query());
  if (AParams("skip", value) && !value.empty())
    if (!TryParseInt32(value, Query().Skip)) RaiseBadRequest({}, "Unexpected query string");
  if (AParams("limit", value) && !value.empty())
    if (!TryParseInt32(value, Query().Limit)) RaiseBadRequest({}, "Unexpected query string");
  if (AParams("order", value) && !value.empty())
    if (!ParseOrderBy(value, Query().OrderBy())) RaiseBadRequest({}, "Unexpected query string");
  return query;
}

bool TQueryHelper::ParseOrderBy(const std::string& AString, TQuery::TOrderBy& AItems) {
  size_t i = 0;
  const size_t n = AString.size();
  while (i < n) {
    while (i < n && IsOrderSeparator(AString[i])) ++i;
    if (i >= n) break;
    std::string item;
    while (i < n && !IsOrderSeparator(AString[i])) {
      if (AString[i] == '"') {
        // A quoted part may hold separators; "" inside it is one quote.
        ++i;
        while (i < n) {
          if (AString[i] == '"') {
            if (i + 1 < n && AString[i + 1] == '"') {
              item += '"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          item += AString[i++];
        }
      } else {
        item += AString[i++];
      }
    }
    if (item.empty()) continue;
    if (item[0] == '+') AItems.Add(item.substr(1), TQuery::TDirection::Ascending);
    else if (item[0] == '-') AItems.Add(item.substr(1), TQuery::TDirection::Descending);
    else AItems.Add(item, TQuery::TDirection::Ascending);
  }
  return true;
}
