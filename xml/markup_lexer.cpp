#include "xml/markup_lexer.h"

#include "xml/markup_document.h"

namespace tavrin::markup {
namespace {

// Ends a start or end tag name while parsing.
bool EndsParsedName(char16_t c) {
  return IsSpace(c) || c == u'/' || c == u'>';
}

// Control characters, space, digits and ASCII punctuation cannot start a
// name, except the few that introduce other node kinds or are allowed.
bool IsBadNameStart(char16_t c) {
  const bool punct = c <= 64 || (c >= 91 && c <= 96);
  return punct && c != u'!' && c != u'/' && c != u'?' && c != u':' && c != u'_';
}

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text != '\0'; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

// Offset just past the '>' closing a tag, with quoted text skipped as a
// unit; -1 when the text ends first.
int32_t SkipTag(std::u16string_view s, size_t from) {
  for (size_t i = from; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c == u'"' || c == u'\'') {
      const size_t close = s.find(c, i + 1);
      if (close == std::u16string_view::npos) return -1;
      i = close;
    } else if (c == u'>') {
      return static_cast<int32_t>(i + 1);
    }
  }
  return -1;
}

// A document type may hold a bracketed internal subset with its own '>'s.
int32_t SkipDoctype(std::u16string_view s, size_t from) {
  bool inSubset = false;
  for (size_t i = from; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c == u'"' || c == u'\'') {
      const size_t close = s.find(c, i + 1);
      if (close == std::u16string_view::npos) return -1;
      i = close;
    } else if (inSubset && s.substr(i, 4) == u"<!--") {
      const size_t close = s.find(u"-->", i + 4);
      if (close == std::u16string_view::npos) return -1;
      i = close + 2;
    } else if (c == u'[') {
      inSubset = true;
    } else if (c == u']') {
      inSubset = false;
    } else if (c == u'>' && !inSubset) {
      return static_cast<int32_t>(i + 1);
    }
  }
  return -1;
}

void AppendCodePoint(std::u16string& out, uint32_t code) {
  // A lone surrogate or a value beyond Unicode would make the text invalid.
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
    out.push_back(u'\uFFFD');
  } else if (code > 0xFFFF) {
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(code));
  }
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

std::u16string Number(long long value) {
  return Ascii(std::to_string(value).c_str());
}

bool IsInsertableName(std::u16string_view name) {
  if (name.empty() || IsBadNameStart(name[0]) || name[0] == u'!' || name[0] == u'/' ||
      name[0] == u'?') {
    return false;
  }
  for (const char16_t c : name) {
    if (EndsFoundName(c) || c == u'"' || c == u'\'' || c == u'&') return false;
  }
  return true;
}

Token Tokenizer::Next() {
  Token t;
  t.start = pos;
  if (pos >= n) {
    t.kind = kEndOfText;
    t.end = n;
    return t;
  }
  if (s[pos] != u'<') {
    const size_t lt = s.find(u'<', pos);
    t.end = lt == std::u16string_view::npos ? n : static_cast<int32_t>(lt);
    t.kind = kWhitespaceNode;
    for (int32_t i = pos; i < t.end; ++i) {
      if (!IsSpace(s[i])) {
        t.kind = kTextNode;
        break;
      }
    }
    pos = t.end;
    return t;
  }
  ReadMarkup(t);
  pos = t.end;
  return t;
}

void Tokenizer::Unterminated(Token& t, const char* what) {
  t.kind = kErrorNode;
  t.error = Ascii(what) + u" at offset " + Number(t.start) + u" unterminated";
  t.end = n;
}

void Tokenizer::Incorrect(Token& t, const char* what) {
  t.kind = kErrorNode;
  t.error = u"Incorrect " + Ascii(what) + u" at offset " + Number(t.start);
  const size_t gt = s.find(u'>', t.start);
  t.end = gt == std::u16string_view::npos ? n : static_cast<int32_t>(gt + 1);
}

// Sets the end of a node closed by the sequence close, searched from from.
bool Tokenizer::EndAt(Token& t, size_t from, std::u16string_view close) {
  const size_t at = s.find(close, std::min<size_t>(from, s.size()));
  if (at == std::u16string_view::npos) return false;
  t.innerEnd = static_cast<int32_t>(at);
  t.end = static_cast<int32_t>(at + close.size());
  return true;
}

void Tokenizer::ReadMarkup(Token& t) {
  const int32_t p = t.start;
  if (p + 1 >= n) return Unterminated(t, "tag");
  const char16_t c1 = s[p + 1];
  if (c1 == u'/') {
    t.kind = kEndTagNode;
    t.innerStart = p + 2;
    t.innerEnd = t.innerStart;
    while (t.innerEnd < n && !EndsParsedName(s[t.innerEnd])) ++t.innerEnd;
    t.end = SkipTag(s, p + 2);
    if (t.end < 0) Unterminated(t, "Element end tag");
    return;
  }
  if (c1 == u'?') {
    t.kind = kInstructionNode;
    if (!EndAt(t, p + 2, u"?>")) Unterminated(t, "Processing instruction");
    return;
  }
  if (c1 == u'!') return ReadBang(t);
  if (IsBadNameStart(c1)) return Incorrect(t, "tag name character");

  t.kind = kStartTagNode;
  t.innerStart = p + 1;
  t.innerEnd = t.innerStart;
  while (t.innerEnd < n && !EndsParsedName(s[t.innerEnd])) ++t.innerEnd;
  t.end = SkipTag(s, p + 1);
  if (t.end < 0) return Unterminated(t, "Element tag");
  const int32_t slash = t.end - 2;
  if (slash > p + 1 && s[slash] == u'/') {
    const char16_t before = s[slash - 1];
    t.emptyElement = IsSpace(before) || before == u'"' || before == u'\'' || slash == t.innerEnd;
  }
}

void Tokenizer::ReadBang(Token& t) {
  const int32_t p = t.start;
  if (p + 2 >= n) return Unterminated(t, "tag");
  const char16_t c2 = s[p + 2];
  if (c2 == u'-') {
    if (p + 3 >= n) return Unterminated(t, "Comment");
    if (s[p + 3] != u'-') return Incorrect(t, "comment tag");
    t.kind = kCommentNode;
    if (!EndAt(t, p + 4, u"-->")) Unterminated(t, "Comment");
    return;
  }
  if (c2 == u'[') {
    if (p + 3 >= n) return Unterminated(t, "tag");
    if (s[p + 3] != u'C') return Incorrect(t, "tag");
    t.kind = kCdataNode;
    t.innerStart = std::min(p + 9, n);
    if (!EndAt(t, t.innerStart, u"]]>")) Unterminated(t, "CDATA Section");
    return;
  }
  if (c2 == u'D') {
    t.kind = kDeclarationNode;
    t.end = SkipDoctype(s, p + 2);
    if (t.end < 0) Unterminated(t, "Doctype");
    return;
  }
  if (c2 == u'E' || c2 == u'A' || c2 == u'N') {
    t.kind = kDeclarationNode;
    t.end = SkipTag(s, p + 2);
    if (t.end < 0) Unterminated(t, "Doctype");
    return;
  }
  Incorrect(t, "! tag");
}

void DecodeEntities(std::u16string_view s, std::u16string& out) {
  static constexpr std::u16string_view kNamed[][2] = {
      {u"&lt;", u"<"}, {u"&amp;", u"&"}, {u"&gt;", u">"}, {u"&apos;", u"'"}, {u"&quot;", u"\""}};
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != u'&') {
      out.push_back(s[i]);
      continue;
    }
    const std::u16string_view rest = s.substr(i);
    bool replaced = false;
    for (const auto& entity : kNamed) {
      if (rest.starts_with(entity[0])) {
        out.append(entity[1]);
        i += entity[0].size() - 1;
        replaced = true;
        break;
      }
    }
    if (replaced) continue;
    if (rest.size() > 2 && rest[1] == u'#') {
      size_t digits = 2;
      const bool hex = rest[2] == u'x';
      if (hex) ++digits;
      // Between the prefix and the semicolon lie 1 to 7 characters.
      size_t semicolon = 0;
      for (size_t k = digits + 1; k < rest.size() && k <= digits + 7; ++k) {
        if (rest[k] == u';') {
          semicolon = k;
          break;
        }
      }
      if (semicolon != 0) {
        uint32_t value = 0;
        for (size_t k = digits; k < semicolon; ++k) {
          const int digit =
              hex ? HexDigit(rest[k]) : (rest[k] >= u'0' && rest[k] <= u'9' ? rest[k] - u'0' : -1);
          if (digit < 0) break;
          value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
        }
        if (value != 0) {
          AppendCodePoint(out, value);
          i += semicolon;
          continue;
        }
      }
    }
    out.push_back(u'&');
  }
}

bool StartsReference(std::u16string_view rest) {
  // "&name;" or "&#digits;" within a short span.
  for (size_t k = 1; k < rest.size() && k < 12; ++k) {
    const char16_t c = rest[k];
    if (c == u';') return k > 1;
    const bool nameChar = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                          (c >= u'0' && c <= u'9') || c == u'#' || c == u'_' || c == u'.' ||
                          c == u'-' || c == u':';
    if (!nameChar) return false;
  }
  return false;
}

std::u16string EncodeData(std::u16string_view data, int options) {
  if ((options & MarkupDocument::kDataAsCdata) != 0) {
    std::u16string out = u"<![CDATA[";
    size_t from = 0;
    for (size_t at = data.find(u"]]>"); at != std::u16string_view::npos;
         at = data.find(u"]]>", from)) {
      out.append(data.substr(from, at - from));
      out.append(u"]]]]><![CDATA[>");
      from = at + 3;
    }
    out.append(data.substr(from));
    out.append(u"]]>");
    return out;
  }
  std::u16string out;
  out.reserve(data.size() + data.size() / 10 + 7);
  for (size_t i = 0; i < data.size(); ++i) {
    const char16_t c = data[i];
    if (c == u'<') {
      out.append(u"&lt;");
    } else if (c == u'>') {
      out.append(u"&gt;");
    } else if (c == u'&') {
      if ((options & MarkupDocument::kPassReferences) != 0 && StartsReference(data.substr(i))) {
        out.push_back(c);
      } else {
        out.append(u"&amp;");
      }
    } else if ((options & MarkupDocument::kEncodeQuotes) != 0 && c == u'"') {
      out.append(u"&quot;");
    } else if ((options & MarkupDocument::kEncodeQuotes) != 0 && c == u'\'') {
      out.append(u"&apos;");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace tavrin::markup
