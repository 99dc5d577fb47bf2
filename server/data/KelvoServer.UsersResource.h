// The built-in resource "Users": lists, reads, adds, changes and deletes users, and signs them
// up, in and out.
#pragma once

#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "KelvoServer.UserAPI.h"

class TUsersResource {
 public:
  /// Adds the documentation texts and registers the resource (start-up notification).
  static void Register();
  /// Marks GetUser, DeleteUser and UpdateUser as endpoints a user's creator (the user himself)
  /// may call; must run before the access-control lists are read.
  static void RegisterAllowCreator();

  /// The user JSON object: "username", "_id", "_meta", then the custom fields.
  static rapidjson::Value UserToJSON(const TUserInfo& AUser, rapidjson::Document::AllocatorType& AAllocator);
  /// The text of a body member's value: a string's text, a number as sent, "true", "false",
  /// "null", and empty for objects and arrays.
  static std::string ValueText(const rapidjson::Value& AValue);
};
