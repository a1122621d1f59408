#include "quality_scoring.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include <QImage>
#include <QString>
#include <opencv2/imgproc.hpp>

namespace tavrin::quality {

std::string Normalised(const std::string& text) {
  std::string out;
  bool space = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      space = !out.empty();
      continue;
    }
    // The typographic ligatures and dashes tesseract likes to return.
    if (text.compare(i, 3, "\xEF\xAC\x81") == 0) {
      out += space ? " fi" : "fi";
      i += 2;
      space = false;
      continue;
    }
    if (text.compare(i, 3, "\xEF\xAC\x82") == 0) {
      out += space ? " fl" : "fl";
      i += 2;
      space = false;
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += static_cast<char>(c);
  }
  return out;
}

double CharacterErrorRate(const std::string& truth, const std::string& read) {
  const std::string a = Normalised(truth);
  const std::string b = Normalised(read);
  std::vector<int> previous(b.size() + 1);
  std::vector<int> current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); ++j) {
      current[j] = std::min(
          {previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
    std::swap(previous, current);
  }
  return a.empty() ? 0.0 : static_cast<double>(previous[b.size()]) / static_cast<double>(a.size());
}

namespace {

// tesseract binarises with Sauvola's local threshold, so that a lamp's
// fall-off across a colour or grey picture is not what the score measures.
constexpr const char* kOcrOptions = "-c thresholding_method=2";

}  // namespace

std::string Ocr(const fs::path& image) {
  const std::string command = "OMP_THREAD_LIMIT=1 tesseract '" + image.string() +
                              "' stdout -l eng " + kOcrOptions + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  ::pclose(pipe);
  return text;
}

cv::Mat LoadGrey(const fs::path& path) {
  QImage image(QString::fromStdString(path.string()));
  if (image.isNull()) return {};
  image = image.convertToFormat(QImage::Format_Grayscale8);
  return cv::Mat(image.height(), image.width(), CV_8UC1, image.bits(),
                 static_cast<size_t>(image.bytesPerLine()))
      .clone();
}

cv::Mat InkMask(const cv::Mat& grey) {
  cv::Mat paper;
  cv::resize(grey, paper, cv::Size(std::max(1, grey.cols / 8), std::max(1, grey.rows / 8)), 0, 0,
             cv::INTER_AREA);
  cv::dilate(paper, paper, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(9, 9)));
  cv::GaussianBlur(paper, paper, cv::Size(9, 9), 0);
  cv::resize(paper, paper, grey.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat scaled;
  paper.convertTo(scaled, CV_8U, 0.6);
  return grey < scaled;
}

Geometry Measure(const cv::Mat& grey, cv::Size2d pageMm) {
  Geometry g;
  g.aspect =
      100.0 * ((static_cast<double>(grey.cols) / grey.rows) / (pageMm.width / pageMm.height) - 1);
  const double pxPerMm = grey.cols / pageMm.width;
  cv::Mat dark = InkMask(grey);
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(dark, labels, stats, centroids);
  const double expectedArea = CV_PI * std::pow(kMarkRadiusMm * pxPerMm, 2);
  const cv::Point2d expected[4] = {
      {kMarkInsetMm * pxPerMm, kMarkInsetMm * pxPerMm},
      {grey.cols - kMarkInsetMm * pxPerMm, kMarkInsetMm * pxPerMm},
      {grey.cols - kMarkInsetMm * pxPerMm, grey.rows - kMarkInsetMm * pxPerMm},
      {kMarkInsetMm * pxPerMm, grey.rows - kMarkInsetMm * pxPerMm}};
  std::array<cv::Point2d, 4> found{};
  for (size_t corner = 0; corner < 4; ++corner) {
    double best = 15 * pxPerMm;  // a mark further than 15 mm off is lost
    bool any = false;
    for (int i = 1; i < count; ++i) {
      const double area = stats.at<int>(i, cv::CC_STAT_AREA);
      const double w = stats.at<int>(i, cv::CC_STAT_WIDTH);
      const double h = stats.at<int>(i, cv::CC_STAT_HEIGHT);
      if (area < 0.4 * expectedArea || area > 2.5 * expectedArea || w > 1.6 * h || h > 1.6 * w) {
        continue;
      }
      const cv::Point2d c(centroids.at<double>(i, 0), centroids.at<double>(i, 1));
      const double distance = cv::norm(c - expected[corner]);
      if (distance < best) {
        best = distance;
        found[corner] = c;
        any = true;
      }
    }
    if (!any) return g;
  }
  g.marks = true;
  const double across = 0.5 * (cv::norm(found[1] - found[0]) + cv::norm(found[2] - found[3]));
  const double down = 0.5 * (cv::norm(found[3] - found[0]) + cv::norm(found[2] - found[1]));
  const double scaleX = across / (pageMm.width - 2 * kMarkInsetMm);
  const double scaleY = down / (pageMm.height - 2 * kMarkInsetMm);
  g.skew = 0.5 *
           (std::atan2(found[1].y - found[0].y, found[1].x - found[0].x) +
            std::atan2(found[2].y - found[3].y, found[2].x - found[3].x)) *
           180 / CV_PI;
  const double offsets[] = {found[0].x / scaleX,
                            found[3].x / scaleX,
                            (grey.cols - found[1].x) / scaleX,
                            (grey.cols - found[2].x) / scaleX,
                            found[0].y / scaleY,
                            found[1].y / scaleY,
                            (grey.rows - found[2].y) / scaleY,
                            (grey.rows - found[3].y) / scaleY};
  for (double offset : offsets) g.edge = std::max(g.edge, std::abs(offset - kMarkInsetMm));
  return g;
}

}  // namespace tavrin::quality
