#include "KelvoHosting.RequestTypes.h"

std::string MethodTypeToString(TKelvoHostMethodType type) {
  switch (type) {
    case TKelvoHostMethodType::Put: return "PUT";
    case TKelvoHostMethodType::Get: return "GET";
    case TKelvoHostMethodType::Post: return "POST";
    case TKelvoHostMethodType::Head: return "HEAD";
    case TKelvoHostMethodType::Delete: return "DELETE";
    case TKelvoHostMethodType::Patch: return "PATCH";
  }
  return {};
}

std::string TKelvoHostRequest::GetMethod() const { return MethodTypeToString(GetMethodType()); }

std::string TKelvoHostResponse::GetReason() const { return GetStatusCode() < 300 ? "OK" : "Error"; }
