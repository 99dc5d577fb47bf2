// What callers rely on from the schema's procedures, and the shared DAO and API operations,
// against a fresh database file.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "FirebirdTestSupport.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.BaseDAO.h"

namespace {

class Schema : public TFirebirdSuite {
 protected:
  void SetUp() override { FConn = std::make_unique<TConnectionObject>(); }
  TFBConnection& C() { return FConn->Connection(); }
  int Func(const std::string& proc, const TDBParams& params) {
    return static_cast<int>(DBScalarToInt64(C().ExecProcFunction(proc, params)));
  }
  int Count(const std::string& sql, const TDBParams& params = {}) {
    return static_cast<int>(C().Query(sql, params)->AsLargeInt("N"));
  }
  int AddTenant(const std::string& id) {
    return Func("ADDTENANT", {{"ATENANTID", TDBScalar(id)}, {"ATENANTNAME", TDBScalar(id + " name")},
                              {"AISACTIVE", TDBScalar(true)}});
  }
  int AddUser(const std::string& user_id, const std::string& name, int tid) {
    return Func("ADDUSER", {{"AUSERID", TDBScalar(user_id)}, {"AUSERNAME", TDBScalar(name)},
                            {"AHPASSWORD", TDBScalar(std::string("h"))}, {"ASALT", TDBScalar(std::string("s"))},
                            {"ACREATOR", TDBScalar(user_id)}, {"ATID", TDBScalar(int32_t(tid))}});
  }
  std::unique_ptr<TConnectionObject> FConn;
};

TDBScalar S(const std::string& s) { return TDBScalar(s); }
TDBScalar I(int v) { return TDBScalar(static_cast<int32_t>(v)); }

}  // namespace

TEST_F(Schema, AddDetailProceduresReplaceAnExistingNameAndKeepCase) {
  struct Case {
    const char* FProc;
    const char* FIDName;
    TEntityParams FEntity;
  };
  const Case cases[] = {
      {"ADDUSERDETAIL", "AUID", {"USERS", "USERSDETAIL", "UID", "UID"}},
      {"ADDGROUPDETAIL", "AGROUPID", {"GROUPS", "GROUPSDETAIL", "GROUPID", "GROUPID"}},
      {"ADDTENANTDETAIL", "ATID", {"TENANTS", "TENANTSDETAIL", "TID", "TID"}},
      {"ADDINSTALLATIONDETAIL", "AIID", {"INSTALLATION", "INSTALLATIONDETAIL", "IID", "IID"}},
      {"ADDORUPDATEMODULEDETAIL", "AID", {"MODULES", "MODULESDETAIL", "MID", "MID"}},
      {"ADDORUPDATERESOURCEDETAIL", "AID", {"RESOURCES", "RESOURCESDETAIL", "RID", "RID"}},
  };
  for (const auto& c : cases) {
    TCommonDAO dao(FConn.get(), c.FEntity);
    dao.AddDetailSP(7, c.FProc, c.FIDName, {{"color", "red"}, {"size", "L"}});
    dao.AddDetailSP(7, c.FProc, c.FIDName, {{"color", "blue"}, {"Color", "upper"}}, false);
    TNameValuePairs details;
    ASSERT_TRUE(dao.GetDetail(7, details)) << c.FProc;
    EXPECT_EQ(details, (TNameValuePairs{{"Color", "upper"}, {"color", "blue"}, {"size", "L"}})) << c.FProc;
    EXPECT_FALSE(dao.GetDetail(8, details)) << c.FProc;
    EXPECT_TRUE(details.empty());
  }
  // The registration variants of modules and resources take other parameter names.
  C().ExecProc("REGISTERMODULEDETAILS", {{"ANAME", S("k")}, {"AVALUE", S("1")}, {"AID", I(9)}});
  C().ExecProc("REGISTERMODULEDETAILS", {{"ANAME", S("k")}, {"AVALUE", S("2")}, {"AID", I(9)}});
  C().ExecProc("REGISTERRESOURCEDETAILS", {{"ANAME", S("k")}, {"AVALUE", S("3")}, {"AID", I(9)}});
  C().ExecProc("REGISTERRESOURCEDETAILS", {{"ANAME", S("k")}, {"AVALUE", S("4")}, {"AID", I(9)}});
  EXPECT_EQ(C().Query("select TVALUE from MODULESDETAIL where MID = 9")->AsString("TVALUE"), "2");
  EXPECT_EQ(C().Query("select TVALUE from RESOURCESDETAIL where RID = 9")->AsString("TVALUE"), "4");
}

TEST_F(Schema, AddProceduresReturnZeroForATakenName) {
  const int t1 = AddTenant("T-ADD-1");
  const int t2 = AddTenant("T-ADD-2");
  ASSERT_GT(t1, 0);
  ASSERT_GT(t2, 0);
  EXPECT_LE(AddTenant("T-ADD-1"), 0) << "tenant ids are unique";

  EXPECT_GT(AddUser("U-1", "anna", t1), 0);
  EXPECT_LE(AddUser("U-2", "anna", t1), 0) << "user names are unique per tenant";
  EXPECT_GT(AddUser("U-3", "anna", t2), 0) << "... but not across tenants";
  EXPECT_GT(AddUser("U-4", "Anna", t1), 0) << "names compare exactly, as sign-in looks them up";

  auto add_group = [&](const std::string& name, int tid) {
    return Func("ADDGROUP", {{"AGROUPNAME", S(name)}, {"ACREATOR", S("c")}, {"ATID", I(tid)}});
  };
  EXPECT_GT(add_group("staff", t1), 0);
  EXPECT_LE(add_group("staff", t1), 0) << "group names are unique per tenant";
  EXPECT_GT(add_group("staff", t2), 0);

  auto add_install = [&](const std::string& id) {
    return Func("ADDINSTALLATION", {{"AINSTALLID", S(id)}, {"ADEVICETYPE", S("ios")}, {"ADEVICETOKEN", S("tok")},
                                    {"ACREATOR", S("c")}, {"ATID", I(t1)}});
  };
  EXPECT_GT(add_install("I-1"), 0);
  EXPECT_LE(add_install("I-1"), 0);

  const int mid = Func("REGISTERMODULE", {{"AMODULEID", S("M-1")}, {"AMODULENAME", S("edge")},
                                          {"APROTOCOL", S("http")}, {"ATID", I(t1)}, {"ACREATOR", S("c")}});
  ASSERT_GT(mid, 0);
  auto add_resource = [&](const std::string& name) {
    return Func("REGISTERRESOURCE", {{"ANAME", S(name)}, {"AID", I(mid)}, {"ATID", I(t1)}, {"ACREATOR", S("c")}});
  };
  EXPECT_GT(add_resource("res"), 0);
  EXPECT_LE(add_resource("res"), 0) << "resource names are unique within their module";
}

TEST_F(Schema, NullTimesAreStampedAndGivenTimesKept) {
  const TDBTimestamp before = DBTimestampNowUTC();
  const int tid = AddTenant("T-TIMES");
  const TDBTimestamp given{1500000000000000};
  const int gid = Func("ADDGROUP", {{"AGROUPNAME", S("timed")}, {"ATID", I(tid)}, {"ACREATED", TDBScalar(given)},
                                    {"ALASTMODIFIED", TDBScalar(given)}});
  const int uid = AddUser("U-TIMES", "timed", tid);
  auto user = C().Query("select CREATED, LASTMODIFIED from USERS where UID = :uid", {{"uid", I(uid)}});
  ASSERT_FALSE(user->IsNull("CREATED"));
  ASSERT_FALSE(user->IsNull("LASTMODIFIED"));
  // The engine stamps with the local clock; allow for any time zone.
  EXPECT_LT(std::llabs(user->AsDateTime("CREATED").FMicroseconds - before.FMicroseconds), 15LL * 3600 * 1000000);
  auto group = C().Query("select CREATED, LASTMODIFIED from GROUPS where GROUPID = :g", {{"g", I(gid)}});
  EXPECT_EQ(group->AsDateTime("CREATED"), given);
  EXPECT_EQ(group->AsDateTime("LASTMODIFIED"), given);
  // A detail written with AUPDATETIME true moves LASTMODIFIED; with false it does not.
  TCommonDAO groups(FConn.get(), {"GROUPS", "GROUPSDETAIL", "GROUPID", "GROUPID"});
  groups.AddDetailSP(gid, "ADDGROUPDETAIL", "AGROUPID", {{"a", "1"}}, false);
  EXPECT_EQ(C().Query("select LASTMODIFIED from GROUPS where GROUPID = :g", {{"g", I(gid)}})->AsDateTime("LASTMODIFIED"), given);
  groups.AddDetailSP(gid, "ADDGROUPDETAIL", "AGROUPID", {{"a", "2"}});
  EXPECT_GT(C().Query("select LASTMODIFIED from GROUPS where GROUPID = :g", {{"g", I(gid)}})->AsDateTime("LASTMODIFIED"), given);
}

TEST_F(Schema, MembershipIsKeptOnceAndDeletesTakeTheirDependants) {
  const int tid = AddTenant("T-DEL");
  const int uid = AddUser("U-DEL", "del", tid);
  const int gid = Func("ADDGROUP", {{"AGROUPNAME", S("g-del")}, {"ATID", I(tid)}});
  for (int i = 0; i < 2; ++i)
    C().ExecProc("ADDUSERGROUP", {{"AUSERID", S("U-DEL")}, {"AGROUPID", I(gid)}, {"AUID", I(uid)}});
  EXPECT_EQ(Count("select count(*) as N from USERGROUP where GROUPID = :g", {{"g", I(gid)}}), 1);

  TCommonDAO users(FConn.get(), {"USERS", "USERSDETAIL", "UID", "UID"});
  users.AddDetailSP(uid, "ADDUSERDETAIL", "AUID", {{"city", "Rome"}});
  users.DeleteDetailSP(uid, "city", "DELETEUSERDETAIL", "AUID", "ATNAME");
  TNameValuePairs details;
  EXPECT_FALSE(users.GetDetail(uid, details));
  users.AddDetailSP(uid, "ADDUSERDETAIL", "AUID", {{"city", "Rome"}});
  EXPECT_TRUE(users.DeleteMainDetailSP(uid, "DELETEUSER", "AUID"));
  EXPECT_FALSE(users.DeleteMainDetailSP(uid, "DELETEUSER", "AUID")) << "nothing left to delete";
  EXPECT_EQ(Count("select count(*) as N from USERSDETAIL where UID = :u", {{"u", I(uid)}}), 0);
  EXPECT_EQ(Count("select count(*) as N from USERGROUP where UID = :u", {{"u", I(uid)}}), 0);

  // Installation: details and channel links go with it.
  const int iid = Func("ADDINSTALLATION", {{"AINSTALLID", S("I-DEL")}, {"ATID", I(tid)}});
  C().ExecProc("ADDCHANNELBYINSTALL", {{"ACHANNELNAME", S("news")}, {"AIID", I(iid)}, {"ATID", I(tid)}});
  C().ExecProc("ADDCHANNELBYINSTALL", {{"ACHANNELNAME", S("news")}, {"AIID", I(iid)}, {"ATID", I(tid)}});
  EXPECT_EQ(Count("select count(*) as N from CHANNELINSTALLATION where IID = :i", {{"i", I(iid)}}), 1);
  EXPECT_EQ(Func("ADDCHANNEL", {{"ACHANNELNAME", S("news")}, {"ATID", I(tid)}}),
            C().Query("select CHANNELID from CHANNEL where CHANNELNAME = 'news'")->AsInteger("CHANNELID"));
  TCommonDAO installs(FConn.get(), {"INSTALLATION", "INSTALLATIONDETAIL", "IID", "IID"});
  installs.AddDetailSP(iid, "ADDINSTALLATIONDETAIL", "AIID", {{"k", "v"}});
  EXPECT_TRUE(installs.DeleteMainDetailSP(iid, "DELETEINSTALLATION", "AIID"));
  EXPECT_EQ(Count("select count(*) as N from INSTALLATIONDETAIL where IID = :i", {{"i", I(iid)}}), 0);
  EXPECT_EQ(Count("select count(*) as N from CHANNELINSTALLATION where IID = :i", {{"i", I(iid)}}), 0);

  // Group: details and memberships.
  const int uid2 = AddUser("U-DEL2", "del2", tid);
  C().ExecProc("ADDUSERGROUP", {{"AUSERID", S("U-DEL2")}, {"AGROUPID", I(gid)}, {"AUID", I(uid2)}});
  TCommonDAO groups(FConn.get(), {"GROUPS", "GROUPSDETAIL", "GROUPID", "GROUPID"});
  groups.AddDetailSP(gid, "ADDGROUPDETAIL", "AGROUPID", {{"k", "v"}, {"k2", "v"}});
  groups.DeleteDetailSP(gid, "DELETEGROUPDETAIL", "AGROUPID");
  TNameValuePairs group_details;
  EXPECT_FALSE(groups.GetDetail(gid, group_details)) << "DELETEGROUPDETAIL removes every field";
  EXPECT_TRUE(groups.DeleteMainDetailSP(gid, "DELETEGROUP", "AGROUPID"));
  EXPECT_EQ(Count("select count(*) as N from USERGROUP where GROUPID = :g", {{"g", I(gid)}}), 0);

  // Tenant: everything that carries its key.
  EXPECT_GT(Func("REGISTERMODULE", {{"AMODULEID", S("M-DEL")}, {"AMODULENAME", S("m")}, {"ATID", I(tid)}}), 0);
  TCommonDAO tenants(FConn.get(), {"TENANTS", "TENANTSDETAIL", "TID", "TID"});
  tenants.AddDetailSP(tid, "ADDTENANTDETAIL", "ATID", {{"plan", "gold"}});
  EXPECT_TRUE(tenants.DeleteMainDetailSP(tid, "DELETETENANT", "ATID"));
  for (const char* table : {"USERS", "GROUPS", "INSTALLATION", "CHANNEL", "MODULES", "TENANTSDETAIL"})
    EXPECT_EQ(Count(std::string("select count(*) as N from ") + table + " where TID = :t", {{"t", I(tid)}}), 0) << table;
}

TEST_F(Schema, LoginStoresTheTokenAndASecondSignInReplacesIt) {
  const int tid = AddTenant("T-LOGIN");
  AddUser("U-LOGIN", "login", tid);
  auto resolve = [&](const std::string& token) {
    auto ds = C().Query(
        "Select USERID From USERS  Inner Join Tenants ON Tenants.TID = USERS.TID Where SESSIONID = :sessionid And "
        "Tenants.TenantId=:tenantid",
        {{"sessionid", S(token)}, {"tenantid", S("T-LOGIN")}});
    return ds->Eof() ? std::string() : ds->AsString("USERID");
  };
  const std::string first = TAuthentication::GenerateSessionID("U-LOGIN");
  EXPECT_EQ(DBScalarToString(C().ExecProcFunction("LOGIN", {{"AUSERID", S("U-LOGIN")}, {"ASESSIONID", S(first)}})),
            first);
  EXPECT_EQ(resolve(first), "U-LOGIN");
  const std::string second = TAuthentication::GenerateSessionID("U-LOGIN");
  EXPECT_EQ(DBScalarToString(C().ExecProcFunction("LOGIN", {{"AUSERID", S("U-LOGIN")}, {"ASESSIONID", S(second)}})),
            second);
  EXPECT_EQ(resolve(second), "U-LOGIN");
  EXPECT_EQ(resolve(first), "") << "a replaced token no longer resolves";
  EXPECT_TRUE(DBScalarToString(C().ExecProcFunction("LOGIN", {{"AUSERID", S("nobody")}, {"ASESSIONID", S("x")}})).empty());
}

TEST_F(Schema, ModuleProtocolUpdateKeepsWhatIsNull) {
  const int tid = AddTenant("T-MOD");
  const int mid = Func("REGISTERMODULE", {{"AMODULEID", S("M-UPD")}, {"AMODULENAME", S("m")}, {"APROTOCOL", S("http")},
                                          {"APROTOCOLPROPS", S("{\"port\":1}")}, {"ATID", I(tid)}});
  C().ExecProc("UPDATEMODULEPROTOCOLINFO", {{"AID", I(mid)}, {"APROTOCOL", S("tcp")}});
  auto ds = C().Query("select * from MODULES where MID = :m", {{"m", I(mid)}});
  EXPECT_EQ(ds->AsString("MODULENAME"), "m");
  EXPECT_EQ(ds->AsString("PROTOCOL"), "tcp");
  EXPECT_EQ(ds->AsString("PROTOCOLPROPS"), "{\"port\":1}");
  const int rid = Func("REGISTERRESOURCE", {{"ANAME", S("r")}, {"AID", I(mid)}, {"ATID", I(tid)}});
  EXPECT_TRUE(DBScalarToBool(C().ExecProcFunction("UNREGISTERMODULE", {{"AID", I(mid)}})));
  EXPECT_EQ(Count("select count(*) as N from RESOURCES where RID = :r", {{"r", I(rid)}}), 0);
}

// ---------------------------------------------------------------------------------------------
// Shared DAO operations

TEST_F(Schema, ListParametersTravelThroughATransactionPrivateTable) {
  const int tid = AddTenant("T-LIST");
  for (const char* u : {"L-1", "L-2", "L-3"}) AddUser(u, u, tid);
  TCommonDAO dao(FConn.get(), {"USERS", "USERSDETAIL", "UID", "UID"});
  const std::string sql =
      "select USERID from USERS where USERID in (SELECT \"VALUE\" FROM \"TEMPSTRINGS\" WHERE \"PARAM\" = 'ids') "
      "and TID = :tid order by USERID";
  auto ds = dao.GetAll(sql, {{"ids", TDBParamValue::List({S("L-1"), S("L-3"), S("x' or '1'='1")})},
                             {"tid", I(tid)}});
  ASSERT_EQ(ds->RecordCount(), 2u);
  EXPECT_EQ(ds->AsString("USERID"), "L-1");
  EXPECT_EQ(dao.GetAll(sql, {{"ids", TDBParamValue::List({})}, {"tid", I(tid)}})->RecordCount(), 0u)
      << "an empty list matches nothing";
  EXPECT_FALSE(FConn->InTransaction()) << "the call ended the transaction it started";
  EXPECT_EQ(Count("select count(*) as N from TEMPSTRINGS"), 0);

  // Two connections fill the same parameter name at once and each sees only its own rows.
  auto other = Db().Connect();
  TCommonDAO other_dao(other.get(), {"USERS", "USERSDETAIL", "UID", "UID"});
  FConn->StartTransaction();
  other->StartTransaction();
  auto mine = dao.GetAll(sql, {{"ids", TDBParamValue::List({S("L-1")})}, {"tid", I(tid)}});
  auto theirs = other_dao.GetAll(sql, {{"ids", TDBParamValue::List({S("L-2"), S("L-3")})}, {"tid", I(tid)}});
  EXPECT_EQ(mine->RecordCount(), 1u);
  EXPECT_EQ(theirs->RecordCount(), 2u);
  EXPECT_TRUE(FConn->InTransaction()) << "a transaction of the caller stays open";
  other->Commit();
  FConn->Commit();
}

TEST_F(Schema, CountsSumUnionBranchesAndNarrowToATenant) {
  const int tid = AddTenant("T-COUNT");
  for (const char* u : {"C-1", "C-2"}) AddUser(u, u, tid);
  TCommonDAO dao(FConn.get(), {"USERS", "USERSDETAIL", "UID", "UID"});
  EXPECT_EQ(dao.GetTotalFiltered("select count(*) as MCOUNT from USERS where TID = :t union all "
                                 "select count(*) as MCOUNT from USERS where TID = :t",
                                 {{"t", I(tid)}}),
            4);
  EXPECT_EQ(dao.GetTotalFiltered("select count(*) from USERS where TID = :t", {{"t", I(tid)}}), 2);
  EXPECT_EQ(dao.GetTotalMain(tid), 2);
  EXPECT_GE(dao.GetTotalMain(-1), 2);
  std::vector<std::string> keys;
  dao.AddDetailSP(1, "ADDUSERDETAIL", "AUID", {{"b", "1"}, {"a", "1"}});
  dao.AddDetailSP(2, "ADDUSERDETAIL", "AUID", {{"a", "2"}});
  EXPECT_TRUE(dao.GetDetailKeys(keys));
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "a"), 1);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
}

TEST_F(Schema, IdentifierLookupsBindTheValueAndRefuseBadNames) {
  const int tid = AddTenant("T-IDENT");
  AddUser("ID-1", "o'brien", tid);
  TCommonDAO dao(FConn.get(), {"USERS", "USERSDETAIL", "UID", "UID"});
  EXPECT_EQ(dao.GetAllByStringIdentifier("USERS", "USERNAME", "o'brien")->AsString("USERID"), "ID-1");
  EXPECT_EQ(dao.GetAllByStringIdentifier("USERS", "USERNAME", "x' or '1'='1")->RecordCount(), 0u);
  EXPECT_EQ(dao.GetFieldsByStringIdentifier("USERID, TID", "USERS", "USERNAME", "o'brien")->FieldCount(), 2);
  EXPECT_THROW(dao.GetFieldsByStringIdentifier("USERID", "USERS; drop table USERS", "", ""), EBaseDAODVError);
  EXPECT_THROW(dao.GetFieldsByStringIdentifier("USERID from USERS--", "USERS", "", ""), EBaseDAODVError);
  EXPECT_THROW(dao.GetAllByStringIdentifier("USERS", "1=1 or USERNAME", "x"), EBaseDAODVError);
}

// ---------------------------------------------------------------------------------------------
// Version and tenant keys

TEST_F(Schema, VersionCheckReportsMissingAndOtherVersions) {
  std::string message;
  EXPECT_TRUE(TServerAPIHelpers::CheckDBVersion(nullptr, message)) << message;
  EXPECT_EQ(message, "");
  TBaseAPI api(FConn.get());
  EXPECT_EQ(api.Version(), "1.33");

  C().Execute("update VERSION set VERSION = '1.20' where VERSION = '1.33'");
  EXPECT_FALSE(TServerAPIHelpers::CheckDBVersion(FConn.get(), message));
  const std::string module = TKelvoConfiguration::ModuleFileName();
  EXPECT_EQ(message, "Kelvo Database (" + KelvoConfig().FData.FDatabase + ") is not compatible with " +
                         module.substr(0, module.rfind('.') == std::string::npos || module.rfind('.') == 0
                                              ? module.size() : module.rfind('.')) +
                         ". Expected DB version: 1.33. Actual DB version: 1.20.");
  EXPECT_EQ(api.Version(), "1.33") << "read once per API object";

  C().Execute("update VERSION set VERSION = 'one.two'");
  EXPECT_FALSE(TServerAPIHelpers::CheckDBVersion(FConn.get(), message)) << "not a number is not compatible";

  C().Execute("delete from VERSION");
  EXPECT_FALSE(TServerAPIHelpers::CheckDBVersion(FConn.get(), message));
  EXPECT_EQ(message, "An error occurred when connecting to the Kelvo database (" + KelvoConfig().FData.FDatabase +
                         "): Missing Kelvo database version");
  C().Execute("insert into VERSION (VERSION) values ('1.33')");
}

TEST_F(Schema, TenantKeysAreCachedForTheProcessIncludingUnknownOnes) {
  TBaseWithTenantAPI::ResetTenantKeyCache();
  EXPECT_EQ(TBaseWithTenantAPI::GetTIDByTenantId(FConn.get(), "T-LATE"), -1);
  const int late = AddTenant("T-LATE");
  ASSERT_GT(late, 0);
  EXPECT_EQ(TBaseWithTenantAPI::GetTIDByTenantId(nullptr, "T-LATE"), -1) << "unknown at first lookup stays -1";
  EXPECT_EQ(TBaseWithTenantAPI::GetTIDByTenantId(nullptr, "t-late"), -1) << "keys compare exactly";

  const int tid = AddTenant("T-CACHE");
  C().Execute("insert into TENANTS (TID, TENANTID, ISACTIVE) values (-77, 'T-INACTIVE', 0)");
  EXPECT_EQ(TBaseWithTenantAPI::GetTIDByTenantId(nullptr, "T-INACTIVE"), -1) << "inactive tenants have no key";
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([&] {
      TConnectionObject conn;
      TBaseWithTenantAPI api(&conn, "T-CACHE");
      if (api.GetTID() != tid || api.GetTID() != tid) ++wrong;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  C().Execute("update TENANTS set ISACTIVE = 0 where TID = :t", {{"t", I(tid)}});
  EXPECT_EQ(TBaseWithTenantAPI::GetTIDByTenantId(nullptr, "T-CACHE"), tid) << "never refreshed while running";
  TBaseAPI plain(FConn.get());
  EXPECT_EQ(plain.GetTID(), -1);
}
