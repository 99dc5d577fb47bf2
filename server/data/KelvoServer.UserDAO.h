// SQL of the user store: the user procedures, the session-token statements and the reads by
// id, session and name.
#pragma once

#include <memory>
#include <string>

#include "KelvoServer.BaseDAO.h"

/// Every operation translates engine failures with `EUserDAODVError` (or the lock-conflict and
/// key-violation classes, which callers retry on).
class TUserDAO : public TCommonDAO {
 public:
  explicit TUserDAO(TConnectionObject* AConnObj);

  static TEntityParams UserEntityParams() { return {"USERS", "USERSDETAIL", "UID", "UID"}; }

  /// `APassword` is the hash. True with the new key in `AUID`; false when the name is taken.
  bool AddUserSP(const std::string& AUserID, const std::string& AUserName, const std::string& APassword,
                 const std::string& ASalt, const std::string& ACreator, int ATID, int& AUID);
  bool DeleteUserSP(int AUID);
  std::unique_ptr<TDataSet> GetUserByID(const std::string& AUserID, const std::string& ATenantId);
  bool GetCurrentUser(const std::string& ASessionID, const std::string& ATenantID, std::string& AUserID);
  bool GetUIDFromUserID(const std::string& AUserID, int& AUID);
  /// Runs LOGIN in a "nowait" transaction of its own, so a concurrent sign-in of the same user
  /// fails at once (and is retried) instead of queueing on the row. Returns the stored token.
  std::string SessionLogin(const std::string& AUserid, const std::string& ASessionid);
  void SetSessionID(const std::string& AUserid, const std::string& ASessionid);
  void UpdateUserPassword(int AUID, const std::string& APassword, const std::string& Asalt);

  // The inherited operations with this DAO's error class.
  std::unique_ptr<TDataSet> UsersByName(const std::string& AUserName);
  bool Detail(int AUID, TNameValuePairs& ADetails);
  bool DetailKeys(std::vector<std::string>& AKeys);
  void AddDetails(int AUID, const TNameValuePairs& ADetails);
  void DeleteDetail(int AUID, const std::string& AName);
  std::unique_ptr<TDataSet> List(const std::string& ASQL, const TDBParams& AParams);
};
