// The `where` object of the query language: JSON to the filter tree.
#pragma once

#include <string>

#include <rapidjson/document.h>

#include "Kelvo.QueryTypes.h"

/// How deep $or/$and groups may nest. Real queries use two or three levels; the cap keeps a
/// hostile `where` from exhausting the stack of the request thread.
constexpr int KMaxFilterGroupDepth = 32;

/// Appends one filter per member of `AObject` to `AFilters`. `AOffsetMinutes` is the zone offset
/// of the date texts in the filter (0 = UTC, what every caller passes).
/// @throws EQueryParserException on bad input; `AFilters` is then left empty.
void ParseJSONFilters(const rapidjson::Value& AObject, TFilters& AFilters, int AOffsetMinutes = 0);

/// A filter operand as a value: integral numbers as 64-bit integers, other numbers as floating
/// point, true/false, null as empty, strings that read as dates as date-times, other strings as
/// text. @throws EQueryParserException for objects and arrays.
TQueryValue QueryValueFromJSON(const rapidjson::Value& AValue, int AOffsetMinutes = 0);

/// Reads `AText` as a date (and optional time) in one of the accepted formats, tried in order:
/// ISO 8601 "yyyy-MM-dd[( |T)HH:mm[:ss[.fff]]][Z]", "MM/dd/yyyy[ HH:mm[:ss[.fff]]]",
/// "yyyy/MM/dd[ HH:mm[:ss[.fff]]]". The text is taken as being `AOffsetMinutes` east of UTC;
/// the result is UTC.
bool TryParseQueryDate(const std::string& AText, TDBTimestamp& AResult, int AOffsetMinutes = 0);

/// Compact JSON text of a value, as the parser's messages show it.
std::string JSONText(const rapidjson::Value& AValue);
