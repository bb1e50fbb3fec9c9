// Draws the installer's pictures for Brevalo into the folder given as the only argument:
//   bv_install.png      the product picture of the first screen and the progress screen
//   bv_failed.png       the product picture of the error page
//   install_note.png    the warning sign beside the error page's title
//   other_alert_bv.png  the picture of the questions' panel
// Shapes only, no text, so that the pictures are the same on every machine.
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

struct Color {
  double red, green, blue;
};

// The product's blue (the Install button's border) and the error page's orange.
constexpr Color kBlue = {17 / 255.0, 127 / 255.0, 228 / 255.0};
constexpr Color kLightBlue = {80 / 255.0, 170 / 255.0, 250 / 255.0};
constexpr Color kOrange = {255 / 255.0, 174 / 255.0, 30 / 255.0};
constexpr Color kDeepOrange = {240 / 255.0, 120 / 255.0, 20 / 255.0};

void roundedSquare(cairo_t* cr, double x, double y, double size, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + size - radius, y + radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, x + size - radius, y + size - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, x + radius, y + size - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

// A tile with a top-to-bottom gradient from `top` to `bottom`.
void tile(cairo_t* cr, double size, Color top, Color bottom) {
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, 0, size);
  cairo_pattern_add_color_stop_rgb(gradient, 0, top.red, top.green, top.blue);
  cairo_pattern_add_color_stop_rgb(gradient, 1, bottom.red, bottom.green, bottom.blue);
  roundedSquare(cr, size * 0.04, size * 0.04, size * 0.92, size * 0.2);
  cairo_set_source(cr, gradient);
  cairo_fill(cr);
  cairo_pattern_destroy(gradient);
}

// A white ring with a downward arrow: "download and install".
void installMark(cairo_t* cr, double size) {
  double centre = size / 2;
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, size * 0.06);
  cairo_arc(cr, centre, centre, size * 0.3, 0, 2 * M_PI);
  cairo_stroke(cr);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_move_to(cr, centre, size * 0.32);
  cairo_line_to(cr, centre, size * 0.64);
  cairo_move_to(cr, size * 0.38, size * 0.53);
  cairo_line_to(cr, centre, size * 0.65);
  cairo_line_to(cr, size * 0.62, size * 0.53);
  cairo_stroke(cr);
}

// A white exclamation mark centred in a square of `size`.
void exclamationMark(cairo_t* cr, double size) {
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, size * 0.12);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_move_to(cr, size / 2, size * 0.25);
  cairo_line_to(cr, size / 2, size * 0.56);
  cairo_stroke(cr);
  cairo_arc(cr, size / 2, size * 0.74, size * 0.07, 0, 2 * M_PI);
  cairo_fill(cr);
}

void disc(cairo_t* cr, double size, Color color) {
  cairo_set_source_rgb(cr, color.red, color.green, color.blue);
  cairo_arc(cr, size / 2, size / 2, size * 0.46, 0, 2 * M_PI);
  cairo_fill(cr);
}

// Draws a `size` × `size` picture with `draw` and writes it to `path`.
template <typename Draw>
bool writePicture(const std::string& path, int size, Draw draw) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(surface);
  draw(cr, double(size));
  cairo_destroy(cr);
  bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  if (!written) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  bool written = writePicture(folder + "/bv_install.png", 120, [](cairo_t* cr, double size) {
    tile(cr, size, kLightBlue, kBlue);
    installMark(cr, size);
  });
  written &= writePicture(folder + "/bv_failed.png", 120, [](cairo_t* cr, double size) {
    tile(cr, size, kOrange, kDeepOrange);
    exclamationMark(cr, size);
  });
  written &= writePicture(folder + "/install_note.png", 40, [](cairo_t* cr, double size) {
    disc(cr, size, kOrange);
    exclamationMark(cr, size);
  });
  written &= writePicture(folder + "/other_alert_bv.png", 48, [](cairo_t* cr, double size) {
    disc(cr, size, kBlue);
    exclamationMark(cr, size);
  });
  return written ? 0 : 1;
}
