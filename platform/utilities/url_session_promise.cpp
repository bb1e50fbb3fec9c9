#include "platform/utilities/url_session_promise.h"

namespace VDUPromises {

PRMPromise<VDUURLSessionDataResponse> gul_dataTaskPromiseWithRequest(
    const std::shared_ptr<os::URLSession>& session, const os::URLRequest& request) {
  // The work only starts the task, so any queue will do; a global one lets a caller on the main
  // thread wait for the promise.
  return PRMPromise<VDUURLSessionDataResponse>::async(
      os::DispatchQueue::global(), [session, request](const auto& fulfill, const auto& reject) {
        auto task = session->dataTaskWithRequest(
            request, [fulfill, reject](const std::optional<os::Data>& data,
                                       const std::shared_ptr<const os::URLResponse>& response,
                                       const std::optional<os::Error>& error) {
              if (error) return reject(*error);
              fulfill(VDUURLSessionDataResponse{
                  std::dynamic_pointer_cast<const os::HTTPURLResponse>(response),
                  data.value_or(os::Data())});
            });
        if (!task) {
          reject(os::Error(os::kURLErrorDomain, os::kURLErrorUnknown,
                           "The session has been invalidated"));
          return;
        }
        task->resume();
      });
}

}  // namespace VDUPromises
