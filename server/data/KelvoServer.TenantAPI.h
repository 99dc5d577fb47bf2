// Tenants: the records, the secret rule, the default tenant and the test whether an entity row
// belongs to a tenant. The request path only reads and checks; the maintenance operations serve
// kelvo-setup and tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.TenantDAO.h"

class ETenantInvalidDataAPIError : public EBaseAPIError {
 public:
  using EBaseAPIError::EBaseAPIError;
};
class ETenantDuplicateError : public EBaseAPIDuplicateError {
 public:
  using EBaseAPIDuplicateError::EBaseAPIDuplicateError;
};
class ETenantDetailInvalidParameters : public EBaseAPIInvalidParametersError {
 public:
  using EBaseAPIInvalidParametersError::EBaseAPIInvalidParametersError;
};

/// The kinds of entity whose owning tenant can be tested.
enum class TTenantEntity { Users, Groups, Installation, Modules, Resources, Channel };

struct TTenantInfo {
  int32_t TID = 0;
  std::string TenantId;
  /// The stored hash, never the clear secret.
  std::string TenantSecret;
  std::string TenantSalt;
  std::string TenantName;
  bool IsActive = false;
  TDBTimestamp Created;
  TDBTimestamp LastModified;
  std::string Creator;
  TNameValuePairs Details;

  bool IsEmpty() const { return TenantId.empty() && TenantSecret.empty(); }
  /// Same id ignoring case, and the secret hashed with `TenantSalt` equal to the stored hash
  /// ignoring case (both secrets empty also match).
  bool CompareTo(const std::string& ATenantId, const std::string& ATenantSecret) const;
};

/// MD5 of the secret followed by the salt, 32 lower-case hexadecimal digits.
std::string HashTenantSecret(const std::string& ASecret, const std::string& ASalt);

/// Tenants are not tenant-scoped: `GetTID()` is -1 and lists carry no tenant condition.
class TTenantAPI : public TBaseAPI {
 public:
  explicit TTenantAPI(TConnectionObject* AConnectionObject);
  ~TTenantAPI() override;

  bool ValidateTenantId(const std::string& ATenantId);
  /// Reads the table afresh (no cache). @throws ETenantInvalidDataAPIError for two rows of one id.
  bool ValidateTenant(const std::string& ATenantId, const std::string& ATenantSecret);
  /// With an empty tenant id every entity counts as belonging (no tenant scope).
  bool IsEntityBelongToTenant(TTenantEntity AEntity, const std::string& AEntityID, const std::string& ATenantId);
  /// Id and stored hash of the default tenant, or an empty record.
  TTenantInfo GetDefaultTenantInfo();
  int GetTIDByName(const std::string& AName);
  int GetTIDByTenantID(const std::string& ATenantID);
  std::string GetTenantIdByName(const std::string& ATenantName);
  bool GetTenants(std::vector<TTenantInfo>& ATenantList);
  bool GetTenant(const std::string& ATenantID, TTenantInfo& ATenantInfo);
  bool GetTenant(int ATID, TTenantInfo& ATenantInfo);
  std::string GetTenantNameByTenantId(const std::string& ATenantID);
  /// The new key; 0 or less when it was not added.
  int AddTenant(const std::string& AName, const std::string& ASecret);
  /// @throws ETenantDuplicateError, ETenantDetailInvalidParameters; leaves nothing behind then.
  void AddSampleTenant(const std::string& ATenantID, const std::string& AName, const std::string& ASecret,
                       const TNameValuePairs& ADetails);
  void EditTenant(int ATID, const std::string& AName, const std::string& ASecret, bool AIsActive);
  /// @throws ETenantInvalidDataAPIError for a bad or static field name.
  void UpdateTenantDetails(int ATID, const TNameValuePairs& AChangeList);
  bool DeleteTenant(int ATID);

  static const std::vector<std::string>& StaticFields();
  static TNameValuePairs EntityParams();
  static TEntityParams EntityParamsRecord();
  /// Table and key column of an entity kind.
  static std::pair<std::string, std::string> EntityTableAndKey(TTenantEntity AEntity);

 private:
  void ReadTenant(TDataSet& ADataSet, TTenantInfo& AInfo);
  std::unique_ptr<TTenantDAO> FTenantDAO;
};
