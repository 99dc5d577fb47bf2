// The endpoint model over the host request and response: what an endpoint sees of a request.
//
// Every object here belongs to one request and one thread. Objects created lazily by a getter
// belong to the object whose getter created them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "KelvoHosting.RequestTypes.h"
#include "KelvoServerAPI.Endpoints.h"

class TEndpointContextImpl : public TEndpointContext {
 public:
  enum class TEndpointDataType { None, AddUser, DeletedUser, LoginUser };

  using TCreateUserCallback = std::function<std::unique_ptr<TUser>(TEndpointContextImpl&)>;
  using TCreateEdgemoduleCallback = std::function<std::unique_ptr<TEdgemodule>(TEndpointContextImpl&)>;
  using TGetResponseCallback = std::function<TEndpointResponse*()>;
  using TGetRequestCallback = std::function<TEndpointRequest*()>;
  using TGetAuthenticatedCallback = std::function<TAuthenticated()>;
  using TGetEndpointNameCallback = std::function<std::string()>;
  using TGetTenantCallback = std::function<std::unique_ptr<TTenant>(TEndpointContextImpl&)>;

  TUser* User() override;
  TEdgemodule* Edgemodule() override;
  TAuthenticated Authenticated() override;
  TEndpointRequest* Request() override;
  TEndpointResponse* Response() override;
  std::string EndpointName() override;
  TTenant* Tenant() override;
  TEndpointNegotiation* Negotiation() override;

  /// Data an endpoint attaches for analytics (the new or deleted user id, the signed-in user).
  void SetEndpointData(TEndpointDataType type, const std::string& value) {
    FEndpointDataType = type;
    FEndpontDataValue = value;
  }
  TEndpointDataType EndpointDataType() const { return FEndpointDataType; }
  const std::string& EndpointDataValue() const { return FEndpontDataValue; }
  void SetCreatorRequired() { FCreatorRequired = true; }
  bool CreatorRequired() const { return FCreatorRequired; }
  /// True when the user has been created (without creating it).
  bool UserCreated() const { return FUserCreated; }

  TCreateUserCallback FOnCreateUser;
  TCreateEdgemoduleCallback FOnCreateEdgemodule;
  TGetResponseCallback FOnGetResponse;
  TGetRequestCallback FOnGetRequest;
  TGetAuthenticatedCallback FOnGetAuthenticated;
  TGetEndpointNameCallback FOnGetEndpointName;
  TGetTenantCallback FOnGetTenant;

 private:
  std::string FEndpontDataValue;
  TEndpointDataType FEndpointDataType = TEndpointDataType::None;
  std::unique_ptr<TUser> FUser;
  bool FUserCreated = false;
  std::unique_ptr<TEdgemodule> FEdgemodule;
  bool FEdgemoduleCreated = false;
  std::unique_ptr<TTenant> FTenant;
  bool FTenantCreated = false;
  std::unique_ptr<TEndpointNegotiation> FNegotiation;
  bool FCreatorRequired = false;
};

class TEndpointParamsImpl : public TEndpointParams {
 public:
  int GetCount() const override { return static_cast<int>(FList.size()); }
  std::pair<std::string, std::string> GetPair(int index) const override;
  void Add(const std::string& name, const std::string& value) override { FList.emplace_back(name, value); }
  void Insert(int index, const std::string& name, const std::string& value) override;
  bool TryGetValue(const std::string& name, std::string& value) const override;
  bool Contains(const std::string& name) const override;

 private:
  std::vector<std::pair<std::string, std::string>> FList;
};

class TEndpointSegmentsImpl : public TEndpointSegments {
 public:
  explicit TEndpointSegmentsImpl(std::vector<std::string> list) : FList(std::move(list)) {}
  int GetCount() const override { return static_cast<int>(FList.size()); }
  std::string GetItem(int index) const override;

 private:
  std::vector<std::string> FList;
};

class TEndpointRequestHeadersImpl : public TEndpointHeaders {
 public:
  explicit TEndpointRequestHeadersImpl(IKelvoHostRequest& request) : FRequest(request) {}
  bool TryGetValue(const std::string& name, std::string& value) const override;

 private:
  IKelvoHostRequest& FRequest;
};

class TEndpointResponseHeadersRWImpl : public TEndpointHeaders {
 public:
  explicit TEndpointResponseHeadersRWImpl(IKelvoHostResponse& response) : FResponse(response) {}
  bool TryGetValue(const std::string& name, std::string& value) const override;

 protected:
  void DoSetValue(const std::string& name, const std::string& value) override;

 private:
  IKelvoHostResponse& FResponse;
};

class TEndpointNegotiationImpl : public TEndpointNegotiation {
 public:
  TEndpointNegotiationImpl(const std::string& content_type, const std::string& accept);
  const TAcceptList& ConsumeList() const override { return FConsumeList; }
  const TAcceptList& ProduceList() const override { return FProduceList; }

 private:
  TAcceptList FConsumeList;
  TAcceptList FProduceList;
};

/// Parses an Accept or Content-Type header into media types with parameters and quality, in
/// header order. Parts that cannot be read are skipped.
TAcceptList ParseAcceptList(const std::string& header);

/// Reads a request body once and keeps what it read.
class TBodyReader {
 public:
  TBodyReader(std::string content_type, const TBytes& raw_content, long long content_length);
  const std::string& GetContentType() const { return FContentType; }
  bool TryGetBytes(TBytes& bytes) const;
  bool TryGetStream(std::istream*& stream);
  bool TryGetStream(std::istream*& stream, std::string& content_type);
  bool TryGetValue(const rapidjson::Value*& value);
  bool TryGetObject(const rapidjson::Value*& object);
  bool TryGetArray(const rapidjson::Value*& array);
  TJSONReader& GetJSONReader();

 private:
  std::string FContentType;
  const TBytes& FRawContent;
  long long FContentLength;
  std::unique_ptr<std::istringstream> FStream;
  std::unique_ptr<rapidjson::Document> FValue;
  bool FValueParsed = false;
  std::unique_ptr<TJSONReader> FJSONReader;
};

class TEndpointRequestBodyImpl : public TEndpointRequestBody {
 public:
  explicit TEndpointRequestBodyImpl(const IKelvoHostRequest& request)
      : FBodyReader(request.GetContentType(), request.GetRawContent(), request.GetContentLength()) {}
  std::string GetContentType() const override { return FBodyReader.GetContentType(); }
  TJSONReader& GetJSONReader() override { return FBodyReader.GetJSONReader(); }
  bool TryGetStream(std::istream*& stream) override { return FBodyReader.TryGetStream(stream); }
  bool TryGetStream(std::istream*& stream, std::string& content_type) override {
    return FBodyReader.TryGetStream(stream, content_type);
  }
  bool TryGetObject(const rapidjson::Value*& object) override { return FBodyReader.TryGetObject(object); }
  bool TryGetArray(const rapidjson::Value*& array) override { return FBodyReader.TryGetArray(array); }
  bool TryGetValue(const rapidjson::Value*& value) override { return FBodyReader.TryGetValue(value); }
  bool TryGetBytes(TBytes& bytes) override { return FBodyReader.TryGetBytes(bytes); }

 private:
  TBodyReader FBodyReader;
};

class TEndpointRequestImpl : public TEndpointRequest {
 public:
  explicit TEndpointRequestImpl(IKelvoHostRequestPtr host_request) : FHostRequest(std::move(host_request)) {}
  TEndpointHeaders& Headers() override;
  TEndpointParams& Params() override;
  TEndpointSegments& Segments() override;
  TEndpointRequestBody& Body() override;
  TMethod MethodType() const override;
  std::string MethodString() const override { return FHostRequest->GetMethod(); }
  std::string Resource() override;
  std::string BasePath() const override { return FHostRequest->GetBasePath(); }
  std::string ServerHost() const override { return FHostRequest->GetServerHost(); }
  IKelvoHostRequest& HostRequest() { return *FHostRequest; }

 private:
  IKelvoHostRequestPtr FHostRequest;
  std::unique_ptr<TEndpointParamsImpl> FParams;
  std::unique_ptr<TEndpointRequestHeadersImpl> FHeaders;
  std::unique_ptr<TEndpointRequestBodyImpl> FBody;
  std::unique_ptr<TEndpointSegmentsImpl> FSegments;
};

class TEndpointResponseBodyImpl : public TEndpointResponseBody {
 public:
  explicit TEndpointResponseBodyImpl(IKelvoHostResponse& host_response) : FHostResponse(host_response) {}
  TJSONWriter& GetJSONWriter() override;
  void SetValue(const rapidjson::Value& value) override;
  void SetBytes(const TBytes& bytes, const std::string& content_type) override;
  void SetStream(std::unique_ptr<std::istream> stream, const std::string& content_type) override;
  void SetStream(std::istream& stream, const std::string& content_type) override;
  /// Hands the JSON writer's text to the host response, when the writer was used.
  void Write();

 private:
  IKelvoHostResponse& FHostResponse;
  std::unique_ptr<rapidjson::StringBuffer> FWriterStream;
  std::unique_ptr<TJSONWriter> FJSONWriter;
};

class TEndpointResponseImpl : public TEndpointResponse {
 public:
  explicit TEndpointResponseImpl(IKelvoHostResponsePtr host_response) : FHostResponse(std::move(host_response)) {}
  TEndpointHeaders& Headers() override;
  TEndpointResponseBody& Body() override;
  void SetStatusCode(int code) override { FHostResponse->SetStatusCode(code); }
  void SetCreated(const std::string& location, int status_code = 201) override;
  /// Flushes the body (called once, after the endpoint has run).
  void Write();

 private:
  IKelvoHostResponsePtr FHostResponse;
  std::unique_ptr<TEndpointResponseHeadersRWImpl> FHeaders;
  std::unique_ptr<TEndpointResponseBodyImpl> FBody;
};

/// Splits a path into segments, each running up to and including the next "/".
std::vector<std::string> SplitPathSegments(const std::string& path);
/// The segments of a request path: one leading "/" removed, then split.
std::vector<std::string> RequestSegments(const std::string& path_info);
