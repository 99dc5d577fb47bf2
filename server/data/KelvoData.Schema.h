// Creating a server database: a new file (or a database on a server) with the schema applied
// and the version row written. Used by kelvo-setup and by the tests.
#pragma once

#include <string>

#include "KelvoData.Firebird.h"

/// Creates the database `params` names (its `FCreate` is forced on), runs `schema_sql` and
/// writes the version row `TServerAPIHelpers::kExpectedDBVersion`.
/// @throws EFBError when the database exists already or a statement fails.
void CreateKelvoDatabase(TFBConnectParams params, const std::string& schema_sql);
