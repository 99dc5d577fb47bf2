// The SQL of groups: the GROUPS table, its custom fields (GROUPSDETAIL) and memberships
// (USERGROUP). Every operation of its own turns engine failures into EUserGroupDAODVError.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KelvoServer.BaseDAO.h"

/// Failures of the group DAO; lock conflicts and key violations keep their own classes.
inline constexpr TDAOErrorRaiser kUserGroupDAOError = &RaiseDAOError<EUserGroupDAODVError>;

class TUserGroupDAO : public TCommonDAO {
 public:
  static TEntityParams GroupEntityParams() { return {"GROUPS", "GROUPSDETAIL", "GROUPID", "GROUPID"}; }

  explicit TUserGroupDAO(TConnectionObject* AConnectionObject)
      : TCommonDAO(AConnectionObject, GroupEntityParams()) {}

  /// `ADDGROUP`; the engine stamps both times. False when the name is taken in that tenant.
  bool AddGroupSP(const std::string& AGroupName, const std::string& ACreator, int ATID, int& AGroupID);
  /// As above with the times given.
  bool AddGroupSP(const std::string& AGroupName, const std::string& ACreator, int ATID, const TDBTimestamp& ACreated,
                  const TDBTimestamp& ALastModified, int& AGroupID);
  /// `ADDGROUPDETAIL` once per pair; an existing name gets the new value.
  void AddGroupDetailSP(int AGroupID, const TNameValuePairs& ADetails, bool AUpdateTime = true);
  bool DeleteGroupSP(int AGroupID);
  /// Removes every custom field of the group.
  void DeleteGroupDetailSP(int AGroupID);

  /// The key of the tenant's group of that name (0 when none), with its stored creator.
  int GetGroupIDByName(const std::string& AGroupName, int ATID);
  int GetGroupIDByName(const std::string& AGroupName, int ATID, std::string& ACreator);
  /// Empty when there is no such group.
  std::string GetGroupNameByID(int AGroupID);
  std::unique_ptr<TDataSet> GetGroupByID(int AGroupID);

  /// `ADDUSERGROUP`: also accepted for an existing membership, which stays once.
  void AddUserToGroup(const std::string& AUserID, int AGroupID, int AUID);
  void DeleteGroupUser(const std::string& AUserID, int AGroupID);

  /// Names of the groups of the tenant with that id text that have the user as a member.
  std::vector<std::string> GetGroupsByUser(const std::string& AUserID, const std::string& ATenantId);
  /// Member user ids; false when there is none.
  bool GetUsersByGroup(int AGroupID, std::vector<std::string>& AUserGroupList);
  /// (user id, user name) of the members. `Aorderby` and `Askiplimit` are SQL fragments built
  /// by the API from an enumeration and integers, never from client text.
  bool GetUserInfoByGroup(int AGroupID, const std::string& Aorderby, const std::string& Askiplimit,
                          TNameValuePairs& ADetailList);
  int GetUserInfoByGroupCount(int AGroupID);
  /// Custom fields of several groups in one statement, each group's by TNAME as `GetDetail`
  /// orders them. Groups without fields are absent.
  std::map<int, TNameValuePairs> GetDetails(const std::vector<int>& AGroupIDs);
  /// Member user ids of several groups in one statement. Groups without members are absent.
  std::map<int, std::vector<std::string>> GetUsersByGroups(const std::vector<int>& AGroupIDs);
  bool IsUserInGroup(const std::string& AUserID, int AGroupID);
};
