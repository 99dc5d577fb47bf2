// Analytics rows in a real database: batches as the table sees them, tenant keys, shut-down,
// the synchronous path and the helper the request pipeline calls.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include "FirebirdTestSupport.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.LogAPI.h"
#include "KelvoServer.LogWriter.h"
#include "KelvoServer.MEAPThreadPool.h"

namespace {

using namespace std::chrono_literals;

struct TStoredRow {
  std::string FResource, FEndpoint, FMethod, FUserID, FCustom;
  std::optional<int32_t> FTID;
  TDBTimestamp FTime;
};

TDBTimestamp LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return TDBTimestamp{static_cast<int64_t>(::timegm(&local)) * 1000000};
}

class LogAPIDatabase : public TFirebirdSuite {
 protected:
  void SetUp() override {
    FConn = std::make_unique<TConnectionObject>();
    TLogAPI(FConn.get()).DeleteAllLogs();
  }

  int RowCount() {
    return FConn->Connection().Query("select count(*) as N from LOG")->AsInteger("N");
  }
  // Polls the table (each query sees what is committed by then); gives up after 10 s.
  bool WaitForRows(int at_least) {
    for (int i = 0; i < 2000; ++i) {
      if (RowCount() >= at_least) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  std::vector<TStoredRow> Rows() {
    auto ds = FConn->Connection().Query(
        "select \"RESOURCE\", \"ENDPOINT\", \"METHOD\", \"USERID\", \"ATIME\", \"CUSTOM\", \"TID\" "
        "from LOG order by \"USERID\"");
    std::vector<TStoredRow> rows;
    for (ds->First(); !ds->Eof(); ds->Next()) {
      TStoredRow row{ds->AsString("RESOURCE"), ds->AsString("ENDPOINT"), ds->AsString("METHOD"),
                     ds->AsString("USERID"),   ds->AsString("CUSTOM"),   std::nullopt,
                     ds->AsDateTime("ATIME")};
      if (!ds->IsNull("TID")) row.FTID = ds->AsInteger("TID");
      rows.push_back(row);
    }
    return rows;
  }

  std::unique_ptr<TConnectionObject> FConn;
};

TLogEndpoint Row(const std::string& user, const std::string& tenant = "") {
  return TLogEndpoint("Users", "GetUser", "GET", user, std::chrono::system_clock::now(), "",
                      tenant);
}

}  // namespace

TEST_F(LogAPIDatabase, BurstIsWrittenAsFullBatchesThenTheRestAfterTheQuietPeriod) {
  TLogAPI api(FConn.get());
  for (int n = 0; n < 250; ++n) api.Log(Row(std::to_string(1000 + n)), true);
  ASSERT_TRUE(WaitForRows(200));
  EXPECT_EQ(RowCount(), 200);  // the partial batch waits for the quiet period
  ASSERT_TRUE(WaitForRows(250));
  EXPECT_EQ(RowCount(), 250);
  api.Shutdown();
  EXPECT_EQ(RowCount(), 250);
}

TEST_F(LogAPIDatabase, ShutdownWritesPendingRows) {
  TLogAPI api(FConn.get());
  for (int n = 0; n < 30; ++n) api.Log(Row(std::to_string(n)), true);
  api.Shutdown();
  EXPECT_EQ(RowCount(), 30);
  api.Log(Row("late"), true);  // after shut-down: not taken, and no crash
  api.Shutdown();
  EXPECT_EQ(RowCount(), 30);
}

TEST_F(LogAPIDatabase, ValuesAndTenantKeysAsStored) {
  FConn->Connection().Execute(
      "insert into TENANTS (TID, TENANTID, TENANTNAME, ISACTIVE) values (:tid, :id, :name, :active)",
      {{"tid", TDBScalar(int32_t{41})}, {"id", TDBScalar(std::string("tenant-a"))},
       {"name", TDBScalar(std::string("A"))}, {"active", TDBScalar(int32_t{1})}});
  FConn->Connection().Execute(
      "insert into TENANTS (TID, TENANTID, TENANTNAME, ISACTIVE) values (:tid, :id, :name, :active)",
      {{"tid", TDBScalar(int32_t{42})}, {"id", TDBScalar(std::string("tenant-off"))},
       {"name", TDBScalar(std::string("Off"))}, {"active", TDBScalar(int32_t{0})}});

  struct TCase {
    TLogEndpoint FRow;
    std::optional<int32_t> FTID;
  };
  const auto now = std::chrono::system_clock::now();
  const TCase cases[] = {
      {TLogEndpoint("Users", "LoginUser", "POST", "u1", now, "", "tenant-a"), 41},
      {TLogEndpoint("Users", "GetUser", "GET", "u2", now, "", "no-such-tenant"), std::nullopt},
      {TLogEndpoint("Users", "GetUser", "GET", "u3", now, "", "tenant-off"), std::nullopt},
      {TLogEndpoint("Users", "GetUser", "GET", "u4", now, "", ""), std::nullopt},
      {TLogEndpoint("Users", "AddUser", "POST", "u5", "new-user-id", 41, now), 41},
  };
  TLogAPI api(FConn.get());
  for (const auto& c : cases) api.Log(c.FRow, true);
  // A method text longer than its column must not cost the batch it travels in.
  api.Log(TLogEndpoint("Users", "GetUser", std::string(50, 'M'), "u6", now, "", ""), true);
  api.Shutdown();

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 6u);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(rows[i].FUserID);
    EXPECT_EQ(rows[i].FResource, cases[i].FRow.Resource);
    EXPECT_EQ(rows[i].FEndpoint, cases[i].FRow.EndpointName);
    EXPECT_EQ(rows[i].FMethod, cases[i].FRow.Method);
    EXPECT_EQ(rows[i].FUserID, cases[i].FRow.UserID);
    EXPECT_EQ(rows[i].FCustom, cases[i].FRow.Custom);
    EXPECT_EQ(rows[i].FTID, cases[i].FTID);
    // Local wall-clock time of the post.
    EXPECT_LT(std::abs(rows[i].FTime.FMicroseconds - LocalNow().FMicroseconds), 60'000'000);
  }
  EXPECT_EQ(rows[5].FMethod, std::string(20, 'M'));
}

TEST_F(LogAPIDatabase, SynchronousWriteStoresAtOnceAndReportsFailure) {
  TLogAPI api(FConn.get());
  const auto now = std::chrono::system_clock::now();
  api.Log(TLogEndpoint("Users", "GetUser", "GET", "s1", "", 0, now), false);
  api.Log(TLogEndpoint("Users", "GetUser", "GET", "s2", "", 5, now), false);
  // The synchronous path stores the key as given and does not resolve tenant ids.
  api.Log(TLogEndpoint("Users", "GetUser", "GET", "s3", now, "", "tenant-a"), false);
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].FTID, std::nullopt);
  EXPECT_EQ(rows[1].FTID, 5);
  EXPECT_EQ(rows[2].FTID, std::nullopt);

  TTempDir nowhere;
  TConnectionObject broken("", nowhere.File("missing.fdb"), "SYSDBA", "", {});
  TLogAPI failing(&broken);
  try {
    failing.Log(Row("s4"), false);
    FAIL() << "no error";
  } catch (const ELogAPIError& e) {
    EXPECT_STREQ(e.what(), "LogAPI error - failed to log data");
  }
}

TEST_F(LogAPIDatabase, PipelineHelperReachesTheTableThroughTheModuleWriter) {
  TServerAPIHelpers::LogEndpoint(nullptr, "Users", "LoginUser", "POST", "", "", "");  // not started
  TKelvoLogWriter::Startup();
  TServerAPIHelpers::LogEndpoint(nullptr, "Users", "AddUser", "POST", "h1", "h1", "");
  TServerAPIHelpers::LogEndpoint(nullptr, "Users", "DeleteUser", "DELETE", "h2", "gone", "");
  KelvoLoggingShutdown();
  KelvoLoggingShutdown();
  TServerAPIHelpers::LogEndpoint(nullptr, "Users", "GetUser", "GET", "h3", "", "");  // stopped
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].FEndpoint, "AddUser");
  EXPECT_EQ(rows[0].FCustom, "h1");
  EXPECT_EQ(rows[1].FMethod, "DELETE");
  EXPECT_EQ(rows[1].FCustom, "gone");
}

TEST_F(LogAPIDatabase, ModuleTaskPoolItemsGetAConnectionOfTheirOwn) {
  TMEAPThreadPool::CreateThreadPool();
  std::mutex lock;
  std::vector<int> counts;
  for (int i = 0; i < 3; ++i) {
    TMEAPThreadPool::QueueWorkItem([&](TConnectionObject& conn) {
      const int n = conn.Connection().Query("select count(*) as N from LOG")->AsInteger("N");
      std::lock_guard<std::mutex> guard(lock);
      counts.push_back(n);
    });
  }
  for (int i = 0; i < 2000 && TMEAPThreadPool::GetCounter() > 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(counts, (std::vector<int>{0, 0, 0}));

  // Released at shut-down: late items are refused until the pool is created again.
  TMEAPThreadPool::ReleaseThreadPool();
  TMEAPThreadPool::ReleaseThreadPool();
  EXPECT_EQ(TMEAPThreadPool::QueueWorkItem([](TConnectionObject&) {}), nullptr);
  TMEAPThreadPool::CreateThreadPool();
  EXPECT_NE(TMEAPThreadPool::QueueWorkItem([](TConnectionObject&) {}), nullptr);
  TMEAPThreadPool::ReleaseThreadPool();
  EXPECT_EQ(TMEAPThreadPool::GetCounter(), 0);
}
