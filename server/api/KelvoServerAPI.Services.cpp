#include "KelvoServerAPI.Services.h"

TKelvoServices& KelvoServices() {
  static TKelvoServices services;
  return services;
}

bool KelvoLoggingEnabled() {
  auto logging = KelvoServices().Get<IKelvoLoggingService>();
  return logging && logging->GetLoggingEnabled();
}

void KelvoLog(const std::string& category, const rapidjson::Value& json) {
  auto logging = KelvoServices().Get<IKelvoLoggingService>();
  if (!logging || !logging->GetLoggingEnabled()) return;
  try {
    logging->Log(category, json);
  } catch (...) {
    // A diagnostic record must never fail the request or start-up that writes it; the log
    // itself is where such a failure would be reported, so there is nowhere left to report it.
  }
}
