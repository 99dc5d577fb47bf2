// Format-style message formatting for the server's fixed message texts.
//
// Supports the placeholders the messages use: "%s", "%d", indexed "%0:s", precision "%.2d"
// (zero-padded to that many digits) and "%%". Arguments are given as text; "%d" with a text that
// is not a number writes the text unchanged. A placeholder without an argument writes nothing.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

class TFormatArg {
 public:
  TFormatArg(std::string_view text) : FText(text) {}
  TFormatArg(const std::string& text) : FText(text) {}
  TFormatArg(const char* text) : FText(text ? text : "") {}
  TFormatArg(int value) : FText(std::to_string(value)) {}
  TFormatArg(long value) : FText(std::to_string(value)) {}
  TFormatArg(long long value) : FText(std::to_string(value)) {}
  TFormatArg(unsigned value) : FText(std::to_string(value)) {}
  TFormatArg(unsigned long value) : FText(std::to_string(value)) {}
  TFormatArg(unsigned long long value) : FText(std::to_string(value)) {}
  const std::string& Text() const { return FText; }

 private:
  std::string FText;
};

std::string Format(std::string_view pattern, std::initializer_list<TFormatArg> args);
std::string Format(std::string_view pattern, const std::vector<std::string>& args);
