// Line sources for the parameter file: a local file or a URL, read line by
// line the way fgets reads a text-mode stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qae {

// Size of the line buffer the parameter reader works with: a line piece holds
// at most kLineBufferSize - 1 characters.
inline constexpr std::size_t kLineBufferSize = 256;

// No source delivers more than this many bytes. A parameter file is a few
// kilobytes; the cap keeps a wrong name (a device, a large download) from
// reading without end.
inline constexpr std::uint64_t kMaxTextSourceBytes = std::uint64_t{16} << 20;

// A forward-only source of text lines. Not thread-safe.
class TextSource {
 public:
  virtual ~TextSource() = default;
  TextSource(const TextSource&) = delete;
  TextSource& operator=(const TextSource&) = delete;

  // Reads the next line piece as fgets does with a buffer of `buffer_size`
  // bytes: characters up to and including the next newline, but at most
  // buffer_size - 1 of them, so a longer line comes back in several pieces.
  // A "\r\n" line end is delivered as "\n" (text mode); a lone '\r' is kept.
  // NUL bytes are passed through. Returns false, with `line` empty, when
  // nothing is left: at the end, after a read error, or past
  // kMaxTextSourceBytes. Once it has returned false it keeps doing so.
  bool ReadLine(std::string* line, std::size_t buffer_size = kLineBufferSize);

  // The physical line (1-based) of the piece ReadLine last returned, counted
  // by newlines, so the pieces of a long line share its number; 0 before the
  // first piece. After ReadLine has returned false it stays at the last line
  // read, which is then the number of lines the source held.
  int line_number() const { return line_number_; }

  // True when reading stopped on a read error or the size cap rather than
  // at the regular end.
  bool failed() const { return failed_; }

 protected:
  TextSource() = default;

  // The next raw byte (0..255), or -1 at the end. An implementation that
  // hits a read error calls MarkFailed() and returns -1.
  virtual int NextByte() = 0;
  void MarkFailed() { failed_ = true; }

 private:
  int RawByte();
  int TextChar();

  int pushed_back_ = -1;  // A byte read ahead after a '\r', or -1.
  std::uint64_t n_consumed_ = 0;
  int line_number_ = 0;
  bool at_line_start_ = true;  // The next piece begins a physical line.
  bool ended_ = false;
  bool failed_ = false;
};

// Whether `name` is fetched as a URL rather than opened as a local file: it
// contains "http" or "ftp://" anywhere (case-sensitive). A local path with a
// directory named "httpdata" therefore counts as a URL, and "HTTP://host/x"
// as a local file name.
bool IsUrlName(std::string_view name);

// Opens `name` for reading lines. A URL name (see IsUrlName) is downloaded
// whole into memory first (http, https or ftp; redirects followed; at most
// kMaxTextSourceBytes; connection and total time limited), so a server that
// stops answering cannot stall the reader later. Any other name is opened as
// a local file, read-only. Returns null when the name cannot be opened and,
// if `error` is not null, stores the reason there.
std::unique_ptr<TextSource> OpenTextSource(const std::string& name, std::string* error = nullptr);

// A source over text already in memory (tests, and the URL case).
std::unique_ptr<TextSource> TextSourceFromString(std::string text);

}  // namespace qae
