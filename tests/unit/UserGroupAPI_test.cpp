// Groups on a real database: the rules of TUserGroupAPI over TUserGroupDAO, tenant scoping,
// member lists and their transactions, and the pipeline's group lookup.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "FirebirdTestSupport.h"
#include "KelvoServer.Helpers.h"
#include "KelvoServer.UserGroupAPI.h"

namespace {

const char* const kTenantA = "tenant-a";
const char* const kTenantB = "tenant-b";

class UserGroupAPITest : public TFirebirdSuite {
 protected:
  static void SetUpTestSuite() {
    TFirebirdSuite::SetUpTestSuite();
    TConnectionObject conn;
    for (const char* tenant : {kTenantA, kTenantB})
      conn.Connection().ExecProc("ADDTENANT", {{"ATENANTID", TDBScalar(std::string(tenant))},
                                               {"ATENANTNAME", TDBScalar(std::string(tenant))},
                                               {"AHTENANTSECRET", TDBScalar(std::string())},
                                               {"ASALT", TDBScalar(std::string())},
                                               {"AISACTIVE", TDBScalar(int32_t{1})},
                                               {"ACREATOR", TDBScalar(std::string("setup"))},
                                               {"ACREATED", TDBScalar(TDBNull{})},
                                               {"ALASTMODIFIED", TDBScalar(TDBNull{})}});
    // u1..u6 in tenant A, b1 in tenant B. User names sort opposite to the ids. p1..p3 belong
    // to the test of the pipeline's lookup alone.
    const std::vector<std::tuple<std::string, std::string, const char*>> users = {
        {"u1", "zed", kTenantA}, {"u2", "yan", kTenantA}, {"u3", "xia", kTenantA}, {"u4", "wes", kTenantA},
        {"u5", "val", kTenantA}, {"u6", "uma", kTenantA}, {"b1", "bea", kTenantB},
        {"p1", "pia", kTenantA},  {"p2", "pam", kTenantA}, {"p3", "pat", kTenantA}};
    for (const auto& [id, name, tenant] : users)
      conn.Connection().ExecProc(
          "ADDUSER", {{"AUSERID", TDBScalar(id)},
                      {"AUSERNAME", TDBScalar(name)},
                      {"AHPASSWORD", TDBScalar(std::string("x"))},
                      {"ASALT", TDBScalar(std::string("s"))},
                      {"ACREATOR", TDBScalar(std::string("setup"))},
                      {"ATID", TDBScalar(TBaseWithTenantAPI::GetTIDByTenantId(&conn, tenant))},
                      {"ACREATED", TDBScalar(TDBNull{})},
                      {"ALASTMODIFIED", TDBScalar(TDBNull{})}});
  }

  std::vector<std::string> Members(const std::string& group, const char* tenant = kTenantA) {
    TUserGroupAPI api(&FConn, tenant);
    std::vector<std::string> ids;
    api.GetUsersByGroup(group, ids);
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  TNameValuePairs Details(const std::string& group, const char* tenant = kTenantA) {
    TUserGroupAPI api(&FConn, tenant);
    TGroupInfo info;
    EXPECT_TRUE(api.GetGroupByName(group, info)) << group;
    return info.Details;
  }

  TConnectionObject FConn;
};

template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception of the expected class";
  return {};
}

TEST_F(UserGroupAPITest, AddReadsBackAndNamesAreUniquePerTenant) {
  TUserGroupAPI a(&FConn, kTenantA);
  a.AddGroup("staff", "creator-1", {{"city", "Rome"}, {"Zip", "00100"}});
  TGroupInfo info;
  ASSERT_TRUE(a.GetGroupByName("staff", info));
  EXPECT_EQ(info.GroupName, "staff");
  EXPECT_EQ(info.Creator, "creator-1");
  EXPECT_EQ(info.TID, a.GetTID());
  EXPECT_GT(info.Created.FMicroseconds, 0);
  EXPECT_EQ(info.Details, (TNameValuePairs{{"Zip", "00100"}, {"city", "Rome"}}));  // by TNAME
  EXPECT_FALSE(a.GetGroupByName("Staff", info)) << "names compare as the database does";

  EXPECT_EQ(MessageOf<EUserGroupDuplicateError>([&] { a.AddGroup("staff", "other", {}); }),
            "Group \"staff\" already exists");
  EXPECT_EQ(MessageOf<EUserGroupDuplicateError>([&] { a.AddGroup("staff", "other"); }),
            "Group \"staff\" already exists");

  TUserGroupAPI b(&FConn, kTenantB);
  EXPECT_FALSE(b.GetGroupByName("staff", info));
  b.AddGroup("staff", "creator-2");
  ASSERT_TRUE(b.GetGroupByName("staff", info));
  EXPECT_EQ(info.Creator, "creator-2");
  EXPECT_TRUE(info.Details.empty());
}

TEST_F(UserGroupAPITest, RefusedCustomFieldsLeaveNoGroup) {
  struct TCase {
    TNameValuePairs Details;
    std::string Message;
  };
  const TCase cases[] = {
      {{{"city", "x"}, {"creator", "x"}, {"GroupName", "y"}},
       "Operation could not be completed because one or more dynamic names conflicts with a static name.  "
       "Conflict(s): GroupName,creator"},
      {{{"2nd", "x"}}, "First key character cannot be numeric \"2nd\""},
      {{{"a/b", "x"}}, "Invalid character found in Key Name \"a/b\""},
  };
  TUserGroupAPI api(&FConn, kTenantA);
  for (const auto& c : cases) {
    EXPECT_EQ(MessageOf<EUserGroupInvalidParameters>([&] { api.AddGroup("refused", "me", c.Details); }), c.Message);
    TGroupInfo info;
    EXPECT_FALSE(api.GetGroupByName("refused", info)) << c.Message;
    EXPECT_FALSE(FConn.InTransaction());
  }
}

TEST_F(UserGroupAPITest, SettingMembers) {
  struct TCase {
    std::vector<std::string> Before, Set, After;
  };
  const TCase cases[] = {
      {{}, {"u1", "u2"}, {"u1", "u2"}},
      {{"u1", "u2"}, {"u2", "u3"}, {"u2", "u3"}},
      {{"u1", "u2"}, {}, {}},
      {{"u1"}, {"u1", "u1"}, {"u1"}},
      {{"u1"}, {"b1"}, {"b1"}},  // ids are looked up in every tenant
  };
  TUserGroupAPI api(&FConn, kTenantA);
  int n = 0;
  for (const auto& c : cases) {
    const std::string group = "members-" + std::to_string(++n);
    api.AddGroup(group, "me", {});
    api.UpdateGroupUsers(group, c.Before, nullptr);
    api.UpdateGroupUsers(group, c.Set, nullptr);
    EXPECT_EQ(Members(group), c.After) << group;
  }
}

TEST_F(UserGroupAPITest, UnknownMemberLeavesTheListAsItWas) {
  TUserGroupAPI api(&FConn, kTenantA);
  api.AddGroup("keepers", "me", {});
  api.UpdateGroupUsers("keepers", {"u1", "u2"}, nullptr);
  // The unknown id comes last in id order, after the removals and the add it must undo.
  EXPECT_EQ(MessageOf<EUserGroupUserNotFoundError>([&] { api.UpdateGroupUsers("keepers", {"u3", "zz-ghost"}, nullptr); }),
            "User \"zz-ghost\" not found");
  EXPECT_EQ(Members("keepers"), (std::vector<std::string>{"u1", "u2"}));
  EXPECT_FALSE(FConn.InTransaction());

  // A single add stores at once: the members added before a failing one stay.
  api.AddUserToGroup("u3", "keepers", nullptr);
  EXPECT_EQ(MessageOf<EUserGroupUserNotFoundError>([&] { api.AddUserToGroup("nobody", "keepers", nullptr); }),
            "User \"nobody\" not found");
  EXPECT_EQ(Members("keepers"), (std::vector<std::string>{"u1", "u2", "u3"}));
  EXPECT_TRUE(api.IsUserInGroup("u3", "keepers"));
  EXPECT_FALSE(api.IsUserInGroup("u4", "keepers"));
  EXPECT_TRUE(api.DeleteGroupUser("u3", "keepers", nullptr));
  EXPECT_FALSE(api.IsUserInGroup("u3", "keepers"));
  EXPECT_FALSE(api.DeleteGroupUser("u1", "no-such-group", nullptr));
}

TEST_F(UserGroupAPITest, NameOperationsOnAMissingGroup) {
  TUserGroupAPI api(&FConn, kTenantA);
  std::vector<std::string> ids;
  TNameValuePairs page;
  int total = 0;
  const std::string expected = "Group \"nope\" not found";
  EXPECT_EQ(MessageOf<EUserGroupNotFoundError>([&] { api.UpdateGroup("nope", {{"a", "b"}}, nullptr); }), expected);
  EXPECT_EQ(MessageOf<EUserGroupNotFoundError>([&] { api.UpdateGroupUsers("nope", {}, nullptr); }), expected);
  EXPECT_EQ(MessageOf<EUserGroupNotFoundError>([&] { api.AddUserToGroup("u1", "nope", nullptr); }), expected);
  EXPECT_EQ(MessageOf<EUserGroupNotFoundError>([&] { api.GetUsersByGroup("nope", ids); }), expected);
  EXPECT_EQ(MessageOf<EUserGroupNotFoundError>([&] { api.IsUserInGroup("u1", "nope"); }), expected);
  EXPECT_EQ(MessageOf<EUserGroupNotFoundError>(
                [&] { api.GetUserInfoByGroup("nope", TUserGroupAPI::TUserGroupInfoOrder::USERID, 0, 0, page, total); }),
            expected);
  bool called = false;
  EXPECT_FALSE(api.DeleteGroup("nope", [&](const std::string&) { called = true; }));
  EXPECT_FALSE(called);
}

TEST_F(UserGroupAPITest, AnotherTenantsGroupIsInvisible) {
  TUserGroupAPI b(&FConn, kTenantB);
  b.AddGroup("foreign", "b-creator", {{"x", "1"}});
  b.UpdateGroupUsers("foreign", {"b1"}, nullptr);

  TUserGroupAPI a(&FConn, kTenantA);
  bool called = false;
  EXPECT_FALSE(a.DeleteGroup("foreign", [&](const std::string&) { called = true; }));
  EXPECT_FALSE(called);
  EXPECT_THROW(a.UpdateGroup("foreign", {{"x", "2"}}, nullptr), EUserGroupNotFoundError);
  EXPECT_THROW(a.UpdateGroupUsers("foreign", {}, nullptr), EUserGroupNotFoundError);
  std::vector<TGroupInfo> list;
  a.GetGroups(list);
  EXPECT_TRUE(std::none_of(list.begin(), list.end(), [](const TGroupInfo& g) { return g.GroupName == "foreign"; }));
  EXPECT_EQ(Members("foreign", kTenantB), (std::vector<std::string>{"b1"}));
  EXPECT_EQ(Details("foreign", kTenantB), (TNameValuePairs{{"x", "1"}}));

  // An unknown tenant has no scope for name lookups: nothing matches.
  TUserGroupAPI unknown(&FConn, "no-such-tenant");
  TGroupInfo info;
  EXPECT_FALSE(unknown.GetGroupByName("foreign", info));
}

TEST_F(UserGroupAPITest, UpdatingCustomFields) {
  struct TCase {
    TNameValuePairs Before, Changes, After;
  };
  const TCase cases[] = {
      {{{"city", "Rome"}, {"zip", "1"}}, {{"city", ""}}, {{"zip", "1"}}},
      {{{"city", "Rome"}}, {{"city", "null"}, {"Country", "IT"}}, {{"Country", "IT"}, {"city", "null"}}},
      {{{"city", "Rome"}}, {{"City", "Oslo"}}, {{"City", "Oslo"}, {"city", "Rome"}}},  // names are case-sensitive
      {{{"city", "Rome"}}, {{"city", "Oslo"}, {"city", ""}}, {}},                      // later changes win
      {{}, {{"city", "Rome"}, {"zip", ""}}, {{"city", "Rome"}}},  // removing from no fields adds nothing
      {{{"a", "1"}}, {}, {{"a", "1"}}},
  };
  TUserGroupAPI api(&FConn, kTenantA);
  int n = 0;
  for (const auto& c : cases) {
    const std::string group = "fields-" + std::to_string(++n);
    api.AddGroup(group, "me", c.Before);
    api.UpdateGroup(group, c.Changes, nullptr);
    EXPECT_EQ(Details(group), c.After) << group;
  }
  api.AddGroup("fields-bad", "me", {{"keep", "1"}});
  EXPECT_THROW(api.UpdateGroup("fields-bad", {{"extra", "1"}, {"tid", "2"}}, nullptr), EUserGroupInvalidParameters);
  EXPECT_EQ(Details("fields-bad"), (TNameValuePairs{{"keep", "1"}}));
}

TEST_F(UserGroupAPITest, CallbackSeesTheCreatorAndCanRefuse) {
  TUserGroupAPI api(&FConn, kTenantA);
  api.AddGroup("guarded", "the-creator", {{"a", "1"}});
  api.UpdateGroupUsers("guarded", {"u1"}, nullptr);
  std::vector<std::string> seen;
  const auto refuse = [&](const std::string& creator) {
    seen.push_back(creator);
    throw EKelvoException("refused");
  };
  EXPECT_THROW(api.UpdateGroup("guarded", {{"a", "2"}}, refuse), EKelvoException);
  EXPECT_THROW(api.UpdateGroup("guarded", {}, refuse), EKelvoException);
  EXPECT_THROW(api.UpdateGroupUsers("guarded", {}, refuse), EKelvoException);
  EXPECT_THROW(api.AddUserToGroup("u2", "guarded", refuse), EKelvoException);
  EXPECT_THROW(api.DeleteGroupUser("u1", "guarded", refuse), EKelvoException);
  EXPECT_THROW(api.DeleteGroup("guarded", refuse), EKelvoException);
  EXPECT_EQ(seen, std::vector<std::string>(6, "the-creator"));
  EXPECT_EQ(Details("guarded"), (TNameValuePairs{{"a", "1"}}));
  EXPECT_EQ(Members("guarded"), (std::vector<std::string>{"u1"}));

  EXPECT_TRUE(api.DeleteGroup("guarded", [](const std::string&) {}));
  TGroupInfo info;
  EXPECT_FALSE(api.GetGroupByName("guarded", info));
  // Deleting takes the fields and memberships along: a new group of that name starts empty.
  api.AddGroup("guarded", "me", {});
  EXPECT_TRUE(Details("guarded").empty());
  EXPECT_TRUE(Members("guarded").empty());
}

TEST_F(UserGroupAPITest, MemberPages) {
  using O = TUserGroupAPI::TUserGroupInfoOrder;
  TUserGroupAPI api(&FConn, kTenantA);
  api.AddGroup("paged", "me", {});
  api.UpdateGroupUsers("paged", {"u1", "u2", "u3", "u4", "u5"}, nullptr);
  struct TCase {
    O Order;
    int Skip, Limit;
    std::vector<std::string> Ids;
  };
  const TCase cases[] = {
      {O::USERID, 0, 0, {"u1", "u2", "u3", "u4", "u5"}},
      {O::USERID_DESC, 0, 2, {"u5", "u4"}},
      {O::USERNAME, 0, 2, {"u5", "u4"}},  // names sort opposite to ids
      {O::USERNAME_DESC, 1, 2, {"u2", "u3"}},
      {O::USERID, 3, 10, {"u4", "u5"}},
      {O::USERID, 5, 2, {}},
  };
  for (const auto& c : cases) {
    TNameValuePairs page;
    int total = -1;
    EXPECT_EQ(api.GetUserInfoByGroup("paged", c.Order, c.Skip, c.Limit, page, total), !c.Ids.empty());
    std::vector<std::string> ids;
    for (const auto& p : page) ids.push_back(p.first);
    EXPECT_EQ(ids, c.Ids) << c.Skip << "/" << c.Limit;
    EXPECT_EQ(total, 5);
  }
  TNameValuePairs page;
  int total = 0;
  api.GetUserInfoByGroup("paged", O::USERID, 0, 1, page, total);
  EXPECT_EQ(page, (TNameValuePairs{{"u1", "zed"}}));
  EXPECT_EQ(MessageOf<EUserGroupInvalidParameters>([&] { api.GetUserInfoByGroup("paged", O::USERID, 1, 0, page, total); }),
            "Invalid parameters \"Cannot skip rows without a limit value\".");
  EXPECT_THROW(api.GetUserInfoByGroup("paged", O::USERID, -3, 2, page, total), EUserGroupInvalidParameters);
  EXPECT_THROW(api.GetUserInfoByGroup("paged", O::USERID, 0, -1, page, total), EUserGroupInvalidParameters);
}

TEST_F(UserGroupAPITest, ListsAndCountsAreScopedToTheTenant) {
  TConnectionObject conn;
  // A tenant of its own, so that other tests' groups do not count.
  conn.Connection().ExecProc("ADDTENANT", {{"ATENANTID", TDBScalar(std::string("tenant-c"))},
                                           {"ATENANTNAME", TDBScalar(std::string("c"))},
                                           {"AHTENANTSECRET", TDBScalar(std::string())},
                                           {"ASALT", TDBScalar(std::string())},
                                           {"AISACTIVE", TDBScalar(int32_t{1})},
                                           {"ACREATOR", TDBScalar(std::string("setup"))},
                                           {"ACREATED", TDBScalar(TDBNull{})},
                                           {"ALASTMODIFIED", TDBScalar(TDBNull{})}});
  TUserGroupAPI c(&conn, "tenant-c");
  std::vector<TGroupInfo> list;
  EXPECT_FALSE(c.GetGroups(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(c.GetTotalGroups(), 0);
  c.AddGroup("c1", "me", {{"color", "red"}});
  c.AddGroup("c2", "me", {{"color", "blue"}});
  c.AddGroup("c3", "me", {});
  ASSERT_TRUE(c.GetGroups(list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(c.GetTotalGroups(), 3);
  c.UpdateGroupUsers("c1", {"u1", "u2"}, nullptr);
  c.UpdateGroupUsers("c3", {"u3"}, nullptr);
  c.UpdateGroup("c1", {{"size", "L"}}, nullptr);
  ASSERT_TRUE(c.GetGroups(list));
  // The page's fields and members are read in one statement each: every group gets its own.
  const auto members = c.GetUsersByGroups(list);
  ASSERT_EQ(members.size(), list.size());
  std::map<std::string, std::pair<TNameValuePairs, std::vector<std::string>>> byName;
  for (size_t i = 0; i < list.size(); ++i) {
    auto ids = members[i];
    std::sort(ids.begin(), ids.end());
    byName[list[i].GroupName] = {list[i].Details, ids};
  }
  EXPECT_EQ(byName["c1"].first, (TNameValuePairs{{"color", "red"}, {"size", "L"}}));
  EXPECT_EQ(byName["c1"].second, (std::vector<std::string>{"u1", "u2"}));
  EXPECT_EQ(byName["c2"].first, (TNameValuePairs{{"color", "blue"}}));
  EXPECT_TRUE(byName["c2"].second.empty());
  EXPECT_TRUE(byName["c3"].first.empty());
  EXPECT_EQ(byName["c3"].second, (std::vector<std::string>{"u3"}));
  EXPECT_TRUE(c.GetUsersByGroups({}).empty());

  const std::map<std::string, std::string> params = {{"where", R"({"color":"blue"})"}};
  auto query = TQueryHelper::QueryFromParams([&](const std::string& name, std::string& value) {
    auto it = params.find(name);
    if (it == params.end()) return false;
    value = it->second;
    return true;
  });
  ASSERT_TRUE(query);
  ASSERT_TRUE(c.GetGroups(query.get(), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].GroupName, "c2");
  EXPECT_EQ(c.GetTotalFiltered(query.get()), 1);
  EXPECT_EQ(c.GetTotalFiltered(nullptr), 3);

  std::vector<std::string> keys;
  ASSERT_TRUE(c.GetDetailKeys(keys));
  EXPECT_TRUE(std::find(keys.begin(), keys.end(), "color") != keys.end());
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
}

// Pages are read in chunks of keys: a page over several chunks, the last one short, must give
// every group exactly its own fields and members.
TEST_F(UserGroupAPITest, LongPagesKeepEachGroupsOwnFieldsAndMembers) {
  TConnectionObject conn;
  conn.Connection().ExecProc("ADDTENANT", {{"ATENANTID", TDBScalar(std::string("tenant-d"))},
                                           {"ATENANTNAME", TDBScalar(std::string("d"))},
                                           {"AHTENANTSECRET", TDBScalar(std::string())},
                                           {"ASALT", TDBScalar(std::string())},
                                           {"AISACTIVE", TDBScalar(int32_t{1})},
                                           {"ACREATOR", TDBScalar(std::string("setup"))},
                                           {"ACREATED", TDBScalar(TDBNull{})},
                                           {"ALASTMODIFIED", TDBScalar(TDBNull{})}});
  TUserGroupAPI d(&conn, "tenant-d");
  const std::vector<std::string> ids = {"u1", "u2", "u3", "u4", "u5", "u6"};
  for (int i = 0; i < 205; ++i) {
    const std::string name = "d" + std::to_string(i);
    TNameValuePairs fields;
    if (i % 3 != 0) fields = {{"n", std::to_string(i)}, {"A", "x"}};
    d.AddGroup(name, "me", fields);
    if (i % 4 != 0) d.UpdateGroupUsers(name, {ids[i % 6], ids[(i + 1) % 6]}, nullptr);
  }
  std::vector<TGroupInfo> list;
  ASSERT_TRUE(d.GetGroups(list));
  ASSERT_EQ(list.size(), 205u);
  const auto members = d.GetUsersByGroups(list);
  for (size_t k = 0; k < list.size(); ++k) {
    const int i = std::stoi(list[k].GroupName.substr(1));
    const TNameValuePairs fields =
        i % 3 != 0 ? TNameValuePairs{{"A", "x"}, {"n", std::to_string(i)}} : TNameValuePairs{};
    EXPECT_EQ(list[k].Details, fields) << list[k].GroupName;
    auto got = members[k];
    std::sort(got.begin(), got.end());
    std::vector<std::string> want;
    if (i % 4 != 0) want = {ids[i % 6], ids[(i + 1) % 6]};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << list[k].GroupName;
  }
}

TEST_F(UserGroupAPITest, GroupsOfAUserForThePipeline) {
  TUserGroupAPI a(&FConn, kTenantA);
  a.AddGroup("g-one", "me", {});
  a.AddGroup("g-two", "me", {});
  a.AddGroup("g-three", "me", {});
  a.UpdateGroupUsers("g-one", {"p1"}, nullptr);
  a.UpdateGroupUsers("g-two", {"p1", "p2"}, nullptr);
  TUserGroupAPI b(&FConn, kTenantB);
  b.AddGroup("g-b", "me", {});
  b.UpdateGroupUsers("g-b", {"p1"}, nullptr);  // a member from tenant A in a group of tenant B

  auto groups = TServerAPIHelpers::GetGroupsByUser(nullptr, "p1", kTenantA);
  std::sort(groups.begin(), groups.end());
  EXPECT_EQ(groups, (std::vector<std::string>{"g-one", "g-two"}));
  EXPECT_EQ(TServerAPIHelpers::GetGroupsByUser(&FConn, "p1", kTenantB), (std::vector<std::string>{"g-b"}));
  EXPECT_EQ(TServerAPIHelpers::GetGroupsByUser(&FConn, "p2", kTenantA), (std::vector<std::string>{"g-two"}));
  EXPECT_TRUE(TServerAPIHelpers::GetGroupsByUser(&FConn, "p3", kTenantA).empty());
  EXPECT_TRUE(TServerAPIHelpers::GetGroupsByUser(&FConn, "p1", "").empty());
}

}  // namespace
