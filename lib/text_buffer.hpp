// A file's text made in memory with the appends of OutputFile, for contents that are made apart from
// writing them (beside other work) and written afterwards in one piece.
#pragma once

#include <string>
#include <string_view>

#include "lib/number_format.hpp"

namespace expcoil {

class TextBuffer {
 public:
  TextBuffer& text(std::string_view s) {
    text_.append(s);
    return *this;
  }
  // As OutputFile::general and OutputFile::fixed: the same bytes.
  TextBuffer& general(double value, int precision) {
    char number[kMaxNumberChars];
    text_.append(number, format_general(number, value, precision));
    return *this;
  }
  TextBuffer& fixed(double value) {
    char number[kMaxNumberChars];
    text_.append(number, format_fixed(number, value));
    return *this;
  }
  TextBuffer& line_end() { return text("\r\n"); }

  void reserve(std::size_t bytes) { text_.reserve(bytes); }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace expcoil
