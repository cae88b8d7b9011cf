// Pinyin initials of a GBK text, standing in for the external PinYin library.
#pragma once

#include <string>
#include <string_view>

namespace text {

// One capital letter per Chinese character (the initial of its reading, as
// ICU's Han-Latin transliterator gives it); ASCII letters as capitals, digits
// kept, everything else dropped. Never contains an apostrophe.
std::string GetPinYinFirstChar(std::string_view gbk);

}  // namespace text
