// The resume and suspend notifications of every URL-session task in the process.
//
// Once install() has run, each resume() of a task that was not running posts
// NKNotifications::kSessionTaskResume, and each suspend() of a task that was not suspended posts
// NKNotifications::kSessionTaskSuspend, with the task (os::URLSessionTask*) as object, on the
// default centre, synchronously on the thread that called resume() or suspend(). Tasks made
// directly on an os::URLSession post them too; session managers re-post their own tasks' ones
// on the main queue (net/session_manager.h).
//
// Call install() at start-up, before the first task is resumed; every session manager also
// calls it when it is created, so a program that only uses managers needs nothing more.
//
//   NKURLSessionTaskNotifications::install();
#pragma once

namespace NKURLSessionTaskNotifications {

// Hooks the posting into every task's resume() and suspend(), once per process; later calls do
// nothing. Never undone.
void install();

}  // namespace NKURLSessionTaskNotifications
