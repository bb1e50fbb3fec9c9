#include "os/ui/backend_headless.h"

#include <cmath>

#include "os/dispatch/dispatch.h"
#include "os/process/clock.h"
#include "os/ui/drawing.h"

namespace os::ui {
namespace {

// A window without a window system: the toolkit's Window keeps all the state that matters.
class HeadlessWindow : public BackendWindow {
 public:
  void setFrame(const Rect&) override {}
  void setVisible(bool) override {}
  void raise() override {}
  void setLevel(int) override {}
  void setTitle(const std::string&) override {}
  void minimize() override {}
  void restore() override {}
  void focus() override {}
  void present(cairo_surface_t*, double) override {}
};

constexpr Color kDesktop{0.55, 0.58, 0.62};

}  // namespace

HeadlessBackend::HeadlessBackend(BackendEventSink& sink, const Rect& screen, double scale)
    : sink_(sink), screen_(screen), scale_(scale) {}

std::unique_ptr<BackendWindow> HeadlessBackend::createWindow(Window&) {
  return std::make_unique<HeadlessWindow>();
}

double HeadlessBackend::pollEvents() { return kWaitForever; }

void HeadlessBackend::send(Window& window, EventType type, Point point, int clickCount,
                           double deltaY) {
  Point origin = pressed_ ? pressOrigin_ : window.frame().origin();
  Event event;
  event.type = type;
  event.locationOnScreen = {origin.x + point.x, origin.y + point.y};
  event.clickCount = clickCount;
  event.timestamp = os::clock::monotonic();
  event.scrollingDeltaY = deltaY;
  sink_.sendEvent(window, event);
}

void HeadlessBackend::mouseMove(Window& window, Point point) {
  send(window, EventType::MouseMoved, point, 0);
}

void HeadlessBackend::mouseDown(Window& window, Point point, int clickCount) {
  pressOrigin_ = window.frame().origin();
  pressed_ = true;
  send(window, EventType::LeftMouseDown, point, clickCount);
}

void HeadlessBackend::mouseDrag(Window& window, Point point) {
  send(window, EventType::LeftMouseDragged, point, 0);
}

void HeadlessBackend::mouseUp(Window& window, Point point, int clickCount) {
  send(window, EventType::LeftMouseUp, point, clickCount);
  pressed_ = false;
}

void HeadlessBackend::rightMouseDown(Window& window, Point point) {
  send(window, EventType::RightMouseDown, point, 1);
}

void HeadlessBackend::rightMouseUp(Window& window, Point point) {
  send(window, EventType::RightMouseUp, point, 1);
}

void HeadlessBackend::mouseExit(Window& window) {
  send(window, EventType::MouseExited, {-1, -1}, 0);
}

void HeadlessBackend::click(Window& window, Point point, int clickCount) {
  mouseMove(window, point);
  mouseDown(window, point, clickCount);
  mouseUp(window, point, clickCount);
}

void HeadlessBackend::doubleClick(Window& window, Point point) {
  click(window, point, 1);
  click(window, point, 2);
}

void HeadlessBackend::scroll(Window& window, Point point, double deltaY) {
  send(window, EventType::ScrollWheel, point, 0, deltaY);
}

bool HeadlessBackend::dropFiles(Window& window, Point point, std::vector<std::string> filenames) {
  return window.dropFiles(point, std::move(filenames));
}

bool HeadlessBackend::clickView(Window& window, std::string_view identifier, int clickCount) {
  auto view = window.findViewByIdentifier(identifier);
  if (!view || view->isHiddenOrHasHiddenAncestor()) return false;
  Rect visible = view->visibleRect();
  if (visible.isEmpty()) return false;
  click(window, view->convertPointToView(visible.center(), nullptr), clickCount);
  return true;
}

std::shared_ptr<Image> HeadlessBackend::render(Window& window, double scale) {
  return window.renderImage(scale);
}

std::shared_ptr<Image> HeadlessBackend::renderScreen(double scale) {
  int width = int(std::lround(screen_.width * scale));
  int height = int(std::lround(screen_.height * scale));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(surface);
  GraphicsContext context(cr, scale);
  cairo_scale(cr, scale, scale);
  // Screen coordinates: from the bottom-left corner, y upwards.
  cairo_translate(cr, 0, screen_.height);
  cairo_scale(cr, 1, -1);
  context.setFillColor(kDesktop);
  context.fillRect(screen_);
  auto windows = sink_.orderedWindows();
  for (auto window = windows.rbegin(); window != windows.rend(); ++window) {
    auto picture = (*window)->renderImage(scale);
    context.save();
    if ((*window)->hasShadow()) {
      context.setShadow(Shadow{Color::black().withAlpha(0.5), {0, -6}, 16});
    }
    context.drawImage(*picture, (*window)->frame());
    context.restore();
  }
  cairo_destroy(cr);
  auto image = Image::fromSurface(surface, scale);
  cairo_surface_destroy(surface);
  return image;
}

bool HeadlessBackend::writePNG(Window& window, const std::string& path, double scale,
                               Error* error) {
  return render(window, scale)->writePNG(path, error);
}

}  // namespace os::ui
