#include "platform/utilities/url_session_promise.h"

#include <gtest/gtest.h>

#include "testsupport/local_http_server.h"

namespace {

TEST(VDUPromises, AnyHttpAnswerFulfilsAndOnlyATransportErrorRejects) {
  testsupport::LocalHttpServer server;
  server.respond("GET", "/found", 200, "body");
  auto session = os::URLSession::sharedSession();
  os::Error error;
  auto found = PRMPromiseAwait(VDUPromises::gul_dataTaskPromiseWithRequest(
                                   session, os::URLRequest(*os::URL::parse(server.url("/found")))),
                               &error);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->HTTPResponse->statusCode(), 200);
  EXPECT_EQ(found->HTTPBody, (os::Data{'b', 'o', 'd', 'y'}));
  auto missing = PRMPromiseAwait(VDUPromises::gul_dataTaskPromiseWithRequest(
                                     session, os::URLRequest(*os::URL::parse(server.url("/none")))),
                                 &error);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->HTTPResponse->statusCode(), 404);
  std::string closed = server.url("/x");
  server.stop();
  auto refused = PRMPromiseAwait(
      VDUPromises::gul_dataTaskPromiseWithRequest(session, os::URLRequest(*os::URL::parse(closed))),
      &error);
  EXPECT_FALSE(refused);
  EXPECT_EQ(error.domain, os::kURLErrorDomain);
}

}  // namespace
