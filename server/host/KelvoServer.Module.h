// The module's start-up and shut-down, independent of how Apache calls them.
#pragma once

#include <string>

/// Start-up, once per process: configuration (`config_file` overrides the lookup when not
/// empty), log set-up, limits, database, analytics, and the application's start-up
/// notifications, which register the built-in resources. Failures are dropped: the server then
/// answers with what it has registered.
void KelvoServerStartup(const std::string& config_file);

/// Shut-down; safe to call twice (the second call finds everything released).
void KelvoServerShutdown();

/// The Apache handler name of a module file: lower-cased, extension replaced by "-handler"
/// ("mod_kelvoserver.so" -> "mod_kelvoserver-handler").
std::string HandlerNameOfModuleFile(const std::string& file_name);
