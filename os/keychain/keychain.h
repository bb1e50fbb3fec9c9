// The keychain: generic-password items, each a secret blob under a service, an account and an
// access group, with the platform's status codes. This host keeps them in one file of its own.
//
//   os::keychain::Query query{.service = "com.example.app", .account = "token"};
//   OSStatus status = os::keychain::add(query, secretBytes, {});
//   os::Data secret;
//   if (os::keychain::copyMatching(query, &secret) == os::keychain::kSecSuccess) use(secret);
//
// Matching. An item is found by its service and account and, when the query names one, its
// access group (a query without a group matches any). An item is unique by all three: adding
// one that exists answers kSecDuplicateItem.
//
// Storage. All items live in the binary property list storePath()
// (<Application Support>/Tessaro/Keychains/keychain.plist): the folder has mode 0700 and the file
// mode 0600. Every change is written atomically (temporary file, fsync, rename) under an
// exclusive lock of the file "keychain.plist.lock" beside it, and reads hold a shared lock, so
// several processes may use the store at once and none ever sees half a change. A file that is
// not a readable store is never overwritten: reads and writes then answer kSecDecode.
//
// Threads: every function may be called from any thread (the file lock serialises them too).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "os/value/value.h"

namespace os::keychain {

using OSStatus = int32_t;

inline constexpr OSStatus kSecSuccess = 0;
inline constexpr OSStatus kSecItemNotFound = -25300;
inline constexpr OSStatus kSecDuplicateItem = -25299;
inline constexpr OSStatus kSecParam = -50;
inline constexpr OSStatus kSecIO = -36;
inline constexpr OSStatus kSecDecode = -26275;

// The attribute that says when an item may be read, and the value the utilities give it.
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";

struct Query {
  std::string service;
  std::string account;
  std::optional<std::string> accessGroup = std::nullopt;
};

// The data of the first item that matches `query`, in `*data` (when given). kSecItemNotFound when
// none matches; kSecParam for a query without service or account.
OSStatus copyMatching(const Query& query, Data* data);

// The attributes an item was added with (kSecAttrAccessible among them), as copyMatching finds it.
OSStatus copyAttributes(const Query& query, Dictionary* attributes);

// Adds an item with `data` and `attributes` under the query's service, account and group (none:
// the empty group). kSecDuplicateItem when that item exists.
OSStatus add(const Query& query, const Data& data, const Dictionary& attributes);

// Replaces the data of every item that matches; its attributes stay. kSecItemNotFound when none.
OSStatus update(const Query& query, const Data& data);

// Deletes every item that matches. kSecItemNotFound when none.
OSStatus remove(const Query& query);

// The file that holds the items.
std::filesystem::path storePath();

}  // namespace os::keychain
