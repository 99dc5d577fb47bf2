// Access-control lists from the server's configuration.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "KelvoServerAPI.Resources.h"

class TACLImpl : public TACL {
 public:
  TACLImpl(bool is_public, std::vector<std::string> groups, std::vector<std::string> users, bool allow_creator = false)
      : FPublic(is_public), FGroups(std::move(groups)), FUsers(std::move(users)), FAllowCreator(allow_creator) {}
  bool IsPublic() const override { return FPublic; }
  const std::vector<std::string>& Groups() const override { return FGroups; }
  const std::vector<std::string>& Users() const override { return FUsers; }
  bool AllowCreator() const override { return FAllowCreator; }
  void SetAllowCreator(bool value) { FAllowCreator = value; }

 private:
  bool FPublic;
  std::vector<std::string> FGroups;
  std::vector<std::string> FUsers;
  bool FAllowCreator;
};

/// Reads one ACL value ({"public": .., "users": [..], "groups": [..]}); raises
/// EKelvoConfigurationError with the reason.
std::unique_ptr<TACLImpl> ReadACL(const std::string& value);

/// Registers every entry of the authorization section, in file order; a bad entry raises and
/// leaves the entries after it unregistered.
void RegisterACLs();
