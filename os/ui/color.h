// Colours as the toolkit draws them: device RGB with alpha, each component from 0 to 1.
//
//   os::ui::Color track{230 / 255.0, 230 / 255.0, 230 / 255.0};
//   os::ui::Color veil = os::ui::Color::black().withAlpha(0.2);
#pragma once

namespace os::ui {

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static constexpr Color clear() { return {0, 0, 0, 0}; }
  static constexpr Color black() { return {0, 0, 0, 1}; }
  static constexpr Color white() { return {1, 1, 1, 1}; }
  constexpr Color withAlpha(double newAlpha) const { return {red, green, blue, newAlpha}; }

  friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace os::ui
