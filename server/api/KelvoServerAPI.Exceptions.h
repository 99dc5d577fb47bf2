// Exception classes shared by the server and extension packages.
//
// Every failure in the server is a C++ exception. The class tree mirrors the server's E...
// classes; ExceptionClassName() gives the unqualified class name that error pages and log
// records show.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

/// Base of the server's own exception classes; `what()` is the message.
class EKelvoException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Configuration that cannot be used (bad ACL JSON, unknown server kind, ...).
class EKelvoConfigurationError : public EKelvoException {
 public:
  using EKelvoException::EKelvoException;
};

/// An index beyond a list's end (params, segments).
class EArgumentOutOfRangeException : public EKelvoException {
 public:
  using EKelvoException::EKelvoException;
};

/// An operation a host object does not offer (for example custom response headers).
class ENotSupportedException : public EKelvoException {
 public:
  using EKelvoException::EKelvoException;
};

/// Unqualified, demangled class name of the dynamic type of `e` ("EKelvoHTTPError").
std::string ExceptionClassName(const std::exception& e);
