#include "tools/installer/sample_product.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <vector>

#include "os/files/files.h"
#include "os/value/plist.h"
#include "os/value/value.h"
#include "os/zip/zip.h"
#include "testsupport/random.h"

namespace tools {
namespace {

namespace fs = std::filesystem;

constexpr const char* kExecutableScript =
    "#!/bin/sh\n"
    "# Stand-in for the product: records that it was started, then quits.\n"
    "marker=\"${TESSARO_PRODUCT_MARKER:-$HOME/.tessaro-product-started}\"\n"
    "printf '%s %s\\n' \"$$\" \"$0\" > \"$marker.$$\" && mv -f \"$marker.$$\" \"$marker\"\n";

bool writeFile(const fs::path& path, std::string_view bytes, uint32_t mode, os::Error* error) {
  return os::files::createDirectory(path.parent_path(), true, error) &&
         os::files::writeAtomically(path, bytes, error) &&
         os::files::setPermissions(path, mode, error);
}

// Pseudo-random bytes, so that the payload does not compress away.
bool writePayload(const fs::path& path, uint64_t size, os::Error* error) {
  if (!os::files::createDirectory(path.parent_path(), true, error)) return false;
  if (!testsupport::writeRandomFile(path, size, 0x2545F491)) {
    return os::fail(error, os::posixError(EIO, path.string()));
  }
  return true;
}

// Plain writes, without the flush of writeAtomically(): thousands of them must stay cheap.
bool writeResourceFiles(const fs::path& bundle, const SampleProduct& product, os::Error* error) {
  const std::string bytes(product.resourceFileBytes, 'r');
  for (uint32_t index = 0; index < product.resourceFiles; ++index) {
    const fs::path path = bundle / sampleResourceFile(index);
    if (index % 1000 == 0 && !os::files::createDirectory(path.parent_path(), true, error)) {
      return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) return os::fail(error, os::posixError(EIO, path.string()));
  }
  return true;
}

std::string infoPlist(const SampleProduct& product) {
  os::Dictionary info = {
      {"CFBundleExecutable", product.name},    {"CFBundleIdentifier", product.identifier},
      {"CFBundleName", product.name},          {"CFBundlePackageType", "APPL"},
      {"CFBundleShortVersionString", "1.0.0"}, {"CFBundleVersion", "1"}};
  return os::plist::serialize(os::Value(info), os::plist::Format::Xml).value_or("");
}

// A fresh folder beside `near`, removed with this object.
class ScratchFolder {
 public:
  explicit ScratchFolder(const fs::path& near) {
    std::string pattern = near.string() + ".parts-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    if (!path_.empty()) os::files::removeItem(path_, nullptr);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

uint32_t littleEndian(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

std::string sampleResourceFile(uint32_t index) {
  return "Contents/Resources/data/" + std::to_string(index / 1000) + "/" + std::to_string(index) +
         ".dat";
}

std::optional<fs::path> makeSampleProduct(const fs::path& folder, const SampleProduct& product,
                                          os::Error* error) {
  fs::path bundle = folder / (product.name + ".app");
  if (os::files::exists(bundle) && !os::files::removeItem(bundle, error)) return std::nullopt;
  fs::path contents = bundle / "Contents";
  fs::path framework = contents / "Frameworks" / (product.name + "Kit.framework");
  bool written = writeFile(contents / "Info.plist", infoPlist(product), 0644, error) &&
                 writeFile(contents / "PkgInfo", "APPL????", 0644, error) &&
                 writeFile(contents / "MacOS" / product.name, kExecutableScript, 0755, error) &&
                 writeFile(contents / "Resources/en.lproj/Localizable.strings",
                           "\"Welcome\" = \"Welcome to " + product.name + "\";\n", 0644, error) &&
                 writeFile(contents / "Resources/ja.lproj/Localizable.strings",
                           "\"Welcome\" = \"" + product.name + "へようこそ\";\n", 0644, error) &&
                 writePayload(contents / "Resources/payload.bin", product.payloadBytes, error) &&
                 writeFile(framework / "Versions/A" / (product.name + "Kit"),
                           "\x7f"
                           "ELF stand-in\n",
                           0755, error) &&
                 os::files::createSymbolicLink(framework / "Versions/Current", "A", error) &&
                 os::files::createSymbolicLink(framework / (product.name + "Kit"),
                                               "Versions/Current/" + product.name + "Kit", error) &&
                 writeResourceFiles(bundle, product, error);
  if (!written) return std::nullopt;
  return bundle;
}

bool makeSampleProductArchive(const fs::path& archive, const SampleProduct& product,
                              os::Error* error) {
  ScratchFolder scratch(archive);
  if (scratch.path().empty()) return os::fail(error, os::posixError(errno, archive.string()));
  std::optional<fs::path> bundle = makeSampleProduct(scratch.path(), product, error);
  return bundle && os::SSZipArchive::createZipFileAtPath(archive.string(), bundle->string(),
                                                         /*keepParentDirectory=*/true, error);
}

bool makeCorruptArchive(const fs::path& from, const fs::path& to, os::Error* error) {
  std::error_code code;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, code);
  if (code) return os::fail(error, os::posixError(code.value(), to.string()));
  int fd = ::open(to.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return os::fail(error, os::posixError(errno, to.string()));

  // Walk the local headers: signature, sizes at 18, name and extra lengths at 26 and 28.
  uint64_t largestStart = 0;
  uint64_t largestSize = 0;
  for (uint64_t offset = 0;;) {
    std::array<unsigned char, 30> header;
    if (::pread(fd, header.data(), header.size(), static_cast<off_t>(offset)) !=
            static_cast<ssize_t>(header.size()) ||
        littleEndian(header.data(), 4) != 0x04034b50) {
      break;
    }
    uint32_t compressed = littleEndian(header.data() + 18, 4);
    // Sizes kept in a trailing descriptor or a zip64 field are not in the header.
    if ((littleEndian(header.data() + 6, 2) & 0x8) != 0 || compressed == 0xFFFFFFFF) break;
    uint64_t start =
        offset + 30 + littleEndian(header.data() + 26, 2) + littleEndian(header.data() + 28, 2);
    if (compressed > largestSize) {
      largestStart = start;
      largestSize = compressed;
    }
    offset = start + compressed;
  }
  bool damaged = false;
  if (largestSize >= 64) {
    std::array<unsigned char, 16> bytes;
    off_t middle = static_cast<off_t>(largestStart + largestSize / 2);
    if (::pread(fd, bytes.data(), bytes.size(), middle) == static_cast<ssize_t>(bytes.size())) {
      for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(~byte);
      damaged =
          ::pwrite(fd, bytes.data(), bytes.size(), middle) == static_cast<ssize_t>(bytes.size());
    }
  }
  ::close(fd);
  if (!damaged) {
    return os::fail(error,
                    os::Error(os::SSZipArchive::kErrorDomain, os::SSZipArchive::kInvalidArguments,
                              from.string() + " has no entry large enough to damage"));
  }
  return true;
}

bool makeEscapingArchive(const fs::path& archive, const SampleProduct& product, os::Error* error) {
  using Kind = os::ZipEntry::Kind;
  std::string bundle = product.name + ".app/";
  std::vector<os::ZipEntry> entries = {
      {bundle, Kind::Directory, 0755, {}, {}},
      {bundle + "Contents/", Kind::Directory, 0755, {}, {}},
      {bundle + "Contents/Info.plist", Kind::File, 0644, infoPlist(product), {}},
      {"../tessaro-escaped.txt", Kind::File, 0644, "escaped\n", {}},
      {bundle + "Contents/Resources/escape",
       Kind::SymbolicLink,
       0777,
       "../../../../tessaro-escaped-link",
       {}},
  };
  return os::SSZipArchive::createZipFileAtPath(archive.string(), entries, error);
}

}  // namespace tools
