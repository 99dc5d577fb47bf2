#include "KelvoServer.UserDAO.h"

namespace {

constexpr TDAOErrorRaiser kUserError = &RaiseDAOError<EUserDAODVError>;

template <class F>
auto Guard(F&& f) -> decltype(f()) {
  return DAOGuard(kUserError, std::forward<F>(f));
}

template <class F>
auto Rethrow(F&& f) -> decltype(f()) {
  return RethrowAs<EUserDAODVError>(std::forward<F>(f));
}

}  // namespace

namespace {
// Column widths: a longer text matches no row.
constexpr size_t kUserIdLength = 50;
constexpr size_t kUserNameLength = 255;
constexpr size_t kSessionIdLength = 64;
constexpr size_t kTenantIdLength = 100;
}  // namespace

TUserDAO::TUserDAO(TConnectionObject* AConnObj) : TCommonDAO(AConnObj, UserEntityParams()) {}

bool TUserDAO::AddUserSP(const std::string& AUserID, const std::string& AUserName, const std::string& APassword,
                         const std::string& ASalt, const std::string& ACreator, int ATID, int& AUID) {
  AUID = 0;
  const TDBScalar result = Guard([&] {
    return Conn().ExecProcFunction("ADDUSER", {{"AUSERID", TDBScalar(AUserID)},
                                               {"AUSERNAME", TDBScalar(AUserName)},
                                               {"AHPASSWORD", TDBScalar(APassword)},
                                               {"ASALT", TDBScalar(ASalt)},
                                               {"ACREATOR", TDBScalar(ACreator)},
                                               {"ATID", TDBScalar(static_cast<int32_t>(ATID))},
                                               {"ACREATED", TDBScalar(TDBNull{})},
                                               {"ALASTMODIFIED", TDBScalar(TDBNull{})}});
  });
  if (!std::holds_alternative<TDBNull>(result)) AUID = static_cast<int>(DBScalarToInt64(result));
  return AUID > 0;
}

bool TUserDAO::DeleteUserSP(int AUID) {
  return Guard([&] {
    return DBScalarToBool(Conn().ExecProcFunction("DELETEUSER", {{"AUID", TDBScalar(static_cast<int32_t>(AUID))}}));
  });
}

std::unique_ptr<TDataSet> TUserDAO::GetUserByID(const std::string& AUserID, const std::string& ATenantId) {
  if (!FitsColumn(AUserID, kUserIdLength) || !FitsColumn(ATenantId, kTenantIdLength)) return EmptyDataSet();
  return Guard([&] {
    return Conn().Query(
        "Select * From USERS  Inner Join Tenants ON Tenants.TID = USERS.TID Where USERID = :userid And "
        "Tenants.TenantId=:tenantid",
        {{"userid", TDBScalar(AUserID)}, {"tenantid", TDBScalar(ATenantId)}});
  });
}

bool TUserDAO::GetCurrentUser(const std::string& ASessionID, const std::string& ATenantID, std::string& AUserID) {
  AUserID.clear();
  // Every signed-out user holds the empty token: it is no session.
  if (ASessionID.empty()) return false;
  if (!FitsColumn(ASessionID, kSessionIdLength) || !FitsColumn(ATenantID, kTenantIdLength)) return false;
  return Guard([&] {
    auto ds = Conn().Query(
        "Select USERID From USERS  Inner Join Tenants ON Tenants.TID = USERS.TID Where SESSIONID = :sessionid And "
        "Tenants.TenantId=:tenantid",
        {{"sessionid", TDBScalar(ASessionID)}, {"tenantid", TDBScalar(ATenantID)}});
    if (ds->Eof()) return false;
    AUserID = ds->AsString("USERID");
    return true;
  });
}

bool TUserDAO::GetUIDFromUserID(const std::string& AUserID, int& AUID) {
  AUID = 0;
  if (!FitsColumn(AUserID, kUserIdLength)) return false;
  return Guard([&] {
    auto ds = Conn().Query("Select UID From USERS Where USERID = :userid", {{"userid", TDBScalar(AUserID)}});
    if (ds->Eof()) return false;
    AUID = ds->AsInteger("UID");
    return true;
  });
}

std::string TUserDAO::SessionLogin(const std::string& AUserid, const std::string& ASessionid) {
  return Guard([&] {
    TFBTransaction transaction(Conn());
    transaction.Start(TFBLockWait::NoWait);
    const TDBScalar result = Conn().ExecProcFunction(
        "LOGIN", {{"AUSERID", TDBScalar(AUserid)}, {"ASESSIONID", TDBScalar(ASessionid)}}, &transaction);
    transaction.Commit();
    return std::holds_alternative<TDBNull>(result) ? std::string() : DBScalarToString(result);
  });
}

void TUserDAO::SetSessionID(const std::string& AUserid, const std::string& ASessionid) {
  Guard([&] {
    TFBTransaction transaction(Conn());
    transaction.Start(TFBLockWait::Wait);
    Conn().Execute("Update USERS SET SESSIONID = :sessionid Where USERID = :userid",
                   {{"sessionid", TDBScalar(ASessionid)}, {"userid", TDBScalar(AUserid)}}, &transaction);
    transaction.Commit();
  });
}

void TUserDAO::UpdateUserPassword(int AUID, const std::string& APassword, const std::string& Asalt) {
  Guard([&] {
    Conn().ExecProc("UPDATEPASSWORD", {{"AUID", TDBScalar(static_cast<int32_t>(AUID))},
                                       {"AHPASSWORD", TDBScalar(APassword)},
                                       {"ASALT", TDBScalar(Asalt)}});
  });
}

std::unique_ptr<TDataSet> TUserDAO::UsersByName(const std::string& AUserName) {
  if (!FitsColumn(AUserName, kUserNameLength)) return EmptyDataSet();
  return Rethrow([&] { return GetAllByStringIdentifier("USERS", "USERNAME", AUserName); });
}

bool TUserDAO::Detail(int AUID, TNameValuePairs& ADetails) {
  return Rethrow([&] { return GetDetail(AUID, ADetails); });
}

bool TUserDAO::DetailKeys(std::vector<std::string>& AKeys) {
  return Rethrow([&] { return GetDetailKeys(AKeys); });
}

void TUserDAO::AddDetails(int AUID, const TNameValuePairs& ADetails) {
  Rethrow([&] { AddDetailSP(AUID, "ADDUSERDETAIL", "AUID", ADetails); });
}

void TUserDAO::DeleteDetail(int AUID, const std::string& AName) {
  Rethrow([&] { DeleteDetailSP(AUID, AName, "DELETEUSERDETAIL", "AUID", "ATNAME"); });
}

std::unique_ptr<TDataSet> TUserDAO::List(const std::string& ASQL, const TDBParams& AParams) {
  return Rethrow([&] { return GetAll(ASQL, AParams); });
}
