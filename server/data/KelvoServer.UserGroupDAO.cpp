#include "KelvoServer.UserGroupDAO.h"

namespace {

TDBScalar Int(int value) { return TDBScalar(static_cast<int32_t>(value)); }

// Column widths of the schema; a longer value matches no row.
constexpr size_t kGroupNameLength = 255;
constexpr size_t kUserIdLength = 50;
constexpr size_t kTenantIdLength = 100;

}  // namespace

bool TUserGroupDAO::AddGroupSP(const std::string& AGroupName, const std::string& ACreator, int ATID, int& AGroupID) {
  return DAOGuard(kUserGroupDAOError, [&] {
    AGroupID = static_cast<int>(DBScalarToInt64(Conn().ExecProcFunction(
        "ADDGROUP", {{"AGROUPNAME", TDBScalar(AGroupName)},
                     {"ACREATOR", TDBScalar(ACreator)},
                     {"ATID", Int(ATID)},
                     {"ACREATED", TDBScalar(TDBNull{})},
                     {"ALASTMODIFIED", TDBScalar(TDBNull{})}})));
    return AGroupID > 0;
  });
}

bool TUserGroupDAO::AddGroupSP(const std::string& AGroupName, const std::string& ACreator, int ATID,
                               const TDBTimestamp& ACreated, const TDBTimestamp& ALastModified, int& AGroupID) {
  return DAOGuard(kUserGroupDAOError, [&] {
    AGroupID = static_cast<int>(DBScalarToInt64(Conn().ExecProcFunction(
        "ADDGROUP", {{"AGROUPNAME", TDBScalar(AGroupName)},
                     {"ACREATOR", TDBScalar(ACreator)},
                     {"ATID", Int(ATID)},
                     {"ACREATED", TDBScalar(ACreated)},
                     {"ALASTMODIFIED", TDBScalar(ALastModified)}})));
    return AGroupID > 0;
  });
}

void TUserGroupDAO::AddGroupDetailSP(int AGroupID, const TNameValuePairs& ADetails, bool AUpdateTime) {
  DAOGuard(kUserGroupDAOError, [&] {
    for (const auto& [name, value] : ADetails)
      Conn().ExecProc("ADDGROUPDETAIL", {{"ATNAME", TDBScalar(name)},
                                         {"ATVALUE", TDBScalar(value)},
                                         {"AUPDATETIME", TDBScalar(AUpdateTime)},
                                         {"AGROUPID", Int(AGroupID)}});
  });
}

bool TUserGroupDAO::DeleteGroupSP(int AGroupID) {
  return DAOGuard(kUserGroupDAOError, [&] {
    return DBScalarToBool(Conn().ExecProcFunction("DELETEGROUP", {{"AGROUPID", Int(AGroupID)}}));
  });
}

void TUserGroupDAO::DeleteGroupDetailSP(int AGroupID) {
  DAOGuard(kUserGroupDAOError, [&] { Conn().ExecProc("DELETEGROUPDETAIL", {{"AGROUPID", Int(AGroupID)}}); });
}

int TUserGroupDAO::GetGroupIDByName(const std::string& AGroupName, int ATID) {
  std::string creator;
  return GetGroupIDByName(AGroupName, ATID, creator);
}

int TUserGroupDAO::GetGroupIDByName(const std::string& AGroupName, int ATID, std::string& ACreator) {
  ACreator.clear();
  if (!FitsColumn(AGroupName, kGroupNameLength)) return 0;
  return DAOGuard(kUserGroupDAOError, [&] {
    auto ds = Conn().Query("Select GROUPID, CREATOR From GROUPS Where GROUPNAME = :groupname And TID = :tid",
                           {{"groupname", TDBScalar(AGroupName)}, {"tid", Int(ATID)}});
    if (ds->Eof()) return 0;
    ACreator = ds->AsString("CREATOR");
    return static_cast<int>(ds->AsInteger("GROUPID"));
  });
}

std::string TUserGroupDAO::GetGroupNameByID(int AGroupID) {
  return DAOGuard(kUserGroupDAOError, [&] {
    auto ds = Conn().Query("Select GROUPNAME From GROUPS Where GROUPID = :groupid", {{"groupid", Int(AGroupID)}});
    return ds->Eof() ? std::string() : ds->AsString("GROUPNAME");
  });
}

std::unique_ptr<TDataSet> TUserGroupDAO::GetGroupByID(int AGroupID) {
  return DAOGuard(kUserGroupDAOError, [&] {
    return Conn().Query("Select * From GROUPS Where GROUPID = :groupid", {{"groupid", Int(AGroupID)}});
  });
}

void TUserGroupDAO::AddUserToGroup(const std::string& AUserID, int AGroupID, int AUID) {
  DAOGuard(kUserGroupDAOError, [&] {
    Conn().ExecProc("ADDUSERGROUP", {{"AUSERID", TDBScalar(AUserID)}, {"AGROUPID", Int(AGroupID)}, {"AUID", Int(AUID)}});
  });
}

void TUserGroupDAO::DeleteGroupUser(const std::string& AUserID, int AGroupID) {
  if (!FitsColumn(AUserID, kUserIdLength)) return;  // no such member
  DAOGuard(kUserGroupDAOError, [&] {
    Conn().ExecProc("DELETEUSERGROUP", {{"AUSERID", TDBScalar(AUserID)}, {"AGROUPID", Int(AGroupID)}});
  });
}

std::vector<std::string> TUserGroupDAO::GetGroupsByUser(const std::string& AUserID, const std::string& ATenantId) {
  if (!FitsColumn(AUserID, kUserIdLength) || !FitsColumn(ATenantId, kTenantIdLength)) return {};
  return DAOGuard(kUserGroupDAOError, [&] {
    auto ds = Conn().Query(
        "Select GROUPS.GROUPNAME From GROUPS Inner Join Usergroup ON GROUPS.GROUPID = USERGROUP.GROUPID "
        "Inner Join Tenants ON Tenants.TID = GROUPS.TID Where USERID = :userid And Tenants.TenantId = :tenantid",
        {{"userid", TDBScalar(AUserID)}, {"tenantid", TDBScalar(ATenantId)}});
    std::vector<std::string> names;
    names.reserve(ds->RecordCount());
    for (; !ds->Eof(); ds->Next()) names.push_back(ds->AsString("GROUPNAME"));
    return names;
  });
}

bool TUserGroupDAO::GetUsersByGroup(int AGroupID, std::vector<std::string>& AUserGroupList) {
  AUserGroupList.clear();
  return DAOGuard(kUserGroupDAOError, [&] {
    auto ds = Conn().Query("Select USERID From USERGROUP Where GROUPID = :groupid", {{"groupid", Int(AGroupID)}});
    AUserGroupList.reserve(ds->RecordCount());
    for (; !ds->Eof(); ds->Next()) AUserGroupList.push_back(ds->AsString("USERID"));
    return !AUserGroupList.empty();
  });
}

bool TUserGroupDAO::GetUserInfoByGroup(int AGroupID, const std::string& Aorderby, const std::string& Askiplimit,
                                       TNameValuePairs& ADetailList) {
  ADetailList.clear();
  return DAOGuard(kUserGroupDAOError, [&] {
    auto ds = Conn().Query(
        "select USERS.USERID, USERNAME from USERS join USERGROUP on USERS.UID = USERGROUP.UID Where GROUPID = :groupid " +
            Aorderby + Askiplimit,
        {{"groupid", Int(AGroupID)}});
    for (; !ds->Eof(); ds->Next()) ADetailList.emplace_back(ds->AsString("USERID"), ds->AsString("USERNAME"));
    return !ADetailList.empty();
  });
}

int TUserGroupDAO::GetUserInfoByGroupCount(int AGroupID) {
  return DAOGuard(kUserGroupDAOError, [&] {
    auto ds = Conn().Query(
        "Select Count(*) from USERS join USERGROUP on USERS.UID = USERGROUP.UID Where GROUPID = :groupid ",
        {{"groupid", Int(AGroupID)}});
    return ds->Eof() ? 0 : static_cast<int>(ds->AsInteger("COUNT"));
  });
}

bool TUserGroupDAO::IsUserInGroup(const std::string& AUserID, int AGroupID) {
  if (!FitsColumn(AUserID, kUserIdLength)) return false;
  return DAOGuard(kUserGroupDAOError, [&] {
    auto ds = Conn().Query("Select count(*) From USERGROUP Where USERID = :userid AND GROUPID = :groupid",
                           {{"userid", TDBScalar(AUserID)}, {"groupid", Int(AGroupID)}});
    return !ds->Eof() && ds->AsInteger("COUNT") > 0;
  });
}

namespace {

// The keys travel through the transaction-private TEMPSTRINGS list, so one statement serves a
// page of any size.
TDBParams GroupIDList(const std::vector<int>& AGroupIDs) {
  std::vector<TDBScalar> ids;
  ids.reserve(AGroupIDs.size());
  for (int id : AGroupIDs) ids.emplace_back(std::to_string(id));
  return {{"groupids", TDBParamValue::List(std::move(ids))}};
}

}  // namespace

std::map<int, TNameValuePairs> TUserGroupDAO::GetDetails(const std::vector<int>& AGroupIDs) {
  std::map<int, TNameValuePairs> details;
  if (AGroupIDs.empty()) return details;
  auto ds = GetAll(
      "select D.GROUPID, D.TNAME, D.TVALUE from \"TEMPSTRINGS\" T join GROUPSDETAIL D on D.GROUPID = "
      "CAST(T.\"VALUE\" AS INTEGER) where T.\"PARAM\" = 'groupids' order by D.GROUPID, D.TNAME asc",
      GroupIDList(AGroupIDs));
  DAOGuard(kUserGroupDAOError, [&] {
    for (; !ds->Eof(); ds->Next())
      details[ds->AsInteger("GROUPID")].emplace_back(ds->AsString("TNAME"), ds->AsString("TVALUE"));
  });
  return details;
}

std::map<int, std::vector<std::string>> TUserGroupDAO::GetUsersByGroups(const std::vector<int>& AGroupIDs) {
  std::map<int, std::vector<std::string>> users;
  if (AGroupIDs.empty()) return users;
  auto ds = GetAll(
      "select U.GROUPID, U.USERID from \"TEMPSTRINGS\" T join USERGROUP U on U.GROUPID = "
      "CAST(T.\"VALUE\" AS INTEGER) where T.\"PARAM\" = 'groupids'",
      GroupIDList(AGroupIDs));
  DAOGuard(kUserGroupDAOError, [&] {
    for (; !ds->Eof(); ds->Next()) users[ds->AsInteger("GROUPID")].push_back(ds->AsString("USERID"));
  });
  return users;
}
