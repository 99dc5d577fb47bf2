#include "KelvoServer.BaseDAO.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "KelvoServer.BaseAPI.h"
#include "KelvoServerAPI.Format.h"

namespace {

bool IsIdentifier(const std::string& name) {
  if (name.empty() || name.size() > 63 || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; });
}

// Table and column names reach SQL text only from the entity classes themselves; check them
// anyway so that a mistake can never become an injection.
const std::string& CheckIdentifier(const std::string& name) {
  if (!IsIdentifier(name)) throw EBaseDAODVError(Format("Invalid SQL identifier \"%s\"", {name}));
  return name;
}

std::string CheckFieldList(const std::string& fields) {
  if (fields == "*") return fields;
  std::string out, item;
  for (size_t i = 0; i <= fields.size(); ++i) {
    if (i == fields.size() || fields[i] == ',') {
      std::string f = item;
      f.erase(0, f.find_first_not_of(' '));
      f.erase(f.find_last_not_of(' ') + 1);
      out += (out.empty() ? "" : ",") + CheckIdentifier(f);
      item.clear();
    } else {
      item.push_back(fields[i]);
    }
  }
  return out;
}

constexpr TDAOErrorRaiser kSelectError = &RaiseDAOError<ESelectDAODVError>;
constexpr TDAOErrorRaiser kDefaultError = &RaiseDAOError<EBaseDAODVError>;

}  // namespace

bool FitsColumn(const std::string& AValue, size_t AColumnLength) {
  if (AValue.size() <= AColumnLength) return true;
  size_t characters = 0;
  for (const char c : AValue)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++characters > AColumnLength) return false;
  return true;
}

std::unique_ptr<TDataSet> EmptyDataSet() {
  return std::make_unique<TDataSet>(std::vector<std::string>{}, std::vector<std::vector<TDBScalar>>{});
}

// ---------------------------------------------------------------------------------------------
// TConnectionObject

TConnectionObject::TConnectionObject() : TConnectionObject(std::string(kStandardConnectionDefName)) {}

TConnectionObject::TConnectionObject(const std::string& AConnectionDefName) {
  // An unregistered name surfaces as a database failure where the connection is used.
  try {
    FConnection = std::make_unique<TFBConnection>(TFBConnectionDefs::Find(AConnectionDefName));
  } catch (const EFBError& e) {
    TranslateDAOError(e);
  }
}

TConnectionObject::TConnectionObject(const std::string& AInstanceName, const std::string& ADatabase,
                                     const std::string& AUserName, const std::string& APassword,
                                     const TConnectionOptions& AOptions, const std::string& ABaseDir) {
  const auto lines = BuildConnectionParams(AInstanceName, ADatabase, AUserName, APassword, {}, AOptions, 0);
  FConnection = std::make_unique<TFBConnection>(TFBConnectParams::FromLines(lines, ABaseDir));
}

TConnectionObject::~TConnectionObject() = default;

std::pair<std::string, std::string> TConnectionObject::SplitInstanceName(const std::string& AHostName,
                                                                         const std::string& AInstanceName) {
  std::string host = AHostName, instance = AInstanceName;
  const auto slash = AInstanceName.find('/');
  if (slash != std::string::npos) {
    host = AInstanceName.substr(0, slash);
    instance = AInstanceName.substr(slash + 1);
  }
  if (host.empty()) host = "localhost";
  return {host, instance};
}

std::vector<std::string> TConnectionObject::BuildConnectionParams(const std::string& AInstanceName,
                                                                  const std::string& ADatabase,
                                                                  const std::string& AUserName,
                                                                  const std::string& APassword,
                                                                  const std::string& ASEPassword,
                                                                  const TConnectionOptions& AOptions, int APooledMax) {
  std::vector<std::string> lines;
  const auto first = ADatabase.find(':');
  const bool names_own_server = first != std::string::npos && first != ADatabase.rfind(':');
  if (names_own_server) {
    lines.push_back("Database=" + ADatabase);
  } else {
    const auto [host, instance] = SplitInstanceName("", AInstanceName);
    lines.push_back("Database=" + ADatabase);
    lines.push_back("Server=" + host);
    if (!instance.empty()) lines.push_back("InstanceName=" + instance);
  }
  lines.push_back("User_Name=" + AUserName);
  lines.push_back("Password=" + APassword);
  if (!ASEPassword.empty()) lines.push_back("SEPassword=" + ASEPassword);
  if (AOptions.count(TConnectionOption::Pooled)) {
    lines.push_back("Pooled=True");
    if (APooledMax > 0) lines.push_back("POOL_MaximumItems=" + std::to_string(APooledMax));
  }
  if (AOptions.count(TConnectionOption::UTF8)) lines.push_back("CharacterSet=UTF8");
  if (AOptions.count(TConnectionOption::OpenModeCreate)) lines.push_back("OpenMode=Create");
  return lines;
}

void TConnectionObject::AddStandardConnectionDefs() {
  const TDBConnectionProperties p = TDBConnectionProperties::FromConfig(KelvoConfig());
  TConnectionOptions options{TConnectionOption::UTF8};
  if (p.FPooled) options.insert(TConnectionOption::Pooled);
  const auto lines =
      BuildConnectionParams(p.FInstanceName, p.FDatabase, p.FUserName, p.FPassword, p.FSEPassword, options, p.FPooledMax);
  const std::string base_dir = std::filesystem::path(KelvoConfig().GetConfigFileName()).parent_path().string();
  TFBConnectionDefs::Add(kStandardConnectionDefName, TFBConnectParams::FromLines(lines, base_dir));
}

void TConnectionObject::CloseStandardConnectionDefs() {
  TFBConnectionDefs::Close(kStandardConnectionDefName);
  // The cached keys belong to the database that is now closed; a reloaded module starts clean.
  TBaseWithTenantAPI::ResetTenantKeyCache();
  TServerAPIHelpers::ResetDefaultTenantId();
}

void TConnectionObject::Open() {
  DAOGuard(kDefaultError, [&] { FConnection->Open(); });
}

void TConnectionObject::StartTransaction(TFBLockWait AWait) {
  DAOGuard(kDefaultError, [&] { FConnection->StartTransaction(AWait); });
}

void TConnectionObject::Commit() {
  DAOGuard(kDefaultError, [&] { FConnection->Commit(); });
}

void TConnectionObject::Rollback() {
  DAOGuard(kDefaultError, [&] { FConnection->Rollback(); });
}

bool TConnectionObject::InTransaction() const { return FConnection->InTransaction(); }

// ---------------------------------------------------------------------------------------------
// Error translation

void TranslateDAOError(const EFBError& AError, TDAOErrorRaiser ARaiser) {
  std::string text = AError.what();
  // The engine's text may start with a prefix line ended by a carriage return; the part from
  // that carriage return on is what administrators need.
  const auto cr = text.find('\r', 1);
  if (cr != std::string::npos) text = text.substr(cr);
  const auto inner = std::make_exception_ptr(AError);
  switch (AError.Kind()) {
    case TFBErrorKind::RecordLocked:
      throw EBaseDAODVDeadlockError(text, inner);
    case TFBErrorKind::KeyViolation:
      throw EBaseDAODVIntegrityViolationError(text, inner);
    default:
      (ARaiser ? ARaiser : kDefaultError)("Database request failure. " + text, inner);
      throw EBaseDAODVError("Database request failure. " + text, inner);  // a raiser that returned
  }
}

// ---------------------------------------------------------------------------------------------
// TCommonDAO

std::unique_ptr<TDataSet> TCommonDAO::GetAll(const std::string& AFieldTable) {
  const std::string sql = "select * from " + CheckIdentifier(AFieldTable);
  return DAOGuard(kSelectError, [&] { return Conn().Query(sql); });
}

void TCommonDAO::FillListParams(const TDBParams& AParams) {
  for (const auto& [name, value] : AParams) {
    if (!value.FIsList) continue;
    Conn().Execute("DELETE FROM \"TEMPSTRINGS\" WHERE \"PARAM\" = :param", {{"param", TDBScalar(name)}});
    std::vector<TDBParams> rows;
    rows.reserve(value.FList.size());
    for (const auto& item : value.FList) rows.push_back({{"param", TDBScalar(name)}, {"value", item}});
    Conn().ExecuteBatch("INSERT INTO \"TEMPSTRINGS\" VALUES (:param, :value)", rows);
  }
}

std::unique_ptr<TDataSet> TCommonDAO::GetAll(const std::string& AQueryStr, const TDBParams& AParams) {
  const bool own = !Conn().InTransaction();
  try {
    return DAOGuard(kSelectError, [&] {
      // Reading needs no write to the database file at commit; TEMPSTRINGS is private to the
      // transaction and may be filled even so.
      if (own) Conn().StartTransaction(TFBLockWait::Wait, true);
      FillListParams(AParams);
      TDBParams scalars;
      for (const auto& p : AParams)
        if (!p.second.FIsList) scalars.push_back(p);
      auto result = Conn().Query(AQueryStr, scalars);
      if (own) Conn().Commit();
      return result;
    });
  } catch (...) {
    if (own && Conn().InTransaction()) {
      try {
        Conn().Rollback();
      } catch (const EFBError&) {
        // The select's own failure is the one the caller needs.
      }
    }
    throw;
  }
}

int TCommonDAO::GetTotalFiltered(const std::string& AQueryStr, const TDBParams& AParams) {
  auto ds = GetAll(AQueryStr, AParams);
  return DAOGuard(kSelectError, [&] {
    if (ds->FindField("MCOUNT") >= 0) {
      int64_t total = 0;
      for (ds->First(); !ds->Eof(); ds->Next()) total += ds->AsLargeInt("MCOUNT");
      return static_cast<int>(total);
    }
    ds->First();
    return ds->Eof() ? 0 : ds->AsInteger("COUNT");
  });
}

std::unique_ptr<TDataSet> TCommonDAO::GetAllByStringIdentifier(const std::string& AFieldTable,
                                                               const std::string& AFieldName,
                                                               const std::string& AFieldValue) {
  return GetFieldsByStringIdentifier("*", AFieldTable, AFieldName, AFieldValue);
}

std::unique_ptr<TDataSet> TCommonDAO::GetFieldsByStringIdentifier(const std::string& ASelectFields,
                                                                  const std::string& ATable,
                                                                  const std::string& AWhereFieldName,
                                                                  const std::string& AWhereFieldValue) {
  std::string sql = "select " + CheckFieldList(ASelectFields) + " from " + CheckIdentifier(ATable);
  TDBParams params;
  if (!AWhereFieldName.empty()) {
    sql += " where " + CheckIdentifier(AWhereFieldName) + " = :" + AWhereFieldName;
    params.emplace_back(AWhereFieldName, TDBScalar(AWhereFieldValue));
  }
  return DAOGuard(kSelectError, [&] { return Conn().Query(sql, params); });
}

int TCommonDAO::GetTotalMain(int ATID) {
  std::string sql = "Select Count(*) From " + CheckIdentifier(FEntityParams.MainTable);
  TDBParams params;
  if (ATID > 0) {
    sql += " where TID = :tid";
    params.emplace_back("tid", TDBScalar(static_cast<int32_t>(ATID)));
  }
  return DAOGuard(kSelectError, [&] {
    auto ds = Conn().Query(sql, params);
    return ds->Eof() ? 0 : ds->AsInteger("COUNT");
  });
}

bool TCommonDAO::GetDetail(int AID, TNameValuePairs& ADetails) {
  ADetails.clear();
  const std::string sql = "select TNAME, TVALUE from " + CheckIdentifier(FEntityParams.DetailTable) + " where " +
                          CheckIdentifier(FEntityParams.ForeignKey) + " = :id order by TNAME asc";
  return DAOGuard(kSelectError, [&] {
    auto ds = Conn().Query(sql, {{"id", TDBScalar(static_cast<int32_t>(AID))}});
    for (; !ds->Eof(); ds->Next()) ADetails.emplace_back(ds->AsString("TNAME"), ds->AsString("TVALUE"));
    return !ADetails.empty();
  });
}

bool TCommonDAO::GetDetailKeys(std::vector<std::string>& ADetailKeys) {
  ADetailKeys.clear();
  const std::string sql =
      "select DISTINCT(TNAME) from " + CheckIdentifier(FEntityParams.DetailTable) + " order by TNAME ASC";
  return DAOGuard(kSelectError, [&] {
    auto ds = Conn().Query(sql);
    for (; !ds->Eof(); ds->Next()) ADetailKeys.push_back(ds->AsString("TNAME"));
    return !ADetailKeys.empty();
  });
}

void TCommonDAO::AddDetailSP(int ID, const std::string& procName, const std::string& IDName,
                             const TNameValuePairs& ADetails, bool AUpdateTime) {
  DAOGuard(kDefaultError, [&] {
    for (const auto& [name, value] : ADetails)
      Conn().ExecProc(procName, {{"ATNAME", TDBScalar(name)},
                                 {"ATVALUE", TDBScalar(value)},
                                 {"AUPDATETIME", TDBScalar(AUpdateTime)},
                                 {IDName, TDBScalar(static_cast<int32_t>(ID))}});
  });
}

void TCommonDAO::DeleteDetailSP(int ID, const std::string& procName, const std::string& IDName) {
  DeleteByIDSP(ID, procName, IDName);
}

void TCommonDAO::DeleteDetailSP(int ID, const std::string& Key, const std::string& procName,
                                const std::string& IDName, const std::string& KeyName) {
  DAOGuard(kDefaultError, [&] {
    Conn().ExecProc(procName, {{IDName, TDBScalar(static_cast<int32_t>(ID))}, {KeyName, TDBScalar(Key)}});
  });
}

void TCommonDAO::DeleteByIDSP(int ID, const std::string& procName, const std::string& IDName) {
  DAOGuard(kDefaultError, [&] { Conn().ExecProc(procName, {{IDName, TDBScalar(static_cast<int32_t>(ID))}}); });
}

bool TCommonDAO::DeleteMainDetailSP(int ID, const std::string& procName, const std::string& IDName) {
  return DAOGuard(kDefaultError, [&] {
    return DBScalarToBool(Conn().ExecProcFunction(procName, {{IDName, TDBScalar(static_cast<int32_t>(ID))}}));
  });
}
