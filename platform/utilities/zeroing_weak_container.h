// VDUZeroingWeakContainer: a weak reference to an object as a value that a table can hold. The
// container never keeps its object alive; object() answers the object while someone else does,
// and null once it is gone (the reference "zeroes" instead of dangling).
//
//   VDUMutableDictionary<VDUZeroingWeakContainer<Interceptor>> interceptors;
//   interceptors.setObject(VDUZeroingWeakContainer(interceptor), interceptorID);
//   ...
//   if (auto alive = interceptors.objectForKey(interceptorID)->object()) alive->notify();
//
// A container is a plain value: copies refer to the same object. Reading object() from several
// threads is safe; setObject() on one copy must not race with other calls on that same copy.
#pragma once

#include <memory>
#include <utility>

template <typename T>
class VDUZeroingWeakContainer {
 public:
  VDUZeroingWeakContainer() = default;
  explicit VDUZeroingWeakContainer(const std::shared_ptr<T>& object) : object_(object) {}

  // The object while it is alive elsewhere; null after its last owner let go, or when none was
  // set.
  std::shared_ptr<T> object() const { return object_.lock(); }
  void setObject(const std::shared_ptr<T>& object) { object_ = object; }

 private:
  std::weak_ptr<T> object_;
};

// The scene delegate swizzler's container, the same weak reference. This host has no window
// scenes, so VDUSceneDelegateSwizzler registers nothing in one yet.
template <typename T>
using VDUSceneZeroingWeakContainer = VDUZeroingWeakContainer<T>;
