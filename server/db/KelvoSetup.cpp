// kelvo-setup: creates the server's database (a file for the embedded engine, or a database on
// a Firebird server), applies the schema, writes the version row and creates the first tenant.
//
// Settings come from a kelvoserver.ini (section Data) and/or options; options win. An existing
// database is left alone unless --force is given.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "KelvoData.Firebird.h"
#include "KelvoData.Schema.h"
#include "KelvoServer.BaseAPI.h"
#include "KelvoServer.BaseDAO.h"
#include "KelvoServer.Config.h"
#include "KelvoServer.IniFile.h"
#include "KelvoServer.Utility.h"

namespace {

const char* const kEmbeddedSchema =
#include "KelvoSchema.inc"
    ;

const char* const kUsage =
    "Usage: kelvo-setup [options]\n"
    "Creates the server database, applies the schema and creates the initial tenant.\n"
    "\n"
    "  --config FILE         read section [Data] of this kelvoserver.ini; a relative database\n"
    "                        file name is relative to the file's directory\n"
    "  --database PATH       database file, or host:path on a Firebird server\n"
    "  --instance NAME       server instance (host/port or port); empty: this machine\n"
    "  --user NAME           database user (default from the configuration, else sysdba)\n"
    "  --password TEXT       database password\n"
    "  --tenant-id ID        id of the initial tenant (default: a new GUID)\n"
    "  --tenant-name NAME    name of the initial tenant (default: \"Default Tenant\")\n"
    "  --tenant-secret TEXT  secret of the initial tenant (default: generated)\n"
    "  --schema FILE         apply this schema instead of the built-in one\n"
    "  --force               replace an existing database (all its data is lost)\n"
    "  --if-missing          do nothing (and succeed) when the database exists\n"
    "  --help                show this text\n";

struct TOptions {
  std::string FConfig, FDatabase, FInstance, FUser, FPassword, FTenantId, FTenantName = "Default Tenant",
      FTenantSecret, FSchema;
  bool FHaveDatabase = false, FHaveInstance = false, FHaveUser = false, FHavePassword = false, FForce = false,
       FIfMissing = false;
};

bool ParseOptions(int argc, char** argv, TOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& target) {
      if (i + 1 >= argc) {
        error = "Option " + a + " needs a value";
        return false;
      }
      target = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (a == "--force") {
      o.FForce = true;
    } else if (a == "--if-missing") {
      o.FIfMissing = true;
    } else if (a == "--config") {
      if (!value(o.FConfig)) return false;
    } else if (a == "--database") {
      if (!value(o.FDatabase)) return false;
      o.FHaveDatabase = true;
    } else if (a == "--instance") {
      if (!value(o.FInstance)) return false;
      o.FHaveInstance = true;
    } else if (a == "--user") {
      if (!value(o.FUser)) return false;
      o.FHaveUser = true;
    } else if (a == "--password") {
      if (!value(o.FPassword)) return false;
      o.FHavePassword = true;
    } else if (a == "--tenant-id") {
      if (!value(o.FTenantId)) return false;
    } else if (a == "--tenant-name") {
      if (!value(o.FTenantName)) return false;
    } else if (a == "--tenant-secret") {
      if (!value(o.FTenantSecret)) return false;
    } else if (a == "--schema") {
      if (!value(o.FSchema)) return false;
    } else {
      error = "Unknown option " + a;
      return false;
    }
  }
  return true;
}

std::string ReadFile(const std::string& name) {
  FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) throw EKelvoException("Cannot read " + name);
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

std::string RandomSecret() {
  unsigned char b[16];
  CryptoRandomBytes(b, sizeof b);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s.push_back(hex[c >> 4]);
    s.push_back(hex[c & 15]);
  }
  return s;
}

int Run(const TOptions& o) {
  // Settings: the configuration file when given, then the options.
  TKelvoConfiguration config(o.FConfig);
  std::string base_dir = std::filesystem::current_path().string();
  if (!o.FConfig.empty()) {
    if (!std::filesystem::exists(o.FConfig)) throw EKelvoException("Configuration file not found: " + o.FConfig);
    config.Load();
    base_dir = std::filesystem::absolute(o.FConfig).parent_path().string();
  } else {
    config.LoadFromText("");
  }
  TData data = config.FData;
  if (o.FHaveDatabase) {
    data.FDatabase = o.FDatabase;
    base_dir = std::filesystem::current_path().string();
  }
  if (o.FHaveInstance) data.FInstanceName = o.FInstance;
  if (o.FHaveUser) data.FUsername = o.FUser;
  if (o.FHavePassword) data.FPassword = o.FPassword;
  if (data.FDatabase.empty()) throw EKelvoException("No database given");

  const auto lines = TConnectionObject::BuildConnectionParams(
      data.FInstanceName, data.FDatabase, data.FUsername, data.FPassword, {},
      {TConnectionObject::TConnectionOption::UTF8, TConnectionObject::TConnectionOption::OpenModeCreate}, 0);
  TFBConnectParams params = TFBConnectParams::FromLines(lines, base_dir);

  // Refuse to touch what exists unless told to.
  bool exists = false;
  if (params.FEmbedded) {
    exists = std::filesystem::exists(params.FConnectString);
  } else {
    TFBConnectParams probe = params;
    probe.FCreate = false;
    try {
      TFBConnection c(probe);
      c.Open();
      exists = true;
    } catch (const EFBError&) {
      exists = false;
    }
  }
  if (exists) {
    if (o.FIfMissing && !o.FForce) {
      std::cout << "kelvo-setup: the database " << params.FConnectString << " exists; left as it is\n";
      return 0;
    }
    if (!o.FForce) {
      std::cerr << "kelvo-setup: the database " << params.FConnectString
                << " exists already; nothing was changed (use --force to replace it)\n";
      return 2;
    }
    TFBConnectParams existing = params;
    existing.FCreate = false;
    TFBConnection c(existing);
    try {
      c.DropDatabase();
    } catch (const EFBError& e) {
      // A file that is no database at all (or of another engine) is removed as a file.
      if (!params.FEmbedded) throw;
      std::cerr << "kelvo-setup: could not open the old database (" << e.what() << "); removing the file\n";
      std::filesystem::remove(params.FConnectString);
    }
  }

  const std::string schema = o.FSchema.empty() ? std::string(kEmbeddedSchema) : ReadFile(o.FSchema);
  CreateKelvoDatabase(params, schema);

  const std::string tenant_id = o.FTenantId.empty() ? NewGUIDText() : o.FTenantId;
  const std::string secret = o.FTenantSecret.empty() ? RandomSecret() : o.FTenantSecret;
  const std::string salt = TAuthentication::GenerateSalt();
  TFBConnectParams open = params;
  open.FCreate = false;
  TFBConnection c(open);
  const auto tid = DBScalarToInt64(c.ExecProcFunction(
      "ADDTENANT", {{"ATENANTID", TDBScalar(tenant_id)},
                    {"ATENANTNAME", TDBScalar(o.FTenantName)},
                    {"AHTENANTSECRET", TDBScalar(TAuthentication::HashMd5(secret + salt))},
                    {"ASALT", TDBScalar(salt)},
                    {"AISACTIVE", TDBScalar(true)}}));
  if (tid <= 0) throw EKelvoException("The initial tenant could not be created");
  c.Close();

  std::cout << "Database:      " << params.FConnectString << "\n"
            << "Schema version " << TServerAPIHelpers::kExpectedDBVersion << "\n"
            << "Tenant id:     " << tenant_id << "\n"
            << "Tenant name:   " << o.FTenantName << "\n"
            << "Tenant secret: " << secret << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::cerr << "kelvo-setup: " << error << "\n\n" << kUsage;
    return 1;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::cerr << "kelvo-setup: " << e.what() << "\n";
    return 1;
  }
}
