// Names and user-info keys of the notifications that the HTTP client library posts on
// os::NotificationCenter::defaultCenter(). Observe them by name, filtered by the task when only
// one task matters:
//
//   os::ObserverRegistration done(
//       center, center.addObserver(NKNotifications::kTaskComplete, task.get(),
//                                  [](const os::Notification& note) {
//                                    auto path = note.userInfo[NKNotifications::kAssetPathKey];
//                                  }));
//
// The object of every task notification is the task (an os::URLSessionTask*); of the session
// notifications, the session (an os::URLSession*).
#pragma once

namespace NKNotifications {

// Every URL-session task of the process, posted synchronously on the thread that called resume()
// when the task was not running before (see net/task_state_notifications.h).
inline constexpr const char* kSessionTaskResume = "com.netkit.networking.nsurlsessiontask.resume";
// Every URL-session task of the process, posted on the thread that called suspend() when the
// task was not suspended before.
inline constexpr const char* kSessionTaskSuspend = "com.netkit.networking.nsurlsessiontask.suspend";

// A session manager's own tasks only, re-posted on the main queue after the two above.
inline constexpr const char* kTaskResume = "com.netkit.networking.task.resume";
inline constexpr const char* kTaskSuspend = "com.netkit.networking.task.suspend";

// A managed task finished; posted on the main queue after its completion block was queued. The
// user info holds the keys below.
inline constexpr const char* kTaskComplete = "com.netkit.networking.task.complete";
// The description of the manager's response serializer ("<NKJSONResponseSerializer: 0x...>");
// absent when the manager was gone.
inline constexpr const char* kResponseSerializerKey =
    "com.netkit.networking.task.complete.responseserializer";
// A download's destination, as a file URL string ("file:///..."), when it had one.
inline constexpr const char* kAssetPathKey = "com.netkit.networking.task.complete.assetpath";
// The response bytes (data, possibly empty) when the task had no download destination.
inline constexpr const char* kResponseDataKey =
    "com.netkit.networking.complete.finish.responsedata";
// The task's error, else the serializer's, as NKErrorValue() writes it; when there was one.
inline constexpr const char* kErrorKey = "com.netkit.networking.task.complete.error";
// The response object handed to the completion block, as NKResponseObject::userInfoValue()
// writes it; when the task succeeded and the object is not nil.
inline constexpr const char* kSerializedResponseKey =
    "com.netkit.networking.task.complete.serializedresponse";

// A finished download could not be moved to its destination. The object is the download task;
// the user info is the move error's user info.
inline constexpr const char* kDownloadFileManagerError =
    "com.netkit.networking.session.download.file-manager-error";

// A manager's session became invalid; the object is the session.
inline constexpr const char* kSessionInvalidate = "com.netkit.networking.session.invalidate";

}  // namespace NKNotifications
