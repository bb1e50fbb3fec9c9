#include "os/net/url.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testsupport/sandbox.h"

namespace os {
namespace {

TEST(URL, ParsesTheComponentsOfAbsoluteURLs) {
  struct Case {
    std::string text;
    std::string scheme, user, host;
    std::optional<int> port;
    std::string path;
    std::optional<std::string> query, fragment;
    std::string absolute;
  };
  const Case cases[] = {
      {"https://downloads.example.test/files/app.zip?x=1&y=%20#top", "https", "",
       "downloads.example.test", std::nullopt, "/files/app.zip", "x=1&y=%20", "top",
       "https://downloads.example.test/files/app.zip?x=1&y=%20#top"},
      {"HTTP://127.0.0.1:8080", "http", "", "127.0.0.1", 8080, "", std::nullopt, std::nullopt,
       "http://127.0.0.1:8080"},
      {"http://user:pw@[::1]:99/a%2Fb?", "http", "user:pw", "::1", 99, "/a%2Fb", "", std::nullopt,
       "http://user:pw@[::1]:99/a%2Fb?"},
      {"https://host:/p", "https", "", "host", std::nullopt, "/p", std::nullopt, std::nullopt,
       "https://host/p"},
      {"mailto:someone@example.test", "mailto", "", "", std::nullopt, "someone@example.test",
       std::nullopt, std::nullopt, "mailto:someone@example.test"},
      {"file:///tmp/a%20b", "file", "", "", std::nullopt, "/tmp/a%20b", std::nullopt, std::nullopt,
       "file:///tmp/a%20b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<URL> url = URL::parse(c.text);
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->scheme(), c.scheme);
    EXPECT_EQ(url->user(), c.user);
    EXPECT_EQ(url->host(), c.host);
    EXPECT_EQ(url->port(), c.port);
    EXPECT_EQ(url->path(), c.path);
    EXPECT_EQ(url->query(), c.query);
    EXPECT_EQ(url->fragment(), c.fragment);
    EXPECT_EQ(url->absoluteString(), c.absolute);
  }
}

TEST(URL, RefusesWhatIsNoAbsoluteURL) {
  for (const char* text :
       {"", "/relative/path", "no scheme here", "http://host/a b", "http://host/%zz",
        "http://host/%4", "http://host:65536/", "http://host:12a/", "http://host/\xc3\xa9",
        "http://host/<tag>", "http://host/a#b#c", "http://ho[st/", "1http://host/",
        "http://host/\"q\"", "http://host/a|b"}) {
    EXPECT_FALSE(URL::parse(text).has_value()) << text;
  }
}

TEST(URL, DerivedParts) {
  auto url = *URL::parse("https://example.test/files/My%20App.zip?x=1");
  EXPECT_EQ(url.effectivePort(), 443);
  EXPECT_EQ(url.requestTarget(), "/files/My%20App.zip?x=1");
  EXPECT_EQ(url.lastPathComponent(), "My App.zip");
  EXPECT_EQ(URL::parse("http://example.test")->requestTarget(), "/");
  EXPECT_EQ(URL::parse("http://example.test")->effectivePort(), 80);
  EXPECT_EQ(URL::parse("http://example.test:8080/")->effectivePort(), 8080);
  EXPECT_EQ(URL::parse("ftp://example.test/")->effectivePort(), std::nullopt);
  EXPECT_EQ(URL::parse("http://example.test/files/")->lastPathComponent(), "files");
  EXPECT_EQ(URL::parse("http://example.test/")->lastPathComponent(), "/");
  EXPECT_EQ(URL::parse("http://example.test")->lastPathComponent(), "");
}

TEST(URL, FileURLsRoundTripTheirPath) {
  URL url = URL::fileURLWithPath("/tmp/a folder/ünï#1.zip");
  EXPECT_TRUE(url.isFileURL());
  EXPECT_EQ(url.absoluteString(), "file:///tmp/a%20folder/%C3%BCn%C3%AF%231.zip");
  EXPECT_EQ(url.filePath(), std::filesystem::path("/tmp/a folder/ünï#1.zip"));
  EXPECT_EQ(URL::parse(url.absoluteString()), url);
  EXPECT_EQ(URL::parse("https://example.test/x")->filePath(), std::filesystem::path());
}

// The examples of RFC 3986 section 5.4.
TEST(URL, ResolvesReferencesAgainstABase) {
  const URL base = *URL::parse("http://a/b/c/d;p?q");
  const std::pair<const char*, const char*> cases[] = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../g", "http://a/g"},
      {"../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"https://other.test:8443/x", "https://other.test:8443/x"},
  };
  for (const auto& [reference, expected] : cases) {
    std::optional<URL> resolved = URL::resolve(reference, base);
    ASSERT_TRUE(resolved.has_value()) << reference;
    EXPECT_EQ(resolved->absoluteString(), expected) << reference;
  }
  // A base without a path, and a base with a port and user.
  EXPECT_EQ(URL::resolve("x", *URL::parse("http://h:81"))->absoluteString(), "http://h:81/x");
  EXPECT_EQ(URL::resolve("/y", *URL::parse("http://u@h:81/a/b"))->absoluteString(),
            "http://u@h:81/y");
  EXPECT_FALSE(URL::resolve("a b", base).has_value());
}

TEST(PercentEscapes, EncodeKeepsTheAllowedSetAndDecodeIsStrict) {
  EXPECT_EQ(url::percentEncode("a b&c=d/é", url::kQueryAllowed), "a%20b&c=d/%C3%A9");
  EXPECT_EQ(url::percentEncode("a b&c=d/é", url::kUnreservedCharacters), "a%20b%26c%3Dd%2F%C3%A9");
  EXPECT_EQ(url::percentEncode("~_.-", ""), "%7E%5F%2E%2D");
  EXPECT_EQ(url::percentDecode("a%20b%26c%C3%A9"), "a b&cé");
  EXPECT_EQ(url::percentDecode("100%25"), "100%");
  EXPECT_EQ(url::percentDecode("plain"), "plain");
  for (const char* bad : {"%", "%2", "%zz", "a%g1", "%C3", "%FF"}) {
    EXPECT_EQ(url::percentDecode(bad), std::nullopt) << bad;
  }
}

TEST(HTTPHeaders, NamesCompareCaseInsensitivelyAndKeepTheirFirstSpelling) {
  HTTPHeaders headers{{"Content-Type", "text/plain"}};
  headers.set("content-type", "application/json");
  headers.add("Accept", "a/b");
  headers.add("ACCEPT", "c/d");
  EXPECT_EQ(headers.value("CONTENT-TYPE"), "application/json");
  EXPECT_EQ(headers.value("accept"), "a/b, c/d");
  EXPECT_EQ(headers.fields().front().first, "Content-Type");
  EXPECT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers, (HTTPHeaders{{"accept", "a/b, c/d"}, {"content-TYPE", "application/json"}}));
  headers.remove("cOnTeNt-TyPe");
  EXPECT_FALSE(headers.contains("Content-Type"));
  EXPECT_EQ(headers.toValue(), Value(Dictionary{{"Accept", "a/b, c/d"}}));
}

TEST(URLRequest, DefaultsAndABodyOfBytesOrAStream) {
  URLRequest request(*URL::parse("https://example.test/upload"));
  EXPECT_EQ(request.HTTPMethod(), "GET");
  EXPECT_EQ(request.timeoutInterval(), 60.0);
  EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::UseProtocolCachePolicy);
  request.setValue("1", "X-A");
  request.setValue(std::nullopt, "x-a");
  EXPECT_FALSE(request.valueForHTTPHeaderField("X-A"));

  request.setHTTPBody(Data{1, 2});
  request.setHTTPBodyStream(InputStream::withData({3}));
  EXPECT_FALSE(request.HTTPBody().has_value());
  request.setHTTPBody(Data{4});
  EXPECT_EQ(request.HTTPBodyStream(), nullptr);
  EXPECT_EQ(request.HTTPBody(), Data{4});
}

TEST(InputStream, DataAndFileStreamsReadToTheEndAndCopyFromTheStart) {
  testsupport::Sandbox sandbox;
  std::filesystem::path file = sandbox.root() / "body.bin";
  std::ofstream(file) << "file body";
  for (auto stream : {InputStream::withData({'d', 'a', 't', 'a'}), InputStream::withFile(file)}) {
    uint8_t buffer[3];
    std::string read;
    Error error;
    int64_t count;
    while ((count = stream->read(buffer, sizeof buffer, &error)) > 0)
      read.append(buffer, buffer + count);
    EXPECT_EQ(count, 0);
    auto copy = stream->copy();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->read(buffer, sizeof buffer, &error), 3);
    EXPECT_EQ(read, read.size() == 4 ? "data" : "file body");
  }
  Error error;
  uint8_t byte;
  EXPECT_EQ(InputStream::withFile(sandbox.root() / "missing")->read(&byte, 1, &error), -1);
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_EQ(error.code, ENOENT);
}

TEST(HTTPURLResponse, ReadsTypeEncodingAndLengthFromTheHeaders) {
  struct Case {
    HTTPHeaders headers;
    std::optional<std::string> mimeType, encoding;
    int64_t length;
  };
  const Case cases[] = {
      {{{"Content-Type", "application/json; charset=UTF-8"}, {"Content-Length", "42"}},
       "application/json",
       "utf-8",
       42},
      {{{"content-type", "Text/HTML;Charset=\"ISO-8859-1\";q=1"}}, "text/html", "iso-8859-1", -1},
      {{{"Content-Type", "application/zip"}, {"Content-Length", "12x"}},
       "application/zip",
       std::nullopt,
       -1},
      {{{"Content-Length", " 8388608 "}}, std::nullopt, std::nullopt, 8388608},
      {{}, std::nullopt, std::nullopt, -1},
  };
  for (const Case& c : cases) {
    HTTPURLResponse response(*URL::parse("https://example.test/a/"), 200, c.headers);
    EXPECT_EQ(response.MIMEType(), c.mimeType);
    EXPECT_EQ(response.textEncodingName(), c.encoding);
    EXPECT_EQ(response.expectedContentLength(), c.length);
  }
}

TEST(HTTPURLResponse, SuggestedFilename) {
  const URL url = *URL::parse("https://example.test/files/App%201.zip?x=1");
  EXPECT_EQ(HTTPURLResponse(url, 200, {}).suggestedFilename(), "App 1.zip");
  EXPECT_EQ(HTTPURLResponse(url, 200, {{"Content-Disposition", "attachment; filename=\"b.zip\""}})
                .suggestedFilename(),
            "b.zip");
  EXPECT_EQ(HTTPURLResponse(url, 200,
                            {{"Content-Disposition",
                              "attachment; filename=\"x\"; filename*=UTF-8''%C3%A9t%C3%A9.zip"}})
                .suggestedFilename(),
            "été.zip");
  EXPECT_EQ(HTTPURLResponse(url, 200, {{"Content-Disposition", "attachment; filename=../../p"}})
                .suggestedFilename(),
            "p");
  EXPECT_EQ(HTTPURLResponse(*URL::parse("https://example.test/"), 200, {}).suggestedFilename(),
            "Unknown");
}

TEST(HTTPURLResponse, LocalizedStringForStatusCode) {
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(200), "no error");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(404), "not found");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(500), "internal server error");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(418), "client error");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(299), "success");
}

}  // namespace
}  // namespace os
