// Parsing the file argument. The JSON parser is used here and nowhere else: one strict
// value, valid UTF-8, and the first member with a key decides.
#include "catalogue/filearg.h"

#include <cstring>
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

int parse_file_arg(const char* text, filearg* fa) {
  fa->full_name = fa->folder = fa->name = fa->file_type = nullptr;
  if (!text) return -1;
  try {
    simdjson::dom::parser parser;
    simdjson::dom::object obj;
    if (parser.parse(text, std::strlen(text)).get_object().get(obj) != simdjson::SUCCESS) return -1;
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
