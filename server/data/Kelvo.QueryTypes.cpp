#include "Kelvo.QueryTypes.h"

void TQuery::TOrderBy::Add(const std::string& AFieldName, TDirection ADirection) {
  if (AFieldName.empty()) return;
  FItems.push_back({AFieldName, ADirection});
}

void TQuery::TOrderBy::Remove(int AItemIndex) {
  if (AItemIndex < 0 || AItemIndex >= Count()) return;
  FItems.erase(FItems.begin() + AItemIndex);
}

TFilters& TQuery::Filters() {
  if (!FFilters) FFilters = std::make_unique<TFilters>();
  return *FFilters;
}

TQuery::TOrderBy& TQuery::OrderBy() {
  if (!FOrderBy) FOrderBy = std::make_unique<TOrderBy>();
  return *FOrderBy;
}

void TQuery::Clear() {
  Limit = 0;
  Skip = 0;
  FFilters.reset();
  FOrderBy.reset();
}
