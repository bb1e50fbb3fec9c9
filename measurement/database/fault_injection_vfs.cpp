#include "measurement/database/fault_injection_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>

namespace measurement::testing {
namespace {

std::atomic<bool> writesFail{false};
std::atomic<bool> syncsFail{false};
std::atomic<int> refused{0};
sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs faultVfs;

struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }
const sqlite3_io_methods* methods(sqlite3_file* file) { return real(file)->pMethods; }

const sqlite3_io_methods kMethods = {
    3,
    [](sqlite3_file* f) { return methods(f)->xClose(real(f)); },
    [](sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
      return methods(f)->xRead(real(f), buffer, amount, offset);
    },
    [](sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
      if (writesFail.load()) {
        refused.fetch_add(1);
        return SQLITE_IOERR_WRITE;
      }
      return methods(f)->xWrite(real(f), buffer, amount, offset);
    },
    [](sqlite3_file* f, sqlite3_int64 size) { return methods(f)->xTruncate(real(f), size); },
    [](sqlite3_file* f, int flags) {
      if (syncsFail.load()) {
        refused.fetch_add(1);
        return SQLITE_IOERR_FSYNC;
      }
      return methods(f)->xSync(real(f), flags);
    },
    [](sqlite3_file* f, sqlite3_int64* size) { return methods(f)->xFileSize(real(f), size); },
    [](sqlite3_file* f, int lock) { return methods(f)->xLock(real(f), lock); },
    [](sqlite3_file* f, int lock) { return methods(f)->xUnlock(real(f), lock); },
    [](sqlite3_file* f, int* out) { return methods(f)->xCheckReservedLock(real(f), out); },
    [](sqlite3_file* f, int op, void* arg) { return methods(f)->xFileControl(real(f), op, arg); },
    [](sqlite3_file* f) { return methods(f)->xSectorSize(real(f)); },
    [](sqlite3_file* f) { return methods(f)->xDeviceCharacteristics(real(f)); },
    [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
      return methods(f)->xShmMap(real(f), page, size, extend, out);
    },
    [](sqlite3_file* f, int offset, int n, int flags) {
      return methods(f)->xShmLock(real(f), offset, n, flags);
    },
    [](sqlite3_file* f) { methods(f)->xShmBarrier(real(f)); },
    [](sqlite3_file* f, int deleteFlag) { return methods(f)->xShmUnmap(real(f), deleteFlag); },
    [](sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
      return methods(f)->xFetch(real(f), offset, amount, out);
    },
    [](sqlite3_file* f, sqlite3_int64 offset, void* page) {
      return methods(f)->xUnfetch(real(f), offset, page);
    },
};

int faultOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  auto* fault = reinterpret_cast<FaultFile*>(file);
  fault->real = reinterpret_cast<sqlite3_file*>(fault + 1);
  int result = realVfs->xOpen(realVfs, name, fault->real, flags, outFlags);
  fault->base.pMethods = fault->real->pMethods ? &kMethods : nullptr;
  return result;
}

}  // namespace

FaultInjectionVfs::FaultInjectionVfs() {
  realVfs = sqlite3_vfs_find(nullptr);
  faultVfs = *realVfs;
  faultVfs.zName = "tessaro-fault-injection";
  faultVfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + realVfs->szOsFile;
  faultVfs.pNext = nullptr;
  faultVfs.xOpen = faultOpen;
  // The rest goes to the real VFS with its own object, which its functions expect.
  faultVfs.xDelete = [](sqlite3_vfs*, const char* name, int sync) {
    return realVfs->xDelete(realVfs, name, sync);
  };
  faultVfs.xAccess = [](sqlite3_vfs*, const char* name, int flags, int* out) {
    return realVfs->xAccess(realVfs, name, flags, out);
  };
  faultVfs.xFullPathname = [](sqlite3_vfs*, const char* name, int size, char* out) {
    return realVfs->xFullPathname(realVfs, name, size, out);
  };
  faultVfs.xDlOpen = [](sqlite3_vfs*, const char* name) { return realVfs->xDlOpen(realVfs, name); };
  faultVfs.xDlError = [](sqlite3_vfs*, int size, char* out) {
    realVfs->xDlError(realVfs, size, out);
  };
  faultVfs.xDlSym = [](sqlite3_vfs*, void* handle, const char* symbol) {
    return realVfs->xDlSym(realVfs, handle, symbol);
  };
  faultVfs.xDlClose = [](sqlite3_vfs*, void* handle) { realVfs->xDlClose(realVfs, handle); };
  faultVfs.xRandomness = [](sqlite3_vfs*, int size, char* out) {
    return realVfs->xRandomness(realVfs, size, out);
  };
  faultVfs.xSleep = [](sqlite3_vfs*, int microseconds) {
    return realVfs->xSleep(realVfs, microseconds);
  };
  faultVfs.xCurrentTime = [](sqlite3_vfs*, double* out) {
    return realVfs->xCurrentTime(realVfs, out);
  };
  faultVfs.xGetLastError = [](sqlite3_vfs*, int size, char* out) {
    return realVfs->xGetLastError(realVfs, size, out);
  };
  faultVfs.xCurrentTimeInt64 = [](sqlite3_vfs*, sqlite3_int64* out) {
    return realVfs->xCurrentTimeInt64(realVfs, out);
  };
  faultVfs.xSetSystemCall = [](sqlite3_vfs*, const char* name, sqlite3_syscall_ptr call) {
    return realVfs->xSetSystemCall(realVfs, name, call);
  };
  faultVfs.xGetSystemCall = [](sqlite3_vfs*, const char* name) {
    return realVfs->xGetSystemCall(realVfs, name);
  };
  faultVfs.xNextSystemCall = [](sqlite3_vfs*, const char* name) {
    return realVfs->xNextSystemCall(realVfs, name);
  };
  if (sqlite3_vfs_register(&faultVfs, 1) != SQLITE_OK) std::abort();
}

FaultInjectionVfs::~FaultInjectionVfs() {
  writesFail = false;
  syncsFail = false;
  sqlite3_vfs_unregister(&faultVfs);
}

void FaultInjectionVfs::failWrites(bool fail) { writesFail = fail; }
void FaultInjectionVfs::failSyncs(bool fail) { syncsFail = fail; }
int FaultInjectionVfs::refusedCalls() const { return refused.load(); }

}  // namespace measurement::testing
