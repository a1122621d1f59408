#include "quality_scene.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/page_detect.h"
#include "lens/src/stages/text_raster.h"

namespace tavrin::quality {

// ---- the clean page ---------------------------------------------------------

namespace {

int MmToPagePixels(double mm) {
  return static_cast<int>(std::lround(mm / 25.4 * kPageDpi));
}

}  // namespace

CleanPage RenderPage(const cv::Scalar& paper, cv::Size2d pageMm, size_t first, size_t count,
                     const PageStyle& setting) {
  CleanPage page;
  page.image = cv::Mat(MmToPagePixels(pageMm.height), MmToPagePixels(pageMm.width), CV_8UC3, paper);
  tavrin::lens::TextStyle style;
  style.family = setting.family;
  style.pixelSize = static_cast<int>(std::lround(setting.points / 72 * kPageDpi));
  const int left = MmToPagePixels(setting.marginMm);
  const int right = page.image.cols - left;
  double baseline = MmToPagePixels(std::max(setting.marginMm, 2 * kMarkInsetMm)) + style.pixelSize;
  const double lineStep = 1.45 * style.pixelSize;
  const auto draw = [&](const std::string& line) {
    const auto raster = tavrin::lens::RasterizeText(line, style);
    if (!raster) return;
    const cv::Point origin(left - static_cast<int>(raster->origin.x),
                           static_cast<int>(baseline - raster->ascent - raster->origin.y));
    const cv::Rect place = cv::Rect(origin, raster->coverage.size()) &
                           cv::Rect(0, 0, page.image.cols, page.image.rows);
    cv::Mat target = page.image(place);
    const cv::Mat coverage = raster->coverage(cv::Rect(place.tl() - origin, place.size()));
    for (int y = 0; y < target.rows; ++y) {
      for (int x = 0; x < target.cols; ++x) {
        const double a = coverage.at<uchar>(y, x) / 255.0;
        cv::Vec3b& p = target.at<cv::Vec3b>(y, x);
        for (int c = 0; c < 3; ++c) {
          p[c] = cv::saturate_cast<uchar>(p[c] * (1 - a) + setting.ink * a);
        }
      }
    }
    page.text += (page.text.empty() ? "" : " ") + line;
    baseline += lineStep;
  };
  for (size_t p = first; p < std::min(first + count, std::size(kParagraphs)); ++p) {
    std::istringstream words(kParagraphs[p]);
    std::string word;
    std::string line;
    while (words >> word) {
      const std::string longer = line.empty() ? word : line + " " + word;
      const auto raster = tavrin::lens::RasterizeText(longer, style);
      if (raster && left + raster->advance > right && !line.empty()) {
        draw(line);
        line = word;
      } else {
        line = longer;
      }
    }
    if (!line.empty()) draw(line);
    baseline += 0.6 * lineStep;
  }
  // Registration marks near the corners: where the crop's edges are, and
  // how straight the page came out.
  const int inset = MmToPagePixels(kMarkInsetMm);
  const int radius = MmToPagePixels(kMarkRadiusMm);
  for (const cv::Point centre : {cv::Point(inset, inset), cv::Point(page.image.cols - inset, inset),
                                 cv::Point(page.image.cols - inset, page.image.rows - inset),
                                 cv::Point(inset, page.image.rows - inset)}) {
    cv::circle(page.image, centre, radius, cv::Scalar(20, 20, 20), cv::FILLED, cv::LINE_AA);
  }
  return page;
}

// ---- the frame ----------------------------------------------------------------

double FocalPixels() {
  return tavrin::lens::DefaultFocalPixels(kFrame.width);
}

namespace {

// Desk millimetres (origin at the middle of the camera's field) to frame
// pixels, through a pinhole camera tilted by the scene's angles.
cv::Matx33d DeskToFrame(const Scene& scene) {
  const double rx = scene.tiltX * CV_PI / 180;
  const double ry = scene.tiltY * CV_PI / 180;
  const cv::Matx33d turnX(1, 0, 0, 0, std::cos(rx), -std::sin(rx), 0, std::sin(rx), std::cos(rx));
  const cv::Matx33d turnY(std::cos(ry), 0, std::sin(ry), 0, 1, 0, -std::sin(ry), 0, std::cos(ry));
  const cv::Matx33d r = turnX * turnY;
  const double f = FocalPixels();
  const double distance = f * kFieldWidthMm / kFrame.width;  // mm from the camera
  const cv::Matx33d k(f, 0, kFrame.width / 2.0, 0, f, kFrame.height / 2.0, 0, 0, 1);
  const cv::Matx33d rt(r(0, 0), r(0, 1), 0, r(1, 0), r(1, 1), 0, r(2, 0), r(2, 1), distance);
  return k * rt;
}

// Page millimetres (origin at the page's centre) to desk millimetres.
cv::Matx33d PageToDesk(double turnDegrees, cv::Point2d centreMm) {
  const double rz = turnDegrees * CV_PI / 180;
  return {std::cos(rz), -std::sin(rz), centreMm.x, std::sin(rz), std::cos(rz), centreMm.y, 0, 0, 1};
}

}  // namespace

cv::Mat DrawDesk(const std::string& kind, cv::RNG& rng) {
  cv::Mat desk(kFrame, CV_8UC3);
  if (kind == "dark-wood" || kind == "cork") {
    cv::Mat noise(kFrame.height / 8, kFrame.width / 8, CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0, 1);
    cv::Mat grain;
    if (kind == "dark-wood") {
      cv::GaussianBlur(noise, grain, cv::Size(0, 0), 12, 1.2);  // long grain along x
    } else {
      cv::GaussianBlur(noise, grain, cv::Size(0, 0), 1.0);  // speckle
    }
    cv::resize(grain, grain, kFrame, 0, 0, cv::INTER_CUBIC);
    const cv::Scalar base =
        kind == "dark-wood" ? cv::Scalar(45, 75, 115) : cv::Scalar(95, 140, 180);
    const double depth = kind == "dark-wood" ? 60 : 90;
    for (int y = 0; y < kFrame.height; ++y) {
      for (int x = 0; x < kFrame.width; ++x) {
        const double g = grain.at<float>(y, x) * depth;
        desk.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(base[0] + 0.5 * g),
                                             cv::saturate_cast<uchar>(base[1] + 0.8 * g),
                                             cv::saturate_cast<uchar>(base[2] + g));
      }
    }
  } else if (kind == "checks") {
    for (int y = 0; y < kFrame.height; ++y) {
      for (int x = 0; x < kFrame.width; ++x) {
        const bool dark = ((x / 90) + (y / 90)) % 2 == 0;
        desk.at<cv::Vec3b>(y, x) = dark ? cv::Vec3b(150, 160, 170) : cv::Vec3b(215, 220, 224);
      }
    }
  } else if (kind == "white") {
    desk.setTo(cv::Scalar(238, 239, 240));
  } else {
    desk.setTo(cv::Scalar(196, 200, 203));  // light grey
  }
  return desk;
}

Frame DrawFrame(const Scene& scene, const cv::Mat& cleanPage, unsigned seed) {
  return DrawPages(scene, {{cleanPage, scene.pageMm, {0, 0}, scene.turn}}, seed);
}

Frame DrawPages(const Scene& scene, const std::vector<LaidPage>& pages, unsigned seed) {
  cv::RNG rng(seed);
  Frame frame;
  frame.image = DrawDesk(scene.desk, rng);
  cv::Mat laidF;
  frame.image.convertTo(laidF, CV_32FC3);
  cv::Mat paperAlpha(kFrame, CV_32F, cv::Scalar(0));
  for (size_t n = 0; n < pages.size(); ++n) {
    const LaidPage& laidPage = pages[n];
    const cv::Matx33d toFrame = DeskToFrame(scene) * PageToDesk(laidPage.turn, laidPage.centreMm);
    // The page at about the frame's scale first: a warp that shrinks a lot
    // samples too sparsely.
    const double framePixelsPerMm = kFrame.width / kFieldWidthMm;
    cv::Mat page;
    cv::resize(laidPage.clean, page,
               cv::Size(static_cast<int>(laidPage.mm.width * framePixelsPerMm),
                        static_cast<int>(laidPage.mm.height * framePixelsPerMm)),
               0, 0, cv::INTER_AREA);
    const double perMmX = page.cols / laidPage.mm.width;
    const double perMmY = page.rows / laidPage.mm.height;
    if (scene.fold > 0) {
      // A valley fold lit from above: a bright ridge on one side, a narrow
      // shaded line on the other, each about a millimetre wide.
      for (int y = 0; y < page.rows; ++y) {
        const double t = (y + 0.5) / perMmY - laidPage.mm.height / 2;
        const double lit = 0.5 * std::exp(-std::pow((t + 0.8) / 0.6, 2));
        const double shaded = std::exp(-std::pow((t - 0.4) / 0.5, 2));
        const double factor = 1 + scene.fold * (lit - shaded);
        if (std::abs(factor - 1) > 1e-4) {
          cv::Mat row = page.row(y);
          row.convertTo(row, -1, factor);
        }
      }
    }
    // page pixel centres -> page mm (centred) -> frame pixel centres
    const cv::Matx33d pageToMm(1 / perMmX, 0, 0.5 / perMmX - laidPage.mm.width / 2, 0, 1 / perMmY,
                               0.5 / perMmY - laidPage.mm.height / 2, 0, 0, 1);
    const cv::Matx33d shift(1, 0, -0.5, 0, 1, -0.5, 0, 0, 1);
    const cv::Matx33d h = shift * toFrame * pageToMm;
    const double w = laidPage.mm.width / 2;
    const double hh = laidPage.mm.height / 2;
    const cv::Point2d cornersMm[4] = {{-w, -hh}, {w, -hh}, {w, hh}, {-w, hh}};
    for (size_t i = 0; i < 4 && n == 0; ++i) {
      const cv::Vec3d p = toFrame * cv::Vec3d(cornersMm[i].x, cornersMm[i].y, 1);
      frame.corners[i] =
          cv::Point2f(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
    }
    cv::Mat laid;
    cv::Mat alpha;
    cv::warpPerspective(page, laid, cv::Mat(h), kFrame, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::warpPerspective(cv::Mat(page.size(), CV_32F, cv::Scalar(1)), alpha, cv::Mat(h), kFrame,
                        cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::Mat laidPageF;
    laid.convertTo(laidPageF, CV_32FC3);
    cv::Mat alpha3;
    cv::cvtColor(alpha, alpha3, cv::COLOR_GRAY2BGR);
    cv::Mat keep3;
    cv::subtract(cv::Scalar::all(1.0), alpha3, keep3);
    laidF = laidF.mul(keep3) + laidPageF.mul(alpha3);
    // The paper's thin shadow, down and to the right, dims what lies there.
    cv::Mat cast;
    cv::warpAffine(alpha, cast, cv::Mat(cv::Matx23d(1, 0, 5, 0, 1, 7)), kFrame);
    cv::GaussianBlur(cast, cast, cv::Size(0, 0), 5);
    paperAlpha = cv::max(paperAlpha, alpha);
    if (laidPage.beside) cast = cast.mul(1.0 - paperAlpha);
    cv::Mat under = 1.0 - 0.25 * cast;
    cv::Mat under3;
    cv::cvtColor(under, under3, cv::COLOR_GRAY2BGR);
    laidF = laidF.mul(under3);
  }

  // The light over desk and paper alike: a lamp's fall-off from the left
  // and towards the far corner, the lens's vignette, a soft shadow across
  // the middle, the overall level.
  cv::Mat light(kFrame, CV_32F);
  const double halfDiagonal = std::hypot(kFrame.width / 2.0, kFrame.height / 2.0);
  const double diagonal = 2 * halfDiagonal;
  for (int y = 0; y < kFrame.height; ++y) {
    for (int x = 0; x < kFrame.width; ++x) {
      const double fromNear = std::hypot(x, kFrame.height - y) / diagonal;
      const double fromMiddle =
          std::hypot(x - kFrame.width / 2.0, y - kFrame.height / 2.0) / halfDiagonal;
      light.at<float>(y, x) = static_cast<float>(scene.dim * (1.0 - scene.lamp * x / kFrame.width) *
                                                 (1.0 - scene.corner * fromNear) *
                                                 (1.0 - scene.vignette * fromMiddle * fromMiddle));
    }
  }
  if (scene.shadow > 0) {
    cv::Mat shade(kFrame, CV_32F, cv::Scalar(0));
    cv::ellipse(shade, cv::Point(kFrame.width * 62 / 100, kFrame.height * 55 / 100),
                cv::Size(kFrame.width / 5, kFrame.height / 9), -30, 0, 360, cv::Scalar(1),
                cv::FILLED);
    cv::GaussianBlur(shade, shade, cv::Size(0, 0), 60);
    light = light.mul(1.0 - scene.shadow * shade);
  }
  cv::Mat light3;
  cv::cvtColor(light, light3, cv::COLOR_GRAY2BGR);
  cv::Mat scene3 = laidF.mul(light3);
  if (scene.warm > 0) {
    cv::multiply(scene3, cv::Scalar(1.0 - scene.warm, 1.0 - scene.warm / 2, 1.0), scene3);
  }
  if (scene.gloss > 0) {
    // The lamp mirrored in the sheet: a soft bright patch, on paper only.
    cv::Mat patch(kFrame, CV_32F, cv::Scalar(0));
    cv::ellipse(patch, cv::Point(kFrame.width * 46 / 100, kFrame.height * 42 / 100),
                cv::Size(kFrame.width / 9, kFrame.height / 7), 20, 0, 360, cv::Scalar(1),
                cv::FILLED);
    cv::GaussianBlur(patch, patch, cv::Size(0, 0), 70);
    cv::Mat added = patch.mul(paperAlpha) * (255.0 * scene.gloss);
    cv::Mat added3;
    cv::cvtColor(added, added3, cv::COLOR_GRAY2BGR);
    scene3 += added3;
  }
  // Lens blur, then sensor noise that grows a little with the light.
  cv::GaussianBlur(scene3, scene3, cv::Size(0, 0), 1.1);
  cv::Mat noise(kFrame, CV_32FC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 1);
  cv::Mat spread;
  cv::sqrt(cv::max(scene3, 1.0), spread);
  scene3 += noise.mul(spread * 0.25 + 1.5) * scene.grain;
  scene3.convertTo(frame.image, CV_8UC3);
  return frame;
}

bool WriteJpeg(const cv::Mat& bgr, const fs::path& path, int quality) {
  tjhandle handle = tjInitCompress();
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  const int status = tjCompress2(handle, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows,
                                 TJPF_BGR, &bytes, &size, TJSAMP_422, quality, TJFLAG_FASTDCT);
  tjDestroy(handle);
  if (status != 0) return false;
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  tjFree(bytes);
  return static_cast<bool>(file);
}

}  // namespace tavrin::quality
