// Tenants, users and sessions against a real database: the secret rule, the default tenant,
// entity ownership, tenant-scoped users, tokens, custom fields and bounded lock retries.
#include <gtest/gtest.h>

#include <chrono>

#include "FirebirdTestSupport.h"
#include "KelvoServer.Helpers.h"
#include "KelvoServer.TenantAPI.h"
#include "KelvoServer.UserAPI.h"

namespace {

const char* const kConflictPrefix =
    "Operation could not be completed because one or more dynamic names conflicts with a static name.  Conflict(s): ";

// Runs `f` and returns the message of the exception of class E it raises ("" when none).
template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return {};
}

}  // namespace

TEST(TenantInfo, CompareTo) {
  TTenantInfo info;
  info.TenantId = "AbC-1";
  info.TenantSalt = "s4lt!!";
  info.TenantSecret = HashTenantSecret("pw", info.TenantSalt);
  struct TCase {
    std::string FId, FSecret;
    bool FMatch;
  };
  const TCase cases[] = {{"abc-1", "pw", true}, {"ABC-1", "pw", true}, {"abc-1", "PW", false},
                         {"abc-2", "pw", false}, {"", "pw", false},    {"abc-1", "", false}};
  for (const auto& c : cases) EXPECT_EQ(info.CompareTo(c.FId, c.FSecret), c.FMatch) << c.FId << "/" << c.FSecret;
  // Digests compare ignoring case.
  info.TenantSecret = HashTenantSecret("pw", info.TenantSalt);
  for (auto& ch : info.TenantSecret) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_TRUE(info.CompareTo("abc-1", "pw"));
  // An empty stored hash matches only an empty secret.
  info.TenantSecret.clear();
  EXPECT_TRUE(info.CompareTo("abc-1", ""));
  EXPECT_FALSE(info.CompareTo("abc-1", "pw"));
  EXPECT_TRUE(TTenantInfo().IsEmpty());
}

TEST(DateTimeHelper, WritesUTCWithMilliseconds) {
  // 2019-05-04 09:10:11.123456, read as the server's wall clock (the tests run in UTC).
  const TDBTimestamp t{1556961011123456};
  EXPECT_EQ(TDateTimeHelper::DateTimeToText(t), "2019-05-04T09:10:11.123Z");
  EXPECT_EQ(TDateTimeHelper::DateTimeToText(TDBTimestamp{0}), "1970-01-01T00:00:00.000Z");
}

class TenantStore : public TFirebirdSuite {
 protected:
  TConnectionObject FConn;
  TTenantAPI FApi{&FConn};

  // Writes a column of one tenant row directly (rows the API would never write).
  void SetColumn(int tid, const std::string& column, const TDBScalar& value) {
    FConn.Connection().Execute("update TENANTS set " + column + " = :v where TID = :tid",
                               {{"v", value}, {"tid", TDBScalar(static_cast<int32_t>(tid))}});
  }
};

TEST_F(TenantStore, SecretsAndActiveFlag) {
  const int empty = FApi.AddTenant("NoSecret", "");
  ASSERT_GT(empty, 0);
  TTenantInfo info;
  ASSERT_TRUE(FApi.GetTenant(empty, info));
  EXPECT_EQ(info.TenantId.size(), 36u);
  EXPECT_EQ(info.TenantId, NewGUIDText().size() == 36 ? info.TenantId : "");
  EXPECT_EQ(info.TenantSecret, TAuthentication::HashMd5(info.TenantSalt));  // the hash of the salt alone
  EXPECT_TRUE(FApi.ValidateTenant(info.TenantId, ""));
  EXPECT_FALSE(FApi.ValidateTenant(info.TenantId, "x"));

  FApi.AddSampleTenant("T-SECRET", "Secret", "s3cret", {});
  EXPECT_TRUE(FApi.ValidateTenant("T-SECRET", "s3cret"));
  EXPECT_FALSE(FApi.ValidateTenant("t-secret", "s3cret"));  // the row is found by the database's equality
  EXPECT_FALSE(FApi.ValidateTenant("T-SECRET", "wrong"));
  EXPECT_FALSE(FApi.ValidateTenant("T-UNKNOWN", "s3cret"));
  EXPECT_FALSE(FApi.ValidateTenant(std::string(500, 'T'), "s3cret"));  // longer than any id: no row, no failure

  // A new secret with every edit; inactive tenants validate for nothing but are still read.
  const int tid = FApi.GetTIDByName("Secret");
  FApi.EditTenant(tid, "Secret", "other", false);
  EXPECT_FALSE(FApi.ValidateTenant("T-SECRET", "other"));
  ASSERT_TRUE(FApi.GetTenant(std::string("T-SECRET"), info));
  EXPECT_FALSE(info.IsActive);
  EXPECT_EQ(FApi.GetTIDByTenantID("T-SECRET"), -1);
  EXPECT_FALSE(FApi.ValidateTenantId("T-SECRET"));
  FApi.EditTenant(tid, "Secret", "other", true);
  EXPECT_TRUE(FApi.ValidateTenant("T-SECRET", "other"));

  // Upper-case stored digests and empty stored hashes.
  SetColumn(tid, "HTENANTSECRET", TDBScalar(std::string()));
  EXPECT_TRUE(FApi.ValidateTenant("T-SECRET", ""));
  EXPECT_FALSE(FApi.ValidateTenant("T-SECRET", "other"));
  ASSERT_TRUE(FApi.GetTenant(tid, info));
  std::string upper = HashTenantSecret("up", info.TenantSalt);
  for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  SetColumn(tid, "HTENANTSECRET", TDBScalar(upper));
  EXPECT_TRUE(FApi.ValidateTenant("T-SECRET", "up"));
}

TEST_F(TenantStore, SampleTenantsAndCustomFields) {
  EXPECT_EQ(MessageOf<ETenantDetailInvalidParameters>(
                [&] { FApi.AddSampleTenant("T-BAD", "Bad", "s", {{"tenantname", "x"}}); }),
            std::string(kConflictPrefix) + "tenantname");
  TTenantInfo info;
  EXPECT_FALSE(FApi.GetTenant(std::string("T-BAD"), info));  // rolled back with its row

  FApi.AddSampleTenant("T-FIELDS", "Fields", "s", {{"tid", "7"}, {"city", "Oslo"}});
  EXPECT_EQ(MessageOf<ETenantDuplicateError>([&] { FApi.AddSampleTenant("T-FIELDS", "Again", "s", {}); }),
            "Tenant \"T-FIELDS\" already exists");
  const int tid = FApi.GetTIDByName("Fields");
  ASSERT_TRUE(FApi.GetTenant(tid, info));
  EXPECT_EQ(info.Details, (TNameValuePairs{{"city", "Oslo"}, {"tid", "7"}}));

  FApi.UpdateTenantDetails(tid, {{"city", ""}, {"zip", "0150"}});
  ASSERT_TRUE(FApi.GetTenant(tid, info));
  EXPECT_EQ(info.Details, (TNameValuePairs{{"tid", "7"}, {"zip", "0150"}}));
  EXPECT_EQ(MessageOf<ETenantInvalidDataAPIError>([&] { FApi.UpdateTenantDetails(tid, {{"SALT", "x"}}); }),
            std::string(kConflictPrefix) + "SALT");

  // Without stored fields an empty value is stored as it is.
  const int bare = FApi.AddTenant("Bare", "s");
  FApi.UpdateTenantDetails(bare, {{"note", ""}});
  ASSERT_TRUE(FApi.GetTenant(bare, info));
  EXPECT_EQ(info.Details, (TNameValuePairs{{"note", ""}}));

  EXPECT_FALSE(FApi.DeleteTenant(0));
  EXPECT_TRUE(FApi.DeleteTenant(bare));
  EXPECT_FALSE(FApi.GetTenant(bare, info));

  EXPECT_EQ(FApi.GetTIDByName("nobody"), 0);
  EXPECT_EQ(FApi.GetTenantIdByName("nobody"), "");
  EXPECT_EQ(FApi.GetTenantNameByTenantId("T-NOBODY"), "");
  EXPECT_EQ(FApi.GetTenantIdByName("Fields"), "T-FIELDS");
  EXPECT_EQ(FApi.GetTenantNameByTenantId("T-FIELDS"), "Fields");

  std::vector<TTenantInfo> all;
  ASSERT_TRUE(FApi.GetTenants(all));
  bool seen = false;
  for (const auto& t : all) seen = seen || (t.TenantId == "T-FIELDS" && t.Details.size() == 2);
  EXPECT_TRUE(seen);
}

TEST_F(TenantStore, EntityOwnership) {
  FApi.AddSampleTenant("T-OWN-A", "OwnA", "s", {});
  FApi.AddSampleTenant("T-OWN-B", "OwnB", "s", {});
  const int a = FApi.GetTIDByName("OwnA");
  FConn.Connection().Execute("insert into GROUPS (GROUPID, GROUPNAME, TID) values (9001, 'staff', :tid)",
                             {{"tid", TDBScalar(static_cast<int32_t>(a))}});
  {
    TUserAPI users(&FConn, "T-OWN-A");
    users.AddUser({"owner", "pw"}, {"U-OWN-0000-0000-0000-000000000001", "c"}, {});
  }
  struct TCase {
    TTenantEntity FEntity;
    std::string FId, FTenant;
    bool FBelongs;
  };
  const TCase cases[] = {
      {TTenantEntity::Users, "U-OWN-0000-0000-0000-000000000001", "T-OWN-A", true},
      {TTenantEntity::Users, "U-OWN-0000-0000-0000-000000000001", "t-own-a", false},  // the database's equality
      {TTenantEntity::Users, "U-OWN-0000-0000-0000-000000000001", "T-OWN-B", false},
      {TTenantEntity::Users, "nobody", "T-OWN-A", false},
      {TTenantEntity::Users, "nobody", "", true},  // no tenant scope
      {TTenantEntity::Groups, "staff", "T-OWN-A", true},
      {TTenantEntity::Groups, "staff", "T-OWN-B", false},
      {TTenantEntity::Groups, "9001", "T-OWN-A", false},  // compared by name, not key
      {TTenantEntity::Installation, "i1", "T-OWN-A", false},
      {TTenantEntity::Channel, std::string(300, 'c'), "T-OWN-A", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FApi.IsEntityBelongToTenant(c.FEntity, c.FId, c.FTenant), c.FBelongs)
        << static_cast<int>(c.FEntity) << " " << c.FId.substr(0, 40) << " " << c.FTenant;
}

// The default tenant needs a table of its own.
TEST(TenantDefault, LowestActiveKeyAndDuplicateIds) {
  TFirebirdTestDatabase db(false);
  {
    // Two rows of one tenant id need the unique key gone, before anything uses the table.
    TFBConnection admin(db.Params());
    admin.ExecuteScript("ALTER TABLE TENANTS DROP CONSTRAINT UQ_TENANTS_TENANTID;");
  }
  TConnectionObject conn(db.DefName());
  TTenantAPI api(&conn);
  EXPECT_TRUE(api.GetDefaultTenantInfo().IsEmpty());
  api.AddSampleTenant("T-DEF-1", "one", "s", {});
  api.EditTenant(api.GetTIDByName("one"), "one", "s", false);
  EXPECT_TRUE(api.GetDefaultTenantInfo().IsEmpty());  // no active tenant
  api.AddSampleTenant("T-DEF-2", "two", "s", {});
  api.AddSampleTenant("T-DEF-3", "three", "s", {});
  const TTenantInfo def = api.GetDefaultTenantInfo();
  EXPECT_EQ(def.TenantId, "T-DEF-2");
  EXPECT_FALSE(def.TenantSecret.empty());
  EXPECT_EQ(def.TID, 0);  // nothing but id and hash
  EXPECT_EQ(def.TenantName, "");

  conn.Connection().Execute(
      "insert into TENANTS (TID, TENANTID, TENANTNAME, ISACTIVE) values (99, 'T-DEF-3', 'copy', 1)");
  EXPECT_EQ(MessageOf<ETenantInvalidDataAPIError>([&] { api.ValidateTenant("T-DEF-3", "s"); }),
            "The Default Tenant cannot be uniquely identified by ID.");
}

class UserStore : public TFirebirdSuite {
 protected:
  static void SetUpTestSuite() {
    TFirebirdSuite::SetUpTestSuite();
    TConnectionObject conn;
    TTenantAPI tenants(&conn);
    tenants.AddSampleTenant("T-USERS-A", "A", "s", {});
    tenants.AddSampleTenant("T-USERS-B", "B", "s", {});
  }

  // Adds a user in a tenant and returns its id.
  static std::string Add(const std::string& tenant, const std::string& name, const std::string& password,
                         const TNameValuePairs& details = {}) {
    TConnectionObject conn;
    TUserAPI api(&conn, tenant);
    const std::string id = TUserAPI::NewUserID();
    api.AddUser({name, password}, {id, id}, details);
    return id;
  }

  TConnectionObject FConn;
  TUserAPI FA{&FConn, "T-USERS-A"};
  TUserAPI FB{&FConn, "T-USERS-B"};
};

TEST_F(UserStore, NamesAreScopedByTenant) {
  const std::string a = Add("T-USERS-A", "sam", "pa");
  const std::string b = Add("T-USERS-B", "sam", "pb");
  Add("T-USERS-B", "onlyb", "pb");
  std::string id, token, token_b;
  FA.Login({"sam", "pa"}, id, token);
  EXPECT_EQ(id, a);
  FB.Login({"sam", "pb"}, id, token_b);
  EXPECT_EQ(id, b);
  // Each tenant checks its own user's password.
  EXPECT_EQ(MessageOf<EUserAuthenticateError>([&] { FA.Login({"sam", "pb"}, id, token); }),
            "Invalid credentials for \"sam\".");
  EXPECT_EQ(MessageOf<EUserNotFoundError>([&] { FA.Login({"onlyb", "pb"}, id, token); }), "User \"onlyb\" not found");
  TUserInfo info;
  EXPECT_FALSE(FA.GetUserByName("onlyb", info));
  EXPECT_TRUE(FB.GetUserByName("onlyb", info));
  EXPECT_FALSE(FA.GetUserByID(b, info));
  // A token of tenant B does not resolve in tenant A.
  std::string who;
  EXPECT_FALSE(FA.GetCurrentUser(token_b, who));
  EXPECT_TRUE(FB.GetCurrentUser(token_b, who));
  EXPECT_EQ(who, b);
}

TEST_F(UserStore, SessionTokens) {
  const std::string id = Add("T-USERS-A", "tess", "pw");
  std::string user, first, second, who;
  FA.Login({"tess", "pw"}, user, first);
  FA.Login({"tess", "pw"}, user, second);
  EXPECT_NE(first, second);
  EXPECT_FALSE(FA.GetCurrentUser(first, who));  // replaced
  ASSERT_TRUE(FA.GetCurrentUser(second, who));
  EXPECT_EQ(who, id);

  FA.UpdateUserPassword(id, "new");
  EXPECT_TRUE(FA.GetCurrentUser(second, who));  // a password change keeps the session
  EXPECT_THROW(FA.Login({"tess", "pw"}, user, first), EUserAuthenticateError);
  EXPECT_EQ(MessageOf<EUserNotFoundError>([&] { FA.UpdateUserPassword("no-such-id", "x"); }),
            "User \"no-such-id\" not found");

  FA.Logout(id);
  EXPECT_FALSE(FA.GetCurrentUser(second, who));
  EXPECT_FALSE(FA.GetCurrentUser("", who));  // a signed-out user's empty token is no session
  EXPECT_FALSE(FA.GetCurrentUser(std::string(100, 'f'), who));
}

TEST_F(UserStore, AddAndCustomFields) {
  const std::string id = Add("T-USERS-A", "cara", "pw", {{"city", "Oslo"}, {"zip", "0150"}});
  EXPECT_EQ(MessageOf<EUserDuplicateError>([&] { Add("T-USERS-A", "cara", "x"); }), "User \"cara\" already exists");
  // A refused custom field leaves no user behind: the name is still free.
  EXPECT_EQ(MessageOf<EUserInvalidParameters>([&] { Add("T-USERS-A", "dora", "x", {{"2x", "y"}}); }),
            "First key character cannot be numeric \"2x\"");
  EXPECT_NO_THROW(Add("T-USERS-A", "dora", "x"));

  FA.UpdateUser(id, {{"city", ""}, {"pet", "cat"}});
  TUserInfo info;
  ASSERT_TRUE(FA.GetUserByID(id, info));
  EXPECT_EQ(info.Details, (TNameValuePairs{{"pet", "cat"}, {"zip", "0150"}}));
  EXPECT_EQ(MessageOf<EUserInvalidParameters>([&] { FA.UpdateUser(id, {{"UserName", "bob"}}); }),
            std::string(kConflictPrefix) + "UserName");
  EXPECT_EQ(MessageOf<EUserNotFoundError>([&] { FA.UpdateUser("no-such-id", {{"a", "b"}}); }),
            "User \"no-such-id\" not found");

  // No stored fields: an empty value is stored.
  const std::string bare = Add("T-USERS-A", "bare", "pw");
  FA.UpdateUser(bare, {{"note", ""}});
  ASSERT_TRUE(FA.GetUserByID(bare, info));
  EXPECT_EQ(info.Details, (TNameValuePairs{{"note", ""}}));

  // The callback refuses before anything changes; an empty change list does not ask it.
  int asked = 0;
  auto refuse = [&](const std::string&) {
    ++asked;
    throw EKelvoException("refused");
  };
  EXPECT_THROW(FA.UpdateUser(bare, {{"note", "x"}}, refuse), EKelvoException);
  FA.UpdateUser(bare, {}, refuse);
  EXPECT_EQ(asked, 1);
  ASSERT_TRUE(FA.GetUserByID(bare, info));
  EXPECT_EQ(info.Details, (TNameValuePairs{{"note", ""}}));

  EXPECT_FALSE(FA.DeleteUser("no-such-id"));
  EXPECT_TRUE(FA.DeleteUser(bare));
  EXPECT_FALSE(FA.GetUserByID(bare, info));
}

TEST_F(UserStore, ListsAreScopedAndQueried) {
  Add("T-USERS-B", "list1", "pw", {{"team", "red"}});
  Add("T-USERS-B", "list2", "pw", {{"team", "blue"}});
  std::vector<TUserInfo> users;
  TQuery query;
  auto filter = std::make_unique<TSimpleFilter>();
  filter->Attribute = "team";
  filter->Value = std::string("blue");
  query.Filters().Add(std::move(filter));
  ASSERT_TRUE(FB.GetUsers(&query, users));
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].UserName, "list2");
  EXPECT_FALSE(FA.GetUsers(&query, users));
  EXPECT_TRUE(users.empty());
}

// A row held by another transaction: sign-in gives up after a bounded number of attempts.
TEST_F(UserStore, LockConflictsEndAfterBoundedRetries) {
  const std::string id = Add("T-USERS-A", "locked", "pw");
  TConnectionObject holder;
  holder.StartTransaction();
  holder.Connection().Execute("update USERS set SESSIONID = 'held' where USERID = :id", {{"id", TDBScalar(id)}});
  std::string user, token;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(FA.Login({"locked", "pw"}, user, token), EBaseDAODVDeadlockError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  holder.Rollback();
  FA.Login({"locked", "pw"}, user, token);
  EXPECT_EQ(user, id);
  EXPECT_EQ(token.size(), 32u);
}
