// The server's diagnostic log records: one function per record kind, each writing its members
// in a fixed order. Every function does nothing unless logging is enabled, builds nothing in
// that case, and never throws.
#pragma once

#include <exception>
#include <string>
#include <vector>

class TKelvoConfiguration;

class TKelvoLogHelpers {
 public:
  /// Log set-up at module start: file output from section Server.Logging (a relative file name
  /// is taken relative to the configuration file's directory), then a ConfigLoaded record.
  /// Does nothing when no logging set-up service is registered.
  static void SetupLogging(const TKelvoConfiguration& config);

  /// Error record of an error reply: "Type":"HTTP", "Code", "Reason", "Error", "Description".
  static void LogHTTPError(int code, const std::string& reason, const std::string& error,
                           const std::string& description);
  /// Error record of a package that failed to load: "Type":"Package", "Filename", "Exception",
  /// "Message".
  static void LogPackageError(const std::string& file_name, const std::exception& e);
  /// Error record of a start-up failure: "Type":"Other", "Exception", "Message".
  static void LogOtherError(const std::exception& e);
  static void LogLoading(const std::string& file_name);
  static void LogLoaded(const std::string& file_name);
  /// `acl` is the entry's text; text that is not a JSON object is logged as {"InvalidJSON": text}.
  static void LogRegACL(const std::string& resource, const std::string& acl);
  static void LogRegRedirect(const std::string& resource, const std::string& redirect);
  static void LogRegResource(const std::string& resource, const std::vector<std::string>& endpoints);
  static void LogConfigLoaded(const std::string& file_name, bool exists);
  static void LogDBConnection(const std::string& instance_name, const std::string& file_name);
  /// An empty user id is written as "(blank)".
  static void LogRequest(const std::string& resource, const std::string& endpoint,
                         const std::string& method, const std::string& user_id);
  static void LogRedirect(const std::string& resource, const std::string& endpoint,
                          const std::string& destination_resource,
                          const std::string& destination_endpoint);
  static void LogTrace(const std::string& message);
  /// `action` is "Queued" or "Sent"; `type` the notification's class name.
  static void LogPush(const std::string& action, const std::string& type);
  /// The last four members are written only when not empty.
  static void LogPublicPath(const std::string& logical_path, const std::string& public_directory,
                            const std::string& default_file, const std::vector<std::string>& mimes,
                            const std::vector<std::string>& extensions, const std::string& charset);

  /// Local date and time as the Request and Redirect records show it: "2026-12-11 09:27:24".
  static std::string LocalDateTimeText();
};
