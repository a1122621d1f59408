#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/color.h"
#include "lens/src/stages/page_detect.h"
#include "lens/src/stages/pipeline.h"
#include "tests/lens_stages/synthetic_scene.h"

namespace tavrin::lens {
namespace {

using synthetic::DrawnPage;

const cv::Size kFrame(960, 720);

// Grey level halfway between the desk (about 90) and the paper (about 238).
constexpr int kDeskOrPaper = 165;

// The outermost rows and columns hold only paper: no desk left in.
// A book's gutter may reach the edge: gutterShare of the width in the
// middle is left out then.
bool BorderIsPaper(const cv::Mat& image, int depth = 2, double gutterShare = 0.0) {
  const cv::Mat grey = ToGrey(image);
  cv::Mat border = cv::Mat::ones(grey.size(), CV_8UC1) * 255;
  border(cv::Rect(depth, depth, grey.cols - 2 * depth, grey.rows - 2 * depth)).setTo(0);
  const int gutter = static_cast<int>(gutterShare * grey.cols);
  border(cv::Rect((grey.cols - gutter) / 2, 0, gutter, grey.rows)).setTo(0);
  double lowest = 0;
  cv::minMaxLoc(grey, &lowest, nullptr, nullptr, nullptr, border);
  return lowest > kDeskOrPaper;
}

double Aspect(cv::Size2d size) {
  return size.width / size.height;
}

class TurnedPageTest : public ::testing::TestWithParam<float> {};

TEST_P(TurnedPageTest, CornersAreFoundAndTheStraightPageKeepsItsShape) {
  const DrawnPage page = synthetic::DocumentPage(kFrame, GetParam());
  const cv::Mat frame = synthetic::DrawScene(kFrame, {page});
  const auto pages = FindPages(frame, PageSearch::kLargest);
  ASSERT_EQ(pages.size(), 1U);
  const auto truth = synthetic::PageCorners(page);
  const double tolerance = 0.006 * cv::norm(cv::Point2f(page.size.width, page.size.height));
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_LT(cv::norm(pages[0].corners[i] - truth[i]), tolerance) << "corner " << i;
  }
  WarpRequest request;
  request.insetPixels = 1.0 / pages[0].detectionScale + 1.0;
  const cv::Mat straight = WarpPage(frame, pages[0], request);
  EXPECT_NEAR(Aspect(straight.size()), Aspect(page.size), 0.02 * Aspect(page.size));
  EXPECT_TRUE(BorderIsPaper(straight));
}

INSTANTIATE_TEST_SUITE_P(Angles, TurnedPageTest, ::testing::Values(0.0F, 3.5F, -7.0F, 14.0F));

TEST(PageWarpTest, WarpIsOpenCvsToTheLastBit) {
  // Every page cut goes through it, in colour and in grey: a page inside
  // the picture, one reaching past its edges (the edge pixels repeated),
  // one blown up, one shrunk and a strip a few rows high, on a part of a
  // picture and at widths that leave odd pixels over from the vectors and
  // the blocks.
  cv::Mat noise(733, 1001, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
  const cv::Mat grey = ToGrey(noise);
  const cv::Rect inside(5, 3, 990, 721);
  struct Case {
    std::array<cv::Point2f, 4> corners;
    cv::Size size;
  };
  const Case cases[] = {
      {{{{103.3F, 51.7F}, {880.2F, 80.9F}, {850.6F, 700.1F}, {90.4F, 650.8F}}}, {613, 901}},
      {{{{-40.5F, -30.2F}, {1040.7F, 10.1F}, {990.3F, 760.9F}, {-20.8F, 700.4F}}}, {517, 389}},
      {{{{400.1F, 300.7F}, {431.9F, 302.2F}, {430.4F, 340.6F}, {399.2F, 338.3F}}}, {203, 251}},
      {{{{0.0F, 0.0F}, {990.0F, 0.0F}, {990.0F, 721.0F}, {0.0F, 721.0F}}}, {67, 49}},
      {{{{20.5F, 300.2F}, {970.1F, 330.7F}, {969.4F, 345.3F}, {21.2F, 318.8F}}}, {901, 7}},
  };
  for (const cv::Mat& image : {noise, noise(inside), grey, grey(inside)}) {
    for (const Case& c : cases) {
      const std::array<cv::Point2f, 4> target{
          cv::Point2f(0, 0), cv::Point2f(static_cast<float>(c.size.width), 0),
          cv::Point2f(static_cast<float>(c.size.width), static_cast<float>(c.size.height)),
          cv::Point2f(0, static_cast<float>(c.size.height))};
      const cv::Mat homography = cv::getPerspectiveTransform(c.corners.data(), target.data());
      cv::Mat expected;
      cv::warpPerspective(image, expected, homography, c.size, cv::INTER_LINEAR,
                          cv::BORDER_REPLICATE);
      cv::Mat warped(c.size, image.type());
      WarpPerspective(image, warped, homography);
      EXPECT_EQ(cv::countNonZero(cv::Mat(warped != expected).reshape(1)), 0)
          << image.channels() << " channels, " << c.size << " from " << image.size();
    }
  }
}

// Light paper on a light desk under a lamp: the lit desk near the lamp is
// brighter than the paper far from it, so no one brightness cut-off tells
// them apart; the page's own edges do. Cream paper on a white desk differs
// more in colour than in brightness.
TEST(PageDetectTest, ALightPageOnALightDeskIsFoundAlone) {
  struct Case {
    const char* name;
    synthetic::Desk desk;
    cv::Scalar paper;
  };
  const Case cases[] = {
      {"white on light grey", {cv::Scalar(200, 205, 208), 0.45}, synthetic::kPageColour},
      {"cream on white", {cv::Scalar(238, 240, 241), 0.3}, cv::Scalar(196, 228, 246)},
      {"grey on white", {cv::Scalar(246, 246, 246), 0.3}, cv::Scalar(200, 202, 204)},
  };
  for (const Case& c : cases) {
    DrawnPage page = synthetic::DocumentPage(kFrame, 6.0F);
    page.colour = c.paper;
    const cv::Mat frame = synthetic::DrawScene(kFrame, {page}, 7, c.desk);
    const auto truth = synthetic::PageCorners(page);
    const double tolerance = 0.006 * cv::norm(cv::Point2f(page.size.width, page.size.height));
    const auto pages = FindPages(frame, PageSearch::kLargest);
    ASSERT_EQ(pages.size(), 1U) << c.name;
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_LT(cv::norm(pages[0].corners[i] - truth[i]), tolerance) << c.name << " corner " << i;
    }
    // No second "page" of lit desk in the multiple crop.
    EXPECT_EQ(FindPages(frame, PageSearch::kEvery).size(), 1U) << c.name;
  }
}

// A rectangle seen by a pinhole camera whose axis is tilted away from the
// desk's normal: the page's true proportions come back from the
// quadrilateral, whatever its foreshortening.
struct Tilt {
  double aboutX;  // degrees
  double aboutY;
  double turn;  // the page turned on the desk
};

class TiltedPageTest : public ::testing::TestWithParam<Tilt> {};

std::array<cv::Point2f, 4> Project(cv::Size2f page, const Tilt& tilt, double focal,
                                   cv::Size frame) {
  const double rx = tilt.aboutX * CV_PI / 180;
  const double ry = tilt.aboutY * CV_PI / 180;
  const double rz = tilt.turn * CV_PI / 180;
  const cv::Matx33d turnX(1, 0, 0, 0, std::cos(rx), -std::sin(rx), 0, std::sin(rx), std::cos(rx));
  const cv::Matx33d turnY(std::cos(ry), 0, std::sin(ry), 0, 1, 0, -std::sin(ry), 0, std::cos(ry));
  const cv::Matx33d turnZ(std::cos(rz), -std::sin(rz), 0, std::sin(rz), std::cos(rz), 0, 0, 0, 1);
  // Far enough that the page is about three quarters of the frame high.
  const double distance = focal * page.height / (0.75 * frame.height);
  std::array<cv::Point2f, 4> corners{};
  const cv::Point2d local[4] = {{-0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}, {-0.5, 0.5}};
  for (size_t i = 0; i < 4; ++i) {
    const cv::Vec3d onDesk(local[i].x * page.width, local[i].y * page.height, 0);
    const cv::Vec3d seen = turnX * turnY * turnZ * onDesk + cv::Vec3d(0, 0, distance);
    corners[i] = cv::Point2f(static_cast<float>(frame.width / 2.0 + focal * seen[0] / seen[2]),
                             static_cast<float>(frame.height / 2.0 + focal * seen[1] / seen[2]));
  }
  return corners;
}

TEST_P(TiltedPageTest, ComesBackWithItsTrueAspect) {
  const Tilt tilt = GetParam();
  DrawnPage page;
  page.size = cv::Size2f(420, 594);  // A4's proportions
  page.projected = Project(page.size, tilt, DefaultFocalPixels(kFrame.width), kFrame);
  const cv::Mat frame = synthetic::DrawScene(kFrame, {page});
  const auto pages = FindPages(frame, PageSearch::kLargest);
  ASSERT_EQ(pages.size(), 1U);
  const double found = Aspect(PageSideLengths(pages[0]));
  EXPECT_NEAR(found / Aspect(page.size), 1.0, 0.01);
  // The exact quadrilateral gives it to a small fraction of that.
  EXPECT_NEAR(RectangleAspect(*page.projected, {kFrame.width / 2.0, kFrame.height / 2.0},
                              DefaultFocalPixels(kFrame.width)) /
                  Aspect(page.size),
              1.0, 0.001);
}

INSTANTIATE_TEST_SUITE_P(Tilts, TiltedPageTest,
                         ::testing::Values(Tilt{0, 0, 3}, Tilt{5, 0, 0}, Tilt{10, 4, -5},
                                           Tilt{15, 0, 0}, Tilt{0, 15, 8}, Tilt{11, 11, 2}));

TEST(PageDetectTest, LargeFramesAreSearchedOnADownscaledCopy) {
  const cv::Size large(2400, 1800);
  const DrawnPage page = synthetic::DocumentPage(large, -5.0F);
  const cv::Mat frame = synthetic::DrawScene(large, {page});
  const auto pages = FindPages(frame, PageSearch::kLargest);
  ASSERT_EQ(pages.size(), 1U);
  EXPECT_LT(pages[0].detectionScale, 0.5);
  const cv::Size2d sides = PageSideLengths(pages[0]);
  EXPECT_NEAR(sides.width, page.size.width, 0.01 * page.size.width);
  EXPECT_NEAR(sides.height, page.size.height, 0.01 * page.size.height);
}

TEST(PageDetectTest, NothingBrightOnTheDeskIsNoPage) {
  const cv::Mat desk = synthetic::DrawScene(kFrame, {});
  EXPECT_TRUE(FindPages(desk, PageSearch::kLargest).empty());
  EXPECT_TRUE(FindPages(desk, PageSearch::kEvery).empty());
  EXPECT_TRUE(FindPages(desk, PageSearch::kBook).empty());
  // A page larger than the frame leaves no desk to tell it from.
  DrawnPage filling;
  filling.centre = {480, 360};
  filling.size = {1100, 900};
  EXPECT_TRUE(FindPages(synthetic::DrawScene(kFrame, {filling}), PageSearch::kLargest).empty());
  // A slip of paper too small to be a page.
  DrawnPage slip;
  slip.centre = {300, 300};
  slip.size = {60, 40};
  slip.text = false;
  EXPECT_TRUE(FindPages(synthetic::DrawScene(kFrame, {slip}), PageSearch::kLargest).empty());
  EXPECT_TRUE(FindPages(cv::Mat(), PageSearch::kLargest).empty());
}

TEST(PageDetectTest, EveryCardIsFoundInReadingOrder) {
  const auto cards = synthetic::ThreeCards(kFrame);
  const cv::Mat frame = synthetic::DrawScene(kFrame, cards);
  const auto pages = FindPages(frame, PageSearch::kEvery);
  ASSERT_EQ(pages.size(), 3U);
  // Reading order: the two upper cards left to right, then the lower one.
  const size_t expectedCard[] = {0, 1, 2};
  for (size_t i = 0; i < 3; ++i) {
    const DrawnPage& card = cards[expectedCard[i]];
    WarpRequest request;
    request.insetPixels = 1.0 / pages[i].detectionScale + 1.0;
    const cv::Mat straight = WarpPage(frame, pages[i], request);
    EXPECT_NEAR(Aspect(straight.size()), Aspect(card.size), 0.03 * Aspect(card.size)) << i;
    EXPECT_TRUE(BorderIsPaper(straight)) << i;
    // Each piece is one card: its paper has that card's tint, nearer to it
    // than to the other cards' tints.
    const cv::Scalar paper = cv::mean(straight, ToGrey(straight) > kDeskOrPaper);
    size_t nearest = 0;
    for (size_t other = 1; other < 3; ++other) {
      if (cv::norm(paper - cards[other].colour) < cv::norm(paper - cards[nearest].colour)) {
        nearest = other;
      }
    }
    EXPECT_EQ(nearest, expectedCard[i]);
  }
  // The single search takes only the largest of them.
  const auto largest = FindPages(frame, PageSearch::kLargest);
  ASSERT_EQ(largest.size(), 1U);
  EXPECT_NEAR(PageSideLengths(largest[0]).width, cards[2].size.width, 0.02 * cards[2].size.width);
}

// Two sheets side by side, the right one turned and lying over the left
// one's margin: the multiple crop gives each sheet whole, in its own
// proportions. Where their whites differ a little, as two papers do, the
// upper sheet's edge shows, and each piece holds its own paper alone (the
// hidden part of the lower one painted as its paper); the single crop
// gives the upper one.
TEST(PageDetectTest, OverlappingSheetsComeApartWhole) {
  DrawnPage under;
  under.centre = {300, 360};
  under.size = {260, 368};
  under.angleDegrees = 1.0F;
  DrawnPage over = under;
  over.centre = {545, 375};
  over.angleDegrees = -7.0F;
  ProcessingOptions options;
  options.evenLight = false;  // the papers' own colours tell the sheets apart
  const auto tint = [](const cv::Mat& piece, cv::Rect part) {
    const cv::Mat area = piece(part);
    return cv::mean(area, ToGrey(area) > kDeskOrPaper);
  };
  for (const bool tinted : {true, false}) {
    over.colour = tinted ? cv::Scalar(214, 234, 244) : under.colour;
    const cv::Mat frame = synthetic::DrawScene(kFrame, {under, over});
    for (const int crop : {2, 1}) {
      options.autoCrop = crop;
      const auto pieces = RunPipeline(frame, 96, options);
      ASSERT_EQ(pieces.size(), crop == 2 ? 2U : 1U) << crop;
      for (size_t i = 0; i < pieces.size(); ++i) {
        const cv::Mat& piece = pieces[i].image;
        const DrawnPage& sheet = crop == 2 && i == 0 ? under : over;
        EXPECT_NEAR(Aspect(piece.size()), Aspect(sheet.size), 0.01 * Aspect(sheet.size))
            << tinted << crop << i;
        // Two sheets of one paper: nothing tells which lies on top, and
        // the lower piece may keep the upper sheet's print.
        if (!tinted) continue;
        EXPECT_TRUE(BorderIsPaper(piece)) << crop << i;
        // Each edge strip (a tenth of the piece) is nearer its sheet's
        // tint than the other's.
        const int w = piece.cols / 10;
        const int h = piece.rows / 10;
        for (const cv::Rect strip :
             {cv::Rect(0, 0, w, piece.rows), cv::Rect(piece.cols - w, 0, w, piece.rows),
              cv::Rect(0, 0, piece.cols, h), cv::Rect(0, piece.rows - h, piece.cols, h)}) {
          const cv::Scalar paper = tint(piece, strip);
          const DrawnPage& other = &sheet == &under ? over : under;
          EXPECT_LT(cv::norm(paper - sheet.colour), cv::norm(paper - other.colour))
              << crop << i << strip;
        }
      }
    }
  }
}

// Two sheets of one paper lying edge to edge make one region whose
// outline is one quadrilateral: only the hairline where their edges meet
// parts them, and each comes out in its own size. A lined page crossed by
// a strong rule and folded in half (a broad shading), and a page with a
// sharp crease across its middle, each stay one page.
TEST(PageDetectTest, SheetsEdgeToEdgeComeApartAtTheHairlineBetweenThem) {
  // A frame the search looks at downscaled, in which the hairline fades.
  const cv::Size frame(1920, 1440);
  DrawnPage left;
  left.size = {520, 736};
  left.angleDegrees = 3.0F;
  DrawnPage right = left;
  const float turn = left.angleDegrees * static_cast<float>(CV_PI) / 180;
  const auto sheetSized = [&](const PageQuad& quad) {
    const cv::Size2d size = PageSideLengths(quad);
    return std::abs(std::min(size.width, size.height) / left.size.width - 1) < 0.015 &&
           std::abs(std::max(size.width, size.height) / left.size.height - 1) < 0.015;
  };
  // Half a pixel of desk shows between them, or a strip as wide as a
  // crease's shading: in line, one above the other, still two sheets.
  for (const float hw : {260.25F, 265.0F}) {
    const cv::Point2f half(hw * std::cos(turn), -hw * std::sin(turn));
    left.centre = cv::Point2f(960, 720) - half;
    right.centre = cv::Point2f(960, 720) + half;
    const cv::Mat sheets =
        synthetic::DrawScene(frame, {left, right}, 7, {cv::Scalar(200, 205, 208), 0.0});
    cv::Mat stacked;
    cv::rotate(sheets, stacked, cv::ROTATE_90_CLOCKWISE);  // one sheet above the other
    for (const cv::Mat& two : {sheets, stacked}) {
      const auto pieces = FindPages(two, PageSearch::kEvery);
      ASSERT_EQ(pieces.size(), 2U) << hw;
      EXPECT_TRUE(sheetSized(pieces[0]) && sheetSized(pieces[1])) << hw;
      const auto single = FindPages(two, PageSearch::kLargest);
      ASSERT_EQ(single.size(), 1U) << hw;
      EXPECT_TRUE(sheetSized(single[0])) << hw;
    }
  }

  const DrawnPage page = synthetic::DocumentPage(frame, 4.0F);
  cv::Mat ruled = synthetic::DrawScene(frame, {page});
  const auto c = PageCorners(page);
  const auto at = [&](float u, float v) {
    return (c[0] * (1 - u) + c[1] * u) * (1 - v) + (c[3] * (1 - u) + c[2] * u) * v;
  };
  // Lined paper, its faint lines running from edge to edge.
  for (float v = 0.03F; v < 1; v += 0.03F) {
    cv::line(ruled, at(0, v), at(1, v), cv::Scalar(225, 190, 160), 1, cv::LINE_AA);
  }
  cv::line(ruled, at(0.05F, 0.4F), at(0.95F, 0.4F), synthetic::kInkColour, 4, cv::LINE_AA);
  // The paper scaled by light(distance below the fold, pixels).
  cv::Mat paper = cv::Mat::zeros(frame, CV_8UC1);
  const std::vector<cv::Point> outline{c[0], c[1], c[2], c[3]};
  cv::fillConvexPoly(paper, outline, cv::Scalar(255));
  const cv::Point2f foldFrom = at(0, 0.5F);
  const cv::Point2f fold = at(1, 0.5F) - foldFrom;
  const auto folded = [&](cv::Mat scene, const auto& light) {
    for (int y = 0; y < frame.height; ++y) {
      for (int x = 0; x < frame.width; ++x) {
        if (paper.at<uchar>(y, x) == 0) continue;
        const cv::Point2f off =
            cv::Point2f(static_cast<float>(x), static_cast<float>(y)) - foldFrom;
        scene.at<cv::Vec3b>(y, x) *= light((fold.x * off.y - fold.y * off.x) / cv::norm(fold));
      }
    }
    return scene;
  };
  // The lower half a little darker, over a soft ramp.
  folded(ruled, [](double below) { return 1 - 0.07 / (1 + std::exp(-below / 6)); });
  // Folded and flattened again: a lit ridge beside a shaded line, each
  // about a millimetre wide, which the search at its scale takes for an
  // edge between two halves.
  const double mm = page.size.height / 297;
  const cv::Mat creased = folded(
      synthetic::DrawScene(frame, {page}, 7, {cv::Scalar(200, 205, 208), 0.0}), [&](double below) {
        const double t = below / mm;
        return 1 + 0.4 * (0.5 * std::exp(-std::pow((t + 0.8) / 0.6, 2)) -
                          std::exp(-std::pow((t - 0.4) / 0.5, 2)));
      });
  for (const cv::Mat& whole : {ruled, creased}) {
    for (const PageSearch search : {PageSearch::kEvery, PageSearch::kLargest}) {
      const auto found = FindPages(whole, search);
      ASSERT_EQ(found.size(), 1U);
      EXPECT_NEAR(PageSideLengths(found[0]).height, page.size.height, 0.015 * page.size.height);
      EXPECT_NEAR(PageSideLengths(found[0]).width, page.size.width, 0.015 * page.size.width);
    }
  }
}

TEST(PageDetectTest, TheBookIsOneQuadAroundBothPages) {
  const auto spread = synthetic::BookSpread(kFrame);
  const cv::Mat frame = synthetic::DrawBookScene(kFrame);
  const auto pages = FindPages(frame, PageSearch::kBook);
  ASSERT_EQ(pages.size(), 1U);
  const cv::Size2d sides = PageSideLengths(pages[0]);
  const double spreadWidth = spread[0].size.width + spread[1].size.width;
  EXPECT_NEAR(sides.width, spreadWidth, 0.02 * spreadWidth);
  EXPECT_NEAR(sides.height, spread[0].size.height, 0.02 * spread[0].size.height);
  WarpRequest request;
  request.insetPixels = 1.0 / pages[0].detectionScale + 1.0;
  const cv::Mat straight = WarpPage(frame, pages[0], request);
  EXPECT_TRUE(BorderIsPaper(straight, 2, 0.06));
  // Both pages are in it: the gutter's shadow runs down the middle.
  const cv::Mat grey = ToGrey(straight);
  const int middle = grey.cols / 2;
  cv::Mat columnMeans;
  cv::reduce(grey, columnMeans, 0, cv::REDUCE_AVG, CV_32F);
  double darkest = 255;
  cv::Point where;
  cv::minMaxLoc(columnMeans, &darkest, nullptr, &where, nullptr);
  EXPECT_NEAR(where.x, middle, 0.03 * grey.cols);
  // The single search would have cut one page only, if the gutter splits them.
  EXPECT_LT(PageSideLengths(FindPages(frame, PageSearch::kLargest)[0]).width, 0.6 * spreadWidth);
}

TEST(PageDetectTest, EdgeRestoreFillsAMissingCornerWithThePageColour) {
  DrawnPage page = synthetic::DocumentPage(kFrame, 3.0F);
  page.cutCorner = 0.15F;
  const cv::Mat frame = synthetic::DrawScene(kFrame, {page});
  const auto pages = FindPages(frame, PageSearch::kLargest);
  ASSERT_EQ(pages.size(), 1U);
  // The quadrilateral is completed from the four sides.
  const auto truth = synthetic::PageCorners(page);
  EXPECT_LT(cv::norm(pages[0].corners[0] - truth[0]), 0.01 * page.size.height);

  WarpRequest plain;
  const cv::Mat cut = WarpPage(frame, pages[0], plain);
  WarpRequest restore;
  restore.restoreEdges = true;
  const cv::Mat restored = WarpPage(frame, pages[0], restore);
  ASSERT_EQ(cut.size(), restored.size());
  const cv::Mat cutGrey = ToGrey(cut);
  const cv::Mat restoredGrey = ToGrey(restored);
  // Without restore the desk shows where the corner is missing.
  EXPECT_LT(cutGrey.at<uchar>(3, 3), kDeskOrPaper);
  const cv::Point corners[] = {{0, 0},
                               {restored.cols - 1, 0},
                               {restored.cols - 1, restored.rows - 1},
                               {0, restored.rows - 1}};
  for (const cv::Point& corner : corners) {
    const cv::Vec3b colour = restored.at<cv::Vec3b>(corner);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(colour[c], synthetic::kPageColour[c], 10) << corner;
  }
  EXPECT_TRUE(BorderIsPaper(restored, 1));
  // Inside the page, text and paper are left alone.
  const cv::Rect inner(cut.cols / 5, cut.rows / 5, cut.cols * 3 / 5, cut.rows * 3 / 5);
  EXPECT_EQ(cv::norm(cut(inner), restored(inner), cv::NORM_INF), 0);
  EXPECT_GT(cv::countNonZero(restoredGrey(inner) < 100), 1000);
}

// Edge restore under a lamp that lights the page unevenly: what is painted
// follows the paper's own shading and meets it without a step, rather
// than one colour for the whole page with the detection's staircase.
TEST(PageDetectTest, EdgeRestorePaintsThePapersShadingSmoothly) {
  DrawnPage page = synthetic::DocumentPage(kFrame, 3.0F);
  page.cutCorner = 0.15F;
  cv::Mat frame = synthetic::DrawScene(kFrame, {page});
  synthetic::ApplyUnevenLight(frame, 0.5);
  const auto pages = FindPages(frame, PageSearch::kLargest);
  ASSERT_EQ(pages.size(), 1U);
  WarpRequest restore;
  restore.restoreEdges = true;
  const cv::Mat grey = ToGrey(WarpPage(frame, pages[0], restore));
  cv::Mat smooth;
  cv::GaussianBlur(grey, smooth, cv::Size(5, 5), 0);
  const auto meanOf = [&](cv::Rect r) { return cv::mean(smooth(r))[0]; };
  // The painted corner against the paper just past the cut on the same
  // (bright) side, and that paper against the far (dim) side.
  const int w = grey.cols;
  const double corner = meanOf({2, 2, 8, 8});
  const double besideCut = meanOf({w / 5, 2, w / 20, 8});
  const double farSide = meanOf({w - w / 20 - 2, 2, w / 20, 8});
  EXPECT_GT(besideCut - farSide, 20);  // the lamp's fall-off is there to follow
  EXPECT_NEAR(corner, besideCut, 8);
  // Along the rim, from painted to photographed paper: no steps.
  for (int row : {1, 4}) {
    double largestStep = 0;
    for (int x = 1; x < w / 3; ++x) {
      largestStep = std::max(largestStep, std::abs(static_cast<double>(smooth.at<uchar>(row, x)) -
                                                   smooth.at<uchar>(row, x - 1)));
    }
    EXPECT_LT(largestStep, 5) << "row " << row;
  }
}

}  // namespace
}  // namespace tavrin::lens
