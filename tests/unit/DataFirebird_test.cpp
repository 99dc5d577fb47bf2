// The Firebird layer against real database files: binding, procedures, batches, transactions,
// error classification with two real connections, and the pool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FirebirdTestSupport.h"
#include "KelvoData.Firebird.h"
#include "KelvoData.Schema.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.BaseDAO.h"

namespace {

class FirebirdLayer : public TFirebirdSuite {};

TDBParams P(std::initializer_list<std::pair<std::string, TDBParamValue>> list) { return TDBParams(list); }

}  // namespace

TEST_F(FirebirdLayer, ValuesRoundTripByTheirType) {
  TFBConnection c(TFBConnectionDefs::Find(Db().DefName()));
  const TDBTimestamp when{1700000000123000};  // 2023-11-14 22:13:20.123
  auto ds = c.Query(
      "select cast(:i as integer) as I, cast(:b as bigint) as B, cast(:d as double precision) as D, "
      "cast(:t as varchar(50)) as T, cast(:ts as timestamp) as TS, cast(:n as varchar(5)) as N, "
      "cast(:bo as boolean) as BO, cast(:s as smallint) as S from RDB$DATABASE",
      P({{"i", TDBScalar(int32_t{-7})},
         {"b", TDBScalar(int64_t{1} << 40)},
         {"d", TDBScalar(2.5)},
         {"t", TDBScalar(std::string("Grüße 'quoted' :notaparam"))},
         {"ts", TDBScalar(when)},
         {"n", TDBScalar(TDBNull{})},
         {"bo", TDBScalar(true)},
         {"s", TDBScalar(true)}}));
  ASSERT_EQ(ds->RecordCount(), 1u);
  EXPECT_EQ(ds->AsInteger("I"), -7);
  EXPECT_EQ(ds->AsLargeInt("b"), int64_t{1} << 40);
  EXPECT_DOUBLE_EQ(ds->AsFloat("D"), 2.5);
  EXPECT_EQ(ds->AsString("T"), "Grüße 'quoted' :notaparam");
  EXPECT_EQ(ds->AsDateTime("TS"), when);
  EXPECT_TRUE(ds->IsNull("N"));
  EXPECT_TRUE(ds->AsBoolean("BO"));
  EXPECT_EQ(ds->AsInteger("S"), 1);  // a Boolean bound to a numeric column becomes 1

  // Bytes that are not UTF-8, and text where a number belongs, are refused by the engine.
  EXPECT_THROW(c.Query("select cast(:t as varchar(10)) as T from RDB$DATABASE", P({{"t", TDBScalar(std::string("\xFF\xFE"))}})),
               EFBError);
  EXPECT_THROW(c.Query("select cast(:i as integer) as I from RDB$DATABASE", P({{"i", TDBScalar(std::string("12; drop"))}})),
               EFBError);
  EXPECT_EQ(c.Query("select cast(:i as integer) as I from RDB$DATABASE", P({{"i", TDBScalar(std::string("12"))}}))
                ->AsInteger("I"),
            12);
}

TEST_F(FirebirdLayer, ParameterNamesRepeatAndIgnoreCaseAndMissingOnesAreRefused) {
  TFBConnection c(TFBConnectionDefs::Find(Db().DefName()));
  auto ds = c.Query("select cast(:x as integer) + cast(:X as integer) as SUM2 from RDB$DATABASE",
                    P({{"x", TDBScalar(int32_t{21})}}));
  EXPECT_EQ(ds->AsInteger("SUM2"), 42);
  try {
    c.Query("select cast(:missing as integer) as M from RDB$DATABASE");
    FAIL() << "a missing parameter must not be bound silently";
  } catch (const EFBError& e) {
    EXPECT_NE(std::string(e.what()).find("MISSING"), std::string::npos);
  }
}

TEST_F(FirebirdLayer, ProcedureOutputsBlobsAndQueueOrder) {
  TFBConnection c(TFBConnectionDefs::Find(Db().DefName()));
  const std::string big(100000, 'x');  // longer than any VARCHAR: must travel as a blob
  c.ExecProc("PUSHQUEUE", P({{"AMESSAGE", TDBScalar(std::string("first"))}}));
  c.ExecProc("PUSHQUEUE", P({{"AMESSAGE", TDBScalar(big)}}));
  c.ExecProc("PUSHQUEUE", P({{"AMESSAGE", TDBScalar(std::string("third"))}}));
  std::vector<std::string> popped;
  for (int i = 0; i < 4; ++i) {
    c.StartTransaction(TFBLockWait::NoWait);
    auto out = c.ExecProc("POPQUEUE");
    c.Commit();
    ASSERT_EQ(out->RecordCount(), 1u);
    if (i < 3) {
      EXPECT_FALSE(out->IsNull("PUSHTIME"));
    }
    popped.push_back(out->AsString("AMESSAGE"));
  }
  EXPECT_EQ(popped[0], "first");
  EXPECT_EQ(popped[1], big);
  EXPECT_EQ(popped[2], "third");
  EXPECT_EQ(popped[3], "") << "an empty queue yields an empty message";
}

TEST_F(FirebirdLayer, BatchInsertsEveryRowInOneTransaction) {
  TFBConnection c(TFBConnectionDefs::Find(Db().DefName()));
  std::vector<TDBParams> rows;
  for (int i = 0; i < 250; ++i)
    rows.push_back(P({{"r", TDBScalar(std::string("batch"))},
                      {"e", TDBScalar(std::string("e") + std::to_string(i))},
                      {"t", TDBScalar(int32_t{i})}}));
  c.ExecuteBatch("insert into LOG (\"RESOURCE\", \"ENDPOINT\", \"TID\") values (:r, :e, :t)", rows);
  auto ds = c.Query("select count(*) as N, sum(TID) as S from LOG where \"RESOURCE\" = 'batch'");
  EXPECT_EQ(ds->AsInteger("N"), 250);
  EXPECT_EQ(ds->AsLargeInt("S"), 249 * 250 / 2);

  // A failing row takes the whole batch with it.
  rows.push_back(P({{"r", TDBScalar(std::string("batch2"))}, {"e", TDBScalar(std::string(300, 'y'))},
                    {"t", TDBScalar(int32_t{0})}}));
  for (auto& row : rows) row[0].second = TDBScalar(std::string("batch2"));
  EXPECT_THROW(c.ExecuteBatch("insert into LOG (\"RESOURCE\", \"ENDPOINT\", \"TID\") values (:r, :e, :t)", rows),
               EFBError);
  EXPECT_EQ(c.Query("select count(*) as N from LOG where \"RESOURCE\" = 'batch2'")->AsInteger("N"), 0);
}

TEST_F(FirebirdLayer, TwoConnectionsProvokeLockConflictAndKeyViolation) {
  auto first = Db().Connect();
  auto second = Db().Connect();
  first->Connection().Execute("insert into VERSION (VERSION) values ('lock')");

  first->StartTransaction();
  first->Connection().Execute("update VERSION set VERSION = 'lock2' where VERSION = 'lock'");
  second->StartTransaction(TFBLockWait::NoWait);
  TCommonDAO dao(second.get(), {"VERSION", "", "", ""});
  try {
    DAOGuard(&RaiseDAOError<EBaseDAODVError>, [&] {
      second->Connection().Execute("update VERSION set VERSION = 'other' where VERSION = 'lock'");
    });
    FAIL() << "the row is locked by the first connection";
  } catch (const EBaseDAODVDeadlockError& e) {
    EXPECT_EQ(std::string(e.what()).find("Database request failure"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("update conflicts"), std::string::npos) << e.what();
    EXPECT_TRUE(e.InnerException() != nullptr);
  }
  second->Rollback();
  first->Rollback();

  // Two tenants with one id: the unique key stops the second insert of another connection.
  first->StartTransaction();
  first->Connection().Execute(
      "insert into TENANTS (TID, TENANTID, ISACTIVE) values (9001, 'DUP-TENANT', 1)");
  first->Commit();
  second->StartTransaction(TFBLockWait::NoWait);
  EXPECT_THROW(DAOGuard(&RaiseDAOError<EUserDAODVError>, [&] {
                 second->Connection().Execute(
                     "insert into TENANTS (TID, TENANTID, ISACTIVE) values (9002, 'DUP-TENANT', 1)");
               }),
               EBaseDAODVIntegrityViolationError);
  second->Rollback();

  // Any other failure keeps the caller's class and gets the prefix.
  try {
    DAOGuard(&RaiseDAOError<EUserDAODVError>, [&] { second->Connection().Execute("select * from NO_SUCH_TABLE"); });
    FAIL();
  } catch (const EUserDAODVError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Database request failure. ", 0), 0u) << e.what();
  }
}

TEST_F(FirebirdLayer, WaitTransactionTimesOutInsteadOfHanging) {
  TFBConnectParams p = Db().Params();
  p.FLockTimeoutSeconds = 1;
  TFBConnection holder(p), waiter(p);
  holder.Execute("insert into VERSION (VERSION) values ('wait')");
  holder.StartTransaction();
  holder.Execute("update VERSION set VERSION = 'wait2' where VERSION = 'wait'");
  waiter.StartTransaction(TFBLockWait::Wait);
  const auto start = std::chrono::steady_clock::now();
  try {
    waiter.Execute("update VERSION set VERSION = 'wait3' where VERSION = 'wait'");
    FAIL();
  } catch (const EFBError& e) {
    EXPECT_EQ(e.Kind(), TFBErrorKind::RecordLocked) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  waiter.Rollback();
  holder.Rollback();
}

TEST_F(FirebirdLayer, SeparateTransactionOnTheSameConnection) {
  TFBConnection c(TFBConnectionDefs::Find(Db().DefName()));
  c.StartTransaction();
  c.Execute("insert into VERSION (VERSION) values ('main-tx')");
  {
    TFBTransaction side(c);
    side.Start(TFBLockWait::NoWait);
    c.Execute("insert into VERSION (VERSION) values ('side-tx')", {}, &side);
    side.Commit();
  }
  c.Rollback();
  auto ds = c.Query("select VERSION from VERSION where VERSION in ('main-tx', 'side-tx')");
  ASSERT_EQ(ds->RecordCount(), 1u);
  EXPECT_EQ(ds->AsString("VERSION"), "side-tx");
}

// ---------------------------------------------------------------------------------------------
// Pool

TEST(FirebirdPool, ThirtyTwoThreadsShareASmallPool) {
  TFirebirdTestDatabase db(false, 8);
  std::atomic<int> failures{0}, done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 32; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int i = 0; i < 20; ++i) {
          auto conn = db.Connect();
          auto ds = conn->Connection().Query("select cast(:v as integer) as V from RDB$DATABASE",
                                             {{"v", TDBScalar(int32_t{t * 100 + i})}});
          if (ds->AsInteger("V") != t * 100 + i) ++failures;
          ++done;
        }
      } catch (const std::exception& e) {
        ++failures;
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(done.load(), 32 * 20);
  EXPECT_EQ(TFBConnectionDefs::InUseCount(db.DefName()), 0);
  EXPECT_LE(TFBConnectionDefs::IdleCount(db.DefName()), 8);
}

TEST(FirebirdPool, ExhaustedPoolFailsClearlyAfterItsWaitTime) {
  TFirebirdTestDatabase db(false);
  TFBConnectParams p = db.Params();
  p.FPooled = true;
  p.FPoolMax = 2;
  p.FPoolWaitTimeout = std::chrono::milliseconds(200);
  TFBConnectionDefs::Add("SMALLPOOL", p);
  {
    TConnectionObject a("SMALLPOOL"), b("SMALLPOOL"), c("SMALLPOOL");
    a.Open();
    b.Open();
    const auto start = std::chrono::steady_clock::now();
    try {
      c.Open();
      FAIL() << "a third connection cannot come from a pool of two";
    } catch (const EBaseDAODVError& e) {
      EXPECT_NE(std::string(e.what()).find("Connection pool exhausted"), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // Returning one lets the next caller in.
    b.Connection().Close();
    EXPECT_NO_THROW(c.Open());
  }
  EXPECT_EQ(TFBConnectionDefs::InUseCount("SMALLPOOL"), 0);
  TFBConnectionDefs::Close("SMALLPOOL");
}

TEST(FirebirdPool, DroppedConnectionIsReplacedOnCheckout) {
  TFirebirdTestDatabase db(false, 1);
  int64_t first_id = 0;
  {
    auto conn = db.Connect();
    first_id = conn->Connection().AttachmentId();
  }
  ASSERT_EQ(TFBConnectionDefs::IdleCount(db.DefName()), 1);
  // Another attachment cancels the pooled one, as a server restart or an administrator would.
  TFBConnection killer(db.Params());
  killer.Execute("delete from MON$ATTACHMENTS where MON$ATTACHMENT_ID = :id", {{"id", TDBScalar(first_id)}});

  auto conn = db.Connect();
  const int64_t second_id = conn->Connection().AttachmentId();
  EXPECT_NE(second_id, first_id);

  // Dropped while checked out: the statement fails, and the dead connection is not pooled again.
  killer.Execute("delete from MON$ATTACHMENTS where MON$ATTACHMENT_ID = :id", {{"id", TDBScalar(second_id)}});
  try {
    conn->Connection().Query("select 1 as X from RDB$DATABASE");
    FAIL() << "the attachment was cancelled";
  } catch (const EFBError& e) {
    EXPECT_EQ(e.Kind(), TFBErrorKind::ConnectionLost) << e.what();
  }
  conn.reset();
  EXPECT_EQ(TFBConnectionDefs::IdleCount(db.DefName()), 0);
  EXPECT_EQ(TFBConnectionDefs::InUseCount(db.DefName()), 0);
  EXPECT_EQ(db.Connect()->Connection().Query("select 1 as X from RDB$DATABASE")->AsInteger("X"), 1);
}

TEST(FirebirdPool, MissingDatabaseGivesTranslatedErrorNotACrash) {
  TTempDir dir;
  TFBConnectParams p;
  p.FConnectString = dir.File("nope.fdb");
  p.FUserName = "SYSDBA";
  p.FPooled = true;
  TFBConnectionDefs::Add("MISSINGDB", p);
  TConnectionObject conn("MISSINGDB");
  try {
    TCommonDAO dao(&conn, {"USERS", "USERSDETAIL", "UID", "UID"});
    dao.GetTotalMain(-1);
    FAIL();
  } catch (const ESelectDAODVError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Database request failure. ", 0), 0u) << e.what();
  }
  EXPECT_EQ(TFBConnectionDefs::InUseCount("MISSINGDB"), 0) << "a failed attach must not leak a pool slot";
  TFBConnectionDefs::Close("MISSINGDB");
  EXPECT_THROW(TConnectionObject("MISSINGDB"), EBaseDAODVError);
}

TEST(FirebirdPool, CreateRefusesAnExistingDatabase) {
  TFirebirdTestDatabase db(false);
  EXPECT_THROW(CreateKelvoDatabase(db.Params(), "create table X (A integer);"), EFBError);
  // ... and left the existing one intact.
  TFBConnection c(db.Params());
  EXPECT_EQ(c.Query("select VERSION from VERSION")->AsString("VERSION"), "1.33");
}

TEST(FirebirdPool, DatabaseHeldByAnotherProcessFailsFastWithTranslatedError) {
  const char* isql = "/usr/bin/isql-fb";
  if (access(isql, X_OK) != 0) GTEST_SKIP() << "isql-fb is not installed";
  TFirebirdTestDatabase db(false);
  TFBConnectionDefs::Close(db.DefName());  // this process lets go of the file

  // Another process attaches with its own embedded engine and holds the file until its input
  // ends; it says so by answering a query.
  int input[2], output[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(pipe(output), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addclose(&actions, input[1]);
  posix_spawn_file_actions_addclose(&actions, output[0]);
  std::string file = db.FileName();
  std::vector<char*> argv = {const_cast<char*>(isql), const_cast<char*>("-user"), const_cast<char*>("SYSDBA"),
                             file.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, isql, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  const std::string probe = "select 'HOLDING' from RDB$DATABASE;\n";
  ASSERT_EQ(write(input[1], probe.data(), probe.size()), static_cast<ssize_t>(probe.size()));
  std::string seen;
  char buf[256];
  ssize_t got;
  while (seen.find("HOLDING") == std::string::npos && (got = read(output[0], buf, sizeof buf)) > 0)
    seen.append(buf, static_cast<size_t>(got));
  ASSERT_NE(seen.find("HOLDING"), std::string::npos) << seen;

  TFBConnectParams p = db.Params();
  p.FPooled = true;
  TFBConnectionDefs::Add("HELDDB", p);
  bool refused = false;
  std::string message;
  const auto start = std::chrono::steady_clock::now();
  try {
    TConnectionObject conn("HELDDB");
    TCommonDAO dao(&conn, {"USERS", "USERSDETAIL", "UID", "UID"});
    dao.GetTotalMain(-1);
  } catch (const EBaseDAODVError& e) {
    refused = true;
    message = e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "no hang";
  EXPECT_EQ(TFBConnectionDefs::InUseCount("HELDDB"), 0);
  close(input[1]);
  close(output[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  TFBConnectionDefs::Close("HELDDB");
  ASSERT_TRUE(refused) << "the file is held by another process";
  EXPECT_EQ(message.rfind("Database request failure. ", 0), 0u) << message;
  EXPECT_NE(message.find("lock"), std::string::npos) << message;
}
