// Random requests through the whole pipeline: every reply is well-formed, nothing escapes.
#include <gtest/gtest.h>

#include <random>

#include "KelvoInProcess.h"
#include "KelvoServerAPI.JSON.h"

namespace {

std::string RandomText(std::mt19937& rng, size_t max_length, bool printable) {
  std::uniform_int_distribution<size_t> length(0, max_length);
  std::uniform_int_distribution<int> byte(printable ? 32 : 0, printable ? 126 : 255);
  std::string text(length(rng), '\0');
  for (auto& c : text) c = static_cast<char>(byte(rng));
  return text;
}

// Pieces a hostile client would aim at the server's parsers.
const char* const kFragments[] = {"/", "users", "version", "api", "apidoc.json", "{id}", "%", "%7B", "..",
                                  "fields", "?", "&", "=", "where={", "\"$or\":[", "limit=-1", "*", "//"};

std::string RandomPath(std::mt19937& rng) {
  std::uniform_int_distribution<size_t> count(0, 8);
  std::uniform_int_distribution<size_t> pick(0, std::size(kFragments) - 1);
  std::string path = "/";
  for (size_t i = count(rng); i > 0; --i) path += kFragments[pick(rng)];
  return path + (rng() % 4 == 0 ? RandomText(rng, 20, true) : "");
}

}  // namespace

TEST(HostileInput, RandomRequestsGetWellFormedReplies) {
  TInProcessServer server("[Server.Keys]\nAppSecret=s\n");
  std::mt19937 rng(20261211);
  const char* const methods[] = {"GET", "POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS", "X"};
  const char* const headers[] = {"X-Vantrel-Api-Version", "X-Vantrel-Tenant-Id", "X-Vantrel-Session-Token",
                                 "X-Vantrel-App-Secret", "X-Vantrel-Master-Secret", "Accept", "Content-Type"};
  for (int i = 0; i < 1500; ++i) {
    std::vector<std::pair<std::string, std::string>> h;
    for (const char* name : headers)
      if (rng() % 3 == 0) h.emplace_back(name, RandomText(rng, 60, rng() % 2 == 0));
    if (rng() % 2 == 0) h.emplace_back("X-Vantrel-App-Secret", "s");
    const std::string method = methods[rng() % std::size(methods)];
    const std::string path = RandomPath(rng);
    const auto reply = server.Request(method, path, h, RandomText(rng, 300, rng() % 2 == 0));
    ASSERT_GE(reply.FStatus, 200) << method << " " << path;
    ASSERT_LT(reply.FStatus, 600) << method << " " << path;
    if (reply.FStatus >= 400 && !reply.FBody.empty()) {
      rapidjson::Document body;
      ASSERT_TRUE(ParseJSON(reply.FBody, body)) << reply.FBody;
      ASSERT_TRUE(body.IsObject() && body.HasMember("error")) << reply.FBody;
    }
  }
}

TEST(HostileInput, TextThatIsNotUTF8IsReplacedNotBroken) {
  struct TCase {
    std::string FIn;
    std::string FOut;
  };
  const TCase cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xC3", "\xEF\xBF\xBD"},                          // truncated sequence
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},                // never valid
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},          // overlong "/"
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},          // outside the BMP
  };
  for (const auto& c : cases) EXPECT_EQ(ValidUTF8(c.FIn), c.FOut);
  rapidjson::Document doc;
  doc.SetObject();
  AddMember(doc, "bad\xFF", "x\xC3", doc.GetAllocator());
  EXPECT_EQ(JSONToText(doc), "{\"bad\\uFFFD\":\"x\\uFFFD\"}");
}
