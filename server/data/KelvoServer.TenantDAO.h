// SQL of the tenant table: procedures that add, change and delete tenants and their custom
// fields, and the reads the request pipeline needs (default tenant, secrets, entity owners).
#pragma once

#include <memory>
#include <string>

#include "KelvoServer.BaseDAO.h"

class ETenantDAODVError : public EBaseDAODVError {
 public:
  using EBaseDAODVError::EBaseDAODVError;
};

/// Every engine failure leaves as `ETenantDAODVError` (or the lock-conflict and key-violation
/// classes). Data sets returned belong to the caller.
class TTenantDAO : public TCommonDAO {
 public:
  explicit TTenantDAO(TConnectionObject* AConnObj);

  /// `ASecret` is the hash. `ATID` is the new key; false when the tenant id exists.
  bool AddTenantSP(const std::string& ATenantID, const std::string& ATenantName, const std::string& ASecret,
                   const std::string& ASalt, bool AIsActive, int& ATID);
  void EditTenantSP(int ATID, const std::string& ATenantName, const std::string& ASecret, const std::string& ASalt,
                    bool AIsActive);
  bool DeleteTenantSP(int ATID);
  void AddTenantDetailSP(int ATID, const TNameValuePairs& ADetails);
  void DeleteTenantDetailSP(int ATID, const std::string& AName);

  /// The active tenant with the lowest key (at most one row).
  std::unique_ptr<TDataSet> GetDefaultTenant();
  std::unique_ptr<TDataSet> GetTenantByTenantId(const std::string& ATenantId);
  std::string GetTenantIDByName(const std::string& AName);
  std::string GetTenantIDByTID(int ATID);
  int GetTIDByName(const std::string& ATenantName);
  /// The stored hash when exactly one active row has that id; otherwise empty.
  std::string GetTenantSecret(const std::string& ATenantId);
  /// The tenant id owning the entity row whose `APKFieldName` is `AEntityID`, restricted to
  /// `ATenantId`; empty when there is none. Table and column names come from the fixed entity
  /// table, never from a request.
  std::string GetEntityTenantId(const std::string& AEntityTableName, const std::string& APKFieldName,
                                const std::string& AEntityID, const std::string& ATenantId);
};
