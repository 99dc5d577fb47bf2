// kelvo-setup as a user runs it: a new database with schema, version row and initial tenant,
// and an existing one left alone unless --force is given.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "KelvoData.Firebird.h"
#include "KelvoServer.Utility.h"
#include "KelvoTestSupport.h"

namespace {

struct TRun {
  int FExitCode = -1;
  std::string FOutput;
};

TRun RunSetup(const std::string& args) {
  const std::string binary = std::string(KELVO_BINARY_DIR) + "/bin/kelvo-setup";
  TRun run;
  FILE* p = popen((binary + " " + args + " 2>&1").c_str(), "r");
  if (!p) return run;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.FOutput.append(buf, n);
  const int status = pclose(p);
  run.FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Field(const std::string& output, const std::string& label) {
  const auto at = output.find(label);
  if (at == std::string::npos) return {};
  const auto start = output.find_first_not_of(' ', at + label.size());
  return output.substr(start, output.find('\n', start) - start);
}

TFBConnectParams FileParams(const std::string& file) {
  TFBConnectParams p;
  p.FConnectString = file;
  p.FUserName = "SYSDBA";
  p.FCharacterSet = "UTF8";
  return p;
}

class KelvoSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(std::string(KELVO_BINARY_DIR) + "/bin/kelvo-setup"))
      GTEST_SKIP() << "kelvo-setup is not built";
  }
  TTempDir FDir;
};

}  // namespace

TEST_F(KelvoSetup, CreatesSchemaVersionAndAnActiveTenantAndRefusesToOverwrite) {
  const std::string db = FDir.File("k.fdb");
  const TRun first = RunSetup("--database " + db + " --tenant-id TEN-1 --tenant-name Acme --tenant-secret s3cret");
  ASSERT_EQ(first.FExitCode, 0) << first.FOutput;
  EXPECT_EQ(Field(first.FOutput, "Tenant id:"), "TEN-1");
  EXPECT_EQ(Field(first.FOutput, "Tenant secret:"), "s3cret");
  {
    TFBConnection c(FileParams(db));
    EXPECT_EQ(c.Query("select VERSION from VERSION")->AsString("VERSION"), "1.33");
    auto t = c.Query("select * from TENANTS");
    ASSERT_EQ(t->RecordCount(), 1u);
    EXPECT_EQ(t->AsString("TENANTID"), "TEN-1");
    EXPECT_EQ(t->AsString("TENANTNAME"), "Acme");
    EXPECT_EQ(t->AsInteger("ISACTIVE"), 1);
    EXPECT_EQ(t->AsString("HTENANTSECRET"), TAuthentication::HashMd5("s3cret" + t->AsString("SALT")));
    c.Execute("insert into LOG (\"RESOURCE\") values ('keep me')");
  }

  const TRun again = RunSetup("--database " + db + " --tenant-id TEN-2");
  EXPECT_EQ(again.FExitCode, 2) << again.FOutput;
  EXPECT_NE(again.FOutput.find("exists already"), std::string::npos) << again.FOutput;
  {
    TFBConnection c(FileParams(db));
    EXPECT_EQ(c.Query("select count(*) as N from LOG")->AsInteger("N"), 1) << "the old data is untouched";
  }

  const TRun if_missing = RunSetup("--database " + db + " --if-missing");
  EXPECT_EQ(if_missing.FExitCode, 0) << if_missing.FOutput;
  {
    TFBConnection c(FileParams(db));
    EXPECT_EQ(c.Query("select TENANTID from TENANTS")->AsString("TENANTID"), "TEN-1");
  }

  const TRun forced = RunSetup("--database " + db + " --force");
  ASSERT_EQ(forced.FExitCode, 0) << forced.FOutput;
  const std::string generated = Field(forced.FOutput, "Tenant id:");
  EXPECT_EQ(generated.size(), 36u) << forced.FOutput;
  EXPECT_EQ(Field(forced.FOutput, "Tenant secret:").size(), 32u);
  TFBConnection c(FileParams(db));
  EXPECT_EQ(c.Query("select count(*) as N from LOG")->AsInteger("N"), 0);
  EXPECT_EQ(c.Query("select TENANTID from TENANTS")->AsString("TENANTID"), generated);
}

TEST_F(KelvoSetup, RelativeDatabaseIsBesideTheConfigurationFile) {
  std::filesystem::create_directory(FDir.File("data"));
  WriteTextFile(FDir.File("kelvoserver.ini"), "[Data]\nDatabase=data/server.fdb\n");
  const TRun run = RunSetup("--config " + FDir.File("kelvoserver.ini"));
  ASSERT_EQ(run.FExitCode, 0) << run.FOutput;
  EXPECT_TRUE(std::filesystem::exists(FDir.File("data/server.fdb")));
}

TEST_F(KelvoSetup, BadInputEndsWithAMessage) {
  EXPECT_EQ(RunSetup("--database").FExitCode, 1);
  EXPECT_EQ(RunSetup("--no-such-option").FExitCode, 1);
  EXPECT_EQ(RunSetup("--config " + FDir.File("missing.ini")).FExitCode, 1);
  const TRun bad_dir = RunSetup("--database " + FDir.File("no/such/dir/k.fdb"));
  EXPECT_EQ(bad_dir.FExitCode, 1);
  EXPECT_NE(bad_dir.FOutput.find("kelvo-setup:"), std::string::npos);
  WriteTextFile(FDir.File("bad.sql"), "create table A (X integer);\ncreate tabel B;\n");
  const TRun bad_schema = RunSetup("--database " + FDir.File("b.fdb") + " --schema " + FDir.File("bad.sql"));
  EXPECT_EQ(bad_schema.FExitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(FDir.File("b.fdb"))) << "a half-made database is not left behind";
}
