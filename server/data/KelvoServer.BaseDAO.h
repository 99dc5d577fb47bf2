// The connection object of one unit of work, and the DAO base classes that hold the SQL shared
// by every stored entity: generic selects and counts, custom-field detail tables,
// stored-procedure calls and list-valued parameters.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KelvoData.Firebird.h"
#include "KelvoServer.DBTypes.h"
#include "KelvoServer.Utility.h"

/// A database connection for one unit of work (a request, a worker round, a helper call). Not
/// shared between threads; freed when the unit of work ends, which returns a pooled connection
/// to its pool. The connection itself is drawn on first use.
class TConnectionObject {
 public:
  enum class TConnectionOption { Pooled, UTF8, OpenModeCreate };
  using TConnectionOptions = std::set<TConnectionOption>;

  /// Name of the standard, pooled definition registered at start-up.
  static constexpr const char* kStandardConnectionDefName = "_RS_KELVO";

  /// A connection on the standard definition `_RS_KELVO`.
  TConnectionObject();
  /// A connection on a registered definition.
  explicit TConnectionObject(const std::string& AConnectionDefName);
  /// A stand-alone connection; a relative database path is taken relative to `ABaseDir`.
  TConnectionObject(const std::string& AInstanceName, const std::string& ADatabase, const std::string& AUserName,
                    const std::string& APassword, const TConnectionOptions& AOptions,
                    const std::string& ABaseDir = {});
  ~TConnectionObject();
  TConnectionObject(const TConnectionObject&) = delete;
  TConnectionObject& operator=(const TConnectionObject&) = delete;

  /// Registers `_RS_KELVO` from the `Data` section of `KelvoConfig()`; a relative database
  /// file name is relative to the configuration file's directory. Calling it again replaces
  /// the definition (the old pool is closed).
  static void AddStandardConnectionDefs();
  /// Closes the pool of `_RS_KELVO` and forgets the tenant keys read through it. Harmless when
  /// nothing is registered.
  static void CloseStandardConnectionDefs();

  /// The parameter lines for a connection definition.
  static std::vector<std::string> BuildConnectionParams(const std::string& AInstanceName, const std::string& ADatabase,
                                                        const std::string& AUserName, const std::string& APassword,
                                                        const std::string& ASEPassword,
                                                        const TConnectionOptions& AOptions, int APooledMax);
  /// Host and instance from an instance name ("srv/inst", "inst" or empty); an empty host is
  /// "localhost".
  static std::pair<std::string, std::string> SplitInstanceName(const std::string& AHostName,
                                                               const std::string& AInstanceName);

  void Open();
  void StartTransaction(TFBLockWait AWait = TFBLockWait::Wait);
  void Commit();
  void Rollback();
  bool InTransaction() const;

  TFBConnection& Connection() { return *FConnection; }

 private:
  std::unique_ptr<TFBConnection> FConnection;
};

/// An entity's main table, the table of its custom fields, the main table's key column and
/// the detail table's column that refers to it.
struct TEntityParams {
  std::string MainTable;
  std::string DetailTable;
  std::string Primarykey;
  std::string ForeignKey;
};

/// True when `AValue` fits a VARCHAR(`AColumnLength`) column (counted in characters). A longer
/// value cannot equal any stored one, and the engine refuses to bind it: lookups answer "none"
/// for it instead of failing.
bool FitsColumn(const std::string& AValue, size_t AColumnLength);
/// A result without rows.
std::unique_ptr<TDataSet> EmptyDataSet();

/// Raises the DAO error class chosen by the caller; see `TranslateDAOError`.
using TDAOErrorRaiser = void (*)(const std::string& AMessage, std::exception_ptr AInner);

template <class E>
[[noreturn]] void RaiseDAOError(const std::string& AMessage, std::exception_ptr AInner) {
  throw E(AMessage, AInner);
}

/// Turns an engine failure into the server's classes: a lock conflict into
/// `EBaseDAODVDeadlockError`, a key violation into `EBaseDAODVIntegrityViolationError` (both
/// with the engine's text), anything else into the given class with "Database request
/// failure. " before the text.
[[noreturn]] void TranslateDAOError(const EFBError& AError, TDAOErrorRaiser ARaiser = &RaiseDAOError<EBaseDAODVError>);

/// Runs `f`, translating engine failures (and only those) with `ARaiser`.
template <class F>
auto DAOGuard(TDAOErrorRaiser ARaiser, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const EFBError& e) {
    TranslateDAOError(e, ARaiser);
  }
}

/// Runs `f`, an operation inherited from the DAO base, and raises its generic failures as the
/// entity DAO's own class `E`; lock conflicts and key violations keep their classes, which
/// callers retry on.
template <class E, class F>
auto RethrowAs(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const EBaseDAODVDeadlockError&) {
    throw;
  } catch (const EBaseDAODVIntegrityViolationError&) {
    throw;
  } catch (const E&) {
    throw;
  } catch (const EBaseDAODVError& e) {
    throw E(e.what(), e.InnerException());
  }
}

class TBaseDAO {
 public:
  explicit TBaseDAO(TConnectionObject* AConnectionObject) : FConnObj(AConnectionObject) {}
  virtual ~TBaseDAO() = default;

 protected:
  TFBConnection& Conn() { return FConnObj->Connection(); }
  TConnectionObject* FConnObj;  // not owned
};

/// The operations every entity DAO shares. Result data sets belong to the caller.
class TCommonDAO : public TBaseDAO {
 public:
  TCommonDAO(TConnectionObject* AConnectionObject, TEntityParams AEntityParams)
      : TBaseDAO(AConnectionObject), FEntityParams(std::move(AEntityParams)) {}

  std::unique_ptr<TDataSet> GetAll(const std::string& AFieldTable);
  /// A query text with named parameters; list values go through TEMPSTRINGS first. Starts and
  /// commits a transaction of its own only when none is active.
  std::unique_ptr<TDataSet> GetAll(const std::string& AQueryStr, const TDBParams& AParams);
  /// A count query: the sum of column MCOUNT over all rows when there is one (union queries),
  /// else column COUNT of the first row.
  int GetTotalFiltered(const std::string& AQueryStr, const TDBParams& AParams);
  std::unique_ptr<TDataSet> GetAllByStringIdentifier(const std::string& AFieldTable, const std::string& AFieldName,
                                                     const std::string& AFieldValue);
  std::unique_ptr<TDataSet> GetFieldsByStringIdentifier(const std::string& ASelectFields, const std::string& ATable,
                                                        const std::string& AWhereFieldName,
                                                        const std::string& AWhereFieldValue);
  int GetTotalMain(int ATID);
  bool GetDetail(int AID, TNameValuePairs& ADetails);
  bool GetDetailKeys(std::vector<std::string>& ADetailKeys);
  void AddDetailSP(int ID, const std::string& procName, const std::string& IDName, const TNameValuePairs& ADetails,
                   bool AUpdateTime = true);
  void DeleteDetailSP(int ID, const std::string& procName, const std::string& IDName);
  void DeleteDetailSP(int ID, const std::string& Key, const std::string& procName, const std::string& IDName,
                      const std::string& KeyName);
  void DeleteByIDSP(int ID, const std::string& procName, const std::string& IDName);
  bool DeleteMainDetailSP(int ID, const std::string& procName, const std::string& IDName);

  const TEntityParams& EntityParams() const { return FEntityParams; }

 protected:
  /// Fills TEMPSTRINGS with the list values of `AParams` (same connection and transaction as
  /// the statement that reads them).
  void FillListParams(const TDBParams& AParams);

  TEntityParams FEntityParams;
};
