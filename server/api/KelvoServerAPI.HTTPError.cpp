#include "KelvoServerAPI.HTTPError.h"

namespace {

// The exception message serves logs and error pages: the most specific text available.
std::string MessageOf(int code, const std::string& error, const std::string& description) {
  if (!description.empty()) return description;
  if (!error.empty()) return error;
  return "HTTP error " + std::to_string(code);
}

}  // namespace

EKelvoHTTPError::EKelvoHTTPError(int code, std::string error, std::string description)
    : EKelvoException(MessageOf(code, error, description)),
      FCode(code),
      FError(std::move(error)),
      FDescription(std::move(description)) {}

void RaiseError(int code, const std::string& error, const std::string& description) {
  throw EKelvoHTTPError(code, error, description);
}
void RaiseBadRequest(const std::string& error, const std::string& description) {
  RaiseError(400, error, description);
}
void RaiseUnauthorized(const std::string& error, const std::string& description) {
  RaiseError(401, error, description);
}
void RaiseForbidden(const std::string& error, const std::string& description) {
  RaiseError(403, error, description);
}
void RaiseNotFound(const std::string& error, const std::string& description) {
  RaiseError(404, error, description);
}
void RaiseDuplicate(const std::string& error, const std::string& description) {
  RaiseError(409, error, description);
}
