#include "KelvoServer.BaseAPI.h"

#include <map>
#include <mutex>

#include "KelvoServerAPI.Format.h"

namespace {

std::mutex& TenantKeyLock() {
  static std::mutex lock;
  return lock;
}

std::map<std::string, int32_t>& TenantKeys() {
  static std::map<std::string, int32_t> keys;
  return keys;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

int64_t VersionPart(const std::string& text) {
  if (text.empty()) return 0;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) throw EConvertError(Format("'%s' is not a valid integer value", {text}));
  for (; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i])))
      throw EConvertError(Format("'%s' is not a valid integer value", {text}));
  try {
    return std::stoll(text);
  } catch (const std::exception&) {
    throw EConvertError(Format("'%s' is not a valid integer value", {text}));
  }
}

int64_t VersionNumber(const std::string& version) {
  std::vector<std::string> parts;
  std::string item;
  for (char c : version) {
    if (c == '.') {
      parts.push_back(item);
      item.clear();
    } else {
      item.push_back(c);
    }
  }
  parts.push_back(item);
  const int64_t major = VersionPart(parts[0]);
  const int64_t minor = parts.size() > 1 ? VersionPart(parts[1]) : 0;
  if (parts.size() > 2) VersionPart(parts[2]);  // read, and must be a number, but does not count
  return major * 10000 + minor * 100;
}

std::string WithoutExtension(const std::string& file_name) {
  const auto dot = file_name.rfind('.');
  return dot == std::string::npos || dot == 0 ? file_name : file_name.substr(0, dot);
}

}  // namespace

std::string TBaseAPI::Version() {
  if (FVersion == "0") {
    auto ds = DAOGuard(&RaiseDAOError<ESelectDAODVError>,
                       [&] { return FConnObj->Connection().Query("select * from VERSION"); });
    if (ds->Eof()) throw EBaseAPIError("Missing Kelvo database version");
    FVersion = ds->AsString("VERSION");
  }
  return FVersion;
}

int32_t TBaseWithTenantAPI::GetTID() {
  if (FTID != 0) return FTID;
  FTID = GetTIDByTenantId(FConnObj, FTenantId);
  return FTID;
}

int32_t TBaseWithTenantAPI::GetTIDByTenantId(TConnectionObject* AConnectionObject, const std::string& ATenantId) {
  // No stored tenant id is longer than its column; such a text is not worth a cache entry.
  if (!FitsColumn(ATenantId, kTenantIdLength)) return -1;
  std::lock_guard lock(TenantKeyLock());
  auto& keys = TenantKeys();
  if (auto it = keys.find(ATenantId); it != keys.end()) return it->second;
  std::unique_ptr<TConnectionObject> own;
  if (!AConnectionObject) {
    own = std::make_unique<TConnectionObject>();
    AConnectionObject = own.get();
  }
  auto ds = DAOGuard(&RaiseDAOError<ESelectDAODVError>, [&] {
    return AConnectionObject->Connection().Query("select TID from TENANTS where IsActive = 1 And TenantId = :tenantid",
                                                 {{"tenantid", TDBScalar(ATenantId)}});
  });
  const int32_t tid = ds->Eof() ? -1 : ds->AsInteger("TID");
  keys[ATenantId] = tid;
  return tid;
}

void TBaseWithTenantAPI::ResetTenantKeyCache() {
  std::lock_guard lock(TenantKeyLock());
  TenantKeys().clear();
}

std::unique_ptr<TConnectionObject> TServerAPIHelpers::CreateConnection() {
  return std::make_unique<TConnectionObject>();
}

void TServerAPIHelpers::GetDBVersion(TConnectionObject* AConnection, std::string& AActual, std::string& AExpected) {
  std::unique_ptr<TConnectionObject> own;
  if (!AConnection) {
    own = CreateConnection();
    AConnection = own.get();
  }
  TBaseAPI api(AConnection);
  AActual = api.Version();
  AExpected = kExpectedDBVersion;
}

bool TServerAPIHelpers::CheckDBVersion(TConnectionObject* AConnection, std::string& AMessage) {
  AMessage.clear();
  const std::string database = KelvoConfig().FData.FDatabase;
  std::string actual, expected;
  try {
    GetDBVersion(AConnection, actual, expected);
  } catch (const std::exception& e) {
    AMessage = Format("An error occurred when connecting to the Kelvo database (%0:s): %1:s", {database, e.what()});
    return false;
  }
  TCompareDBVersionResult result;
  try {
    result = CompareActualToExpectedDBVersion(actual, expected);
  } catch (const EConvertError&) {
    // A version row that is not a number is as incompatible as a wrong one.
    result = TCompareDBVersionResult::UpdgradeNeeded;
  }
  if (result != TCompareDBVersionResult::Equal) {
    AMessage = Format("Kelvo Database (%0:s) is not compatible with %1:s. Expected DB version: %2:s. Actual DB version: %3:s.",
                      {database, WithoutExtension(TKelvoConfiguration::ModuleFileName()), expected, actual});
    return false;
  }
  return true;
}

TCompareDBVersionResult TServerAPIHelpers::CompareActualToExpectedDBVersion(const std::string& AActual,
                                                                            const std::string& AExpected) {
  if (SameTextIgnoringCase(AActual, AExpected)) return TCompareDBVersionResult::Equal;
  const int64_t actual = VersionNumber(AActual);
  const int64_t expected = VersionNumber(AExpected);
  if (actual < expected) return TCompareDBVersionResult::UpdgradeNeeded;
  if (actual > expected) return TCompareDBVersionResult::DowngradeNeeded;
  return TCompareDBVersionResult::Equal;
}

void TBaseAPI::BuildQuerySQL(const TQuery* AQuery, const TEntityParams& AEntityParams,
                             const std::vector<std::string>& AStaticFields,
                             const TCommonQueryWriter::TMasterAttribute& AMasterAttribute, TQueryWriterKind AKind,
                             std::string& ASQL, TDBParams& AParams) {
  std::unique_ptr<TCommonQueryWriter> writer;
  const int tid = GetTID();
  switch (AKind) {
    case TQueryWriterKind::Standard:
      writer = std::make_unique<TStandardQueryWriter>(AQuery, tid, AEntityParams.MainTable, AEntityParams.DetailTable,
                                                      AEntityParams.Primarykey, AEntityParams.ForeignKey,
                                                      AStaticFields, AMasterAttribute);
      break;
    case TQueryWriterKind::Count:
      writer = std::make_unique<TCountQueryWriter>(AQuery, tid, AEntityParams.MainTable, AEntityParams.DetailTable,
                                                   AEntityParams.Primarykey, AEntityParams.ForeignKey, AStaticFields,
                                                   AMasterAttribute);
      break;
  }
  if (!writer) throw EBaseAPIError("Unknown query writer");
  writer->Validate();
  ASQL.clear();
  writer->Write(ASQL, AParams);
}
