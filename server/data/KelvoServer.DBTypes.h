// Values that travel between the entity layer and SQL: statement parameters and column values.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

/// A TIMESTAMP as the database stores it: wall-clock time without a zone, in microseconds
/// since 1970-01-01 00:00:00. The server stores UTC.
struct TDBTimestamp {
  int64_t FMicroseconds = 0;
  friend bool operator==(const TDBTimestamp&, const TDBTimestamp&) = default;
  friend auto operator<=>(const TDBTimestamp&, const TDBTimestamp&) = default;
};

/// SQL NULL.
struct TDBNull {
  friend bool operator==(const TDBNull&, const TDBNull&) = default;
};

/// One scalar parameter or column value, bound by its type.
using TDBScalar = std::variant<TDBNull, int32_t, int64_t, double, bool, std::string, TDBTimestamp>;

/// A statement parameter: a scalar, or a list that the data layer passes through the
/// transaction-private TEMPSTRINGS table (the statement refers to it by a sub-select).
struct TDBParamValue {
  TDBParamValue() = default;
  TDBParamValue(TDBScalar scalar) : FScalar(std::move(scalar)) {}
  static TDBParamValue List(std::vector<TDBScalar> items) {
    TDBParamValue v;
    v.FIsList = true;
    v.FList = std::move(items);
    return v;
  }
  bool FIsList = false;
  TDBScalar FScalar;
  std::vector<TDBScalar> FList;
};

/// Named parameters in statement order; names without the leading ":".
using TDBParams = std::vector<std::pair<std::string, TDBParamValue>>;
