#include "KelvoServer.Redirect.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.Format.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Services.h"

bool TCaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) < std::tolower(y);
  });
}

namespace {
std::unique_ptr<TKelvoEndpointRedirect>& Global() {
  static std::unique_ptr<TKelvoEndpointRedirect> instance;
  return instance;
}
}  // namespace

TKelvoEndpointRedirect& TKelvoEndpointRedirect::Instance() {
  if (!Global()) Global() = std::make_unique<TKelvoEndpointRedirect>();
  return *Global();
}

void TKelvoEndpointRedirect::ReleaseInstance() { Global().reset(); }

void TKelvoEndpointRedirect::RegisterRedirect(const std::string& name, const TRedirect& redirect) {
  FRedirect[name] = redirect;
}

bool TKelvoEndpointRedirect::FindRedirect(const std::string& name, TRedirect& redirect) const {
  auto it = FRedirect.find(name);
  if (it == FRedirect.end()) return false;
  redirect = it->second;
  return true;
}

void TKelvoEndpointRedirect::RegisterFromConfig(const std::string& name, const std::string& value) {
  rapidjson::Document json;
  if (!ParseJSON(value, json) || !json.IsObject())
    throw EKelvoConfigurationError(Format("Invalid JSON Redirect : %s", {value}));
  TRedirect redirect;
  bool has_destination = false;
  for (auto it = json.MemberBegin(); it != json.MemberEnd(); ++it) {
    const std::string member(it->name.GetString(), it->name.GetStringLength());
    if (member != "destination")
      throw EKelvoConfigurationError(Format("Unexpected JSON Redirect elements: %s", {member}));
    if (!it->value.IsString())
      throw EKelvoConfigurationError(Format("Cannot parse JSON Redirect.  JSON string expected: %s", {value}));
    if (has_destination) throw EKelvoConfigurationError(Format("Invalid JSON Redirect : %s", {value}));
    has_destination = true;
    redirect.FDestination.assign(it->value.GetString(), it->value.GetStringLength());
  }
  if (!has_destination) throw EKelvoConfigurationError(Format("Invalid JSON Redirect : %s", {value}));
  if (KelvoLoggingEnabled()) {
    rapidjson::Document record;
    record.SetObject();
    AddMember(record, "Resource", name, record.GetAllocator());
    rapidjson::Value copy(json, record.GetAllocator());
    record.AddMember("Redirect", copy, record.GetAllocator());
    KelvoLog("RegRedirect", record);
  }
  RegisterRedirect(name, redirect);
}

bool TRedirectHelpers::FindRedirect(const std::string& resource, const std::string& endpoint,
                                    std::string& destination) {
  TKelvoEndpointRedirect::TRedirect redirect;
  auto& table = TKelvoEndpointRedirect::Instance();
  if (table.FindRedirect(resource + "." + endpoint, redirect) || table.FindRedirect(resource, redirect)) {
    destination = redirect.FDestination;
    return true;
  }
  return false;
}
