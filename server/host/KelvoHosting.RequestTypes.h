// The host request and response: what the request pipeline and the endpoint model know of the
// web server. Adapters implement them over Apache's request (through the web layer) and over
// in-process requests.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KelvoServerAPI.Endpoints.h"

enum class TKelvoHostMethodType { Put, Get, Post, Head, Delete, Patch };

using TQueryFields = std::vector<std::pair<std::string, std::string>>;

class IKelvoHostRequest {
 public:
  virtual ~IKelvoHostRequest() = default;
  virtual std::string GetContentType() const = 0;
  virtual TKelvoHostMethodType GetMethodType() const = 0;
  /// The path below the module's location.
  virtual std::string GetPathInfo() const = 0;
  /// (name, value) pairs in query-string order.
  virtual TQueryFields GetQueryFields() const = 0;
  virtual const TBytes& GetRawContent() const = 0;
  /// The method as upper-case text; empty for a method outside the six known ones.
  virtual std::string GetMethod() const = 0;
  virtual long long GetContentLength() const = 0;
  /// The header's value, empty when absent.
  virtual std::string GetHeader(const std::string& name) const = 0;
  /// The request URI as received (path and query).
  virtual std::string GetBasePath() const = 0;
  virtual std::string GetServerHost() const = 0;
};
using IKelvoHostRequestPtr = std::shared_ptr<IKelvoHostRequest>;

/// Offered by requests that can turn a path into an absolute URL.
class IKelvoHostRequestLocation {
 public:
  virtual ~IKelvoHostRequestLocation() = default;
  virtual std::string MakeLocation(const std::string& path) const = 0;
};

class IKelvoHostResponse {
 public:
  virtual ~IKelvoHostResponse() = default;
  /// The body, or null.
  virtual std::istream* GetContentStream() const = 0;
  virtual std::string GetContentType() const = 0;
  virtual int GetStatusCode() const = 0;
  /// "OK" below status 300, else "Error".
  virtual std::string GetReason() const = 0;
  /// Replaces the body.
  virtual void SetContentStream(std::unique_ptr<std::istream> stream) = 0;
  virtual void SetStatusCode(int code) = 0;
  virtual IKelvoHostRequestPtr GetRequest() = 0;
  virtual void SetContentType(const std::string& content_type) = 0;
};
using IKelvoHostResponsePtr = std::shared_ptr<IKelvoHostResponse>;

class IKelvoHostResponseHeaders {
 public:
  virtual ~IKelvoHostResponseHeaders() = default;
  virtual std::string GetHeader(const std::string& name) const = 0;
  virtual void SetHeader(const std::string& name, const std::string& value) = 0;
};

class IKelvoHostResponseLocation {
 public:
  virtual ~IKelvoHostResponseLocation() = default;
  virtual void SetLocation(const std::string& url) = 0;
};

/// Opaque context a host passes to the request handler; web requests pass none.
class IKelvoHostContext {
 public:
  virtual ~IKelvoHostContext() = default;
};

/// Supplied only by an edge-module host.
class IKelvoEdgeHostContext : public IKelvoHostContext {
 public:
  virtual std::string GetModuleName() const = 0;
  virtual std::string GetModuleVersion() const = 0;
};

/// Base of host requests: derives the method text from the method type.
class TKelvoHostRequest : public IKelvoHostRequest {
 public:
  std::string GetMethod() const override;
};

/// Base of host responses: derives the reason from the status code.
class TKelvoHostResponse : public IKelvoHostResponse {
 public:
  std::string GetReason() const override;
};

std::string MethodTypeToString(TKelvoHostMethodType type);
