#include "os/value/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "os/value/exception.h"

namespace os {
namespace {

TEST(Error, LocalizedDescriptionPrefersDescriptionThenUserInfo) {
  EXPECT_EQ(Error("com.example", 2, "Disk full").localizedDescription(), "Disk full");
  Error fromUserInfo("com.example", 2, "", Dictionary{{"NSLocalizedDescription", "From info"}});
  EXPECT_EQ(fromUserInfo.localizedDescription(), "From info");
  Error both("com.example", 2, "Own text", Dictionary{{"NSLocalizedDescription", "From info"}});
  EXPECT_EQ(both.localizedDescription(), "Own text");
}

TEST(Error, LocalizedDescriptionFallsBackToThePlatformsGenericText) {
  EXPECT_EQ(Error("com.example.domain", 7).localizedDescription(),
            "The operation couldn\u2019t be completed. (com.example.domain error 7.)");
  EXPECT_EQ(Error("NSCocoaErrorDomain", -1, "", Dictionary{{"NSLocalizedDescription", 5}})
                .localizedDescription(),
            "The operation couldn\u2019t be completed. (NSCocoaErrorDomain error -1.)");
  EXPECT_EQ(Error().localizedDescription(),
            "The operation couldn\u2019t be completed. ( error 0.)");
}

bool failingOperation(Error* error) {
  return fail(error, Error("com.example.domain", 2, "Disk full"));
}

TEST(Error, FailFillsTheOutParameterWhenGivenAndReturnsFalse) {
  Error error;
  EXPECT_FALSE(failingOperation(&error));
  EXPECT_EQ(error.domain, "com.example.domain");
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.description, "Disk full");
  EXPECT_FALSE(failingOperation(nullptr));
}

TEST(Error, Equality) {
  EXPECT_EQ(Error("d", 1, "x", Dictionary{{"k", 1}}), Error("d", 1, "x", Dictionary{{"k", 1.0}}));
  EXPECT_NE(Error("d", 1, "x"), Error("d", 2, "x"));
  EXPECT_NE(Error("d", 1, "x"), Error("e", 1, "x"));
  EXPECT_NE(Error("d", 1, "x"), Error("d", 1, "y"));
}

TEST(Error, PosixErrorUsesStrerrorAndContext) {
  Error error = posixError(ENOENT, "open /nowhere");
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_EQ(error.description, "open /nowhere: No such file or directory");
  EXPECT_EQ(error.localizedDescription(), "open /nowhere: No such file or directory");
  EXPECT_EQ(posixError(EACCES).description, "Permission denied");
  EXPECT_FALSE(posixError(99999).description.empty());  // "Unknown error 99999"
  EXPECT_STREQ(kCocoaErrorDomain, "NSCocoaErrorDomain");
}

TEST(Exception, CarriesNameReasonAndUserInfo) {
  try {
    throw Exception(kInvalidArgumentException, "index 3 beyond bounds", Dictionary{{"index", 3}});
  } catch (const std::exception& caught) {
    EXPECT_STREQ(caught.what(), "NSInvalidArgumentException: index 3 beyond bounds");
    const auto* exception = dynamic_cast<const Exception*>(&caught);
    ASSERT_NE(exception, nullptr);
    EXPECT_EQ(exception->name(), "NSInvalidArgumentException");
    EXPECT_EQ(exception->reason(), "index 3 beyond bounds");
    EXPECT_EQ(exception->userInfo()["index"], Value(3));
  }
  Exception copy = Exception(kRangeException, "out of range");
  Exception second = copy;
  EXPECT_STREQ(second.what(), "NSRangeException: out of range");
  EXPECT_TRUE(second.userInfo().isNull());
  EXPECT_STREQ(kInternalInconsistencyException, "NSInternalInconsistencyException");
  EXPECT_STREQ(kGenericException, "NSGenericException");
}

}  // namespace
}  // namespace os
