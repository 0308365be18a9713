// SPDX-License-Identifier: MIT
// Parsing the file argument. The JSON parser is used here and nowhere else: one strict
// value, valid UTF-8, and the first member with a key decides.
#include "catalogue/filearg.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <simdjson.h>

#include "util/strbuf.h"

filearg::~filearg() { filearg_free(this); }

void filearg_free(filearg* fa) {
  for (char** field : {&fa->full_name, &fa->folder, &fa->name, &fa->file_type}) {
    std::free(*field);
    *field = nullptr;
  }
}

// A copy of the member's value when it is a string; an escaped NUL ends the copy there.
static char* string_member(const simdjson::dom::object& obj, const char* key) {
  std::string_view value;
  if (obj.at_key(key).get_string().get(value) != simdjson::SUCCESS) return nullptr;
  const size_t n = ::strnlen(value.data(), value.size());
  char* copy = static_cast<char*>(std::malloc(n + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, value.data(), n);
  copy[n] = '\0';
  return copy;
}

// The parser holds integers only up to 64 bits, where JSON itself has no bound and the
// argument's other members are never read. Rewrites each such integer outside strings as
// the same number in exponent form (123...9 becomes 1.23...9e29), which the parser reads
// as a double and still refuses when it is beyond the double range. Nothing else changes,
// so a text that was not JSON stays not JSON.
static std::string widen_big_integers(std::string_view text) {
  static constexpr std::string_view NUMBER_CHARS = "+-.0123456789eE";
  std::string out;
  out.reserve(text.size() + 16);
  bool in_string = false;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\' && i + 1 < text.size())
        out += text[++i];
      else if (c == '"')
        in_string = false;
      i++;
      continue;
    }
    if (c == '"') in_string = true;
    if (c != '-' && (c < '0' || c > '9')) {
      out += c;
      i++;
      continue;
    }
    size_t end = i;
    while (end < text.size() && NUMBER_CHARS.find(text[end]) != std::string_view::npos) end++;
    const std::string_view run = text.substr(i, end - i);
    const size_t sign = run[0] == '-' ? 1 : 0;
    const std::string_view digits = run.substr(sign);
    const bool big_integer = digits.size() >= 19 && digits[0] != '0' &&
                             digits.find_first_not_of("0123456789") == std::string_view::npos;
    if (big_integer) {
      out.append(run.substr(0, sign + 1));
      out += '.';
      out.append(digits.substr(1));
      out += 'e';
      out += std::to_string(digits.size() - 1);
    } else {
      out.append(run);
    }
    i = end;
  }
  return out;
}

static simdjson::error_code parse_object(simdjson::dom::parser& parser, std::string_view text,
                                         simdjson::dom::object& obj) {
  return parser.parse(text.data(), text.size()).get_object().get(obj);
}

int parse_file_arg(const char* text, filearg* fa) {
  fa->full_name = fa->folder = fa->name = fa->file_type = nullptr;
  if (!text) return -1;
  try {
    const std::string_view json(text);
    // JSON puts no bound on nesting; each level takes at least two bytes, so this depth
    // can never be the reason an object is refused.
    simdjson::dom::parser parser;
    if (parser.allocate(json.size(), std::max(simdjson::DEFAULT_MAX_DEPTH, json.size() / 2 + 1)) !=
        simdjson::SUCCESS)
      return -1;
    simdjson::dom::object obj;
    simdjson::error_code err = parse_object(parser, json, obj);
    std::string widened;
    if (err == simdjson::NUMBER_ERROR) {
      widened = widen_big_integers(json);
      err = parse_object(parser, widened, obj);
    }
    if (err != simdjson::SUCCESS) return -1;
    fa->full_name = string_member(obj, "FullName");
    fa->folder = string_member(obj, "Folder");
    fa->name = string_member(obj, "Name");
    fa->file_type = string_member(obj, "FileType");
  } catch (...) {  // the parser reports by codes; this only keeps a surprise inside
    filearg_free(fa);
    return -1;
  }
  if (!fa->full_name && !fa->name) {
    filearg_free(fa);
    return -1;
  }
  return 0;
}
