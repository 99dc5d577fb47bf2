#include "FirebirdTestSupport.h"

#include <atomic>

#include "KelvoData.Schema.h"
#include "KelvoServer.BaseAPI.h"

namespace {

std::unique_ptr<TFirebirdTestDatabase>& SuiteDb() {
  static std::unique_ptr<TFirebirdTestDatabase> db;
  return db;
}

}  // namespace

TFirebirdTestDatabase::TFirebirdTestDatabase(bool as_standard, int pool_max)
    : FFileName(FDir.File("kelvoserver.fdb")), FAsStandard(as_standard) {
  static std::atomic<int> counter{0};
  FDefName = "TESTDB_" + std::to_string(++counter);
  CreateKelvoDatabase(Params(), SchemaText());
  TFBConnectParams pooled = Params();
  pooled.FPooled = true;
  pooled.FPoolMax = pool_max;
  TFBConnectionDefs::Add(FDefName, pooled);
  if (as_standard) {
    TFBConnectionDefs::Add(TConnectionObject::kStandardConnectionDefName, pooled);
    TBaseWithTenantAPI::ResetTenantKeyCache();
    TServerAPIHelpers::ResetDefaultTenantId();
  }
}

TFirebirdTestDatabase::~TFirebirdTestDatabase() {
  TFBConnectionDefs::Close(FDefName);
  if (FAsStandard) TConnectionObject::CloseStandardConnectionDefs();
}

TFBConnectParams TFirebirdTestDatabase::Params() const {
  TFBConnectParams p;
  p.FConnectString = FFileName;
  p.FEmbedded = true;
  p.FUserName = "SYSDBA";
  p.FCharacterSet = "UTF8";
  return p;
}

std::unique_ptr<TConnectionObject> TFirebirdTestDatabase::Connect() const {
  return std::make_unique<TConnectionObject>(FDefName);
}

std::string TFirebirdTestDatabase::SchemaText() {
  return ReadTextFile(std::string(KELVO_SOURCE_DIR) + "/server/db/schema.sql");
}

void TFirebirdSuite::SetUpTestSuite() { SuiteDb() = std::make_unique<TFirebirdTestDatabase>(); }

void TFirebirdSuite::TearDownTestSuite() { SuiteDb().reset(); }

TFirebirdTestDatabase& TFirebirdSuite::Db() { return *SuiteDb(); }
