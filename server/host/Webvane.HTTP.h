// The web layer between Apache and the server: a request read from Apache, a response that the
// server fills and Apache sends, and the application that limits concurrent requests.
//
// Nothing here includes Apache headers, so the whole pipeline runs in-process in tests; the
// Apache binding fills a TWebvaneRequest and sends a TWebvaneResponse.
#pragma once

#include <atomic>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KelvoServerAPI.Exceptions.h"

using THeaderList = std::vector<std::pair<std::string, std::string>>;

/// Raised by the web layer itself (too many concurrent requests).
class EWebvaneException : public EKelvoException {
 public:
  using EKelvoException::EKelvoException;
};

class TWebvaneRequest {
 public:
  std::string FMethod;        // as received ("GET", "OPTIONS", ...)
  std::string FScheme = "http";
  std::string FPathInfo;      // below the module's location
  std::string FQueryString;   // without "?"
  std::string FUnparsedURI;   // as received
  std::string FHost;          // host name the request was made for
  int FServerPort = 80;
  std::string FContentType;
  long long FContentLength = 0;  // bytes of FContent (the body was read completely)
  std::string FContent;
  bool FContentTooLarge = false;  // the body exceeded the limit and was not read
  THeaderList FHeaders;

  /// The header's value (name ignoring case), empty when absent.
  std::string GetHeader(const std::string& name) const;
  /// Query fields split at "&" and at each field's first "=", URL-decoded, in order.
  std::vector<std::pair<std::string, std::string>> QueryFields() const;
};

class TWebvaneResponse {
 public:
  int FStatusCode = 200;
  std::string FContentType;
  THeaderList FCustomHeaders;
  std::string FLocation;
  std::unique_ptr<std::istream> FContentStream;
  bool FSent = false;

  std::string GetCustomHeader(const std::string& name) const;
  /// Sets (or replaces) one header.
  void SetCustomHeader(const std::string& name, const std::string& value);
  /// Marks the response as complete; nothing else runs for the request.
  void SendResponse() { FSent = true; }
  /// The body as text (reads the stream from the start).
  std::string ContentText() const;
};

/// The application: hands each request to a web module, at most `MaxConnections` at once.
class TWebvaneApplication {
 public:
  using TDispatch = std::function<void(TWebvaneRequest&, TWebvaneResponse&)>;

  explicit TWebvaneApplication(TDispatch dispatch) : FDispatch(std::move(dispatch)) {}
  void SetMaxConnections(int max_connections) { FMaxConnections = max_connections; }
  int GetMaxConnections() const { return FMaxConnections; }
  int ActiveCount() const { return FActive.load(); }

  /// Dispatches the request; raises EWebvaneException when the limit is reached.
  void HandleRequest(TWebvaneRequest& request, TWebvaneResponse& response);

 private:
  TDispatch FDispatch;
  int FMaxConnections = 32;
  std::atomic<int> FActive{0};
};

/// The page for an exception that escapes the web layer (status 500, text/html).
std::string InternalServerErrorPage(const std::string& class_name, const std::string& message);
