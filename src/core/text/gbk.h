// GBK text at the edges: the wire, the pipe, the configuration files and directory requests
// carry GBK, the windows work in Unicode. Conversion uses glibc's iconv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

// UTF-8 to GBK; characters GBK cannot express become '?'.
std::string utf8ToGbk(std::string_view utf8);
// The distinct characters of a UTF-8 text that GBK cannot express (utf8ToGbk turns them into
// '?'), each as UTF-8, in the order they first appear; at most `limit` of them.
std::vector<std::string> charactersGbkLacks(std::string_view utf8, std::size_t limit = 8);
// GBK to UTF-8; bytes that are not valid GBK become U+FFFD, so untrusted input never fails.
std::string gbkToUtf8(std::string_view gbk);
// The length of the longest prefix of at most maxBytes bytes that ends on a character boundary.
std::size_t gbkPrefixLength(std::string_view gbk, std::size_t maxBytes);

}  // namespace lumo
