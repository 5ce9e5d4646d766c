// Downloading a parameter file given as a URL: libcurl on POSIX systems,
// WinINet on Windows (params/posix/, params/windows/).
#pragma once

#include <string>

namespace qae {

// Limits for a URL download. A parameter file is small, so a transfer that
// takes longer than a minute is treated as a dead server, not a slow one.
inline constexpr long kConnectTimeoutSeconds = 10;
inline constexpr long kTransferTimeoutSeconds = 60;
inline constexpr long kMaxRedirects = 10;

// Downloads `url` (http://, https:// or ftp://) whole into `body`:
// redirects followed, an HTTP error status is a failure, at most
// kMaxTextSourceBytes. False with `error` (when not null) set otherwise.
bool DownloadText(const std::string& url, std::string* body, std::string* error);

}  // namespace qae
