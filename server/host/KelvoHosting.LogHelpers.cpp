#include "KelvoHosting.LogHelpers.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <initializer_list>
#include <utility>

#include <rapidjson/document.h>

#include "KelvoServer.Config.h"
#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.Services.h"

namespace {

// A record under construction; members are appended in call order.
class TRecord {
 public:
  TRecord() { FDoc.SetObject(); }
  TRecord& Add(const char* name, const std::string& value) {
    FDoc.AddMember(rapidjson::StringRef(name), rapidjson::Value(value, FDoc.GetAllocator()),
                   FDoc.GetAllocator());
    return *this;
  }
  TRecord& Add(const char* name, rapidjson::Value value) {
    FDoc.AddMember(rapidjson::StringRef(name), value, FDoc.GetAllocator());
    return *this;
  }
  rapidjson::Value Strings(const std::vector<std::string>& items) {
    rapidjson::Value array(rapidjson::kArrayType);
    for (const auto& item : items) {
      array.PushBack(rapidjson::Value(item, FDoc.GetAllocator()), FDoc.GetAllocator());
    }
    return array;
  }
  // The entry's text as a JSON object, or {"InvalidJSON": text} when it is not one.
  rapidjson::Value ObjectOrInvalid(const std::string& text) {
    rapidjson::Document parsed;
    parsed.Parse(text);
    rapidjson::Value value(rapidjson::kObjectType);
    if (!parsed.HasParseError() && parsed.IsObject()) {
      value.CopyFrom(parsed, FDoc.GetAllocator());
    } else {
      value.AddMember("InvalidJSON", rapidjson::Value(text, FDoc.GetAllocator()),
                      FDoc.GetAllocator());
    }
    return value;
  }
  void Write(const std::string& category) { KelvoLog(category, FDoc); }

 private:
  rapidjson::Document FDoc;
};

// Builds and writes a record only when logging is enabled; a record that cannot be built
// (out of memory) must not fail the request or start-up that writes it.
template <class Build>
void WriteRecord(const char* category, Build build) {
  if (!KelvoLoggingEnabled()) return;
  try {
    TRecord record;
    build(record);
    record.Write(category);
  } catch (const std::exception&) {
    // Nothing left to report to: the log is where this would go.
  }
}

}  // namespace

std::string TKelvoLogHelpers::LocalDateTimeText() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

void TKelvoLogHelpers::SetupLogging(const TKelvoConfiguration& config) {
  auto setup = KelvoServices().Get<IKelvoLoggingSetupService>();
  if (!setup) return;
  std::string file_name = config.FServerLogging.FFileName;
  if (!file_name.empty() && std::filesystem::path(file_name).is_relative()) {
    // Apache's children run in "/", so a bare name would never be writable there.
    const auto config_dir = std::filesystem::path(config.GetConfigFileName()).parent_path();
    file_name = (config_dir / file_name).lexically_normal().string();
  }
  setup->SetupFileOutput(file_name, config.FServerLogging.FAppend);
  LogConfigLoaded(config.GetConfigFileName(), config.GetConfigFileExists());
}

void TKelvoLogHelpers::LogHTTPError(int code, const std::string& reason, const std::string& error,
                                    const std::string& description) {
  WriteRecord("Error", [&](TRecord& r) {
    r.Add("Type", "HTTP").Add("Code", std::to_string(code)).Add("Reason", reason);
    r.Add("Error", error).Add("Description", description);
  });
}

void TKelvoLogHelpers::LogPackageError(const std::string& file_name, const std::exception& e) {
  WriteRecord("Error", [&](TRecord& r) {
    r.Add("Type", "Package").Add("Filename", file_name);
    r.Add("Exception", ExceptionClassName(e)).Add("Message", e.what());
  });
}

void TKelvoLogHelpers::LogOtherError(const std::exception& e) {
  WriteRecord("Error", [&](TRecord& r) {
    r.Add("Type", "Other").Add("Exception", ExceptionClassName(e)).Add("Message", e.what());
  });
}

void TKelvoLogHelpers::LogLoading(const std::string& file_name) {
  WriteRecord("Loading", [&](TRecord& r) { r.Add("Filename", file_name); });
}

void TKelvoLogHelpers::LogLoaded(const std::string& file_name) {
  WriteRecord("Loaded", [&](TRecord& r) { r.Add("Filename", file_name); });
}

void TKelvoLogHelpers::LogRegACL(const std::string& resource, const std::string& acl) {
  WriteRecord("RegACL", [&](TRecord& r) {
    r.Add("Resource", resource).Add("ACL", r.ObjectOrInvalid(acl));
  });
}

void TKelvoLogHelpers::LogRegRedirect(const std::string& resource, const std::string& redirect) {
  WriteRecord("RegRedirect", [&](TRecord& r) {
    r.Add("Resource", resource).Add("Redirect", r.ObjectOrInvalid(redirect));
  });
}

void TKelvoLogHelpers::LogRegResource(const std::string& resource,
                                      const std::vector<std::string>& endpoints) {
  WriteRecord("RegResource", [&](TRecord& r) {
    r.Add("Resource", resource).Add("Endpoints", r.Strings(endpoints));
  });
}

void TKelvoLogHelpers::LogConfigLoaded(const std::string& file_name, bool exists) {
  WriteRecord("ConfigLoaded", [&](TRecord& r) {
    r.Add("Filename", file_name).Add("Exists", rapidjson::Value(exists));
  });
}

void TKelvoLogHelpers::LogDBConnection(const std::string& instance_name,
                                       const std::string& file_name) {
  WriteRecord("DBConnection", [&](TRecord& r) {
    r.Add("InstanceName", instance_name).Add("Filename", file_name);
  });
}

void TKelvoLogHelpers::LogRequest(const std::string& resource, const std::string& endpoint,
                                  const std::string& method, const std::string& user_id) {
  WriteRecord("Request", [&](TRecord& r) {
    r.Add("Resource", resource).Add("Endpoint", endpoint).Add("Method", method);
    r.Add("User", user_id.empty() ? std::string("(blank)") : user_id);
    r.Add("Time", LocalDateTimeText());
  });
}

void TKelvoLogHelpers::LogRedirect(const std::string& resource, const std::string& endpoint,
                                   const std::string& destination_resource,
                                   const std::string& destination_endpoint) {
  WriteRecord("Redirect", [&](TRecord& r) {
    r.Add("Resource", resource).Add("Endpoint", endpoint);
    r.Add("DestinationResource", destination_resource);
    r.Add("DestinationEndpoint", destination_endpoint);
    r.Add("Time", LocalDateTimeText());
  });
}

void TKelvoLogHelpers::LogTrace(const std::string& message) {
  WriteRecord("Trace", [&](TRecord& r) { r.Add("Message", message); });
}

void TKelvoLogHelpers::LogPush(const std::string& action, const std::string& type) {
  WriteRecord("Push", [&](TRecord& r) { r.Add("action", action).Add("type", type); });
}

void TKelvoLogHelpers::LogPublicPath(const std::string& logical_path,
                                     const std::string& public_directory,
                                     const std::string& default_file,
                                     const std::vector<std::string>& mimes,
                                     const std::vector<std::string>& extensions,
                                     const std::string& charset) {
  WriteRecord("PublicPath", [&](TRecord& r) {
    r.Add("LogicalPath", logical_path).Add("PublicDirectory", public_directory);
    if (!default_file.empty()) r.Add("DefaultFile", default_file);
    if (!mimes.empty()) r.Add("Mimes", r.Strings(mimes));
    if (!extensions.empty()) r.Add("Extensions", r.Strings(extensions));
    if (!charset.empty()) r.Add("Charset", charset);
  });
}
