#include "params/text_source.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "util/text.h"

namespace qae {

namespace {

// Limits for a URL download. A parameter file is small, so a transfer that
// takes longer than a minute is treated as a dead server, not a slow one.
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTransferTimeoutSeconds = 60;
constexpr long kMaxRedirects = 10;

class StringTextSource final : public TextSource {
 public:
  explicit StringTextSource(std::string text) : text_(std::move(text)) {}

 protected:
  int NextByte() override {
    if (pos_ >= text_.size()) return -1;
    return static_cast<unsigned char>(text_[pos_++]);
  }

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

class FileTextSource final : public TextSource {
 public:
  explicit FileTextSource(std::FILE* file) : file_(file) {}
  ~FileTextSource() override { std::fclose(file_); }

 protected:
  int NextByte() override {
    const int c = std::getc(file_);
    if (c == EOF) {
      if (std::ferror(file_)) MarkFailed();
      return -1;
    }
    return c;
  }

 private:
  std::FILE* file_;
};

std::unique_ptr<TextSource> OpenLocalFile(const std::string& name, std::string* error) {
  // Binary mode: the "\r\n" handling of text mode is done by TextSource
  // itself, so the result does not depend on the platform.
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    if (error) *error = std::strerror(errno);
    return nullptr;
  }
  // fopen succeeds on a directory here, and reading it then fails on every
  // call; say so at opening time instead.
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(file);
    if (error) *error = "is a directory";
    return nullptr;
  }
  return std::make_unique<FileTextSource>(file);
}

struct Download {
  std::string body;
  bool too_large = false;
};

size_t AppendToDownload(char* data, size_t size, size_t count, void* user) {
  auto* download = static_cast<Download*>(user);
  const size_t n = size * count;
  if (download->body.size() + n > kMaxTextSourceBytes) {
    download->too_large = true;
    return 0;  // Anything but n aborts the transfer.
  }
  download->body.append(data, n);
  return n;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::unique_ptr<TextSource> OpenUrl(const std::string& name, std::string* error) {
  // A name can contain "http" without being a URL at all (a local directory
  // named "httpdata"). Handing it to the client would make it guess a host
  // name and wait for a resolver; refuse it here instead.
  if (!StartsWithNoCase(name, "http://") && !StartsWithNoCase(name, "https://") &&
      !StartsWithNoCase(name, "ftp://")) {
    if (error) {
      *error =
          "a name containing \"http\" or \"ftp://\" is read as a URL, "
          "but this one does not start with http://, https:// or ftp://";
    }
    return nullptr;
  }
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    if (error) *error = "cannot initialise the internet client";
    return nullptr;
  }
  Download download;
  char curl_error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl, CURLOPT_URL, name.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // An HTTP error page is not a parameter file.
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxTextSourceBytes));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendToDownload);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK) {
    if (error) {
      if (download.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
        *error = "download is larger than 16 MiB";
      } else if (curl_error[0] != '\0') {
        *error = curl_error;
      } else {
        *error = curl_easy_strerror(rc);
      }
    }
    return nullptr;
  }
  return std::make_unique<StringTextSource>(std::move(download.body));
}

}  // namespace

int TextSource::RawByte() {
  if (pushed_back_ >= 0) {
    const int c = pushed_back_;
    pushed_back_ = -1;
    return c;
  }
  if (ended_) return -1;
  if (n_consumed_ >= kMaxTextSourceBytes) {
    failed_ = true;
    ended_ = true;
    return -1;
  }
  const int c = NextByte();
  if (c < 0) {
    ended_ = true;
    return -1;
  }
  ++n_consumed_;
  return c;
}

int TextSource::TextChar() {
  const int c = RawByte();
  if (c != '\r') return c;
  const int next = RawByte();
  if (next == '\n') return '\n';
  pushed_back_ = next;  // -1 stays "nothing pushed back".
  return c;
}

bool TextSource::ReadLine(std::string* line, std::size_t buffer_size) {
  line->clear();
  const std::size_t max_chars = buffer_size < 2 ? 1 : buffer_size - 1;
  while (line->size() < max_chars) {
    const int c = TextChar();
    if (c < 0) break;
    line->push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  // As fgets: a read error voids the piece being read.
  if (failed_) line->clear();
  if (line->empty()) return false;
  if (at_line_start_) ++line_number_;
  at_line_start_ = line->back() == '\n';
  return true;
}

bool IsUrlName(std::string_view name) {
  return name.find("http") != std::string_view::npos ||
         name.find("ftp://") != std::string_view::npos;
}

std::unique_ptr<TextSource> OpenTextSource(const std::string& name, std::string* error) {
  if (error) error->clear();
  if (name.empty()) {
    if (error) *error = "empty file name";
    return nullptr;
  }
  return IsUrlName(name) ? OpenUrl(name, error) : OpenLocalFile(name, error);
}

std::unique_ptr<TextSource> TextSourceFromString(std::string text) {
  return std::make_unique<StringTextSource>(std::move(text));
}

}  // namespace qae
