#pragma once
// The line-based text files of the endpoint (settings, users), and the "key = value" text
// of its settings files: '#' starts a comment, blank lines are skipped, every other line is
// one setting.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace OpcToolbox::ua {

std::string_view trimSetting(std::string_view s);
// A printable rendering of outside text for a message: control bytes as '?', at most 60.
std::string shownSetting(std::string_view s);

// Calls use(line) for each line of text (without its end or a trailing '\r'); the first
// error use returns comes back prefixed with "line N: ".
std::string forEachLine(std::string_view text, const std::function<std::string(std::string_view line)>& use);

// Calls use(key, value) for each setting line; the first error (of a line that is not
// "key = value", or the one use returns) comes back prefixed with "line N: ".
std::string forEachSetting(std::string_view text,
                           const std::function<std::string(std::string_view key, std::string_view value)>& use);

// Reads a settings file (at most 1 MiB) and hands its text to parse: a missing file is no
// error (every default holds); one that cannot be read, or that parse refuses, gives the
// reason naming the file.
std::string readSettingsFile(const std::filesystem::path& file, const std::function<std::string(std::string_view text)>& parse);

}  // namespace OpcToolbox::ua
