#include "KelvoData.Firebird.h"

#include <firebird/Interface.h>
#include <ibase.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <unordered_map>

#include "KelvoServerAPI.Format.h"

using namespace Firebird;

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

// The client library shuts every attachment down when the process gets SIGTERM or SIGINT. Apache
// sends its children SIGTERM to stop them, and the module's own shut-down still has work for the
// database (the analytics rows still queued); it closes its connections itself. So the library
// is told to leave signals to the host process.
int KeepAttachmentsOnSignal(const int reason, const int, void*) { return reason == fb_shutrsn_signal ? 1 : 0; }

IMaster* Master() {
  static IMaster* master = [] {
    IMaster* m = fb_get_master_interface();
    ISC_STATUS_ARRAY status{};
    fb_shutdown_callback(status, KeepAttachmentsOnSignal, fb_shut_confirmation, nullptr);
    return m;
  }();
  return master;
}

IUtil* Util() {
  static IUtil* util = Master()->getUtilInterface();
  return util;
}

// The dispatcher is thread-safe and lives for the process.
IProvider* Dispatcher() {
  static IProvider* provider = Master()->getDispatcher();
  return provider;
}

// A status object per call; ThrowStatusWrapper raises FbException, which `Guard` converts.
class TStatus {
 public:
  TStatus() : FStatus(Master()->getStatus()), FWrapper(FStatus) {}
  ~TStatus() { FStatus->dispose(); }
  ThrowStatusWrapper* operator&() { return &FWrapper; }

 private:
  IStatus* FStatus;
  ThrowStatusWrapper FWrapper;
};

EFBError FromStatus(const IStatus* status) {
  std::vector<intptr_t> codes;
  const intptr_t* v = status->getErrors();
  // Status vector: (arg-kind, value[, value]) pairs ending with isc_arg_end.
  while (v && *v != isc_arg_end) {
    const intptr_t kind = v[0];
    if (kind == isc_arg_gds) codes.push_back(v[1]);
    if (kind == isc_arg_cstring) v += 3;
    else v += 2;
  }
  char buffer[4096];
  Util()->formatStatus(buffer, sizeof buffer, const_cast<IStatus*>(status));
  std::string text(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) text = "Unknown database error";
  const TFBErrorKind kind = ClassifyFBErrorCodes(codes);
  return EFBError(text, kind, std::move(codes));
}

template <typename F>
auto Guard(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const FbException& e) {
    throw FromStatus(e.getStatus());
  }
}

template <typename T>
struct TReleaser {
  void operator()(T* p) const { if (p) p->release(); }
};
using TMetaPtr = std::unique_ptr<IMessageMetadata, TReleaser<IMessageMetadata>>;

constexpr int64_t kMicrosPerDay = 86400LL * 1000000;
constexpr int kMJDOf1970 = 40587;  // ISC_DATE counts days from 1858-11-17

TDBTimestamp FromIscTimestamp(ISC_DATE date, ISC_TIME time) {
  return TDBTimestamp{(static_cast<int64_t>(date) - kMJDOf1970) * kMicrosPerDay + static_cast<int64_t>(time) * 100};
}

void ToIscTimestamp(const TDBTimestamp& ts, ISC_DATE& date, ISC_TIME& time) {
  int64_t days = ts.FMicroseconds / kMicrosPerDay;
  int64_t rest = ts.FMicroseconds % kMicrosPerDay;
  if (rest < 0) {
    rest += kMicrosPerDay;
    --days;
  }
  date = static_cast<ISC_DATE>(days + kMJDOf1970);
  time = static_cast<ISC_TIME>(rest / 100);
}

// Civil date from days since 1970-01-01 (H. Hinnant's algorithm).
void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

bool IsIdentifier(std::string_view name) {
  if (name.empty() || name.size() > 63) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors

EFBError::EFBError(const std::string& message, TFBErrorKind kind, std::vector<intptr_t> codes)
    : EKelvoException(message), FKind(kind), FCodes(std::move(codes)) {}

bool EFBError::HasCode(intptr_t code) const {
  return std::find(FCodes.begin(), FCodes.end(), code) != FCodes.end();
}

TFBErrorKind ClassifyFBErrorCodes(const std::vector<intptr_t>& codes) {
  for (const intptr_t code : codes) {
    switch (code) {
      case isc_lock_conflict:
      case isc_deadlock:
      case isc_update_conflict:
      case isc_lock_timeout:
        return TFBErrorKind::RecordLocked;
      case isc_unique_key_violation:
      case isc_no_dup:
      case isc_foreign_key:
        return TFBErrorKind::KeyViolation;
      case isc_network_error:
      case isc_net_read_err:
      case isc_net_write_err:
      case isc_conn_lost:
      case isc_att_shutdown:
      case isc_shutdown:
        return TFBErrorKind::ConnectionLost;
      default:
        break;
    }
  }
  return TFBErrorKind::Other;
}

// ---------------------------------------------------------------------------------------------
// Values

std::string FormatDBTimestamp(const TDBTimestamp& value) {
  int64_t days = value.FMicroseconds / kMicrosPerDay;
  int64_t rest = value.FMicroseconds % kMicrosPerDay;
  if (rest < 0) {
    rest += kMicrosPerDay;
    --days;
  }
  int y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  const int64_t secs = rest / 1000000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d.%03d", y, m, d, static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60),
                static_cast<int>(rest / 1000 % 1000));
  return buf;
}

TDBTimestamp DBTimestampNowUTC() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return TDBTimestamp{std::chrono::duration_cast<std::chrono::microseconds>(now).count()};
}

std::string DBScalarToString(const TDBScalar& value) {
  struct V {
    std::string operator()(const TDBNull&) const { return {}; }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", v);
      return buf;
    }
    std::string operator()(bool v) const { return v ? "True" : "False"; }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(const TDBTimestamp& v) const { return FormatDBTimestamp(v); }
  };
  return std::visit(V{}, value);
}

int64_t DBScalarToInt64(const TDBScalar& value) {
  struct V {
    int64_t operator()(const TDBNull&) const { return 0; }
    int64_t operator()(int32_t v) const { return v; }
    int64_t operator()(int64_t v) const { return v; }
    int64_t operator()(double v) const { return static_cast<int64_t>(std::llround(v)); }
    int64_t operator()(bool v) const { return v ? 1 : 0; }
    int64_t operator()(const std::string& v) const {
      const std::string t = Trim(v);
      if (t.empty()) return 0;
      size_t used = 0;
      int64_t n = 0;
      try {
        n = std::stoll(t, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != t.size()) throw EFBError(Format("\"%s\" is not a valid integer value", {v}));
      return n;
    }
    int64_t operator()(const TDBTimestamp& v) const { return v.FMicroseconds; }
  };
  return std::visit(V{}, value);
}

double DBScalarToDouble(const TDBScalar& value) {
  if (const auto* d = std::get_if<double>(&value)) return *d;
  if (const auto* s = std::get_if<std::string>(&value)) {
    try {
      size_t used = 0;
      const std::string t = Trim(*s);
      const double d = std::stod(t, &used);
      if (used == t.size()) return d;
    } catch (const std::exception&) {
    }
    throw EFBError(Format("\"%s\" is not a valid floating point value", {*s}));
  }
  return static_cast<double>(DBScalarToInt64(value));
}

bool DBScalarToBool(const TDBScalar& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b;
  if (const auto* s = std::get_if<std::string>(&value)) {
    const std::string t = Upper(Trim(*s));
    if (t == "TRUE" || t == "T" || t == "1" || t == "Y" || t == "YES") return true;
    if (t.empty() || t == "FALSE" || t == "F" || t == "0" || t == "N" || t == "NO") return false;
    throw EFBError(Format("\"%s\" is not a valid Boolean value", {*s}));
  }
  return DBScalarToInt64(value) != 0;
}

TDBTimestamp DBScalarToTimestamp(const TDBScalar& value) {
  if (const auto* t = std::get_if<TDBTimestamp>(&value)) return *t;
  if (std::holds_alternative<TDBNull>(value)) return TDBTimestamp{};
  throw EFBError(Format("\"%s\" is not a valid date-time value", {DBScalarToString(value)}));
}

TDataSet::TDataSet(std::vector<std::string> field_names, std::vector<std::vector<TDBScalar>> rows)
    : FFieldNames(std::move(field_names)), FRows(std::move(rows)) {}

int TDataSet::FindField(std::string_view name) const {
  for (size_t i = 0; i < FFieldNames.size(); ++i)
    if (SameText(FFieldNames[i], name)) return static_cast<int>(i);
  return -1;
}

const TDBScalar& TDataSet::Value(std::string_view field) const {
  const int index = FindField(field);
  if (index < 0) throw EFBError(Format("Field \"%s\" not found", {std::string(field)}));
  if (Eof()) throw EFBError(Format("No current record for field \"%s\"", {std::string(field)}));
  return FRows[FRecNo][static_cast<size_t>(index)];
}

bool TDataSet::IsNull(std::string_view field) const {
  return std::holds_alternative<TDBNull>(Value(field));
}

// ---------------------------------------------------------------------------------------------
// Statement text

TFBNamedSQL TranslateNamedParameters(const std::string& sql) {
  TFBNamedSQL out;
  out.FSQL.reserve(sql.size());
  const size_t n = sql.size();
  auto ident_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; };
  size_t i = 0;
  while (i < n) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      // A doubled quote inside stays inside.
      size_t j = i + 1;
      while (j < n) {
        if (sql[j] == c) {
          if (j + 1 < n && sql[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      const size_t end = std::min(j + 1, n);
      out.FSQL.append(sql, i, end - i);
      i = end;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const size_t e = sql.find('\n', i);
      const size_t end = e == std::string::npos ? n : e;
      out.FSQL.append(sql, i, end - i);
      i = end;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t e = sql.find("*/", i + 2);
      const size_t end = e == std::string::npos ? n : e + 2;
      out.FSQL.append(sql, i, end - i);
      i = end;
    } else if (c == ':' && i + 1 < n &&
               (std::isalpha(static_cast<unsigned char>(sql[i + 1])) || sql[i + 1] == '_') &&
               (i == 0 || !ident_char(sql[i - 1]))) {
      size_t j = i + 1;
      while (j < n && ident_char(sql[j])) ++j;
      out.FNames.push_back(Upper(std::string_view(sql).substr(i + 1, j - i - 1)));
      out.FSQL.push_back('?');
      i = j;
    } else {
      out.FSQL.push_back(c);
      ++i;
    }
  }
  return out;
}

std::vector<std::string> SplitSQLScript(const std::string& script) {
  std::vector<std::string> statements;
  std::string terminator = ";";
  std::string current;
  const size_t n = script.size();
  size_t i = 0;
  auto flush = [&]() {
    std::string s = Trim(current);
    current.clear();
    if (s.empty()) return;
    const std::string u = Upper(s);
    if (u.rfind("SET TERM", 0) == 0) {
      std::string t = Trim(s.substr(8));
      if (!t.empty()) terminator = t;
      return;
    }
    if (u == "COMMIT" || u == "COMMIT WORK" || u.rfind("SET SQL DIALECT", 0) == 0 ||
        u.rfind("SET NAMES", 0) == 0 || u.rfind("SET AUTODDL", 0) == 0)
      return;
    statements.push_back(s);
  };
  while (i < n) {
    const char c = script[i];
    // "SET TERM x ;" ends with the terminator in force before it, so look for it by hand.
    if (Trim(current).empty() && n - i >= 8 && Upper(script.substr(i, 8)) == "SET TERM") {
      const size_t e = script.find(terminator, i + 8);
      const size_t end = e == std::string::npos ? n : e;
      current = script.substr(i, end - i);
      flush();
      i = end == n ? n : end + terminator.size();
      continue;
    }
    if (c == '\'' || c == '"') {
      size_t j = i + 1;
      while (j < n && script[j] != c) ++j;
      const size_t end = std::min(j + 1, n);
      current.append(script, i, end - i);
      i = end;
    } else if (c == '-' && i + 1 < n && script[i + 1] == '-') {
      const size_t e = script.find('\n', i);
      i = e == std::string::npos ? n : e + 1;
      current.push_back('\n');
    } else if (c == '/' && i + 1 < n && script[i + 1] == '*') {
      const size_t e = script.find("*/", i + 2);
      i = e == std::string::npos ? n : e + 2;
      current.push_back(' ');
    } else if (script.compare(i, terminator.size(), terminator) == 0) {
      flush();
      i += terminator.size();
    } else {
      current.push_back(c);
      ++i;
    }
  }
  flush();
  return statements;
}

// ---------------------------------------------------------------------------------------------
// Parameters from lines

TFBConnectParams TFBConnectParams::FromLines(const std::vector<std::string>& lines, const std::string& base_dir) {
  TFBConnectParams p;
  std::string database, server, instance;
  for (const auto& line : lines) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = Upper(Trim(line.substr(0, eq)));
    const std::string value = line.substr(eq + 1);
    if (name == "DATABASE") database = value;
    else if (name == "SERVER") server = value;
    else if (name == "INSTANCENAME") instance = value;
    else if (name == "USER_NAME") p.FUserName = value;
    else if (name == "PASSWORD") p.FPassword = value;
    else if (name == "POOLED") p.FPooled = SameText(Trim(value), "True");
    else if (name == "POOL_MAXIMUMITEMS") {
      try {
        p.FPoolMax = std::stoi(value);
      } catch (const std::exception&) {
        p.FPoolMax = 0;
      }
    } else if (name == "CHARACTERSET") p.FCharacterSet = Trim(value);
    else if (name == "OPENMODE") p.FCreate = SameText(Trim(value), "Create");
  }
  // A database text of the form host:path names its own server whatever else is set. On Linux a
  // path has no drive letter, so any colon marks a server part.
  const bool names_server = database.find(':') != std::string::npos;
  const bool local = server.empty() || (SameText(server, "localhost") && instance.empty());
  if (names_server) {
    p.FConnectString = database;
    p.FEmbedded = false;
  } else {
    std::string path = database;
    if (!path.empty() && !base_dir.empty() && std::filesystem::path(path).is_relative())
      path = (std::filesystem::path(base_dir) / path).lexically_normal().string();
    if (local) {
      p.FConnectString = path;
      p.FEmbedded = true;
    } else {
      p.FConnectString = server + (instance.empty() ? "" : "/" + instance) + ":" + path;
      p.FEmbedded = false;
    }
  }
  return p;
}

// ---------------------------------------------------------------------------------------------
// Attachments

namespace {

struct TPrepared {
  IStatement* FStatement = nullptr;
  IMessageMetadata* FInput = nullptr;
  IMessageMetadata* FOutput = nullptr;
  std::vector<std::string> FNames;
  bool FIsSelect = false;
};

std::vector<unsigned char> BuildDPB(const TFBConnectParams& p) {
  TStatus st;
  return Guard([&] {
    IXpbBuilder* dpb = Util()->getXpbBuilder(&st, IXpbBuilder::DPB, nullptr, 0);
    if (!p.FUserName.empty()) dpb->insertString(&st, isc_dpb_user_name, p.FUserName.c_str());
    if (!p.FPassword.empty()) dpb->insertString(&st, isc_dpb_password, p.FPassword.c_str());
    if (!p.FCharacterSet.empty()) dpb->insertString(&st, isc_dpb_lc_ctype, p.FCharacterSet.c_str());
    // The system configuration may list only the remote providers; a plain path must open
    // with the embedded engine without editing system files.
    if (p.FEmbedded) dpb->insertString(&st, isc_dpb_config, "Providers=Engine12");
    if (p.FCreate) {
      dpb->insertInt(&st, isc_dpb_sql_dialect, 3);
      dpb->insertInt(&st, isc_dpb_page_size, 8192);
      dpb->insertString(&st, isc_dpb_set_db_charset, p.FCharacterSet.empty() ? "UTF8" : p.FCharacterSet.c_str());
    }
    const unsigned char* b = dpb->getBuffer(&st);
    std::vector<unsigned char> out(b, b + dpb->getBufferLength(&st));
    dpb->dispose();
    return out;
  });
}

}  // namespace

class TFBAttachment {
 public:
  explicit TFBAttachment(IAttachment* att) : FAtt(att) {}
  ~TFBAttachment() {
    FreeStatements();
    if (FAtt) {
      try {
        TStatus st;
        FAtt->detach(&st);
        FAtt = nullptr;
      } catch (const FbException&) {
        // A dead attachment cannot detach; releasing the interface frees our side of it.
        FAtt->release();
        FAtt = nullptr;
      }
    }
  }

  static std::unique_ptr<TFBAttachment> Connect(const TFBConnectParams& p) {
    const auto dpb = BuildDPB(p);
    TStatus st;
    IAttachment* att = Guard([&] {
      return p.FCreate ? Dispatcher()->createDatabase(&st, p.FConnectString.c_str(), static_cast<unsigned>(dpb.size()), dpb.data())
                       : Dispatcher()->attachDatabase(&st, p.FConnectString.c_str(), static_cast<unsigned>(dpb.size()), dpb.data());
    });
    auto a = std::make_unique<TFBAttachment>(att);
    a->FLockTimeout = p.FLockTimeoutSeconds;
    return a;
  }

  bool Ping() {
    try {
      TStatus st;
      FAtt->ping(&st);
      return true;
    } catch (const FbException&) {
      return false;
    }
  }

  ITransaction* Start(TFBLockWait wait, bool read_only) {
    std::vector<unsigned char> tpb = {isc_tpb_version3, static_cast<unsigned char>(read_only ? isc_tpb_read : isc_tpb_write),
                                      isc_tpb_read_committed, isc_tpb_rec_version};
    if (wait == TFBLockWait::Wait) {
      tpb.push_back(isc_tpb_wait);
      // A bounded wait: a row held by a stuck transaction becomes a lock error, never a hang.
      tpb.push_back(isc_tpb_lock_timeout);
      tpb.push_back(4);
      const uint32_t t = static_cast<uint32_t>(FLockTimeout);
      for (int i = 0; i < 4; ++i) tpb.push_back(static_cast<unsigned char>((t >> (8 * i)) & 0xFF));
    } else {
      tpb.push_back(isc_tpb_nowait);
    }
    TStatus st;
    return Guard([&] { return FAtt->startTransaction(&st, static_cast<unsigned>(tpb.size()), tpb.data()); });
  }

  TPrepared& Prepare(const std::string& sql, ITransaction* tra) {
    auto it = FStatements.find(sql);
    if (it != FStatements.end()) return it->second;
    if (FStatements.size() >= kMaxCachedStatements) FreeStatements();
    TFBNamedSQL named = TranslateNamedParameters(sql);
    TPrepared prepared;
    TStatus st;
    Guard([&] {
      prepared.FStatement = FAtt->prepare(&st, tra, 0, named.FSQL.c_str(), SQL_DIALECT_V6,
                                          IStatement::PREPARE_PREFETCH_METADATA);
      try {
        prepared.FInput = prepared.FStatement->getInputMetadata(&st);
        prepared.FOutput = prepared.FStatement->getOutputMetadata(&st);
        const unsigned type = prepared.FStatement->getType(&st);
        prepared.FIsSelect = type == isc_info_sql_stmt_select || type == isc_info_sql_stmt_select_for_upd;
      } catch (...) {
        Free(prepared);
        throw;
      }
    });
    prepared.FNames = std::move(named.FNames);
    return FStatements.emplace(sql, prepared).first->second;
  }

  void FreeStatements() {
    for (auto& [sql, p] : FStatements) Free(p);
    FStatements.clear();
  }

  IAttachment* Handle() { return FAtt; }
  void Forget() { FAtt = nullptr; }
  /// Call texts of stored procedures, built once per attachment from the system tables.
  std::unordered_map<std::string, std::string> FProcCalls;

 private:
  static void Free(TPrepared& p) {
    if (p.FInput) p.FInput->release();
    if (p.FOutput) p.FOutput->release();
    if (p.FStatement) {
      try {
        TStatus st;
        p.FStatement->free(&st);
      } catch (const FbException&) {
        p.FStatement->release();
      }
    }
    p = TPrepared{};
  }

  static constexpr size_t kMaxCachedStatements = 200;
  IAttachment* FAtt;
  int FLockTimeout = 10;
  std::unordered_map<std::string, TPrepared> FStatements;
};

// ---------------------------------------------------------------------------------------------
// Definitions and pools

class TFBConnectionDef {
 public:
  explicit TFBConnectionDef(TFBConnectParams params) : FParams(std::move(params)) {}
  ~TFBConnectionDef() { CloseIdle(); }

  const TFBConnectParams& Params() const { return FParams; }
  int Max() const { return FParams.FPoolMax > 0 ? FParams.FPoolMax : TFBConnectParams::kDefaultPoolMax; }

  std::unique_ptr<TFBAttachment> Acquire() {
    if (!FParams.FPooled) return TFBAttachment::Connect(FParams);
    {
      std::unique_lock lock(FLock);
      const bool got = FFree.wait_for(lock, FParams.FPoolWaitTimeout,
                                      [&] { return FClosed || FInUse < Max(); });
      if (FClosed) throw EFBError("The connection definition has been closed", TFBErrorKind::PoolExhausted);
      if (!got)
        throw EFBError(Format("Connection pool exhausted: all %d connections stayed in use for %d ms",
                              {Max(), static_cast<int>(FParams.FPoolWaitTimeout.count())}),
                       TFBErrorKind::PoolExhausted);
      ++FInUse;
      // Most recently returned first: its pages are the warmest.
      while (!FIdle.empty()) {
        std::unique_ptr<TFBAttachment> a = std::move(FIdle.back());
        FIdle.pop_back();
        lock.unlock();
        // A server restart or a cancelled attachment leaves a dead handle in the pool: check
        // it (outside the lock) and replace it rather than fail the caller's first statement.
        if (a->Ping()) return a;
        a.reset();
        lock.lock();
      }
    }
    try {
      return TFBAttachment::Connect(FParams);
    } catch (...) {
      Release(nullptr);
      throw;
    }
  }

  /// Gives a connection back; nullptr when the checkout produced nothing reusable.
  void Release(std::unique_ptr<TFBAttachment> a) {
    if (!FParams.FPooled) return;  // `a` detaches here
    std::unique_ptr<TFBAttachment> discard;
    {
      std::lock_guard lock(FLock);
      --FInUse;
      if (a && !FClosed) FIdle.push_back(std::move(a));
      else discard = std::move(a);
    }
    FFree.notify_one();
  }

  void Close() {
    {
      std::lock_guard lock(FLock);
      FClosed = true;
    }
    FFree.notify_all();
    CloseIdle();
  }

  int InUse() {
    std::lock_guard lock(FLock);
    return FInUse;
  }
  int Idle() {
    std::lock_guard lock(FLock);
    return static_cast<int>(FIdle.size());
  }

 private:
  void CloseIdle() {
    std::vector<std::unique_ptr<TFBAttachment>> idle;
    {
      std::lock_guard lock(FLock);
      idle.swap(FIdle);
    }
  }

  TFBConnectParams FParams;
  std::mutex FLock;
  std::condition_variable FFree;
  std::vector<std::unique_ptr<TFBAttachment>> FIdle;
  int FInUse = 0;
  bool FClosed = false;
};

namespace {

struct TDefsRegistry {
  std::mutex FLock;
  std::map<std::string, std::shared_ptr<TFBConnectionDef>> FDefs;  // upper-cased names
};

// Never destroyed: connections may still come back while the process exits.
TDefsRegistry& Registry() {
  static TDefsRegistry* registry = new TDefsRegistry;
  return *registry;
}

}  // namespace

void TFBConnectionDefs::Add(const std::string& name, const TFBConnectParams& params) {
  auto def = std::make_shared<TFBConnectionDef>(params);
  std::shared_ptr<TFBConnectionDef> old;
  {
    std::lock_guard lock(Registry().FLock);
    auto& slot = Registry().FDefs[Upper(name)];
    old = std::move(slot);
    slot = std::move(def);
  }
  if (old) old->Close();
}

bool TFBConnectionDefs::Exists(const std::string& name) {
  std::lock_guard lock(Registry().FLock);
  return Registry().FDefs.count(Upper(name)) > 0;
}

void TFBConnectionDefs::Close(const std::string& name) {
  std::shared_ptr<TFBConnectionDef> old;
  {
    std::lock_guard lock(Registry().FLock);
    auto it = Registry().FDefs.find(Upper(name));
    if (it == Registry().FDefs.end()) return;
    old = std::move(it->second);
    Registry().FDefs.erase(it);
  }
  old->Close();
}

void TFBConnectionDefs::CloseAll() {
  std::map<std::string, std::shared_ptr<TFBConnectionDef>> all;
  {
    std::lock_guard lock(Registry().FLock);
    all.swap(Registry().FDefs);
  }
  for (auto& [name, def] : all) def->Close();
}

std::shared_ptr<TFBConnectionDef> TFBConnectionDefs::Find(const std::string& name) {
  std::lock_guard lock(Registry().FLock);
  auto it = Registry().FDefs.find(Upper(name));
  if (it == Registry().FDefs.end())
    throw EFBError(Format("Connection definition \"%s\" is not registered", {name}));
  return it->second;
}

int TFBConnectionDefs::InUseCount(const std::string& name) { return Find(name)->InUse(); }
int TFBConnectionDefs::IdleCount(const std::string& name) { return Find(name)->Idle(); }

// ---------------------------------------------------------------------------------------------
// Transactions

TFBTransaction::~TFBTransaction() {
  if (!FHandle) return;
  try {
    Rollback();
  } catch (const EFBError&) {
    // The attachment is gone; its transaction went with it.
    FHandle = nullptr;
  }
}

void TFBTransaction::Start(TFBLockWait wait, bool read_only) {
  if (FHandle) throw EFBError("A transaction is already active");
  try {
    FHandle = FConnection.Attachment().Start(wait, read_only);
  } catch (const EFBError& e) {
    FConnection.NoteFailure(e);
    throw;
  }
}

void TFBTransaction::Commit() {
  if (!FHandle) throw EFBError("No transaction is active");
  auto* tra = static_cast<ITransaction*>(FHandle);
  try {
    TStatus st;
    Guard([&] { tra->commit(&st); });
    FHandle = nullptr;
  } catch (const EFBError& e) {
    FConnection.NoteFailure(e);
    throw;
  }
}

void TFBTransaction::Rollback() {
  if (!FHandle) throw EFBError("No transaction is active");
  auto* tra = static_cast<ITransaction*>(FHandle);
  FHandle = nullptr;
  try {
    TStatus st;
    Guard([&] { tra->rollback(&st); });
  } catch (const EFBError& e) {
    tra->release();
    FConnection.NoteFailure(e);
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Connections

TFBConnection::TFBConnection(std::shared_ptr<TFBConnectionDef> definition) : FDefinition(std::move(definition)) {}

TFBConnection::TFBConnection(const TFBConnectParams& params)
    : FOwnParams(std::make_unique<TFBConnectParams>(params)) {
  FOwnParams->FPooled = false;
}

TFBConnection::~TFBConnection() { Close(); }

void TFBConnection::Open() { Attachment(); }

TFBAttachment& TFBConnection::Attachment() {
  if (!FAttachment) {
    FBroken = false;
    FAttachment = FDefinition ? FDefinition->Acquire() : TFBAttachment::Connect(*FOwnParams);
    // Creating happens once; later attaches of a stand-alone connection open what was created.
    if (FOwnParams) FOwnParams->FCreate = false;
  }
  return *FAttachment;
}

void TFBConnection::NoteFailure(const EFBError& error) {
  if (error.Kind() == TFBErrorKind::ConnectionLost) FBroken = true;
}

void TFBConnection::ReleaseAttachment(bool reusable) {
  std::unique_ptr<TFBAttachment> a = std::move(FAttachment);
  if (!a) return;
  if (!reusable) {
    // Do not try to detach a handle the engine already dropped.
    if (FBroken) {
      a->FreeStatements();
      a->Handle()->release();
      a->Forget();
    }
    a.reset();
  }
  if (FDefinition) FDefinition->Release(std::move(a));
}

void TFBConnection::Close() {
  if (!FAttachment) return;
  bool reusable = !FBroken;
  if (FTransaction.Active()) {
    try {
      FTransaction.Rollback();
    } catch (const EFBError&) {
      reusable = false;
    }
  }
  ReleaseAttachment(reusable && !FBroken);
}

void TFBConnection::StartTransaction(TFBLockWait wait, bool read_only) { FTransaction.Start(wait, read_only); }
void TFBConnection::Commit() { FTransaction.Commit(); }
void TFBConnection::Rollback() { FTransaction.Rollback(); }

namespace {

const TDBParamValue* FindParam(const TDBParams& params, const std::string& upper_name) {
  for (const auto& [name, value] : params)
    if (SameText(name, upper_name)) return &value;
  return nullptr;
}

ISC_QUAD WriteBlob(IAttachment* att, ITransaction* tra, const std::string& text) {
  ISC_QUAD id{};
  TStatus st;
  IBlob* blob = att->createBlob(&st, tra, &id, 0, nullptr);
  try {
    size_t pos = 0;
    while (pos < text.size()) {
      const unsigned chunk = static_cast<unsigned>(std::min<size_t>(32768, text.size() - pos));
      blob->putSegment(&st, chunk, text.data() + pos);
      pos += chunk;
    }
    blob->close(&st);
  } catch (...) {
    blob->release();
    throw;
  }
  return id;
}

std::string ReadBlob(IAttachment* att, ITransaction* tra, ISC_QUAD id) {
  std::string out;
  TStatus st;
  IBlob* blob = att->openBlob(&st, tra, &id, 0, nullptr);
  try {
    char buf[32768];
    for (;;) {
      unsigned got = 0;
      const int rc = blob->getSegment(&st, sizeof buf, buf, &got);
      if (rc == IStatus::RESULT_OK || rc == IStatus::RESULT_SEGMENT) out.append(buf, got);
      else break;
    }
    blob->close(&st);
  } catch (...) {
    blob->release();
    throw;
  }
  return out;
}

// The input message: the statement's own layout with each value's type put in, so the engine
// converts (string to number, and so on) exactly as for a literal of that type.
struct TInputMessage {
  TMetaPtr FMeta;
  std::vector<unsigned char> FBuffer;
};

TInputMessage BuildInput(IAttachment* att, ITransaction* tra, const TPrepared& p, const TDBParams& params,
                         bool missing_is_null) {
  TInputMessage msg;
  TStatus st;
  const unsigned count = p.FInput->getCount(&st);
  if (count == 0) return msg;
  std::vector<const TDBScalar*> values(count);
  static const TDBScalar kNull = TDBNull{};
  for (unsigned i = 0; i < count; ++i) {
    const std::string& name = i < p.FNames.size() ? p.FNames[i] : std::string();
    const TDBParamValue* v = FindParam(params, name);
    if (!v) {
      if (!missing_is_null) throw EFBError(Format("No value given for parameter \"%s\"", {name}));
      values[i] = &kNull;
    } else if (v->FIsList) {
      throw EFBError(Format("Parameter \"%s\" is a list; lists travel through TEMPSTRINGS", {name}));
    } else {
      values[i] = &v->FScalar;
    }
  }
  IMetadataBuilder* builder = p.FInput->getBuilder(&st);
  try {
    for (unsigned i = 0; i < count; ++i) {
      const unsigned orig = p.FInput->getType(&st, i) & ~1u;
      const TDBScalar& v = *values[i];
      if (std::holds_alternative<TDBNull>(v)) continue;
      if (orig == SQL_BLOB) continue;  // written as a blob below
      if (std::holds_alternative<int32_t>(v)) {
        builder->setType(&st, i, SQL_LONG + 1);
        builder->setScale(&st, i, 0);
        builder->setLength(&st, i, sizeof(int32_t));
      } else if (std::holds_alternative<int64_t>(v)) {
        builder->setType(&st, i, SQL_INT64 + 1);
        builder->setScale(&st, i, 0);
        builder->setLength(&st, i, sizeof(int64_t));
      } else if (std::holds_alternative<double>(v)) {
        builder->setType(&st, i, SQL_DOUBLE + 1);
        builder->setScale(&st, i, 0);
        builder->setLength(&st, i, sizeof(double));
      } else if (std::holds_alternative<bool>(v)) {
        // Columns may be BOOLEAN or a 0/1 SMALLINT; the engine converts neither into the other.
        if (orig == SQL_BOOLEAN) {
          builder->setType(&st, i, SQL_BOOLEAN + 1);
          builder->setLength(&st, i, 1);
        } else {
          builder->setType(&st, i, SQL_SHORT + 1);
          builder->setScale(&st, i, 0);
          builder->setLength(&st, i, sizeof(int16_t));
        }
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        if (s->size() > 32765) throw EFBError(Format("Value of parameter \"%s\" is too long", {p.FNames[i]}));
        const bool text = orig == SQL_VARYING || orig == SQL_TEXT;
        const unsigned charset = text ? p.FInput->getCharSet(&st, i) : 4u /* UTF8 */;
        builder->setType(&st, i, SQL_VARYING + 1);
        builder->setCharSet(&st, i, charset);
        builder->setLength(&st, i, static_cast<unsigned>(std::max<size_t>(s->size(), 1)));
      } else if (std::holds_alternative<TDBTimestamp>(v)) {
        builder->setType(&st, i, SQL_TIMESTAMP + 1);
        builder->setLength(&st, i, sizeof(ISC_TIMESTAMP));
      }
    }
    msg.FMeta.reset(builder->getMetadata(&st));
    builder->release();
  } catch (...) {
    builder->release();
    throw;
  }
  IMessageMetadata* meta = msg.FMeta.get();
  msg.FBuffer.assign(meta->getMessageLength(&st), 0);
  unsigned char* buf = msg.FBuffer.data();
  for (unsigned i = 0; i < count; ++i) {
    const TDBScalar& v = *values[i];
    auto* null_ind = reinterpret_cast<int16_t*>(buf + meta->getNullOffset(&st, i));
    unsigned char* data = buf + meta->getOffset(&st, i);
    if (std::holds_alternative<TDBNull>(v)) {
      *null_ind = -1;
      continue;
    }
    *null_ind = 0;
    const unsigned type = meta->getType(&st, i) & ~1u;
    if (type == SQL_BLOB) {
      const ISC_QUAD id = WriteBlob(att, tra, DBScalarToString(v));
      std::memcpy(data, &id, sizeof id);
    } else if (const auto* i32 = std::get_if<int32_t>(&v)) {
      std::memcpy(data, i32, sizeof *i32);
    } else if (const auto* i64 = std::get_if<int64_t>(&v)) {
      std::memcpy(data, i64, sizeof *i64);
    } else if (const auto* d = std::get_if<double>(&v)) {
      std::memcpy(data, d, sizeof *d);
    } else if (const auto* b = std::get_if<bool>(&v)) {
      if (type == SQL_BOOLEAN) {
        *data = *b ? 1 : 0;
      } else {
        const int16_t s = *b ? 1 : 0;
        std::memcpy(data, &s, sizeof s);
      }
    } else if (const auto* s = std::get_if<std::string>(&v)) {
      const uint16_t len = static_cast<uint16_t>(s->size());
      std::memcpy(data, &len, sizeof len);
      std::memcpy(data + 2, s->data(), s->size());
    } else if (const auto* ts = std::get_if<TDBTimestamp>(&v)) {
      ISC_TIMESTAMP t;
      ToIscTimestamp(*ts, t.timestamp_date, t.timestamp_time);
      std::memcpy(data, &t, sizeof t);
    }
  }
  return msg;
}

std::vector<TDBScalar> DecodeRow(IAttachment* att, ITransaction* tra, IMessageMetadata* meta,
                                 const unsigned char* buf, unsigned count) {
  TStatus st;
  std::vector<TDBScalar> row;
  row.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    if (*reinterpret_cast<const int16_t*>(buf + meta->getNullOffset(&st, i))) {
      row.emplace_back(TDBNull{});
      continue;
    }
    const unsigned char* data = buf + meta->getOffset(&st, i);
    const unsigned type = meta->getType(&st, i) & ~1u;
    const int scale = meta->getScale(&st, i);
    auto scaled = [&](int64_t raw) -> TDBScalar {
      if (scale == 0) return raw;
      return static_cast<double>(raw) * std::pow(10.0, scale);
    };
    switch (type) {
      case SQL_TEXT: {
        std::string s(reinterpret_cast<const char*>(data), meta->getLength(&st, i));
        while (!s.empty() && s.back() == ' ') s.pop_back();
        row.emplace_back(std::move(s));
        break;
      }
      case SQL_VARYING: {
        uint16_t len;
        std::memcpy(&len, data, sizeof len);
        row.emplace_back(std::string(reinterpret_cast<const char*>(data + 2), len));
        break;
      }
      case SQL_SHORT: {
        int16_t v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(scale == 0 ? TDBScalar(static_cast<int32_t>(v)) : scaled(v));
        break;
      }
      case SQL_LONG: {
        int32_t v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(scale == 0 ? TDBScalar(v) : scaled(v));
        break;
      }
      case SQL_INT64: {
        int64_t v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(scaled(v));
        break;
      }
      case SQL_FLOAT: {
        float v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(static_cast<double>(v));
        break;
      }
      case SQL_DOUBLE:
      case SQL_D_FLOAT: {
        double v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(v);
        break;
      }
      case SQL_BOOLEAN:
        row.emplace_back(*data != 0);
        break;
      case SQL_TIMESTAMP: {
        ISC_TIMESTAMP v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(FromIscTimestamp(v.timestamp_date, v.timestamp_time));
        break;
      }
      case SQL_TYPE_DATE: {
        ISC_DATE v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(FromIscTimestamp(v, 0));
        break;
      }
      case SQL_TYPE_TIME: {
        ISC_TIME v;
        std::memcpy(&v, data, sizeof v);
        row.emplace_back(FromIscTimestamp(kMJDOf1970, v));
        break;
      }
      case SQL_BLOB: {
        ISC_QUAD id;
        std::memcpy(&id, data, sizeof id);
        row.emplace_back(ReadBlob(att, tra, id));
        break;
      }
      default:
        row.emplace_back(TDBNull{});
        break;
    }
  }
  return row;
}

}  // namespace

std::unique_ptr<TDataSet> TFBConnection::Run(const std::string& sql, const TDBParams& params, bool missing_is_null,
                                              TFBTransaction* transaction, bool read_only) {
  TFBTransaction* tx = transaction ? transaction : (FTransaction.Active() ? &FTransaction : nullptr);
  std::unique_ptr<TFBTransaction> own;
  if (!tx) {
    own = std::make_unique<TFBTransaction>(*this);
    own->Start(TFBLockWait::Wait, read_only);
    tx = own.get();
  } else if (!tx->Active()) {
    throw EFBError("The transaction given for the statement is not active");
  }
  try {
    TFBAttachment& a = Attachment();
    auto* tra = static_cast<ITransaction*>(tx->FHandle);
    std::unique_ptr<TDataSet> result = Guard([&] {
      TPrepared& p = a.Prepare(sql, tra);
      TInputMessage in = BuildInput(a.Handle(), tra, p, params, missing_is_null);
      TStatus st;
      const unsigned out_count = p.FOutput->getCount(&st);
      std::vector<std::string> names;
      for (unsigned i = 0; i < out_count; ++i) {
        const char* alias = p.FOutput->getAlias(&st, i);
        names.emplace_back(alias && *alias ? alias : p.FOutput->getField(&st, i));
      }
      std::vector<std::vector<TDBScalar>> rows;
      std::vector<unsigned char> out(p.FOutput->getMessageLength(&st));
      if (p.FIsSelect) {
        IResultSet* cursor = p.FStatement->openCursor(&st, tra, in.FMeta.get(), in.FBuffer.data(), p.FOutput, 0);
        try {
          while (cursor->fetchNext(&st, out.data()) == IStatus::RESULT_OK)
            rows.push_back(DecodeRow(a.Handle(), tra, p.FOutput, out.data(), out_count));
          cursor->close(&st);
        } catch (...) {
          cursor->release();
          throw;
        }
      } else {
        p.FStatement->execute(&st, tra, in.FMeta.get(), in.FBuffer.data(), out_count ? p.FOutput : nullptr,
                              out_count ? out.data() : nullptr);
        if (out_count) rows.push_back(DecodeRow(a.Handle(), tra, p.FOutput, out.data(), out_count));
      }
      return std::make_unique<TDataSet>(std::move(names), std::move(rows));
    });
    if (own) own->Commit();
    return result;
  } catch (const EFBError& e) {
    NoteFailure(e);
    if (own && own->Active()) {
      try {
        own->Rollback();
      } catch (const EFBError&) {
        // The original failure is the one to report.
      }
    }
    throw;
  }
}

std::unique_ptr<TDataSet> TFBConnection::Query(const std::string& sql, const TDBParams& params,
                                               TFBTransaction* transaction) {
  return Run(sql, params, false, transaction, true);
}

void TFBConnection::Execute(const std::string& sql, const TDBParams& params, TFBTransaction* transaction) {
  Run(sql, params, false, transaction);
}

void TFBConnection::ExecuteBatch(const std::string& sql, const std::vector<TDBParams>& rows,
                                 TFBTransaction* transaction) {
  TFBTransaction* tx = transaction ? transaction : (FTransaction.Active() ? &FTransaction : nullptr);
  std::unique_ptr<TFBTransaction> own;
  if (!tx) {
    own = std::make_unique<TFBTransaction>(*this);
    own->Start(TFBLockWait::Wait);
    tx = own.get();
  }
  // The statement is prepared once (cached by its text) and executed per row.
  for (const auto& row : rows) Run(sql, row, false, tx);
  if (own) own->Commit();
}

namespace {

// "EXECUTE PROCEDURE P(:A, :B)" (or "select * from P(...)") with the procedure's input
// parameters in their declared order, so callers bind by name in any order.
std::string ProcedureCall(TFBConnection& c, TFBAttachment& a, const std::string& procedure, bool select) {
  if (!IsIdentifier(procedure)) throw EFBError(Format("Invalid procedure name \"%s\"", {procedure}));
  const std::string key = (select ? "S:" : "E:") + Upper(procedure);
  if (auto it = a.FProcCalls.find(key); it != a.FProcCalls.end()) return it->second;
  auto rows = c.Query(
      "select trim(RDB$PARAMETER_NAME) as PNAME from RDB$PROCEDURE_PARAMETERS "
      "where RDB$PROCEDURE_NAME = :proc and RDB$PARAMETER_TYPE = 0 order by RDB$PARAMETER_NUMBER",
      {{"proc", TDBScalar(Upper(procedure))}});
  std::string args;
  for (rows->First(); !rows->Eof(); rows->Next()) {
    const std::string name = rows->AsString("PNAME");
    if (!IsIdentifier(name)) throw EFBError(Format("Unusable parameter name \"%s\"", {name}));
    args += (args.empty() ? ":" : ", :") + name;
  }
  if (rows->IsEmpty()) {
    auto exists = c.Query("select count(*) as N from RDB$PROCEDURES where RDB$PROCEDURE_NAME = :proc",
                          {{"proc", TDBScalar(Upper(procedure))}});
    if (exists->AsLargeInt("N") == 0) throw EFBError(Format("Procedure unknown: %s", {procedure}));
  }
  const std::string call = Upper(procedure) + (args.empty() ? "" : "(" + args + ")");
  return a.FProcCalls[key] = select ? "select * from " + call : "EXECUTE PROCEDURE " + call;
}

}  // namespace

std::unique_ptr<TDataSet> TFBConnection::ExecProc(const std::string& procedure, const TDBParams& params,
                                                  TFBTransaction* transaction) {
  return Run(ProcedureCall(*this, Attachment(), procedure, false), params, true, transaction);
}

TDBScalar TFBConnection::ExecProcFunction(const std::string& procedure, const TDBParams& params,
                                          TFBTransaction* transaction) {
  auto result = ExecProc(procedure, params, transaction);
  if (result->IsEmpty() || result->FieldCount() == 0) return TDBNull{};
  return result->Rows()[0][0];
}

std::unique_ptr<TDataSet> TFBConnection::SelectProc(const std::string& procedure, const TDBParams& params,
                                                    TFBTransaction* transaction) {
  return Run(ProcedureCall(*this, Attachment(), procedure, true), params, true, transaction);
}

void TFBConnection::ExecuteScript(const std::string& script) {
  TFBAttachment& a = Attachment();
  for (const auto& statement : SplitSQLScript(script)) {
    TFBTransaction tx(*this);
    tx.Start(TFBLockWait::Wait);
    try {
      TStatus st;
      Guard([&] {
        a.Handle()->execute(&st, static_cast<ITransaction*>(tx.FHandle), 0, statement.c_str(), SQL_DIALECT_V6,
                            nullptr, nullptr, nullptr, nullptr);
      });
    } catch (const EFBError& e) {
      const std::string head = statement.substr(0, 120);
      throw EFBError(std::string(e.what()) + "\nin statement: " + head, e.Kind(), e.Codes());
    }
    tx.Commit();
  }
}

void TFBConnection::DropDatabase() {
  if (FTransaction.Active()) FTransaction.Rollback();
  TFBAttachment& a = Attachment();
  a.FreeStatements();
  TStatus st;
  Guard([&] { a.Handle()->dropDatabase(&st); });
  a.Forget();
  FAttachment.reset();
  if (FDefinition) FDefinition->Release(nullptr);
}

int64_t TFBConnection::AttachmentId() {
  auto ds = Query("select CURRENT_CONNECTION as ID from RDB$DATABASE");
  return ds->AsLargeInt("ID");
}
