// Test support for code that needs a real database: a fresh database file made from
// server/db/schema.sql in a temporary directory, reachable through a registered connection
// definition.
//
//   class MyDataTest : public TFirebirdSuite {};   // one database per test suite
//   TEST_F(MyDataTest, Works) {
//     TConnectionObject conn;                        // on _RS_KELVO = this suite's database
//     ...
//   }
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KelvoData.Firebird.h"
#include "KelvoServer.BaseDAO.h"
#include "KelvoTestSupport.h"

class TFirebirdTestDatabase {
 public:
  /// Creates the database. With `as_standard` it is also registered as `_RS_KELVO` (and the
  /// process-wide tenant-key cache is emptied); `pool_max` 0 keeps the pool's default.
  explicit TFirebirdTestDatabase(bool as_standard = true, int pool_max = 0);
  ~TFirebirdTestDatabase();
  TFirebirdTestDatabase(const TFirebirdTestDatabase&) = delete;
  TFirebirdTestDatabase& operator=(const TFirebirdTestDatabase&) = delete;

  const std::string& FileName() const { return FFileName; }
  /// The connection definition registered for this database (unique per instance).
  const std::string& DefName() const { return FDefName; }
  /// Stand-alone (unpooled) parameters for the file, e.g. for a second, independent connection.
  TFBConnectParams Params() const;
  /// A connection object on this database's definition.
  std::unique_ptr<TConnectionObject> Connect() const;
  const TTempDir& Dir() const { return FDir; }

  /// The text of server/db/schema.sql.
  static std::string SchemaText();

 private:
  TTempDir FDir;
  std::string FFileName;
  std::string FDefName;
  bool FAsStandard;
};

/// A gtest base with one fresh database per test suite, registered as `_RS_KELVO`.
class TFirebirdSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static TFirebirdTestDatabase& Db();
};
