#include "installer/app/crash_recorder.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <typeinfo>

#include "installer/app/kv_tracker.h"
#include "installer/app/temp_helper.h"
#include "os/bundle/defaults.h"
#include "os/files/files.h"
#include "os/log/log.h"
#include "os/value/exception.h"
#include "os/value/value.h"

namespace {

// The signals whose arrival is recorded, in the order their handlers are installed.
constexpr std::array kRecordedSignals = {SIGHUP, SIGINT,  SIGQUIT, SIGABRT,
                                         SIGILL, SIGSEGV, SIGFPE,  SIGBUS};
constexpr int kMaximumFrames = 128;

// What the signal handler may touch: plain descriptors and a flag, set up before any handler
// is installed.
int signalRecordDescriptor = -1;
std::atomic<bool> signalRecordWritten{false};
static_assert(std::atomic<bool>::is_always_lock_free);

std::terminate_handler previousTerminateHandler = nullptr;

// write(2) until everything is written or it fails; async-signal-safe.
void writeAll(int descriptor, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t written = write(descriptor, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    length -= size_t(written);
  }
}

void writeText(int descriptor, const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  writeAll(descriptor, text, length);
}

// "<signal> Stack:\n" and one "<symbol line>\n " per frame.
void writeSignalRecord(int descriptor, int signalNumber, void* const* frames, int frameCount) {
  char number[16];
  char* end = number + sizeof(number);
  char* digits = end;
  do {
    *--digits = char('0' + signalNumber % 10);
    signalNumber /= 10;
  } while (signalNumber > 0);
  writeAll(descriptor, digits, size_t(end - digits));
  writeText(descriptor, " Stack:\n");
  for (int frame = 0; frame < frameCount; ++frame) {
    backtrace_symbols_fd(&frames[frame], 1, descriptor);  // ends the line with "\n"
    writeText(descriptor, " ");
  }
}

void recordSignal(int signalNumber) {
  int savedErrno = errno;
  // Only the first crashing thread records; a second signal while it writes just ends the
  // process as below.
  if (!signalRecordWritten.exchange(true)) {
    void* frames[kMaximumFrames];
    int frameCount = backtrace(frames, kMaximumFrames);
    writeText(STDERR_FILENO, "errorStack: ");
    writeSignalRecord(STDERR_FILENO, signalNumber, frames, frameCount);
    writeText(STDERR_FILENO, "\n");
    if (signalRecordDescriptor >= 0) {
      writeSignalRecord(signalRecordDescriptor, signalNumber, frames, frameCount);
    }
  }
  // With the default action back, the raised signal ends the process as soon as the handler
  // returns and unblocks it; a fault that is not raised but re-run ends it the same way.
  struct sigaction defaultAction = {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signalNumber, &defaultAction, nullptr);
  raise(signalNumber);
  errno = savedErrno;
}

std::string demangledName(const std::type_info* type) {
  if (type == nullptr) return "unknown exception";
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && demangled ? demangled.get() : type->name();
}

std::vector<std::string> currentCallStackSymbols() {
  void* frames[kMaximumFrames];
  int frameCount = backtrace(frames, kMaximumFrames);
  std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, frameCount),
                                                       &std::free);
  std::vector<std::string> lines;
  if (symbols) lines.assign(symbols.get(), symbols.get() + frameCount);
  return lines;
}

[[noreturn]] void recordUncaughtExceptionAndTerminate() {
  // The stack is still the thrower's: an exception that nothing catches is never unwound.
  std::vector<std::string> symbols = currentCallStackSymbols();
  if (std::exception_ptr current = std::current_exception()) {
    std::string name = demangledName(abi::__cxa_current_exception_type());
    std::string reason;
    try {
      std::rethrow_exception(current);
    } catch (const os::Exception& exception) {
      name = exception.name();
      reason = exception.reason();
    } catch (const std::exception& exception) {
      reason = exception.what();
    } catch (...) {
    }
    CrashRecorder::recordUncaughtException(name, reason, symbols);
  }
  if (previousTerminateHandler != nullptr) previousTerminateHandler();
  std::abort();
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += separator;
    text += part;
  }
  return text;
}

}  // namespace

std::filesystem::path CrashRecorder::defaultSignalRecordPath() {
  return std::filesystem::path(TempHelper::getAppSupportPath()) / "SignalStack.log";
}

void CrashRecorder::install(const std::filesystem::path& signalRecordPath) {
  if (std::optional<std::string> previous = os::files::readFile(signalRecordPath, nullptr);
      previous && !previous->empty()) {
    os::UserDefaults defaults = os::UserDefaults::standard();
    defaults.setObject(kSignalRecordKey, *previous);
    defaults.synchronize();
  }
  int descriptor = open(signalRecordPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    os::log::write(
        os::log::Level::Warning,
        "crash recorder: cannot open " + signalRecordPath.string() + ": " + std::strerror(errno));
  }
  int replaced = signalRecordDescriptor;
  signalRecordDescriptor = descriptor;
  if (replaced >= 0) close(replaced);

  // The first backtrace() loads the unwinder; doing it here keeps the handler from loading it.
  void* frame[1];
  backtrace(frame, 1);

  struct sigaction action = {};
  action.sa_handler = recordSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kRecordedSignals) sigaction(signalNumber, &action, nullptr);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  std::terminate_handler replacedHandler = std::set_terminate(recordUncaughtExceptionAndTerminate);
  if (replacedHandler != recordUncaughtExceptionAndTerminate) {
    previousTerminateHandler = replacedHandler;
  }
}

void CrashRecorder::reportPreviousException() {
  os::UserDefaults defaults = os::UserDefaults::standard();
  std::optional<std::string> report = defaults.stringForKey(kOpenExceptionKey);
  if (!report || report->empty()) return;
  KVTracker::send(KVAction::ExceptionCrash, KVLabel::StatusTwo, *report);
  defaults.removeObject(kOpenExceptionKey);
  defaults.synchronize();
}

void CrashRecorder::recordUncaughtException(const std::string& name, const std::string& reason,
                                            const std::vector<std::string>& callStackSymbols) {
  os::UserDefaults defaults = os::UserDefaults::standard();
  defaults.setObject(name, reason + ":" + name);
  defaults.setObject(reason, joined(callStackSymbols, ";"));
  defaults.synchronize();
  os::Array symbols(callStackSymbols.begin(), callStackSymbols.end());
  std::string report = "exception type : " + name + " \n crash reason : " + reason +
                       " \n call stack info : " + os::Value(symbols).description();
  KVTracker::send(KVAction::ExceptionCrash, KVLabel::StatusOne, report);
  defaults.setObject(kOpenExceptionKey, report);
  defaults.synchronize();
}

void CrashRecorder::crashForTesting() {
  // A page without access faults on every write, with no undefined behaviour for a sanitizer
  // or the optimiser to turn into another signal.
  long pageSize = sysconf(_SC_PAGESIZE);
  void* page = mmap(nullptr, size_t(pageSize), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page != MAP_FAILED) *static_cast<volatile char*>(page) = 1;
  raise(SIGSEGV);
  std::abort();
}
