// The server's own thin layer over Firebird's object-oriented API: named, pooled connection
// definitions, transactions, statements with named parameters, batches, stored procedures, and
// engine errors classified so that callers can react to lock conflicts and key violations.
//
// Nothing above this layer sees a Firebird interface. A `TFBConnection` belongs to one thread at
// a time; the definitions registry and the pools are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "KelvoServer.DBTypes.h"
#include "KelvoServerAPI.Exceptions.h"

enum class TFBErrorKind {
  Other,
  /// Lock conflict, deadlock, update conflict, lock time-out: another transaction holds the row.
  RecordLocked,
  /// Unique, primary or foreign key violated.
  KeyViolation,
  /// The attachment is gone (server shut down, attachment cancelled, network failure).
  ConnectionLost,
  /// No pooled connection became free within the pool's wait time.
  PoolExhausted,
};

/// A failure of the database engine or of this layer. `what()` is the engine's message text
/// (the lines of the status vector, joined by "\n").
class EFBError : public EKelvoException {
 public:
  explicit EFBError(const std::string& message, TFBErrorKind kind = TFBErrorKind::Other,
                    std::vector<intptr_t> codes = {});
  TFBErrorKind Kind() const { return FKind; }
  /// The engine's error codes (isc_...) in status-vector order; empty for errors of this layer.
  const std::vector<intptr_t>& Codes() const { return FCodes; }
  bool HasCode(intptr_t code) const;

 private:
  TFBErrorKind FKind;
  std::vector<intptr_t> FCodes;
};

/// Kind of an engine failure from its error codes.
TFBErrorKind ClassifyFBErrorCodes(const std::vector<intptr_t>& codes);

// ---------------------------------------------------------------------------------------------
// Values

std::string DBScalarToString(const TDBScalar& value);
int64_t DBScalarToInt64(const TDBScalar& value);
double DBScalarToDouble(const TDBScalar& value);
bool DBScalarToBool(const TDBScalar& value);
TDBTimestamp DBScalarToTimestamp(const TDBScalar& value);
/// "YYYY-MM-DD HH:MM:SS.mmm".
std::string FormatDBTimestamp(const TDBTimestamp& value);
/// The current wall-clock time in UTC.
TDBTimestamp DBTimestampNowUTC();

/// Rows of a result, fully read into memory; the cursor is on the first row after creation.
/// Field names are the column aliases as the engine reports them (upper case unless quoted);
/// lookups ignore case and take the first column of a name.
class TDataSet {
 public:
  TDataSet(std::vector<std::string> field_names, std::vector<std::vector<TDBScalar>> rows);

  int FieldCount() const { return static_cast<int>(FFieldNames.size()); }
  const std::string& FieldName(int index) const { return FFieldNames.at(index); }
  /// Index of the field, -1 when there is none.
  int FindField(std::string_view name) const;

  size_t RecordCount() const { return FRows.size(); }
  bool IsEmpty() const { return FRows.empty(); }
  bool Eof() const { return FRecNo >= FRows.size(); }
  void First() { FRecNo = 0; }
  void Next() { if (FRecNo < FRows.size()) ++FRecNo; }

  /// Value of a field in the current row. @throws EFBError for an unknown field or at the end.
  const TDBScalar& Value(std::string_view field) const;
  bool IsNull(std::string_view field) const;
  std::string AsString(std::string_view field) const { return DBScalarToString(Value(field)); }
  int32_t AsInteger(std::string_view field) const { return static_cast<int32_t>(DBScalarToInt64(Value(field))); }
  int64_t AsLargeInt(std::string_view field) const { return DBScalarToInt64(Value(field)); }
  double AsFloat(std::string_view field) const { return DBScalarToDouble(Value(field)); }
  bool AsBoolean(std::string_view field) const { return DBScalarToBool(Value(field)); }
  TDBTimestamp AsDateTime(std::string_view field) const { return DBScalarToTimestamp(Value(field)); }

  const std::vector<std::vector<TDBScalar>>& Rows() const { return FRows; }

 private:
  std::vector<std::string> FFieldNames;
  std::vector<std::vector<TDBScalar>> FRows;
  size_t FRecNo = 0;
};

// ---------------------------------------------------------------------------------------------
// Connection definitions and pools

/// Where and how to attach, parsed from "Name=Value" parameter lines.
struct TFBConnectParams {
  /// What the engine is given: a plain path (embedded engine) or "host[/port]:path".
  std::string FConnectString;
  /// The connect string names no server: the embedded engine opens the file in this process.
  bool FEmbedded = true;
  std::string FUserName;
  std::string FPassword;
  /// Connection character set; empty leaves the engine's default.
  std::string FCharacterSet;
  /// Create the database instead of attaching to it (fails when it exists).
  bool FCreate = false;
  bool FPooled = false;
  /// Most connections the pool hands out at once; 0 or less means `kDefaultPoolMax`.
  int FPoolMax = 0;
  /// How long a checkout waits for a free pooled connection before it fails.
  std::chrono::milliseconds FPoolWaitTimeout{10000};
  /// How long a statement in a "wait" transaction waits for a locked row before it fails.
  int FLockTimeoutSeconds = 10;

  // Each attachment of the embedded engine costs a few megabytes in the Apache child, and on a
  // small machine more connections than cores only queue inside the engine: 16 serve the
  // default 32 concurrent requests, which hold a connection only while their statements run.
  static constexpr int kDefaultPoolMax = 16;

  /// Reads the lines "Database=", "Server=", "InstanceName=", "User_Name=", "Password=",
  /// "Pooled=", "POOL_MaximumItems=", "CharacterSet=", "OpenMode=" (names ignore case; others,
  /// such as "SEPassword=", have no Firebird meaning and are ignored). A relative database path
  /// is taken relative to `base_dir` when that is not empty.
  static TFBConnectParams FromLines(const std::vector<std::string>& lines, const std::string& base_dir = {});
};

class TFBConnectionDef;
class TFBAttachment;

/// The process-wide registry of named connection definitions.
class TFBConnectionDefs {
 public:
  /// Registers (or replaces, closing the old pool) a definition.
  static void Add(const std::string& name, const TFBConnectParams& params);
  static bool Exists(const std::string& name);
  /// Closes the definition's idle connections and removes it; connections still checked out
  /// are closed when they come back. Unknown names are ignored.
  static void Close(const std::string& name);
  static void CloseAll();
  /// @throws EFBError when no definition of that name is registered.
  static std::shared_ptr<TFBConnectionDef> Find(const std::string& name);
  /// Connections of the definition that are checked out / idle (tests, diagnostics).
  static int InUseCount(const std::string& name);
  static int IdleCount(const std::string& name);
};

enum class TFBLockWait { Wait, NoWait };

class TFBConnection;

/// A transaction on a connection. The connection has one of its own (`TFBConnection::
/// StartTransaction`); statements that must not share it (a "nowait" step inside a longer
/// unit of work) use a separate one. Rolled back on destruction when still active; must be
/// destroyed before its connection.
class TFBTransaction {
 public:
  explicit TFBTransaction(TFBConnection& connection) : FConnection(connection) {}
  ~TFBTransaction();
  TFBTransaction(const TFBTransaction&) = delete;
  TFBTransaction& operator=(const TFBTransaction&) = delete;

  /// A read-only transaction may still write the transaction-private TEMPSTRINGS rows, and
  /// its commit costs no disk write.
  void Start(TFBLockWait wait = TFBLockWait::Wait, bool read_only = false);
  void Commit();
  void Rollback();
  bool Active() const { return FHandle != nullptr; }

 private:
  friend class TFBConnection;
  TFBConnection& FConnection;
  void* FHandle = nullptr;  // Firebird::ITransaction*
};

/// One database connection: drawn from a definition's pool (returned on `Close` or
/// destruction) or attached on its own. Attaches lazily on first use.
///
/// Statements run in the transaction given, else in the connection's own transaction when
/// one is active, else in a transaction of their own that is committed at once. Parameters
/// are named (":name" in the text, names ignore case); a value absent from the list is an error,
/// except for stored-procedure calls, where it is bound as NULL.
class TFBConnection {
 public:
  /// A connection of a registered definition (pooled when the definition is).
  explicit TFBConnection(std::shared_ptr<TFBConnectionDef> definition);
  /// A stand-alone connection (never pooled).
  explicit TFBConnection(const TFBConnectParams& params);
  ~TFBConnection();
  TFBConnection(const TFBConnection&) = delete;
  TFBConnection& operator=(const TFBConnection&) = delete;

  void Open();
  bool Connected() const { return FAttachment != nullptr; }
  /// Rolls back an open transaction and returns the connection to its pool (or detaches).
  void Close();

  void StartTransaction(TFBLockWait wait = TFBLockWait::Wait, bool read_only = false);
  void Commit();
  void Rollback();
  bool InTransaction() const { return FTransaction.Active(); }

  /// Runs a statement and returns every row it yields (none for statements without output).
  /// Without a transaction it runs in a read-only one of its own: statements that write go
  /// through `Execute`, `ExecProc`, `SelectProc` or an explicit transaction.
  std::unique_ptr<TDataSet> Query(const std::string& sql, const TDBParams& params = {},
                                  TFBTransaction* transaction = nullptr);
  void Execute(const std::string& sql, const TDBParams& params = {}, TFBTransaction* transaction = nullptr);
  /// One statement executed once per row of parameters, prepared once, in one transaction.
  void ExecuteBatch(const std::string& sql, const std::vector<TDBParams>& rows,
                    TFBTransaction* transaction = nullptr);
  /// "EXECUTE PROCEDURE": its output parameters as one row (no row when it has none).
  std::unique_ptr<TDataSet> ExecProc(const std::string& procedure, const TDBParams& params = {},
                                     TFBTransaction* transaction = nullptr);
  /// The procedure's first output parameter, its "function result" (NULL when it has none).
  TDBScalar ExecProcFunction(const std::string& procedure, const TDBParams& params = {},
                             TFBTransaction* transaction = nullptr);
  /// "select * from PROCEDURE(...)" for a procedure that returns rows.
  std::unique_ptr<TDataSet> SelectProc(const std::string& procedure, const TDBParams& params = {},
                                       TFBTransaction* transaction = nullptr);
  /// Runs a DDL script (";"-separated, "SET TERM" understood, comments skipped); each
  /// statement is committed before the next runs.
  void ExecuteScript(const std::string& script);
  /// Drops the attached database (kelvo-setup, tests). The connection is closed afterwards.
  void DropDatabase();
  /// The engine's id of this attachment (CURRENT_CONNECTION).
  int64_t AttachmentId();

 private:
  friend class TFBTransaction;
  TFBAttachment& Attachment();
  void ReleaseAttachment(bool reusable);
  std::unique_ptr<TDataSet> Run(const std::string& sql, const TDBParams& params, bool missing_is_null,
                                TFBTransaction* transaction, bool read_only = false);
  void NoteFailure(const EFBError& error);

  std::shared_ptr<TFBConnectionDef> FDefinition;
  std::unique_ptr<TFBConnectParams> FOwnParams;
  std::unique_ptr<TFBAttachment> FAttachment;
  TFBTransaction FTransaction{*this};
  bool FBroken = false;
};

/// Splits a script into statements (exposed for tests).
std::vector<std::string> SplitSQLScript(const std::string& script);

/// A statement text with ":name" parameters turned into "?" and the names in order of
/// appearance (upper-cased). Quoted strings, quoted identifiers and comments are left alone.
struct TFBNamedSQL {
  std::string FSQL;
  std::vector<std::string> FNames;
};
TFBNamedSQL TranslateNamedParameters(const std::string& sql);
