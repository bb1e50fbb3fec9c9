// tessaro-sample-product: writes the sample product the installer installs.
//
//   tessaro-sample-product [--name=Brevalo] [--payload-bytes=N] OUTPUT.zip
//   tessaro-sample-product --bundle-only [--name=Brevalo] [--payload-bytes=N] FOLDER
//
// The first form writes the zipped bundle as the maker ships it; the second writes
// FOLDER/<name>.app itself.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "tools/installer/sample_product.h"

namespace {

int usage(const std::string& problem) {
  std::fprintf(stderr,
               "tessaro-sample-product: %s\n"
               "usage: tessaro-sample-product [--bundle-only] [--name=NAME] "
               "[--payload-bytes=N] OUTPUT\n",
               problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  tools::SampleProduct product;
  bool bundleOnly = false;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "--bundle-only") {
      bundleOnly = true;
    } else if (argument.substr(0, 7) == "--name=") {
      product.name = argument.substr(7);
      if (product.name.empty() || product.name.find('/') != std::string::npos) {
        return usage("the name must be a plain file name");
      }
    } else if (argument.substr(0, 16) == "--payload-bytes=") {
      std::string_view number = argument.substr(16);
      auto [end, failure] =
          std::from_chars(number.data(), number.data() + number.size(), product.payloadBytes);
      if (failure != std::errc() || end != number.data() + number.size()) {
        return usage("--payload-bytes needs a number");
      }
    } else if (output.empty() && argument.substr(0, 2) != "--") {
      output = argument;
    } else {
      return usage("unexpected argument " + std::string(argument));
    }
  }
  if (output.empty()) return usage("no output given");

  os::Error error;
  bool written = bundleOnly ? tools::makeSampleProduct(output, product, &error).has_value()
                            : tools::makeSampleProductArchive(output, product, &error);
  if (!written) {
    std::fprintf(stderr, "tessaro-sample-product: %s\n", error.localizedDescription().c_str());
    return 1;
  }
  return 0;
}
