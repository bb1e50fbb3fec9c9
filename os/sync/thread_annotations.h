// Annotations that clang's -Wthread-safety reads: which mutex guards a member, which a function
// needs held or must not hold. They cost nothing and compile to nothing under GCC.
//
//   class Counter {
//    public:
//     void add() OS_EXCLUDES(mutex_) { os::MutexLock lock(mutex_); ++count_; }
//    private:
//     os::Mutex mutex_;
//     int count_ OS_GUARDED_BY(mutex_) = 0;
//   };
//
// libstdc++'s std::mutex carries no capability attribute, so members are guarded by os::Mutex
// (os/sync/mutex.h), which does.
#pragma once

#if defined(__clang__)
#define OS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OS_THREAD_ANNOTATION(x)
#endif

#define OS_CAPABILITY(name) OS_THREAD_ANNOTATION(capability(name))
#define OS_SCOPED_CAPABILITY OS_THREAD_ANNOTATION(scoped_lockable)
#define OS_GUARDED_BY(mutex) OS_THREAD_ANNOTATION(guarded_by(mutex))
#define OS_PT_GUARDED_BY(mutex) OS_THREAD_ANNOTATION(pt_guarded_by(mutex))
#define OS_REQUIRES(...) OS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OS_EXCLUDES(...) OS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define OS_ACQUIRE(...) OS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OS_RELEASE(...) OS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OS_TRY_ACQUIRE(...) OS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define OS_RETURN_CAPABILITY(x) OS_THREAD_ANNOTATION(lock_returned(x))
#define OS_NO_THREAD_SAFETY_ANALYSIS OS_THREAD_ANNOTATION(no_thread_safety_analysis)
