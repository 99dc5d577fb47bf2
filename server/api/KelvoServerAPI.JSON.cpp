#include "KelvoServerAPI.JSON.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

std::string JSONToText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  TJSONWriter writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {

// Counts nesting while the DOM is built and stops the parse when it gets too deep; RapidJSON's
// own recursion is bounded by the iterative parse flag, this bounds the DOM's depth.
class TDepthLimitedHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TDepthLimitedHandler> {
 public:
  TDepthLimitedHandler(rapidjson::Document& document, unsigned max_depth)
      : FDocument(document), FMaxDepth(max_depth) {}
  bool Null() { return FDocument.Null(); }
  bool Bool(bool b) { return FDocument.Bool(b); }
  bool Int(int i) { return FDocument.Int(i); }
  bool Uint(unsigned u) { return FDocument.Uint(u); }
  bool Int64(int64_t i) { return FDocument.Int64(i); }
  bool Uint64(uint64_t u) { return FDocument.Uint64(u); }
  bool Double(double d) { return FDocument.Double(d); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) { return FDocument.RawNumber(s, n, copy); }
  bool String(const char* s, rapidjson::SizeType n, bool copy) { return FDocument.String(s, n, copy); }
  bool StartObject() { return ++FDepth <= FMaxDepth && FDocument.StartObject(); }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) { return FDocument.Key(s, n, copy); }
  bool EndObject(rapidjson::SizeType n) { --FDepth; return FDocument.EndObject(n); }
  bool StartArray() { return ++FDepth <= FMaxDepth && FDocument.StartArray(); }
  bool EndArray(rapidjson::SizeType n) { --FDepth; return FDocument.EndArray(n); }

 private:
  rapidjson::Document& FDocument;
  unsigned FMaxDepth;
  unsigned FDepth = 0;
};

}  // namespace

bool ParseJSON(const std::string& text, rapidjson::Document& document, unsigned max_depth) {
  document.SetNull();
  rapidjson::Document parsed;
  bool ok = false;
  // Document::Populate hands the document itself to the generator as the SAX handler; the
  // depth-limited handler forwards to it. The iterative parser keeps RapidJSON off the stack.
  auto generator = [&](rapidjson::Document& target) {
    rapidjson::Reader reader;
    TDepthLimitedHandler handler(target, max_depth);
    rapidjson::MemoryStream memory(text.data(), text.size());
    ok = !reader.Parse<rapidjson::kParseIterativeFlag>(memory, handler).IsError();
    return ok;
  };
  parsed.Populate(generator);
  if (!ok) return false;
  document.Swap(parsed);
  return true;
}

void AddMember(rapidjson::Value& object, const std::string& name, const std::string& value,
               rapidjson::Document::AllocatorType& allocator) {
  object.AddMember(rapidjson::Value(name.c_str(), static_cast<rapidjson::SizeType>(name.size()), allocator),
                   rapidjson::Value(value.c_str(), static_cast<rapidjson::SizeType>(value.size()), allocator),
                   allocator);
}
