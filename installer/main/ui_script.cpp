#include "installer/main/ui_script.h"

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "os/dispatch/dispatch.h"
#include "os/log/log.h"
#include "os/ui/application.h"
#include "os/ui/backend_headless.h"

namespace {

// How often a wait looks again.
constexpr double kWaitPollSeconds = 0.05;
constexpr const char* kScriptErrorDomain = "installer.script";

// A number of seconds, whole or decimal and not negative.
std::optional<double> parseSeconds(const std::string& text) {
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds >= 0)) return std::nullopt;
  return seconds;
}

// The first window, front to back, with a visible view of `identifier`; `atRest`: one that no
// animation moves any more (a panel that slides in takes its place, and its buttons their
// clicks, only when the slide has ended).
std::shared_ptr<os::ui::Window> windowShowing(const std::string& identifier, bool atRest) {
  for (const auto& window : os::ui::Application::shared().orderedWindows()) {
    auto view = window->findViewByIdentifier(identifier);
    if (view && !view->isHiddenOrHasHiddenAncestor() &&
        !(atRest && view->isAnimatingOrHasAnimatingAncestor())) {
      return window;
    }
  }
  return nullptr;
}

struct Player : std::enable_shared_from_this<Player> {
  std::vector<UiScript::Action> actions;
  size_t next = 0;
  std::optional<std::chrono::steady_clock::time_point> waitDeadline;
  std::function<void(bool)> finished;

  void stepLater(double seconds) {
    auto self = shared_from_this();
    os::DispatchQueue::main()->after(seconds, [self] { self->step(); });
  }

  bool fail(const UiScript::Action& action, const std::string& problem) {
    os::log::write(os::log::Level::Error,
                   "script line " + std::to_string(action.line) + ": " + problem);
    finished(false);
    return false;
  }

  void step() {
    while (next < actions.size()) {
      const UiScript::Action& action = actions[next];
      switch (action.kind) {
        case UiScript::Action::Kind::Wait: {
          if (windowShowing(action.argument, true)) break;
          auto now = std::chrono::steady_clock::now();
          if (!waitDeadline) {
            waitDeadline = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(action.seconds));
          }
          if (now >= *waitDeadline) {
            fail(action, "no visible \"" + action.argument + "\" in time");
            return;
          }
          stepLater(kWaitPollSeconds);
          return;
        }
        case UiScript::Action::Kind::Click: {
          auto* headless = os::ui::Application::shared().headlessBackend();
          auto window = windowShowing(action.argument, false);
          if (!headless) {
            fail(action, "clicks need the headless back end (TESSARO_UI=headless)");
            return;
          }
          if (!window) {
            fail(action, "nothing visible to click with \"" + action.argument + "\"");
            return;
          }
          // The click may open a question that waits in a nested run: the next actions are
          // already queued so that they can answer it.
          ++next;
          stepLater(0);
          headless->clickView(*window, action.argument);
          return;
        }
        case UiScript::Action::Kind::Snapshot: {
          auto windows = os::ui::Application::shared().orderedWindows();
          os::Error error;
          if (windows.empty() ||
              !windows.front()->renderImage(1)->writePNG(action.argument, &error)) {
            fail(action, "cannot write the snapshot " + action.argument + ": " +
                             (windows.empty() ? "no window" : error.description));
            return;
          }
          os::log::console("snapshot " + action.argument);
          break;
        }
        case UiScript::Action::Kind::Sleep:
          ++next;
          stepLater(action.seconds);
          return;
      }
      waitDeadline.reset();
      ++next;
    }
    finished(true);
  }
};

}  // namespace

std::optional<std::vector<UiScript::Action>> UiScript::parse(std::string_view text,
                                                             os::Error* error) {
  std::vector<Action> actions;
  std::istringstream lines{std::string(text)};
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::istringstream words(line);
    std::string verb, argument, extra, rest;
    words >> verb;
    if (verb.empty() || verb[0] == '#') continue;
    auto bad = [&](const std::string& problem) {
      os::fail(error, os::Error(kScriptErrorDomain, number,
                                "line " + std::to_string(number) + ": " + problem));
      return std::nullopt;
    };
    Action action{Action::Kind::Wait, "", 0, number};
    if (verb == "snapshot") {
      // A path may hold blanks: everything after the verb.
      std::getline(words >> std::ws, argument);
      if (argument.empty()) return bad("snapshot needs a PNG path");
      action = {Action::Kind::Snapshot, argument, 0, number};
    } else if (verb == "wait" || verb == "click" || verb == "sleep") {
      words >> argument >> extra >> rest;
      if (argument.empty() || !rest.empty()) return bad("wrong number of words for " + verb);
      if (verb == "sleep") {
        auto seconds = parseSeconds(argument);
        if (!seconds || !extra.empty()) return bad("sleep needs a number of seconds");
        action = {Action::Kind::Sleep, "", *seconds, number};
      } else if (verb == "click") {
        if (!extra.empty()) return bad("click takes one identifier");
        action = {Action::Kind::Click, argument, 0, number};
      } else {
        auto seconds =
            extra.empty() ? std::optional<double>(kDefaultWaitSeconds) : parseSeconds(extra);
        if (!seconds) return bad("the wait's limit must be a number of seconds");
        action = {Action::Kind::Wait, argument, *seconds, number};
      }
    } else {
      return bad("unknown action \"" + verb + "\"");
    }
    actions.push_back(action);
  }
  return actions;
}

void UiScript::play(std::vector<Action> actions, std::function<void(bool succeeded)> finished) {
  auto player = std::make_shared<Player>();
  player->actions = std::move(actions);
  player->finished = std::move(finished);
  player->stepLater(0);
}
