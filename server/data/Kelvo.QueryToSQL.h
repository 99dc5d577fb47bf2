// Query writers: one SQL statement (text plus ordered named parameters) from a TQuery for one
// entity (main table, custom-field detail table, tenant key, optional master table).
//
// Only the entity's own names (tables, key columns, static columns) are written into the text;
// every value and every custom-field name travels as a parameter. Attribute names are static
// only when they equal one of the entity's static columns up to ASCII case, so the text a
// client sent for such a name is the column's own identifier.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "Kelvo.QueryTypes.h"
#include "KelvoServer.DBTypes.h"

/// The statement being written and its parameters, named "wparam1", "wparam2", ... in
/// creation order.
class TQueryOutput {
 public:
  explicit TQueryOutput(std::string* AWriter) : Writer(AWriter) {}
  std::string* Writer;  // not owned
  TDBParams Parameters;
  std::string AddParameter(const TQueryValue& AValue);
  /// A list the data layer passes through TEMPSTRINGS.
  std::string AddListParameter(std::vector<TQueryValue> AValues);
};

class TQueryWriter {
 public:
  explicit TQueryWriter(const TQuery* AQuery) : FQuery(AQuery) {}
  virtual ~TQueryWriter() = default;
  /// @throws EQueryException for a query that cannot be written.
  virtual void Validate() = 0;
  /// Appends the statement to `AStrings` and replaces `AParameters`.
  virtual void Write(std::string& AStrings, TDBParams& AParameters) = 0;
  /// The statement as one list entry.
  void Write(std::vector<std::string>& AStrings, TDBParams& AParameters);

 protected:
  const TQuery* FQuery;  // not owned; may be null (no query: everything of the tenant)
};

/// The statement skeleton: select, from, where with groups and the tenant test, order, rows.
class TBaseQueryWriter : public TQueryWriter {
 public:
  using TQueryWriter::TQueryWriter;
  using TQueryWriter::Write;
  void Validate() override;
  void Write(std::string& AStrings, TDBParams& AParameters) override;

 protected:
  virtual std::string GetSelectExpression() = 0;
  virtual std::string GetSubQueryExpression() = 0;
  virtual void WriteSimpleFilter(const TSimpleFilter& AFilter) {}
  virtual void WriteInFilter(const TInFilter& AFilter) {}
  virtual void WriteRangeFilter(const TRangeFilter& AFilter) {}
  virtual void WriteExistsFilter(const TExistsFilter& AFilter) {}
  virtual void WriteFromExpression() {}
  virtual void WriteTenantExpression() {}
  virtual bool HasTenant() { return false; }
  virtual void WriteWhereExpression() {}
  virtual void WriteOrderByItem(const TQuery::TOrderBy::TItem& AItem) {}
  virtual void WriteMasterExpression() {}
  virtual bool IsCount() { return false; }
  virtual bool IsDetailOrder() { return false; }
  virtual bool HasMasterAttribute() { return false; }

  void WriteGroup(const TFilters& AFilters, bool AOr);
  void WriteFilter(const TFilterItem& AItem);
  std::string& Out() { return *FOutput->Writer; }
  std::string AddParameter(const TQueryValue& AValue) { return FOutput->AddParameter(AValue); }

  TQueryOutput* FOutput = nullptr;  // set while Write runs
};

class TCommonQueryWriter : public TBaseQueryWriter {
 public:
  struct TMasterAttribute {
    std::string FTableName;  // empty = no master
    std::vector<std::string> FFieldNames;
    std::string FKeyName;
    std::string FForeignKeyName;
    TQueryValue FKeyValue;  // TDBNull = none
    static TMasterAttribute Create(std::string ATableName, std::vector<std::string> AFieldNames,
                                   std::string AKeyName, std::string AForeignKeyName);
    static TMasterAttribute CreateFiltered(std::string ATableName, std::vector<std::string> AFieldNames,
                                           std::string AKeyName, std::string AForeignKeyName,
                                           TQueryValue AKeyValue);
  };

  TCommonQueryWriter(const TQuery* AQuery, int ATID, std::string ATableName, std::string ADetailTableName,
                     std::string APk, std::string AFk, std::vector<std::string> AStaticAttributes,
                     TMasterAttribute AMasterAttribute = {});

  void Validate() override;
  /// 0 rows, 1 count, 2 rows sorted on a custom field.
  virtual int GetKind() = 0;
  const std::vector<std::string>& GetStaticAttributes() const { return FStaticAttributes; }
  /// True when `AName` is one of the static columns (ASCII case ignored).
  bool IsStatic(const std::string& AName);

 protected:
  std::string GetSelectExpression() override;
  std::string GetSubQueryExpression() override;
  void WriteSimpleFilter(const TSimpleFilter& AFilter) override;
  void WriteInFilter(const TInFilter& AFilter) override;
  void WriteRangeFilter(const TRangeFilter& AFilter) override;
  void WriteExistsFilter(const TExistsFilter& AFilter) override;
  void WriteFromExpression() override;
  void WriteTenantExpression() override;
  bool HasTenant() override { return FTID != -1; }
  void WriteWhereExpression() override;
  void WriteOrderByItem(const TQuery::TOrderBy::TItem& AItem) override;
  void WriteMasterExpression() override;
  bool IsCount() override { return GetKind() == 1; }
  bool IsDetailOrder() override { return GetKind() == 2; }
  bool HasMasterAttribute() override { return !FMasterAttribute.FTableName.empty(); }

  /// The custom field the rows are sorted on, or empty.
  std::string DetailOrderField();

  std::string FTableName;
  int FTID;
  std::string FDetailTableName;
  TMasterAttribute FMasterAttribute;
  std::string FPk;
  std::string FFk;
  std::vector<std::string> FStaticAttributes;

 private:
  bool NeedsDetailRow(const TFilterItem& AItem);
  bool MentionsCustomField(const TFilters& AFilters);
  std::string CustomValueExpression(const TQueryValue& AValue);
  TQueryValue CustomOperand(const TQueryValue& AValue, const std::string& AExpression);

  std::unordered_set<std::string> FStaticAttributesLookup;  // upper-cased, built on first use
};

class TStandardQueryWriter : public TCommonQueryWriter {
 public:
  using TCommonQueryWriter::TCommonQueryWriter;
  int GetKind() override;
};

class TCountQueryWriter : public TCommonQueryWriter {
 public:
  using TCommonQueryWriter::TCommonQueryWriter;
  int GetKind() override { return 1; }
};
