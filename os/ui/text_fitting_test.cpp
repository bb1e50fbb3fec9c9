#include "os/ui/text_fitting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "os/ui/font.h"
#include "os/ui/label.h"

namespace os::ui {
namespace {

AttributedString helvetica(const std::string& text, double size) {
  TextAttributes attributes;
  attributes.font = Font::named("Helvetica Neue", size);
  return AttributedString(text, attributes);
}

double lineHeight(double size) { return TextLayout(helvetica("Hg", size)).size().height; }

TEST(TextFittingTest, ShrinksWrapsAndOnlyThenCuts) {
  const std::string sentence = "Installation fehlgeschlagen";
  const double width = measureText(sentence, Font::named("Helvetica Neue", 20)).width;
  struct Case {
    const char* name;
    Size box;
    bool shrinks;  // to a scale below 1
    int lines;     // 0: whatever fits
    bool truncated;
  };
  const Case cases[] = {
      {"room to spare", {width + 10, lineHeight(20) + 2}, false, 1, false},
      {"two lines in its size", {width * 0.7, lineHeight(20) * 2 + 1}, false, 2, false},
      {"one smaller line", {width * 0.85, lineHeight(20) + 1}, true, 1, false},
      {"too small even at the floor", {width * 0.4, lineHeight(20) + 1}, true, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextFit fit = fitText(helvetica(sentence, 20), c.box, 0.7);
    const Size size = fit.layout.size();
    EXPECT_LE(size.width, c.box.width + 0.01);
    EXPECT_LE(size.height, c.box.height + 0.01);
    EXPECT_EQ(fit.scale < 1, c.shrinks);
    EXPECT_GE(fit.scale, 0.7);
    EXPECT_EQ(fit.layout.isTruncated(), c.truncated);
    EXPECT_FALSE(fit.layout.breaksInsideWords());
    if (c.lines) {
      EXPECT_EQ(int(std::lround(size.height / lineHeight(20 * fit.scale))), c.lines);
    }
    if (c.truncated) {
      EXPECT_DOUBLE_EQ(fit.scale, 0.7);
    } else if (c.shrinks) {
      // The largest size that fits: half a point more does not.
      TextLayout larger(scaleFonts(helvetica(sentence, 20), fit.scale + 0.5 / 20), c.box.width);
      EXPECT_FALSE(fitsBox(larger, c.box));
    }
  }
}

TEST(TextFittingTest, AWordTooWideIsShrunkRatherThanBroken) {
  // At 20 points the word needs more than the width, and would be broken if it were wrapped.
  const std::string word = "Product_KV_Android_Name";
  const double width = measureText(word, Font::named("Helvetica Neue", 20)).width * 0.8;
  const Size box{width, lineHeight(20) * 2 + 1};
  TextLayout wrapped(helvetica(word, 20), width);
  EXPECT_TRUE(wrapped.breaksInsideWords());
  EXPECT_FALSE(fitsBox(wrapped, box));

  TextFit fit = fitText(helvetica(word, 20), box, 0.7);
  EXPECT_LT(fit.scale, 0.81);
  EXPECT_FALSE(fit.layout.breaksInsideWords());
  EXPECT_FALSE(fit.layout.isTruncated());
  EXPECT_LE(fit.layout.size().width, width + 0.01);
}

TEST(TextFittingTest, JapaneseWrapsBetweenCharactersAndEveryRunScales) {
  const std::string japanese = "インストールに失敗しました";
  const double width = measureText(japanese, Font::named("Helvetica Neue", 34)).width;
  // The Japanese face's lines are taller than the Latin one's.
  const double line = TextLayout(helvetica(japanese, 34)).size().height;
  TextFit fit = fitText(helvetica(japanese, 34), {width * 0.6, line * 2 + 2}, 0.7);
  EXPECT_DOUBLE_EQ(fit.scale, 1);
  EXPECT_FALSE(fit.layout.breaksInsideWords());
  EXPECT_GT(fit.layout.size().height, line * 1.5);

  AttributedString mixed = helvetica("Brevalo is ready", 20);
  TextAttributes small;
  small.font = Font::named("Helvetica Neue Bold", 10);
  mixed.addAttributes(small, {11, 5});
  AttributedString scaled = scaleFonts(mixed, 0.5);
  EXPECT_EQ(scaled.attributesAt(0).font, Font::named("Helvetica Neue", 10));
  EXPECT_EQ(scaled.attributesAt(12).font, Font::named("Helvetica Neue Bold", 5));
  EXPECT_EQ(scaled.string(), mixed.string());
}

TEST(TextFittingTest, LabelsFitTheirFrameOnlyWhenAsked) {
  const std::string text = "Alles, was Sie brauchen – in einer Minute eingerichtet.";
  Label label({0, 0, 300, lineHeight(14) + 2}, text);
  label.setFont(Font::named("Helvetica Neue", 14));
  // By default the text wraps to the lines it needs, below the frame.
  EXPECT_GT(label.textLayout().size().height, label.frame().height);

  label.setMinimumScaleFactor(0.7);
  EXPECT_LE(label.textLayout().size().height, label.frame().height + 0.01);
  EXPECT_LE(label.textLayout().size().width, 300 - 2 * Label::kHorizontalInset + 0.01);
  EXPECT_FALSE(label.textLayout().isTruncated());
  // A taller frame gives the text room for its own size on two lines.
  label.setFrame({0, 0, 300, lineHeight(14) * 2 + 2});
  EXPECT_GT(label.textLayout().size().height, lineHeight(14) * 1.5);
  EXPECT_EQ(label.textLayout().text().attributesAt(0).font, Font::named("Helvetica Neue", 14));
}

}  // namespace
}  // namespace os::ui
