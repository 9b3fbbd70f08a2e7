// Texts quoted in reprs: escapes for quotes, backslashes, controls,
// non-printable characters and combining marks.
#include <cstdio>
#include <string>

#include "kestrel/utf8.hpp"
#include "py_support.hpp"

namespace kestrel::binding {

namespace {

// Decodes one UTF-8 sequence at `at`; an invalid byte is returned alone.
char32_t decode_utf8(std::string_view text, std::size_t& at) {
  const kestrel::Utf8Char decoded = kestrel::decode_utf8(text.substr(at));
  if (decoded.status != kestrel::Utf8Status::Valid) return static_cast<unsigned char>(text[at++]);
  at += decoded.end;
  return decoded.code_point;
}

// Non-printable characters and combining marks are escaped; the Unicode
// tables are the interpreter's own.
bool needs_escape(std::string_view character) {
  Ref text = text_to_py(character);
  Ref printable = own(PyObject_CallMethod(text.get(), "isprintable", nullptr));
  if (printable.get() != Py_True) return true;
  ModuleState& s = state();
  if (!s.unicodedata) s.unicodedata = own(PyImport_ImportModule("unicodedata"));
  Ref category = own(PyObject_CallMethod(s.unicodedata.get(), "category", "O", text.get()));
  // The module comes from sys.modules, which a program may have replaced.
  if (!PyUnicode_Check(category.get())) {
    raise(PyExc_TypeError, "unicodedata.category() must return str");
  }
  return PyUnicode_CompareWithASCIIString(category.get(), "Mn") == 0 ||
         PyUnicode_CompareWithASCIIString(category.get(), "Me") == 0;
}

void append_code_escape(std::string& out, char32_t code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(code));
  out += buffer;
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t begin = at;
    const char32_t code = decode_utf8(text, at);
    switch (code) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    const std::string_view character = text.substr(begin, at - begin);
    const bool invalid = code >= 0x80 && character.size() == 1;
    if (code < 0x20 || code == 0x7F) {
      append_code_escape(out, code);
    } else if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (invalid || needs_escape(character)) {
      append_code_escape(out, code);
    } else {
      out += character;
    }
  }
  return out + "\"";
}

std::string index_list(const std::vector<std::size_t>& indices) {
  std::string out = "[";
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(indices[i]);
  }
  return out + "]";
}

}  // namespace kestrel::binding
