#include "KelvoServer.Helpers.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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

std::string TDateTimeHelper::DateTimeToText(const TDBTimestamp& ADateTime) {
  int64_t micros = ADateTime.FMicroseconds;
  int64_t seconds = micros / 1000000;
  int64_t rest = micros % 1000000;
  if (rest < 0) {
    rest += 1000000;
    --seconds;
  }
  // The stored value is the server's wall-clock time: read it as local time, write it as UTC.
  std::tm local{};
  const time_t as_utc = static_cast<time_t>(seconds);
  gmtime_r(&as_utc, &local);
  local.tm_isdst = -1;
  const time_t instant = mktime(&local);
  std::tm utc{};
  gmtime_r(instant == static_cast<time_t>(-1) ? &as_utc : &instant, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(rest / 1000));
  return text;
}

rapidjson::Value TDateTimeHelper::DateTimeToValue(const TDBTimestamp& ADateTime,
                                                  rapidjson::Document::AllocatorType& AAllocator) {
  const std::string text = DateTimeToText(ADateTime);
  return rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), AAllocator);
}

rapidjson::Value TFieldsHelper::MakeField(const std::string& AName, bool ACustom,
                                          std::vector<rapidjson::Value> ASubFields,
                                          rapidjson::Document::AllocatorType& AAllocator) {
  rapidjson::Value field(rapidjson::kObjectType);
  field.AddMember("name", rapidjson::Value(AName.c_str(), static_cast<rapidjson::SizeType>(AName.size()), AAllocator),
                  AAllocator);
  if (ACustom) field.AddMember("custom", true, AAllocator);
  if (!ASubFields.empty()) {
    rapidjson::Value fields(rapidjson::kArrayType);
    for (auto& sub : ASubFields) fields.PushBack(sub, AAllocator);
    field.AddMember("fields", fields, AAllocator);
  }
  return field;
}

std::string TResourceHelper::TenantIdOf(TEndpointContext& AContext) {
  auto* tenant = AContext.Tenant();
  return tenant ? tenant->Id() : std::string();
}

std::string TResourceHelper::PathId(TEndpointContext& AContext) {
  std::string id;
  if (!AContext.Request() || !AContext.Request()->Params().TryGetValue("id", id))
    RaiseBadRequest({}, "Unexpected request query parameters");
  return id;
}

bool TTenantHelper::IsEntityBelongsToTenant(TTenantEntity AEntity, const std::string& AEntityID,
                                            const std::string& ATenantId) {
  auto connection = TServerAPIHelpers::CreateConnection();
  TTenantAPI api(connection.get());
  return api.IsEntityBelongToTenant(AEntity, AEntityID, ATenantId);
}

rapidjson::Value TDateTimeHelper::MetaObject(const std::string& ACreator, const TDBTimestamp& ACreated,
                                             const TDBTimestamp& ALastModified,
                                             rapidjson::Document::AllocatorType& AAllocator) {
  rapidjson::Value meta(rapidjson::kObjectType);
  meta.AddMember("creator", rapidjson::Value(ACreator.c_str(), static_cast<rapidjson::SizeType>(ACreator.size()), AAllocator),
                 AAllocator);
  meta.AddMember("created", DateTimeToValue(ACreated, AAllocator), AAllocator);
  if (ALastModified != ACreated) meta.AddMember("updated", DateTimeToValue(ALastModified, AAllocator), AAllocator);
  return meta;
}

std::vector<TAPIDocParameter> TQueryHelper::DocParameters() {
  return {{"skip", "query", "sUserReqParamSkipDesc", "integer", false, ""},
          {"limit", "query", "sUserReqParamLimitDesc", "integer", false, ""},
          {"order", "query", "sUserReqParamOrderDesc", "string", false, ""},
          {"where", "query", "sUserReqParamWhereDesc", "string", false, ""}};
}
