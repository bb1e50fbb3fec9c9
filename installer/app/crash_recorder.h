// The installer's crash recording: what a crash leaves behind for the next launch.
//
//   int main(int argc, char** argv) {
//     CrashRecorder::reportPreviousException();  // before the launch steps
//     ...
//     CrashRecorder::install();                  // first launch step
//   }
//
// Two recorders:
//  - Signals (SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS): the handler
//    writes "<signal> Stack:\n" and the stack, one symbol line followed by "\n " per frame, to
//    the signal record file and, after "errorStack: ", to standard error. It uses only
//    async-signal-safe calls (write(2) and backtrace_symbols_fd(3) on descriptors opened by
//    install(); backtrace(3) is loaded by install() so that it does not load anything in the
//    handler), then restores the signal's default action and raises it again: a crash ends the
//    process with its own signal instead of faulting again, and SIGINT still ends it. SIGTERM
//    keeps its default action; SIGPIPE is ignored (a closed socket is an error, not a crash).
//    The next install() moves a record left in the file into the user default
//    signalRecordKey(), which is where the record lives from then on.
//  - Uncaught C++ exceptions (the terminate handler): under the exception's name the text
//    "<reason>:<name>", under its reason the call-stack symbols joined with ";", the usage
//    event "Exception Crash" (label kind 3) with the report, and the report under
//    "Open_Exception" in the standard user defaults. The report reads
//    "exception type : <name> \n crash reason : <reason> \n call stack info : <symbols>". Then
//    the previous terminate handler runs, which aborts (and SIGABRT is recorded as above).
//
// An os::Exception gives its own name and reason; another std::exception its type name and
// what(); any other thrown value its type name and an empty reason.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class CrashRecorder {
 public:
  // The user default that holds the last uncaught exception's report until the next launch.
  static constexpr const char* kOpenExceptionKey = "Open_Exception";
  // The user default that holds the last signal record; nothing reads it.
  static constexpr const char* kSignalRecordKey = "com.tessaro.kestrova.user.log";

  // Where the signal handler writes its record: "SignalStack.log" in the installer's
  // application support folder (TempHelper::getAppSupportPath()).
  static std::filesystem::path defaultSignalRecordPath();

  // Moves a non-empty record left in `signalRecordPath` by an earlier run into the user default
  // kSignalRecordKey, empties the file and keeps it open for the signal handler, then installs
  // both recorders. Call it once, on the main thread, before other threads start; a second call
  // only points the recording at the new file. When the file cannot be opened (logged) the
  // signal handler still ends the process as described, writing to standard error only.
  static void install(const std::filesystem::path& signalRecordPath = defaultSignalRecordPath());

  // The launch's report of the previous run's uncaught exception: when "Open_Exception" holds a
  // text, sends the usage event "Exception Crash" (label kind 2) with it, then removes the key.
  static void reportPreviousException();

  // Ends the process with a real SIGSEGV (a write to a page without access), for the tests
  // that prove a crash is recorded and still ends the process.
  [[noreturn]] static void crashForTesting();

  // The uncaught-exception recording of the terminate handler, without the abort that follows.
  static void recordUncaughtException(const std::string& name, const std::string& reason,
                                      const std::vector<std::string>& callStackSymbols);
};
