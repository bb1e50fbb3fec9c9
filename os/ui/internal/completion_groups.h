// Bookkeeping between AnimationContext and Layer: the group whose changes are running collects
// the animations added meanwhile and runs its completion when the last of them stops.
#pragma once

#include <functional>
#include <memory>

namespace os::ui::internal {

struct CompletionGroup {
  int pending = 0;      // animations added and not yet stopped
  bool closed = false;  // the changes have run: no more animations join
  std::function<void()> completion;
};

// The group whose changes are running now, or null.
std::shared_ptr<CompletionGroup> currentCompletionGroup();
// Counts an added animation into `group`.
void completionGroupAnimationAdded(CompletionGroup& group);
// Counts one of `group`'s animations as stopped; runs the completion after the last one.
void completionGroupAnimationStopped(const std::shared_ptr<CompletionGroup>& group);

}  // namespace os::ui::internal
