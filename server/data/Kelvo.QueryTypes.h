// A list query (filters, sort order, paging) and the errors of the query language.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Kelvo.QueryFilters.h"
#include "KelvoServerAPI.HTTPError.h"

/// Bad `where` input. Raised as a 400 whose description is the message, so it becomes the
/// right reply wherever it escapes (list endpoints, the push endpoint).
class EQueryParserException : public EKelvoHTTPError {
 public:
  explicit EQueryParserException(const std::string& AMessage) : EKelvoHTTPError(400, {}, AMessage) {}
};

/// A query the writers refuse (skip without limit, two custom sort fields, ...). Every such
/// query comes from the client, so it is a 400 as well.
class EQueryException : public EKelvoHTTPError {
 public:
  explicit EQueryException(const std::string& AMessage) : EKelvoHTTPError(400, {}, AMessage) {}
};

class TQuery {
 public:
  enum class TDirection { Ascending, Descending };

  class TOrderBy {
   public:
    struct TItem {
      std::string FieldName;
      TDirection Direction = TDirection::Ascending;
    };
    /// An empty name is ignored.
    void Add(const std::string& AFieldName, TDirection ADirection);
    void Remove(int AItemIndex);
    void Clear() { FItems.clear(); }
    int Count() const { return static_cast<int>(FItems.size()); }
    const TItem& GetItem(int I) const { return FItems.at(static_cast<size_t>(I)); }

   private:
    std::vector<TItem> FItems;
  };

  /// Created on first access.
  TFilters& Filters();
  TOrderBy& OrderBy();
  const TFilters* FiltersOrNull() const { return FFilters.get(); }
  const TOrderBy* OrderByOrNull() const { return FOrderBy.get(); }

  int32_t Limit = 0;  // 0 = no limit
  int32_t Skip = 0;   // 0 = no offset

  bool HasFilters() const { return FFilters && FFilters->Count() > 0; }
  bool HasMultipleFilters() const { return FFilters && FFilters->Count() > 1; }
  bool HasOrderBy() const { return FOrderBy && FOrderBy->Count() > 0; }
  /// Negative values count as set (and are refused by the writers).
  bool HasLimit() const { return Limit != 0; }
  bool HasSkip() const { return Skip != 0; }

  void Clear();

 private:
  std::unique_ptr<TFilters> FFilters;
  std::unique_ptr<TOrderBy> FOrderBy;
};
