// The built-in resource "Groups": lists, reads, adds, changes and deletes the groups of the
// request's tenant with their custom fields and members.
#pragma once

#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "KelvoServer.UserGroupAPI.h"

class TGroupsResource {
 public:
  /// Adds the documentation texts and registers the resource (start-up notification).
  static void Register();
  /// Marks GetGroup, DeleteGroup and UpdateGroup as endpoints a group's creator may call; must
  /// run before the access-control lists are read.
  static void RegisterAllowCreator();

  /// The group JSON object: "groupname", "_meta", the custom fields, then "users" when the group
  /// has members.
  static rapidjson::Value GroupToJSON(const TGroupInfo& AGroup, const std::vector<std::string>& AUsers,
                                      rapidjson::Document::AllocatorType& AAllocator);
};
