// HTTP errors: the exceptions that become the server's JSON error reply.
//
// A resource or the request pipeline raises one through the Raise... operations; the request
// handler turns it into status `GetCode()` with "error" = `GetError()` (or the status reason when
// empty) and "description" = `GetDescription()` (left out when empty).
#pragma once

#include <string>

#include "KelvoServerAPI.Exceptions.h"

class EKelvoHTTPError : public EKelvoException {
 public:
  EKelvoHTTPError(int code, std::string error, std::string description);

  int GetCode() const { return FCode; }
  /// The error text; empty when the raiser gave none (the reply then shows "Error" or "OK").
  const std::string& GetError() const { return FError; }
  const std::string& GetDescription() const { return FDescription; }

 private:
  int FCode;
  std::string FError;
  std::string FDescription;
};

[[noreturn]] void RaiseError(int code, const std::string& error = {}, const std::string& description = {});
[[noreturn]] void RaiseBadRequest(const std::string& error = {}, const std::string& description = {});
[[noreturn]] void RaiseUnauthorized(const std::string& error = {}, const std::string& description = {});
[[noreturn]] void RaiseForbidden(const std::string& error = {}, const std::string& description = {});
[[noreturn]] void RaiseNotFound(const std::string& error = {}, const std::string& description = {});
[[noreturn]] void RaiseDuplicate(const std::string& error = {}, const std::string& description = {});
