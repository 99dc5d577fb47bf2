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
