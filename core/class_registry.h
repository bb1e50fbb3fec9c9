// The library classes present in the process, by name: what the desktop platform found by
// looking a class up by its name. A library joins from its registration function, which the
// executable calls once at start-up (never from a static object: the linker drops those from
// static libraries):
//
//   void DIZUraruvazeRegister() {
//     RVOClassRegistry::addClass(std::make_shared<RVOLibraryClass>(RVOLibraryClass{
//         .name = "DIZUraruvaze", .startWithConfiguration = &DIZUraruvaze::start}));
//   }
//
// Looking up a class that no linked library added finds nothing, and the caller goes on without
// it. Thread-safe.
#pragma once

#include <memory>
#include <string_view>

#include "core/component.h"

namespace RVOClassRegistry {

// Adds `libraryClass` under its name, replacing a class of the same name.
void addClass(std::shared_ptr<const RVOLibraryClass> libraryClass);
// The class named `name`, or null.
std::shared_ptr<const RVOLibraryClass> classNamed(std::string_view name);
// Forgets every class.
void resetForTesting();

}  // namespace RVOClassRegistry
