// File names are UTF-8 strings throughout the program; these turn them into
// std::filesystem paths and back. On POSIX both are the bytes unchanged. On
// Windows a path holds UTF-16, and std::string would otherwise be read in
// the ANSI code page there, which loses every name outside it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qae {

std::filesystem::path PathOf(std::string_view utf8);

// The UTF-8 text of `path`, with '/' between its parts on every system, so
// that names the program prints or writes use one kind of separator.
std::string PathText(const std::filesystem::path& path);

}  // namespace qae
