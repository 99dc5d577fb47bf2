// A small INI file reader and writer.
//
// Sections and keys are matched ignoring case; whole sections can be read as name=value lines in
// file order. Lines starting with ";" or "#" are comments. A value runs from the first "=" to the
// end of the line, with surrounding blanks removed; a value wrapped in matching double quotes
// loses them.
#pragma once

#include <string>
#include <utility>
#include <vector>

class TIniFile {
 public:
  TIniFile() = default;
  static TIniFile FromText(const std::string& text);
  /// Reads `file_name`; a missing or unreadable file gives an empty INI.
  static TIniFile FromFile(const std::string& file_name);

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  /// The key's value, or `default_value` when the key is absent.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& default_value) const;
  /// Decimal or hexadecimal ("0x1F", "$1F") integer; anything else gives `default_value`.
  int ReadInteger(const std::string& section, const std::string& key, int default_value) const;
  /// "1", "true", "yes", "on" are true; "0", "false", "no", "off" false (ignoring case);
  /// anything else gives `default_value`.
  bool ReadBool(const std::string& section, const std::string& key, bool default_value) const;
  /// Every non-comment line of the section as (name, value), split at the first "=", in file order.
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(const std::string& section) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  std::string ToText() const;
  /// Writes the INI back to `file_name` (atomically, through a temporary file).
  void SaveToFile(const std::string& file_name) const;

 private:
  struct TLine {
    std::string FKey;    // empty for blank and comment lines
    std::string FValue;
    std::string FRaw;    // the line as read, kept for comments and lines without "="
  };
  struct TSection {
    std::string FName;
    std::vector<TLine> FLines;
  };
  const TSection* FindSection(const std::string& name) const;
  const TLine* FindLine(const std::string& section, const std::string& key) const;

  std::vector<TSection> FSections;  // the first entry holds lines before any section header
};

bool SameText(const std::string& a, const std::string& b);
std::string LowerCase(std::string text);
std::string Trim(const std::string& text);
