#include "net/multipart_form_data.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "net/serialization_errors.h"
#include "os/net/urlsession.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

using ::testing::HasSubstr;

os::Data bytes(std::string_view text) { return os::Data(text.begin(), text.end()); }

// Reads `stream` to its end `bufferSize` bytes at a time. Stops at the first failure, leaving
// it in `*error`.
std::string readAll(os::InputStream& stream, size_t bufferSize, os::Error* error = nullptr,
                    size_t* largestRead = nullptr) {
  std::string all;
  std::vector<uint8_t> buffer(bufferSize);
  for (;;) {
    os::Error readError;
    int64_t count = stream.read(buffer.data(), buffer.size(), &readError);
    if (count < 0 && error) *error = readError;
    if (count <= 0) return all;
    if (largestRead) *largestRead = std::max(*largestRead, static_cast<size_t>(count));
    all.append(buffer.begin(), buffer.begin() + count);
  }
}

os::URLRequest postRequest() {
  os::URLRequest request(*os::URL::parse("http://127.0.0.1/upload"));
  request.setHTTPMethod("POST");
  return request;
}

// A stream that yields `length` bytes of 'S' and cannot be copied.
class CountingStream : public os::InputStream {
 public:
  explicit CountingStream(size_t length) : left_(length) {}
  int64_t read(uint8_t* buffer, size_t capacity, os::Error*) override {
    size_t count = std::min(capacity, left_);
    std::fill(buffer, buffer + count, 'S');
    left_ -= count;
    return static_cast<int64_t>(count);
  }

 private:
  size_t left_;
};

class MultipartFormData : public ::testing::Test {
 protected:
  std::filesystem::path writeFile(const std::string& name, std::string_view contents) {
    std::filesystem::path path = sandbox_.root() / name;
    testsupport::writeFile(path, contents);
    return path;
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(MultipartFormData, OneFieldIsFramedByInitialAndFinalBoundaries) {
  NKStreamingMultipartFormData form(postRequest());
  ASSERT_EQ(form.boundary().size(), 25u);
  EXPECT_EQ(form.boundary().substr(0, 9), "Boundary+");
  EXPECT_EQ(form.boundary().find_first_not_of("0123456789ABCDEF", 9), std::string::npos);
  EXPECT_NE(NKStreamingMultipartFormData(postRequest()).boundary(), form.boundary());
  form.appendPartWithFormData({'1'}, "a");
  os::URLRequest request = form.requestByFinalizingMultipartFormData();

  const std::string& b = form.boundary();
  std::string expected =
      "--" + b + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--" + b + "--\r\n";
  ASSERT_TRUE(request.HTTPBodyStream());
  EXPECT_EQ(readAll(*request.HTTPBodyStream(), 4096), expected);
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Type"), "multipart/form-data; boundary=" + b);
}

TEST_F(MultipartFormData, QuotesAndLineBreaksInNamesAreEscapedAsBrowsersDo) {
  NKStreamingMultipartFormData form(postRequest());
  form.appendPartWithFormData({'1'}, "a\"\r\nX: 1");
  form.appendPartWithFileData({'2'}, "f\n", "x\".txt\r\nContent-Type: text/html", "text/plain");
  os::URLRequest request = form.requestByFinalizingMultipartFormData();
  const std::string& b = form.boundary();
  EXPECT_EQ(readAll(*request.HTTPBodyStream(), 4096),
            "--" + b +
                "\r\nContent-Disposition: form-data; name=\"a%22%0D%0AX: 1\"\r\n\r\n1\r\n--" + b +
                "\r\nContent-Disposition: form-data; name=\"f%0A\"; "
                "filename=\"x%22.txt%0D%0AContent-Type: text/html\"\r\nContent-Type: "
                "text/plain\r\n\r\n2\r\n--" +
                b + "--\r\n");
}

TEST_F(MultipartFormData, LaterPartsOpenWithTheEncapsulationBoundaryAndOnlyTheLastCloses) {
  NKStreamingMultipartFormData form(postRequest());
  form.appendPartWithFormData(bytes("one"), "first");
  form.appendPartWithFileData(bytes("two"), "second", "two.txt", "text/plain");
  form.appendPartWithHeaders({{"X-Custom", "yes"}, {"Content-Type", "a/b"}}, bytes("three"));
  os::URLRequest request = form.requestByFinalizingMultipartFormData();

  const std::string& b = form.boundary();
  std::string expected = "--" + b +
                         "\r\nContent-Disposition: form-data; name=\"first\"\r\n\r\none"
                         "\r\n--" +
                         b +
                         "\r\nContent-Disposition: form-data; name=\"second\"; "
                         "filename=\"two.txt\"\r\nContent-Type: text/plain\r\n\r\ntwo"
                         "\r\n--" +
                         b +
                         "\r\nX-Custom: yes\r\nContent-Type: a/b\r\n\r\nthree"
                         "\r\n--" +
                         b + "--\r\n";
  EXPECT_EQ(readAll(*request.HTTPBodyStream(), 4096), expected);
  EXPECT_EQ(form.bodyStream()->contentLength(), expected.size());
}

TEST_F(MultipartFormData, WithoutPartsTheRequestStaysAsItWas) {
  os::URLRequest original = postRequest();
  original.setHTTPBody(bytes("kept"));
  NKStreamingMultipartFormData form(original);
  os::URLRequest request = form.requestByFinalizingMultipartFormData();
  EXPECT_FALSE(request.HTTPBodyStream());
  EXPECT_EQ(request.HTTPBody(), bytes("kept"));
  EXPECT_FALSE(request.valueForHTTPHeaderField("Content-Type"));
  EXPECT_FALSE(request.valueForHTTPHeaderField("Content-Length"));
}

TEST_F(MultipartFormData, AnyBufferSizeYieldsTheSameBytesAsTheDeclaredLength) {
  std::string fileContents(10000, '\0');
  for (size_t i = 0; i < fileContents.size(); ++i) fileContents[i] = static_cast<char>(i * 7);
  std::filesystem::path file = writeFile("blob.bin", fileContents);

  auto build = [&] {
    auto form = std::make_shared<NKStreamingMultipartFormData>(postRequest());
    form->appendPartWithFormData(bytes("field value"), "field");
    os::Error error;
    EXPECT_TRUE(form->appendPartWithFileURL(os::URL::fileURLWithPath(file), "file", &error));
    form->appendPartWithInputStream(std::make_shared<CountingStream>(3000), "stream", "s.dat", 3000,
                                    "application/x-s");
    form->appendPartWithFormData({}, "empty");
    return form;
  };
  auto reference = build();
  os::URLRequest referenceRequest = reference->requestByFinalizingMultipartFormData();
  std::string expected = readAll(*referenceRequest.HTTPBodyStream(), 1 << 20);
  EXPECT_EQ(std::to_string(expected.size()),
            referenceRequest.valueForHTTPHeaderField("Content-Length"));
  EXPECT_THAT(expected, HasSubstr(fileContents));

  // A buffer smaller than a boundary takes the boundary over several reads.
  for (size_t bufferSize : {1, 2, 7, 31, 1000, 4096}) {
    auto form = build();
    os::URLRequest request = form->requestByFinalizingMultipartFormData();
    std::string body = readAll(*request.HTTPBodyStream(), bufferSize);
    // Boundaries are random: compare with this form's own boundary put in.
    std::string withReferenceBoundary = body;
    for (size_t at = 0;
         (at = withReferenceBoundary.find(form->boundary(), at)) != std::string::npos;) {
      withReferenceBoundary.replace(at, form->boundary().size(), reference->boundary());
      at += reference->boundary().size();
    }
    EXPECT_EQ(withReferenceBoundary, expected) << "buffer size " << bufferSize;
  }
}

TEST_F(MultipartFormData, FilePartsTakeTheirNameAndMIMETypeFromThePath) {
  struct Case {
    const char* fileName;
    const char* mimeType;
  } cases[] = {
      {"shot.png", "image/png"},
      {"SHOT.PNG", "image/png"},
      {"notes.txt", "text/plain"},
      {"archive.unknownext", "application/octet-stream"},
      {"README", "application/octet-stream"},
  };
  for (const Case& c : cases) {
    NKStreamingMultipartFormData form(postRequest());
    std::filesystem::path file = writeFile(c.fileName, "x");
    os::Error error;
    ASSERT_TRUE(form.appendPartWithFileURL(os::URL::fileURLWithPath(file), "upload", &error))
        << c.fileName;
    const NKHTTPBodyPart& part = form.bodyStream()->HTTPBodyParts().at(0);
    EXPECT_EQ(part.headers().value("Content-Disposition"),
              std::string("form-data; name=\"upload\"; filename=\"") + c.fileName + "\"");
    EXPECT_EQ(part.headers().value("Content-Type"), c.mimeType) << c.fileName;
    EXPECT_EQ(part.bodyContentLength(), 1u);
  }
}

TEST_F(MultipartFormData, UnusableFileURLsAreRefusedAndAddNothing) {
  std::filesystem::create_directory(sandbox_.root() / "folder");
  struct Case {
    os::URL url;
    std::string domain;
    int64_t code;
    std::string reason;
  } cases[] = {
      {*os::URL::parse("https://example.test/a.txt"), kNKRequestSerializationErrorDomain,
       os::kURLErrorBadURL, "Expected URL to be a file URL"},
      {os::URL::fileURLWithPath(sandbox_.root() / "missing.txt"),
       kNKRequestSerializationErrorDomain, os::kURLErrorBadURL, "File URL not reachable."},
      {os::URL::fileURLWithPath(sandbox_.root() / "folder"), os::kPOSIXErrorDomain, EISDIR, ""},
  };
  for (const Case& c : cases) {
    NKStreamingMultipartFormData form(postRequest());
    os::Error error;
    EXPECT_FALSE(form.appendPartWithFileURL(c.url, "f", &error)) << c.url.absoluteString();
    EXPECT_EQ(error.domain, c.domain);
    EXPECT_EQ(error.code, c.code);
    if (!c.reason.empty()) {
      EXPECT_EQ(error.userInfo["NSLocalizedFailureReason"], os::Value(c.reason));
    }
    EXPECT_TRUE(form.bodyStream()->isEmpty());
  }
}

TEST_F(MultipartFormData, ThrottlingLimitsEveryReadAndPausesBetweenThem) {
  NKStreamingMultipartFormData form(postRequest());
  form.appendPartWithFileData(os::Data(200, 'x'), "f", "f.bin", "application/octet-stream");
  form.throttleBandwidthWithPacketSize(16, 0.01);
  os::URLRequest request = form.requestByFinalizingMultipartFormData();
  uint64_t length = form.bodyStream()->contentLength();

  auto start = std::chrono::steady_clock::now();
  size_t largestRead = 0;
  std::string body = readAll(*request.HTTPBodyStream(), 4096, nullptr, &largestRead);
  auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(body.size(), length);
  EXPECT_EQ(largestRead, 16u);
  // At least one pause of 10 ms per 16-byte read.
  EXPECT_GE(elapsed, std::chrono::milliseconds(10) * (length / 16));
}

TEST_F(MultipartFormData, ACopyReadsTheSameBytesFromTheStart) {
  std::filesystem::path file = writeFile("data.txt", "file body");
  NKStreamingMultipartFormData form(postRequest());
  form.appendPartWithFormData(bytes("v"), "k");
  os::Error error;
  ASSERT_TRUE(form.appendPartWithFileURL(os::URL::fileURLWithPath(file), "f", &error));
  form.appendPartWithInputStream(os::InputStream::withData(bytes("streamed")), "s", "s.txt", 8,
                                 "text/plain");
  form.throttleBandwidthWithPacketSize(5, 0);
  os::URLRequest request = form.requestByFinalizingMultipartFormData();

  // Half-read the original first: the copy starts over, the original goes on where it was.
  uint8_t head[5];
  ASSERT_EQ(request.HTTPBodyStream()->read(head, sizeof head, nullptr), 5);
  std::shared_ptr<os::InputStream> copy = request.HTTPBodyStream()->copy();
  ASSERT_TRUE(copy);
  size_t largestRead = 0;
  std::string copied = readAll(*copy, 4096, nullptr, &largestRead);
  std::string rest = readAll(*request.HTTPBodyStream(), 4096);
  EXPECT_EQ(copied, std::string(reinterpret_cast<char*>(head), 5) + rest);
  EXPECT_EQ(copied.size(), form.bodyStream()->contentLength());
  EXPECT_EQ(largestRead, 5u) << "the copy keeps the throttling";
}

TEST_F(MultipartFormData, ABodyThatContradictsItsDeclaredLengthFailsTheRead) {
  std::filesystem::path file = writeFile("grows.txt", "1234");
  struct Case {
    const char* name;
    std::function<void(NKStreamingMultipartFormData&)> append;
    std::function<void()> afterAppend;
    const char* reason;
  } cases[] = {
      {"stream shorter than declared",
       [](NKStreamingMultipartFormData& form) {
         form.appendPartWithInputStream(std::make_shared<CountingStream>(5), "s", "s", 10, "a/b");
       },
       [] {}, "ended after 5 bytes"},
      {"stream longer than declared",
       [](NKStreamingMultipartFormData& form) {
         form.appendPartWithInputStream(std::make_shared<CountingStream>(12), "s", "s", 10, "a/b");
       },
       [] {}, "is longer than declared"},
      {"file grown after it was appended",
       [&](NKStreamingMultipartFormData& form) {
         os::Error error;
         EXPECT_TRUE(form.appendPartWithFileURL(os::URL::fileURLWithPath(file), "f", &error));
       },
       [&] { std::ofstream(file, std::ios::app) << "5"; }, "is longer than declared"},
  };
  for (const Case& c : cases) {
    NKStreamingMultipartFormData form(postRequest());
    form.appendPartWithFormData(bytes("before"), "first");
    c.append(form);
    c.afterAppend();
    os::URLRequest request = form.requestByFinalizingMultipartFormData();
    os::Error error;
    std::string body = readAll(*request.HTTPBodyStream(), 1 << 16, &error);
    EXPECT_EQ(error.domain, kNKRequestSerializationErrorDomain) << c.name;
    EXPECT_EQ(error.code, os::kURLErrorRequestBodyStreamExhausted) << c.name;
    EXPECT_THAT(error.description, HasSubstr(c.reason)) << c.name;
    // What was read before the failure came out first; the body never reached its end.
    EXPECT_THAT(body, HasSubstr("before"));
    EXPECT_LT(body.size(), form.bodyStream()->contentLength());
    EXPECT_EQ(form.bodyStream()->streamStatus(), NKStreamStatus::Error);
    ASSERT_TRUE(form.bodyStream()->streamError());
    EXPECT_EQ(form.bodyStream()->streamError()->code, os::kURLErrorRequestBodyStreamExhausted);
  }
}

TEST_F(MultipartFormData, AFileThatDisappearsFailsWithTheFileSystemsError) {
  std::filesystem::path file = writeFile("gone.txt", "abc");
  NKStreamingMultipartFormData form(postRequest());
  os::Error error;
  ASSERT_TRUE(form.appendPartWithFileURL(os::URL::fileURLWithPath(file), "f", &error));
  std::filesystem::remove(file);
  os::URLRequest request = form.requestByFinalizingMultipartFormData();
  readAll(*request.HTTPBodyStream(), 4096, &error);
  EXPECT_EQ(error.domain, os::kPOSIXErrorDomain);
  EXPECT_EQ(error.code, ENOENT);
}

TEST_F(MultipartFormData, StreamStatusFollowsOpenReadAndClose) {
  NKMultipartBodyStream stream;
  EXPECT_EQ(stream.streamStatus(), NKStreamStatus::NotOpen);
  EXPECT_FALSE(stream.hasBytesAvailable());
  stream.appendHTTPBodyPart(
      NKHTTPBodyPart({{"A", "b"}}, "B",
                     NKHTTPBodyPart::DataBody{std::make_shared<const os::Data>(bytes("x"))}, 1));
  stream.open();
  EXPECT_TRUE(stream.hasBytesAvailable());
  EXPECT_EQ(readAll(stream, 3), "--B\r\nA: b\r\n\r\nx\r\n--B--\r\n");
  EXPECT_EQ(stream.streamStatus(), NKStreamStatus::AtEnd);

  std::shared_ptr<os::InputStream> copy = stream.copy();
  auto& copied = static_cast<NKMultipartBodyStream&>(*copy);
  copied.close();
  uint8_t byte;
  EXPECT_EQ(copied.read(&byte, 1, nullptr), 0);
  EXPECT_EQ(copied.streamStatus(), NKStreamStatus::Closed);
}

}  // namespace
