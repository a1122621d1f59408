// MarkupDocument: an XML document kept as one UTF-16 string with an index of
// element positions beside it. Used for the files shared with the data
// source (cfgInfo.xml, ShowModel.xml, FileList.xml).
// Threads: any thread; one instance is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace tavrin {

class MarkupDocument {
 public:
  // AddElem options. The program itself always passes 0.
  static constexpr int kEncodeQuotes = 1;    // '"' and '\'' become &quot; and &apos;
  static constexpr int kPassReferences = 2;  // an existing "&name;" passes unchanged
  static constexpr int kDataAsCdata = 4;     // data is written as a CDATA section

  MarkupDocument() = default;

  // Replaces the text and parses it; returns the well-formedness.
  bool SetDoc(std::u16string_view text = {});
  // Reads a UTF-8 file and parses it; false when the read failed or the
  // document is not well-formed. GetResult() says which.
  bool Load(const std::u16string& path);
  // Writes the text as UTF-8 (no signature) to path, or to the path last
  // given to Load when path is empty. The old file is replaced atomically,
  // so a failed save leaves it whole; returns false on any failure.
  bool Save(const std::u16string& path = {},
            platform::Durability durability = platform::Durability::kOnDisk);

  bool IsWellFormed() const;
  // Finds the next element named name among the siblings after the current
  // element (from the first child of the parent when there is none); an
  // empty name matches any element.
  bool FindElem(std::u16string_view name = {});
  bool IntoElem();
  // Text content of the current element, entities decoded; empty when it has
  // child elements or is an empty-element tag.
  std::u16string GetData() const;
  // Adds an element with data after the current element (or as last child of
  // the parent) and makes it current. False for a name that could not be
  // read back as an element name, or when the text would grow too large.
  bool AddElem(std::u16string_view name, std::u16string_view data = {}, int options = 0);
  const std::u16string& GetResult() const { return result; }

  // Beyond the subset the program uses, for callers and tests.
  const std::u16string& GetDoc() const { return docText; }
  std::u16string GetTagName() const;  // of the current element; empty when none
  void ResetPos();                    // back to the document level, no current element

  // Largest text, in UTF-16 units, that offsets can address.
  static constexpr int32_t kMaxDocumentUnits = 1 << 30;

 private:
  struct ElemRecord {
    int32_t start = 0;        // offset of '<' in docText
    int32_t length = 0;       // whole element, end tag included
    int32_t startTagLen = 0;  // equals length for an empty-element tag
    int32_t endTagLen = 0;    // 0 for an empty-element tag or a missing end tag
    int32_t level = 0;
    uint32_t flags = 0;
    int32_t parent = 0;
    int32_t firstChild = 0;
    int32_t next = 0;
    int32_t prev = 0;  // of a first child: the last child, so appending is cheap
  };
  static constexpr uint32_t kFirstChild = 1;
  static constexpr uint32_t kIllFormed = 2;
  static constexpr uint32_t kNoEndTag = 4;

  bool Parse();
  void LinkLastChild(int32_t parent, int32_t child);
  void LinkAfter(int32_t sibling, int32_t child);
  bool IsEmptyElementTag(const ElemRecord& record) const;
  // Tag name as FindElem reads it from the start tag.
  std::u16string_view ElemName(int32_t index) const;

  std::u16string filePath;
  std::u16string docText;
  std::u16string result;
  int32_t parentPos = 0;
  int32_t currentPos = 0;
  int32_t childPos = 0;
  int nodeKind = 0;
  int32_t nodeOffset = 0;
  int32_t nodeLength = 0;
  std::vector<ElemRecord> elements = std::vector<ElemRecord>(1);
  // Largest start offset of any record: an insertion beyond it (appending,
  // as a file list does) has no record to shift.
  int32_t lastStart = 0;
};

}  // namespace tavrin
