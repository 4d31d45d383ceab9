#pragma once
// The endpoint's limits as an operator sets them: a text file of "key = value" lines
// ('#' starts a comment), every key one field of EndpointOptions. A key not given keeps
// its default; an unknown key, a value that is not a whole number in the key's range, or
// limits that contradict each other make the whole file refused, with a message naming
// the line and what is wrong with it.

#include <filesystem>
#include <string>
#include <string_view>

#include "opctoolbox/ua/endpoint/ua_endpoint.h"

namespace OpcToolbox::ua {

// The settings of text over out: empty on success, else the reason (out is then
// unchanged).
std::string parseEndpointSettings(std::string_view text, EndpointOptions& out);

// The same for a file: a missing file is no error (every default holds); one that cannot
// be read is, naming its path and the reason.
std::string readEndpointSettings(const std::filesystem::path& file, EndpointOptions& out);

}  // namespace OpcToolbox::ua
