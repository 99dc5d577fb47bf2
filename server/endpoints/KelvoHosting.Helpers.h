// Helpers for resources: the identity that creates objects, and the creator check.
#pragma once

#include <functional>
#include <string>

#include "KelvoServerAPI.Endpoints.h"

class TEndpointHelpers {
 public:
  static constexpr const char* kAnonymousCreator = "00000000-0000-0000-0000-000000000000";
  static constexpr const char* kMasterSecretCreator = "00000000-0000-0000-0000-000000000001";

  /// True when the request may touch only objects its caller created.
  static bool CreatorRequired(TEndpointContext& context);
  static void SetCreatorRequired(TEndpointContext& context);
  /// The creator to store for objects this request creates: the user's id, or the fixed ids of
  /// master-secret and anonymous callers.
  static std::string IdentityFromContext(TEndpointContext& context);
  /// When the creator is required: raises 401 unless `creator` is the caller's identity.
  static void CheckCreator(TEndpointContext& context, const std::string& creator);
  /// As above; `creator` is only called when the creator is required.
  static void CheckCreator(TEndpointContext& context, const std::function<std::string()>& creator);
};
