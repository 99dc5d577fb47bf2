// The Apache 2.4 binding: the module record, its directive, and the two hooks. Everything
// behind it works on the web layer's request and response and never sees request_rec.
#include <dlfcn.h>

#include <memory>
#include <sstream>
#include <string>

#include "httpd.h"
#include "http_config.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "apr_strings.h"

#include "KelvoServer.Config.h"
#include "KelvoServer.IniFile.h"
#include "KelvoServer.Module.h"
#include "KelvoServer.WebvaneModule.h"

extern "C" module AP_MODULE_DECLARE_DATA kelvoserver_module;
// What APLOG_USE_MODULE declares, written out: its own declaration lacks C linkage.
static int* const aplog_module_index = &(kelvoserver_module.module_index);

namespace {

struct TServerConfig {
  const char* FConfigFile = nullptr;  // KelvoServerConfig
};

struct TDirConfig {
  const char* FLocation = nullptr;  // the <Location> the handler was set in
};

void* CreateServerConfig(apr_pool_t* pool, server_rec*) {
  auto* config = static_cast<TServerConfig*>(apr_pcalloc(pool, sizeof(TServerConfig)));
  return config;
}

void* MergeServerConfig(apr_pool_t* pool, void* base_conf, void* add_conf) {
  auto* merged = static_cast<TServerConfig*>(apr_pcalloc(pool, sizeof(TServerConfig)));
  auto* base = static_cast<TServerConfig*>(base_conf);
  auto* add = static_cast<TServerConfig*>(add_conf);
  merged->FConfigFile = add->FConfigFile ? add->FConfigFile : base->FConfigFile;
  return merged;
}

void* CreateDirConfig(apr_pool_t* pool, char* dir) {
  auto* config = static_cast<TDirConfig*>(apr_pcalloc(pool, sizeof(TDirConfig)));
  config->FLocation = dir ? apr_pstrdup(pool, dir) : nullptr;
  return config;
}

const char* SetConfigFile(cmd_parms* cmd, void*, const char* file) {
  auto* config = static_cast<TServerConfig*>(ap_get_module_config(cmd->server->module_config, &kelvoserver_module));
  config->FConfigFile = ap_server_root_relative(cmd->pool, file);
  return config->FConfigFile ? nullptr : "Invalid KelvoServerConfig path";
}

const command_rec KelvoCommands[] = {
    AP_INIT_TAKE1("KelvoServerConfig", reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(SetConfigFile)), nullptr, RSRC_CONF,
                  "Path of kelvoserver.ini (default: beside the module, then /etc/kelvoserver/kelvoserver.ini)"),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr}};

const std::string& HandlerName() {
  static const std::string name = HandlerNameOfModuleFile(TKelvoConfiguration::ModuleFileName());
  return name;
}

apr_status_t ShutdownCleanup(void*) {
  KelvoServerShutdown();
  return APR_SUCCESS;
}

void ChildInit(apr_pool_t* pool, server_rec* server) {
  auto* config = static_cast<TServerConfig*>(ap_get_module_config(server->module_config, &kelvoserver_module));
  KelvoServerStartup(config && config->FConfigFile ? config->FConfigFile : "");
  apr_pool_cleanup_register(pool, nullptr, ShutdownCleanup, apr_pool_cleanup_null);
}

int CollectHeader(void* target, const char* name, const char* value) {
  static_cast<THeaderList*>(target)->emplace_back(name ? name : "", value ? value : "");
  return 1;
}

std::string PathBelowLocation(request_rec* r) {
  std::string uri = r->uri ? r->uri : "";
  auto* dir = static_cast<TDirConfig*>(ap_get_module_config(r->per_dir_config, &kelvoserver_module));
  std::string location = dir && dir->FLocation ? dir->FLocation : "";
  while (!location.empty() && location.back() == '/') location.pop_back();
  if (!location.empty() && uri.compare(0, location.size(), location) == 0) uri.erase(0, location.size());
  return uri;
}

// Reads the whole body, dechunked, up to `limit` bytes. A declared length over the limit is
// refused without reading; so is a chunked body as soon as it passes the limit.
// Returns false when the client's body could not be read (broken chunking, lost connection).
bool ReadBody(request_rec* r, long long limit, TWebvaneRequest& request) {
  if (ap_setup_client_block(r, REQUEST_CHUNKED_DECHUNK) != OK) return false;
  if (!ap_should_client_block(r)) return true;
  if (r->remaining > limit) {
    request.FContentTooLarge = true;
    r->connection->keepalive = AP_CONN_CLOSE;  // do not read the rest just to discard it
    return true;
  }
  char buffer[16384];
  while (true) {
    const long n = ap_get_client_block(r, buffer, sizeof(buffer));
    if (n < 0) return false;
    if (n == 0) break;
    if (static_cast<long long>(request.FContent.size()) + n > limit) {
      request.FContent.clear();
      request.FContent.shrink_to_fit();
      request.FContentTooLarge = true;
      r->connection->keepalive = AP_CONN_CLOSE;
      return true;
    }
    request.FContent.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void FillRequest(request_rec* r, TWebvaneRequest& request) {
  request.FMethod = r->method ? r->method : "";
  const char* scheme = ap_run_http_scheme(r);
  request.FScheme = scheme ? scheme : "http";
  request.FPathInfo = PathBelowLocation(r);
  request.FQueryString = r->args ? r->args : "";
  request.FUnparsedURI = r->unparsed_uri ? r->unparsed_uri : "";
  request.FHost = r->hostname ? r->hostname : "";
  request.FServerPort = static_cast<int>(ap_get_server_port(r));
  apr_table_do(CollectHeader, &request.FHeaders, r->headers_in, nullptr);
  request.FContentType = request.GetHeader("Content-Type");
}

void SendResponse(request_rec* r, const TWebvaneResponse& response) {
  r->status = response.FStatusCode;
  if (!response.FContentType.empty()) ap_set_content_type(r, apr_pstrdup(r->pool, response.FContentType.c_str()));
  for (const auto& [name, value] : response.FCustomHeaders)
    apr_table_set(r->headers_out, name.c_str(), value.c_str());
  if (!response.FLocation.empty()) apr_table_set(r->headers_out, "Location", response.FLocation.c_str());
  const std::string body = response.ContentText();
  ap_set_content_length(r, static_cast<apr_off_t>(body.size()));
  if (!body.empty() && !r->header_only) ap_rwrite(body.data(), static_cast<int>(body.size()), r);
}

int Handler(request_rec* r) {
  if (!r->handler || strcasecmp(r->handler, HandlerName().c_str()) != 0) return DECLINED;
  try {
    TWebvaneRequest request;
    FillRequest(r, request);
    if (!ReadBody(r, KelvoConfig().FServerLimits.FMaxContentLength, request)) return HTTP_BAD_REQUEST;
    request.FContentLength = static_cast<long long>(request.FContent.size());
    TWebvaneResponse response;
    KelvoHandleWebRequest(request, response);
    SendResponse(r, response);
    return OK;
  } catch (const std::exception& e) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "kelvoserver: %s", e.what());
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "kelvoserver: unknown exception");
  }
  return HTTP_INTERNAL_SERVER_ERROR;
}

void RegisterHooks(apr_pool_t*) {
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
}

}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA kelvoserver_module = {
    STANDARD20_MODULE_STUFF,
    CreateDirConfig,
    nullptr,
    CreateServerConfig,
    MergeServerConfig,
    KelvoCommands,
    RegisterHooks,
    AP_MODULE_FLAG_NONE,
};
}
