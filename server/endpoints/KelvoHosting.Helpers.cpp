#include "KelvoHosting.Helpers.h"

#include "KelvoHosting.Endpoints.h"
#include "KelvoServerAPI.HTTPError.h"

bool TEndpointHelpers::CreatorRequired(TEndpointContext& context) {
  auto* impl = dynamic_cast<TEndpointContextImpl*>(&context);
  return impl && impl->CreatorRequired();
}

void TEndpointHelpers::SetCreatorRequired(TEndpointContext& context) {
  if (auto* impl = dynamic_cast<TEndpointContextImpl*>(&context)) impl->SetCreatorRequired();
}

std::string TEndpointHelpers::IdentityFromContext(TEndpointContext& context) {
  if (auto* user = context.User()) return user->UserID();
  if (context.Authenticated().Contains(TEndpointContext::TAuthenticatedFlag::MasterSecret)) return kMasterSecretCreator;
  return kAnonymousCreator;
}

void TEndpointHelpers::CheckCreator(TEndpointContext& context, const std::string& creator) {
  CheckCreator(context, [&creator] { return creator; });
}

void TEndpointHelpers::CheckCreator(TEndpointContext& context, const std::function<std::string()>& creator) {
  if (!CreatorRequired(context)) return;
  const std::string stored = creator();
  // Objects created anonymously have no creator anyone could prove to be.
  if (stored == kAnonymousCreator) RaiseUnauthorized();
  if (IdentityFromContext(context) != stored) RaiseUnauthorized();
}
