// Users and sessions: adding users with their custom fields, signing in and out, the session
// lookup the request pipeline relies on, custom-field and password changes, deletion and lists.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kelvo.QueryTypes.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.UserDAO.h"

class EUserNotFoundError : public EBaseAPINotFoundError {
 public:
  using EBaseAPINotFoundError::EBaseAPINotFoundError;
};
class EUserDuplicateError : public EBaseAPIDuplicateError {
 public:
  using EBaseAPIDuplicateError::EBaseAPIDuplicateError;
};
class EUserAuthenticateError : public EBaseAPIAuthenticateError {
 public:
  using EBaseAPIAuthenticateError::EBaseAPIAuthenticateError;
};
class EUserInvalidParameters : public EBaseAPIInvalidParametersError {
 public:
  using EBaseAPIInvalidParametersError::EBaseAPIInvalidParametersError;
};

struct TUserInfo {
  std::string UserID;
  std::string UserName;
  bool Active = false;
  TDBTimestamp Created;
  TDBTimestamp LastModified;
  std::string Creator;
  int32_t TID = 0;
  TNameValuePairs Details;
};

/// Remembers, for the calling thread, the user that a session token of a tenant resolved to, so
/// that the pipeline's next question "does this user belong to this tenant?" is answered
/// without asking the database again: the session lookup already joined user and tenant.
void NoteSessionUser(const std::string& AUserID, const std::string& ATenantId);
/// True (once) when the thread's last session lookup resolved exactly this user in this tenant.
bool TakeNotedSessionUser(const std::string& AUserID, const std::string& ATenantId);

/// Tenant-scoped: every operation works in the tenant given at construction.
class TUserAPI : public TBaseWithTenantAPI {
 public:
  struct TCredentials {
    std::string FUserName;
    std::string FPassword;
  };
  struct TMeta {
    std::string FUserID;
    std::string FCreator;
  };
  /// Called with a user id before that user is changed or deleted; raises to refuse.
  using TAuthorizeCallback = std::function<void(const std::string& AUserID)>;

  /// Writers retry their whole transaction after a lock conflict this many times at most,
  /// then the conflict is reported: no request may spin forever on a busy row.
  static constexpr int KLockRetryAttempts = 8;

  TUserAPI(TConnectionObject* AConnectionObject, const std::string& ATenantId);
  ~TUserAPI() override;

  static std::string NewUserID(const TCredentials& ACredentials = {});
  /// @throws EUserDuplicateError, EUserInvalidParameters; a failed add leaves nothing behind.
  void AddUser(const TCredentials& ACredentials, const TMeta& AMeta, const TNameValuePairs& ADetails);
  bool DeleteUser(const std::string& AUserID, const TAuthorizeCallback& AAuthorizeCallback = {});
  bool GetCurrentUser(const std::string& ASessionID, std::string& AUserID);
  bool GetUserByID(const std::string& AUserID, TUserInfo& AUserInfo);
  bool GetUserByName(const std::string& AUserName, TUserInfo& AUserInfo);
  /// @throws EUserNotFoundError, EUserAuthenticateError.
  void Login(const TCredentials& ACredentials, std::string& AUserID, std::string& ASessionID);
  void Logout(const std::string& AUserID);
  void UpdateUser(const std::string& AUserID, const TNameValuePairs& ChangeList,
                  const TAuthorizeCallback& AAuthorizeCallback = {});
  void UpdateUserPassword(const std::string& AUserID, const std::string& ANewPassword);
  bool GetUsers(const TQuery* QueryArgs, std::vector<TUserInfo>& UserList);
  /// Custom-field names of all users of all tenants, ascending.
  bool GetUserDetailKeys(std::vector<std::string>& UserDetailKeys);

  static const std::vector<std::string>& StaticFields();

  /// Pause before the given retry (1-based): short, growing, randomised so that competing
  /// requests do not collide again in step.
  static void LockRetryPause(int AAttempt);

 private:
  void ReadUser(TDataSet& ADataSet, TUserInfo& AUserInfo, int AUID);
  void RollbackQuietly();
  /// Runs several reads in one read-only transaction (one start and commit instead of one per
  /// statement); inside a transaction of the caller they simply join it.
  template <class F>
  auto InReadTransaction(F&& AReads) -> decltype(AReads());

  std::unique_ptr<TUserDAO> FUserDAO;
};
