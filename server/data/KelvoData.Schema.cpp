#include "KelvoData.Schema.h"

#include "KelvoServer.BaseAPI.h"

void CreateKelvoDatabase(TFBConnectParams params, const std::string& schema_sql) {
  params.FCreate = true;
  params.FPooled = false;
  TFBConnection connection(params);
  connection.Open();  // fails for an existing database, which is then left alone
  try {
    connection.ExecuteScript(schema_sql);
    connection.Execute("insert into VERSION (VERSION) values (:version)",
                       {{"version", TDBScalar(std::string(TServerAPIHelpers::kExpectedDBVersion))}});
  } catch (...) {
    // A half-made database would pass for a real one on the next run.
    try {
      connection.DropDatabase();
    } catch (const EFBError&) {
    }
    throw;
  }
}
