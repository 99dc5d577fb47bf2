#include "KelvoServer.ACL.h"

#include "KelvoHosting.ResourceManager.h"
#include "KelvoServer.Config.h"
#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.Format.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Services.h"

namespace {

std::vector<std::string> TextArray(const rapidjson::Value& array) {
  std::vector<std::string> items;
  for (const auto& item : array.GetArray()) {
    // Elements count by their text: strings as they are, other values as JSON text.
    items.push_back(item.IsString() ? std::string(item.GetString(), item.GetStringLength()) : JSONToText(item));
  }
  return items;
}

void LogACL(const std::string& name, const std::string& value) {
  if (!KelvoLoggingEnabled()) return;
  rapidjson::Document record;
  record.SetObject();
  auto& a = record.GetAllocator();
  AddMember(record, "Resource", name, a);
  rapidjson::Document acl;
  if (ParseJSON(value, acl) && acl.IsObject()) {
    record.AddMember("ACL", rapidjson::Value(acl, a), a);
  } else {
    rapidjson::Value invalid(rapidjson::kObjectType);
    invalid.AddMember("InvalidJSON", rapidjson::Value(value.c_str(), a), a);
    record.AddMember("ACL", invalid, a);
  }
  KelvoLog("RegACL", record);
}

}  // namespace

std::unique_ptr<TACLImpl> ReadACL(const std::string& value) {
  rapidjson::Document json;
  if (!ParseJSON(value, json) || !json.IsObject())
    throw EKelvoConfigurationError(Format("Invalid JSON ACL : %s", {value}));
  bool is_public = false;
  std::vector<std::string> users;
  std::vector<std::string> groups;
  for (auto it = json.MemberBegin(); it != json.MemberEnd(); ++it) {
    const std::string member(it->name.GetString(), it->name.GetStringLength());
    if (member == "users" || member == "groups") {
      if (!it->value.IsArray())
        throw EKelvoConfigurationError(Format("Cannot parse JSON ACL.  JSON Array expected: %s", {value}));
      auto items = TextArray(it->value);
      auto& target = member == "users" ? users : groups;
      target.insert(target.end(), items.begin(), items.end());
    } else if (member == "public") {
      if (!it->value.IsBool())
        throw EKelvoConfigurationError(Format("Cannot parse JSON ACL.  JSON true or false expected: %s", {value}));
      is_public = it->value.GetBool();
    } else {
      throw EKelvoConfigurationError(Format("Unexpected JSON ACL elements: %s", {member}));
    }
  }
  return std::make_unique<TACLImpl>(is_public, std::move(groups), std::move(users));
}

void RegisterACLs() {
  auto& authorization = EndpointAuthorization();
  for (const auto& [name, value] : KelvoConfig().FServerACL.FACL) {
    auto acl = ReadACL(value);
    LogACL(name, value);
    if (name.find('.') == std::string::npos) {
      // Endpoints that allow their creator get the resource's rules under their own name.
      for (const auto& endpoint : authorization.AllowCreatorEndpoints(name))
        authorization.RegisterACL(endpoint, std::make_unique<TACLImpl>(acl->IsPublic(), acl->Groups(), acl->Users(), true));
    } else if (authorization.AllowCreator(name)) {
      acl->SetAllowCreator(true);
    }
    authorization.RegisterACL(name, std::move(acl));
  }
}
