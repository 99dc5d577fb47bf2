// Adapters from the web layer's request and response to the host request and response.
#pragma once

#include "KelvoHosting.RequestTypes.h"
#include "Webvane.HTTP.h"

class TWebvaneServerWebRequest : public TKelvoHostRequest, public IKelvoHostRequestLocation {
 public:
  /// `web_request` is not owned and must outlive the adapter.
  explicit TWebvaneServerWebRequest(TWebvaneRequest& web_request) : FWebRequest(web_request) {}
  std::string GetContentType() const override { return FWebRequest.FContentType; }
  TKelvoHostMethodType GetMethodType() const override;
  std::string GetPathInfo() const override { return FWebRequest.FPathInfo; }
  TQueryFields GetQueryFields() const override { return FWebRequest.QueryFields(); }
  const TBytes& GetRawContent() const override { return FWebRequest.FContent; }
  /// The method text as received (also for methods outside the six known ones).
  std::string GetMethod() const override { return FWebRequest.FMethod; }
  long long GetContentLength() const override { return FWebRequest.FContentLength; }
  std::string GetHeader(const std::string& name) const override { return FWebRequest.GetHeader(name); }
  std::string GetBasePath() const override { return FWebRequest.FUnparsedURI; }
  std::string GetServerHost() const override { return GetHeader("Host"); }
  std::string MakeLocation(const std::string& path) const override;

 private:
  TWebvaneRequest& FWebRequest;
};

class TWebvaneServerWebResponse : public TKelvoHostResponse,
                                  public IKelvoHostResponseHeaders,
                                  public IKelvoHostResponseLocation {
 public:
  /// Neither is owned; both must outlive the adapter.
  TWebvaneServerWebResponse(TWebvaneResponse& response, TWebvaneRequest& request)
      : FResponse(response), FWebRequest(request) {}
  std::istream* GetContentStream() const override { return FResponse.FContentStream.get(); }
  std::string GetContentType() const override { return FResponse.FContentType; }
  int GetStatusCode() const override { return FResponse.FStatusCode; }
  void SetContentStream(std::unique_ptr<std::istream> stream) override;
  void SetStatusCode(int code) override { FResponse.FStatusCode = code; }
  IKelvoHostRequestPtr GetRequest() override;
  void SetContentType(const std::string& content_type) override { FResponse.FContentType = content_type; }
  std::string GetHeader(const std::string& name) const override { return FResponse.GetCustomHeader(name); }
  void SetHeader(const std::string& name, const std::string& value) override {
    FResponse.SetCustomHeader(name, value);
  }
  void SetLocation(const std::string& url) override { FResponse.FLocation = url; }

 private:
  TWebvaneResponse& FResponse;
  TWebvaneRequest& FWebRequest;
  IKelvoHostRequestPtr FRequest;
};
