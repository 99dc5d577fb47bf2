#include "KelvoServer.IniFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string LowerCase(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

namespace {

bool IsComment(const std::string& trimmed) {
  return trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#';
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

TIniFile TIniFile::FromText(const std::string& text) {
  TIniFile ini;
  ini.FSections.push_back(TSection{});
  std::istringstream in(text);
  std::string raw;
  bool first_line = true;
  while (std::getline(in, raw)) {
    if (first_line && raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
    first_line = false;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string trimmed = Trim(raw);
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      ini.FSections.push_back(TSection{Trim(trimmed.substr(1, trimmed.size() - 2)), {}});
      continue;
    }
    TLine line;
    line.FRaw = raw;
    if (!IsComment(trimmed)) {
      const auto eq = trimmed.find('=');
      if (eq != std::string::npos && eq > 0) {
        line.FKey = Trim(trimmed.substr(0, eq));
        line.FValue = Unquote(Trim(trimmed.substr(eq + 1)));
      }
    }
    ini.FSections.back().FLines.push_back(std::move(line));
  }
  return ini;
}

TIniFile TIniFile::FromFile(const std::string& file_name) {
  std::ifstream in(file_name, std::ios::binary);
  if (!in) return FromText({});
  std::ostringstream text;
  text << in.rdbuf();
  return FromText(text.str());
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& name) const {
  // Skip the unnamed leading section; a file may repeat a section header, the first one wins.
  for (size_t i = 1; i < FSections.size(); ++i)
    if (SameText(FSections[i].FName, name)) return &FSections[i];
  return nullptr;
}

const TIniFile::TLine* TIniFile::FindLine(const std::string& section, const std::string& key) const {
  const TSection* s = FindSection(section);
  if (!s) return nullptr;
  for (const auto& line : s->FLines)
    if (!line.FKey.empty() && SameText(line.FKey, key)) return &line;
  return nullptr;
}

bool TIniFile::SectionExists(const std::string& section) const { return FindSection(section) != nullptr; }

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FindLine(section, key) != nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& default_value) const {
  const TLine* line = FindLine(section, key);
  return line ? line->FValue : default_value;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int default_value) const {
  const TLine* line = FindLine(section, key);
  if (!line || line->FValue.empty()) return default_value;
  std::string text = line->FValue;
  int base = 10;
  if (text[0] == '$') {
    text.erase(0, 1);
    base = 16;
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.erase(0, 2);
    base = 16;
  }
  try {
    size_t used = 0;
    const long long value = std::stoll(text, &used, base);
    if (used != text.size() || value < INT32_MIN || value > INT32_MAX) return default_value;
    return static_cast<int>(value);
  } catch (const std::exception&) {
    return default_value;
  }
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool default_value) const {
  const TLine* line = FindLine(section, key);
  if (!line) return default_value;
  const std::string v = LowerCase(line->FValue);
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  // Any other integer counts as true, as integer-valued Booleans do elsewhere.
  const int number = ReadInteger(section, key, 0);
  if (number != 0) return true;
  return default_value;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSectionValues(const std::string& section) const {
  std::vector<std::pair<std::string, std::string>> pairs;
  const TSection* s = FindSection(section);
  if (!s) return pairs;
  for (const auto& line : s->FLines) {
    const std::string trimmed = Trim(line.FRaw);
    if (IsComment(trimmed)) continue;
    const auto eq = trimmed.find('=');
    if (eq == std::string::npos) {
      pairs.emplace_back(trimmed, std::string());
    } else {
      // Whole-section values keep the value exactly as written (JSON may end in quotes).
      pairs.emplace_back(Trim(trimmed.substr(0, eq)), Trim(trimmed.substr(eq + 1)));
    }
  }
  return pairs;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (FSections.empty()) FSections.push_back(TSection{});
  TSection* target = nullptr;
  for (size_t i = 1; i < FSections.size(); ++i)
    if (SameText(FSections[i].FName, section)) {
      target = &FSections[i];
      break;
    }
  if (!target) {
    FSections.push_back(TSection{section, {}});
    target = &FSections.back();
  }
  for (auto& line : target->FLines)
    if (!line.FKey.empty() && SameText(line.FKey, key)) {
      line.FValue = value;
      line.FRaw = line.FKey + "=" + value;
      return;
    }
  target->FLines.push_back(TLine{key, value, key + "=" + value});
}

std::string TIniFile::ToText() const {
  std::string text;
  for (size_t i = 0; i < FSections.size(); ++i) {
    if (i > 0) text += "[" + FSections[i].FName + "]\n";
    for (const auto& line : FSections[i].FLines) text += line.FRaw + "\n";
  }
  return text;
}

void TIniFile::SaveToFile(const std::string& file_name) const {
  const std::string temp = file_name + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("Cannot write " + temp);
    out << ToText();
    if (!out.flush()) throw std::runtime_error("Cannot write " + temp);
  }
  if (std::rename(temp.c_str(), file_name.c_str()) != 0)
    throw std::runtime_error("Cannot replace " + file_name);
}
