// Groups of users inside one tenant: the business rules over TUserGroupDAO. An API object lives
// for one unit of work on a connection object that the caller owns.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.UserGroupDAO.h"

class EUserGroupDuplicateError : public EBaseAPIDuplicateError {
 public:
  using EBaseAPIDuplicateError::EBaseAPIDuplicateError;
};
class EUserGroupNotFoundError : public EBaseAPINotFoundError {
 public:
  using EBaseAPINotFoundError::EBaseAPINotFoundError;
};
class EUserGroupUserNotFoundError : public EBaseAPINotFoundError {
 public:
  using EBaseAPINotFoundError::EBaseAPINotFoundError;
};
class EUserGroupInvalidParameters : public EBaseAPIInvalidParametersError {
 public:
  using EBaseAPIInvalidParametersError::EBaseAPIInvalidParametersError;
};

struct TGroupInfo {
  int32_t GroupID = 0;
  std::string GroupName;
  TDBTimestamp Created;
  TDBTimestamp LastModified;
  std::string Creator;
  int32_t TID = 0;
  TNameValuePairs Details;
};

class TUserGroupAPI : public TBaseWithTenantAPI {
 public:
  /// Called with the group's stored creator once the group is found and before anything of it
  /// changes; raises to refuse.
  using TAuthorizeCallback = std::function<void(const std::string& ACreator)>;
  enum class TUserGroupInfoOrder { USERID, USERNAME, USERID_DESC, USERNAME_DESC };

  /// `AConnectionObject` is not owned.
  TUserGroupAPI(TConnectionObject* AConnectionObject, const std::string& ATenantId);
  ~TUserGroupAPI() override;

  /// The group's own columns, in upper case: custom fields may not use these names.
  static const std::vector<std::string>& StaticFields();

  /// Adds the group alone, in the caller's transaction if any.
  /// @throws EUserGroupDuplicateError when the tenant has a group of that name.
  void AddGroup(const std::string& AGroupName, const std::string& ACreator);
  /// Adds the group and its custom fields in one transaction; nothing stays when a field is
  /// refused. @throws EUserGroupDuplicateError, EUserGroupInvalidParameters.
  void AddGroup(const std::string& AGroupName, const std::string& ACreator, const TNameValuePairs& ADetails);
  /// False when the tenant has no such group (the callback is then not called).
  bool DeleteGroup(const std::string& AGroupName, const TAuthorizeCallback& AAuthorizeCallback);
  /// Sets (non-empty value) and removes (empty value) custom fields in one transaction.
  /// @throws EUserGroupNotFoundError, EUserGroupInvalidParameters.
  void UpdateGroup(const std::string& AGroupName, const TNameValuePairs& ChangeList,
                   const TAuthorizeCallback& AAuthorizeCallback);
  /// Makes the member list equal to `AUsers` in one transaction; on failure it stays as it was.
  /// @throws EUserGroupNotFoundError, EUserGroupUserNotFoundError (naming the unknown id).
  void UpdateGroupUsers(const std::string& AGroupName, const std::vector<std::string>& AUsers,
                        const TAuthorizeCallback& AAuthorizeCallback);
  /// Stores the membership at once (no transaction of its own).
  /// @throws EUserGroupNotFoundError, EUserGroupUserNotFoundError.
  void AddUserToGroup(const std::string& AUserID, const std::string& AGroupName,
                      const TAuthorizeCallback& AAuthorizeCallback);
  /// False when the tenant has no such group.
  bool DeleteGroupUser(const std::string& AUserID, const std::string& AGroupName,
                       const TAuthorizeCallback& AAuthorizeCallback);

  bool GetGroupByName(const std::string& AGroupName, TGroupInfo& AGroupInfo);
  /// Names of the tenant's groups that have the user as a member.
  std::vector<std::string> GetGroupsByUser(const std::string& AUserID);
  /// @throws EUserGroupNotFoundError.
  bool GetUsersByGroup(const std::string& AGroupName, std::vector<std::string>& AUserGroupList);
  /// One page of (user id, user name) members and the number of members.
  /// @throws EUserGroupNotFoundError; EUserGroupInvalidParameters for a skip without a limit
  /// or a negative skip or limit.
  bool GetUserInfoByGroup(const std::string& AGroupName, TUserGroupInfoOrder AOrder, int Askip, int Alimit,
                          TNameValuePairs& ADetailList, int& Totalcount);
  /// @throws EUserGroupNotFoundError.
  bool IsUserInGroup(const std::string& AUserID, const std::string& AGroupName);
  /// All groups of the tenant; false when none.
  bool GetGroups(std::vector<TGroupInfo>& GroupList);
  /// The groups matching `QueryArgs` (null: all of the tenant); false when none.
  bool GetGroups(const TQuery* QueryArgs, std::vector<TGroupInfo>& GroupList);
  /// The member user ids of each group of `AGroups` (read by `GetGroups`), in the same order,
  /// in one statement.
  std::vector<std::vector<std::string>> GetUsersByGroups(const std::vector<TGroupInfo>& AGroups);
  /// Custom-field names of the groups of every tenant, ascending.
  bool GetDetailKeys(std::vector<std::string>& DetailKeys);
  int GetTotalGroups();
  int GetTotalFiltered(const TQuery* AQuery);

 private:
  /// The group key in this tenant (0 or less: none) and its stored creator.
  int ResolveGroup(const std::string& AGroupName, std::string& ACreator);
  int RequireGroup(const std::string& AGroupName, std::string& ACreator);
  void AddMember(const std::string& AUserID, int AGroupID);
  /// The columns of the current row; the custom fields only with `AWithDetails`.
  void ReadGroup(TDataSet& ADataSet, TGroupInfo& AGroupInfo, bool AWithDetails = true);
  /// Runs `AWork` in a transaction of this connection, rolling back and re-raising on failure.
  template <class F>
  void InTransaction(F&& AWork);

  std::unique_ptr<TUserGroupDAO> FUserGroupDAO;
};
