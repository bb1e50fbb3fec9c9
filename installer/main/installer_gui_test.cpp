// The real installer executable in a real window on the X display (Xvfb under ./run test),
// against the local stand-ins of the maker's servers, in a sandbox. The pointer is driven
// through the XTEST extension as a person's mouse drives it, and what the window shows is read
// back both from the installer's own snapshots and from the X screen. Skipped without a display.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "installer/main/installer_process_test_util.h"
#include "installer/screens/progress_layout.h"
#include "os/log/log.h"
#include "os/ui/application.h"
#include "os/ui/image.h"
#include "os/ui/window.h"
#include "os/ui/x_screen_test_util.h"
#include "testsupport/sandbox.h"
#include "tools/installer/resource_server.h"
#include "tools/installer/sample_product.h"

namespace {

using installer::testing::Clock;
using installer::testing::copyInstallerBundleForProduct;
using installer::testing::InstallerRun;
using installer::testing::runInstaller;
using installer::testing::trackedActions;
using os::ui::testing::Rgb;
using os::ui::testing::XScreen;
using namespace std::chrono_literals;

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kInstallBlue{17, 127, 228};
constexpr Rgb kUpperAreaGrey{247, 247, 247};
constexpr Rgb kBarFill{1, 150, 235};
constexpr Rgb kBarTrack{230, 230, 230};
constexpr Rgb kErrorPageColor{46, 58, 78};
// Product 14's Install button and the dark area around it.
constexpr Rgb kLunavexInstallPurple{0x70, 0x57, 0xea};
constexpr Rgb kTryAgainOrange{255, 174, 30};

// Places in the installer's 600 x 400 window, in pixels from its top-left corner.
struct Box {
  int x, y, width, height;
  int centreX() const { return x + width / 2; }
  int centreY() const { return y + height / 2; }
};
constexpr int kWindowWidth = 600, kWindowHeight = 400;
constexpr Box kInstallButton{210, 308, 180, 50};
constexpr Box kTryAgainButton{210, 308, 180, 50};
constexpr Box kPercentLabel{440, 304, 122, 18};
constexpr Box kProgressBar{40, 334, 520, 6};
// The error page's message under its title.
constexpr Box kErrorMessage{177, 145, 400, 56};
// The window's own close button, at its top left.
constexpr Box kCloseButton{10, 15, 14, 16};
// The licence window (480 x 422 with its title bar) lies centred over the installer's: its
// agreement button.
constexpr Box kLicenceAgreeButton{60 + 320, 365, 140, 30};
// The question panel's OK button, for English titles as wide as the narrowest buttons.
constexpr Box kQuestionOKButton{410, 103, 80, 22};

// A picture of the window: a snapshot the installer wrote, or the X screen grabbed at the
// window's place.
class Picture {
 public:
  explicit Picture(std::shared_ptr<os::ui::Image> image) : image_(std::move(image)) {}
  bool isValid() const { return image_ && image_->pixelWidth() >= kWindowWidth; }
  Rgb at(int x, int y) const {
    os::ui::Image::Pixel pixel = image_->pixelAt(x, y);
    return {pixel.red, pixel.green, pixel.blue};
  }
  bool isOpaqueAt(int x, int y) const { return image_->pixelAt(x, y).alpha == 255; }
  int count(const Box& box, Rgb colour) const {
    int found = 0;
    for (int y = box.y; y < box.y + box.height; ++y) {
      for (int x = box.x; x < box.x + box.width; ++x) found += at(x, y) == colour;
    }
    return found;
  }

 private:
  std::shared_ptr<os::ui::Image> image_;
};

std::optional<Picture> readPicture(const std::filesystem::path& path) {
  Picture picture(os::ui::Image::fromFile(path.string()));
  if (!picture.isValid()) return std::nullopt;
  return picture;
}

std::string describe(Rgb colour) {
  return "(" + std::to_string(colour.red) + "," + std::to_string(colour.green) + "," +
         std::to_string(colour.blue) + ")";
}

// What is wrong with a bordered button whose border and title are `colour` on white; empty
// when nothing is.
std::string borderedButtonProblems(const Picture& picture, const Box& button, Rgb colour,
                                   const std::string& name) {
  std::string problems;
  // The 2-pixel border, on each side's middle.
  const Box edges[] = {{button.x, button.centreY(), 3, 1},
                       {button.x + button.width - 3, button.centreY(), 3, 1},
                       {button.centreX(), button.y, 1, 3},
                       {button.centreX(), button.y + button.height - 3, 1, 3}};
  for (const Box& edge : edges) {
    if (picture.count(edge, colour) == 0) {
      problems += name + " has no border " + describe(colour) + " at (" + std::to_string(edge.x) +
                  "," + std::to_string(edge.y) + ") but " + describe(picture.at(edge.x, edge.y)) +
                  "; ";
    }
  }
  const Box inside{button.x + 6, button.y + 6, button.width - 12, button.height - 12};
  const int area = inside.width * inside.height;
  const int title = picture.count(inside, colour);
  const int white = picture.count(inside, kWhite);
  // A title of a few letters in 24 points: solid strokes, the rest white.
  if (title < 40) problems += name + "'s title shows " + std::to_string(title) + " pixels; ";
  if (white < area / 2) problems += name + " is white in " + std::to_string(white) + " pixels; ";
  return problems;
}

std::string firstScreenProblems(const Picture& picture) {
  std::string problems = borderedButtonProblems(picture, kInstallButton, kInstallBlue, "Install");
  // The upper area above the Install button, right of the product's picture and left of its
  // texts' ends.
  if (picture.count({240, 240, 40, 20}, kUpperAreaGrey) < 600) {
    problems += "the upper area is " + describe(picture.at(250, 250)) + "; ";
  }
  return problems;
}

// How many of the pixels that `snapshot` draws opaquely `grab` shows otherwise. The window is
// not opaque: where it is transparent (its rounded corners) the screen shows what lies below.
int differingPixels(const Picture& snapshot, const Picture& grab) {
  int differing = 0;
  for (int y = 0; y < kWindowHeight; ++y) {
    for (int x = 0; x < kWindowWidth; ++x) {
      differing += snapshot.isOpaqueAt(x, y) && snapshot.at(x, y) != grab.at(x, y);
    }
  }
  return differing;
}

// The bar's middle row: how many pixels have the fill's colour, the track's, or another.
struct BarRow {
  int filled = 0, track = 0, other = 0;
};

BarRow barRow(const Picture& picture) {
  BarRow row;
  // The corners are rounded: the row through the middle keeps the plain colours.
  const int y = kProgressBar.centreY();
  for (int x = kProgressBar.x + 3; x < kProgressBar.x + kProgressBar.width - 3; ++x) {
    Rgb colour = picture.at(x, y);
    if (colour == kBarFill) {
      ++row.filled;
    } else if (colour == kBarTrack) {
      ++row.track;
    } else {
      ++row.other;
    }
  }
  return row;
}

// A bar from the left edge in the fill's colour, then the track, and nothing else.
std::string midDownloadProblems(const Picture& picture) {
  std::string problems;
  BarRow row = barRow(picture);
  if (picture.at(kProgressBar.x + 3, kProgressBar.centreY()) != kBarFill) {
    problems += "the bar does not start filled but " +
                describe(picture.at(kProgressBar.x + 3, kProgressBar.centreY())) + "; ";
  }
  if (picture.at(kProgressBar.x + kProgressBar.width - 4, kProgressBar.centreY()) != kBarTrack) {
    problems += "the bar does not end in the track's colour; ";
  }
  if (row.filled == 0 || row.track == 0 || row.other > 2) {
    problems += "the bar's row has " + std::to_string(row.filled) + " filled, " +
                std::to_string(row.track) + " track and " + std::to_string(row.other) +
                " other pixels; ";
  }
  // Above and below the bar: white.
  if (picture.count({kProgressBar.x, kProgressBar.y - 4, kProgressBar.width, 2}, kWhite) <
      kProgressBar.width * 2 - 4) {
    problems += "the bar does not sit on white; ";
  }
  return problems;
}

// How far the bar's fill ends from where `percentText` puts it: the label and the bar show the
// same report, the bar's fill truncated to whole pixels.
int barOffsetFrom(const Picture& picture, const std::string& percentText) {
  const double percent = std::min(100.0, std::strtod(percentText.c_str(), nullptr));
  const int expected = int(percent * kProgressBar.width / 100);
  // barRow leaves out the rounded ends' 3 pixels.
  return barRow(picture).filled + 3 - expected;
}

std::string errorPageProblems(const Picture& picture) {
  std::string problems =
      borderedButtonProblems(picture, kTryAgainButton, kTryAgainOrange, "Try Again");
  // The page's colour around its picture and texts, and white letters of the message.
  if (picture.count({578, 150, 20, 100}, kErrorPageColor) < 1900 ||
      picture.count({20, 215, 150, 40}, kErrorPageColor) < 5900) {
    problems += "the page is " + describe(picture.at(590, 200)) + "; ";
  }
  if (picture.count(kErrorMessage, kWhite) < 60) problems += "no message under the title; ";
  return problems;
}

// A console line's time stamp ("2026-12-10 12:24:39.123", local time): stamps in that form
// sort as the moments they name.
constexpr size_t kStampLength = 23;

// The stamp of the console line that holds the character at `at`.
std::string stampOfLineAt(const std::string& output, size_t at) {
  size_t lineStart = output.rfind('\n', at);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  return output.substr(lineStart, kStampLength);
}

// The stamp of the console's first line that holds `text`.
std::optional<std::string> stampOf(const std::string& output, const std::string& text) {
  size_t at = output.find(text);
  if (at == std::string::npos) return std::nullopt;
  return stampOfLineAt(output, at);
}

// The download's percent values as the console showed them ("progress:12.345678"), each with
// its line's stamp.
std::vector<std::pair<std::string, double>> loggedProgress(const std::string& output) {
  std::vector<std::pair<std::string, double>> values;
  const std::string marker = "progress:";
  for (size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
    if (output.find('\n', at) == std::string::npos) break;
    values.emplace_back(stampOfLineAt(output, at),
                        std::strtod(output.c_str() + at + marker.size(), nullptr));
  }
  return values;
}

// The last percent logged up to `stamp` and the first logged from it on.
std::pair<double, double> progressAround(const std::string& output, const std::string& stamp) {
  double before = 0, after = 100;
  for (const auto& [lineStamp, value] : loggedProgress(output)) {
    if (lineStamp <= stamp) before = value;
    if (lineStamp >= stamp) {
      after = value;
      break;
    }
  }
  return {before, after};
}

// The percent label's possible texts at `stamp`: it shows the last reported value, and each
// whole percent is logged about when it is reported; generous on both sides for the hop to the
// main queue.
std::vector<std::string> percentTextsAround(const std::string& output, const std::string& stamp) {
  auto [before, after] = progressAround(output, stamp);
  std::vector<std::string> texts;
  const int low = std::max(0, int(before) - 2), high = std::min(100, int(after) + 2);
  for (int hundredths = low * 100; hundredths <= high * 100; ++hundredths) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%02d%%", hundredths / 100, hundredths % 100);
    texts.push_back(text);
  }
  return texts;
}

// Reads the progress screen's percent label from a picture of the window by drawing the
// screen's own layout in this process with each possible text and keeping the one whose label
// has the very same pixels: pixels are all that a person sees of it.
class PercentLabelReader {
 public:
  PercentLabelReader() {
    os::ui::Application::resetForTesting();
    os::ui::Application::shared().start(os::ui::Application::BackendKind::Headless);
    layout_ = TSRProgressLayout::build(7);
    window_ = std::make_shared<os::ui::Window>(os::ui::Rect{0, 0, kWindowWidth, kWindowHeight},
                                               os::ui::Window::kBorderless);
    window_->contentView()->addSubview(layout_->groupView());
  }
  ~PercentLabelReader() { os::ui::Application::resetForTesting(); }

  struct Reading {
    std::string text;
    long difference = 0;      // summed over the label's pixels and components
    long nextDifference = 0;  // of the second-best text
  };

  Reading read(const Picture& picture, const std::vector<std::string>& candidates) {
    Reading best{"", -1, -1};
    for (const std::string& text : candidates) {
      layout_->percentLabel()->setStringValue(text);
      std::shared_ptr<os::ui::Image> drawn = window_->renderImage(1);
      long difference = 0;
      for (int y = kPercentLabel.y; y < kPercentLabel.y + kPercentLabel.height; ++y) {
        for (int x = kPercentLabel.x; x < kPercentLabel.x + kPercentLabel.width; ++x) {
          os::ui::Image::Pixel mine = drawn->pixelAt(x, y);
          Rgb theirs = picture.at(x, y);
          difference += std::abs(mine.red - theirs.red) + std::abs(mine.green - theirs.green) +
                        std::abs(mine.blue - theirs.blue);
        }
      }
      if (best.difference < 0 || difference < best.difference) {
        best.nextDifference = best.difference;
        best.difference = difference;
        best.text = text;
      } else if (best.nextDifference < 0 || difference < best.nextDifference) {
        best.nextDifference = difference;
      }
    }
    return best;
  }

 private:
  std::unique_ptr<TSRProgressLayout> layout_;
  std::shared_ptr<os::ui::Window> window_;
};

// Polls `condition` every 20 ms until it holds or `limit` has passed.
bool pollUntil(const std::function<bool()>& condition, Clock::duration limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The installer's process id from its console lines ("... Brevalo Installer[1234:1234] ...").
std::optional<pid_t> installerProcess(const std::string& output) {
  const std::string marker = "Installer[";
  size_t at = output.find(marker);
  if (at == std::string::npos) return std::nullopt;
  long pid = std::strtol(output.c_str() + at + marker.size(), nullptr, 10);
  if (pid <= 0) return std::nullopt;
  return pid_t(pid);
}

// Whether `text` has the form of a percent label: ^\d{1,3}\.\d{2}%$ (std::regex trips GCC
// 12's uninitialised-use warning under the sanitizers).
bool isPercentText(const std::string& text) {
  const size_t point = text.find('.');
  if (point == std::string::npos || point < 1 || point > 3 || text.size() != point + 4 ||
      text.back() != '%') {
    return false;
  }
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (i != point && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

class InstallerGuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "no X display (run under xvfb-run)";
    // The X server starts afresh when its last client leaves, as when the test before this one
    // ended; it takes new clients again a moment later.
    pollUntil(
        [&] {
          screen_ = std::make_unique<XScreen>();
          return screen_->isOpen();
        },
        10s);
    ASSERT_TRUE(screen_->isOpen());
    // The window is centred on the screen, in whole pixels.
    windowX_ = int(std::lround((screen_->width() - kWindowWidth) / 2.0));
    windowY_ = screen_->height() - kWindowHeight -
               int(std::lround((screen_->height() - kWindowHeight) / 2.0));

    sandbox_.emplace();
    server_.emplace();
    sandbox_->setEnv("TESSARO_UI", "sdl");
    sandbox_->setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    sandbox_->setEnv("TESSARO_CONNECT_TO", server_->connectTo());
    sandbox_->setEnv("TESSARO_CA_FILE", server_->certificatePath().string());
    sandbox_->setEnv("TESSARO_CRASH_FOR_TESTING", std::nullopt);
    sandbox_->setEnv("TESSARO_UI_SCRIPT", std::nullopt);
    std::filesystem::create_directories(sandbox_->home() / "Desktop");
    // Keep the pointer off the window until a test clicks.
    screen_->moveTo(0, 0);
  }

  void TearDown() override {
    // A failed test keeps its pictures where people can look at them.
    if (HasFailure() && sandbox_) {
      const std::string prefix = ::testing::TempDir() + "/installer_gui_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
      for (const auto& entry : std::filesystem::directory_iterator(sandbox_->root())) {
        if (entry.path().extension() != ".png") continue;
        std::filesystem::copy_file(entry.path(), prefix + "_" + entry.path().filename().string(),
                                   std::filesystem::copy_options::overwrite_existing);
      }
    }
  }

  std::filesystem::path file(const std::string& name) const { return sandbox_->root() / name; }

  void useScript(const std::string& text) {
    std::filesystem::path path = file("script.txt");
    std::ofstream(path) << text;
    sandbox_->setEnv("TESSARO_UI_SCRIPT", path.string());
  }

  // The window's place on the X screen, grabbed now.
  std::optional<Picture> grabWindow(const std::string& name) {
    std::filesystem::path path = file(name);
    lastGrabStamp_ = os::log::timestampNow();
    screen_->writePNG(windowX_, windowY_, kWindowWidth, kWindowHeight, path.string());
    return readPicture(path);
  }

  // Polls the screen until `problems` finds nothing wrong with the window (30 s at most); the
  // last grab's problems otherwise.
  std::string waitForScreen(const std::string& name,
                            const std::function<std::string(const Picture&)>& problems) {
    std::string found = "the window was never grabbed";
    pollUntil(
        [&] {
          std::optional<Picture> picture = grabWindow(name);
          found = picture ? problems(*picture) : "the screen could not be grabbed";
          return found.empty();
        },
        30s);
    return found;
  }

  // A person's click: the pointer moves onto the window's point, presses and lets go.
  void click(int x, int y) {
    screen_->moveTo(windowX_ + x, windowY_ + y);
    std::this_thread::sleep_for(50ms);
    screen_->button(true);
    std::this_thread::sleep_for(50ms);
    screen_->button(false);
  }

  void lunavexAsksAfterItsLicence(bool existingCopy);

  // Ends the installer when the test cannot go on with it, so that it never waits out its
  // script.
  static void stop(const std::string& output) {
    if (std::optional<pid_t> pid = installerProcess(output)) kill(*pid, SIGTERM);
  }

  std::unique_ptr<XScreen> screen_;
  int windowX_ = 0, windowY_ = 0;
  // When the last grab was taken, as a console stamp.
  std::string lastGrabStamp_;
  std::optional<testsupport::Sandbox> sandbox_;
  std::optional<tools::ResourceServer> server_;
};

// Watches the X screen from before the installer starts for its window's first frame: when the
// window's middle first shows anything but what was there before, when the upper area's grey and
// when the Install button's border first show at their places. Read them after finish().
class FirstFrameWatch {
 public:
  FirstFrameWatch(int windowX, int windowY) {
    thread_ = std::thread([this, windowX, windowY] {
      XScreen screen;
      const int middleX = windowX + kWindowWidth / 2, middleY = windowY + kWindowHeight / 2;
      const Rgb before = screen.pixel(middleX, middleY);
      const Clock::time_point deadline = Clock::now() + 60s;
      while (!stop_ && Clock::now() < deadline) {
        if (!anything && screen.pixel(middleX, middleY) != before) anything = Clock::now();
        if (!upperArea && screen.pixel(windowX + 260, windowY + 250) == kUpperAreaGrey) {
          upperArea = Clock::now();
        }
        if (!installButton && screen.pixel(windowX + kInstallButton.x,
                                           windowY + kInstallButton.centreY()) == kInstallBlue) {
          installButton = Clock::now();
        }
        if (anything && upperArea && installButton) return;
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  ~FirstFrameWatch() { finish(); }

  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::optional<Clock::time_point> anything, upperArea, installButton;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

TEST_F(InstallerGuiTest, RealClickOnInstallInstallsWhileTheScreensShowTheDownload) {
  // About 30 s for the archive, so that the download can be seen on its way.
  const uint64_t archiveBytes = std::filesystem::file_size(server_->archivePath());
  server_->setFaults(tools::Resource::Archive,
                     {.bytesPerSecond = std::max<uint64_t>(archiveBytes / 30, 1024)});
  const std::filesystem::path firstScreen = file("first-screen.png");
  std::string script =
      "wait install 30\nsnapshot " + firstScreen.string() + "\n" + "wait progressBar 45\n";
  constexpr int kDownloadSnapshots = 20;
  for (int index = 1; index <= kDownloadSnapshots; ++index) {
    script +=
        "sleep 1\nsnapshot " + file("download-" + std::to_string(index) + ".png").string() + "\n";
  }
  useScript(script);

  FirstFrameWatch firstFrame(windowX_, windowY_);
  std::string firstScreenOnScreen = "not looked at", downloadOnScreen = "not looked at";
  bool clicked = false;
  std::optional<std::string> downloadGrabbedAt;
  InstallerRun run = runInstaller([&](const std::string& output) {
    if (!clicked && output.find("snapshot " + firstScreen.string()) != std::string::npos) {
      clicked = true;
      firstFrame.finish();
      firstScreenOnScreen = waitForScreen("first-screen-on-screen.png", firstScreenProblems);
      if (!firstScreenOnScreen.empty()) return stop(output);
      click(kInstallButton.centreX(), kInstallButton.centreY());
    }
    std::vector<std::pair<std::string, double>> progress = loggedProgress(output);
    if (clicked && !downloadGrabbedAt && !progress.empty() && progress.back().second >= 5) {
      downloadOnScreen = waitForScreen("download-on-screen.png", midDownloadProblems);
      downloadGrabbedAt = lastGrabStamp_;
    }
  });
  firstFrame.finish();

  ASSERT_TRUE(clicked) << run.output;
  EXPECT_EQ(firstScreenOnScreen, "") << "on the X screen";
  EXPECT_EQ(downloadOnScreen, "") << "on the X screen";
  ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
  EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;

  // What the installer did with the click.
  EXPECT_EQ(trackedActions(run.output),
            (std::vector<std::string>{"Launch App", "Start Download", "Download Successful",
                                      "Install Finished", "Start Application", "Close"}))
      << run.output;
  EXPECT_TRUE(std::filesystem::exists(sandbox_->systemRoot() / "Applications/Brevalo.app"));
  EXPECT_TRUE(std::filesystem::is_symlink(sandbox_->home() / "Desktop/Brevalo.app"));
  EXPECT_TRUE(std::filesystem::exists(sandbox_->home() / tools::kMarkerFileName));
  EXPECT_TRUE(
      std::filesystem::exists(sandbox_->home() / ".local/share/tessaroTrack/BV-Track.plist"));
  std::optional<Clock::time_point> closed = run.arrivalOf("ea = Close;");
  ASSERT_TRUE(closed) << run.output;
  EXPECT_GE(run.exited - *closed, 1900ms);
  EXPECT_LE(run.exited - *closed, 20s);

  // The first screen as the installer drew it.
  std::optional<Picture> first = readPicture(firstScreen);
  ASSERT_TRUE(first) << run.output;
  EXPECT_EQ(firstScreenProblems(*first), "");
  std::optional<Picture> firstOnScreen = readPicture(file("first-screen-on-screen.png"));
  ASSERT_TRUE(firstOnScreen);
  EXPECT_EQ(differingPixels(*first, *firstOnScreen), 0) << "the screen does not show the snapshot";

  // The first of the download's snapshots taken well into the download and well before its end.
  std::optional<Picture> download;
  std::optional<std::string> downloadShotAt;
  for (int index = 1; index <= kDownloadSnapshots && !download; ++index) {
    const std::filesystem::path shot = file("download-" + std::to_string(index) + ".png");
    std::optional<std::string> stamp = stampOf(run.output, "snapshot " + shot.string());
    if (!stamp) continue;
    auto [before, after] = progressAround(run.output, *stamp);
    if (before < 3 || after > 95) continue;
    download = readPicture(shot);
    downloadShotAt = stamp;
  }
  ASSERT_TRUE(download) << "no snapshot in the middle of the download\n" << run.output;
  EXPECT_EQ(midDownloadProblems(*download), "");

  // The percent label, read from the pixels of the snapshot and of the screen.
  PercentLabelReader reader;
  PercentLabelReader::Reading shown =
      reader.read(*download, percentTextsAround(run.output, *downloadShotAt));
  EXPECT_EQ(shown.difference, 0) << shown.text << ", next " << shown.nextDifference;
  EXPECT_GT(shown.nextDifference, 0) << shown.text;
  EXPECT_TRUE(isPercentText(shown.text)) << shown.text;
  EXPECT_LE(std::abs(barOffsetFrom(*download, shown.text)), 1) << shown.text;
  std::cout << "[ reading  ] the snapshot's percent label: " << shown.text << "\n";
  ASSERT_TRUE(downloadGrabbedAt);
  std::optional<Picture> onScreen = readPicture(file("download-on-screen.png"));
  ASSERT_TRUE(onScreen);
  PercentLabelReader::Reading seen =
      reader.read(*onScreen, percentTextsAround(run.output, *downloadGrabbedAt));
  EXPECT_EQ(seen.difference, 0) << seen.text << ", next " << seen.nextDifference;
  EXPECT_TRUE(isPercentText(seen.text)) << seen.text;
  EXPECT_LE(std::abs(barOffsetFrom(*onScreen, seen.text)), 1) << seen.text;
  std::cout << "[ reading  ] the screen's percent label: " << seen.text << "\n";

  // Launch to first frame: from the spawn to the window's first pixels on the X screen. A
  // figure to report, not a limit to test.
  ASSERT_TRUE(firstFrame.anything && firstFrame.upperArea && firstFrame.installButton);
  const double firstFrameMs = millisecondsBetween(
      run.started,
      std::min({*firstFrame.anything, *firstFrame.upperArea, *firstFrame.installButton}));
  std::cout << "[ figure   ] launch to first frame on the X screen: " << firstFrameMs
            << " ms; window's middle changed at "
            << millisecondsBetween(run.started, *firstFrame.anything) << " ms, "
            << millisecondsBetween(run.started, *firstFrame.upperArea) << " ms (upper area), "
            << millisecondsBetween(run.started, *firstFrame.installButton)
            << " ms (Install button)\n";
  RecordProperty("launch_to_first_frame_ms", std::to_string(firstFrameMs));
}

TEST_F(InstallerGuiTest, RealClickOnInstallAfterServerFailuresShowsTheErrorPage) {
  server_->setFaults(tools::Resource::Configuration, {.status = 500});
  server_->setFaults(tools::Resource::Archive, {.status = 404});
  const std::filesystem::path firstScreen = file("first-screen.png");
  const std::filesystem::path errorPage = file("error-page.png");
  useScript("wait install 30\nsnapshot " + firstScreen.string() + "\nwait errorPage 45\nsnapshot " +
            errorPage.string() + "\n");

  std::string firstScreenOnScreen = "not looked at", errorPageOnScreen = "not looked at";
  bool clicked = false, ended = false;
  InstallerRun run = runInstaller([&](const std::string& output) {
    if (!clicked && output.find("snapshot " + firstScreen.string()) != std::string::npos) {
      clicked = true;
      firstScreenOnScreen = waitForScreen("first-screen-on-screen.png", firstScreenProblems);
      if (!firstScreenOnScreen.empty()) return stop(output);
      click(kInstallButton.centreX(), kInstallButton.centreY());
    }
    if (!ended && output.find("snapshot " + errorPage.string()) != std::string::npos) {
      ended = true;
      errorPageOnScreen = waitForScreen("error-page-on-screen.png", errorPageProblems);
      // The error page waits for Try Again or a close: the test is done with it.
      stop(output);
    }
  });

  EXPECT_EQ(firstScreenOnScreen, "") << "on the X screen";
  EXPECT_EQ(errorPageOnScreen, "") << "on the X screen";
  ASSERT_TRUE(ended) << run.output;
  std::optional<Picture> page = readPicture(errorPage);
  ASSERT_TRUE(page) << run.output;
  EXPECT_EQ(errorPageProblems(*page), "");
  std::optional<Picture> pageOnScreen = readPicture(file("error-page-on-screen.png"));
  ASSERT_TRUE(pageOnScreen);
  EXPECT_EQ(differingPixels(*page, *pageOnScreen), 0) << "the screen does not show the snapshot";
  EXPECT_EQ(trackedActions(run.output),
            (std::vector<std::string>{"Launch App", "Start Download", "Download Failed"}))
      << run.output;
  EXPECT_FALSE(std::filesystem::exists(sandbox_->systemRoot() / "Applications/Brevalo.app"));
}

// Product 14 shows its licence before it installs. The licence window is a child of the main
// window: after it, the window still asks its questions. `existingCopy`: a Lunavex.app is
// already installed, so Install asks whether to replace it; otherwise Install starts and the
// close button asks whether to stop.
void InstallerGuiTest::lunavexAsksAfterItsLicence(bool existingCopy) {
  sandbox_->setEnv("TESSARO_MAIN_BUNDLE",
                   copyInstallerBundleForProduct(sandbox_->root(), 14).string());
  if (existingCopy) {
    std::filesystem::create_directories(sandbox_->systemRoot() / "Applications/Lunavex.app");
  }
  // About a minute for the archive: the installation still runs when the close button is
  // clicked (once it has ended, closing asks nothing).
  const uint64_t archiveBytes = std::filesystem::file_size(server_->archivePath());
  server_->setFaults(tools::Resource::Archive,
                     {.bytesPerSecond = std::max<uint64_t>(archiveBytes / 60, 1024)});
  const std::filesystem::path firstScreen = file("first-screen.png");
  const std::filesystem::path licence = file("licence.png");
  const std::filesystem::path progress = file("progress.png");
  const std::filesystem::path question = file("question.png");
  std::string script = "wait install 30\nsnapshot " + firstScreen.string() +
                       "\nwait agreementButton 30\nsnapshot " + licence.string() + "\n";
  if (!existingCopy) script += "wait progressBar 60\nsnapshot " + progress.string() + "\n";
  script += "wait alertOKButton 60\nsnapshot " + question.string() + "\n";
  useScript(script);

  enum class Step { FirstScreen, Licence, Progress, Question, Done } step = Step::FirstScreen;
  std::string problem;
  InstallerRun run = runInstaller([&](const std::string& output) {
    auto shot = [&](const std::filesystem::path& path) {
      return output.find("snapshot " + path.string()) != std::string::npos;
    };
    if (step == Step::FirstScreen && shot(firstScreen)) {
      // Unticked: Install opens the licence.
      step = Step::Licence;
      click(kInstallButton.centreX(), kInstallButton.centreY());
    } else if (step == Step::Licence && shot(licence)) {
      click(kLicenceAgreeButton.centreX(), kLicenceAgreeButton.centreY());
      // The licence has gone once the Install button shows again where it lay.
      if (!pollUntil(
              [&] {
                return screen_->pixel(windowX_ + kInstallButton.centreX(),
                                      windowY_ + kInstallButton.y + 4) == kLunavexInstallPurple;
              },
              30s)) {
        problem = "the licence window did not go";
        return stop(output);
      }
      step = existingCopy ? Step::Question : Step::Progress;
      click(kInstallButton.centreX(), kInstallButton.centreY());
    } else if (step == Step::Progress && shot(progress)) {
      step = Step::Question;
      click(kCloseButton.centreX(), kCloseButton.centreY());
    } else if (step == Step::Question && shot(question)) {
      step = Step::Done;
      if (existingCopy) {
        // The question is what the test came for: the installer need not go on.
        if (std::optional<pid_t> pid = installerProcess(output)) kill(*pid, SIGKILL);
      } else {
        // Yes: the installer quits by itself.
        click(kQuestionOKButton.centreX(), kQuestionOKButton.centreY());
      }
    }
  });

  EXPECT_EQ(problem, "");
  EXPECT_EQ(step, Step::Done) << run.output;
  EXPECT_EQ(run.output.find("no main window"), std::string::npos) << run.output;
  std::vector<std::string> expected = {"Launch App"};
  if (!existingCopy) {
    ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;
    expected = {"Launch App", "Start Download", "Download Close", "Close"};
  }
  std::vector<std::string> actions = trackedActions(run.output);
  // How the try itself ends against the stand-in does not matter here.
  std::erase_if(actions, [](const std::string& action) {
    return action != "Launch App" && action != "Start Download" && action != "Download Close" &&
           action != "Cancel Close" && action != "Close";
  });
  EXPECT_EQ(actions, expected) << run.output;
}

TEST_F(InstallerGuiTest, AfterTheLicenceTheCloseButtonAsksWhetherToStop) {
  lunavexAsksAfterItsLicence(false);
}

TEST_F(InstallerGuiTest, AfterTheLicenceInstallAsksWhetherToReplaceTheExistingCopy) {
  lunavexAsksAfterItsLicence(true);
}

}  // namespace
