// The filter tree of a list query: what the `where` object of a request parses into and what
// the query writers turn into SQL.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "KelvoServer.DBTypes.h"

/// A filter value: 64-bit integer, floating point, Boolean, empty (JSON null), text, or a
/// date-time (UTC, as the store keeps it). The same variant the data layer binds.
using TQueryValue = TDBScalar;

class TFilterItem {
 public:
  virtual ~TFilterItem() = default;
  /// The attribute names this item tests itself (groups answer none; their items answer).
  virtual std::vector<std::string> GetAttributes() const { return {}; }
  /// Unqualified class name, for the writer's "Unknown filter" message.
  virtual std::string ClassName() const { return "TFilterItem"; }
};

/// Ordered list that owns its items.
class TFilters {
 public:
  void Add(std::unique_ptr<TFilterItem> AFilter) { FItems.push_back(std::move(AFilter)); }
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TFilterItem& GetItem(int I) const { return *FItems.at(static_cast<size_t>(I)); }

 private:
  std::vector<std::unique_ptr<TFilterItem>> FItems;
};

class TFilterItemGroup : public TFilterItem {
 public:
  TFilters Filters;
  std::string ClassName() const override { return "TFilterItemGroup"; }
};

/// Items combined with OR.
class TOrFilter : public TFilterItemGroup {
 public:
  std::string ClassName() const override { return "TOrFilter"; }
};

/// Items combined with AND.
class TAndFilter : public TFilterItemGroup {
 public:
  std::string ClassName() const override { return "TAndFilter"; }
};

class TCommonFilterItem : public TFilterItem {
 public:
  std::string Attribute;
  std::vector<std::string> GetAttributes() const override { return {Attribute}; }
  std::string ClassName() const override { return "TCommonFilterItem"; }
};

class TSimpleFilter : public TCommonFilterItem {
 public:
  enum class TOperator { lt, lte, gt, gte, eq, neq, like, nlike };
  TOperator Op = TOperator::eq;
  TQueryValue Value;
  std::string ClassName() const override { return "TSimpleFilter"; }
};

class TExistsFilter : public TCommonFilterItem {
 public:
  bool Exists = true;
  std::string ClassName() const override { return "TExistsFilter"; }
};

class TInFilter : public TCommonFilterItem {
 public:
  enum class TOperator { inop, ninop };
  TOperator Op = TOperator::inop;
  std::vector<TQueryValue> Values;
  std::string ClassName() const override { return "TInFilter"; }
};

class TRangeFilter : public TCommonFilterItem {
 public:
  enum class TOperator { lt, lte, gt, gte };
  TOperator Op1 = TOperator::gt;
  TOperator Op2 = TOperator::lt;
  TQueryValue Value1;
  TQueryValue Value2;
  std::string ClassName() const override { return "TRangeFilter"; }
};
