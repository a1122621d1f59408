// Capture processing at document-camera sizes: single-page crop, the
// black-and-white document mode and JPEG output, against ImageMagick
// `convert -deskew 40% -trim -colorspace Gray -threshold 50%` on the same
// frame. The stage benchmarks show what dominates. Prints our time, the
// peer's and the ratio at the end.
//
// Run (ImageMagick is not part of the build's packages):
//   apt-get install imagemagick
//   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BENCH=ON
//   cmake --build build --target tavrin_lens_pipeline_bench
//   build/bin/tavrin_lens_pipeline_bench
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "lens/src/encode.h"
#include "lens/src/stages/color.h"
#include "lens/src/stages/even_light.h"
#include "lens/src/stages/page_detect.h"
#include "lens/src/stages/pipeline.h"
#include "lens/src/virtual/curved_book.h"
#include "lens/src/virtual/scene.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace {

namespace fs = std::filesystem;
using namespace tavrin::lens;

// The document camera's field is 420 mm wide.
constexpr double kFieldWidthInches = 420.0 / 25.4;

const cv::Size kSizes[] = {{3264, 2448}, {4912, 3680}};

int CameraDpi(cv::Size size) {
  return static_cast<int>(size.width / kFieldWidthInches);
}

const cv::Mat& Frame(int which) {
  static std::map<int, cv::Mat> frames;
  auto& frame = frames[which];
  if (frame.empty()) {
    const cv::Size size = kSizes[which];
    frame = synthetic::DrawScene(size, {synthetic::DocumentPage(size, 4.0F)});
  }
  return frame;
}

ProcessingOptions Options() {
  ProcessingOptions options;
  options.autoCrop = 1;
  options.colorMode = 1;
  return options;
}

fs::path WorkFolder() {
  static const fs::path folder = [] {
    fs::path path =
        fs::temp_directory_path() / ("tavrin-pipeline-bench-" + std::to_string(getpid()));
    fs::create_directories(path);
    return path;
  }();
  return folder;
}

std::string Label(int which) {
  const cv::Size size = kSizes[which];
  return std::to_string(size.width) + "x" + std::to_string(size.height) + " (" +
         std::to_string(size.width * size.height / 1000000) + " MP)";
}

void BM_OursCropDocumentJpeg(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const cv::Mat& frame = Frame(which);
  const std::string out = (WorkFolder() / "ours.jpg").string();
  for (auto _ : state) {
    const auto images = RunPipeline(frame, CameraDpi(frame.size()), Options());
    if (images.empty() || !WriteImageFile(out, images[0].image, images[0].dpiX, images[0].dpiY)) {
      state.SkipWithError("pipeline or write failed");
      return;
    }
  }
  state.SetLabel(Label(which));
}

// An open book of two pages of text lines, curved up out of its spine,
// filling the 8 MP frame as a book under the camera does.
const cv::Mat& BookFrame() {
  static const cv::Mat frame = [] {
    const cv::Size size = kSizes[0];
    cv::Mat image(size, CV_8UC3, synthetic::kDeskColour);
    CurvedBook book;
    const cv::Size sheet(1300, 1820);
    for (cv::Mat* page : {&book.left, &book.right}) {
      *page = cv::Mat(sheet, CV_8UC3, synthetic::kPageColour);
      for (int y = 180; y < sheet.height - 150; y += 52) {
        cv::putText(*page, "a line of text on a page of the open book", cv::Point(130, y),
                    cv::FONT_HERSHEY_SIMPLEX, 1.3, synthetic::kInkColour, 3, cv::LINE_AA);
      }
    }
    book.lift = 0.1;
    DrawCurvedBook(image, book);
    return image;
  }();
  return frame;
}

// A spread captured in book crop: found, split, both pages unrolled and
// their gutter lifted, then written as two JPEG files. range(0) is the
// colour mode (0 colour, 1 black-and-white document).
void BM_OursBookSpreadJpeg(benchmark::State& state) {
  const cv::Mat& frame = BookFrame();
  ProcessingOptions options;
  options.autoCrop = 4;
  options.colorMode = static_cast<int>(state.range(0));
  for (auto _ : state) {
    const auto images = RunPipeline(frame, CameraDpi(frame.size()), options);
    if (images.size() != 2) {
      state.SkipWithError("the spread was not split into two pages");
      return;
    }
    for (size_t i = 0; i < images.size(); ++i) {
      const std::string out = (WorkFolder() / ("book" + std::to_string(i) + ".jpg")).string();
      if (!WriteImageFile(out, images[i].image, images[i].dpiX, images[i].dpiY)) {
        state.SkipWithError("write failed");
        return;
      }
    }
  }
  state.SetLabel("3264x2448 (8 MP) book spread, two pages");
}

bool HaveImageMagick() {
  return std::system("convert -version 2>/dev/null | grep -q ImageMagick") == 0;
}

void BM_ConvertCropDocumentJpeg(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  if (!HaveImageMagick()) {
    state.SkipWithError("ImageMagick convert not installed (apt-get install imagemagick)");
    return;
  }
  // PPM: the cheapest file for it to read, so its time is its processing.
  const fs::path input = WorkFolder() / ("frame" + std::to_string(which) + ".ppm");
  if (!fs::exists(input)) {
    const cv::Mat& frame = Frame(which);
    cv::Mat rgb;
    cv::cvtColor(frame, rgb, cv::COLOR_BGR2RGB);
    std::ofstream file(input, std::ios::binary);
    file << "P6\n" << rgb.cols << " " << rgb.rows << "\n255\n";
    file.write(reinterpret_cast<const char*>(rgb.data),
               static_cast<std::streamsize>(rgb.total() * 3));
  }
  const std::string command = "convert '" + input.string() +
                              "' -deskew 40% -trim -colorspace Gray -threshold 50% -quality 90 '" +
                              (WorkFolder() / "convert.jpg").string() + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("convert failed");
      return;
    }
  }
  state.SetLabel(Label(which));
}

// The stages one by one, on the larger frame.
void BM_StageFindPage(benchmark::State& state) {
  const cv::Mat& frame = Frame(1);
  for (auto _ : state) benchmark::DoNotOptimize(FindPages(ToGrey(frame), PageSearch::kLargest));
}

// The same on the colour frame, as a capture looks for its pages.
void BM_StageFindPageColour(benchmark::State& state) {
  const cv::Mat& frame = Frame(1);
  for (auto _ : state) benchmark::DoNotOptimize(FindPages(frame, PageSearch::kLargest));
}

void BM_StageGrey(benchmark::State& state) {
  const cv::Mat& frame = Frame(1);
  for (auto _ : state) benchmark::DoNotOptimize(ToGrey(frame));
}

void BM_StageWarpGrey(benchmark::State& state) {
  const cv::Mat grey = ToGrey(Frame(1));
  const auto pages = FindPages(grey, PageSearch::kLargest);
  WarpRequest request;
  for (auto _ : state) benchmark::DoNotOptimize(WarpPage(grey, pages.at(0), request));
}

void BM_StageDocumentThreshold(benchmark::State& state) {
  const cv::Mat grey = ToGrey(Frame(1));
  const cv::Mat page = WarpPage(grey, FindPages(grey, PageSearch::kLargest).at(0), {});
  for (auto _ : state) benchmark::DoNotOptimize(ApplyColorMode(page, kColorModeDocument));
}

void BM_StageJpegEncode(benchmark::State& state) {
  const cv::Mat grey = ToGrey(Frame(1));
  const cv::Mat bw =
      ApplyColorMode(WarpPage(grey, FindPages(grey, PageSearch::kLargest).at(0), {}), 1);
  std::string bytes;
  for (auto _ : state) {
    EncodeImage(bw, ImageFormat::kJpeg, 300, 300, bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
}

// A page crop of 8 MP under a dim lamp that falls off to one side: the
// evened-out light's input. range(0): 0 colour, 1 grey.
const cv::Mat& DimPage(int grey) {
  static std::map<int, cv::Mat> pages;
  cv::Mat& page = pages[grey];
  if (page.empty()) {
    cv::Mat colour = Frame(0) * 0.5;
    synthetic::ApplyUnevenLight(colour, 0.3);
    page = grey != 0 ? ToGrey(colour) : colour;
  }
  return page;
}

void BM_StageEvenLight(benchmark::State& state) {
  const cv::Mat& page = DimPage(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(EvenOutLight(page));
  state.SetLabel(state.range(0) != 0 ? "3264x2448 (8 MP) grey" : "3264x2448 (8 MP) colour");
}

// The same on one core: what the second core adds.
void BM_StageEvenLightOneCore(benchmark::State& state) {
  const cv::Mat& page = DimPage(static_cast<int>(state.range(0)));
  const int threads = cv::getNumThreads();
  cv::setNumThreads(1);
  for (auto _ : state) benchmark::DoNotOptimize(EvenOutLight(page));
  cv::setNumThreads(threads);
  state.SetLabel(state.range(0) != 0 ? "3264x2448 (8 MP) grey" : "3264x2448 (8 MP) colour");
}

// The page the capture bench single-crops from the virtual document
// camera at 8 MP, cut out with its light kept: the evened-out light's share
// of that capture. range(0): 0 colour, 1 grey.
const cv::Mat& CapturedPage(int grey) {
  static std::map<int, cv::Mat> pages;
  cv::Mat& page = pages[grey];
  if (page.empty()) {
    const cv::Mat frame = RenderScene(Scene::kDocument, {3264, 2448}, 0);
    ProcessingOptions options;
    options.autoCrop = 1;
    options.colorMode = grey != 0 ? kColorModeGrey : kColorModeColor;
    options.evenLight = false;
    const auto images = RunPipeline(frame, CameraDpi(frame.size()), options);
    if (!images.empty()) page = images[0].image.clone();
  }
  return page;
}

void BM_StageEvenLightCapturedPage(benchmark::State& state) {
  const cv::Mat& page = CapturedPage(static_cast<int>(state.range(0)));
  if (page.empty()) {
    state.SkipWithError("no page found on the virtual document camera's frame");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(EvenOutLight(page));
  state.SetLabel(std::to_string(page.cols) + "x" + std::to_string(page.rows) +
                 (state.range(0) != 0 ? " grey" : " colour"));
}

// A plain OpenCV flat field on the same dim page: the paper taken as a
// closing of a copy eight times smaller, blurred and stretched back up,
// and the page divided by it (the least a division of the light takes,
// without the ink, highlight and grain work of ours).
void BM_OpenCvFlatField(benchmark::State& state) {
  const cv::Mat& page = DimPage(0);
  for (auto _ : state) {
    cv::Mat small;
    cv::resize(page, small, cv::Size(page.cols / 8, page.rows / 8), 0, 0, cv::INTER_AREA);
    cv::morphologyEx(small, small, cv::MORPH_CLOSE,
                     cv::getStructuringElement(cv::MORPH_RECT, cv::Size(13, 13)));
    cv::GaussianBlur(small, small, cv::Size(0, 0), 4);
    cv::Mat paper;
    cv::resize(small, paper, page.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat out;
    cv::divide(page, paper, out, 255);
    benchmark::DoNotOptimize(out.data);
  }
  state.SetLabel("3264x2448 (8 MP) colour");
}

// The peer: ImageMagick dividing the page by its paper (a closing of a
// copy eight times smaller, blown up again), the usual flat-field way.
void BM_ConvertEvenLight(benchmark::State& state) {
  if (!HaveImageMagick()) {
    state.SkipWithError("ImageMagick convert not installed (apt-get install imagemagick)");
    return;
  }
  const cv::Mat& page = DimPage(0);
  const fs::path input = WorkFolder() / "dim.ppm";
  if (!fs::exists(input)) {
    cv::Mat rgb;
    cv::cvtColor(page, rgb, cv::COLOR_BGR2RGB);
    std::ofstream file(input, std::ios::binary);
    file << "P6\n" << rgb.cols << " " << rgb.rows << "\n255\n";
    file.write(reinterpret_cast<const char*>(rgb.data),
               static_cast<std::streamsize>(rgb.total() * 3));
  }
  const std::string size = std::to_string(page.cols) + "x" + std::to_string(page.rows) + "!";
  const std::string command = "convert '" + input.string() +
                              "' \\( +clone -resize 12.5% -morphology Close Square:6 -resize " +
                              size + " \\) -compose Divide_Src -composite '" +
                              (WorkFolder() / "even.ppm").string() + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("convert failed");
      return;
    }
  }
  state.SetLabel("3264x2448 (8 MP) colour");
}

BENCHMARK(BM_OursCropDocumentJpeg)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertCropDocumentJpeg)
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_OursBookSpreadJpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageGrey)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageFindPage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageFindPageColour)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageWarpGrey)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageDocumentThreshold)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageJpegEncode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageEvenLight)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageEvenLightOneCore)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenCvFlatField)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StageEvenLightCapturedPage)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ConvertEvenLight)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The load average over the last minute, five and fifteen, as /proc gives it.
std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::array<std::string, 3> loads;
  for (std::string& load : loads) file >> load;
  return loads[0] + " " + loads[1] + " " + loads[2];
}

// Keeps each run's real time so the comparison can be printed at the end.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        milliseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> milliseconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("OpenCV threads: %d\n", cv::getNumThreads());
  const std::string loadBefore = LoadAverage();
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nsingle crop + black-and-white document + JPEG, per frame:\n");
  const auto find = [&](const std::string& prefix) {
    for (const auto& [name, ms] : reporter.milliseconds) {
      if (name.rfind(prefix, 0) == 0) return ms;
    }
    return -1.0;
  };
  for (int which = 0; which < 2; ++which) {
    const std::string arg = "/" + std::to_string(which) + "/";
    const double ours = find("BM_OursCropDocumentJpeg" + arg);
    const double peer = find("BM_ConvertCropDocumentJpeg" + arg);
    if (ours < 0) continue;
    if (peer < 0) {
      std::printf("  %-22s ours %8.1f ms   convert: not run\n", Label(which).c_str(), ours);
      continue;
    }
    std::printf("  %-22s ours %8.1f ms   convert %8.1f ms   convert / ours %6.1fx\n",
                Label(which).c_str(), ours, peer, peer / ours);
  }
  const double evenColour = find("BM_StageEvenLight/0/");
  const double evenGrey = find("BM_StageEvenLight/1/");
  const double evenPeer = find("BM_ConvertEvenLight/");
  if (evenColour >= 0 && evenGrey >= 0) {
    std::printf("\nevened-out light, 3264x2448 (8 MP) page:\n");
    std::printf("  colour %8.1f ms   grey %8.1f ms   convert (colour) ", evenColour, evenGrey);
    if (evenPeer >= 0) {
      std::printf("%8.1f ms   convert / ours %6.1fx\n", evenPeer, evenPeer / evenColour);
    } else {
      std::printf("not run\n");
    }
    const double oneCoreColour = find("BM_StageEvenLightOneCore/0/");
    const double oneCoreGrey = find("BM_StageEvenLightOneCore/1/");
    if (oneCoreColour >= 0 && oneCoreGrey >= 0) {
      std::printf("  on one core: colour %8.1f ms   grey %8.1f ms\n", oneCoreColour, oneCoreGrey);
    }
    const double flatField = find("BM_OpenCvFlatField/");
    if (flatField >= 0) {
      std::printf("  OpenCV flat field (colour) %8.1f ms   flat field / ours %6.2fx\n", flatField,
                  flatField / evenColour);
    }
    const double capturedColour = find("BM_StageEvenLightCapturedPage/0/");
    const double capturedGrey = find("BM_StageEvenLightCapturedPage/1/");
    if (capturedColour >= 0 && capturedGrey >= 0) {
      std::printf("  the capture bench's single-cropped page: colour %8.1f ms   grey %8.1f ms\n",
                  capturedColour, capturedGrey);
    }
    std::printf("  load average %s before, %s after; goal under 60 ms at 8 MP\n",
                loadBefore.c_str(), LoadAverage().c_str());
  }
  std::error_code ignored;
  fs::remove_all(WorkFolder(), ignored);
  benchmark::Shutdown();
  return 0;
}
