#include "SwaggerCheck.h"

#include <cstdio>
#include <set>

#include "KelvoServerAPI.JSON.h"
#include "KelvoTestSupport.h"

namespace {

void CheckRefs(const rapidjson::Value& value, const rapidjson::Value& definitions, std::vector<std::string>& problems) {
  if (value.IsObject()) {
    for (auto it = value.MemberBegin(); it != value.MemberEnd(); ++it) {
      if (std::string(it->name.GetString()) == "$ref" && it->value.IsString()) {
        const std::string ref = it->value.GetString();
        const std::string prefix = "#/definitions/";
        if (ref.rfind(prefix, 0) != 0 || !definitions.IsObject() || !definitions.HasMember(ref.substr(prefix.size()).c_str()))
          problems.push_back("unresolved $ref " + ref);
      } else {
        CheckRefs(it->value, definitions, problems);
      }
    }
  } else if (value.IsArray()) {
    for (const auto& item : value.GetArray()) CheckRefs(item, definitions, problems);
  }
}

}  // namespace

std::vector<std::string> SwaggerProblems(const std::string& json_text) {
  std::vector<std::string> problems;
  rapidjson::Document doc;
  if (!ParseJSON(json_text, doc) || !doc.IsObject()) return {"not a JSON object"};
  if (!doc.HasMember("swagger") || !doc["swagger"].IsString() || std::string(doc["swagger"].GetString()) != "2.0")
    problems.push_back("swagger is not \"2.0\"");
  if (!doc.HasMember("info") || !doc["info"].IsObject() || !doc["info"].HasMember("title") ||
      !doc["info"].HasMember("version"))
    problems.push_back("info needs title and version");
  if (!doc.HasMember("paths") || !doc["paths"].IsObject()) return problems.push_back("no paths object"), problems;
  const rapidjson::Value empty(rapidjson::kObjectType);
  const rapidjson::Value& definitions = doc.HasMember("definitions") ? doc["definitions"] : empty;
  if (!definitions.IsObject()) problems.push_back("definitions is not an object");
  static const std::set<std::string> kMethods = {"get", "put", "post", "delete", "options", "head", "patch"};
  std::set<std::string> operation_ids;
  for (auto path = doc["paths"].MemberBegin(); path != doc["paths"].MemberEnd(); ++path) {
    const std::string name = path->name.GetString();
    if (name.empty() || name[0] != '/') problems.push_back("path does not start with /: " + name);
    for (auto op = path->value.MemberBegin(); op != path->value.MemberEnd(); ++op) {
      const std::string method = op->name.GetString();
      const std::string where = name + " " + method;
      if (!kMethods.count(method)) problems.push_back("unknown method " + where);
      if (!op->value.HasMember("responses") || !op->value["responses"].IsObject() || op->value["responses"].ObjectEmpty())
        problems.push_back("no responses: " + where);
      else
        for (auto r = op->value["responses"].MemberBegin(); r != op->value["responses"].MemberEnd(); ++r)
          if (!r->value.HasMember("description")) problems.push_back("response without description: " + where);
      if (op->value.HasMember("operationId") && !operation_ids.insert(op->value["operationId"].GetString()).second)
        problems.push_back("duplicate operationId: " + where);
      // Every {parameter} of the path is declared as a required path parameter.
      std::set<std::string> declared;
      if (op->value.HasMember("parameters"))
        for (const auto& p : op->value["parameters"].GetArray()) {
          if (!p.HasMember("name") || !p.HasMember("in")) {
            problems.push_back("parameter without name or in: " + where);
            continue;
          }
          const std::string in = p["in"].GetString();
          if (in == "path") {
            declared.insert(p["name"].GetString());
            if (!p.HasMember("required") || !p["required"].IsTrue()) problems.push_back("optional path parameter: " + where);
          }
          if (in == "body" ? !p.HasMember("schema") : !p.HasMember("type"))
            problems.push_back("parameter without type or schema: " + where);
        }
      for (size_t pos = name.find('{'); pos != std::string::npos; pos = name.find('{', pos + 1)) {
        const std::string param = name.substr(pos + 1, name.find('}', pos) - pos - 1);
        if (!declared.count(param)) problems.push_back("undeclared path parameter " + param + ": " + where);
      }
    }
  }
  CheckRefs(doc, definitions, problems);
  return problems;
}

std::string YAMLToJSON(const std::string& yaml_text) {
  TTempDir dir;
  WriteTextFile(dir.File("in.yaml"), yaml_text);
  const std::string command = "python3 -c 'import sys, yaml, json; print(json.dumps(yaml.safe_load(open(sys.argv[1]))))' " +
                              dir.File("in.yaml") + " > " + dir.File("out.json") + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  return ReadTextFile(dir.File("out.json"));
}
