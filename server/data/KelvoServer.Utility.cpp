#include "KelvoServer.Utility.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <set>

#include "KelvoServerAPI.Format.h"

namespace {

std::string Upper(const std::string& text) {
  std::string out = text;
  for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Hex(const unsigned char* data, size_t count, bool upper) {
  static const char* lower_digits = "0123456789abcdef";
  static const char* upper_digits = "0123456789ABCDEF";
  const char* digits = upper ? upper_digits : lower_digits;
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0F]);
  }
  return out;
}

// First code point of a UTF-8 text (0 when empty; the raw byte when the text is not UTF-8).
char32_t FirstCodePoint(const std::string& s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  auto cont = [&](size_t i) -> char32_t {
    return i < s.size() ? static_cast<char32_t>(static_cast<unsigned char>(s[i]) & 0x3F) : 0;
  };
  if (b0 < 0x80) return b0;
  if ((b0 & 0xE0) == 0xC0) return (static_cast<char32_t>(b0 & 0x1F) << 6) | cont(1);
  if ((b0 & 0xF0) == 0xE0) return (static_cast<char32_t>(b0 & 0x0F) << 12) | (cont(1) << 6) | cont(2);
  if ((b0 & 0xF8) == 0xF0)
    return (static_cast<char32_t>(b0 & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
  return b0;
}

// Number characters (decimal digits, letter numbers, other numbers) of the scripts in common
// use; a full Unicode table is more than a field-name check needs.
bool IsNumberCodePoint(char32_t c) {
  static const std::pair<char32_t, char32_t> kRanges[] = {
      {0x30, 0x39},       {0xB2, 0xB3},       {0xB9, 0xB9},       {0xBC, 0xBE},       {0x660, 0x669},
      {0x6F0, 0x6F9},     {0x7C0, 0x7C9},     {0x966, 0x96F},     {0x9E6, 0x9EF},     {0xA66, 0xA6F},
      {0xAE6, 0xAEF},     {0xB66, 0xB6F},     {0xBE6, 0xBF2},     {0xC66, 0xC6F},     {0xCE6, 0xCEF},
      {0xD66, 0xD78},     {0xE50, 0xE59},     {0xED0, 0xED9},     {0xF20, 0xF33},     {0x1040, 0x1049},
      {0x17E0, 0x17E9},   {0x1810, 0x1819},   {0x2070, 0x2070},   {0x2074, 0x2079},   {0x2080, 0x2089},
      {0x2150, 0x2189},   {0x2460, 0x249B},   {0x24EA, 0x24FF},   {0x2776, 0x2793},   {0x3007, 0x3007},
      {0x3021, 0x3029},   {0x3038, 0x303A},   {0x3192, 0x3195},   {0x3220, 0x3229},   {0x3248, 0x324F},
      {0x3251, 0x325F},   {0x3280, 0x3289},   {0x32B1, 0x32BF},   {0xFF10, 0xFF19},   {0x1D7CE, 0x1D7FF},
  };
  return std::any_of(std::begin(kRanges), std::end(kRanges),
                     [c](const auto& r) { return c >= r.first && c <= r.second; });
}

}  // namespace

TDBConnectionProperties TDBConnectionProperties::FromConfig(const TKelvoConfiguration& config) {
  TDBConnectionProperties p;
  p.FPooled = config.FData.FPooled;
  p.FDatabase = config.FData.FDatabase;
  p.FPooledMax = config.FData.FPooledMax;
  p.FPassword = config.FData.FPassword;
  p.FUserName = config.FData.FUsername;
  p.FSEPassword = config.FData.FSEPassword;
  p.FInstanceName = config.FData.FInstanceName;
  return p;
}

std::string TValidate::KeyCharactersProblem(const std::string& data) {
  // The checks below look at the first character; a name without one is no name at all.
  if (data.empty()) return "Key Name cannot be empty";
  std::string pattern;
  if (IsNumberCodePoint(FirstCodePoint(data))) pattern = "First key character cannot be numeric \"%s\"";
  if (data.find_first_of("!#$%/?") != std::string::npos) pattern = "Invalid character found in Key Name \"%s\"";
  return pattern.empty() ? std::string() : Format(pattern, {data});
}

std::string TValidate::DetailsProblem(const std::vector<std::string>& AStaticList, const TNameValuePairs& ADetails) {
  std::set<std::string> conflicts;
  for (const auto& [name, value] : ADetails) {
    if (std::find(AStaticList.begin(), AStaticList.end(), Upper(name)) != AStaticList.end()) conflicts.insert(name);
    std::string problem = KeyCharactersProblem(name);
    if (!problem.empty()) return problem;
  }
  if (conflicts.empty()) return {};
  std::string list;
  for (const auto& c : conflicts) list += (list.empty() ? "" : ",") + c;
  return Format(
      "Operation could not be completed because one or more dynamic names conflicts with a static name.  "
      "Conflict(s): %s",
      {list});
}

void CryptoRandomBytes(unsigned char* buffer, size_t count) {
  if (RAND_bytes(buffer, static_cast<int>(count)) != 1)
    throw EKelvoException("The cryptographic random generator failed");
}

std::string TAuthentication::GenerateSalt() {
  static const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01239456789!$%&/()=;:-";
  static_assert(256 / 74 == 3);
  std::string salt;
  while (salt.size() < 6) {
    unsigned char bytes[16];
    CryptoRandomBytes(bytes, sizeof bytes);
    for (unsigned char b : bytes) {
      // Bytes beyond the largest multiple of 74 would favour the first characters.
      if (b >= 3 * 74) continue;
      salt.push_back(kAlphabet[b % 74]);
      if (salt.size() == 6) break;
    }
  }
  return salt;
}

std::string TAuthentication::HashMd5(const std::string& AString) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(AString.data(), AString.size(), digest, &length, EVP_md5(), nullptr) != 1)
    throw EKelvoException("MD5 is not available");
  return Hex(digest, length, false);
}

std::string TAuthentication::GenerateSessionID(const std::string& /*AUserID*/) {
  unsigned char bytes[16];
  CryptoRandomBytes(bytes, sizeof bytes);
  return Hex(bytes, sizeof bytes, false);
}

std::string NewGUIDText() {
  unsigned char b[16];
  CryptoRandomBytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  const std::string h = Hex(b, sizeof b, true);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}
