// Helpers shared by the entity resources.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "Kelvo.QueryTypes.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.TenantAPI.h"
#include "KelvoServerAPI.Resource.h"

class TEndpointParams;
class TEndpointContext;

class TQueryHelper {
 public:
  /// Looks a request parameter up by name (ignoring case); false when absent.
  using TParamLookup = std::function<bool(const std::string& AName, std::string& AValue)>;

  /// Longest `where` text read; longer ones are refused before parsing.
  static constexpr size_t KMaxWhereLength = 128 * 1024;
  /// Deepest JSON nesting of a `where` text ($or/$and groups take two levels each).
  static constexpr int KMaxWhereJSONDepth = 2 * 32 + 8;

  /// The documentation of the four list parameters, for every list endpoint.
  static std::vector<TAPIDocParameter> DocParameters();

  /// The query of a list request from its `where`, `skip`, `limit` and `order` parameters; null
  /// when none of them has a value.
  /// @throws EKelvoHTTPError 400 with the reason for bad input.
  static std::unique_ptr<TQuery> QueryFromParams(const TEndpointParams& AParams);
  static std::unique_ptr<TQuery> QueryFromParams(const TParamLookup& AParams);

  /// Appends the items of an `order` text ("a,-b,+c"; spaces separate items too).
  static bool ParseOrderBy(const std::string& AString, TQuery::TOrderBy& AItems);
};

class TDateTimeHelper {
 public:
  /// The stored (server-local) date-time in UTC, ISO 8601 with milliseconds and "Z":
  /// "2019-05-04T09:10:11.000Z".
  static std::string DateTimeToText(const TDBTimestamp& ADateTime);
  static rapidjson::Value DateTimeToValue(const TDBTimestamp& ADateTime, rapidjson::Document::AllocatorType& AAllocator);
  /// The "_meta" member of an entity object: "creator", "created", and "updated" only when the
  /// entity changed after it was created.
  static rapidjson::Value MetaObject(const std::string& ACreator, const TDBTimestamp& ACreated,
                                     const TDBTimestamp& ALastModified, rapidjson::Document::AllocatorType& AAllocator);
};

class TFieldsHelper {
 public:
  /// {"name": AName}, then "custom": true when `ACustom`, then "fields" when there are sub-fields.
  static rapidjson::Value MakeField(const std::string& AName, bool ACustom, std::vector<rapidjson::Value> ASubFields,
                                    rapidjson::Document::AllocatorType& AAllocator);
  static rapidjson::Value MakeField(const std::string& AName, rapidjson::Document::AllocatorType& AAllocator) {
    return MakeField(AName, false, {}, AAllocator);
  }
};

class TResourceHelper {
 public:
  /// Runs `AAction(api)` on a fresh connection with an entity API `TAPI(connection, ATenantId)`,
  /// freeing the API and then the connection on every path.
  template <class TAPI, class F>
  static auto WithAPI(const std::string& ATenantId, F&& AAction) {
    // Declared in this order so that the API goes first and the connection last.
    auto connection = TServerAPIHelpers::CreateConnection();
    auto api = std::make_unique<TAPI>(connection.get(), ATenantId);
    return AAction(*api);
  }
  /// The request's tenant id (empty when the request has no tenant).
  static std::string TenantIdOf(TEndpointContext& AContext);
  /// Reads the path parameter `id`. @throws EKelvoHTTPError 400 "Unexpected request query
  /// parameters" when it is missing.
  static std::string PathId(TEndpointContext& AContext);
};

class TTenantHelper {
 public:
  /// On a fresh connection: does the entity row belong to the tenant? (Empty tenant: yes.)
  static bool IsEntityBelongsToTenant(TTenantEntity AEntity, const std::string& AEntityID, const std::string& ATenantId);
};
