#include "params/text_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "params/url_download.h"
#include "util/file_io.h"
#include "util/path.h"
#include "util/text.h"

namespace qae {

namespace {

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
  std::FILE* file = OpenStdioFile(name, "rb");
  std::error_code ec;
  if (file == nullptr) {
    const int err = errno;
    // Windows refuses to open a directory at all.
    if (error) *error = std::filesystem::is_directory(PathOf(name), ec) ? "is a directory"
                                                                        : std::strerror(err);
    return nullptr;
  }
  // fopen succeeds on a directory on POSIX, and reading it then fails on
  // every call; say so at opening time instead.
  if (std::filesystem::is_directory(PathOf(name), ec)) {
    std::fclose(file);
    if (error) *error = "is a directory";
    return nullptr;
  }
  return std::make_unique<FileTextSource>(file);
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
  std::string body;
  if (!DownloadText(name, &body, error)) return nullptr;
  return std::make_unique<StringTextSource>(std::move(body));
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
