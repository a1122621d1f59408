// The lexical side of MarkupDocument: its tokenizer, which reads the text
// node by node without building anything, and the entity decoding and
// encoding of element data.
// Threads: any; a Tokenizer is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin::markup {

// Node kinds of the tokenizer.
constexpr int kEndTagNode = 0;
constexpr int kStartTagNode = 1;
constexpr int kTextNode = 2;
constexpr int kWhitespaceNode = 4;
constexpr int kCdataNode = 8;
constexpr int kInstructionNode = 16;
constexpr int kCommentNode = 32;
constexpr int kDeclarationNode = 64;
constexpr int kErrorNode = -1;
constexpr int kEndOfText = -2;

inline bool IsSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// Ends a tag name as FindElem reads it.
inline bool EndsFoundName(char16_t c) {
  return IsSpace(c) || c == u'<' || c == u'>' || c == u'=' || c == u'\\' || c == u'/' ||
         c == u'?' || c == u'!';
}

std::u16string Number(long long value);

// A name that the tokenizer reads back whole as the same element name, so
// an insertion can never break the document.
bool IsInsertableName(std::u16string_view name);

struct Token {
  int kind = kEndOfText;
  int32_t start = 0;
  int32_t end = 0;  // one past the node
  // Tag name of a start or end tag; inside of a CDATA section.
  int32_t innerStart = 0;
  int32_t innerEnd = 0;
  bool emptyElement = false;
  std::u16string error;
};

class Tokenizer {
 public:
  explicit Tokenizer(std::u16string_view text) : s(text), n(static_cast<int32_t>(text.size())) {}

  // The node at the current position, then moves past it; kEndOfText at
  // the end.
  Token Next();

 private:
  void Unterminated(Token& t, const char* what);
  void Incorrect(Token& t, const char* what);
  bool EndAt(Token& t, size_t from, std::u16string_view close);
  void ReadMarkup(Token& t);
  void ReadBang(Token& t);

  std::u16string_view s;
  int32_t n = 0;
  int32_t pos = 0;
};

// Appends s to out with the five named entities and numeric character
// references decoded; any other '&' stays as it is.
void DecodeEntities(std::u16string_view s, std::u16string& out);
// data as element content, escaped as the MarkupDocument::AddElem options
// say.
std::u16string EncodeData(std::u16string_view data, int options);

}  // namespace tavrin::markup
