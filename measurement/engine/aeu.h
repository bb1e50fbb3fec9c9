// APMAEU: how the host app was built and installed. Other parts of the measurement code honour
// their debugging aids (the monitor's debug and verbose modes, test deep links) only when
// isFAS() answers false, and the identity reports isFAS() as its from-the-store fact.
//
//   if (!APMAEU::isFAS()) monitor.setDebugModeEnabled(true);
//
// Class members only; every member may be called from any thread.
#pragma once

#include <string>

#include "os/bundle/bundle.h"

class APMAEU {
 public:
  // Whether the app was installed from the app store, judged from the main bundle (see
  // isFASForBundle). On this host the executable is never encrypted, so only a bundle that
  // carries "SC_Info" answers true.
  static bool isFAS();
  // Whether the app runs in the store's sandbox environment. This host has no store receipts:
  // false.
  static bool isASRS();
  // Not on this platform: false.
  static bool isNOD() { return false; }
  // Whether the main bundle's path ends in ".appex" (an app extension).
  static bool isAEX();
  static std::string deviceModel();
  static std::string systemVersion();

  // The decision of isFAS for `bundle`, in this order: a sandbox-receipt build is not from the
  // store; a bundle whose folder holds "SC_Info" is; an executable that is not encrypted is
  // not; an encrypted one is, unless the bundle has the resource "embedded.mobileprovision"
  // (a development or ad-hoc signing).
  static bool isFASForBundle(const os::Bundle& bundle, bool executableEncrypted,
                             bool receiptIsSandbox);
  // Whether `bundle`'s path ends in ".appex".
  static bool isAEXForBundle(const os::Bundle& bundle);
};
