#include "KelvoServer.UserGroupDAO.h"

#include <algorithm>

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
        "Inner Join Tenants ON Tenants.TID = GROUPS.TID Where USERID = :userid And Tenants.TenantId = :tenantid "
        // Index statistics of a growing database lag behind; left alone, the optimizer walks
        // every group of the tenant for each request. A user belongs to few groups.
        "PLAN JOIN (USERGROUP INDEX (IX_USERGROUP_USERID), GROUPS INDEX (PK_GROUPS), TENANTS INDEX (PK_TENANTS))",
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

// Pages are read in chunks of this many keys, each chunk one statement with a fixed list of
// parameters (a short chunk repeats its last key), so that the statement text never varies.
// The transaction-private list table would serve any size, but filling it costs more than
// the whole read of a page.
constexpr size_t kKeyChunk = 100;

std::string ChunkCondition(const std::string& AColumn) {
  std::string sql = AColumn + " in (";
  for (size_t i = 0; i < kKeyChunk; ++i) sql += (i ? ", :k" : ":k") + std::to_string(i);
  return sql + ")";
}

template <class F>
void ForEachChunk(const std::vector<int>& AGroupIDs, F&& ARead) {
  for (size_t first = 0; first < AGroupIDs.size(); first += kKeyChunk) {
    TDBParams params;
    params.reserve(kKeyChunk);
    for (size_t i = 0; i < kKeyChunk; ++i)
      params.emplace_back("k" + std::to_string(i), Int(AGroupIDs[std::min(first + i, AGroupIDs.size() - 1)]));
    ARead(params);
  }
}

}  // namespace

std::map<int, TNameValuePairs> TUserGroupDAO::GetDetails(const std::vector<int>& AGroupIDs) {
  static const std::string sql = "select GROUPID, TNAME, TVALUE from GROUPSDETAIL where " + ChunkCondition("GROUPID");
  std::map<int, TNameValuePairs> details;
  DAOGuard(kUserGroupDAOError, [&] {
    ForEachChunk(AGroupIDs, [&](const TDBParams& params) {
      auto ds = Conn().Query(sql, params);
      for (; !ds->Eof(); ds->Next())
        details[ds->AsInteger("GROUPID")].emplace_back(ds->AsString("TNAME"), ds->AsString("TVALUE"));
    });
  });
  // Sorted here, not by the engine: its sort records carry the full declared width of every
  // value. Byte order of UTF-8 is the code-point order of the column's binary collation.
  for (auto& [id, fields] : details)
    std::sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return details;
}

std::map<int, std::vector<std::string>> TUserGroupDAO::GetUsersByGroups(const std::vector<int>& AGroupIDs) {
  static const std::string sql = "select GROUPID, USERID from USERGROUP where " + ChunkCondition("GROUPID");
  std::map<int, std::vector<std::string>> users;
  DAOGuard(kUserGroupDAOError, [&] {
    ForEachChunk(AGroupIDs, [&](const TDBParams& params) {
      auto ds = Conn().Query(sql, params);
      for (; !ds->Eof(); ds->Next()) users[ds->AsInteger("GROUPID")].push_back(ds->AsString("USERID"));
    });
  });
  return users;
}
