// Request parameters and the `where` object to a TQuery.
#include <gtest/gtest.h>

#include <map>

#include <rapidjson/document.h>

#include "Kelvo.QueryFromJSON.h"
#include "KelvoHosting.Endpoints.h"
#include "KelvoServer.Helpers.h"

namespace {

std::unique_ptr<TQuery> QueryOf(const std::map<std::string, std::string>& AParams) {
  return TQueryHelper::QueryFromParams([&](const std::string& name, std::string& value) {
    auto it = AParams.find(name);
    if (it == AParams.end()) return false;
    value = it->second;
    return true;
  });
}

// The 400 reply's description for bad parameters, or "" when they are accepted.
std::string RefusalOf(const std::map<std::string, std::string>& AParams) {
  try {
    QueryOf(AParams);
    return "";
  } catch (const EKelvoHTTPError& e) {
    EXPECT_EQ(e.GetCode(), 400);
    EXPECT_EQ(e.GetError(), "");
    return e.GetDescription();
  }
}

struct TRefusal {
  std::string FWhere;
  std::string FMessage;
};

class QueryParserRefusal : public testing::TestWithParam<TRefusal> {};

TEST_P(QueryParserRefusal, Is400WithTheText) {
  EXPECT_EQ(RefusalOf({{"where", GetParam().FWhere}}), GetParam().FMessage);
}

INSTANTIATE_TEST_SUITE_P(
    Where, QueryParserRefusal,
    testing::Values(TRefusal{"[1,2]", "Unable to parse JSON"}, TRefusal{"{\"a\":", "Unable to parse JSON"},
                    TRefusal{"\"text\"", "Unable to parse JSON"}, TRefusal{"{\"a\":1} x", "Unable to parse JSON"},
                    TRefusal{R"({"age":{"$gt":1,"$foo":9}})", "Unexpected operator: $foo"},
                    TRefusal{R"({"age":{"$foo":1,"$gt":9}})", "Unexpected operator: $foo"},
                    TRefusal{R"({"age":{"$gt":1,"$e":9}})", "Unexpected operator: $e"},
                    TRefusal{R"({"age":{"$foo":1}})", "Unexpected operator: $foo"},
                    TRefusal{R"({"age":{"$eq":1}})", "Unexpected operator: $eq"},
                    TRefusal{R"({"age":{"$GT":1}})", "Unexpected operator: $GT"},
                    TRefusal{R"({"age":{}})", "Unexpected JSON: {}"},
                    TRefusal{R"({"age":{"$gt":1,"$lt":5,"$ne":3}})", R"(Unexpected JSON: {"$gt":1,"$lt":5,"$ne":3})"},
                    TRefusal{R"({"$or":{"a":1}})", R"(Unexpected JSON: {"a":1})"},
                    TRefusal{R"({"$and":[{"a":1},2]})", "Unexpected JSON: 2"},
                    TRefusal{R"({"a":{"$in":5}})", "Unexpected JSON: 5"},
                    TRefusal{R"({"a":{"$nin":{"x":[1]}}})", R"(Unexpected JSON: {"x":[1]})"},
                    TRefusal{R"({"a":[1, "b"]})", R"(Unexpected JSON: [1,"b"])"},
                    TRefusal{R"({"a":{"$e":{"x":1}}})", R"(Unexpected JSON: {"x":1})"},
                    TRefusal{R"({"a":{"$in":[1,[2]]}})", "Unexpected JSON: [2]"},
                    TRefusal{R"({"a":{"$gt":[1],"$lt":2}})", "Unexpected JSON: [1]"},
                    TRefusal{R"({"flag":{"$exists":"yes"}})", "Boolean argment expected"},
                    TRefusal{R"({"flag":{"$exists":1}})", "Boolean argment expected"}));

TEST(QueryParser, ParametersThatGiveNoQueryOrAreRefused) {
  EXPECT_EQ(QueryOf({}), nullptr);
  EXPECT_EQ(QueryOf({{"where", ""}, {"order", ""}, {"skip", ""}, {"limit", ""}}), nullptr);
  const std::map<std::string, std::string> refused[] = {
      {{"skip", "abc"}}, {{"limit", "1.5"}}, {{"limit", "0x10"}}, {{"skip", "99999999999"}}, {{"limit", " 5"}},
      {{"skip", "-"}},
  };
  for (const auto& params : refused) EXPECT_EQ(RefusalOf(params), "Unexpected query string") << params.begin()->second;

  auto query = QueryOf({{"limit", "0"}});
  ASSERT_NE(query, nullptr);
  EXPECT_FALSE(query->HasLimit());
  query = QueryOf({{"skip", "+5"}, {"limit", "-2"}});
  EXPECT_EQ(query->Skip, 5);
  EXPECT_EQ(query->Limit, -2);
  EXPECT_TRUE(query->HasLimit());
}

TEST(QueryParser, ReadsTheRequestParametersIgnoringCase) {
  TEndpointParamsImpl params;
  params.Add("Where", R"({"city":"Rome"})");
  params.Add("LIMIT", "10");
  params.Add("Order", "-username");
  params.Add("skip", "4");
  params.Add("limit", "99");  // the first pair of a name counts
  auto query = TQueryHelper::QueryFromParams(params);
  ASSERT_NE(query, nullptr);
  EXPECT_EQ(query->Filters().Count(), 1);
  EXPECT_EQ(query->Limit, 10);
  EXPECT_EQ(query->Skip, 4);
  ASSERT_EQ(query->OrderBy().Count(), 1);
  EXPECT_EQ(query->OrderBy().GetItem(0).Direction, TQuery::TDirection::Descending);
  TEndpointParamsImpl other;
  other.Add("id", "5");
  EXPECT_EQ(TQueryHelper::QueryFromParams(other), nullptr);
}

TEST(QueryParser, HostileWhereIsRefusedWithoutExhaustingTheStack) {
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += R"({"$or":[)";
  deep += R"({"a":1})";
  for (int i = 0; i < 10000; ++i) deep += "]}";
  EXPECT_EQ(RefusalOf({{"where", deep}}), "Query filters nested too deeply");

  std::string brackets(3 * 1024 * 1024, '[');
  EXPECT_EQ(RefusalOf({{"where", brackets}}), "Query filter too long");
  std::string big = R"({"a":{"$in":[)";
  while (big.size() < 4 * 1024 * 1024) big += "123456789,";
  big += "1]}}";
  EXPECT_EQ(RefusalOf({{"where", big}}), "Query filter too long");

  // Depth cap at the filter level for callers that hand over a parsed document.
  auto nested = [](int levels) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += R"({"$and":[)";
    s += R"({"a":1})";
    for (int i = 0; i < levels; ++i) s += "]}";
    return s;
  };
  EXPECT_EQ(RefusalOf({{"where", nested(KMaxFilterGroupDepth)}}), "");
  rapidjson::Document d;
  d.Parse(nested(KMaxFilterGroupDepth + 1).c_str());
  TFilters filters;
  EXPECT_THROW(ParseJSONFilters(d, filters), EQueryParserException);
  EXPECT_EQ(filters.Count(), 0);
}

TEST(QueryParser, FailureLeavesNoFilters) {
  rapidjson::Document d;
  d.Parse(R"({"a":1,"$or":[{"b":2}],"c":{"$foo":1}})");
  TFilters filters;
  try {
    ParseJSONFilters(d, filters);
    FAIL();
  } catch (const EQueryParserException& e) {
    EXPECT_STREQ(e.what(), "Unexpected operator: $foo");
  }
  EXPECT_EQ(filters.Count(), 0);
}

TEST(QueryParser, BuildsTheFilterTreeInMemberOrder) {
  auto query = QueryOf({{"where", R"({"age":{"$gt":1,"$lte":9},"$or":[{"city":"Rome","x":{"$exists":false}},)"
                                  R"({"name":{"$nlike":"a%"}}],"tag":{"$nin":[1,"b",null]},"n":null,"v":{"$e":true}})"}});
  ASSERT_NE(query, nullptr);
  const TFilters& f = query->Filters();
  ASSERT_EQ(f.Count(), 5);

  auto& range = dynamic_cast<TRangeFilter&>(f.GetItem(0));
  EXPECT_EQ(range.Attribute, "age");
  EXPECT_EQ(range.Op1, TRangeFilter::TOperator::gt);
  EXPECT_EQ(range.Op2, TRangeFilter::TOperator::lte);
  EXPECT_EQ(std::get<int64_t>(range.Value1), 1);
  EXPECT_EQ(std::get<int64_t>(range.Value2), 9);

  auto& group = dynamic_cast<TOrFilter&>(f.GetItem(1));
  ASSERT_EQ(group.Filters.Count(), 3);  // members of every element, in order
  EXPECT_EQ(dynamic_cast<TSimpleFilter&>(group.Filters.GetItem(0)).Attribute, "city");
  EXPECT_FALSE(dynamic_cast<TExistsFilter&>(group.Filters.GetItem(1)).Exists);
  EXPECT_EQ(dynamic_cast<TSimpleFilter&>(group.Filters.GetItem(2)).Op, TSimpleFilter::TOperator::nlike);
  EXPECT_TRUE(group.GetAttributes().empty());

  auto& in = dynamic_cast<TInFilter&>(f.GetItem(2));
  EXPECT_EQ(in.Op, TInFilter::TOperator::ninop);
  ASSERT_EQ(in.Values.size(), 3u);
  EXPECT_EQ(std::get<std::string>(in.Values[1]), "b");
  EXPECT_TRUE(std::holds_alternative<TDBNull>(in.Values[2]));

  EXPECT_TRUE(std::holds_alternative<TDBNull>(dynamic_cast<TSimpleFilter&>(f.GetItem(3)).Value));
  auto& e = dynamic_cast<TSimpleFilter&>(f.GetItem(4));
  EXPECT_EQ(e.Op, TSimpleFilter::TOperator::eq);
  EXPECT_EQ(std::get<bool>(e.Value), true);
  EXPECT_EQ(e.GetAttributes(), std::vector<std::string>{"v"});
}

int64_t Micros(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int us = 0) {
  std::tm tm{};
  tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
  return int64_t{timegm(&tm)} * 1000000 + us;
}

TEST(QueryParser, ConvertsValues) {
  struct {
    const char* FJSON;
    TDBScalar FValue;
  } cases[] = {
      {"5", int64_t{5}},
      {"-5.0", int64_t{-5}},
      {"1e3", int64_t{1000}},
      {"9223372036854775807", int64_t{9223372036854775807}},
      {"18446744073709551615", 18446744073709551615.0},
      {"2.5", 2.5},
      {"1e300", 1e300},
      {"true", true},
      {"false", false},
      {"null", TDBNull{}},
      {"\"Rome\"", std::string("Rome")},
      {"\"12\"", std::string("12")},
      {"\"2024-03-05\"", TDBTimestamp{Micros(2024, 3, 5)}},
      {"\"2024-03-05T10:11:12.123Z\"", TDBTimestamp{Micros(2024, 3, 5, 10, 11, 12, 123000)}},
      {"\"2024-03-05 10:11\"", TDBTimestamp{Micros(2024, 3, 5, 10, 11)}},
      {"\"03/05/2024\"", TDBTimestamp{Micros(2024, 3, 5)}},
      {"\"3/5/2024 7:08:09\"", TDBTimestamp{Micros(2024, 3, 5, 7, 8, 9)}},
      {"\"2024/03/05 10:11:12.5\"", TDBTimestamp{Micros(2024, 3, 5, 10, 11, 12, 500000)}},
      {"\"02/29/2024\"", TDBTimestamp{Micros(2024, 2, 29)}},
      {"\"02/29/2023\"", std::string("02/29/2023")},
      {"\"13/05/2024\"", std::string("13/05/2024")},
      {"\"2024-02-30\"", std::string("2024-02-30")},
      {"\"2024-03-05 25:00\"", std::string("2024-03-05 25:00")},
      {"\"2024-03-05x\"", std::string("2024-03-05x")},
  };
  for (const auto& c : cases) {
    rapidjson::Document d;
    d.Parse(c.FJSON);
    EXPECT_EQ(QueryValueFromJSON(d), c.FValue) << c.FJSON;
  }
  TDBTimestamp shifted;
  ASSERT_TRUE(TryParseQueryDate("2024-01-01 00:30", shifted, 60));
  EXPECT_EQ(shifted.FMicroseconds, Micros(2023, 12, 31, 23, 30));
}

TEST(QueryParser, OrderItems) {
  using D = TQuery::TDirection;
  struct {
    const char* FText;
    std::vector<std::pair<std::string, D>> FItems;
  } cases[] = {
      {"a,-b,+c", {{"a", D::Ascending}, {"b", D::Descending}, {"c", D::Ascending}}},
      {"  username desc ", {{"username", D::Ascending}, {"desc", D::Ascending}}},
      {"a,,\t-b\n", {{"a", D::Ascending}, {"b", D::Descending}}},
      {"\"a b\",-\"c,d\"", {{"a b", D::Ascending}, {"c,d", D::Descending}}},
      {"-,+,", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    TQuery::TOrderBy order;
    EXPECT_TRUE(TQueryHelper::ParseOrderBy(c.FText, order));
    std::vector<std::pair<std::string, D>> items;
    for (int i = 0; i < order.Count(); ++i) items.emplace_back(order.GetItem(i).FieldName, order.GetItem(i).Direction);
    EXPECT_EQ(items, c.FItems) << c.FText;
  }
}

}  // namespace
