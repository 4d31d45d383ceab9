#pragma once
// The Like operator of OPC UA's content filters (Part 4, 7.7.3): % any run of characters,
// _ one character, [list] and [^list] with ranges (a-z), \ makes the next one plain.
// Characters are UTF-8 code points; the match is case-sensitive.

#include <string_view>

namespace OpcToolbox::ua {

bool likeMatches(std::string_view text, std::string_view pattern);

}  // namespace OpcToolbox::ua
