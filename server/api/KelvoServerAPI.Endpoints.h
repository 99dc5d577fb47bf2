// The endpoint model that resources see: context, request, response and their parts.
//
// The server implements these abstract classes over its host request and response; an endpoint
// reads the request and writes the response only through them. Every object belongs to one
// request and is used on that request's thread only.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "KelvoServerAPI.JSON.h"

/// Bytes of a body (any content, not only text).
using TBytes = std::string;

/// Query and path parameters of a request, in order.
class TEndpointParams {
 public:
  virtual ~TEndpointParams() = default;
  virtual int GetCount() const = 0;
  /// The pair at `index`; raises EArgumentOutOfRangeException beyond the end.
  virtual std::pair<std::string, std::string> GetPair(int index) const = 0;
  virtual void Add(const std::string& name, const std::string& value) = 0;
  /// Inserts a pair before the one at `index` (at the end when `index` is the count).
  virtual void Insert(int index, const std::string& name, const std::string& value) = 0;
  /// The value of the first pair whose name equals `name` ignoring case.
  virtual bool TryGetValue(const std::string& name, std::string& value) const = 0;
  /// True when a pair's name equals `name` exactly (case included).
  virtual bool Contains(const std::string& name) const = 0;

  /// The value found by TryGetValue, or empty text.
  std::string GetValue(const std::string& name) const;
  std::vector<std::pair<std::string, std::string>> ToPairs() const;
};

/// The segments of the request path below the server root ("users/", "123").
class TEndpointSegments {
 public:
  virtual ~TEndpointSegments() = default;
  virtual int GetCount() const = 0;
  /// Raises EArgumentOutOfRangeException beyond the end.
  virtual std::string GetItem(int index) const = 0;
  std::vector<std::string> ToArray() const;
};

class TEndpointHeaders {
 public:
  virtual ~TEndpointHeaders() = default;
  /// True when the header is present with a non-empty value.
  virtual bool TryGetValue(const std::string& name, std::string& value) const = 0;
  std::string GetValue(const std::string& name) const;
  void SetValue(const std::string& name, const std::string& value) { DoSetValue(name, value); }

 protected:
  /// Request headers cannot be set: raises ENotSupportedException unless a subclass allows it.
  virtual void DoSetValue(const std::string& name, const std::string& value);
};

/// Reads a body as JSON text on demand (for endpoints that stream through large bodies).
class TJSONReader {
 public:
  explicit TJSONReader(std::string text) : FText(std::move(text)) {}
  const std::string& Text() const { return FText; }
  bool Parse(rapidjson::Document& document) const { return ParseJSON(FText, document); }

 private:
  std::string FText;
};

class TEndpointRequestBody {
 public:
  virtual ~TEndpointRequestBody() = default;
  virtual std::string GetContentType() const = 0;
  virtual TJSONReader& GetJSONReader() = 0;
  /// A stream over the body (owned by the body object); false when the body is empty.
  virtual bool TryGetStream(std::istream*& stream) = 0;
  virtual bool TryGetStream(std::istream*& stream, std::string& content_type) = 0;
  /// The body parsed as JSON (once; owned by the body object); false when it is not a JSON
  /// object / array / valid JSON, or empty.
  virtual bool TryGetObject(const rapidjson::Value*& object) = 0;
  virtual bool TryGetArray(const rapidjson::Value*& array) = 0;
  virtual bool TryGetValue(const rapidjson::Value*& value) = 0;
  virtual bool TryGetBytes(TBytes& bytes) = 0;

  /// The body as a JSON object; raises a 400 error when it is not one.
  const rapidjson::Value& GetObject();
  /// The body as a JSON array; raises a 400 error when it is not one.
  const rapidjson::Value& GetArray();
};

class TEndpointResponseBody {
 public:
  virtual ~TEndpointResponseBody() = default;
  /// A writer whose text becomes the body when the endpoint has run (replacing any other body).
  virtual TJSONWriter& GetJSONWriter() = 0;
  /// Writes `value` as the body, content type "application/json".
  virtual void SetValue(const rapidjson::Value& value) = 0;
  virtual void SetBytes(const TBytes& bytes, const std::string& content_type) = 0;
  /// Hands `stream` over as the body.
  virtual void SetStream(std::unique_ptr<std::istream> stream, const std::string& content_type) = 0;
  /// Copies the whole of `stream` as the body; the caller keeps its stream.
  virtual void SetStream(std::istream& stream, const std::string& content_type) = 0;
};

/// One media type of an Accept or Content-Type header.
struct TAcceptItem {
  std::string FMediaType;  // "application/json", lower case
  std::vector<std::pair<std::string, std::string>> FParams;  // except "q"
  double FQuality = 1.0;
};
using TAcceptList = std::vector<TAcceptItem>;

class TEndpointNegotiation {
 public:
  virtual ~TEndpointNegotiation() = default;
  /// The request's Content-Type, parsed.
  virtual const TAcceptList& ConsumeList() const = 0;
  /// The request's Accept header, parsed, in header order.
  virtual const TAcceptList& ProduceList() const = 0;
};

class TEndpointRequest {
 public:
  enum class TMethod { Get, Put, Post, Delete, Patch };
  virtual ~TEndpointRequest() = default;
  virtual TEndpointHeaders& Headers() = 0;
  virtual TEndpointParams& Params() = 0;
  virtual TEndpointSegments& Segments() = 0;
  virtual TEndpointRequestBody& Body() = 0;
  virtual TMethod MethodType() const = 0;
  virtual std::string MethodString() const = 0;
  /// The first path segment without its "/" ("users" for /users/123).
  virtual std::string Resource() = 0;
  virtual std::string BasePath() const = 0;
  virtual std::string ServerHost() const = 0;
};

class TEndpointResponse {
 public:
  virtual ~TEndpointResponse() = default;
  virtual TEndpointHeaders& Headers() = 0;
  virtual TEndpointResponseBody& Body() = 0;
  virtual void SetStatusCode(int code) = 0;
  /// Sets the status and, when the host can make one, the absolute Location of `location`.
  virtual void SetCreated(const std::string& location, int status_code = 201) = 0;

  [[noreturn]] void RaiseBadRequest(const std::string& error = {}, const std::string& description = {});
  [[noreturn]] void RaiseNotFound(const std::string& error = {}, const std::string& description = {});
  [[noreturn]] void RaiseUnauthorized(const std::string& error = {}, const std::string& description = {});
};

class TEndpointContext {
 public:
  enum class TAuthenticatedFlag { MasterSecret = 0, AppSecret = 1, User = 2, Tenant = 3 };

  /// The authentication flags of a request.
  class TAuthenticated {
   public:
    TAuthenticated() = default;
    TAuthenticated(std::initializer_list<TAuthenticatedFlag> flags) {
      for (auto f : flags) Include(f);
    }
    bool Contains(TAuthenticatedFlag flag) const { return (FBits & Bit(flag)) != 0; }
    void Include(TAuthenticatedFlag flag) { FBits |= Bit(flag); }
    void Exclude(TAuthenticatedFlag flag) { FBits &= ~Bit(flag); }
    bool Empty() const { return FBits == 0; }
    uint32_t Bits() const { return FBits; }
    friend bool operator==(const TAuthenticated&, const TAuthenticated&) = default;

   private:
    static uint32_t Bit(TAuthenticatedFlag f) { return 1u << static_cast<unsigned>(f); }
    uint32_t FBits = 0;
  };

  class TGroups {
   public:
    virtual ~TGroups() = default;
    /// Exact, case-sensitive comparison.
    virtual bool Contains(const std::string& name) = 0;
    virtual int GetCount() = 0;
    virtual std::vector<std::string> ToArray() = 0;
  };

  class TUser {
   public:
    virtual ~TUser() = default;
    virtual std::string UserID() const = 0;
    /// Loaded on first use; raises 404 when the id has no user.
    virtual std::string UserName() = 0;
    virtual std::string SessionToken() const = 0;
    virtual TGroups& Groups() = 0;
  };

  class TTenant {
   public:
    virtual ~TTenant() = default;
    virtual std::string Id() const = 0;
    virtual std::string Name() = 0;
  };

  class TEdgemodule {
   public:
    virtual ~TEdgemodule() = default;
    virtual std::string ModuleName() = 0;
    virtual std::string ModuleVersion() = 0;
  };

  virtual ~TEndpointContext() = default;
  /// The signed-in user, or null.
  virtual TUser* User() = 0;
  virtual TEdgemodule* Edgemodule() = 0;
  virtual TAuthenticated Authenticated() = 0;
  virtual TEndpointRequest* Request() = 0;
  virtual TEndpointResponse* Response() = 0;
  virtual std::string EndpointName() = 0;
  /// The request's tenant, or null.
  virtual TTenant* Tenant() = 0;
  virtual TEndpointNegotiation* Negotiation() = 0;
};
