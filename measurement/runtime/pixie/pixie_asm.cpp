#include "measurement/runtime/pixie/pixie_asm.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "measurement/wire/access.h"

namespace measurement::pixie {

namespace {

// What a program text holds before it becomes wire messages.
struct Activity {
  std::string name;
  std::vector<APMPBRuntimeEntity> data;
};
struct ParsedProgram {
  std::vector<APMPBRuntimeEntity> instructions;
  std::vector<Activity> activities;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool atEnd() {
    skipSpace();
    return position_ >= text_.size();
  }

  // One form: a list, a string or a bare word.
  APMPBRuntimeEntity entity() {
    skipSpace();
    APMPBRuntimeEntity entity;
    if (peek() == '(') {
      ++position_;
      skipSpace();
      if (peek() == '"') {
        APMPBSetInt32(entity, kRuntimeEntity_type, 4);
        APMPBSetString(entity, kRuntimeEntity_function_name, string());
      } else {
        std::string word = bareWord();
        if (word != "raw") fail("expected a statement name or raw");
        APMPBSetInt32(entity, kRuntimeEntity_type, std::stoi(bareWord()));
      }
      std::vector<APMPBRuntimeEntity> arguments;
      while (!closes()) arguments.push_back(this->entity());
      APMPBSetArray(entity, kRuntimeEntity_value, arguments);
      return entity;
    }
    if (peek() == '"') {
      APMPBSetInt32(entity, kRuntimeEntity_type, 1);
      APMPBSetString(entity, kRuntimeEntity_string_value, string());
      return entity;
    }
    std::string word = bareWord();
    if (word == "true" || word == "false") {
      APMPBSetInt32(entity, kRuntimeEntity_type, 3);
      APMPBSetBool(entity, kRuntimeEntity_boolean_value, word == "true");
    } else {
      APMPBSetInt32(entity, kRuntimeEntity_type, 2);
      APMPBSetDouble(entity, kRuntimeEntity_number_value,
                     word == "NaN"         ? std::nan("")
                     : word == "Infinity"  ? std::numeric_limits<double>::infinity()
                     : word == "-Infinity" ? -std::numeric_limits<double>::infinity()
                                           : std::stod(word));
    }
    return entity;
  }

  // True (and consumed) when the next form is (activity ...).
  bool activity(ParsedProgram* program) {
    skipSpace();
    if (text_.substr(position_, 9) != "(activity") return false;
    position_ += 9;
    Activity activity;
    skipSpace();
    activity.name = string();
    while (!closes()) activity.data.push_back(entity());
    program->activities.push_back(std::move(activity));
    return true;
  }

 private:
  [[noreturn]] void fail(const std::string& what) {
    throw std::invalid_argument("pixie asm: " + what + " at " + std::to_string(position_));
  }
  void skipSpace() {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_]))) {
      ++position_;
    }
  }
  char peek() {
    if (position_ >= text_.size()) fail("unexpected end");
    return text_[position_];
  }
  bool closes() {
    skipSpace();
    if (peek() != ')') return false;
    ++position_;
    return true;
  }
  std::string bareWord() {
    skipSpace();
    size_t start = position_;
    while (position_ < text_.size() &&
           !std::isspace(static_cast<unsigned char>(text_[position_])) && text_[position_] != '(' &&
           text_[position_] != ')') {
      ++position_;
    }
    if (start == position_) fail("expected a word");
    return std::string(text_.substr(start, position_ - start));
  }
  std::string string() {
    if (peek() != '"') fail("expected a string");
    ++position_;
    std::string out;
    while (peek() != '"') {
      char c = text_[position_++];
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      char escape = peek();
      ++position_;
      switch (escape) {
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          unsigned code = hex4();
          // A surrogate pair written as two escapes is one character.
          if (code >= 0xd800 && code < 0xdc00 && text_.substr(position_, 2) == "\\u") {
            position_ += 2;
            code = 0x10000 + ((code - 0xd800) << 10) + (hex4() - 0xdc00);
          }
          appendUtf8(&out, code);
          break;
        }
        default:
          out.push_back(escape);
      }
    }
    ++position_;
    return out;
  }
  unsigned hex4() {
    unsigned code = unsigned(std::stoul(std::string(text_.substr(position_, 4)), nullptr, 16));
    position_ += 4;
    return code;
  }
  static void appendUtf8(std::string* out, unsigned code) {
    if (code < 0x80) {
      out->push_back(char(code));
    } else if (code < 0x800) {
      out->push_back(char(0xc0 | (code >> 6)));
      out->push_back(char(0x80 | (code & 0x3f)));
    } else if (code < 0x10000) {
      out->push_back(char(0xe0 | (code >> 12)));
      out->push_back(char(0x80 | ((code >> 6) & 0x3f)));
      out->push_back(char(0x80 | (code & 0x3f)));
    } else {
      out->push_back(char(0xf0 | (code >> 18)));
      out->push_back(char(0x80 | ((code >> 12) & 0x3f)));
      out->push_back(char(0x80 | ((code >> 6) & 0x3f)));
      out->push_back(char(0x80 | (code & 0x3f)));
    }
  }

  std::string_view text_;
  size_t position_ = 0;
};

}  // namespace

APMPBRuntimeEntity entity(std::string_view text) {
  Parser parser(text);
  APMPBRuntimeEntity result = parser.entity();
  if (!parser.atEnd()) throw std::invalid_argument("pixie asm: text after the entity");
  return result;
}

APMPBProgram program(std::string_view text) {
  Parser parser(text);
  ParsedProgram parsed;
  while (!parser.atEnd()) {
    if (!parser.activity(&parsed)) parsed.instructions.push_back(parser.entity());
  }
  APMPBProgram result;
  APMPBSetArray(result, kProgram_instructions, parsed.instructions);
  if (!parsed.activities.empty()) {
    std::vector<APMPBOgtActivity> activities;
    for (const Activity& parsedActivity : parsed.activities) {
      APMPBOgtActivity activity;
      APMPBSetString(activity, kOgtActivity_name, parsedActivity.name);
      APMPBSetArray(activity, kOgtActivity_data, parsedActivity.data);
      activities.push_back(std::move(activity));
    }
    APMPBOgtActivities list;
    APMPBSetArray(list, kOgtActivities_activities, activities);
    APMPBSetMessage(result, kProgram_ogt_activities, &list);
  }
  return result;
}

std::vector<uint8_t> programBytes(std::string_view text) {
  return program(text).protoBuffer().value_or(os::Data());
}

}  // namespace measurement::pixie
