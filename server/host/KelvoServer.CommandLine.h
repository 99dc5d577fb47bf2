// Options on the host process's command line. The module uses the package option (-l); the
// others serve the development host and console, which share this reader.
#pragma once

#include <string>
#include <vector>

class TServerCommandLine {
 public:
  /// Parses `parameters` (without the program name), each in order.
  explicit TServerCommandLine(const std::vector<std::string>& parameters);

  /// The instance over this process's own parameters, created on first use.
  static TServerCommandLine& Instance();

  const std::vector<std::string>& GetPackages() const { return FPackages; }
  /// The help text, one line per option.
  static std::vector<std::string> GetHelp();

  std::string FPort;
  std::vector<std::string> FPackages;
  bool FSetup = false;
  bool FUpgrade = false;
  std::string FIniFile;
  bool FAutoStart = false;
  bool FLogging = true;
  bool FSilent = false;
  bool FHelp = false;

 private:
  void Parse(const std::string& parameter);
};

/// This process's parameters, without the program name.
std::vector<std::string> ProcessParameters();
