#include "KelvoServerAPI.JSON.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

std::string ValidUTF8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (valid && length > 1) {
      // Reject overlong forms, surrogates and code points beyond U+10FFFF.
      uint32_t cp = c & (0xFF >> (length + 1));
      for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
      valid = cp >= kMinimum[length] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    }
    if (valid) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
      ++i;
    }
  }
  return out;
}

namespace {

rapidjson::Value SanitizedCopy(const rapidjson::Value& value, rapidjson::Document::AllocatorType& a) {
  if (value.IsString()) {
    const std::string text = ValidUTF8(std::string(value.GetString(), value.GetStringLength()));
    return rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
  }
  if (value.IsArray()) {
    rapidjson::Value array(rapidjson::kArrayType);
    for (const auto& item : value.GetArray()) array.PushBack(SanitizedCopy(item, a), a);
    return array;
  }
  if (value.IsObject()) {
    rapidjson::Value object(rapidjson::kObjectType);
    for (auto it = value.MemberBegin(); it != value.MemberEnd(); ++it)
      object.AddMember(SanitizedCopy(it->name, a), SanitizedCopy(it->value, a), a);
    return object;
  }
  return rapidjson::Value(value, a);
}

}  // namespace

std::string JSONToText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  TJSONWriter writer(buffer);
  if (value.Accept(writer)) return std::string(buffer.GetString(), buffer.GetSize());
  // Text that is not UTF-8 (a client's header echoed in an error, say) stops the writer
  // half-way; write a copy whose invalid bytes are replaced instead of broken JSON.
  rapidjson::Document copy;
  rapidjson::Value sanitized = SanitizedCopy(value, copy.GetAllocator());
  rapidjson::StringBuffer retry;
  TJSONWriter retry_writer(retry);
  sanitized.Accept(retry_writer);
  return std::string(retry.GetString(), retry.GetSize());
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
