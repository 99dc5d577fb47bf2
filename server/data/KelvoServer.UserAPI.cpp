#include "KelvoServer.UserAPI.h"

#include <chrono>
#include <map>
#include <thread>
#include <type_traits>

#include "KelvoServerAPI.Format.h"

namespace {

bool IsRetryable(const std::exception& e) {
  return dynamic_cast<const EBaseDAODVDeadlockError*>(&e) || dynamic_cast<const EBaseDAODVIntegrityViolationError*>(&e);
}

// Runs one attempt of a unit of work per call of `AAttempt`; retries after lock conflicts and
// key violations a bounded number of times and then lets the last failure through.
template <class F>
void WithLockRetries(F&& AAttempt) {
  for (int attempt = 1;; ++attempt) {
    try {
      AAttempt();
      return;
    } catch (const EBaseDAODVError& e) {
      if (!IsRetryable(e) || attempt >= TUserAPI::KLockRetryAttempts) throw;
    }
    TUserAPI::LockRetryPause(attempt);
  }
}

}  // namespace

template <class F>
auto TUserAPI::InReadTransaction(F&& AReads) -> decltype(AReads()) {
  TFBConnection& connection = FConnObj->Connection();
  if (connection.InTransaction()) return AReads();
  DAOGuard(&RaiseDAOError<EUserDAODVError>, [&] { connection.StartTransaction(TFBLockWait::Wait, true); });
  try {
    if constexpr (std::is_void_v<decltype(AReads())>) {
      AReads();
      FConnObj->Commit();
    } else {
      auto result = AReads();
      FConnObj->Commit();
      return result;
    }
  } catch (...) {
    RollbackQuietly();
    throw;
  }
}

TUserAPI::TUserAPI(TConnectionObject* AConnectionObject, const std::string& ATenantId)
    : TBaseWithTenantAPI(AConnectionObject, ATenantId), FUserDAO(std::make_unique<TUserDAO>(AConnectionObject)) {}

TUserAPI::~TUserAPI() = default;

const std::vector<std::string>& TUserAPI::StaticFields() {
  static const std::vector<std::string> fields = {"USERID",       "USERNAME", "ISACTIVE", "CREATED",
                                                  "LASTMODIFIED", "CREATOR",  "TID"};
  return fields;
}

void TUserAPI::LockRetryPause(int AAttempt) {
  unsigned char random = 0;
  CryptoRandomBytes(&random, 1);
  const int ceiling = std::min(100, 2 << std::min(AAttempt, 6));
  std::this_thread::sleep_for(std::chrono::milliseconds(1 + random % ceiling));
}

void TUserAPI::RollbackQuietly() {
  try {
    if (FConnObj->InTransaction()) FConnObj->Rollback();
  } catch (const std::exception&) {
    // The failure that led here is the one the caller needs.
  }
}

std::string TUserAPI::NewUserID(const TCredentials&) {
  for (;;) {
    std::string id = NewGUIDText();
    if (id.rfind("00000000-0000-0000-0000", 0) != 0) return id;
  }
}

void TUserAPI::AddUser(const TCredentials& ACredentials, const TMeta& AMeta, const TNameValuePairs& ADetails) {
  const std::string salt = TAuthentication::GenerateSalt();
  const std::string hash = TAuthentication::HashMd5(ACredentials.FPassword + salt);
  const int32_t tid = GetTID();
  FConnObj->StartTransaction();
  try {
    int uid = 0;
    bool added = false;
    try {
      added = FUserDAO->AddUserSP(AMeta.FUserID, ACredentials.FUserName, hash, salt, AMeta.FCreator, tid, uid);
    } catch (const EBaseDAODVIntegrityViolationError&) {
      // A concurrent add of the same name got there first; the unique key caught it.
      added = false;
    }
    if (!added) throw EUserDuplicateError(Format("User \"%0:s\" already exists", {ACredentials.FUserName}));
    if (!ADetails.empty()) {
      TValidate::ValidateDetails<EUserInvalidParameters>(StaticFields(), ADetails);
      FUserDAO->AddDetails(uid, ADetails);
    }
    FConnObj->Commit();
  } catch (...) {
    RollbackQuietly();
    throw;
  }
}

bool TUserAPI::DeleteUser(const std::string& AUserID, const TAuthorizeCallback& AAuthorizeCallback) {
  if (AAuthorizeCallback) AAuthorizeCallback(AUserID);
  int uid = 0;
  if (!FUserDAO->GetUIDFromUserID(AUserID, uid)) return false;
  return FUserDAO->DeleteUserSP(uid);
}

bool TUserAPI::GetCurrentUser(const std::string& ASessionID, std::string& AUserID) {
  return FUserDAO->GetCurrentUser(ASessionID, FTenantId, AUserID);
}

void TUserAPI::ReadUser(TDataSet& ADataSet, TUserInfo& AUserInfo, int AUID) {
  DAOGuard(&RaiseDAOError<EUserDAODVError>, [&] {
    AUserInfo.UserID = ADataSet.AsString("USERID");
    AUserInfo.UserName = ADataSet.AsString("USERNAME");
    AUserInfo.Active = ADataSet.AsBoolean("ISACTIVE");
    AUserInfo.Created = ADataSet.IsNull("CREATED") ? TDBTimestamp{} : ADataSet.AsDateTime("CREATED");
    AUserInfo.LastModified = ADataSet.IsNull("LASTMODIFIED") ? TDBTimestamp{} : ADataSet.AsDateTime("LASTMODIFIED");
    AUserInfo.Creator = ADataSet.AsString("CREATOR");
    AUserInfo.TID = ADataSet.AsInteger("TID");
  });
  FUserDAO->Detail(AUID, AUserInfo.Details);
}

bool TUserAPI::GetUserByID(const std::string& AUserID, TUserInfo& AUserInfo) {
  return InReadTransaction([&] {
    auto ds = FUserDAO->GetUserByID(AUserID, FTenantId);
    if (ds->Eof()) return false;
    ReadUser(*ds, AUserInfo, ds->AsInteger("UID"));
    return true;
  });
}

bool TUserAPI::GetUserByName(const std::string& AUserName, TUserInfo& AUserInfo) {
  const int32_t tid = GetTID();
  return InReadTransaction([&] {
    auto ds = FUserDAO->UsersByName(AUserName);
    for (; !ds->Eof(); ds->Next()) {
      if (ds->AsInteger("TID") != tid) continue;
      ReadUser(*ds, AUserInfo, ds->AsInteger("UID"));
      return true;
    }
    return false;
  });
}

void TUserAPI::Login(const TCredentials& ACredentials, std::string& AUserID, std::string& ASessionID) {
  WithLockRetries([&] {
    AUserID.clear();
    ASessionID.clear();
    FConnObj->StartTransaction();
    try {
      auto ds = FUserDAO->UsersByName(ACredentials.FUserName);
      const int32_t tid = GetTID();
      while (!ds->Eof() && ds->AsInteger("TID") != tid) ds->Next();
      if (ds->Eof()) throw EUserNotFoundError(Format("User \"%0:s\" not found", {ACredentials.FUserName}));
      AUserID = ds->AsString("USERID");
      const std::string hash = TAuthentication::HashMd5(ACredentials.FPassword + ds->AsString("SALT"));
      if (hash != ds->AsString("HPASSWORD"))
        throw EUserAuthenticateError(Format("Invalid credentials for \"%0:s\".", {ACredentials.FUserName}));
      ASessionID = TAuthentication::GenerateSessionID(AUserID);
      ASessionID = FUserDAO->SessionLogin(AUserID, ASessionID);
      FConnObj->Commit();
    } catch (...) {
      RollbackQuietly();
      throw;
    }
  });
}

void TUserAPI::Logout(const std::string& AUserID) {
  WithLockRetries([&] {
    FConnObj->StartTransaction();
    try {
      FUserDAO->SetSessionID(AUserID, "");
      FConnObj->Commit();
    } catch (...) {
      RollbackQuietly();
      throw;
    }
  });
}

void TUserAPI::UpdateUser(const std::string& AUserID, const TNameValuePairs& ChangeList,
                          const TAuthorizeCallback& AAuthorizeCallback) {
  if (ChangeList.empty()) return;
  TValidate::ValidateDetails<EUserInvalidParameters>(StaticFields(), ChangeList);
  if (AAuthorizeCallback) AAuthorizeCallback(AUserID);
  WithLockRetries([&] {
    FConnObj->StartTransaction();
    try {
      int uid = 0;
      if (!FUserDAO->GetUIDFromUserID(AUserID, uid))
        throw EUserNotFoundError(Format("User \"%0:s\" not found", {AUserID}));
      TNameValuePairs stored;
      if (FUserDAO->Detail(uid, stored)) {
        std::map<std::string, std::string> fields(stored.begin(), stored.end());
        for (const auto& [name, value] : ChangeList) {
          if (!value.empty()) {
            fields[name] = value;
          } else {
            fields.erase(name);
            FUserDAO->DeleteDetail(uid, name);
          }
        }
        FUserDAO->AddDetails(uid, TNameValuePairs(fields.begin(), fields.end()));
      } else {
        FUserDAO->AddDetails(uid, ChangeList);
      }
      FConnObj->Commit();
    } catch (...) {
      RollbackQuietly();
      throw;
    }
  });
}

void TUserAPI::UpdateUserPassword(const std::string& AUserID, const std::string& ANewPassword) {
  FConnObj->StartTransaction();
  try {
    auto ds = FUserDAO->GetUserByID(AUserID, FTenantId);
    if (ds->Eof()) throw EUserNotFoundError(Format("User \"%0:s\" not found", {AUserID}));
    const std::string salt = TAuthentication::GenerateSalt();
    FUserDAO->UpdateUserPassword(ds->AsInteger("UID"), TAuthentication::HashMd5(ANewPassword + salt), salt);
    FConnObj->Commit();
  } catch (...) {
    RollbackQuietly();
    throw;
  }
}

bool TUserAPI::GetUsers(const TQuery* QueryArgs, std::vector<TUserInfo>& UserList) {
  UserList.clear();
  std::string sql;
  TDBParams params;
  BuildQuerySQL(QueryArgs, TUserDAO::UserEntityParams(), StaticFields(), {}, TQueryWriterKind::Standard, sql, params);
  InReadTransaction([&] {
    auto ds = FUserDAO->List(sql, params);
    for (ds->First(); !ds->Eof(); ds->Next()) {
      TUserInfo info;
      ReadUser(*ds, info, ds->AsInteger("UID"));
      UserList.push_back(std::move(info));
    }
  });
  return !UserList.empty();
}

bool TUserAPI::GetUserDetailKeys(std::vector<std::string>& UserDetailKeys) {
  return FUserDAO->DetailKeys(UserDetailKeys);
}

// ---------------------------------------------------------------------------------------------
// The pipeline's user helpers

namespace {

template <class F>
auto WithUserAPI(TConnectionObject* AConnection, const std::string& ATenantId, F&& f) {
  std::unique_ptr<TConnectionObject> own;
  if (!AConnection) {
    own = TServerAPIHelpers::CreateConnection();
    AConnection = own.get();
  }
  TUserAPI api(AConnection, ATenantId);
  return f(api);
}

}  // namespace

namespace {

struct TNotedSessionUser {
  std::string FUserID;
  std::string FTenantId;
};
thread_local TNotedSessionUser GNotedSessionUser;

}  // namespace

void NoteSessionUser(const std::string& AUserID, const std::string& ATenantId) {
  GNotedSessionUser = {AUserID, ATenantId};
}

bool TakeNotedSessionUser(const std::string& AUserID, const std::string& ATenantId) {
  const bool same = !AUserID.empty() && GNotedSessionUser.FUserID == AUserID && GNotedSessionUser.FTenantId == ATenantId;
  GNotedSessionUser = {};
  return same;
}

bool TServerAPIHelpers::UserIDOfSession(TConnectionObject* AConnection, const std::string& ASessionToken,
                                        const std::string& ATenantId, std::string& AUserID) {
  NoteSessionUser({}, {});
  const bool found =
      WithUserAPI(AConnection, ATenantId, [&](TUserAPI& api) { return api.GetCurrentUser(ASessionToken, AUserID); });
  if (found) NoteSessionUser(AUserID, ATenantId);
  return found;
}

bool TServerAPIHelpers::UserNameOfID(TConnectionObject* AConnection, const std::string& AUserID,
                                     const std::string& ATenantId, std::string& AUserName) {
  return WithUserAPI(AConnection, ATenantId, [&](TUserAPI& api) {
    TUserInfo info;
    if (!api.GetUserByID(AUserID, info)) return false;
    AUserName = info.UserName;
    return true;
  });
}
