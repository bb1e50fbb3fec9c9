// The conversion of the screens' bezier paths into the form the layers draw: every subpath that
// ends open gets its closing element, so that a stroke or clip of the result runs all round.
//
//   std::optional<os::ui::BezierPath> outline = BezierPathQuartzUtilities::quartzPath(path);
//   if (outline) layer->setPath(*outline);
#pragma once

#include <optional>

#include "os/ui/drawing.h"

namespace BezierPathQuartzUtilities {

// `path` element by element, with a closing element added when its last subpath ends with a
// line or curve; a move-to alone leaves it as it is. nullopt for a path without elements.
std::optional<os::ui::BezierPath> quartzPath(const os::ui::BezierPath& path);

}  // namespace BezierPathQuartzUtilities
