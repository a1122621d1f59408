// Parse throughput of MarkupDocument against TinyXML-2 and pugixml on the
// files shared with the data source, and the cost of building a file list
// element by element against the same two building and printing theirs.
// Prints the time ratios at the end.
#include <benchmark/benchmark.h>
#include <tinyxml2.h>

#include <pugixml.hpp>
#include <sstream>

#include <cstdio>
#include <map>
#include <string>

#include "platform/text.h"
#include "xml/markup_document.h"

namespace {

using tavrin::MarkupDocument;

std::string ShowModelXml() {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<cfg>\r\n<ShowMode>1</ShowMode>\r\n"
         "<ColorType>2</ColorType>\r\n<RotateMode>0</RotateMode>\r\n<DPIMode>300</DPIMode>\r\n"
         "</cfg>\r\n";
}

std::u16string FileName(int i) {
  return u"/tmp/tavrin-1000/Tavrin/1_" + tavrin::platform::Utf8ToUtf16(std::to_string(i)) + u".jpg";
}

// Built the way the TWAIN control writes it.
MarkupDocument BuildFileList(int entries) {
  MarkupDocument doc;
  doc.SetDoc(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  doc.AddElem(u"FileList");
  doc.IntoElem();
  for (int i = 0; i < entries; ++i) doc.AddElem(u"FileName", FileName(i));
  return doc;
}

const std::string& Document(int which) {
  static const std::string showModel = ShowModelXml();
  static const std::string fileList = tavrin::platform::Utf16ToUtf8(BuildFileList(10000).GetDoc());
  return which == 0 ? showModel : fileList;
}

const char* DocumentName(int which) {
  return which == 0 ? "ShowModel" : "FileList10000";
}

void BM_MarkupParse(benchmark::State& state) {
  const std::string& utf8 = Document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    // What Load does after the read: convert, then parse.
    MarkupDocument doc;
    const bool ok = doc.SetDoc(tavrin::platform::Utf8ToUtf16(utf8));
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("not well-formed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * utf8.size()));
  state.SetLabel(DocumentName(static_cast<int>(state.range(0))));
}

void BM_MarkupParseOnly(benchmark::State& state) {
  const std::u16string text =
      tavrin::platform::Utf8ToUtf16(Document(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    MarkupDocument doc;
    benchmark::DoNotOptimize(doc.SetDoc(text));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size() * 2));
  state.SetLabel(DocumentName(static_cast<int>(state.range(0))));
}

void BM_TinyXml2Parse(benchmark::State& state) {
  const std::string& utf8 = Document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tinyxml2::XMLDocument doc;
    const auto error = doc.Parse(utf8.data(), utf8.size());
    benchmark::DoNotOptimize(error);
    if (error != tinyxml2::XML_SUCCESS) state.SkipWithError("parse error");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * utf8.size()));
  state.SetLabel(DocumentName(static_cast<int>(state.range(0))));
}

void BM_PugixmlParse(benchmark::State& state) {
  const std::string& utf8 = Document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    pugi::xml_document doc;
    // load_buffer copies, as MarkupDocument and TinyXML-2 keep their own text.
    const pugi::xml_parse_result result =
        doc.load_buffer(utf8.data(), utf8.size(), pugi::parse_default, pugi::encoding_utf8);
    benchmark::DoNotOptimize(result.status);
    if (!result) state.SkipWithError("parse error");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * utf8.size()));
  state.SetLabel(DocumentName(static_cast<int>(state.range(0))));
}

std::string NarrowFileName(int i) {
  return "/tmp/tavrin-1000/Tavrin/1_" + std::to_string(i) + ".jpg";
}

// The peers build the same list and print it, since MarkupDocument's
// AddElem leaves the finished text behind.
void BM_TinyXml2BuildFileList(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  for (auto _ : state) {
    tinyxml2::XMLDocument doc;
    doc.LinkEndChild(doc.NewDeclaration());
    tinyxml2::XMLElement* list = doc.NewElement("FileList");
    doc.LinkEndChild(list);
    for (int i = 0; i < entries; ++i) {
      tinyxml2::XMLElement* name = doc.NewElement("FileName");
      name->SetText(NarrowFileName(i).c_str());
      list->LinkEndChild(name);
    }
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    benchmark::DoNotOptimize(printer.CStr());
  }
  state.SetItemsProcessed(state.iterations() * entries);
}

void BM_PugixmlBuildFileList(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "utf-8";
    pugi::xml_node list = doc.append_child("FileList");
    for (int i = 0; i < entries; ++i)
      list.append_child("FileName").text().set(NarrowFileName(i).c_str());
    std::ostringstream out;
    doc.save(out);
    benchmark::DoNotOptimize(out.str().data());
  }
  state.SetItemsProcessed(state.iterations() * entries);
}

void BM_AddElemFileList(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  for (auto _ : state) {
    MarkupDocument doc = BuildFileList(entries);
    benchmark::DoNotOptimize(doc.GetDoc().data());
  }
  state.SetItemsProcessed(state.iterations() * entries);
}

BENCHMARK(BM_MarkupParse)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MarkupParseOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TinyXml2Parse)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PugixmlParse)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TinyXml2BuildFileList)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlBuildFileList)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddElemFileList)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Keeps the CPU time per iteration of every run, for the ratios; CPU time
// stays steady on a machine shared with other work.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        nanoseconds[run.benchmark_name()] =
            run.GetAdjustedCPUTime() * benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
            benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& ns = reporter.nanoseconds;
  std::printf("\n");
  for (const char* arg : {"0", "1"}) {
    const std::string markup = std::string("BM_MarkupParse/") + arg;
    const std::string only = std::string("BM_MarkupParseOnly/") + arg;
    const std::string tiny = std::string("BM_TinyXml2Parse/") + arg;
    const std::string pugi = std::string("BM_PugixmlParse/") + arg;
    if (ns.count(markup) && ns.count(tiny) && ns[markup] > 0) {
      std::printf(
          "%-14s MarkupDocument/TinyXML-2 CPU time ratio: %.2f with UTF-16 conversion, %.2f "
          "parse only (below 1: MarkupDocument faster)\n",
          DocumentName(arg[0] - '0'), ns[markup] / ns[tiny],
          ns.count(only) ? ns[only] / ns[tiny] : 0.0);
    }
    if (ns.count(markup) && ns.count(pugi) && ns[pugi] > 0) {
      std::printf(
          "%-14s MarkupDocument/pugixml CPU time ratio: %.2f with UTF-16 conversion, %.2f "
          "parse only (below 1: MarkupDocument faster)\n",
          DocumentName(arg[0] - '0'), ns[markup] / ns[pugi],
          ns.count(only) ? ns[only] / ns[pugi] : 0.0);
    }
  }
  {
    const char* ours = "BM_AddElemFileList/10000";
    for (const char* peer : {"BM_TinyXml2BuildFileList/10000", "BM_PugixmlBuildFileList/10000"}) {
      if (ns.count(ours) && ns.count(peer) && ns[peer] > 0)
        std::printf("FileList build of 10000: ours %.2f ms, %s %.2f ms, ratio %.2f\n",
                    ns[ours] / 1e6,
                    std::string(peer).find("Pugi") != std::string::npos ? "pugixml" : "TinyXML-2",
                    ns[peer] / 1e6, ns[ours] / ns[peer]);
    }
  }
  for (const char* arg : {"1000", "10000", "100000"}) {
    const std::string name = std::string("BM_AddElemFileList/") + arg;
    if (ns.count(name)) {
      std::printf("%6s AddElem calls (FileList): %.2f ms\n", arg, ns[name] / 1e6);
    }
  }
  benchmark::Shutdown();
  return 0;
}
