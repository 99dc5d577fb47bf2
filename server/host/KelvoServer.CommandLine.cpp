#include "KelvoServer.CommandLine.h"

#include <fstream>
#include <functional>
#include <iterator>

#include "KelvoServer.IniFile.h"

namespace {

enum class TOption { Setup, Upgrade, Silent, Load, Ini, Start, Port, Log, Help };

// An option written as "-l[load]<package>": the long form keeps the bracketed letters
// ("-lload"), the short form drops them ("-l"); "<...>" marks a value.
struct TPattern {
  TOption FOption;
  const char* FLong;
  const char* FShort;
  bool FTakesValue;
  const char* FHelp;
};

// Tried in this order; the first that matches applies.
const TPattern kPatterns[] = {
    {TOption::Setup, "-setup", "-s", false, "   -s[etup] - runs initial setup mode"},
    {TOption::Upgrade, "-upgrade", "-u", false, "   -u[pgrade] - runs version upgrade mode"},
    {TOption::Silent, "-silent", "-t", false, "   -[silen]t - runs with minimal questions and outputs"},
    {TOption::Load, "-lload", "-l", true, "   -l[load]<package> - loads specified resource package"},
    {TOption::Ini, "-ini", "-i", true, "   -i[ni]<ini file name> - loads specified INI file"},
    {TOption::Start, "-start", "-r", false, "   -[sta]r[t] - starts server"},
    {TOption::Port, "-port", "-p", true, "   -p[ort]<port> - specifies TCP/IP port to use"},
    {TOption::Log, "-log", "-g", true, "   -[lo]g<1|0> - enables / disables log output"},
    {TOption::Help, "-help", "-h", false, "   -h[elp] - outputs this help"},
};

bool StartsWithText(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string StripQuotes(std::string value) {
  while (!value.empty() && value.front() == '"') value.erase(0, 1);
  while (!value.empty() && value.back() == '"') value.pop_back();
  return value;
}

// The value a pattern takes from `parameter`, or false when it does not match.
bool Match(const TPattern& pattern, const std::string& parameter, std::string& value) {
  std::string form;
  if (StartsWithText(parameter, pattern.FLong))
    form = pattern.FLong;
  else if (StartsWithText(parameter, pattern.FShort))
    form = pattern.FShort;
  else
    return false;
  if (!pattern.FTakesValue) return parameter.size() == form.size();
  value = StripQuotes(parameter.substr(form.size()));
  return !value.empty();
}

int IntegerOrZero(const std::string& text) {
  try {
    size_t used = 0;
    const int value = std::stoi(text, &used);
    return used == text.size() ? value : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

TServerCommandLine::TServerCommandLine(const std::vector<std::string>& parameters) {
  for (const auto& parameter : parameters) Parse(parameter);
}

void TServerCommandLine::Parse(const std::string& parameter) {
  if (parameter.empty() || parameter[0] != '-') {
    FHelp = true;
    return;
  }
  for (const auto& pattern : kPatterns) {
    std::string value;
    if (!Match(pattern, parameter, value)) continue;
    switch (pattern.FOption) {
      case TOption::Setup: FSetup = true; break;
      case TOption::Upgrade: FUpgrade = true; break;
      case TOption::Silent: FSilent = true; break;
      case TOption::Load: FPackages.push_back(value); break;
      case TOption::Ini: FIniFile = value; break;
      case TOption::Start: FAutoStart = true; break;
      case TOption::Port: FPort = value; break;
      case TOption::Log: FLogging = IntegerOrZero(value) != 0; break;
      case TOption::Help: FHelp = true; break;
    }
    return;
  }
  FHelp = true;
}

std::vector<std::string> TServerCommandLine::GetHelp() {
  // Listed in the order people read them, not the order they are matched in.
  static const TOption kHelpOrder[] = {TOption::Load,  TOption::Ini,   TOption::Port,
                                       TOption::Log,   TOption::Setup, TOption::Upgrade,
                                       TOption::Start, TOption::Silent, TOption::Help};
  std::vector<std::string> lines;
  for (const auto option : kHelpOrder)
    for (const auto& pattern : kPatterns)
      if (pattern.FOption == option) lines.emplace_back(pattern.FHelp);
  return lines;
}

std::vector<std::string> ProcessParameters() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> parameters;
  size_t start = 0;
  while (start < all.size()) {
    auto end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    parameters.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  if (!parameters.empty()) parameters.erase(parameters.begin());
  return parameters;
}

TServerCommandLine& TServerCommandLine::Instance() {
  static TServerCommandLine instance(ProcessParameters());
  return instance;
}
