// For tests: an SQLite VFS over the default one that fails writes or syncs on demand, as a
// full or failing disk would. While an instance lives it is the default VFS, so every
// connection opened meanwhile goes through it; with nothing switched on it only passes calls
// through.
//
//   FaultInjectionVfs vfs;
//   vfs.failWrites(true);
//   EXPECT_FALSE(store->performTransactionWithError(&error, insertRow));
#pragma once

namespace measurement::testing {

class FaultInjectionVfs {
 public:
  FaultInjectionVfs();
  // Unregisters; connections opened through it must be closed first.
  ~FaultInjectionVfs();
  FaultInjectionVfs(const FaultInjectionVfs&) = delete;
  FaultInjectionVfs& operator=(const FaultInjectionVfs&) = delete;

  // Every later xWrite answers SQLITE_IOERR_WRITE, every xSync SQLITE_IOERR_FSYNC.
  void failWrites(bool fail);
  void failSyncs(bool fail);
  // Calls refused so far.
  int refusedCalls() const;
};

}  // namespace measurement::testing
