// The view toolkit against its targets:
//
//   FullRedraw600x400Scale2   a 600x400 window of a few dozen views (labels, gradients, rounded
//                             layers with borders and a shadowed card) drawn whole at 2 pixels
//                             per point; target under 8 ms a frame
//   SlideFrames               frames shown while a 0.5 s slide runs on the main run loop; on the
//                             X display (SDL2) when DISPLAY is set, else headless; target >= 25
//   IdleCpu                   CPU time used by the run loop over 2 s of a shown window with
//                             nothing to do; target ~0
//
// Run the last two under Xvfb for the SDL2 figures: xvfb-run -a build/bench/ui_bench
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <memory>

#include "os/dispatch/runloop.h"
#include "os/ui/application.h"
#include "os/ui/backend_headless.h"
#include "os/ui/button.h"
#include "os/ui/label.h"
#include "os/ui/view.h"

namespace {

using namespace os::ui;

Color rgb(int red, int green, int blue) { return {red / 255.0, green / 255.0, blue / 255.0, 1}; }

// A panel with a horizontal two-colour gradient, as the installer's buttons and bars draw.
class GradientView : public View {
 public:
  using View::View;
  void drawRect(GraphicsContext& context, const Rect&) override {
    context.save();
    BezierPath::roundedRect(bounds(), 5, 5).addClip(context);
    Gradient({{0.1, rgb(6, 146, 255)}, {1, rgb(47, 160, 248)}})
        .drawLinear(context, {0, 0}, {bounds().width, 0}, Gradient::kDrawsAfterEndLocation);
    context.restore();
  }
};

// A white card with a grey drop shadow.
class CardView : public View {
 public:
  using View::View;
  void drawRect(GraphicsContext& context, const Rect&) override {
    context.save();
    context.setShadow(Shadow{rgb(145, 145, 145), {0, -2}, 4});
    context.setFillColor(Color::white());
    BezierPath::roundedRect(bounds().insetBy(5, 5), 5, 5).fill(context);
    context.restore();
  }
};

// Counts the frames it is drawn in.
class FrameCounter : public View {
 public:
  using View::View;
  void drawRect(GraphicsContext&, const Rect&) override { ++frames; }
  int frames = 0;
};

bool displayPresent() {
  const char* display = std::getenv("DISPLAY");
  return display && *display;
}

// Starts the application on the X display when there is one (or when `headless` is false and
// the display works), else headless at `scale`.
const char* startApplication(bool preferDisplay, double scale = 1) {
  Application::resetForTesting();
  if (preferDisplay && displayPresent() &&
      Application::shared().start(Application::BackendKind::Sdl)) {
    return "sdl";
  }
  Application::shared().start(Application::BackendKind::Headless);
  Application::shared().headlessBackend()->setBackingScaleFactor(scale);
  return "headless";
}

// The installer-like screen: a top area with title texts, a card with a progress bar and
// buttons, and rows of labels.
std::shared_ptr<Window> makeScreen() {
  auto window = std::make_shared<Window>(Rect{100, 100, 600, 400}, Window::kTitled);
  auto content = window->contentView();
  content->setWantsLayer(true);
  content->layer()->setBackgroundColor(Color::white());
  content->layer()->setCornerRadius(4);
  content->layer()->setMasksToBounds(true);

  auto top = std::make_shared<View>(Rect{0, 238, 600, 162});
  top->setWantsLayer(true);
  top->layer()->setBackgroundColor(rgb(247, 247, 247));
  content->addSubview(top);
  auto title = std::make_shared<Label>(Rect{180, 330, 400, 40}, "Brevalo");
  title->setFont(Font::named("Helvetica Neue", 30));
  top->addSubview(title);
  auto slogan = std::make_shared<Label>(Rect{180, 300, 400, 24}, "Recover what matters, fast.");
  slogan->setFont(Font::named("Helvetica Neue", 14));
  top->addSubview(slogan);

  auto card = std::make_shared<CardView>(Rect{40, 40, 520, 180});
  content->addSubview(card);
  auto track = std::make_shared<View>(Rect{30, 90, 460, 10});
  track->setWantsLayer(true);
  track->layer()->setBackgroundColor(rgb(230, 230, 230));
  track->layer()->setCornerRadius(3);
  track->layer()->setMasksToBounds(true);
  track->addSubview(std::make_shared<GradientView>(Rect{0, 0, 230, 10}));
  card->addSubview(track);
  auto percent = std::make_shared<Label>(Rect{30, 110, 200, 18}, "50.00%");
  percent->setFont(Font::named("Helvetica Neue", 12));
  card->addSubview(percent);
  for (int i = 0; i < 3; ++i) {
    auto button = std::make_shared<GradientView>(Rect{30.0 + 150 * i, 30, 130, 32});
    button->setWantsLayer(true);
    button->layer()->setBorderWidth(1);
    button->layer()->setBorderColor(rgb(204, 204, 204));
    button->layer()->setCornerRadius(5);
    card->addSubview(button);
    auto caption = std::make_shared<Label>(Rect{30.0 + 150 * i, 38, 130, 18}, "Try Again");
    caption->setAlignment(TextAlignment::Center);
    caption->setTextColor(Color::white());
    card->addSubview(caption);
  }
  for (int i = 0; i < 12; ++i) {
    auto row = std::make_shared<Label>(Rect{20.0 + 290 * (i % 2), 10.0 + 0 * i, 270, 16},
                                       "A line of small print that wraps and truncates");
    row->setFont(Font::named("Helvetica Neue", 11));
    row->setLineBreakMode(LineBreakMode::TruncatingTail);
    row->setFrameOrigin({20.0 + 290 * (i % 2), 236.0 - 8 * i});
    content->addSubview(row, View::Ordering::Below, nullptr);
  }
  auto box = std::make_shared<Button>(Rect{40, 10, 200, 20}, "I accept the licence agreement");
  box->setButtonType(Button::Type::Switch);
  content->addSubview(box);
  return window;
}

int countViews(const View& view) {
  int count = 1;
  for (const auto& subview : view.subviews()) count += countViews(*subview);
  return count;
}

void FullRedraw600x400Scale2(benchmark::State& state) {
  startApplication(false, 2);
  auto window = makeScreen();
  window->orderFront();
  for (auto _ : state) {
    window->display();
    benchmark::DoNotOptimize(window->backingSurface());
  }
  state.counters["views"] = countViews(*window->contentView());
  state.counters["target_ms"] = 8;
  window->close();
  Application::resetForTesting();
}
BENCHMARK(FullRedraw600x400Scale2)->Unit(benchmark::kMillisecond);

void SlideFrames(benchmark::State& state) {
  const char* backend = startApplication(true);
  auto window = makeScreen();
  auto counter = std::make_shared<FrameCounter>(Rect{0, 0, 1, 1});
  window->contentView()->addSubview(counter);
  auto panel = std::make_shared<View>(Rect{150, 400, 300, 120});
  panel->setWantsLayer(true);
  panel->layer()->setBackgroundColor(Color::white());
  panel->layer()->setBorderWidth(1);
  window->contentView()->addSubview(panel);
  window->makeKeyAndOrderFront();
  os::RunLoop::main().runUntil([&] { return !window->viewsNeedDisplay(); }, 2);
  for (auto _ : state) {
    int before = counter->frames;
    bool done = false;
    BasicAnimation slide("transform.translation.y");
    slide.setFromValue(0.0);
    slide.setToValue(-110.0);
    slide.setDuration(0.5);
    slide.setTimingFunction(TimingFunction::named(TimingFunction::EaseInEaseOut));
    AnimationContext::runAnimationGroup([&] { panel->layer()->addAnimation(slide, "moveY"); },
                                        [&] { done = true; });
    os::RunLoop::main().runUntil([&] { return done; }, 5);
    state.counters["frames"] = counter->frames - before;
  }
  state.counters["target_frames"] = 25;
  state.SetLabel(backend);
  window->close();
  Application::resetForTesting();
}
BENCHMARK(SlideFrames)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void IdleCpu(benchmark::State& state) {
  const char* backend = startApplication(true);
  auto window = makeScreen();
  window->makeKeyAndOrderFront();
  os::RunLoop::main().runUntil([&] { return !window->viewsNeedDisplay(); }, 2);
  for (auto _ : state) {
    double before = cpuSeconds();
    // A plain run that a timer ends: runUntil would wake every 10 ms to look at its condition.
    os::Timer::schedule(2, false, [](os::Timer&) { os::RunLoop::main().stop(); });
    os::RunLoop::main().run();
    state.counters["cpu_ms"] = (cpuSeconds() - before) * 1000;
  }
  state.SetLabel(backend);
  window->close();
  Application::resetForTesting();
}
BENCHMARK(IdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
