#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include "os/ui/attributed_string.h"
#include "os/ui/font.h"
#include "os/ui/label.h"
#include "os/ui/test_fixture.h"
#include "os/ui/text_layout.h"
#include "os/ui/text_view.h"

namespace os::ui {
namespace {

TextAttributes withFont(const Font& font) {
  TextAttributes attributes;
  attributes.font = font;
  return attributes;
}

TEST(FontTest, NamesSplitIntoFamilyWeightAndStyle) {
  struct Case {
    const char* name;
    const char* family;
    FontWeight weight;
    bool italic;
  };
  const Case cases[] = {
      {"Helvetica Neue", "Helvetica Neue", FontWeight::Regular, false},
      {"Helvetica Neue Bold", "Helvetica Neue", FontWeight::Bold, false},
      {"Helvetica Neue Medium", "Helvetica Neue", FontWeight::Medium, false},
      {"Helvetica Neue Light Italic", "Helvetica Neue", FontWeight::Light, true},
      {"WenQuanYi Micro Hei", "WenQuanYi Micro Hei", FontWeight::Regular, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Font font = Font::named(c.name, 13);
    EXPECT_EQ(font.family(), c.family);
    EXPECT_EQ(font.weight(), c.weight);
    EXPECT_EQ(font.isItalic(), c.italic);
    EXPECT_EQ(font.pointSize(), 13);
  }
}

TEST(FontTest, HelveticaNeueIsServedByAMetricCompatibleFace) {
  // The face fontconfig picks for the installer's font name.
  PangoFontDescription* description = Font::named("Helvetica Neue", 13).newPangoDescription();
  PangoFont* font = pango_context_load_font(sharedPangoContext(), description);
  ASSERT_NE(font, nullptr);
  PangoFontDescription* loaded = pango_font_describe(font);
  EXPECT_STREQ(pango_font_description_get_family(loaded), "Liberation Sans");
  pango_font_description_free(loaded);
  g_object_unref(font);
  pango_font_description_free(description);

  // Helvetica's advance widths (per 1000 em): H 722, e 556, l 222, o 556; bold l 278, o 611.
  EXPECT_NEAR(measureText("Hello", Font::named("Helvetica Neue", 13)).width, 2.278 * 13, 0.05);
  EXPECT_NEAR(measureText("Hello", Font::named("Helvetica Neue Bold", 13)).width, 2.445 * 13, 0.05);
}

TEST(FontTest, JapaneseAndChineseTextsFindGlyphs) {
  for (const char* text : {"インストールに失敗しました", "安装失败", "Install 完了"}) {
    SCOPED_TRACE(text);
    TextLayout layout(AttributedString(text, withFont(Font::named("Helvetica Neue", 14))));
    EXPECT_EQ(layout.unknownGlyphCount(), 0);
    EXPECT_GT(layout.size().width, 20);
  }
}

TEST(AttributedStringTest, AttributesSplitAndJoinRunsInUtf16Ranges) {
  TextAttributes base;
  base.foregroundColor = Color::black();
  // The emoji takes two UTF-16 units, so "link" starts at 8.
  AttributedString text("😀 a link here", base);
  ASSERT_EQ(text.length(), 14u);
  TextAttributes link;
  link.link = "link";
  EXPECT_TRUE(text.addAttributes(link, {5, 4}));
  ASSERT_EQ(text.runs().size(), 3u);
  text::Range range;
  EXPECT_EQ(text.attributesAt(6, &range).link, "link");
  EXPECT_EQ(range, (text::Range{5, 4}));
  EXPECT_EQ(text.attributesAt(6).foregroundColor, Color::black());  // kept under the link
  EXPECT_FALSE(text.attributesAt(9).link);
  EXPECT_FALSE(text.addAttributes(link, {10, 5}));  // past the end: nothing changes
  // Setting the same attributes over the rest joins the runs again.
  TextAttributes everywhere;
  everywhere.link = "link";
  text.addAttributes(everywhere, {0, text.length()});
  EXPECT_EQ(text.runs().size(), 1u);
}

TEST(TextLayoutTest, WrappingLineSpacingAndTruncation) {
  Font font = Font::named("Helvetica Neue", 12);
  std::string sentence = "The quick brown fox jumps over the lazy dog again and again";
  double oneLine = TextLayout(AttributedString("Hg", withFont(font))).size().height;

  TextAttributes wrapped = withFont(font);
  wrapped.paragraphStyle = ParagraphStyle{TextAlignment::Left, 0, LineBreakMode::WordWrapping};
  TextLayout narrow(AttributedString(sentence, wrapped), 100);
  EXPECT_LE(narrow.size().width, 100);
  int lines = int(std::lround(narrow.size().height / oneLine));
  EXPECT_GE(lines, 3);

  wrapped.paragraphStyle->lineSpacing = 5;
  TextLayout spaced(AttributedString(sentence, wrapped), 100);
  EXPECT_NEAR(spaced.size().height, narrow.size().height + 5 * (lines - 1), 0.5);

  TextAttributes truncated = withFont(font);
  truncated.paragraphStyle = ParagraphStyle{TextAlignment::Left, 0, LineBreakMode::TruncatingTail};
  TextLayout single(AttributedString(sentence, truncated), 100);
  EXPECT_TRUE(single.isTruncated());
  EXPECT_NEAR(single.size().height, oneLine, 0.5);
  EXPECT_LE(single.size().width, 100);
  EXPECT_FALSE(TextLayout(AttributedString("short", truncated), 100).isTruncated());
}

TEST(TextLayoutTest, BidiTextIsLaidOutRightToLeft) {
  TextAttributes natural = withFont(Font::named("Helvetica Neue", 14));
  natural.paragraphStyle = ParagraphStyle{TextAlignment::Natural, 0, LineBreakMode::WordWrapping};
  // Hebrew: the first character sits at the right end of its line.
  TextLayout hebrew(AttributedString("שלום עולם", natural), 300);
  auto first = hebrew.rectsForRange({0, 1});
  ASSERT_EQ(first.size(), 1u);
  EXPECT_GT(first[0].x, 200);
  // Mixed text keeps the Latin word at the left in a left-to-right paragraph.
  TextLayout mixed(AttributedString("abc שלום", natural), 300);
  EXPECT_EQ(mixed.characterIndexAt({2, 5}), 0u);
}

TEST(TextLayoutTest, CharacterHitTesting) {
  TextLayout layout(AttributedString("ab", withFont(Font::named("Helvetica Neue", 20))));
  double aWidth = measureText("a", Font::named("Helvetica Neue", 20)).width;
  EXPECT_EQ(layout.characterIndexAt({aWidth / 2, 10}), 0u);
  EXPECT_EQ(layout.characterIndexAt({aWidth + 2, 10}), 1u);
  EXPECT_EQ(layout.characterIndexAt({layout.size().width + 10, 10}), std::nullopt);
  EXPECT_EQ(layout.closestInsertionIndex({layout.size().width + 10, 10}), 2u);
  EXPECT_EQ(layout.closestInsertionIndex({aWidth * 0.9, 10}), 1u);
}

class LabelDrawingTest : public testing::HeadlessTest {};

TEST_F(LabelDrawingTest, BaselineSitsWhereTheLayoutSays) {
  auto window = makeWindow({200, 100});
  window->setBackgroundColor(Color::white());
  auto label = std::make_shared<Label>(Rect{10, 20, 180, 60}, "H");
  label->setFont(Font::named("Helvetica Neue", 40));
  window->contentView()->addSubview(label);
  auto image = window->renderImage(1);
  // The left stem of the H: find its lowest dark pixel.
  double baselineFromTop = (100 - 80) + label->textLayout().firstBaseline();
  int column = int(10 + Label::kHorizontalInset + 5);
  int lowest = -1;
  for (int row = 0; row < 100; ++row) {
    if (image->pixelAt(column, row).red < 128) lowest = row;
  }
  ASSERT_GE(lowest, 0);
  EXPECT_NEAR(lowest + 1, baselineFromTop, 1.5);
}

TEST_F(LabelDrawingTest, LabelsSizeToFitAndTruncate) {
  auto label = std::make_shared<Label>(Rect{10, 20, 60, 30}, "A long label text");
  label->setFont(Font::named("Helvetica Neue", 14));
  label->setLineBreakMode(LineBreakMode::TruncatingTail);
  EXPECT_TRUE(label->textLayout().isTruncated());
  label->sizeToFit();
  EXPECT_EQ(label->frame().maxY(), 50);  // the top edge stays
  EXPECT_FALSE(label->textLayout().isTruncated());
  EXPECT_NEAR(label->frame().width,
              std::ceil(measureText("A long label text", label->font()).width) + 4, 0.01);
}

TEST(TextViewTest, LinksAreFoundUnderThePointerOnly) {
  TextAttributes base = withFont(Font::named("Helvetica Neue", 14));
  AttributedString text("Please contact us or contact us", base);
  TextAttributes link;
  link.link = "contact us";
  text.addAttributes(link, text::rangeOf(text.string(), "contact us"));  // the first only
  TextView view({0, 0, 400, 40});
  view.setAttributedString(text);
  Point origin = view.textOrigin();
  auto rects = view.textLayout().rectsForRange(text::rangeOf(text.string(), "contact us"));
  ASSERT_EQ(rects.size(), 1u);
  Point onLink{origin.x + rects[0].midX(), origin.y + rects[0].midY()};
  size_t index = 0;
  EXPECT_EQ(view.linkAt(onLink, &index), "contact us");
  EXPECT_GE(index, 7u);
  EXPECT_LT(index, 17u);
  auto second = view.textLayout().rectsForRange({21, 10});
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(view.linkAt({origin.x + second[0].midX(), origin.y + second[0].midY()}), std::nullopt);
  EXPECT_EQ(view.linkAt({origin.x + 2, origin.y + 5}), std::nullopt);  // "Please"
  EXPECT_EQ(view.cursorAt(onLink), Cursor::PointingHand);
  EXPECT_EQ(view.cursorAt({origin.x + 2, origin.y + 5}), Cursor::IBeam);
}

}  // namespace
}  // namespace os::ui
