#include "net/task_state_notifications.h"

#include <mutex>

#include "net/notification_names.h"
#include "os/dispatch/notifications.h"
#include "os/net/urlsession.h"

namespace NKURLSessionTaskNotifications {

void install() {
  static std::once_flag once;
  std::call_once(once, [] {
    using Operation = os::URLSessionTask::Operation;
    using State = os::URLSessionTaskState;
    os::URLSessionTask::addResumeSuspendObserver([](os::URLSessionTask& task, Operation operation,
                                                    State previousState) {
      const void* object = &task;
      if (operation == Operation::Resume && previousState != State::Running) {
        os::NotificationCenter::defaultCenter().post(NKNotifications::kSessionTaskResume, object);
      } else if (operation == Operation::Suspend && previousState != State::Suspended) {
        os::NotificationCenter::defaultCenter().post(NKNotifications::kSessionTaskSuspend, object);
      }
    });
  });
}

}  // namespace NKURLSessionTaskNotifications
