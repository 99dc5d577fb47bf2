#include "KelvoServer.VersionResource.h"

#include "KelvoServerAPI.Format.h"
#include "KelvoServerAPI.JSON.h"
#include "KelvoServerAPI.Resource.h"

namespace {

void Get(TEndpointContext&, TEndpointRequest&, TEndpointResponse& response) {
  rapidjson::Document body;
  body.SetObject();
  AddMember(body, "version", "4.1", body.GetAllocator());
  AddMember(body, "server", Format("Brill %sServer", {""}), body.GetAllocator());
  response.Body().SetValue(body);
}

const char* const kYAMLDefinitions =
    "VersionObject:\n"
    "  type: object\n"
    "  properties:\n"
    "    version:\n"
    "      type: string\n"
    "    server:\n"
    "      type: string\n";

const char* const kJSONDefinitions =
    "{\"VersionObject\":{\"type\":\"object\",\"properties\":{\"version\":{\"type\":\"string\"},"
    "\"server\":{\"type\":\"string\"}}}}";

}  // namespace

void TVersionResource::Register() {
  TResourceStringsTable::Add("sGetVersion200Response", "Ok. Provides the current version of the Brill Server");
  TResourceStringsTable::Add("sGetVersionSummaryTitle", "Get version");
  TResourceStringsTable::Add("sGetVersionSummaryDesc",
                             " |\r\n    Used to retrieve the `Version` of the Brill Server.");
  TResourceStringsTable::Add("sResponseOK", "OK");

  TResourceDefinition version("Version");
  version.Get("Get", "", Get)
      .Summary("sGetVersionSummaryTitle")
      .Description("sGetVersionSummaryDesc")
      .Tags({"Version"})
      .Produces({"application/json"})
      .Response(200, "sGetVersion200Response", "#/definitions/VersionObject");
  version.YAMLDefinitions(kYAMLDefinitions).JSONDefinitions(kJSONDefinitions);
  RegisterResource(version);
}
