#include "KelvoServerAPI.Format.h"

#include <cctype>

namespace {

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  size_t i = (text[0] == '-') ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

std::string ZeroPad(const std::string& number, size_t digits) {
  const bool negative = !number.empty() && number[0] == '-';
  std::string magnitude = negative ? number.substr(1) : number;
  if (magnitude.size() < digits) magnitude.insert(0, digits - magnitude.size(), '0');
  return negative ? "-" + magnitude : magnitude;
}

}  // namespace

std::string Format(std::string_view pattern, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  size_t next_arg = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      continue;
    }
    if (pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // %[index:][.precision]type
    size_t j = i + 1;
    size_t index = next_arg;
    size_t digits_start = j;
    while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) ++j;
    if (j < pattern.size() && pattern[j] == ':' && j > digits_start) {
      index = std::stoul(std::string(pattern.substr(digits_start, j - digits_start)));
      ++j;
    } else {
      j = digits_start;
    }
    size_t precision = 0;
    if (j < pattern.size() && pattern[j] == '.') {
      ++j;
      size_t p_start = j;
      while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) ++j;
      if (j > p_start) precision = std::stoul(std::string(pattern.substr(p_start, j - p_start)));
    }
    if (j >= pattern.size() || (pattern[j] != 's' && pattern[j] != 'd')) {
      out += c;  // not a placeholder we know: keep the text as written
      continue;
    }
    const std::string arg = index < args.size() ? args[index] : std::string();
    if (pattern[j] == 'd' && precision > 0 && IsInteger(arg))
      out += ZeroPad(arg, precision);
    else
      out += arg;
    next_arg = index + 1;
    i = j;
  }
  return out;
}

std::string Format(std::string_view pattern, std::initializer_list<TFormatArg> args) {
  std::vector<std::string> texts;
  texts.reserve(args.size());
  for (const auto& a : args) texts.push_back(a.Text());
  return Format(pattern, texts);
}
