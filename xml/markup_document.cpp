#include "xml/markup_document.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/text.h"
#include "xml/markup_lexer.h"

namespace tavrin {

using namespace markup;

namespace {

// Larger than any file shared with the data source, and small enough that a
// device file read by mistake cannot exhaust memory. UTF-16 units never
// exceed UTF-8 bytes, so the text stays within the offsets as well.
constexpr size_t kMaxFileBytes = size_t{256} << 20;

// The given name matches when it equals the candidate over the candidate's
// length and then ends, or goes on with a character that cannot be part of
// a name (a path or predicate suffix).
bool NameMatches(std::u16string_view candidate, std::u16string_view given) {
  if (given.size() < candidate.size() || given.substr(0, candidate.size()) != candidate) {
    return false;
  }
  if (given.size() == candidate.size()) return true;
  const char16_t next = given[candidate.size()];
  return next == u' ' || next == u'=' || next == u'/' || next == u'[' || next == u']';
}

std::u16string ErrorText(int error) {
  return platform::Utf8ToUtf16(std::strerror(error));
}

}  // namespace

bool MarkupDocument::SetDoc(std::u16string_view text) {
  docText.assign(text);
  result.clear();
  return Parse();
}

bool MarkupDocument::Load(const std::u16string& path) {
  filePath = path;
  const std::string nativePath = platform::Utf16ToUtf8(path);
  std::FILE* file = platform::OpenRegularFileForReading(nativePath);
  if (file == nullptr) {
    result = ErrorText(errno);
    return false;
  }
  std::string bytes;
  char chunk[65536];
  int readError = 0;
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, file);
    bytes.append(chunk, got);
    if (bytes.size() > kMaxFileBytes) {
      readError = EFBIG;
      break;
    }
    if (got < sizeof chunk) {
      if (std::ferror(file) != 0) readError = errno != 0 ? errno : EIO;
      break;
    }
  }
  std::fclose(file);
  if (readError != 0) {
    result = ErrorText(readError);
    return false;
  }
  docText = platform::Utf8ToUtf16(bytes);
  result = Number(static_cast<long long>(bytes.size())) + u" bytes to " +
           Number(static_cast<long long>(docText.size())) + u" wide chars";
  return Parse();
}

bool MarkupDocument::Save(const std::u16string& path, platform::Durability durability) {
  const std::u16string& target = path.empty() ? filePath : path;
  if (target.empty()) {
    result = ErrorText(ENOENT);
    return false;
  }
  const std::string bytes = platform::Utf16ToUtf8(docText);
  std::string error;
  if (!platform::ReplaceFileAtomically(platform::Utf16ToUtf8(target), bytes, &error, durability)) {
    result = error.empty() ? ErrorText(EIO) : platform::Utf8ToUtf16(error);
    return false;
  }
  result = Number(static_cast<long long>(docText.size())) + u" wide chars to " +
           Number(static_cast<long long>(bytes.size())) + u" bytes";
  return true;
}

bool MarkupDocument::Parse() {
  const std::u16string kept = std::move(result);
  result.clear();
  elements.assign(1, ElemRecord{});
  lastStart = 0;
  parentPos = 0;
  currentPos = 0;
  childPos = 0;
  nodeKind = 0;
  nodeOffset = 0;
  nodeLength = 0;

  std::u16string error;
  auto note = [&error](std::u16string message) {
    if (error.empty()) error = std::move(message);
  };
  auto tagName = [this](int32_t index) { return std::u16string(ElemName(index)); };

  if (docText.empty()) {
    note(u"Empty document");
  } else if (docText.size() > static_cast<size_t>(kMaxDocumentUnits)) {
    note(u"Document too large");
    elements[0].flags |= kIllFormed;
  } else {
    const int32_t n = static_cast<int32_t>(docText.size());
    elements[0].length = n;
    elements.reserve(docText.size() / 64 + 8);
    // Open elements, innermost last: an explicit stack, so depth costs heap,
    // never call stack.
    std::vector<int32_t> open;
    Tokenizer tokenizer(docText);
    for (Token t = tokenizer.Next(); t.kind != kEndOfText; t = tokenizer.Next()) {
      if (t.kind == kStartTagNode) {
        const int32_t index = static_cast<int32_t>(elements.size());
        ElemRecord record;
        record.start = t.start;
        record.startTagLen = t.end - t.start;
        record.level = static_cast<int32_t>(open.size()) + 1;
        if (t.emptyElement) record.length = record.startTagLen;
        elements.push_back(record);
        lastStart = record.start;
        LinkLastChild(open.empty() ? 0 : open.back(), index);
        if (!t.emptyElement) open.push_back(index);
      } else if (t.kind == kEndTagNode) {
        const std::u16string_view name =
            std::u16string_view(docText).substr(t.innerStart, t.innerEnd - t.innerStart);
        size_t match = open.size();
        while (match > 0 && !NameMatches(ElemName(open[match - 1]), name)) --match;
        if (match == 0) {
          elements[0].flags |= kIllFormed;
          note(u"No start tag for end tag '" + std::u16string(name) + u"' at offset " +
               Number(t.start));
          continue;
        }
        for (size_t j = open.size(); j > match; --j) {
          ElemRecord& inner = elements[open[j - 1]];
          inner.flags |= kNoEndTag;
          inner.length = t.start - inner.start;
          elements[0].flags |= kIllFormed;
          note(u"End tag '" + std::u16string(name) + u"' at offset " + Number(t.start + 1) +
               u" does not match start tag '" + tagName(open[j - 1]) + u"' at offset " +
               Number(inner.start));
        }
        ElemRecord& closed = elements[open[match - 1]];
        closed.length = t.end - closed.start;
        closed.endTagLen = t.end - t.start;
        open.resize(match - 1);
      } else if (t.kind == kErrorNode) {
        elements[0].flags |= kIllFormed;
        note(std::move(t.error));
      }
    }
    for (size_t j = open.size(); j > 0; --j) {
      ElemRecord& inner = elements[open[j - 1]];
      inner.flags |= kNoEndTag;
      inner.length = n - inner.start;
      elements[0].flags |= kIllFormed;
      note(u"Element '" + tagName(open[j - 1]) + u"' at offset " + Number(inner.start) +
           u" not ended");
    }
    if (elements[0].firstChild == 0) {
      note(u"No root element");
    } else if (elements[elements[0].firstChild].next != 0) {
      note(u"Root element has sibling");
    }
  }

  if (kept.empty()) {
    result = error;
  } else {
    result = error.empty() ? kept : kept + u", " + error;
  }
  return IsWellFormed();
}

void MarkupDocument::LinkLastChild(int32_t parent, int32_t child) {
  ElemRecord& record = elements[child];
  record.parent = parent;
  record.next = 0;
  const int32_t first = elements[parent].firstChild;
  if (first == 0) {
    elements[parent].firstChild = child;
    record.flags |= kFirstChild;
    record.prev = child;
    return;
  }
  const int32_t last = elements[first].prev;
  elements[last].next = child;
  record.prev = last;
  elements[first].prev = child;
}

void MarkupDocument::LinkAfter(int32_t sibling, int32_t child) {
  ElemRecord& record = elements[child];
  const int32_t parent = elements[sibling].parent;
  record.parent = parent;
  record.prev = sibling;
  record.next = elements[sibling].next;
  if (record.next != 0) {
    elements[record.next].prev = child;
  } else {
    elements[elements[parent].firstChild].prev = child;
  }
  elements[sibling].next = child;
}

bool MarkupDocument::IsEmptyElementTag(const ElemRecord& record) const {
  return record.endTagLen == 0 && record.startTagLen == record.length &&
         (record.flags & kNoEndTag) == 0;
}

std::u16string_view MarkupDocument::ElemName(int32_t index) const {
  const std::u16string_view s = docText;
  const size_t from = static_cast<size_t>(elements[index].start) + 1;
  if (from >= s.size()) return {};
  if (EndsFoundName(s[from])) return s.substr(from, 1);
  size_t to = from;
  while (to < s.size() && !EndsFoundName(s[to])) ++to;
  return s.substr(from, to - from);
}

bool MarkupDocument::IsWellFormed() const {
  const int32_t root = elements[0].firstChild;
  return root != 0 && elements[root].next == 0 && (elements[0].flags & kIllFormed) == 0;
}

bool MarkupDocument::FindElem(std::u16string_view name) {
  int32_t index = currentPos != 0 ? elements[currentPos].next : elements[parentPos].firstChild;
  for (; index != 0; index = elements[index].next) {
    if (name.empty() || NameMatches(ElemName(index), name)) {
      parentPos = elements[index].parent;
      currentPos = index;
      childPos = 0;
      nodeKind = kStartTagNode;
      nodeOffset = 0;
      nodeLength = 0;
      return true;
    }
  }
  return false;
}

bool MarkupDocument::IntoElem() {
  if (currentPos == 0 || nodeKind != kStartTagNode) return false;
  parentPos = currentPos;
  currentPos = childPos;
  childPos = 0;
  nodeKind = 0;
  return true;
}

std::u16string MarkupDocument::GetData() const {
  if (currentPos == 0) return {};
  const ElemRecord& record = elements[currentPos];
  if (record.firstChild != 0 || IsEmptyElementTag(record)) return {};
  const int32_t from = record.start + record.startTagLen;
  const int32_t to = record.start + record.length - record.endTagLen;
  if (to <= from) return {};
  const std::u16string_view content = std::u16string_view(docText).substr(from, to - from);
  std::u16string out;
  if (content.find(u'<') == std::u16string_view::npos) {
    DecodeEntities(content, out);
    return out;
  }
  Tokenizer tokenizer(content);
  for (Token t = tokenizer.Next(); t.kind != kEndOfText; t = tokenizer.Next()) {
    if (t.kind == kTextNode) {
      DecodeEntities(content.substr(t.start, t.end - t.start), out);
    } else if (t.kind == kCdataNode) {
      out.append(content.substr(t.innerStart, t.innerEnd - t.innerStart));
    }
  }
  return out;
}

bool MarkupDocument::AddElem(std::u16string_view name, std::u16string_view data, int options) {
  if (!IsInsertableName(name)) return false;
  std::u16string element = u"<" + std::u16string(name);
  int32_t startTagLen = 0;
  int32_t endTagLen = 0;
  if (data.empty()) {
    element += u"/>";
    startTagLen = static_cast<int32_t>(element.size());
  } else {
    element += u">";
    startTagLen = static_cast<int32_t>(element.size());
    element += EncodeData(data, options);
    element += u"</" + std::u16string(name) + u">";
    endTagLen = static_cast<int32_t>(name.size()) + 3;
  }
  const int32_t elementLen = static_cast<int32_t>(element.size());
  element += u"\r\n";

  const int32_t n = static_cast<int32_t>(docText.size());
  int32_t insertAt = n;
  int32_t newStart = n;
  int32_t replaced = 0;  // characters of docText the insertion replaces
  std::u16string insert;
  bool expandParent = false;
  const ElemRecord parent = elements[parentPos];
  if (currentPos != 0) {
    const ElemRecord& current = elements[currentPos];
    insertAt = current.start + current.length;
    int32_t past = insertAt;
    while (past < n && IsSpace(docText[past])) ++past;
    if (past == n || docText[past] == u'<') insertAt = past;
    newStart = insertAt;
    insert = std::move(element);
  } else if (parentPos != 0 && IsEmptyElementTag(parent)) {
    // "<p/>" becomes "<p>\r\n<new/>\r\n</p>": the slash gives way.
    const std::u16string_view parentName = ElemName(parentPos);
    // A stray quote in the name would open a quoted run in the new end tag
    // and swallow the rest of the document.
    if (parentName.find_first_of(u"\"'") != std::u16string_view::npos) return false;
    expandParent = true;
    insertAt = parent.start + parent.length - 2;
    replaced = 1;
    newStart = insertAt + 3;
    insert = u">\r\n" + element + u"</" + std::u16string(ElemName(parentPos));
  } else if (parentPos != 0 && parent.endTagLen != 0 &&
             parent.startTagLen + parent.endTagLen == parent.length) {
    insertAt = parent.start + parent.startTagLen;
    newStart = insertAt + 2;
    insert = u"\r\n" + element;
  } else {
    insertAt = parentPos == 0 ? n : parent.start + parent.length - parent.endTagLen;
    newStart = insertAt;
    insert = std::move(element);
  }

  const int64_t delta = static_cast<int64_t>(insert.size()) - replaced;
  if (n + delta > kMaxDocumentUnits) return false;
  const size_t newSize = docText.size() + static_cast<size_t>(delta);
  if (docText.capacity() < newSize) docText.reserve(newSize + newSize / 2 + 128);
  docText.replace(static_cast<size_t>(insertAt), static_cast<size_t>(replaced), insert);
  const int32_t shift = static_cast<int32_t>(delta);

  if (insertAt <= lastStart) {
    for (size_t i = 1; i < elements.size(); ++i) {
      if (elements[i].start >= insertAt) elements[i].start += shift;
    }
    lastStart += shift;
  }
  for (int32_t up = parentPos; up != 0; up = elements[up].parent) elements[up].length += shift;
  elements[0].length = static_cast<int32_t>(docText.size());
  if (expandParent) {
    ElemRecord& grown = elements[parentPos];
    grown.startTagLen = insertAt - grown.start + 1;
    grown.endTagLen = static_cast<int32_t>(ElemName(parentPos).size()) + 3;
  }

  const int32_t index = static_cast<int32_t>(elements.size());
  ElemRecord record;
  record.start = newStart;
  record.length = elementLen;
  record.startTagLen = startTagLen;
  record.endTagLen = endTagLen;
  record.level = parent.level + 1;
  elements.push_back(record);
  lastStart = std::max(lastStart, newStart);
  if (currentPos != 0) {
    LinkAfter(currentPos, index);
  } else {
    LinkLastChild(parentPos, index);
  }
  currentPos = index;
  childPos = 0;
  nodeKind = kStartTagNode;
  return true;
}

std::u16string MarkupDocument::GetTagName() const {
  if (currentPos == 0) return {};
  return std::u16string(ElemName(currentPos));
}

void MarkupDocument::ResetPos() {
  parentPos = 0;
  currentPos = 0;
  childPos = 0;
  nodeKind = 0;
}

}  // namespace tavrin
