#include "xml/markup_document.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "scratch_folder.h"

namespace tavrin {
namespace {

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;
using test::ReadBytes;
using test::ScratchFolder;
using test::WriteBytes;

std::string Result(const MarkupDocument& doc) {
  return Utf16ToUtf8(doc.GetResult());
}
std::u16string U(const std::string& utf8) {
  return Utf8ToUtf16(utf8);
}

// Parse result of a text: (well-formed, message).
std::pair<bool, std::string> ParseOf(const std::string& text) {
  MarkupDocument doc;
  const bool ok = doc.SetDoc(U(text));
  EXPECT_EQ(ok, doc.IsWellFormed());
  return {ok, Result(doc)};
}

TEST(MarkupWellFormed, DocumentLevelErrors) {
  EXPECT_EQ(ParseOf(""), std::make_pair(false, std::string("Empty document")));
  EXPECT_EQ(ParseOf("<?xml version=\"1.0\"?>\r\n"),
            std::make_pair(false, std::string("No root element")));
  EXPECT_EQ(ParseOf("<a/><b/>"), std::make_pair(false, std::string("Root element has sibling")));
  EXPECT_EQ(ParseOf("<a/>"), std::make_pair(true, std::string()));
}

TEST(MarkupWellFormed, TagMismatchMessagesCarryOffsets) {
  // The unclosed b is named with its '<'; the end tag by the '/' before its name.
  EXPECT_EQ(ParseOf("<a><b></a>"),
            std::make_pair(false, std::string("End tag 'a' at offset 7 does not match start "
                                              "tag 'b' at offset 3")));
  // With two unclosed elements the innermost is reported first.
  EXPECT_EQ(ParseOf("<a><b><c></a>").second,
            "End tag 'a' at offset 10 does not match start tag 'c' at offset 6");
  EXPECT_EQ(ParseOf("<a></b></a>"),
            std::make_pair(false, std::string("No start tag for end tag 'b' at offset 3")));
  EXPECT_EQ(ParseOf("<a><b>"),
            std::make_pair(false, std::string("Element 'b' at offset 3 not ended")));
}

TEST(MarkupWellFormed, IncorrectAndUnterminatedNodes) {
  const std::pair<const char*, const char*> cases[] = {
      {"<a><1/></a>", "Incorrect tag name character at offset 3"},
      {"<a>< b/></a>", "Incorrect tag name character at offset 3"},
      {"<a><!x></a>", "Incorrect ! tag at offset 3"},
      {"<a><!-x--></a>", "Incorrect comment tag at offset 3"},
      {"<a><![x[]]></a>", "Incorrect tag at offset 3"},
      {"<a><!-- x", "Comment at offset 3 unterminated"},
      {"<a><![CDATA[x", "CDATA Section at offset 3 unterminated"},
      {"<a><?pi", "Processing instruction at offset 3 unterminated"},
      {"<a></a", "Element end tag at offset 3 unterminated"},
      {"<a x='>", "Element tag at offset 0 unterminated"},
      {"<!DOCTYPE a [ <!ENTITY x 'y'> ", "Doctype at offset 0 unterminated"},
      {"<!ELEMENT a", "Doctype at offset 0 unterminated"},
      {"<a><", "tag at offset 3 unterminated"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseOf(text), std::make_pair(false, std::string(message)));
  }
}

TEST(MarkupWellFormed, EveryNodeKindIsSkipped) {
  EXPECT_TRUE(ParseOf("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c -->"
                      "<!DOCTYPE a [<!ENTITY e \"x>y\"> <!-- ] > -->]>\n"
                      "<a k=\"1>2\" j='<'>text<![CDATA[<x></a>]]><?pi x?><!--c-->"
                      "<b\n/><c x=\"1\"/></a>\n<!-- after -->")
                  .first);
  // Names start with letters, ':' '_', or anything above ASCII.
  EXPECT_TRUE(ParseOf("<_a><:b/><{c/><\xC3\xA9/><\xE4\xB8\xAD/></_a>").first);
}

TEST(MarkupWellFormed, HundredThousandLevelsDoNotNeedTheStack) {
  constexpr int kDepth = 100000;
  std::string text;
  for (int i = 0; i < kDepth; ++i) text += "<a>";
  text += "deep";
  for (int i = 0; i < kDepth; ++i) text += "</a>";
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(U(text)));
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_TRUE(doc.FindElem(u"a"));
    ASSERT_TRUE(doc.IntoElem());
  }
  EXPECT_FALSE(doc.FindElem(u"a"));

  // Unclosed all the way down: reported, not crashed.
  MarkupDocument open;
  EXPECT_FALSE(open.SetDoc(U(text.substr(0, kDepth * 3))));
  EXPECT_EQ(Result(open), "Element 'a' at offset 299997 not ended");
}

TEST(MarkupFindElem, ContinuesAfterTheCurrentElement) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(u"<cfg><B>1</B><A>2</A></cfg>"));
  EXPECT_FALSE(doc.IntoElem());  // no current element yet
  ASSERT_TRUE(doc.FindElem(u"cfg"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem(u"A"));
  EXPECT_EQ(doc.GetData(), u"2");
  EXPECT_FALSE(doc.FindElem(u"B"));   // B lies before A
  EXPECT_EQ(doc.GetTagName(), u"A");  // a failed search moves nothing

  doc.ResetPos();
  ASSERT_TRUE(doc.FindElem());
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem());  // any name: the first child
  EXPECT_EQ(doc.GetTagName(), u"B");
}

TEST(MarkupFindElem, NamesCompareWholeAndCaseSensitive) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(u"<r><ab/><a x='1'/><A/></r>"));
  ASSERT_TRUE(doc.FindElem(u"r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem(u"a"));  // not "ab"
  EXPECT_EQ(doc.GetTagName(), u"a");
  EXPECT_FALSE(doc.FindElem(u"a"));  // "A" differs in case
  doc.ResetPos();
  ASSERT_TRUE(doc.FindElem(u"r"));
  ASSERT_TRUE(doc.IntoElem());
  EXPECT_TRUE(doc.FindElem(u"a[1]"));  // a predicate suffix still matches the name
  EXPECT_EQ(doc.GetTagName(), u"a");
  EXPECT_FALSE(doc.FindElem(u"Ax"));
}

std::u16string DataOf(const std::string& text) {
  MarkupDocument doc;
  EXPECT_TRUE(doc.SetDoc(U(text))) << text;
  EXPECT_TRUE(doc.FindElem());
  return doc.GetData();
}

TEST(MarkupGetData, DecodesEntitiesAndKeepsCdata) {
  EXPECT_EQ(DataOf("<a>a&amp;b</a>"), u"a&b");
  EXPECT_EQ(DataOf("<a><![CDATA[1<2]]></a>"), u"1<2");
  EXPECT_EQ(DataOf("<a><b>x</b></a>"), u"");
  EXPECT_EQ(DataOf("<a/>"), u"");
  EXPECT_EQ(DataOf("<a></a>"), u"");
  EXPECT_EQ(DataOf("<a>&lt;&gt;&apos;&quot;&#65;&#x42;&#0;&#12345678;&#;&bogus;&</a>"),
            u"<>'\"AB&#0;&#12345678;&#;&bogus;&");
  // Comments, instructions and blank runs drop out; CDATA stays raw.
  EXPECT_EQ(DataOf("<a>x <!-- c --> y<?p?><![CDATA[&amp;]]> \n </a>"), u"x  y&amp;");
  EXPECT_EQ(DataOf("<a> <!--c--> </a>"), u"");
}

TEST(MarkupGetData, ReferencesBeyondTheBmpBecomeSurrogatePairs) {
  EXPECT_EQ(DataOf("<a>&#x1F600;&#128512;</a>"), u"\U0001F600\U0001F600");
  // A lone surrogate or a value beyond Unicode would corrupt the text.
  EXPECT_EQ(DataOf("<a>&#xD800;&#x110000;</a>"), u"\uFFFD\uFFFD");
}

// Navigation over the live, edited index must agree with a fresh parse of
// the edited text.
void ExpectIndexMatchesReparse(const MarkupDocument& edited) {
  MarkupDocument fresh;
  ASSERT_TRUE(fresh.SetDoc(edited.GetDoc())) << Utf16ToUtf8(edited.GetDoc());
  MarkupDocument live = edited;
  live.ResetPos();
  // Walk both depth-first with an explicit list of (name, data).
  auto walk = [](MarkupDocument& doc) {
    std::u16string trail;
    for (int depth = 0; depth < 64; ++depth) {
      MarkupDocument level = doc;
      int count = 0;
      while (level.FindElem()) {
        trail += level.GetTagName() + u"=" + level.GetData() + u";";
        ++count;
      }
      trail += u"|";
      if (!doc.FindElem() || !doc.IntoElem()) break;
    }
    return trail;
  };
  EXPECT_EQ(walk(live), walk(fresh));
}

TEST(MarkupAddElem, IntoAnEmptyElementTag) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(u"<root/>"));
  ASSERT_TRUE(doc.FindElem(u"root"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem(u"x", u"1"));
  EXPECT_EQ(doc.GetDoc(), u"<root>\r\n<x>1</x>\r\n</root>");
  EXPECT_EQ(doc.GetData(), u"1");
  ASSERT_TRUE(doc.AddElem(u"y"));
  EXPECT_EQ(doc.GetDoc(), u"<root>\r\n<x>1</x>\r\n<y/>\r\n</root>");
  EXPECT_TRUE(doc.IsWellFormed());
  ExpectIndexMatchesReparse(doc);
}

TEST(MarkupAddElem, IntoAnEmptyStartEndPair) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(u"<r><root a='1'></root><tail>t</tail></r>"));
  ASSERT_TRUE(doc.FindElem(u"r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem(u"root"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem(u"x"));
  EXPECT_EQ(doc.GetDoc(), u"<r><root a='1'>\r\n<x/>\r\n</root><tail>t</tail></r>");
  ExpectIndexMatchesReparse(doc);
}

TEST(MarkupAddElem, AfterTheCurrentElement) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(u"<r><a/>\n  <c>3</c></r>"));
  ASSERT_TRUE(doc.FindElem(u"r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem(u"a"));
  ASSERT_TRUE(doc.AddElem(u"b", u"2"));
  // Past the blank run that leads to the next tag.
  EXPECT_EQ(doc.GetDoc(), u"<r><a/>\n  <b>2</b>\r\n<c>3</c></r>");
  ASSERT_TRUE(doc.FindElem(u"c"));  // the sibling chain goes on after b
  EXPECT_EQ(doc.GetData(), u"3");
  ExpectIndexMatchesReparse(doc);

  // Text after the blank run: the new element goes right after the current one.
  ASSERT_TRUE(doc.SetDoc(u"<r><a/> t<c/></r>"));
  ASSERT_TRUE(doc.FindElem(u"r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem(u"a"));
  ASSERT_TRUE(doc.AddElem(u"b"));
  EXPECT_EQ(doc.GetDoc(), u"<r><a/><b/>\r\n t<c/></r>");
  ExpectIndexMatchesReparse(doc);
}

TEST(MarkupAddElem, AtTheEndOfContentAndAtDocumentLevel) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(u"<r>text</r>"));
  ASSERT_TRUE(doc.FindElem());
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem(u"b"));
  EXPECT_EQ(doc.GetDoc(), u"<r>text<b/>\r\n</r>");

  MarkupDocument empty;
  EXPECT_FALSE(empty.SetDoc());
  ASSERT_TRUE(empty.AddElem(u"a", u"1"));
  EXPECT_EQ(empty.GetDoc(), u"<a>1</a>\r\n");
  EXPECT_TRUE(empty.IsWellFormed());
}

TEST(MarkupAddElem, EncodesDataAndRefusesBrokenNames) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.AddElem(u"p", u"a<b&c>\"d'"));
  EXPECT_EQ(doc.GetDoc(), u"<p>a&lt;b&amp;c&gt;\"d'</p>\r\n");
  EXPECT_EQ(doc.GetData(), u"a<b&c>\"d'");

  MarkupDocument options;
  ASSERT_TRUE(options.AddElem(u"r"));
  ASSERT_TRUE(options.IntoElem());
  ASSERT_TRUE(options.AddElem(u"q", u"\"'", MarkupDocument::kEncodeQuotes));
  ASSERT_TRUE(options.AddElem(u"e", u"&amp; & &#65;", MarkupDocument::kPassReferences));
  ASSERT_TRUE(options.AddElem(u"c", u"a]]>b<", MarkupDocument::kDataAsCdata));
  EXPECT_EQ(options.GetDoc(),
            u"<r>\r\n<q>&quot;&apos;</q>\r\n<e>&amp; &amp; &#65;</e>\r\n"
            u"<c><![CDATA[a]]]]><![CDATA[>b<]]></c>\r\n</r>\r\n");
  EXPECT_EQ(options.GetData(), u"a]]>b<");
  ExpectIndexMatchesReparse(options);

  // Found by fuzzing: an empty-element parent whose name holds a quote
  // cannot be given an end tag that parses back.
  MarkupDocument quoted;
  ASSERT_TRUE(quoted.SetDoc(u"<a\" b\"/>"));
  ASSERT_TRUE(quoted.FindElem());
  ASSERT_TRUE(quoted.IntoElem());
  EXPECT_FALSE(quoted.AddElem(u"n"));
  EXPECT_EQ(quoted.GetDoc(), u"<a\" b\"/>");
  EXPECT_TRUE(quoted.IsWellFormed());

  for (const char16_t* bad : {u"", u"a b", u"<x", u"1a", u"a>", u"a/", u"a\"", u"!x"}) {
    EXPECT_FALSE(doc.AddElem(bad)) << Utf16ToUtf8(bad);
  }
  EXPECT_EQ(doc.GetDoc(), u"<p>a&lt;b&amp;c&gt;\"d'</p>\r\n");
}

TEST(MarkupAddElem, NestedEditsKeepEveryOffset) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(u"<?xml version=\"1.0\"?><a><k>1</k></a>"));
  ASSERT_TRUE(doc.FindElem(u"a"));
  ASSERT_TRUE(doc.IntoElem());
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(doc.AddElem(u"g", i % 2 ? u"" : u"v"));
    if (i % 2 == 0) continue;
    // Descend into an empty element, grow it, and come back to a fresh walk.
    MarkupDocument inner = doc;
    ASSERT_TRUE(inner.IntoElem());
    ASSERT_TRUE(inner.AddElem(u"h", u"\u4E2D\U0001F600"));
    ASSERT_TRUE(inner.AddElem(u"h"));
    doc = inner;
    doc.ResetPos();
    ASSERT_TRUE(doc.FindElem(u"a"));
    ASSERT_TRUE(doc.IntoElem());
    while (doc.FindElem()) {
    }
    doc.ResetPos();
    ASSERT_TRUE(doc.FindElem(u"a"));
    ASSERT_TRUE(doc.IntoElem());
    for (int j = 0; j <= i + 1; ++j) ASSERT_TRUE(doc.FindElem());
  }
  EXPECT_TRUE(doc.IsWellFormed());
  ExpectIndexMatchesReparse(doc);
}

TEST(MarkupAddElem, FileListComesOutInFourCrlfLines) {
  MarkupDocument doc;
  doc.SetDoc(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  ASSERT_TRUE(doc.AddElem(u"FileList"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem(u"FileName", u"/tmp/Tavrin/1_100&2.jpg"));
  ASSERT_TRUE(doc.AddElem(u"FileName", U("/tmp/Tavrin/\xE4\xB8\xAD_101.jpg")));
  EXPECT_EQ(Utf16ToUtf8(doc.GetDoc()),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><FileList>\r\n"
            "<FileName>/tmp/Tavrin/1_100&amp;2.jpg</FileName>\r\n"
            "<FileName>/tmp/Tavrin/\xE4\xB8\xAD_101.jpg</FileName>\r\n"
            "</FileList>\r\n");
  EXPECT_TRUE(doc.IsWellFormed());
}

TEST(MarkupFiles, LoadReportsCountsAndErrors) {
  ScratchFolder folder;
  const std::string bom = folder.File("bom.xml");
  WriteBytes(bom, "\xEF\xBB\xBF<a>x</a>");
  MarkupDocument doc;
  EXPECT_TRUE(doc.Load(U(bom)));
  EXPECT_EQ(Result(doc), "11 bytes to 9 wide chars");
  ASSERT_TRUE(doc.FindElem(u"a"));
  EXPECT_EQ(doc.GetData(), u"x");

  const std::string empty = folder.File("empty.xml");
  WriteBytes(empty, "");
  EXPECT_FALSE(doc.Load(U(empty)));
  EXPECT_EQ(Result(doc), "0 bytes to 0 wide chars, Empty document");

  EXPECT_FALSE(doc.Load(U(folder.File("missing.xml"))));
  EXPECT_EQ(Result(doc), "No such file or directory");
  EXPECT_FALSE(doc.Load(U(folder.path)));
  EXPECT_EQ(Result(doc), "Is a directory");
}

TEST(MarkupFiles, OffsetsCountUtf16Units) {
  ScratchFolder folder;
  const std::string file = folder.File("wide.xml");
  // 中 and 文 are one unit each, the emoji two.
  WriteBytes(file, "<r>\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80<b></r>");
  MarkupDocument doc;
  EXPECT_FALSE(doc.Load(U(file)));
  EXPECT_EQ(Result(doc),
            "20 bytes to 14 wide chars, End tag 'r' at offset 11 does not match start tag 'b' "
            "at offset 7");

  // Bytes that are not UTF-8 become U+FFFD and do not stop the parse.
  WriteBytes(file, "<a>\xFF\xC0</a>");
  EXPECT_TRUE(doc.Load(U(file)));
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetData().size(), 2u);
  EXPECT_EQ(doc.GetData()[0], u'\uFFFD');
}

TEST(MarkupFiles, SaveWritesUtf8AndReplacesTheOldFile) {
  ScratchFolder folder;
  const std::string file = folder.File("FileList.xml");
  WriteBytes(file, "old");
  MarkupDocument doc;
  doc.SetDoc(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  ASSERT_TRUE(doc.AddElem(u"FileList"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem(u"FileName", U("/x/\xE4\xB8\xAD.jpg")));
  ASSERT_TRUE(doc.Save(U(file)));
  const std::string bytes = ReadBytes(file);
  EXPECT_EQ(bytes, Utf16ToUtf8(doc.GetDoc()));
  EXPECT_EQ(Result(doc), std::to_string(doc.GetDoc().size()) + " wide chars to " +
                             std::to_string(bytes.size()) + " bytes");

  MarkupDocument back;
  ASSERT_TRUE(back.Load(U(file)));
  EXPECT_EQ(back.GetDoc(), doc.GetDoc());
  // Without a path the loaded file is written again.
  ASSERT_TRUE(back.AddElem(u"x"));
  EXPECT_FALSE(back.IsWellFormed());  // now two roots, saved all the same
  ASSERT_TRUE(back.Save());
  EXPECT_EQ(ReadBytes(file), Utf16ToUtf8(back.GetDoc()));

  MarkupDocument none;
  EXPECT_FALSE(none.Save());
  EXPECT_FALSE(doc.Save(U(folder.File("no/such/folder.xml"))));
  EXPECT_FALSE(doc.GetResult().empty());
}

TEST(MarkupFiles, FailedSaveLeavesTheOldFileWhole) {
  ScratchFolder folder;
  if (!folder.MountTmpfs(64)) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const std::string file = folder.File("FileList.xml");
  WriteBytes(file, "<old/>");
  test::FillDisk(folder.File("filler"));
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(U("<a>" + std::string(20000, 'x') + "</a>")));
  EXPECT_FALSE(doc.Save(U(file)));
  EXPECT_NE(Result(doc).find("No space left on device"), std::string::npos) << Result(doc);
  EXPECT_EQ(ReadBytes(file), "<old/>");

  ASSERT_TRUE(folder.RemountReadOnly());
  EXPECT_FALSE(doc.Save(U(file)));
  EXPECT_NE(Result(doc).find("Read-only file system"), std::string::npos) << Result(doc);
  EXPECT_EQ(ReadBytes(file), "<old/>");
}

}  // namespace
}  // namespace tavrin
