// Scripted input for the installer: a text file with one action per line, played on the main
// run loop while the installer runs, so that a machine without a display (or a test) can click
// through the screens and keep pictures of them.
//
//   wait <identifier> [seconds]   until a visible view with the identifier is in a window and
//                                 no animation moves it any more (default 30 seconds; the
//                                 script fails when it runs out)
//   click <identifier>            a click on the centre of that view
//   snapshot <png path>           the front window as a PNG file
//   sleep <seconds>               a pause
//
// Blank lines and lines starting with "#" are skipped.
//
//   os::Error error;
//   auto script = UiScript::parse(text, &error);
//   UiScript::play(*script, [](bool succeeded) { ... });   // after the launch steps
//
// Clicks need the headless back end. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/value/error.h"

class UiScript {
 public:
  struct Action {
    enum class Kind { Wait, Click, Snapshot, Sleep };
    Kind kind;
    // The identifier, or the PNG path of a snapshot.
    std::string argument;
    // The wait's limit or the sleep's length.
    double seconds = 0;
    // Line number in the script, for messages.
    int line = 0;
  };
  static constexpr double kDefaultWaitSeconds = 30;

  // The actions of `text`; nullopt with `error` naming the line of the first bad one.
  static std::optional<std::vector<Action>> parse(std::string_view text, os::Error* error);

  // Plays `actions` one after the other from the main run loop; each action runs in its own
  // turn, so a click that opens a question (a nested run) lets the next actions answer it.
  // `finished` runs once: true after the last action, false (with a console line) when a wait
  // ran out or a click found nothing to click.
  static void play(std::vector<Action> actions, std::function<void(bool succeeded)> finished);
};
