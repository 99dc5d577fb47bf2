#include "KelvoServer.TenantDAO.h"

namespace {

constexpr TDAOErrorRaiser kTenantError = &RaiseDAOError<ETenantDAODVError>;

template <class F>
auto Guard(F&& f) -> decltype(f()) {
  return DAOGuard(kTenantError, std::forward<F>(f));
}

template <class F>
auto Rethrow(F&& f) -> decltype(f()) {
  return RethrowAs<ETenantDAODVError>(std::forward<F>(f));
}

}  // namespace

TTenantDAO::TTenantDAO(TConnectionObject* AConnObj)
    : TCommonDAO(AConnObj, TEntityParams{"TENANTS", "TENANTSDETAIL", "TID", "TID"}) {}

bool TTenantDAO::AddTenantSP(const std::string& ATenantID, const std::string& ATenantName, const std::string& ASecret,
                             const std::string& ASalt, bool AIsActive, int& ATID) {
  ATID = 0;
  const TDBScalar result = Guard([&] {
    return Conn().ExecProcFunction("ADDTENANT", {{"ATENANTID", TDBScalar(ATenantID)},
                                                 {"ATENANTNAME", TDBScalar(ATenantName)},
                                                 {"AHTENANTSECRET", TDBScalar(ASecret)},
                                                 {"ASALT", TDBScalar(ASalt)},
                                                 {"AISACTIVE", TDBScalar(static_cast<int32_t>(AIsActive ? 1 : 0))},
                                                 {"ACREATOR", TDBScalar(TDBNull{})},
                                                 {"ACREATED", TDBScalar(TDBNull{})},
                                                 {"ALASTMODIFIED", TDBScalar(TDBNull{})}});
  });
  if (!std::holds_alternative<TDBNull>(result)) ATID = static_cast<int>(DBScalarToInt64(result));
  return ATID > 0;
}

void TTenantDAO::EditTenantSP(int ATID, const std::string& ATenantName, const std::string& ASecret,
                              const std::string& ASalt, bool AIsActive) {
  Guard([&] {
    Conn().ExecProc("UPDATETENANT", {{"ATID", TDBScalar(static_cast<int32_t>(ATID))},
                                     {"ATENANTNAME", TDBScalar(ATenantName)},
                                     {"AHTENANTSECRET", TDBScalar(ASecret)},
                                     {"ASALT", TDBScalar(ASalt)},
                                     {"AISACTIVE", TDBScalar(static_cast<int32_t>(AIsActive ? 1 : 0))}});
  });
}

bool TTenantDAO::DeleteTenantSP(int ATID) {
  return Guard([&] {
    return DBScalarToBool(Conn().ExecProcFunction("DELETETENANT", {{"ATID", TDBScalar(static_cast<int32_t>(ATID))}}));
  });
}

void TTenantDAO::AddTenantDetailSP(int ATID, const TNameValuePairs& ADetails) {
  Rethrow([&] { AddDetailSP(ATID, "ADDTENANTDETAIL", "ATID", ADetails, true); });
}

void TTenantDAO::DeleteTenantDetailSP(int ATID, const std::string& AName) {
  Guard([&] {
    Conn().ExecProc("DELETETENANTSDETAIL", {{"ATID", TDBScalar(static_cast<int32_t>(ATID))}, {"ATNAME", TDBScalar(AName)}});
  });
}

std::unique_ptr<TDataSet> TTenantDAO::GetDefaultTenant() {
  return Guard([&] { return Conn().Query("select * From TENANTS Where IsActive = 1 ORDER BY TID ROWS 1"); });
}

namespace {
constexpr size_t kTenantIdLength = 100;
constexpr size_t kTenantNameLength = 255;
// The widest key column among the entity tables that ownership is tested on.
constexpr size_t kEntityKeyLength = 255;
}  // namespace

std::unique_ptr<TDataSet> TTenantDAO::GetTenantByTenantId(const std::string& ATenantId) {
  if (!FitsColumn(ATenantId, kTenantIdLength)) return EmptyDataSet();
  return Rethrow([&] { return GetFieldsByStringIdentifier("*", "TENANTS", "TENANTID", ATenantId); });
}

std::string TTenantDAO::GetTenantIDByName(const std::string& AName) {
  if (!FitsColumn(AName, kTenantNameLength)) return {};
  return Guard([&] {
    auto ds = Conn().Query("select TenantID From TENANTS Where TENANTNAME = :NAME", {{"NAME", TDBScalar(AName)}});
    return ds->Eof() ? std::string() : ds->AsString("TENANTID");
  });
}

std::string TTenantDAO::GetTenantIDByTID(int ATID) {
  return Guard([&] {
    auto ds = Conn().Query("select TenantID From TENANTS Where TID = :TID", {{"TID", TDBScalar(static_cast<int32_t>(ATID))}});
    return ds->Eof() ? std::string() : ds->AsString("TENANTID");
  });
}

int TTenantDAO::GetTIDByName(const std::string& ATenantName) {
  if (!FitsColumn(ATenantName, kTenantNameLength)) return 0;
  return Guard([&] {
    auto ds = Conn().Query("select TID From TENANTS Where TenantName = :tenantname", {{"tenantname", TDBScalar(ATenantName)}});
    return ds->Eof() ? 0 : static_cast<int>(ds->AsInteger("TID"));
  });
}

std::string TTenantDAO::GetTenantSecret(const std::string& ATenantId) {
  if (!FitsColumn(ATenantId, kTenantIdLength)) return {};
  auto ds = Rethrow([&] { return GetFieldsByStringIdentifier("HTENANTSECRET,ISACTIVE", "TENANTS", "TENANTID", ATenantId); });
  return Guard([&] {
    if (ds->RecordCount() != 1 || !ds->AsBoolean("ISACTIVE")) return std::string();
    return ds->AsString("HTENANTSECRET");
  });
}

std::string TTenantDAO::GetEntityTenantId(const std::string& AEntityTableName, const std::string& APKFieldName,
                                          const std::string& AEntityID, const std::string& ATenantId) {
  if (!FitsColumn(AEntityID, kEntityKeyLength) || !FitsColumn(ATenantId, kTenantIdLength)) return {};
  const std::string sql = "select TENANTS.TENANTID From TENANTS Join " + AEntityTableName + " ON " + AEntityTableName +
                          ".TID = TENANTS.TID " + "Where " + AEntityTableName + "." + APKFieldName +
                          " = :entityid AND TENANTS.TENANTID = :tenantid";
  return Guard([&] {
    auto ds = Conn().Query(sql, {{"entityid", TDBScalar(AEntityID)}, {"tenantid", TDBScalar(ATenantId)}});
    return ds->Eof() ? std::string() : ds->AsString("TENANTID");
  });
}
