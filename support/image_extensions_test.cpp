#include "support/image_extensions.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "testsupport/memory.h"
#include "testsupport/sandbox.h"

namespace {

constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kBlue = 0xFF0000FF;
constexpr uint32_t kClear = 0x00000000;

// The premultiplied ARGB32 pixel at x, y.
uint32_t pixel(const Image& image, int x, int y) {
  cairo_surface_flush(image.surface());
  const uint8_t* row = cairo_image_surface_get_data(image.surface()) +
                       static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(image.surface());
  return reinterpret_cast<const uint32_t*>(row)[x];
}

struct Probe {
  int x, y;
  uint32_t expected;
};

void expectPixels(const std::optional<Image>& image, int width, int height,
                  std::initializer_list<Probe> probes, const std::string& what) {
  ASSERT_TRUE(image) << what;
  EXPECT_EQ(image->width(), width) << what;
  EXPECT_EQ(image->height(), height) << what;
  for (const Probe& p : probes) {
    EXPECT_EQ(pixel(*image, p.x, p.y), p.expected)
        << what << " at " << p.x << "," << p.y << std::hex << " got " << pixel(*image, p.x, p.y);
  }
}

// GIFs written here: a two-colour table (red, blue) and frames that each fill their rectangle
// with one of the two, compressed as GIF's LZW (code size 2) with a fresh table whenever the
// codes reach 12 bits.
std::vector<uint8_t> lzwSolid(size_t pixels, uint8_t colour) {
  constexpr int kCodeSize = 2;
  constexpr int kClear = 1 << kCodeSize;
  constexpr int kEnd = kClear + 1;
  std::vector<uint8_t> packed;
  uint32_t pending = 0;
  int pendingBits = 0;
  int width = kCodeSize + 1;
  int next = kEnd + 1;
  std::unordered_map<uint32_t, int> table;
  auto emit = [&](int code) {
    pending |= uint32_t(code) << pendingBits;
    for (pendingBits += width; pendingBits >= 8; pendingBits -= 8, pending >>= 8) {
      packed.push_back(uint8_t(pending));
    }
  };
  emit(kClear);
  int prefix = colour;
  for (size_t i = 1; i < pixels; ++i) {
    const uint32_t key = uint32_t(prefix) << 8 | colour;
    if (auto found = table.find(key); found != table.end()) {
      prefix = found->second;
      continue;
    }
    emit(prefix);
    table[key] = next;
    if (next == 1 << width && width < 12) ++width;
    if (++next >= 4093) {
      emit(kClear);
      table.clear();
      width = kCodeSize + 1;
      next = kEnd + 1;
    }
    prefix = colour;
  }
  emit(prefix);
  emit(kEnd);
  if (pendingBits > 0) packed.push_back(uint8_t(pending));
  // The code size, then sub-blocks of at most 255 bytes, then an empty one.
  std::vector<uint8_t> data = {kCodeSize};
  for (size_t at = 0; at < packed.size(); at += 255) {
    const size_t length = std::min<size_t>(255, packed.size() - at);
    data.push_back(uint8_t(length));
    data.insert(data.end(), packed.begin() + at, packed.begin() + at + length);
  }
  data.push_back(0);
  return data;
}

struct GifFrame {
  int width;
  int height;
  uint8_t colour;  // 0 red, 1 blue
  // The compressed pixels; empty for a frame that fills its rectangle. A frame whose descriptor
  // claims more than its data holds gets a few codes here.
  std::vector<uint8_t> data = {};
};

std::vector<uint8_t> gif(int screenWidth, int screenHeight, const std::vector<GifFrame>& frames) {
  std::vector<uint8_t> bytes = {'G', 'I', 'F', '8', '9', 'a'};
  auto side = [&](int value) {
    bytes.push_back(uint8_t(value));
    bytes.push_back(uint8_t(value >> 8));
  };
  side(screenWidth);
  side(screenHeight);
  bytes.insert(bytes.end(), {0x80, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF});  // two colours: red, blue
  // Compressed once per size and colour: the large animations repeat one frame.
  std::map<std::tuple<int, int, uint8_t>, std::vector<uint8_t>> compressed;
  for (const GifFrame& frame : frames) {
    bytes.insert(bytes.end(), {0x21, 0xF9, 4, 0, 10, 0, 0, 0});  // a tenth of a second each
    bytes.push_back(0x2C);
    side(0);
    side(0);
    side(frame.width);
    side(frame.height);
    bytes.push_back(0);
    std::vector<uint8_t>& data = compressed[{frame.width, frame.height, frame.colour}];
    if (data.empty()) {
      data = frame.data.empty() ? lzwSolid(size_t(frame.width) * frame.height, frame.colour)
                                : frame.data;
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
  bytes.push_back(0x3B);
  return bytes;
}

class ImageTest : public ::testing::Test {
 protected:
  // Writes a PNG with cairo: `paint` fills a width x height surface.
  template <typename Paint>
  std::filesystem::path png(const std::string& name, int width, int height, Paint paint) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* context = cairo_create(surface);
    paint(context);
    cairo_destroy(context);
    const auto path = sandbox_.root() / name;
    EXPECT_EQ(cairo_surface_write_to_png(surface, path.c_str()), CAIRO_STATUS_SUCCESS);
    cairo_surface_destroy(surface);
    return path;
  }
  static void fill(cairo_t* context, double x, double y, double width, double height, double red,
                   double green, double blue, double alpha = 1) {
    cairo_set_source_rgba(context, red, green, blue, alpha);
    cairo_rectangle(context, x, y, width, height);
    cairo_fill(context);
  }
  static Image load(const std::filesystem::path& path) {
    os::Error error;
    std::optional<Image> image = Image::fromFile(path, &error);
    EXPECT_TRUE(image) << error.localizedDescription();
    return std::move(*image);
  }

  // 200 x 100: red quarters at the left and right ends, blue in the middle half.
  Image wide() {
    return load(png("wide.png", 200, 100, [](cairo_t* context) {
      fill(context, 0, 0, 200, 100, 1, 0, 0);
      fill(context, 50, 0, 100, 100, 0, 0, 1);
    }));
  }
  // 100 x 200: red top half, blue bottom half.
  Image tall() {
    return load(png("tall.png", 100, 200, [](cairo_t* context) {
      fill(context, 0, 0, 100, 100, 1, 0, 0);
      fill(context, 0, 100, 100, 100, 0, 0, 1);
    }));
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(ImageTest, DecodesPngWithItsAlpha) {
  const auto path = png("alpha.png", 3, 2, [](cairo_t* context) {
    fill(context, 0, 0, 1, 1, 1, 0, 0, 0.5);
    fill(context, 1, 0, 1, 1, 0, 1, 0);
  });
  Image image = load(path);
  EXPECT_EQ(image.width(), 3);
  EXPECT_EQ(image.height(), 2);
  EXPECT_EQ(cairo_image_surface_get_format(image.surface()), CAIRO_FORMAT_ARGB32);
  EXPECT_EQ(pixel(image, 0, 0), 0x80800000u) << "premultiplied half-transparent red";
  EXPECT_EQ(pixel(image, 1, 0), 0xFF00FF00u);
  EXPECT_EQ(pixel(image, 2, 1), kClear);
}

TEST_F(ImageTest, DecodesJpeg) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, false, 8, 16, 8);
  gdk_pixbuf_fill(pixbuf, 0x2060C0FF);
  const auto path = sandbox_.root() / "solid.jpg";
  GError* error = nullptr;
  ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "jpeg", &error, "quality", "100", nullptr))
      << (error ? error->message : "");
  g_object_unref(pixbuf);

  Image image = load(path);
  EXPECT_EQ(image.width(), 16);
  EXPECT_EQ(image.height(), 8);
  const uint32_t decoded = pixel(image, 8, 4);
  EXPECT_EQ(decoded >> 24, 0xFFu);
  EXPECT_NEAR((decoded >> 16) & 0xFF, 0x20, 3);
  EXPECT_NEAR((decoded >> 8) & 0xFF, 0x60, 3);
  EXPECT_NEAR(decoded & 0xFF, 0xC0, 3);
}

TEST_F(ImageTest, UndecodableInputIsAnError) {
  os::Error error;
  const uint8_t garbage[] = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
  EXPECT_FALSE(Image::fromData(garbage, &error));
  EXPECT_FALSE(error.domain.empty());
  EXPECT_FALSE(error.description.empty());
  EXPECT_FALSE(Image::fromData({}, nullptr));

  error = {};
  EXPECT_FALSE(Image::fromFile(sandbox_.root() / "missing.png", &error));
  EXPECT_EQ(error.code, ENOENT);
}

// A few bytes that declare an enormous image are refused from their header, before anything
// of that size is decoded or allocated.
TEST_F(ImageTest, AnImageOverThePixelCapIsRefusedBeforeDecoding) {
  // A 36-byte GIF whose screen is 64511 x 12801 pixels.
  const std::vector<uint8_t> gif = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0xff, 0xfb, 0x01,
                                    0x32, 0x80, 0x00, 0x00, 0xff, 0xff, 0x01, 0x00, 0x00,
                                    0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                                    0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
  // A small JPEG whose frame header is made to claim 60000 x 60000 pixels.
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, false, 8, 16, 8);
  gdk_pixbuf_fill(pixbuf, 0x2060C0FF);
  gchar* buffer = nullptr;
  gsize size = 0;
  ASSERT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, nullptr));
  g_object_unref(pixbuf);
  std::vector<uint8_t> jpeg(buffer, buffer + size);
  g_free(buffer);
  bool patched = false;
  for (size_t at = 0; at + 9 < jpeg.size() && !patched; ++at) {
    if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xC0) {  // start of frame: height, then width
      for (size_t side : {at + 5, at + 7}) {
        jpeg[side] = 0xEA;
        jpeg[side + 1] = 0x60;
      }
      patched = true;
    }
  }
  ASSERT_TRUE(patched);

  for (const auto& [name, bytes] : {std::pair{"gif", gif}, std::pair{"jpeg", jpeg}}) {
    SCOPED_TRACE(name);
    const size_t residentBefore = testsupport::residentBytes();
    os::Error error;
    EXPECT_FALSE(Image::fromData(bytes, &error));
    EXPECT_THAT(error.description, ::testing::HasSubstr("pixels"));
    if (testsupport::residentMemoryIsMeaningful()) {
      EXPECT_LT(testsupport::residentBytes(), residentBefore + (size_t{64} << 20));
    }
  }
}

// An animation gives its first frame. What its frames hold together is capped like one image:
// a GIF of many frames, each within the cap, or of one frame larger than its screen, is refused
// from its descriptors before any frame is decoded.
TEST_F(ImageTest, AnimatedGifsGiveTheirFirstFrameWithinThePixelCap) {
  constexpr int kSide = 2048;  // 16 frames of this side make exactly the cap
  static_assert(int64_t{16} * kSide * kSide == Image::kMaxDecodedPixels);
  const std::vector<GifFrame> sixteen(16, GifFrame{kSide, kSide, 1});
  std::vector<GifFrame> seventeen = sixteen;
  seventeen.push_back({kSide, kSide, 0});
  std::vector<GifFrame> many(400, GifFrame{kSide, kSide, 0});
  // Clear, red, end: the data of one pixel, under a descriptor that claims 9000 x 9000.
  const GifFrame claimsMore{9000, 9000, 0, {2, 2, 0x44, 0x01, 0}};

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    // The first frame's size and colour, or 0 x 0 for a refusal naming `refusal`.
    int width, height;
    uint32_t colour;
    const char* refusal;
  };
  const Case cases[] = {
      {"three frames", gif(40, 30, {{40, 30, 0}, {40, 30, 1}, {40, 30, 0}}), 40, 30, kRed, ""},
      {"a blue first frame", gif(8, 8, {{8, 8, 1}, {8, 8, 0}}), 8, 8, kBlue, ""},
      {"frames exactly at the cap", gif(kSide, kSide, sixteen), kSide, kSide, kBlue, ""},
      {"frames one past the cap", gif(kSide, kSide, seventeen), 0, 0, 0, "frames have 71303168"},
      {"four hundred frames", gif(kSide, kSide, many), 0, 0, 0, "frames have 71303168"},
      {"a frame larger than its screen", gif(1, 1, {claimsMore}), 0, 0, 0, "frames have 81000000"},
      {"a screen over the cap", gif(9000, 9000, {{1, 1, 0}}), 0, 0, 0, "is 9000 x 9000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool peakReset = testsupport::resetPeakResidentBytes();
    const size_t residentBefore = testsupport::residentBytes();
    os::Error error;
    std::optional<Image> image = Image::fromData(c.bytes, &error);
    if (c.width == 0) {
      EXPECT_FALSE(image);
      EXPECT_EQ(error.domain, g_quark_to_string(GDK_PIXBUF_ERROR));
      EXPECT_EQ(error.code, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY);
      EXPECT_THAT(error.description, ::testing::HasSubstr(c.refusal));
      if (peakReset && testsupport::residentMemoryIsMeaningful()) {
        EXPECT_LT(testsupport::peakResidentBytes(), residentBefore + (size_t{64} << 20));
      }
      continue;
    }
    expectPixels(image, c.width, c.height,
                 {{0, 0, c.colour}, {c.width - 1, c.height - 1, c.colour}}, c.name);
  }
}

TEST_F(ImageTest, CropScaleAndFitGiveTheExpectedPixels) {
  const Image wideImage = wide();
  const Image tallImage = tall();
  using M = ImageFitMethod;
  const Image::Size square{100, 100};

  expectPixels(ExtendTool::imageCroppedToFitSize(wideImage, square), 100, 100,
               {{4, 50, kBlue}, {50, 4, kBlue}, {95, 95, kBlue}}, "centre crop shows the middle");
  expectPixels(ExtendTool::imageScaledToFitSize(wideImage, square), 100, 100,
               {{10, 50, kRed},
                {50, 50, kBlue},
                {90, 50, kRed},
                {50, 30, kBlue},
                {50, 20, kClear},
                {50, 80, kClear},
                {5, 5, kClear}},
               "scaled whole, 100 x 50, 25 from top and bottom");
  expectPixels(ExtendTool::imageToFitSize(wideImage, square, M::CropStart), 100, 100,
               {{20, 50, kRed}, {80, 50, kBlue}}, "left part of a wide image");
  expectPixels(ExtendTool::imageToFitSize(wideImage, square, M::CropEnd), 100, 100,
               {{20, 50, kBlue}, {80, 50, kRed}}, "right part of a wide image");
  expectPixels(ExtendTool::imageToFitSize(tallImage, square, M::CropCenter), 100, 100,
               {{50, 20, kRed}, {50, 80, kBlue}}, "middle of a tall image");
  expectPixels(ExtendTool::imageToFitSize(tallImage, square, M::CropStart), 100, 100,
               {{50, 5, kRed}, {50, 95, kRed}}, "top part of a tall image");
  expectPixels(ExtendTool::imageToFitSize(tallImage, square, M::CropEnd), 100, 100,
               {{50, 5, kBlue}, {50, 95, kBlue}}, "bottom part of a tall image");
  expectPixels(ExtendTool::imageToFitSize(tallImage, square, M::ScaleToFit), 100, 100,
               {{50, 20, kRed}, {50, 80, kBlue}, {10, 50, kClear}, {90, 50, kClear}},
               "tall image fitted, 50 x 100, centred");
  expectPixels(ExtendTool::imageToFitSize(wideImage, {400, 200}, M::CropCenter), 400, 200,
               {{90, 100, kRed}, {110, 100, kBlue}, {290, 100, kBlue}, {310, 100, kRed}},
               "same aspect, scaled up");
  expectPixels(ExtendTool::imageToFitSize(wideImage, square, M(9)), 100, 100,
               {{4, 50, kBlue}, {95, 50, kBlue}}, "an unknown method crops to the centre");
}

TEST_F(ImageTest, RectanglesPlaceThePart) {
  const Image wideImage = wide();
  expectPixels(ExtendTool::imageFromRect(wideImage, {40, 10, 20, 20}), 20, 20,
               {{2, 2, kRed}, {8, 18, kRed}, {12, 2, kBlue}, {18, 18, kBlue}},
               "the part across the red-blue edge");
  expectPixels(ExtendTool::imageFromRect(wideImage, {190, 90, 20, 20}), 20, 20,
               {{5, 5, kRed}, {15, 5, kClear}, {5, 15, kClear}}, "outside the image is clear");
  expectPixels(ExtendTool::imageToFitRect(wideImage, {50, 0, 100, 100}, ImageFitMethod::ScaleToFit),
               100, 100, {{20, 50, kClear}, {60, 50, kRed}, {90, 50, kBlue}, {90, 10, kClear}},
               "drawn at the rectangle's origin inside an image of its size");
}

TEST_F(ImageTest, ZeroSidesGiveNoImage) {
  const Image wideImage = wide();
  for (const Image::Size size : {Image::Size{0, 0}, Image::Size{100, 0}, Image::Size{0, 100},
                                 Image::Size{-5, 10}, Image::Size{0.2, 10}}) {
    EXPECT_FALSE(ExtendTool::imageToFitSize(wideImage, size, ImageFitMethod::ScaleToFit))
        << size.width << " x " << size.height;
    EXPECT_FALSE(ExtendTool::imageCroppedToFitSize(wideImage, size));
    EXPECT_FALSE(ExtendTool::imageFromRect(wideImage, {0, 0, size.width, size.height}));
    EXPECT_FALSE(ExtendTool::imageToFitRect(wideImage, {1, 1, size.width, size.height},
                                            ImageFitMethod::CropCenter));
  }
  EXPECT_FALSE(Image::create(0, 5));
  EXPECT_FALSE(Image::create(5, -1));
}

TEST_F(ImageTest, DrawInRectHonoursOperatorAndOpacity) {
  const Image wideImage = wide();
  std::optional<Image> canvas = Image::create(100, 100);
  cairo_t* context = cairo_create(canvas->surface());
  ExtendTool::drawInRect(wideImage, context, {0, 0, 100, 100}, CAIRO_OPERATOR_OVER, 0.5,
                         ImageFitMethod::CropCenter);
  EXPECT_NEAR(pixel(*canvas, 50, 50) >> 24, 128, 1) << "half opacity";
  ExtendTool::drawInRect(wideImage, context, {0, 0, 100, 100}, CAIRO_OPERATOR_CLEAR, 1,
                         ImageFitMethod::CropCenter);
  EXPECT_EQ(pixel(*canvas, 50, 50), kClear) << "the clear operator";
  ExtendTool::drawInRect(wideImage, context, {0, 0, 100, 0}, CAIRO_OPERATOR_OVER, 1,
                         ImageFitMethod::CropCenter);
  ExtendTool::drawInRect(wideImage, context, {0, 0, 100, 100}, CAIRO_OPERATOR_OVER, 1,
                         ImageFitMethod::ScaleToFit);
  EXPECT_EQ(pixel(*canvas, 50, 10), kClear) << "only the fitted area is drawn";
  EXPECT_EQ(pixel(*canvas, 50, 50), kBlue);
  cairo_destroy(context);

  Image sliver =
      load(png("sliver.png", 1000, 1, [](cairo_t* c) { fill(c, 0, 0, 1000, 1, 1, 0, 0); }));
  expectPixels(ExtendTool::imageScaledToFitSize(sliver, {1, 1}), 1, 1, {{0, 0, kClear}},
               "a fitted height that rounds to zero draws nothing");
}

}  // namespace
