// Copies and serialised forms of dictionaries: XML property lists and pretty-printed JSON.
//
//   std::optional<os::Data> plist = ExtendTool::dictionaryToData(settings);
//   std::optional<std::string> json = ExtendTool::toJson(settings);   // nullopt with a date inside
#pragma once

#include <optional>
#include <string>

#include "os/value/error.h"
#include "os/value/value.h"

namespace ExtendTool {

// A copy of `dictionary` that shares nothing with it: nested dictionaries, arrays and data are
// copied too, so changing the copy at any depth leaves the source as it was.
os::Dictionary mutableDeepCopy(const os::Dictionary& dictionary);

// `dictionary` as an XML property list; nullopt (and `error` filled) when a value has no
// property-list form (a null).
std::optional<os::Data> dictionaryToData(const os::Dictionary& dictionary,
                                         os::Error* error = nullptr);
// The same XML property list (the mutable-dictionary spelling of dictionaryToData).
std::optional<os::Data> mutableDictionaryToData(const os::Dictionary& dictionary,
                                                os::Error* error = nullptr);

// `dictionary` as pretty-printed JSON text; nullopt when it is not a valid JSON object (a date,
// data or a non-finite number inside).
std::optional<std::string> toJson(const os::Dictionary& dictionary);

}  // namespace ExtendTool
