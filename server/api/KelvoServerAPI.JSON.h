// JSON helpers shared by the server and extension packages.
//
// Bodies are written as compact JSON; characters outside ASCII are written as \u escapes so a
// reply survives any transport that mangles 8-bit text.
#pragma once

#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

using TJSONWriter = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>>;

/// `text` with every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string ValidUTF8(const std::string& text);

/// Compact, ASCII-escaped JSON text of `value`; strings that are not valid UTF-8 are written
/// with their invalid bytes replaced by U+FFFD, never as broken JSON.
std::string JSONToText(const rapidjson::Value& value);

/// Parses `text` completely as JSON into `document`; false (and `document` null) when it is not
/// valid JSON. Nesting deeper than `max_depth` counts as invalid, so hostile input cannot exhaust
/// the stack.
bool ParseJSON(const std::string& text, rapidjson::Document& document, unsigned max_depth = 512);

/// Adds a string member (copied) to `object`.
void AddMember(rapidjson::Value& object, const std::string& name, const std::string& value,
               rapidjson::Document::AllocatorType& allocator);
