#include "os/text/format.h"

#include <fmt/printf.h>

#include <cstdint>

namespace os {
namespace {

// Copies `pattern`, handing each '%' to `directive(percent, out)`, which appends what the
// directive there stands for and answers where the copying goes on.
template <typename Directive>
std::string substitute(std::string_view pattern, Directive directive) {
  std::string out;
  out.reserve(pattern.size());
  size_t done = 0;
  for (size_t percent = pattern.find('%'); percent != pattern.npos;
       percent = pattern.find('%', done)) {
    out.append(pattern, done, percent - done);
    done = directive(percent, out);
  }
  out.append(pattern, done);
  return out;
}

}  // namespace

std::string formatObjects(std::string_view pattern, const Array& args) {
  size_t nextArgument = 0;
  return substitute(pattern, [&](size_t percent, std::string& out) {
    char directive = percent + 1 < pattern.size() ? pattern[percent + 1] : '\0';
    if (directive == '%') {
      out += '%';
      return percent + 2;
    }
    if (directive == '@') {
      const Value* argument = nextArgument < args.size() ? &args[nextArgument] : nullptr;
      ++nextArgument;
      out += argument == nullptr || argument->isNull() ? "(null)" : argument->description();
      return percent + 2;
    }
    out += '%';
    return percent + 1;
  });
}

namespace {

constexpr std::string_view kFlags = "-+ #0";
constexpr std::string_view kIntegerConversions = "diuxXoc";
constexpr std::string_view kRealConversions = "fFeEgGaA";

// One conversion of `pattern` starting at its '%': where it ends and what it asks for.
struct Conversion {
  size_t end = 0;             // one past the conversion character
  std::string flagsAndWidth;  // flags, width and precision as written
  char type = '\0';           // '\0' when the text after '%' is no conversion we know
};

Conversion parseConversion(std::string_view pattern, size_t percent) {
  Conversion conversion;
  size_t at = percent + 1;
  auto take = [&](auto accepts) {
    size_t start = at;
    while (at < pattern.size() && accepts(pattern[at])) ++at;
    conversion.flagsAndWidth.append(pattern.substr(start, at - start));
  };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  take([](char c) { return kFlags.find(c) != kFlags.npos; });
  take(isDigit);
  if (at < pattern.size() && pattern[at] == '.') {
    conversion.flagsAndWidth += '.';
    ++at;
    take(isDigit);
  }
  // Length modifiers say how the C caller passed the value; a Value carries its own width.
  while (at < pattern.size() &&
         std::string_view("hlqjztL").find(pattern[at]) != std::string_view::npos) {
    ++at;
  }
  if (at < pattern.size()) {
    char type = pattern[at];
    if (type == '@' || type == 's' || type == 'p' ||
        kIntegerConversions.find(type) != kIntegerConversions.npos ||
        kRealConversions.find(type) != kRealConversions.npos) {
      conversion.type = type;
      conversion.end = at + 1;
    }
  }
  return conversion;
}

std::string render(const Conversion& conversion, const Value& argument) {
  std::string spec = "%" + conversion.flagsAndWidth;
  char type = conversion.type;
  if (type == '@' || type == 's') {
    return fmt::sprintf(spec + "s", argument.isNull() ? "(null)" : argument.description());
  }
  if (type == 'p') return fmt::format("{:#x}", argument.unsignedValue());
  if (kRealConversions.find(type) != kRealConversions.npos) {
    return fmt::sprintf(spec + type, argument.doubleValue());
  }
  if (type == 'c') return fmt::sprintf(spec + 'c', static_cast<char>(argument.integerValue()));
  if (type == 'd' || type == 'i') return fmt::sprintf(spec + 'd', argument.integerValue());
  return fmt::sprintf(spec + type, argument.unsignedValue());
}

}  // namespace

std::string formatPrintf(std::string_view pattern, const Array& args) {
  size_t nextArgument = 0;
  return substitute(pattern, [&](size_t percent, std::string& out) {
    if (percent + 1 < pattern.size() && pattern[percent + 1] == '%') {
      out += '%';
      return percent + 2;
    }
    Conversion conversion = parseConversion(pattern, percent);
    if (conversion.type == '\0' || nextArgument >= args.size()) {
      out += '%';
      return percent + 1;
    }
    out += render(conversion, args[nextArgument++]);
    return conversion.end;
  });
}

}  // namespace os
