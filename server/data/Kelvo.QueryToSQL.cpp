#include "Kelvo.QueryToSQL.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "KelvoServerAPI.Format.h"

namespace {

// In-lists longer than this whose values are text go through TEMPSTRINGS.
constexpr size_t KMaxInlineTextValues = 30;
// The database refuses longer literal lists; such lists go through TEMPSTRINGS whatever their type.
constexpr size_t KMaxInlineValues = 1500;

// Custom-field values are text. A number compares with the field's number; the CASE keeps texts
// that are not numbers out of the cast, which would otherwise fail the whole statement, and
// leaves them NULL so that they match no comparison. Digit counts are bounded so that no
// matching text overflows the cast.
const char* const KNumericValue =
    "CASE WHEN TVALUE SIMILAR TO '[-]?[0-9]{1,30}([.][0-9]{1,30})?([eE][-+]?[0-9]{1,2})?' "
    "THEN CAST(TVALUE AS DOUBLE PRECISION) END";
// A date compares as text in one fixed form, "yyyy-MM-dd HH:mm:ss.ffff", to which an ISO date
// (and time) text is brought by padding; text order is then time order. Casting instead would
// fail the whole statement on a text such as "2024-02-30".
const char* const KDateValue =
    "CASE WHEN TVALUE SIMILAR TO "
    "'[0-9]{4}[-](0[1-9]|1[0-2])[-](0[1-9]|[12][0-9]|3[01])([ T]([01][0-9]|2[0-3]):[0-5][0-9](:[0-5][0-9]([.][0-9]{1,4})?)?)?Z?' "
    "THEN REPLACE(REPLACE(TVALUE, 'T', ' '), 'Z', '') || "
    "SUBSTRING(' 00:00:00.0000' FROM CHAR_LENGTH(REPLACE(REPLACE(TVALUE, 'T', ' '), 'Z', '')) - 9) END";

void SplitTimestamp(const TDBTimestamp& ts, std::tm& tm, int64_t& micro) {
  int64_t secs = ts.FMicroseconds / 1000000;
  micro = ts.FMicroseconds % 1000000;
  if (micro < 0) micro += 1000000, --secs;
  const std::time_t t = static_cast<std::time_t>(secs);
  gmtime_r(&t, &tm);
}

// The fixed form KDateValue produces.
std::string DateKeyText(const TDBTimestamp& ts) {
  std::tm tm{};
  int64_t micro = 0;
  SplitTimestamp(ts, tm, micro);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%04d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(micro / 100));
  return buf;
}

std::string UpperASCII(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

enum class TValueKind { Empty, Number, Boolean, Text, Date };

TValueKind KindOf(const TQueryValue& v) {
  if (std::holds_alternative<int32_t>(v) || std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v))
    return TValueKind::Number;
  if (std::holds_alternative<bool>(v)) return TValueKind::Boolean;
  if (std::holds_alternative<std::string>(v)) return TValueKind::Text;
  if (std::holds_alternative<TDBTimestamp>(v)) return TValueKind::Date;
  return TValueKind::Empty;
}

// A value as the text a client would have stored it as (numbers as JSON writes them).
TQueryValue AsText(const TQueryValue& v) {
  char buf[64];
  if (auto p = std::get_if<int32_t>(&v)) return std::to_string(*p);
  if (auto p = std::get_if<int64_t>(&v)) return std::to_string(*p);
  if (auto p = std::get_if<double>(&v)) {
    auto r = std::to_chars(buf, buf + sizeof buf, *p);
    return std::string(buf, r.ptr);
  }
  if (auto p = std::get_if<bool>(&v)) return std::string(*p ? "true" : "false");
  if (auto p = std::get_if<TDBTimestamp>(&v)) {
    std::tm tm{};
    int64_t micro = 0;
    SplitTimestamp(*p, tm, micro);
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(micro / 1000));
    return std::string(buf);
  }
  return v;
}

const char* OperatorText(TSimpleFilter::TOperator op) {
  using Op = TSimpleFilter::TOperator;
  switch (op) {
    case Op::lt: return "<";
    case Op::lte: return "<=";
    case Op::gt: return ">";
    case Op::gte: return ">=";
    case Op::eq: return "=";
    case Op::neq: return "<>";
    case Op::like: return "LIKE";
    case Op::nlike: return "NOT LIKE";
  }
  throw EQueryException("Unexpected");
}

const char* OperatorText(TRangeFilter::TOperator op) {
  using Op = TRangeFilter::TOperator;
  switch (op) {
    case Op::lt: return "<";
    case Op::lte: return "<=";
    case Op::gt: return ">";
    case Op::gte: return ">=";
  }
  throw EQueryException("Unexpected");
}

const char* OperatorText(TInFilter::TOperator op) {
  switch (op) {
    case TInFilter::TOperator::inop: return "IN";
    case TInFilter::TOperator::ninop: return "NOT IN";
  }
  throw EQueryException("Unexpected");
}

}  // namespace

// ---- TQueryOutput ---------------------------------------------------------------------------

std::string TQueryOutput::AddParameter(const TQueryValue& AValue) {
  std::string name = "wparam" + std::to_string(Parameters.size() + 1);
  Parameters.emplace_back(name, TDBParamValue(AValue));
  return name;
}

std::string TQueryOutput::AddListParameter(std::vector<TQueryValue> AValues) {
  std::string name = "wparam" + std::to_string(Parameters.size() + 1);
  Parameters.emplace_back(name, TDBParamValue::List(std::move(AValues)));
  return name;
}

// ---- TQueryWriter / TBaseQueryWriter ----------------------------------------------------------

void TQueryWriter::Write(std::vector<std::string>& AStrings, TDBParams& AParameters) {
  std::string text;
  Write(text, AParameters);
  AStrings.push_back(std::move(text));
}

void TBaseQueryWriter::Validate() {
  if (!FQuery) return;
  // ROWS takes no negative bounds; such values can only come from a client.
  if (FQuery->Skip < 0 || FQuery->Limit < 0) throw EQueryException("Unexpected query string");
  if (FQuery->HasSkip() && !FQuery->HasLimit()) throw EQueryException("Skip not allowed without Limit");
}

void TBaseQueryWriter::Write(std::string& AStrings, TDBParams& AParameters) {
  TQueryOutput output(&AStrings);
  FOutput = &output;
  struct TReset {
    TQueryOutput*& p;
    ~TReset() { p = nullptr; }
  } reset{FOutput};

  Out() += GetSelectExpression();
  WriteFromExpression();
  WriteWhereExpression();
  if (FQuery && FQuery->HasFilters()) {
    if (HasMasterAttribute()) {
      Out() += " (";
      WriteMasterExpression();
      Out() += ") and";
    }
    if (IsDetailOrder()) {
      Out() += GetSubQueryExpression();
      WriteGroup(*FQuery->FiltersOrNull(), false);
      Out() += " ) ";
    } else {
      WriteGroup(*FQuery->FiltersOrNull(), false);
    }
  } else if (FQuery) {
    if (HasMasterAttribute()) {
      WriteMasterExpression();
      if (HasTenant()) Out() += " AND ";
    }
    WriteTenantExpression();
  } else {
    if (HasMasterAttribute()) {
      WriteMasterExpression();
      if (HasTenant()) Out() += " and ";
    }
    WriteTenantExpression();
  }
  if (FQuery && !IsCount()) {
    if (FQuery->HasOrderBy()) {
      Out() += " order by ";
      const auto& order = *FQuery->OrderByOrNull();
      for (int i = 0; i < order.Count(); ++i) {
        if (i > 0) Out() += ", ";
        WriteOrderByItem(order.GetItem(i));
        if (order.GetItem(i).Direction == TQuery::TDirection::Descending) Out() += " DESC";
      }
    }
    if (FQuery->HasLimit()) {
      if (FQuery->HasSkip())
        Out() += " rows " + std::to_string(int64_t{FQuery->Skip} + 1) + " to " +
                 std::to_string(int64_t{FQuery->Skip} + FQuery->Limit);
      else
        Out() += " rows " + std::to_string(FQuery->Limit);
    }
  }
  AParameters = std::move(output.Parameters);
}

// Every item after the first is tested through a key-in-sub-select on the main table left-joined
// with the detail table, so that tests of several custom fields, each on its own detail row, can
// hold for one entity. Every group is parenthesised and repeats the tenant test.
void TBaseQueryWriter::WriteGroup(const TFilters& AFilters, bool AOr) {
  const int n = AFilters.Count();
  if (n == 0) return;
  Out() += " ( ";
  for (int i = 0; i < n; ++i) {
    if (i > 0) {
      if (IsDetailOrder()) Out() += " ) ";
      Out() += AOr ? " or" : " and";
      Out() += GetSubQueryExpression();
    }
    WriteFilter(AFilters.GetItem(i));
    if (i > 0 && !IsDetailOrder()) Out() += " ) ";
  }
  Out() += ")";
  if (HasTenant()) {
    Out() += " AND ";
    WriteTenantExpression();
  }
}

void TBaseQueryWriter::WriteFilter(const TFilterItem& AItem) {
  if (auto p = dynamic_cast<const TOrFilter*>(&AItem)) return WriteGroup(p->Filters, true);
  if (auto p = dynamic_cast<const TAndFilter*>(&AItem)) return WriteGroup(p->Filters, false);
  if (auto p = dynamic_cast<const TSimpleFilter*>(&AItem)) return WriteSimpleFilter(*p);
  if (auto p = dynamic_cast<const TInFilter*>(&AItem)) return WriteInFilter(*p);
  if (auto p = dynamic_cast<const TRangeFilter*>(&AItem)) return WriteRangeFilter(*p);
  if (auto p = dynamic_cast<const TExistsFilter*>(&AItem)) return WriteExistsFilter(*p);
  throw EQueryException(Format("Unknown filter: %s", {AItem.ClassName()}));
}

// ---- TCommonQueryWriter -------------------------------------------------------------------

TCommonQueryWriter::TMasterAttribute TCommonQueryWriter::TMasterAttribute::Create(
    std::string ATableName, std::vector<std::string> AFieldNames, std::string AKeyName, std::string AForeignKeyName) {
  return {std::move(ATableName), std::move(AFieldNames), std::move(AKeyName), std::move(AForeignKeyName), TDBNull{}};
}

TCommonQueryWriter::TMasterAttribute TCommonQueryWriter::TMasterAttribute::CreateFiltered(
    std::string ATableName, std::vector<std::string> AFieldNames, std::string AKeyName, std::string AForeignKeyName,
    TQueryValue AKeyValue) {
  return {std::move(ATableName), std::move(AFieldNames), std::move(AKeyName), std::move(AForeignKeyName),
          std::move(AKeyValue)};
}

TCommonQueryWriter::TCommonQueryWriter(const TQuery* AQuery, int ATID, std::string ATableName,
                                       std::string ADetailTableName, std::string APk, std::string AFk,
                                       std::vector<std::string> AStaticAttributes, TMasterAttribute AMasterAttribute)
    : TBaseQueryWriter(AQuery),
      FTableName(std::move(ATableName)),
      FTID(ATID),
      FDetailTableName(std::move(ADetailTableName)),
      FMasterAttribute(std::move(AMasterAttribute)),
      FPk(std::move(APk)),
      FFk(std::move(AFk)),
      FStaticAttributes(std::move(AStaticAttributes)) {}

bool TCommonQueryWriter::IsStatic(const std::string& AName) {
  if (FStaticAttributesLookup.empty())
    for (const auto& name : FStaticAttributes) FStaticAttributesLookup.insert(UpperASCII(name));
  return FStaticAttributesLookup.count(UpperASCII(AName)) > 0;
}

std::string TCommonQueryWriter::DetailOrderField() {
  if (!FQuery || !FQuery->HasOrderBy()) return {};
  const auto& order = *FQuery->OrderByOrNull();
  for (int i = 0; i < order.Count(); ++i)
    if (!IsStatic(order.GetItem(i).FieldName)) return order.GetItem(i).FieldName;
  return {};
}

void TCommonQueryWriter::Validate() {
  TBaseQueryWriter::Validate();
  if (!FQuery || !FQuery->HasOrderBy()) return;
  const auto& order = *FQuery->OrderByOrNull();
  bool seen = false;
  for (int i = 0; i < order.Count(); ++i) {
    const std::string& name = order.GetItem(i).FieldName;
    if (IsStatic(name)) continue;
    if (seen) {
      std::string columns;
      for (size_t c = 0; c < FStaticAttributes.size(); ++c) {
        if (c > 0) columns += c + 1 == FStaticAttributes.size() ? " or " : ", ";
        columns += FStaticAttributes[c];
      }
      throw EQueryException(
          Format("Order by not supported on multiple detail columns: %0:s.  Order by %1:s", {name, columns}));
    }
    seen = true;
  }
}

std::string TCommonQueryWriter::GetSelectExpression() {
  const int kind = GetKind();
  if (kind == 1) {
    if (FQuery && FQuery->HasMultipleFilters())
      return Format("select count(distinct %0:s.%1:s) as MCOUNT ", {FTableName, FPk});
    return Format("select count(distinct %0:s.%1:s) ", {FTableName, FPk});
  }
  std::string columns;
  for (const auto& column : FStaticAttributes) {
    bool fromMaster = false;
    for (const auto& masterField : FMasterAttribute.FFieldNames)
      if (UpperASCII(masterField) == UpperASCII(column)) fromMaster = true;
    columns += Format(", %0:s.%1:s", {fromMaster ? FMasterAttribute.FTableName : FTableName, column});
  }
  if (kind == 2)
    return "select distinct case when TVALUE is null then 1 else 0 end, TVALUE, " +
           Format("%0:s.%1:s", {FTableName, FPk}) + columns + " ";
  return Format("select distinct %0:s.%1:s", {FTableName, FPk}) + columns + " ";
}

std::string TCommonQueryWriter::GetSubQueryExpression() {
  return Format(" %0:s.%1:s in ( select %0:s.%1:s ", {FTableName, FPk}) +
         Format("from %0:s left join %1:s on %0:s.%2:s = %1:s.%3:s where", {FTableName, FDetailTableName, FPk, FFk});
}

bool TCommonQueryWriter::MentionsCustomField(const TFilters& AFilters) {
  for (int i = 0; i < AFilters.Count(); ++i) {
    const TFilterItem& item = AFilters.GetItem(i);
    if (auto group = dynamic_cast<const TFilterItemGroup*>(&item)) {
      if (MentionsCustomField(group->Filters)) return true;
    } else {
      for (const auto& attribute : item.GetAttributes())
        if (!IsStatic(attribute)) return true;
    }
  }
  return false;
}

// Whether an entity can satisfy the item only when it has at least one custom field. Only then
// may the main table be inner-joined with the detail table without losing matches.
bool TCommonQueryWriter::NeedsDetailRow(const TFilterItem& AItem) {
  if (auto group = dynamic_cast<const TFilterItemGroup*>(&AItem)) {
    const bool isOr = dynamic_cast<const TOrFilter*>(&AItem) != nullptr;
    const int n = group->Filters.Count();
    if (n == 0) return false;
    for (int i = 0; i < n; ++i) {
      const bool needs = NeedsDetailRow(group->Filters.GetItem(i));
      if (isOr && !needs) return false;
      if (!isOr && needs) return true;
    }
    return isOr;
  }
  auto common = dynamic_cast<const TCommonFilterItem*>(&AItem);
  if (!common || IsStatic(common->Attribute)) return false;
  if (auto exists = dynamic_cast<const TExistsFilter*>(&AItem)) return exists->Exists;
  return true;
}

void TCommonQueryWriter::WriteFromExpression() {
  std::string source = FTableName;
  const int kind = GetKind();
  if (kind == 2) {
    const std::string name = AddParameter(DetailOrderField());
    source = Format("%0:s left join %1:s on %0:s.%2:s = %1:s.%3:s and UPPER(TNAME) = UPPER(:%4:s)",
                    {FTableName, FDetailTableName, FPk, FFk, name});
  } else if (FQuery && FQuery->HasFilters() && MentionsCustomField(*FQuery->FiltersOrNull())) {
    // The filters are an AND of the top-level items.
    bool needsDetail = false;
    const TFilters& filters = *FQuery->FiltersOrNull();
    for (int i = 0; i < filters.Count() && !needsDetail; ++i) needsDetail = NeedsDetailRow(filters.GetItem(i));
    source = Format(needsDetail ? "%0:s join %1:s on %0:s.%2:s = %1:s.%3:s"
                                : "%0:s left join %1:s on %0:s.%2:s = %1:s.%3:s",
                    {FTableName, FDetailTableName, FPk, FFk});
  }
  Out() += "from ";
  if (HasMasterAttribute()) Out() += FMasterAttribute.FTableName + ", ";
  Out() += source;
}

void TCommonQueryWriter::WriteWhereExpression() {
  // Without a tenant key a master test or filters still need the keyword.
  if (HasTenant() || HasMasterAttribute() || (FQuery && FQuery->HasFilters())) Out() += " where ";
}

void TCommonQueryWriter::WriteTenantExpression() {
  if (!HasTenant()) return;
  Out() += std::string(" (") + "TID" + " " + " = " + " :" + AddParameter(int32_t{FTID}) + ")";
}

void TCommonQueryWriter::WriteMasterExpression() {
  const auto& m = FMasterAttribute;
  Out() += " " + m.FTableName + "." + m.FKeyName + "=" + FTableName + "." + m.FForeignKeyName;
  if (!std::holds_alternative<TDBNull>(m.FKeyValue))
    Out() += " and " + m.FTableName + "." + m.FKeyName + "=:" + AddParameter(m.FKeyValue);
}

std::string TCommonQueryWriter::CustomValueExpression(const TQueryValue& AValue) {
  switch (KindOf(AValue)) {
    case TValueKind::Number: return KNumericValue;
    case TValueKind::Date: return KDateValue;
    default: return "TVALUE";
  }
}

// The operand as the expression it is compared with expects it.
TQueryValue TCommonQueryWriter::CustomOperand(const TQueryValue& AValue, const std::string& AExpression) {
  if (AExpression == "TVALUE") return AsText(AValue);
  if (auto date = std::get_if<TDBTimestamp>(&AValue)) return DateKeyText(*date);
  return AValue;
}

void TCommonQueryWriter::WriteSimpleFilter(const TSimpleFilter& AFilter) {
  const char* op = OperatorText(AFilter.Op);
  if (IsStatic(AFilter.Attribute)) {
    const std::string p = AddParameter(AFilter.Value);
    Out() += " (" + AFilter.Attribute + " " + op + " :" + p + ")";
    return;
  }
  const std::string n = AddParameter(AFilter.Attribute);
  const bool isLike = AFilter.Op == TSimpleFilter::TOperator::like || AFilter.Op == TSimpleFilter::TOperator::nlike;
  const std::string x = isLike ? "TVALUE" : CustomValueExpression(AFilter.Value);
  const std::string p = AddParameter(CustomOperand(AFilter.Value, x));
  Out() += " (" + x + " " + op + " :" + p + Format(" and UPPER(TNAME) = UPPER(:%s)", {n}) + ")";
}

void TCommonQueryWriter::WriteRangeFilter(const TRangeFilter& AFilter) {
  if (KindOf(AFilter.Value1) != KindOf(AFilter.Value2))
    throw EQueryException("Range filter values must be same data type");
  const char* op1 = OperatorText(AFilter.Op1);
  const char* op2 = OperatorText(AFilter.Op2);
  const std::string& a = AFilter.Attribute;
  if (IsStatic(a)) {
    const std::string p1 = AddParameter(AFilter.Value1);
    const std::string p2 = AddParameter(AFilter.Value2);
    Out() += " (" + a + " " + op1 + " :" + p1 + " AND " + a + " " + op2 + " :" + p2 + ")";
    return;
  }
  const std::string n = AddParameter(a);
  const std::string x = CustomValueExpression(AFilter.Value1);
  const std::string p1 = AddParameter(CustomOperand(AFilter.Value1, x));
  const std::string p2 = AddParameter(CustomOperand(AFilter.Value2, x));
  Out() += " (" + x + " " + op1 + " :" + p1 + " and " + x + " " + op2 + " :" + p2 +
           Format(" and UPPER(TNAME) = UPPER(:%s)", {n}) + ")";
}

void TCommonQueryWriter::WriteInFilter(const TInFilter& AFilter) {
  const char* op = OperatorText(AFilter.Op);
  const bool isStatic = IsStatic(AFilter.Attribute);
  std::string n;
  if (!isStatic) n = AddParameter(AFilter.Attribute);

  // A custom field compares as number or date only when every value is one; otherwise as text.
  std::string x = "TVALUE";
  std::vector<TQueryValue> values = AFilter.Values;
  if (!isStatic) {
    bool sameKind = !values.empty();
    for (const auto& v : values) sameKind = sameKind && KindOf(v) == KindOf(values.front());
    if (sameKind) x = CustomValueExpression(values.front());
    for (auto& v : values) v = CustomOperand(v, x);
  }

  std::string list;
  const bool firstIsText = !values.empty() && KindOf(values.front()) == TValueKind::Text;
  // An empty list goes through TEMPSTRINGS as well: "IN ()" is no statement, while an empty
  // list table gives the expected answers (IN matches nothing, NOT IN everything).
  if (values.empty() || (firstIsText && values.size() > KMaxInlineTextValues) || values.size() > KMaxInlineValues) {
    const std::string name = FOutput->AddListParameter(std::move(values));
    list = "SELECT \"VALUE\" FROM \"TEMPSTRINGS\" WHERE \"PARAM\" = '" + name + "'";
  } else {
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) list += ", ";
      list += ":" + AddParameter(values[i]);
    }
  }
  if (isStatic)
    Out() += " (" + AFilter.Attribute + " " + op + " (" + list + " )" + ")";
  else
    Out() += " (" + Format("UPPER(TNAME) = UPPER(:%s) and ", {n}) + x + " " + op + " (" + list + " )" + ")";
}

void TCommonQueryWriter::WriteExistsFilter(const TExistsFilter& AFilter) {
  if (IsStatic(AFilter.Attribute)) {
    Out() += " (" + AFilter.Attribute + (AFilter.Exists ? " IS NOT NULL " : " IS NULL ") + ")";
    return;
  }
  const std::string n = AddParameter(AFilter.Attribute);
  if (AFilter.Exists) {
    Out() += " (" + Format("UPPER(TNAME) = UPPER(:%s)", {n}) + " and TVALUE" + " IS NOT NULL " + ")";
    return;
  }
  // An entity lacks the field when none of its detail rows has that name; a test on the joined
  // row could only ever see the rows that exist.
  Out() += " (" +
           Format("NOT EXISTS (select 1 from %0:s XD where XD.%1:s = %2:s.%3:s and UPPER(XD.TNAME) = UPPER(:%4:s))",
                  {FDetailTableName, FFk, FTableName, FPk, n}) +
           ")";
}

void TCommonQueryWriter::WriteOrderByItem(const TQuery::TOrderBy::TItem& AItem) {
  if (!IsStatic(AItem.FieldName)) {
    Out() += "1, TVALUE";
    return;
  }
  if (FQuery->HasMultipleFilters()) {
    // Position in the select list: the static columns follow the key (and, when sorting on a
    // custom field, the null flag and the value).
    const int first = IsDetailOrder() ? 4 : 2;
    int index = -1;
    const std::string upper = UpperASCII(AItem.FieldName);
    for (size_t i = 0; i < FStaticAttributes.size(); ++i)
      if (UpperASCII(FStaticAttributes[i]) == upper) index = static_cast<int>(i);
    Out() += std::to_string(first + index);
    return;
  }
  Out() += AItem.FieldName;
}

int TStandardQueryWriter::GetKind() { return DetailOrderField().empty() ? 0 : 2; }
