#include "Kelvo.QueryFromJSON.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

const char* const KUnexpectedJSON = "Unexpected JSON: ";
const char* const KUnexpectedOperator = "Unexpected operator: ";
const char* const KBooleanExpected = "Boolean argment expected";
const char* const KTooDeep = "Query filters nested too deeply";

// ---- dates ----------------------------------------------------------------------------------

class TCursor {
 public:
  explicit TCursor(const std::string& AText) : FText(AText) {}
  bool AtEnd() const { return FPos == FText.size(); }
  bool Take(char c) {
    if (AtEnd() || FText[FPos] != c) return false;
    ++FPos;
    return true;
  }
  // Between AMin and AMax decimal digits; returns the count read (0 when fewer than AMin).
  int Digits(int AMin, int AMax, int64_t& AValue) {
    size_t start = FPos;
    int64_t v = 0;
    while (!AtEnd() && static_cast<int>(FPos - start) < AMax && FText[FPos] >= '0' && FText[FPos] <= '9')
      v = v * 10 + (FText[FPos++] - '0');
    const int n = static_cast<int>(FPos - start);
    if (n < AMin) {
      FPos = start;
      return 0;
    }
    AValue = v;
    return n;
  }

 private:
  const std::string& FText;
  size_t FPos = 0;
};

struct TDateParts {
  int64_t Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Micro = 0;
};

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t y, int64_t m) {
  static const int KDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : KDays[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// "HH:mm[:ss[.fff]]" after the date.
bool ParseTime(TCursor& c, TDateParts& p) {
  if (!c.Digits(1, 2, p.Hour) || !c.Take(':') || !c.Digits(2, 2, p.Minute)) return false;
  if (c.Take(':')) {
    if (!c.Digits(2, 2, p.Second)) return false;
    if (c.Take('.')) {
      int64_t fraction = 0;
      const int n = c.Digits(1, 6, fraction);
      if (!n) return false;
      for (int i = n; i < 6; ++i) fraction *= 10;
      p.Micro = fraction;
    }
  }
  return true;
}

bool Valid(const TDateParts& p) {
  return p.Year >= 1 && p.Year <= 9999 && p.Month >= 1 && p.Month <= 12 && p.Day >= 1 &&
         p.Day <= DaysInMonth(p.Year, p.Month) && p.Hour < 24 && p.Minute < 60 && p.Second < 60;
}

bool ParseISO(const std::string& s, TDateParts& p) {
  TCursor c(s);
  if (!c.Digits(4, 4, p.Year) || !c.Take('-') || !c.Digits(2, 2, p.Month) || !c.Take('-') ||
      !c.Digits(2, 2, p.Day))
    return false;
  if (c.Take('T') || c.Take(' ')) {
    if (!ParseTime(c, p)) return false;
  }
  c.Take('Z');
  return c.AtEnd();
}

// Short date formats with '/' as date and ':' as time separator (the process locale's).
bool ParseShort(const std::string& s, TDateParts& p, bool AYearFirst) {
  TCursor c(s);
  bool ok = AYearFirst ? c.Digits(4, 4, p.Year) && c.Take('/') && c.Digits(1, 2, p.Month) && c.Take('/') &&
                             c.Digits(1, 2, p.Day)
                       : c.Digits(1, 2, p.Month) && c.Take('/') && c.Digits(1, 2, p.Day) && c.Take('/') &&
                             c.Digits(4, 4, p.Year);
  if (!ok) return false;
  if (c.Take(' ') && !ParseTime(c, p)) return false;
  return c.AtEnd();
}

// ---- filters --------------------------------------------------------------------------------

[[noreturn]] void Fail(const std::string& AMessage) { throw EQueryParserException(AMessage); }

bool SimpleOperator(const std::string& AName, TSimpleFilter::TOperator& AOp) {
  using Op = TSimpleFilter::TOperator;
  static const std::pair<const char*, Op> KOps[] = {{"$e", Op::eq},    {"$ne", Op::neq},   {"$gt", Op::gt},
                                                    {"$gte", Op::gte}, {"$lt", Op::lt},    {"$lte", Op::lte},
                                                    {"$like", Op::like}, {"$nlike", Op::nlike}};
  for (const auto& [name, op] : KOps)
    if (AName == name) {
      AOp = op;
      return true;
    }
  return false;
}

bool RangeOperator(const std::string& AName, TRangeFilter::TOperator& AOp) {
  using Op = TRangeFilter::TOperator;
  if (AName == "$lt") AOp = Op::lt;
  else if (AName == "$lte") AOp = Op::lte;
  else if (AName == "$gt") AOp = Op::gt;
  else if (AName == "$gte") AOp = Op::gte;
  else return false;
  return true;
}

std::string MemberName(const rapidjson::Value& AName) {
  return std::string(AName.GetString(), AName.GetStringLength());
}

void ParseMembers(const rapidjson::Value& AObject, TFilters& AFilters, int AOffset, int ADepth);

void ParseGroup(const rapidjson::Value& AArray, TFilterItemGroup& AGroup, int AOffset, int ADepth) {
  if (!AArray.IsArray()) Fail(KUnexpectedJSON + JSONText(AArray));
  if (ADepth > KMaxFilterGroupDepth) Fail(KTooDeep);
  for (const auto& element : AArray.GetArray()) {
    if (!element.IsObject()) Fail(KUnexpectedJSON + JSONText(element));
    ParseMembers(element, AGroup.Filters, AOffset, ADepth);
  }
}

std::unique_ptr<TFilterItem> ParseAttribute(const std::string& AAttribute, const rapidjson::Value& AValue,
                                            int AOffset) {
  if (!AValue.IsObject()) {
    auto filter = std::make_unique<TSimpleFilter>();
    filter->Attribute = AAttribute;
    filter->Op = TSimpleFilter::TOperator::eq;
    filter->Value = QueryValueFromJSON(AValue, AOffset);
    return filter;
  }
  const auto count = AValue.MemberCount();
  if (count == 1) {
    const auto& member = *AValue.MemberBegin();
    const std::string op = MemberName(member.name);
    const rapidjson::Value& operand = member.value;
    TSimpleFilter::TOperator simpleOp;
    if (op == "$exists") {
      if (!operand.IsBool()) Fail(KBooleanExpected);
      auto filter = std::make_unique<TExistsFilter>();
      filter->Attribute = AAttribute;
      filter->Exists = operand.GetBool();
      return filter;
    }
    if (SimpleOperator(op, simpleOp)) {
      auto filter = std::make_unique<TSimpleFilter>();
      filter->Attribute = AAttribute;
      filter->Op = simpleOp;
      filter->Value = QueryValueFromJSON(operand, AOffset);
      return filter;
    }
    if (op == "$in" || op == "$nin") {
      if (!operand.IsArray()) Fail(KUnexpectedJSON + JSONText(operand));
      auto filter = std::make_unique<TInFilter>();
      filter->Attribute = AAttribute;
      filter->Op = op == "$in" ? TInFilter::TOperator::inop : TInFilter::TOperator::ninop;
      filter->Values.reserve(operand.Size());
      for (const auto& element : operand.GetArray()) filter->Values.push_back(QueryValueFromJSON(element, AOffset));
      return filter;
    }
    Fail(KUnexpectedOperator + op);
  }
  if (count == 2) {
    auto first = AValue.MemberBegin();
    auto second = first + 1;
    auto filter = std::make_unique<TRangeFilter>();
    filter->Attribute = AAttribute;
    const std::string name1 = MemberName(first->name), name2 = MemberName(second->name);
    if (!RangeOperator(name1, filter->Op1)) Fail(KUnexpectedOperator + name1);
    if (!RangeOperator(name2, filter->Op2)) Fail(KUnexpectedOperator + name2);
    filter->Value1 = QueryValueFromJSON(first->value, AOffset);
    filter->Value2 = QueryValueFromJSON(second->value, AOffset);
    return filter;
  }
  Fail(KUnexpectedJSON + JSONText(AValue));
}

void ParseMembers(const rapidjson::Value& AObject, TFilters& AFilters, int AOffset, int ADepth) {
  for (const auto& member : AObject.GetObject()) {
    const std::string name = MemberName(member.name);
    if (name == "$or" || name == "$and") {
      std::unique_ptr<TFilterItemGroup> group;
      if (name == "$or") group = std::make_unique<TOrFilter>();
      else group = std::make_unique<TAndFilter>();
      ParseGroup(member.value, *group, AOffset, ADepth + 1);
      AFilters.Add(std::move(group));
    } else {
      AFilters.Add(ParseAttribute(name, member.value, AOffset));
    }
  }
}

}  // namespace

std::string JSONText(const rapidjson::Value& AValue) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  AValue.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool TryParseQueryDate(const std::string& AText, TDBTimestamp& AResult, int AOffsetMinutes) {
  if (AText.size() < 8 || AText.size() > 40) return false;
  TDateParts p;
  if (!((ParseISO(AText, p = {}) && Valid(p)) || (ParseShort(AText, p = {}, false) && Valid(p)) ||
        (ParseShort(AText, p = {}, true) && Valid(p))))
    return false;
  const int64_t seconds = DaysFromCivil(p.Year, p.Month, p.Day) * 86400 + p.Hour * 3600 + p.Minute * 60 + p.Second -
                          int64_t{AOffsetMinutes} * 60;
  AResult.FMicroseconds = seconds * 1000000 + p.Micro;
  return true;
}

TQueryValue QueryValueFromJSON(const rapidjson::Value& AValue, int AOffsetMinutes) {
  switch (AValue.GetType()) {
    case rapidjson::kNullType:
      return TDBNull{};
    case rapidjson::kFalseType:
      return false;
    case rapidjson::kTrueType:
      return true;
    case rapidjson::kNumberType: {
      if (AValue.IsInt64()) return AValue.GetInt64();
      const double d = AValue.GetDouble();
      // 2.0 or 1e3 are whole numbers and compare as such; 2^63 and beyond do not fit.
      if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
        return static_cast<int64_t>(d);
      return d;
    }
    case rapidjson::kStringType: {
      std::string text(AValue.GetString(), AValue.GetStringLength());
      TDBTimestamp date;
      if (TryParseQueryDate(text, date, AOffsetMinutes)) return date;
      return text;
    }
    default:
      Fail(KUnexpectedJSON + JSONText(AValue));
  }
}

void ParseJSONFilters(const rapidjson::Value& AObject, TFilters& AFilters, int AOffsetMinutes) {
  try {
    if (!AObject.IsObject()) Fail(KUnexpectedJSON + JSONText(AObject));
    ParseMembers(AObject, AFilters, AOffsetMinutes, 0);
  } catch (...) {
    AFilters.Clear();
    throw;
  }
}
