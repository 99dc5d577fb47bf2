#include "KelvoServerAPI.APIDoc.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "KelvoServerAPI.Exceptions.h"

namespace {

std::string TrimText(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The parameters of a path template ("{id}" -> id), in order.
std::vector<std::string> PathParameters(const std::string& path) {
  std::vector<std::string> names;
  size_t pos = 0;
  while ((pos = path.find('{', pos)) != std::string::npos) {
    const auto end = path.find('}', pos);
    if (end == std::string::npos) break;
    names.push_back(path.substr(pos + 1, end - pos - 1));
    pos = end + 1;
  }
  return names;
}

using TAllocator = rapidjson::Document::AllocatorType;

rapidjson::Value Str(const std::string& text, TAllocator& a) {
  return rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
}

rapidjson::Value StrArray(const std::vector<std::string>& items, TAllocator& a) {
  rapidjson::Value array(rapidjson::kArrayType);
  for (const auto& item : items) array.PushBack(Str(item, a), a);
  return array;
}

rapidjson::Value Operation(const TAPIDocPath& path, const TEndpointDefinition& endpoint, TAllocator& a) {
  const TEndpointDoc& doc = endpoint.Doc();
  rapidjson::Value op(rapidjson::kObjectType);
  op.AddMember("tags", StrArray(doc.FTags.empty() ? std::vector<std::string>{path.FResourceName} : doc.FTags, a), a);
  if (!doc.FSummary.empty()) op.AddMember("summary", Str(APIDocText(doc.FSummary), a), a);
  if (!doc.FDescription.empty()) op.AddMember("description", Str(APIDocText(doc.FDescription), a), a);
  op.AddMember("operationId", Str(path.FResourceName + "." + endpoint.Name(), a), a);
  if (!doc.FProduces.empty()) op.AddMember("produces", StrArray(doc.FProduces, a), a);
  if (!doc.FConsumes.empty()) op.AddMember("consumes", StrArray(doc.FConsumes, a), a);

  rapidjson::Value params(rapidjson::kArrayType);
  std::vector<std::string> declared;
  for (const auto& p : doc.FParameters) {
    rapidjson::Value param(rapidjson::kObjectType);
    param.AddMember("name", Str(p.FName, a), a);
    param.AddMember("in", Str(p.FIn, a), a);
    if (!p.FDescription.empty()) param.AddMember("description", Str(APIDocText(p.FDescription), a), a);
    // Path parameters are always required in the document's format.
    param.AddMember("required", p.FRequired || p.FIn == "path", a);
    if (p.FIn == "body") {
      rapidjson::Value schema(rapidjson::kObjectType);
      if (!p.FSchemaRef.empty())
        schema.AddMember("$ref", Str(p.FSchemaRef, a), a);
      else
        schema.AddMember("type", "object", a);
      param.AddMember("schema", schema, a);
    } else {
      param.AddMember("type", Str(p.FType.empty() ? "string" : p.FType, a), a);
    }
    params.PushBack(param, a);
    if (p.FIn == "path") declared.push_back(p.FName);
  }
  // Every parameter of the path is documented, declared or not.
  for (const auto& name : PathParameters(path.FPath)) {
    if (std::find(declared.begin(), declared.end(), name) != declared.end()) continue;
    rapidjson::Value param(rapidjson::kObjectType);
    param.AddMember("name", Str(name, a), a);
    param.AddMember("in", "path", a);
    param.AddMember("description", Str(APIDocText("sEndPointPath"), a), a);
    param.AddMember("required", true, a);
    param.AddMember("type", "string", a);
    params.PushBack(param, a);
  }
  if (!params.Empty()) op.AddMember("parameters", params, a);

  rapidjson::Value responses(rapidjson::kObjectType);
  for (const auto& r : doc.FResponses) {
    rapidjson::Value response(rapidjson::kObjectType);
    response.AddMember("description", Str(APIDocText(r.FDescription), a), a);
    if (!r.FSchemaRef.empty()) {
      rapidjson::Value schema(rapidjson::kObjectType);
      if (r.FArray) {
        rapidjson::Value items(rapidjson::kObjectType);
        items.AddMember("$ref", Str(r.FSchemaRef, a), a);
        schema.AddMember("type", "array", a);
        schema.AddMember("items", items, a);
      } else {
        schema.AddMember("$ref", Str(r.FSchemaRef, a), a);
      }
      response.AddMember("schema", schema, a);
    }
    const std::string code = std::to_string(r.FCode);
    if (!responses.HasMember(code.c_str())) responses.AddMember(Str(code, a), response, a);
  }
  if (responses.ObjectEmpty()) {
    rapidjson::Value response(rapidjson::kObjectType);
    response.AddMember("description", "OK", a);
    responses.AddMember("200", response, a);
  }
  op.AddMember("responses", responses, a);
  return op;
}

// --- a small YAML writer for the document's DOM ------------------------------------------------

// Plain (unquoted) when the text cannot be read as anything but this string.
bool PlainYAMLSafe(const std::string& text) {
  if (text.empty()) return false;
  static const char* const kReserved[] = {"true", "false", "null", "yes", "no", "on", "off", "y", "n", "~"};
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  for (const char* word : kReserved)
    if (lower == word) return false;
  if (!std::isalpha(static_cast<unsigned char>(text[0])) && text[0] != '/' && text[0] != '_' && text[0] != '$') return false;
  for (const char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("_./{}$-").find(c) == std::string::npos) return false;
  return true;
}

std::string YAMLString(const std::string& text) {
  if (PlainYAMLSafe(text)) return text;
  // A single-quoted scalar would fold a line break into a space: keep multi-line texts (the
  // documentation blocks) as double-quoted scalars with escapes.
  if (text.find('\n') != std::string::npos) {
    std::string out = "\"";
    for (const char c : text) {
      if (c == '\\' || c == '"') out += std::string("\\") + c;
      else if (c == '\n') out += "\\n";
      else if (c == '\r') out += "\\r";
      else if (c == '\t') out += "\\t";
      else out += c;
    }
    return out + "\"";
  }
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') out += "''";
    else if (c == '\n') out += ' ';
    else if (c != '\r') out += c;
  }
  return out + "'";
}

void WriteYAML(const rapidjson::Value& value, int indent, std::string& out);

void WriteScalar(const rapidjson::Value& value, std::string& out) {
  if (value.IsString()) out += YAMLString(std::string(value.GetString(), value.GetStringLength()));
  else if (value.IsBool()) out += value.GetBool() ? "true" : "false";
  else if (value.IsNull()) out += "null";
  else out += JSONToText(value);
}

bool IsEmptyContainer(const rapidjson::Value& v) {
  return (v.IsObject() && v.ObjectEmpty()) || (v.IsArray() && v.Empty());
}

void WriteYAML(const rapidjson::Value& value, int indent, std::string& out) {
  const std::string pad(static_cast<size_t>(indent), ' ');
  if (value.IsObject()) {
    for (auto it = value.MemberBegin(); it != value.MemberEnd(); ++it) {
      out += pad + YAMLString(std::string(it->name.GetString(), it->name.GetStringLength())) + ":";
      if (IsEmptyContainer(it->value)) {
        out += it->value.IsObject() ? " {}\n" : " []\n";
      } else if (it->value.IsObject() || it->value.IsArray()) {
        out += "\n";
        WriteYAML(it->value, indent + 2, out);
      } else {
        out += " ";
        WriteScalar(it->value, out);
        out += "\n";
      }
    }
  } else if (value.IsArray()) {
    for (const auto& item : value.GetArray()) {
      if (item.IsObject() && !item.ObjectEmpty()) {
        // "- " then the object's members, the first on the dash's line.
        std::string nested;
        WriteYAML(item, indent + 2, nested);
        nested.replace(static_cast<size_t>(indent), 2, "- ");
        out += nested;
      } else if (IsEmptyContainer(item)) {
        out += pad + (item.IsObject() ? "- {}\n" : "- []\n");
      } else if (item.IsArray()) {
        out += pad + "-\n";
        WriteYAML(item, indent + 2, out);
      } else {
        out += pad + "- ";
        WriteScalar(item, out);
        out += "\n";
      }
    }
  }
}

}  // namespace

std::string APIDocText(const std::string& key_or_text) {
  const std::string text = TResourceStringsTable::Resolve(key_or_text);
  // " |" and a line break start a block of indented lines: keep the lines, drop the markup.
  if (text.rfind(" |", 0) != 0) return text;
  std::string joined;
  const auto lines = Lines(text.substr(2));
  for (const auto& line : lines) {
    const std::string trimmed = TrimText(line);
    if (trimmed.empty()) continue;
    if (!joined.empty()) joined += "\n";
    joined += trimmed;
  }
  return joined;
}

TAPIDoc::TAPIDoc(std::string host, std::string base_path, TMode mode)
    : FHost(std::move(host)), FBasePath(base_path.empty() ? "/" : std::move(base_path)), FMode(mode) {}

void TAPIDoc::AppendDefinitions(const std::string& text) {
  if (FMode == TMode::YAML) {
    if (TrimText(text).empty()) return;
    if (!FDefinitions.empty() && FDefinitions.back() != '\n') FDefinitions += "\n";
    FDefinitions += text;
    return;
  }
  if (TrimText(text).empty()) return;
  rapidjson::Document parsed;
  if (!ParseJSON(text, parsed)) throw EKelvoException("Wrong deinitions. Invalid JSON Objects");
  if (!parsed.IsObject()) throw EKelvoException("Invalid class typecast");
  const std::string trimmed = TrimText(text);
  const std::string members = trimmed.substr(1, trimmed.size() - 2);
  if (TrimText(members).empty()) return;
  if (!FDefinitions.empty()) FDefinitions += ",\r\n";
  FDefinitions += members;
}

void TAPIDoc::SortPaths() {
  std::stable_sort(FPaths.begin(), FPaths.end(),
                   [](const TAPIDocPath& a, const TAPIDocPath& b) { return a.FPath < b.FPath; });
}

void TAPIDoc::BuildDocument(rapidjson::Document& document) const {
  document.SetObject();
  auto& a = document.GetAllocator();
  document.AddMember("swagger", "2.0", a);
  rapidjson::Value info(rapidjson::kObjectType);
  info.AddMember("version", "4.1", a);
  info.AddMember("title", "Brill Server API", a);
  info.AddMember("description", "REST API of the Brill Server and of the resources registered with it.", a);
  document.AddMember("info", info, a);
  if (!FHost.empty()) document.AddMember("host", Str(FHost, a), a);
  document.AddMember("basePath", Str(FBasePath, a), a);
  document.AddMember("schemes", StrArray({"http", "https"}, a), a);
  document.AddMember("consumes", StrArray({"application/json"}, a), a);
  document.AddMember("produces", StrArray({"application/json"}, a), a);
  rapidjson::Value paths(rapidjson::kObjectType);
  for (const auto& path : FPaths) {
    rapidjson::Value item(rapidjson::kObjectType);
    if (paths.HasMember(path.FPath.c_str())) continue;  // two resources on one path: the first documents it
    for (const auto& [method, endpoint] : path.FOperations)
      if (!item.HasMember(method.c_str())) item.AddMember(Str(method, a), Operation(path, *endpoint, a), a);
    paths.AddMember(Str(path.FPath, a), item, a);
  }
  document.AddMember("paths", paths, a);
}

void TAPIDoc::WriteAPIDocJson(TJSONWriter& writer) const {
  rapidjson::Document document;
  BuildDocument(document);
  rapidjson::Document definitions;
  if (!ParseJSON("{" + FDefinitions + "}", definitions) || !definitions.IsObject())
    throw EKelvoException("Wrong deinitions. Invalid JSON Objects");
  document.AddMember("definitions", rapidjson::Value(definitions, document.GetAllocator()), document.GetAllocator());
  document.Accept(writer);
}

std::string TAPIDoc::GetAPIDocYaml() const {
  rapidjson::Document document;
  BuildDocument(document);
  std::string out;
  WriteYAML(document, 0, out);
  if (TrimText(FDefinitions).empty()) {
    out += "definitions: {}\n";
  } else {
    // Each resource's definitions are mapping entries at the left margin: indent them below.
    out += "definitions:\n";
    for (const auto& line : Lines(FDefinitions)) out += line.empty() ? "\n" : "  " + line + "\n";
  }
  return out;
}
