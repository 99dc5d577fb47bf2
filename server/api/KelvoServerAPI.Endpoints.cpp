#include "KelvoServerAPI.Endpoints.h"

#include "KelvoServerAPI.Exceptions.h"
#include "KelvoServerAPI.HTTPError.h"

std::string TEndpointParams::GetValue(const std::string& name) const {
  std::string value;
  return TryGetValue(name, value) ? value : std::string();
}

std::vector<std::pair<std::string, std::string>> TEndpointParams::ToPairs() const {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < GetCount(); ++i) pairs.push_back(GetPair(i));
  return pairs;
}

std::vector<std::string> TEndpointSegments::ToArray() const {
  std::vector<std::string> items;
  for (int i = 0; i < GetCount(); ++i) items.push_back(GetItem(i));
  return items;
}

std::string TEndpointHeaders::GetValue(const std::string& name) const {
  std::string value;
  return TryGetValue(name, value) ? value : std::string();
}

void TEndpointHeaders::DoSetValue(const std::string&, const std::string&) {
  throw ENotSupportedException("Headers cannot be set");
}

const rapidjson::Value& TEndpointRequestBody::GetObject() {
  const rapidjson::Value* object = nullptr;
  if (!TryGetObject(object)) RaiseBadRequest("", "JSON object expected");
  return *object;
}

const rapidjson::Value& TEndpointRequestBody::GetArray() {
  const rapidjson::Value* array = nullptr;
  if (!TryGetArray(array)) RaiseBadRequest("", "JSON array expected");
  return *array;
}

void TEndpointResponse::RaiseBadRequest(const std::string& error, const std::string& description) {
  ::RaiseBadRequest(error, description);
}
void TEndpointResponse::RaiseNotFound(const std::string& error, const std::string& description) {
  ::RaiseNotFound(error, description);
}
void TEndpointResponse::RaiseUnauthorized(const std::string& error, const std::string& description) {
  ::RaiseUnauthorized(error, description);
}
