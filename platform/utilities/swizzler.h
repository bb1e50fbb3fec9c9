// VDUSwizzler: replaceable implementations, by class and selector, for the classes of ours that
// opt in. A class registers the implementation of each method it lets others replace, and calls
// through currentImplementationForClass; swizzleClass replaces it for the whole process.
//
//   using Describe = std::function<std::string(const Widget&)>;
//   VDUSwizzler::registerImplementation("Widget", "description", false,
//                                       Describe(&Widget::defaultDescription));
//   auto describe = VDUSwizzler::currentImplementationForClass("Widget", "description", false);
//   std::any_cast<Describe>(*describe)(widget);
//
// Implementations are held as std::any; whoever replaces one must give the same type (the
// "type encoding" of the method), or the replacement is refused. All work runs synchronously on
// the process-wide serial queue "com.vedodo.VDUSwizzler".
#pragma once

#include <any>
#include <optional>
#include <string>

class VDUSwizzler {
 public:
  // Opts a method in with its implementation (replacing an earlier registration).
  static void registerImplementation(const std::string& className, const std::string& selector,
                                     bool isClassSelector, std::any implementation);

  // Replaces the method's implementation with `block`; false when the method was never
  // registered or `block` has another type than the implementation it replaces.
  static bool swizzleClass(const std::string& className, const std::string& selector,
                           bool isClassSelector, std::any block);

  // The method's present implementation; nullopt for a class or selector never registered.
  static std::optional<std::any> currentImplementationForClass(const std::string& className,
                                                               const std::string& selector,
                                                               bool isClassSelector);

  // True when the class has opted the method in.
  static bool selectorExistsInClass(const std::string& selector, const std::string& className,
                                    bool isClassSelector);
};
