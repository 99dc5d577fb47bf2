// Base classes of the entity APIs (business rules over a DAO, on a connection object that the
// caller owns), tenant-key resolution with its process-wide cache, the database version check,
// and the static helpers the request pipeline calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Kelvo.QueryToSQL.h"
#include "KelvoServer.BaseDAO.h"

/// The statement a list endpoint wants: its rows, or their number.
enum class TQueryWriterKind { Standard, Count };

class TBaseAPI {
 public:
  /// `AConnectionObject` is not owned.
  explicit TBaseAPI(TConnectionObject* AConnectionObject) : FConnObj(AConnectionObject) {}
  virtual ~TBaseAPI() { FConnObj = nullptr; }

  /// The schema's version number, read once per API object.
  /// @throws EBaseAPIError "Missing Kelvo database version" when the table has no row.
  std::string Version();
  /// The numeric tenant key for SQL; -1 means no tenant scope.
  virtual int32_t GetTID() { return -1; }
  /// Custom-field names keep the case the client sent.
  static std::string DetailKeyCase(const std::string& AKey) { return AKey; }

  /// The list statement of an entity for `AQuery` (null: everything of the tenant), scoped to
  /// `GetTID()`: validates the query, then writes the SQL text and its ordered parameters for
  /// `TCommonDAO::GetAll` (Standard) or `GetTotalFiltered` (Count).
  /// @throws EQueryException (a 400) for a query that cannot be written; EBaseAPIError
  /// "Unknown query writer" for any other kind.
  void BuildQuerySQL(const TQuery* AQuery, const TEntityParams& AEntityParams,
                     const std::vector<std::string>& AStaticFields,
                     const TCommonQueryWriter::TMasterAttribute& AMasterAttribute, TQueryWriterKind AKind,
                     std::string& ASQL, TDBParams& AParams);

 protected:
  TConnectionObject* FConnObj;
  std::string FVersion = "0";
};

class TBaseWithTenantAPI : public TBaseAPI {
 public:
  /// Width of the TENANTID column.
  static constexpr size_t kTenantIdLength = 100;

  TBaseWithTenantAPI(TConnectionObject* AConnectionObject, std::string ATenantId)
      : TBaseAPI(AConnectionObject), FTenantId(std::move(ATenantId)) {}

  const std::string& TenantId() const { return FTenantId; }
  int32_t GetTID() override;

  /// The key of the active tenant with that id, -1 when there is none. Cached for the process,
  /// -1 included, under one lock held for the whole lookup.
  static int32_t GetTIDByTenantId(TConnectionObject* AConnectionObject, const std::string& ATenantId);
  /// Forgets every cached key (the database was closed; tests).
  static void ResetTenantKeyCache();

 protected:
  std::string FTenantId;
  int32_t FTID = 0;
};

enum class TCompareDBVersionResult { Equal, UpdgradeNeeded, DowngradeNeeded };

/// Helpers for the request pipeline. Each takes an optional connection object; without one it
/// uses a connection of its own on `_RS_KELVO` for the one call.
class TServerAPIHelpers {
 public:
  static constexpr const char* kExpectedDBVersion = "1.33";

  /// A new connection object on `_RS_KELVO` (the caller owns it).
  static std::unique_ptr<TConnectionObject> CreateConnection();

  static void GetDBVersion(TConnectionObject* AConnection, std::string& AActual, std::string& AExpected);
  /// False with an administrator's message when the database cannot be read or its version
  /// differs from the expected one.
  static bool CheckDBVersion(TConnectionObject* AConnection, std::string& AMessage);
  /// @throws EConvertError when a part of a version is not a whole number.
  static TCompareDBVersionResult CompareActualToExpectedDBVersion(const std::string& AActual,
                                                                  const std::string& AExpected);

  // Defined by the units of the entities they call (users, groups, tenants, logging).
  static bool UserIDOfSession(TConnectionObject* AConnection, const std::string& ASessionToken,
                              const std::string& ATenantId, std::string& AUserID);
  static bool UserNameOfID(TConnectionObject* AConnection, const std::string& AUserID, const std::string& ATenantId,
                           std::string& AUserName);
  static std::vector<std::string> GetGroupsByUser(TConnectionObject* AConnection, const std::string& AUserID,
                                                  const std::string& ATenantId);
  static bool ValidateTenant(TConnectionObject* AConnection, const std::string& ATenantId);
  static bool ValidateTenant(TConnectionObject* AConnection, const std::string& ATenantId,
                             const std::string& ATenantSecret);
  static std::string GetDefaultTenantId(TConnectionObject* AConnection);
  /// Forgets the kept default tenant id (the database was closed; tests).
  static void ResetDefaultTenantId();
  static bool IsUserBelongsToTenant(const std::string& AUserId, const std::string& ATenantId);
  static std::string GetTenantNameByTenantId(const std::string& ATenantId);
  static void LogEndpoint(TConnectionObject* AConnection, const std::string& AResource,
                          const std::string& AEndpointName, const std::string& AMethod, const std::string& AUserID,
                          const std::string& ACustom, const std::string& ATenantId);
};
