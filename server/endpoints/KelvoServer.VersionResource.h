// "Version": the server's API version and product name.
#pragma once

class TVersionResource {
 public:
  /// Adds the documentation texts and registers the resource.
  static void Register();
};
