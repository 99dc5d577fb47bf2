// Parsing and writing a typical list query: three filters (one on a custom field), a sort and a limit.
#include <benchmark/benchmark.h>

#include <map>

#include "Kelvo.QueryToSQL.h"
#include "KelvoServer.Helpers.h"

namespace {

const std::vector<std::string> KUserColumns = {"USERID", "USERNAME", "ISACTIVE", "CREATED", "LASTMODIFIED",
                                               "CREATOR", "TID"};
const std::map<std::string, std::string> KParams = {
    {"where", R"({"username":{"$like":"a%"},"isactive":true,"city":"Rome"})"}, {"order", "-created"}, {"limit", "20"}};

bool Lookup(const std::string& name, std::string& value) {
  auto it = KParams.find(name);
  if (it == KParams.end()) return false;
  value = it->second;
  return true;
}

void BM_QueryParse(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(TQueryHelper::QueryFromParams(Lookup));
}
BENCHMARK(BM_QueryParse);

void BM_QueryWrite(benchmark::State& state) {
  auto query = TQueryHelper::QueryFromParams(Lookup);
  for (auto _ : state) {
    TStandardQueryWriter writer(query.get(), 1, "USERS", "USERSDETAIL", "UID", "UID", KUserColumns);
    writer.Validate();
    std::string sql;
    TDBParams params;
    writer.Write(sql, params);
    benchmark::DoNotOptimize(sql);
  }
}
BENCHMARK(BM_QueryWrite);

void BM_QueryParseAndWrite(benchmark::State& state) {
  for (auto _ : state) {
    auto query = TQueryHelper::QueryFromParams(Lookup);
    TStandardQueryWriter writer(query.get(), 1, "USERS", "USERSDETAIL", "UID", "UID", KUserColumns);
    writer.Validate();
    std::string sql;
    TDBParams params;
    writer.Write(sql, params);
    benchmark::DoNotOptimize(sql);
  }
}
BENCHMARK(BM_QueryParseAndWrite);

}  // namespace

// ---- a list query on a real database ---------------------------------------------------------

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "KelvoData.Schema.h"
#include "KelvoServer.BaseAPI.h"

namespace {

const TEntityParams KUsers{"USERS", "USERSDETAIL", "UID", "UID"};
constexpr int KUserCount = 10000;

// 10,000 users of tenant 1 (and 1,000 of tenant 2), each with three custom fields, in a fresh
// database file that is removed when the process ends.
class TBenchDatabase {
 public:
  TBenchDatabase() {
    char dir[] = "/tmp/kelvo-query-bench-XXXXXX";
    FDir = mkdtemp(dir);
    TFBConnectParams params;
    params.FConnectString = FDir + "/bench.fdb";
    params.FEmbedded = true;
    params.FUserName = "SYSDBA";
    params.FCharacterSet = "UTF8";
    const auto schema = std::filesystem::path(__FILE__).parent_path().parent_path() / "server/db/schema.sql";
    std::ifstream in(schema);
    std::stringstream text;
    text << in.rdbuf();
    CreateKelvoDatabase(params, text.str());
    params.FPooled = true;
    TFBConnectionDefs::Add("QUERY_BENCH", params);

    TConnectionObject conn("QUERY_BENCH");
    conn.StartTransaction();
    static const char* const KCities[] = {"Rome", "Paris", "Oslo", "Lima", "Kyiv", "Bern", "Riga", "Nice"};
    std::vector<TDBParams> users, details;
    for (int t = 1; t <= 2; ++t) {
      conn.Connection().Execute("insert into TENANTS (TID, TENANTID, ISACTIVE) values (:t, :id, 1)",
                                {{"t", TDBParamValue(int32_t{t})}, {"id", TDBParamValue("bench" + std::to_string(t))}});
      for (int i = 0; i < (t == 1 ? KUserCount : KUserCount / 10); ++i) {
        const int uid = t * 100000 + i;
        users.push_back({{"uid", TDBParamValue(int32_t{uid})},
                         {"userid", TDBParamValue("u" + std::to_string(uid))},
                         {"username", TDBParamValue("user" + std::to_string(i))},
                         {"tid", TDBParamValue(int32_t{t})}});
        details.push_back({{"uid", TDBParamValue(int32_t{uid})}, {"n", TDBParamValue(std::string("city"))},
                           {"v", TDBParamValue(std::string(KCities[i % 8]))}});
        details.push_back({{"uid", TDBParamValue(int32_t{uid})}, {"n", TDBParamValue(std::string("age"))},
                           {"v", TDBParamValue(std::to_string(18 + i % 60))}});
        details.push_back({{"uid", TDBParamValue(int32_t{uid})}, {"n", TDBParamValue(std::string("vip"))},
                           {"v", TDBParamValue(std::string(i % 5 ? "false" : "true"))}});
      }
    }
    conn.Connection().ExecuteBatch(
        "insert into USERS (UID, USERID, USERNAME, ISACTIVE, TID) values (:uid, :userid, :username, 1, :tid)", users);
    conn.Connection().ExecuteBatch("insert into USERSDETAIL (UID, TNAME, TVALUE) values (:uid, :n, :v)", details);
    conn.Commit();
  }
  ~TBenchDatabase() {
    TFBConnectionDefs::Close("QUERY_BENCH");
    std::filesystem::remove_all(FDir);
  }

 private:
  std::string FDir;
};

TBenchDatabase& BenchDatabase() {
  static TBenchDatabase db;
  return db;
}

void RunListQuery(benchmark::State& state, const std::map<std::string, std::string>& AParams, TQueryWriterKind AKind) {
  BenchDatabase();
  size_t rows = 0;
  for (auto _ : state) {
    TConnectionObject conn("QUERY_BENCH");
    auto query = TQueryHelper::QueryFromParams([&](const std::string& name, std::string& value) {
      auto it = AParams.find(name);
      if (it == AParams.end()) return false;
      value = it->second;
      return true;
    });
    TBaseWithTenantAPI api(&conn, "bench1");
    TCommonDAO dao(&conn, KUsers);
    std::string sql;
    TDBParams params;
    api.BuildQuerySQL(query.get(), KUsers, KUserColumns, {}, AKind, sql, params);
    if (AKind == TQueryWriterKind::Count) rows = static_cast<size_t>(dao.GetTotalFiltered(sql, params));
    else rows = dao.GetAll(sql, params)->RecordCount();
  }
  state.counters["rows"] = static_cast<double>(rows);
}

// One page of the users of a city, sorted by name.
void BM_DBListCustomFilterPage(benchmark::State& state) {
  RunListQuery(state, {{"where", R"({"city":"Rome"})"}, {"order", "username"}, {"limit", "50"}},
               TQueryWriterKind::Standard);
}
BENCHMARK(BM_DBListCustomFilterPage)->Unit(benchmark::kMillisecond);

// Every match of a numeric custom-field test together with a static one.
void BM_DBListNumericFilterAll(benchmark::State& state) {
  RunListQuery(state, {{"where", R"({"age":{"$gte":70},"username":{"$like":"user1%"}})"}},
               TQueryWriterKind::Standard);
}
BENCHMARK(BM_DBListNumericFilterAll)->Unit(benchmark::kMillisecond);

// A page sorted on a custom field.
void BM_DBListSortOnCustomField(benchmark::State& state) {
  RunListQuery(state, {{"where", R"({"vip":true})"}, {"order", "-city"}, {"limit", "50"}},
               TQueryWriterKind::Standard);
}
BENCHMARK(BM_DBListSortOnCustomField)->Unit(benchmark::kMillisecond);

// The total for the same filter.
void BM_DBCountCustomFilter(benchmark::State& state) {
  RunListQuery(state, {{"where", R"({"city":"Rome"})"}}, TQueryWriterKind::Count);
}
BENCHMARK(BM_DBCountCustomFilter)->Unit(benchmark::kMillisecond);

}  // namespace
