// GBK text at the edges: the wire, the pipe, the configuration files and directory requests
// carry GBK, the windows work in Unicode. Conversion uses glibc's iconv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumo {

// UTF-8 to GBK; characters GBK cannot express become '?'.
std::string utf8ToGbk(std::string_view utf8);
// GBK to UTF-8; bytes that are not valid GBK become U+FFFD, so untrusted input never fails.
std::string gbkToUtf8(std::string_view gbk);
// The length of the longest prefix of at most maxBytes bytes that ends on a character boundary.
std::size_t gbkPrefixLength(std::string_view gbk, std::size_t maxBytes);

}  // namespace lumo
