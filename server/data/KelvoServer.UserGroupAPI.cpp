#include "KelvoServer.UserGroupAPI.h"

#include <map>

#include "KelvoServer.UserDAO.h"
#include "KelvoServerAPI.Format.h"

namespace {

constexpr const char* kGroupNotFound = "Group \"%0:s\" not found";
constexpr const char* kInvalidParameters = "Invalid parameters \"%0:s\".";

// The schema's widths: longer input is the client's mistake, not a database failure.
constexpr size_t kGroupNameLength = 255;
constexpr size_t kFieldNameLength = 255;
constexpr size_t kFieldValueLength = 4000;

void CheckLengths(const std::string& AGroupName, const TNameValuePairs& AFields) {
  if (!FitsColumn(AGroupName, kGroupNameLength))
    throw EUserGroupInvalidParameters(Format(kInvalidParameters, {"Group name too long"}));
  for (const auto& [name, value] : AFields)
    if (!FitsColumn(name, kFieldNameLength) || !FitsColumn(value, kFieldValueLength))
      throw EUserGroupInvalidParameters(Format(kInvalidParameters, {"Custom field too long"}));
}

void Authorize(const TUserGroupAPI::TAuthorizeCallback& ACallback, const std::string& ACreator) {
  if (ACallback) ACallback(ACreator);
}

}  // namespace

TUserGroupAPI::TUserGroupAPI(TConnectionObject* AConnectionObject, const std::string& ATenantId)
    : TBaseWithTenantAPI(AConnectionObject, ATenantId),
      FUserGroupDAO(std::make_unique<TUserGroupDAO>(AConnectionObject)) {}

TUserGroupAPI::~TUserGroupAPI() = default;

const std::vector<std::string>& TUserGroupAPI::StaticFields() {
  static const std::vector<std::string> fields = {"GROUPID", "GROUPNAME", "CREATED", "LASTMODIFIED", "CREATOR", "TID"};
  return fields;
}

template <class F>
void TUserGroupAPI::InTransaction(F&& AWork) {
  FConnObj->StartTransaction();
  try {
    AWork();
    FConnObj->Commit();
  } catch (...) {
    try {
      if (FConnObj->InTransaction()) FConnObj->Rollback();
    } catch (const std::exception&) {
      // The work's own failure is the one the caller needs.
    }
    throw;
  }
}

int TUserGroupAPI::ResolveGroup(const std::string& AGroupName, std::string& ACreator) {
  return FUserGroupDAO->GetGroupIDByName(AGroupName, GetTID(), ACreator);
}

int TUserGroupAPI::RequireGroup(const std::string& AGroupName, std::string& ACreator) {
  const int id = ResolveGroup(AGroupName, ACreator);
  if (id <= 0) throw EUserGroupNotFoundError(Format(kGroupNotFound, {AGroupName}));
  return id;
}

void TUserGroupAPI::AddMember(const std::string& AUserID, int AGroupID) {
  // Members are looked up among the users of every tenant; the group lookup of the request
  // pipeline is scoped to the request's tenant, so a foreign member gains nothing there.
  int uid = 0;
  if (!TUserDAO(FConnObj).GetUIDFromUserID(AUserID, uid) || uid <= 0)
    throw EUserGroupUserNotFoundError(Format("User \"%0:s\" not found", {AUserID}));
  FUserGroupDAO->AddUserToGroup(AUserID, AGroupID, uid);
}

void TUserGroupAPI::AddGroup(const std::string& AGroupName, const std::string& ACreator) {
  CheckLengths(AGroupName, {});
  int id = 0;
  if (!FUserGroupDAO->AddGroupSP(AGroupName, ACreator, GetTID(), id))
    throw EUserGroupDuplicateError(Format("Group \"%0:s\" already exists", {AGroupName}));
}

void TUserGroupAPI::AddGroup(const std::string& AGroupName, const std::string& ACreator,
                             const TNameValuePairs& ADetails) {
  CheckLengths(AGroupName, ADetails);
  const int tid = GetTID();  // the tenant lookup may use the connection: before the transaction
  InTransaction([&] {
    int id = 0;
    if (!FUserGroupDAO->AddGroupSP(AGroupName, ACreator, tid, id))
      throw EUserGroupDuplicateError(Format("Group \"%0:s\" already exists", {AGroupName}));
    if (!ADetails.empty()) {
      TValidate::ValidateDetails<EUserGroupInvalidParameters>(StaticFields(), ADetails);
      FUserGroupDAO->AddGroupDetailSP(id, ADetails);
    }
  });
}

bool TUserGroupAPI::DeleteGroup(const std::string& AGroupName, const TAuthorizeCallback& AAuthorizeCallback) {
  std::string creator;
  const int id = ResolveGroup(AGroupName, creator);
  if (id <= 0) return false;
  Authorize(AAuthorizeCallback, creator);
  return FUserGroupDAO->DeleteGroupSP(id);
}

void TUserGroupAPI::UpdateGroup(const std::string& AGroupName, const TNameValuePairs& ChangeList,
                                const TAuthorizeCallback& AAuthorizeCallback) {
  std::string creator;
  const int id = RequireGroup(AGroupName, creator);
  Authorize(AAuthorizeCallback, creator);
  if (ChangeList.empty()) return;
  TValidate::ValidateDetails<EUserGroupInvalidParameters>(StaticFields(), ChangeList);
  CheckLengths(AGroupName, ChangeList);
  InTransaction([&] {
    TNameValuePairs current;
    TNameValuePairs fields;
    if (FUserGroupDAO->GetDetail(id, current)) {
      std::map<std::string, std::string> merged(current.begin(), current.end());
      for (const auto& [name, value] : ChangeList) {
        if (value.empty())
          merged.erase(name);
        else
          merged[name] = value;
      }
      fields.assign(merged.begin(), merged.end());
      FUserGroupDAO->DeleteGroupDetailSP(id);
    } else {
      // An empty value removes a field; a group without fields has nothing to remove, and
      // storing the empty text would make the field appear instead. Later values of a name
      // repeated in the list win, as they do above.
      std::map<std::string, std::string> added;
      for (const auto& [name, value] : ChangeList) {
        if (value.empty())
          added.erase(name);
        else
          added[name] = value;
      }
      fields.assign(added.begin(), added.end());
    }
    FUserGroupDAO->AddGroupDetailSP(id, fields);
  });
}

void TUserGroupAPI::UpdateGroupUsers(const std::string& AGroupName, const std::vector<std::string>& AUsers,
                                     const TAuthorizeCallback& AAuthorizeCallback) {
  std::string creator;
  const int id = RequireGroup(AGroupName, creator);
  Authorize(AAuthorizeCallback, creator);
  InTransaction([&] {
    std::map<std::string, bool> keep;
    std::vector<std::string> current;
    FUserGroupDAO->GetUsersByGroup(id, current);
    for (const auto& user : current) keep[user] = false;
    for (const auto& user : AUsers) keep[user] = true;
    for (const auto& [user, stays] : keep) {
      if (stays)
        AddMember(user, id);
      else
        FUserGroupDAO->DeleteGroupUser(user, id);
    }
  });
}

void TUserGroupAPI::AddUserToGroup(const std::string& AUserID, const std::string& AGroupName,
                                   const TAuthorizeCallback& AAuthorizeCallback) {
  std::string creator;
  const int id = RequireGroup(AGroupName, creator);
  Authorize(AAuthorizeCallback, creator);
  AddMember(AUserID, id);
}

bool TUserGroupAPI::DeleteGroupUser(const std::string& AUserID, const std::string& AGroupName,
                                    const TAuthorizeCallback& AAuthorizeCallback) {
  std::string creator;
  const int id = ResolveGroup(AGroupName, creator);
  if (id <= 0) return false;
  Authorize(AAuthorizeCallback, creator);
  FUserGroupDAO->DeleteGroupUser(AUserID, id);
  return true;
}

void TUserGroupAPI::ReadGroup(TDataSet& ADataSet, TGroupInfo& AGroupInfo, bool AWithDetails) {
  DAOGuard(kUserGroupDAOError, [&] {
    AGroupInfo.GroupID = ADataSet.AsInteger("GROUPID");
    AGroupInfo.GroupName = ADataSet.AsString("GROUPNAME");
    AGroupInfo.Created = ADataSet.IsNull("CREATED") ? TDBTimestamp{} : ADataSet.AsDateTime("CREATED");
    AGroupInfo.LastModified = ADataSet.IsNull("LASTMODIFIED") ? TDBTimestamp{} : ADataSet.AsDateTime("LASTMODIFIED");
    AGroupInfo.Creator = ADataSet.AsString("CREATOR");
    AGroupInfo.TID = ADataSet.AsInteger("TID");
  });
  if (AWithDetails) FUserGroupDAO->GetDetail(AGroupInfo.GroupID, AGroupInfo.Details);
}

bool TUserGroupAPI::GetGroupByName(const std::string& AGroupName, TGroupInfo& AGroupInfo) {
  std::string creator;
  const int id = ResolveGroup(AGroupName, creator);
  if (id <= 0) return false;
  auto ds = FUserGroupDAO->GetGroupByID(id);
  if (ds->Eof()) return false;
  ReadGroup(*ds, AGroupInfo);
  return true;
}

std::vector<std::string> TUserGroupAPI::GetGroupsByUser(const std::string& AUserID) {
  return FUserGroupDAO->GetGroupsByUser(AUserID, FTenantId);
}

bool TUserGroupAPI::GetUsersByGroup(const std::string& AGroupName, std::vector<std::string>& AUserGroupList) {
  std::string creator;
  const int id = RequireGroup(AGroupName, creator);
  return FUserGroupDAO->GetUsersByGroup(id, AUserGroupList);
}

bool TUserGroupAPI::GetUserInfoByGroup(const std::string& AGroupName, TUserGroupInfoOrder AOrder, int Askip,
                                       int Alimit, TNameValuePairs& ADetailList, int& Totalcount) {
  ADetailList.clear();
  Totalcount = 0;
  std::string creator;
  const int id = RequireGroup(AGroupName, creator);
  std::string order;
  switch (AOrder) {
    case TUserGroupInfoOrder::USERID: order = " order by USERID "; break;
    case TUserGroupInfoOrder::USERNAME: order = " order by USERNAME "; break;
    case TUserGroupInfoOrder::USERID_DESC: order = " order by USERID DESC "; break;
    case TUserGroupInfoOrder::USERNAME_DESC: order = " order by USERNAME DESC "; break;
  }
  if (Alimit == 0 && Askip >= 1)
    throw EUserGroupInvalidParameters(Format(kInvalidParameters, {"Cannot skip rows without a limit value"}));
  // A negative bound would reach the engine as "rows 0 to ..." or be dropped silently.
  if (Alimit < 0 || Askip < 0)
    throw EUserGroupInvalidParameters(Format(kInvalidParameters, {"Skip and limit cannot be negative"}));
  std::string rows;
  if (Alimit > 0 && Askip == 0)
    rows = " rows " + std::to_string(Alimit);
  else if (Alimit > 0)
    rows = " rows " + std::to_string(int64_t{Askip} + 1) + " to " + std::to_string(int64_t{Askip} + Alimit);
  const bool found = FUserGroupDAO->GetUserInfoByGroup(id, order, rows, ADetailList);
  Totalcount = FUserGroupDAO->GetUserInfoByGroupCount(id);
  return found;
}

bool TUserGroupAPI::IsUserInGroup(const std::string& AUserID, const std::string& AGroupName) {
  std::string creator;
  const int id = RequireGroup(AGroupName, creator);
  return FUserGroupDAO->IsUserInGroup(AUserID, id);
}

bool TUserGroupAPI::GetGroups(std::vector<TGroupInfo>& GroupList) { return GetGroups(nullptr, GroupList); }

bool TUserGroupAPI::GetGroups(const TQuery* QueryArgs, std::vector<TGroupInfo>& GroupList) {
  GroupList.clear();
  std::string sql;
  TDBParams params;
  BuildQuerySQL(QueryArgs, TUserGroupDAO::GroupEntityParams(), StaticFields(), {}, TQueryWriterKind::Standard, sql,
                params);
  auto ds = FUserGroupDAO->GetAll(sql, params);
  GroupList.reserve(ds->RecordCount());
  std::vector<int> ids;
  ids.reserve(ds->RecordCount());
  for (; !ds->Eof(); ds->Next()) {
    TGroupInfo info;
    ReadGroup(*ds, info, false);
    ids.push_back(info.GroupID);
    GroupList.push_back(std::move(info));
  }
  // One statement for the custom fields of the whole page instead of one per group.
  auto details = FUserGroupDAO->GetDetails(ids);
  for (auto& group : GroupList)
    if (auto it = details.find(group.GroupID); it != details.end()) group.Details = std::move(it->second);
  return !GroupList.empty();
}

std::vector<std::vector<std::string>> TUserGroupAPI::GetUsersByGroups(const std::vector<TGroupInfo>& AGroups) {
  std::vector<int> ids;
  ids.reserve(AGroups.size());
  for (const auto& group : AGroups) ids.push_back(group.GroupID);
  auto members = FUserGroupDAO->GetUsersByGroups(ids);
  std::vector<std::vector<std::string>> users(AGroups.size());
  for (size_t i = 0; i < AGroups.size(); ++i)
    if (auto it = members.find(AGroups[i].GroupID); it != members.end()) users[i] = it->second;
  return users;
}

bool TUserGroupAPI::GetDetailKeys(std::vector<std::string>& DetailKeys) {
  return FUserGroupDAO->GetDetailKeys(DetailKeys);
}

int TUserGroupAPI::GetTotalGroups() { return FUserGroupDAO->GetTotalMain(GetTID()); }

int TUserGroupAPI::GetTotalFiltered(const TQuery* AQuery) {
  std::string sql;
  TDBParams params;
  BuildQuerySQL(AQuery, TUserGroupDAO::GroupEntityParams(), StaticFields(), {}, TQueryWriterKind::Count, sql, params);
  return FUserGroupDAO->GetTotalFiltered(sql, params);
}

std::vector<std::string> TServerAPIHelpers::GetGroupsByUser(TConnectionObject* AConnection, const std::string& AUserID,
                                                            const std::string& ATenantId) {
  std::unique_ptr<TConnectionObject> own;
  if (!AConnection) {
    own = CreateConnection();
    AConnection = own.get();
  }
  TUserGroupAPI api(AConnection, ATenantId);
  return api.GetGroupsByUser(AUserID);
}
