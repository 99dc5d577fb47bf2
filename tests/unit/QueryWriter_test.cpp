// The query writers: statement texts and parameters for the users entity.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "Kelvo.QueryFromJSON.h"
#include "Kelvo.QueryToSQL.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.Helpers.h"

namespace {

const std::vector<std::string> KUserColumns = {"USERID", "USERNAME", "ISACTIVE", "CREATED", "LASTMODIFIED",
                                               "CREATOR", "TID"};
const std::string KSelect =
    "select distinct USERS.UID, USERS.USERID, USERS.USERNAME, USERS.ISACTIVE, USERS.CREATED, USERS.LASTMODIFIED, "
    "USERS.CREATOR, USERS.TID from USERS";
const std::string KSubQuery =
    " USERS.UID in ( select USERS.UID from USERS left join USERSDETAIL on USERS.UID = USERSDETAIL.UID where";

std::unique_ptr<TQuery> QueryOf(std::map<std::string, std::string> AParams) {
  return TQueryHelper::QueryFromParams([&](const std::string& name, std::string& value) {
    auto it = AParams.find(name);
    if (it == AParams.end()) return false;
    value = it->second;
    return true;
  });
}

struct TStatement {
  std::string FSQL;
  TDBParams FParams;
};

template <class TWriter = TStandardQueryWriter>
TStatement WriteUsers(const TQuery* AQuery, int ATID = 1) {
  TWriter writer(AQuery, ATID, "USERS", "USERSDETAIL", "UID", "UID", KUserColumns);
  writer.Validate();
  TStatement s;
  writer.Write(s.FSQL, s.FParams);
  return s;
}

std::string Describe(const TDBScalar& v) {
  if (std::holds_alternative<TDBNull>(v)) return "null";
  if (auto p = std::get_if<int32_t>(&v)) return "i32:" + std::to_string(*p);
  if (auto p = std::get_if<int64_t>(&v)) return "i64:" + std::to_string(*p);
  if (auto p = std::get_if<double>(&v)) return "f:" + std::to_string(*p);
  if (auto p = std::get_if<bool>(&v)) return *p ? "true" : "false";
  if (auto p = std::get_if<std::string>(&v)) return "'" + *p + "'";
  return "ts:" + std::to_string(std::get<TDBTimestamp>(v).FMicroseconds);
}

std::string Describe(const TDBParams& AParams) {
  std::string out;
  for (const auto& [name, value] : AParams) {
    if (!out.empty()) out += " ";
    out += name + "=";
    if (value.FIsList) {
      out += "[" + std::to_string(value.FList.size()) + "]";
    } else {
      out += Describe(value.FScalar);
    }
  }
  return out;
}

struct TExactCase {
  const char* FName;
  std::map<std::string, std::string> FParams;
  std::string FSQL;
  std::string FParameters;
};

class QueryWriterExact : public testing::TestWithParam<TExactCase> {};

TEST_P(QueryWriterExact, WritesStatementAndParameters) {
  const auto& c = GetParam();
  auto query = QueryOf(c.FParams);
  const TStatement s = WriteUsers(query.get());
  EXPECT_EQ(s.FSQL, c.FSQL);
  EXPECT_EQ(Describe(s.FParams), c.FParameters);
}

INSTANTIATE_TEST_SUITE_P(
    Users, QueryWriterExact,
    testing::Values(
        TExactCase{"NoQuery", {}, KSelect + " where  (TID  =  :wparam1)", "wparam1=i32:1"},
        TExactCase{"StaticFilterAndLimit",
                   {{"where", R"({"creator":"bob"})"}, {"limit", "10"}},
                   KSelect + " where  (  (creator = :wparam1)) AND  (TID  =  :wparam2) rows 10",
                   "wparam1='bob' wparam2=i32:1"},
        TExactCase{"OrderSkipLimit",
                   {{"order", "-username"}, {"skip", "20"}, {"limit", "10"}},
                   KSelect + " where  (TID  =  :wparam1) order by username DESC rows 21 to 30",
                   "wparam1=i32:1"},
        TExactCase{"CustomField",
                   {{"where", R"({"city":"Rome"})"}},
                   "select distinct USERS.UID, USERS.USERID, USERS.USERNAME, USERS.ISACTIVE, USERS.CREATED, "
                   "USERS.LASTMODIFIED, USERS.CREATOR, USERS.TID from USERS join USERSDETAIL on USERS.UID = "
                   "USERSDETAIL.UID where  (  (TVALUE = :wparam2 and UPPER(TNAME) = UPPER(:wparam1))) AND  (TID  =  "
                   ":wparam3)",
                   "wparam1='city' wparam2='Rome' wparam3=i32:1"},
        TExactCase{"StaticAndCustom",
                   {{"where", R"({"username":{"$like":"a%"},"city":"Rome"})"}},
                   "select distinct USERS.UID, USERS.USERID, USERS.USERNAME, USERS.ISACTIVE, USERS.CREATED, "
                   "USERS.LASTMODIFIED, USERS.CREATOR, USERS.TID from USERS join USERSDETAIL on USERS.UID = "
                   "USERSDETAIL.UID where  (  (username LIKE :wparam1) and USERS.UID in ( select USERS.UID from "
                   "USERS left join USERSDETAIL on USERS.UID = USERSDETAIL.UID where (TVALUE = :wparam3 and "
                   "UPPER(TNAME) = UPPER(:wparam2)) ) ) AND  (TID  =  :wparam4)",
                   "wparam1='a%' wparam2='city' wparam3='Rome' wparam4=i32:1"},
        // Sorting on a custom field: the field's name is the first parameter, the filters move
        // into a sub-select, and items after the first close the previous sub-select.
        TExactCase{"DetailOrderWithTwoFilters",
                   {{"where", R"({"isactive":true,"creator":"bob"})"}, {"order", "city,-username"}},
                   "select distinct case when TVALUE is null then 1 else 0 end, TVALUE, USERS.UID, USERS.USERID, "
                   "USERS.USERNAME, USERS.ISACTIVE, USERS.CREATED, USERS.LASTMODIFIED, USERS.CREATOR, USERS.TID "
                   "from USERS left join USERSDETAIL on USERS.UID = USERSDETAIL.UID and UPPER(TNAME) = "
                   "UPPER(:wparam1) where " +
                       KSubQuery + " (  (isactive = :wparam2) ) " + " and" + KSubQuery +
                       " (creator = :wparam3)) AND  (TID  =  :wparam4) )  order by 1, TVALUE, 5 DESC",
                   "wparam1='city' wparam2=true wparam3='bob' wparam4=i32:1"},
        // Several filters sort static columns by position: key first, then the static columns.
        TExactCase{"PositionalSortWithTwoFilters",
                   {{"where", R"({"isactive":true,"creator":"bob"})"}, {"order", "username"}},
                   KSelect + " where  (  (isactive = :wparam1) and" + KSubQuery +
                       " (creator = :wparam2) ) ) AND  (TID  =  :wparam3) order by 3",
                   "wparam1=true wparam2='bob' wparam3=i32:1"}),
    [](const testing::TestParamInfo<TExactCase>& info) { return std::string(info.param.FName); });

TEST(QueryWriter, CountWithSeveralFiltersIsOneStatementOverAllFilters) {
  auto query = QueryOf({{"where", R"({"username":"bob","city":"Rome"})"}, {"order", "country"}, {"limit", "5"}});
  const TStatement s = WriteUsers<TCountQueryWriter>(query.get());
  // The sort list plays no part in a count, so it neither joins nor sorts nor pages.
  EXPECT_EQ(s.FSQL,
            "select count(distinct USERS.UID) as MCOUNT from USERS join USERSDETAIL on USERS.UID = USERSDETAIL.UID "
            "where  (  (username = :wparam1) and" +
                KSubQuery + " (TVALUE = :wparam3 and UPPER(TNAME) = UPPER(:wparam2)) ) ) AND  (TID  =  :wparam4)");
  auto single = QueryOf({{"where", R"({"username":"bob"})"}, {"order", "country"}});
  EXPECT_EQ(WriteUsers<TCountQueryWriter>(single.get()).FSQL,
            "select count(distinct USERS.UID) from USERS where  (  (username = :wparam1)) AND  (TID  =  :wparam2)");
}

TEST(QueryWriter, WithoutTenantKeyWritesAValidWhereOnlyWhenNeeded) {
  EXPECT_EQ(WriteUsers(nullptr, -1).FSQL, KSelect);
  auto query = QueryOf({{"where", R"({"$or":[{"username":"a"},{"username":"b"}],"creator":"c"})"}});
  const TStatement s = WriteUsers(query.get(), -1);
  // Groups keep their parentheses so that an OR never mixes with the AND around it.
  EXPECT_EQ(s.FSQL, KSelect + " where  (  (  (username = :wparam1) or" + KSubQuery +
                        " (username = :wparam2) ) ) and" + KSubQuery + " (creator = :wparam3) ) )");
  EXPECT_EQ(Describe(s.FParams), "wparam1='a' wparam2='b' wparam3='c'");
}

TEST(QueryWriter, MasterTable) {
  TQuery query;
  query.Limit = 3;
  TStandardQueryWriter writer(&query, 7, "USERS", "USERSDETAIL", "UID", "UID", {"USERNAME", "GROUPNAME"},
                              TCommonQueryWriter::TMasterAttribute::CreateFiltered("GROUPS", {"groupname"},
                                                                                   "GROUPID", "GID", int64_t{12}));
  TStatement s;
  writer.Write(s.FSQL, s.FParams);
  EXPECT_EQ(s.FSQL,
            "select distinct USERS.UID, USERS.USERNAME, GROUPS.GROUPNAME from GROUPS, USERS where  "
            "GROUPS.GROUPID=USERS.GID and GROUPS.GROUPID=:wparam1 AND  (TID  =  :wparam2) rows 3");
  EXPECT_EQ(Describe(s.FParams), "wparam1=i64:12 wparam2=i32:7");
}

TEST(QueryWriter, JoinKeepsEntitiesWithoutCustomFieldsWhenAFilterCanMatchThem) {
  struct {
    const char* FWhere;
    const char* FFrom;
  } cases[] = {
      {R"({"city":"Rome"})", "from USERS join USERSDETAIL"},
      {R"({"username":"a","city":"Rome"})", "from USERS join USERSDETAIL"},
      {R"({"$or":[{"username":"a"},{"city":"Rome"}]})", "from USERS left join USERSDETAIL"},
      {R"({"$or":[{"zip":"1"},{"city":"Rome"}]})", "from USERS join USERSDETAIL"},
      {R"({"city":{"$exists":false}})", "from USERS left join USERSDETAIL"},
      {R"({"city":{"$exists":true}})", "from USERS join USERSDETAIL"},
      {R"({"$and":[{"username":"a"},{"$or":[{"city":"Rome"},{"creator":"x"}]}]})", "from USERS left join USERSDETAIL"},
  };
  for (const auto& c : cases) {
    auto query = QueryOf({{"where", c.FWhere}});
    EXPECT_NE(WriteUsers(query.get()).FSQL.find(c.FFrom), std::string::npos) << c.FWhere;
  }
}

TEST(QueryWriter, CustomFieldValueExpressionFollowsTheValueKind) {
  struct {
    const char* FWhere;
    const char* FExpression;
    const char* FParams;
  } cases[] = {
      {R"({"age":{"$gt":5}})", "CASE WHEN TVALUE SIMILAR TO", "wparam1='age' wparam2=i64:5"},
      {R"({"age":{"$gt":1,"$lte":9.5}})", "THEN CAST(TVALUE AS DOUBLE PRECISION) END <= :wparam3",
       "wparam1='age' wparam2=i64:1 wparam3=f:9.500000"},
      {R"({"born":{"$lt":"2020-01-01T10:00:00.5Z"}})", "' 00:00:00.0000' FROM", "wparam1='born' wparam2='2020-01-01 10:00:00.5000'"},
      {R"({"vip":true})", " (TVALUE = :wparam2 and", "wparam1='vip' wparam2='true'"},
      {R"({"code":{"$like":7}})", " (TVALUE LIKE :wparam2 and", "wparam1='code' wparam2='7'"},
      {R"({"age":{"$in":[1,2]}})", "and CASE WHEN TVALUE SIMILAR TO", "wparam1='age' wparam2=i64:1 wparam3=i64:2"},
      {R"({"age":{"$in":[1,"x"]}})", "and TVALUE IN (:wparam2, :wparam3 ))", "wparam1='age' wparam2='1' wparam3='x'"},
  };
  for (const auto& c : cases) {
    auto query = QueryOf({{"where", c.FWhere}});
    const TStatement s = WriteUsers(query.get());
    EXPECT_NE(s.FSQL.find(c.FExpression), std::string::npos) << c.FWhere << "\n" << s.FSQL;
    EXPECT_EQ(Describe(s.FParams), std::string(c.FParams) + " wparam" + std::to_string(s.FParams.size()) + "=i32:1")
        << c.FWhere;
  }
}

TEST(QueryWriter, InListsUseTheListTableForLongTextListsAndEmptyLists) {
  auto listOf = [](int n, bool text) {
    std::string json = "[";
    for (int i = 0; i < n; ++i) json += (i ? "," : "") + (text ? "\"v" + std::to_string(i) + "\"" : std::to_string(i));
    return json + "]";
  };
  const std::string tempstrings = R"((SELECT "VALUE" FROM "TEMPSTRINGS" WHERE "PARAM" = 'wparam1' ))";
  {
    auto query = QueryOf({{"where", R"({"username":{"$in":)" + listOf(31, true) + "}}"}});
    const TStatement s = WriteUsers(query.get());
    EXPECT_NE(s.FSQL.find(" (username IN " + tempstrings + ")"), std::string::npos) << s.FSQL;
    ASSERT_TRUE(s.FParams[0].second.FIsList);
    EXPECT_EQ(s.FParams[0].second.FList.size(), 31u);
    EXPECT_EQ(std::get<std::string>(s.FParams[0].second.FList[30]), "v30");
  }
  {
    auto query = QueryOf({{"where", R"({"username":{"$nin":)" + listOf(30, true) + "}}"}});
    const TStatement s = WriteUsers(query.get());
    EXPECT_NE(s.FSQL.find(" (username NOT IN (:wparam1, :wparam2, "), std::string::npos) << s.FSQL;
    EXPECT_NE(s.FSQL.find(":wparam30 ))"), std::string::npos);
    EXPECT_EQ(s.FParams.size(), 31u);
  }
  {
    auto query = QueryOf({{"where", R"({"userid":{"$in":)" + listOf(31, false) + "}}"}});
    EXPECT_EQ(WriteUsers(query.get()).FParams.size(), 32u);
  }
  {
    auto query = QueryOf({{"where", R"({"city":{"$in":)" + listOf(31, true) + "}}"}});
    const TStatement s = WriteUsers(query.get());
    EXPECT_NE(s.FSQL.find("and TVALUE IN (SELECT \"VALUE\" FROM \"TEMPSTRINGS\" WHERE \"PARAM\" = 'wparam2' ))"),
              std::string::npos)
        << s.FSQL;
  }
  {
    auto query = QueryOf({{"where", R"({"username":{"$in":[]}})"}});
    const TStatement s = WriteUsers(query.get());
    EXPECT_NE(s.FSQL.find(" (username IN " + tempstrings + ")"), std::string::npos) << s.FSQL;
    EXPECT_TRUE(s.FParams[0].second.FIsList);
  }
}

// Attribute names reach the text only when they are one of the entity's own columns; anything
// else, however it is spelt, is a custom field and travels as a parameter.
TEST(QueryWriter, ClientNamesNeverReachTheStatement) {
  const std::string hostile[] = {"username; drop table USERS", "username--", "USERNAME)", "x' or '1'='1",
                                 "usernam\xC3\xA9"};
  for (const auto& name : hostile) {
    for (const char* op : {"", "$gt", "$in", "$exists"}) {
      rapidjson::Document d;
      d.SetObject();
      rapidjson::Value operand;
      if (std::string(op).empty()) operand.SetString("v", d.GetAllocator());
      else {
        operand.SetObject();
        rapidjson::Value inner;
        if (std::string(op) == "$in") inner.SetArray().PushBack(1, d.GetAllocator());
        else if (std::string(op) == "$exists") inner.SetBool(true);
        else inner.SetInt(1);
        operand.AddMember(rapidjson::Value(op, d.GetAllocator()), inner, d.GetAllocator());
      }
      d.AddMember(rapidjson::Value(name.c_str(), d.GetAllocator()), operand, d.GetAllocator());
      TQuery query;
      ParseJSONFilters(d, query.Filters());
      query.OrderBy().Add(name, TQuery::TDirection::Ascending);
      const TStatement s = WriteUsers(&query);
      EXPECT_EQ(s.FSQL.find(name), std::string::npos) << s.FSQL;
      EXPECT_EQ(std::get<std::string>(s.FParams[0].second.FScalar), name);
    }
  }
}

struct TErrorCase {
  std::map<std::string, std::string> FParams;
  std::string FMessage;
};

TEST(QueryWriter, ValidationRefusesWhatCannotBeWritten) {
  const TErrorCase cases[] = {
      {{{"skip", "5"}}, "Skip not allowed without Limit"},
      {{{"limit", "-1"}}, "Unexpected query string"},
      {{{"skip", "-3"}, {"limit", "2"}}, "Unexpected query string"},
      {{{"order", "city,username,zip"}},
       "Order by not supported on multiple detail columns: zip.  Order by USERID, USERNAME, ISACTIVE, CREATED, "
       "LASTMODIFIED, CREATOR or TID"},
      {{{"order", "city desc"}},
       "Order by not supported on multiple detail columns: desc.  Order by USERID, USERNAME, ISACTIVE, CREATED, "
       "LASTMODIFIED, CREATOR or TID"},
      {{{"where", R"({"age":{"$gt":1,"$lt":"x"}})"}}, "Range filter values must be same data type"},
      {{{"where", R"({"created":{"$gt":"2020-01-01","$lt":5}})"}}, "Range filter values must be same data type"},
  };
  for (const auto& c : cases) {
    auto query = QueryOf(c.FParams);
    try {
      WriteUsers(query.get());
      ADD_FAILURE() << "no failure for " << c.FMessage;
    } catch (const EQueryException& e) {
      EXPECT_EQ(std::string(e.what()), c.FMessage);
      EXPECT_EQ(e.GetCode(), 400);
    }
  }
  TQuery q;
  q.OrderBy().Add("a", TQuery::TDirection::Ascending);
  q.OrderBy().Add("b", TQuery::TDirection::Ascending);
  TStandardQueryWriter writer(&q, 1, "T", "D", "K", "K", {"ONLY"});
  EXPECT_THROW(
      {
        try {
          writer.Validate();
        } catch (const EQueryException& e) {
          EXPECT_STREQ(e.what(), "Order by not supported on multiple detail columns: b.  Order by ONLY");
          throw;
        }
      },
      EQueryException);
}

TEST(QueryWriter, BuildQuerySQLKnowsTwoWriters) {
  TBaseAPI api(nullptr);  // no tenant scope, no database needed to write
  std::string sql;
  TDBParams params;
  TQuery query;
  query.Limit = 2;
  api.BuildQuerySQL(&query, {"USERS", "USERSDETAIL", "UID", "UID"}, KUserColumns, {}, TQueryWriterKind::Count, sql,
                    params);
  EXPECT_EQ(sql, "select count(distinct USERS.UID) from USERS");
  api.BuildQuerySQL(&query, {"USERS", "USERSDETAIL", "UID", "UID"}, KUserColumns, {}, TQueryWriterKind::Standard, sql,
                    params);
  EXPECT_EQ(sql, KSelect + " rows 2");
  try {
    api.BuildQuerySQL(&query, {"USERS", "USERSDETAIL", "UID", "UID"}, KUserColumns, {},
                      static_cast<TQueryWriterKind>(7), sql, params);
    FAIL();
  } catch (const EBaseAPIError& e) {
    EXPECT_STREQ(e.what(), "Unknown query writer");
  }
}

TEST(QueryWriter, UnknownFilterClassIsRefused) {
  TQuery query;
  query.Filters().Add(std::make_unique<TFilterItemGroup>());
  try {
    WriteUsers(&query);
    FAIL();
  } catch (const EQueryException& e) {
    EXPECT_STREQ(e.what(), "Unknown filter: TFilterItemGroup");
  }
}

TEST(QueryWriter, SortOnCustomFieldAfterStaticColumnSelectsTheValue) {
  auto query = QueryOf({{"order", "username,-city"}, {"limit", "5"}});
  const TStatement s = WriteUsers(query.get());
  EXPECT_EQ(s.FSQL,
            "select distinct case when TVALUE is null then 1 else 0 end, TVALUE, USERS.UID, USERS.USERID, "
            "USERS.USERNAME, USERS.ISACTIVE, USERS.CREATED, USERS.LASTMODIFIED, USERS.CREATOR, USERS.TID from USERS "
            "left join USERSDETAIL on USERS.UID = USERSDETAIL.UID and UPPER(TNAME) = UPPER(:wparam1) where  (TID  =  "
            ":wparam2) order by username, 1, TVALUE DESC rows 5");
}

TEST(QueryWriter, ExistsFalseOnCustomFieldLooksForAnyRowOfThatName) {
  auto query = QueryOf({{"where", R"({"city":{"$exists":false}})"}});
  EXPECT_EQ(WriteUsers(query.get()).FSQL,
            KSelect + " left join USERSDETAIL on USERS.UID = USERSDETAIL.UID where  (  (NOT EXISTS (select 1 from "
                      "USERSDETAIL XD where XD.UID = USERS.UID and UPPER(XD.TNAME) = UPPER(:wparam1)))) AND  (TID  =  "
                      ":wparam2)");
}

}  // namespace
