// VDUSecureCoding: values to bytes and back through a self-describing archive that checks, when
// reading, that every value in it is of a kind the caller allows (as secure keyed archiving
// checks classes). The archive is a binary property list {"$archiver": "VDUSecureCoding",
// "$version": 1, "root": <value>}; every value kind but null has a form in it.
//
//   auto data = VDUSecureCoding::archivedDataWithRootObject(record, &error);
//   auto back = VDUSecureCoding::unarchivedObjectOfClass(os::Value::Type::Dictionary, *data,
//                                                        &error);
//
// Kinds. The allowed kinds name the kinds of containers and leaves alike: a dictionary of dates
// needs {Dictionary, Date} (with String for its keys' sake, as the platform asks for NSString).
// The number kinds (Boolean, Integer, Unsigned, Real) are one class, as on the platform: allowing
// any of them allows all four.
//
// Errors. A value with no archive form (null, alone or inside a container) is the archiver's
// exception turned into an error: kVDUSecureCodingErrorDomain, code -1, failure reason
// "NSKeyedArchiver exception with name: <name>, reason: <reason>, userInfo: <user info>".
// Bytes that are no archive, or hold a kind not allowed, give an error of the platform's Cocoa
// domain, code 4864 (NSCoderReadCorruptError), saying why.
#pragma once

#include <optional>
#include <set>

#include "os/value/error.h"
#include "os/value/exception.h"
#include "os/value/value.h"

inline constexpr const char* kVDUSecureCodingErrorDomain = "VDUSecureCodingError";

class VDUSecureCoding {
 public:
  static std::optional<os::Data> archivedDataWithRootObject(const os::Value& object,
                                                            os::Error* error);
  static std::optional<os::Value> unarchivedObjectOfClasses(
      const std::set<os::Value::Type>& classes, const os::Data& data, os::Error* error);
  static std::optional<os::Value> unarchivedObjectOfClass(os::Value::Type objectClass,
                                                          const os::Data& data, os::Error* error) {
    return unarchivedObjectOfClasses({objectClass}, data, error);
  }
  static os::Error archivingErrorWithException(const os::Exception& exception);
};
