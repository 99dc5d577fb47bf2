#include "KelvoServer.TenantAPI.h"

#include <atomic>
#include <map>
#include <mutex>

#include "KelvoServer.UserAPI.h"
#include "KelvoServerAPI.Format.h"

namespace {

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Rolls back when the unit of work fails; the failure itself is what the caller needs.
void RollbackQuietly(TConnectionObject* AConn) {
  try {
    if (AConn->InTransaction()) AConn->Rollback();
  } catch (const std::exception&) {
  }
}

}  // namespace

std::string HashTenantSecret(const std::string& ASecret, const std::string& ASalt) {
  return TAuthentication::HashMd5(ASecret + ASalt);
}

bool TTenantInfo::CompareTo(const std::string& ATenantId, const std::string& ATenantSecret) const {
  if (!SameTextIgnoringCase(TenantId, ATenantId)) return false;
  if (TenantSecret.empty() && ATenantSecret.empty()) return true;
  return SameTextIgnoringCase(HashTenantSecret(ATenantSecret, TenantSalt), TenantSecret);
}

TTenantAPI::TTenantAPI(TConnectionObject* AConnectionObject)
    : TBaseAPI(AConnectionObject), FTenantDAO(std::make_unique<TTenantDAO>(AConnectionObject)) {}

TTenantAPI::~TTenantAPI() = default;

const std::vector<std::string>& TTenantAPI::StaticFields() {
  static const std::vector<std::string> fields = {"TENANTID",     "TENANTNAME", "HTENANTSECRET", "ISACTIVE",
                                                  "CREATED",      "LASTMODIFIED", "CREATOR",     "SALT"};
  return fields;
}

TNameValuePairs TTenantAPI::EntityParams() {
  return {{"MainTable", "TENANTS"}, {"DetailTable", "TENANTSDETAIL"}, {"PrimaryKey", "TID"}, {"ForeignKey", "TID"}};
}

TEntityParams TTenantAPI::EntityParamsRecord() { return {"TENANTS", "TENANTSDETAIL", "TID", "TID"}; }

std::pair<std::string, std::string> TTenantAPI::EntityTableAndKey(TTenantEntity AEntity) {
  switch (AEntity) {
    case TTenantEntity::Users: return {"USERS", "USERID"};
    case TTenantEntity::Groups: return {"GROUPS", "GROUPNAME"};
    case TTenantEntity::Installation: return {"INSTALLATION", "INSTALLID"};
    case TTenantEntity::Modules: return {"MODULES", "MODULEID"};
    case TTenantEntity::Resources: return {"RESOURCES", "RESOURCENAME"};
    case TTenantEntity::Channel: return {"CHANNEL", "CHANNELID"};
  }
  throw EBaseAPIError("Unknown tenant entity");
}

bool TTenantAPI::ValidateTenantId(const std::string& ATenantId) { return GetTIDByTenantID(ATenantId) > 0; }

bool TTenantAPI::ValidateTenant(const std::string& ATenantId, const std::string& ATenantSecret) {
  auto ds = FTenantDAO->GetTenantByTenantId(ATenantId);
  if (ds->RecordCount() > 1)
    throw ETenantInvalidDataAPIError("The Default Tenant cannot be uniquely identified by ID.");
  if (ds->IsEmpty()) return false;
  if (!ds->AsBoolean("ISACTIVE")) return false;
  TTenantInfo info;
  info.TenantId = ds->AsString("TENANTID");
  info.TenantSecret = ds->AsString("HTENANTSECRET");
  info.TenantSalt = ds->AsString("SALT");
  return info.CompareTo(ATenantId, ATenantSecret);
}

bool TTenantAPI::IsEntityBelongToTenant(TTenantEntity AEntity, const std::string& AEntityID,
                                        const std::string& ATenantId) {
  // An empty tenant id means no tenant scope: there is nothing to look up.
  if (ATenantId.empty()) return true;
  const auto [table, key] = EntityTableAndKey(AEntity);
  return SameTextIgnoringCase(FTenantDAO->GetEntityTenantId(table, key, AEntityID, ATenantId), ATenantId);
}

TTenantInfo TTenantAPI::GetDefaultTenantInfo() {
  TTenantInfo info;
  auto ds = FTenantDAO->GetDefaultTenant();
  if (ds->RecordCount() == 1 && ds->AsBoolean("ISACTIVE")) {
    info.TenantId = ds->AsString("TENANTID");
    info.TenantSecret = ds->AsString("HTENANTSECRET");
  }
  return info;
}

int TTenantAPI::GetTIDByName(const std::string& AName) { return FTenantDAO->GetTIDByName(AName); }

int TTenantAPI::GetTIDByTenantID(const std::string& ATenantID) {
  return TBaseWithTenantAPI::GetTIDByTenantId(FConnObj, ATenantID);
}

std::string TTenantAPI::GetTenantIdByName(const std::string& ATenantName) {
  return FTenantDAO->GetTenantIDByName(ATenantName);
}

void TTenantAPI::ReadTenant(TDataSet& ADataSet, TTenantInfo& AInfo) {
  DAOGuard(&RaiseDAOError<ETenantDAODVError>, [&] {
    AInfo.TID = ADataSet.AsInteger("TID");
    AInfo.TenantId = ADataSet.AsString("TENANTID");
    AInfo.TenantName = ADataSet.AsString("TENANTNAME");
    AInfo.TenantSecret = ADataSet.AsString("HTENANTSECRET");
    AInfo.TenantSalt = ADataSet.AsString("SALT");
    AInfo.Creator = ADataSet.AsString("CREATOR");
    AInfo.IsActive = ADataSet.AsBoolean("ISACTIVE");
    AInfo.Created = ADataSet.IsNull("CREATED") ? TDBTimestamp{} : ADataSet.AsDateTime("CREATED");
    AInfo.LastModified = ADataSet.IsNull("LASTMODIFIED") ? TDBTimestamp{} : ADataSet.AsDateTime("LASTMODIFIED");
  });
  FTenantDAO->GetDetail(AInfo.TID, AInfo.Details);
}

bool TTenantAPI::GetTenants(std::vector<TTenantInfo>& ATenantList) {
  ATenantList.clear();
  std::string sql;
  TDBParams params;
  BuildQuerySQL(nullptr, EntityParamsRecord(), StaticFields(), {}, TQueryWriterKind::Standard, sql, params);
  auto ds = FTenantDAO->GetAll(sql, params);
  for (ds->First(); !ds->Eof(); ds->Next()) {
    TTenantInfo info;
    ReadTenant(*ds, info);
    ATenantList.push_back(std::move(info));
  }
  return !ATenantList.empty();
}

bool TTenantAPI::GetTenant(const std::string& ATenantID, TTenantInfo& ATenantInfo) {
  auto ds = FTenantDAO->GetTenantByTenantId(ATenantID);
  if (ds->IsEmpty()) return false;
  ReadTenant(*ds, ATenantInfo);
  return true;
}

bool TTenantAPI::GetTenant(int ATID, TTenantInfo& ATenantInfo) {
  const std::string id = FTenantDAO->GetTenantIDByTID(ATID);
  if (id.empty()) return false;
  return GetTenant(id, ATenantInfo);
}

std::string TTenantAPI::GetTenantNameByTenantId(const std::string& ATenantID) {
  auto ds = FTenantDAO->GetFieldsByStringIdentifier("TENANTNAME", "TENANTS", "TENANTID", ATenantID);
  return ds->Eof() ? std::string() : ds->AsString("TENANTNAME");
}

int TTenantAPI::AddTenant(const std::string& AName, const std::string& ASecret) {
  const std::string tenant_id = NewGUIDText();
  const std::string salt = TAuthentication::GenerateSalt();
  int tid = 0;
  FTenantDAO->AddTenantSP(tenant_id, AName, HashTenantSecret(ASecret, salt), salt, true, tid);
  return tid;
}

void TTenantAPI::AddSampleTenant(const std::string& ATenantID, const std::string& AName, const std::string& ASecret,
                                 const TNameValuePairs& ADetails) {
  const std::string salt = TAuthentication::GenerateSalt();
  FConnObj->StartTransaction();
  try {
    int tid = 0;
    if (!FTenantDAO->AddTenantSP(ATenantID, AName, HashTenantSecret(ASecret, salt), salt, true, tid))
      throw ETenantDuplicateError(Format("Tenant \"%0:s\" already exists", {ATenantID}));
    if (!ADetails.empty()) {
      TValidate::ValidateDetails<ETenantDetailInvalidParameters>(StaticFields(), ADetails);
      FTenantDAO->AddTenantDetailSP(tid, ADetails);
    }
    FConnObj->Commit();
  } catch (...) {
    RollbackQuietly(FConnObj);
    throw;
  }
}

void TTenantAPI::EditTenant(int ATID, const std::string& AName, const std::string& ASecret, bool AIsActive) {
  const std::string salt = TAuthentication::GenerateSalt();
  FTenantDAO->EditTenantSP(ATID, AName, HashTenantSecret(ASecret, salt), salt, AIsActive);
}

void TTenantAPI::UpdateTenantDetails(int ATID, const TNameValuePairs& AChangeList) {
  if (AChangeList.empty()) return;
  TValidate::ValidateDetails<ETenantInvalidDataAPIError>(StaticFields(), AChangeList);
  FConnObj->StartTransaction();
  try {
    TNameValuePairs stored;
    if (FTenantDAO->GetDetail(ATID, stored)) {
      std::map<std::string, std::string> fields(stored.begin(), stored.end());
      for (const auto& [name, value] : AChangeList) {
        if (!value.empty()) {
          fields[name] = value;
        } else {
          fields.erase(name);
          FTenantDAO->DeleteTenantDetailSP(ATID, name);
        }
      }
      FTenantDAO->AddTenantDetailSP(ATID, TNameValuePairs(fields.begin(), fields.end()));
    } else {
      FTenantDAO->AddTenantDetailSP(ATID, AChangeList);
    }
    FConnObj->Commit();
  } catch (...) {
    RollbackQuietly(FConnObj);
    throw;
  }
}

bool TTenantAPI::DeleteTenant(int ATID) {
  if (ATID <= 0) return false;
  return FTenantDAO->DeleteTenantSP(ATID);
}

// ---------------------------------------------------------------------------------------------
// The pipeline's tenant helpers

namespace {

std::mutex& DefaultTenantLock() {
  static std::mutex lock;
  return lock;
}

// Written once under the lock, then only read; the atomic flag lets readers skip the lock.
std::string GDefaultTenantId;
std::atomic<bool> GDefaultTenantKept{false};

template <class F>
auto OnConnection(TConnectionObject* AConnection, F&& f) {
  std::unique_ptr<TConnectionObject> own;
  if (!AConnection) {
    own = TServerAPIHelpers::CreateConnection();
    AConnection = own.get();
  }
  TTenantAPI api(AConnection);
  return f(api);
}

}  // namespace

bool TServerAPIHelpers::ValidateTenant(TConnectionObject* AConnection, const std::string& ATenantId) {
  return OnConnection(AConnection, [&](TTenantAPI& api) { return api.ValidateTenantId(ATenantId); });
}

bool TServerAPIHelpers::ValidateTenant(TConnectionObject* AConnection, const std::string& ATenantId,
                                       const std::string& ATenantSecret) {
  return OnConnection(AConnection, [&](TTenantAPI& api) { return api.ValidateTenant(ATenantId, ATenantSecret); });
}

std::string TServerAPIHelpers::GetDefaultTenantId(TConnectionObject* AConnection) {
  if (GDefaultTenantKept.load(std::memory_order_acquire)) return GDefaultTenantId;
  std::lock_guard lock(DefaultTenantLock());
  if (GDefaultTenantKept.load(std::memory_order_relaxed)) return GDefaultTenantId;
  const std::string id = OnConnection(AConnection, [](TTenantAPI& api) { return api.GetDefaultTenantInfo().TenantId; });
  // No default tenant yet: ask again next time.
  if (!id.empty()) {
    GDefaultTenantId = id;
    GDefaultTenantKept.store(true, std::memory_order_release);
  }
  return id;
}

void TServerAPIHelpers::ResetDefaultTenantId() {
  std::lock_guard lock(DefaultTenantLock());
  GDefaultTenantKept.store(false, std::memory_order_release);
  GDefaultTenantId.clear();
}

bool TServerAPIHelpers::IsUserBelongsToTenant(const std::string& AUserId, const std::string& ATenantId) {
  // The session lookup that found this user a moment ago on this thread joined it with the tenant.
  if (TakeNotedSessionUser(AUserId, ATenantId)) return true;
  return OnConnection(nullptr, [&](TTenantAPI& api) {
    return api.IsEntityBelongToTenant(TTenantEntity::Users, AUserId, ATenantId);
  });
}

std::string TServerAPIHelpers::GetTenantNameByTenantId(const std::string& ATenantId) {
  return OnConnection(nullptr, [&](TTenantAPI& api) { return api.GetTenantNameByTenantId(ATenantId); });
}
