// Loading, splitting and invariant checks shared by the fuzz targets.

#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "message/utf16.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Printable form of a text for a failure report: at most 200 bytes, control
// and 8-bit bytes as \xNN.
std::string printable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < 200; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  if (text.size() > 200) out += "...";
  return out;
}

// The text a load of `bytes` gives: UTF-16 input after its mark converted
// whole (a trailing odd byte ignored), other input less a leading UTF-8
// byte-order mark.
std::string textOf(std::string_view bytes, bool isUtf16) {
  if (!isUtf16) {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    return std::string(bytes);
  }
  const bool isBigEndian = bytes.starts_with("\xFE\xFF");
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  std::u16string units;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    units.push_back(isBigEndian
                        ? static_cast<char16_t>((b[i] << 8) | b[i + 1])
                        : static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
  }
  std::string text;
  appendUtf8FromUtf16(units, text);
  return text;
}

}  // namespace

void failCheck(const char* what, std::string_view detail) {
  std::fprintf(stderr, "check failed: %s\n  %s\n", what,
               printable(detail).c_str());
  std::abort();
}

std::string_view asText(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

void loadBytes(MessageBuffer& buffer, std::string_view bytes) {
  // fmemopen refuses a zero-sized area; an empty file loads no blocks.
  if (bytes.empty()) return;
  std::unique_ptr<std::FILE, FileCloser> file(
      fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb"));
  FUZZ_CHECK(file != nullptr, "fmemopen");
  buffer.loadFrom(file.get());
}

void checkLinePieces(const MessageBuffer& buffer, std::string_view bytes) {
  char line[MessageBuffer::kLineAreaSize];
  BufferPosition position = buffer.start();
  std::string joined;
  bool isPreviousOpen = false;  // the last piece had no line feed
  for (;;) {
    int count = buffer.readLine(position, line, &position);
    FUZZ_CHECK(count >= 0, "readLine failed on a valid position");
    if (count == 0) break;
    FUZZ_CHECK(count <= MessageBuffer::kMaxLinePiece, std::to_string(count));
    FUZZ_CHECK(line[count] == '\0', "piece not terminated");
    bool hasFeed = line[count - 1] == '\n';
    FUZZ_CHECK(std::memchr(line, '\n', count - 1) == nullptr,
               std::string_view(line, count));
    // A piece without a line feed is either cut at the limit or the last.
    FUZZ_CHECK(!isPreviousOpen, "a short piece without a line feed went on");
    isPreviousOpen = !hasFeed && count < MessageBuffer::kMaxLinePiece;
    joined.append(line, count);
  }
  FUZZ_CHECK(position.block == nullptr, "text exhausted but block left");
  FUZZ_CHECK(joined == textOf(bytes, buffer.isUtf16),
             "pieces joined differ from the input's text");
}

void checkLineReaders(const MessageBuffer& buffer) {
  BufferPosition byView = buffer.start();
  BufferPosition byCopy = buffer.start();
  std::string_view view;
  std::string joined;
  std::string copy;
  for (;;) {
    const bool hasView = buffer.readLineView(byView, view, joined);
    const bool hasCopy = buffer.readTextLine(byCopy, copy);
    FUZZ_CHECK(hasView == hasCopy, copy);
    FUZZ_CHECK(view == copy, std::string(view) + "\n differs from\n" + copy);
    FUZZ_CHECK(byView.block == byCopy.block && byView.offset == byCopy.offset,
               copy);
    if (!hasCopy) return;
  }
}

TextLines splitStoredLines(std::string_view text) {
  TextLines lines;
  while (!text.empty()) {
    size_t feed = text.find('\n');
    std::string_view line = text.substr(0, feed);
    text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
    line = line.substr(0, line.find('\0'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.emplace_back(line);
  }
  return lines;
}

bool isStatusOrEmpty(std::string_view status) {
  if (status.empty()) return true;
  if (status.size() < 5 || status.size() > 7) return false;
  if (!isDigit(status[0]) || status[1] != '.' || !isDigit(status[2]) ||
      status[3] != '.') {
    return false;
  }
  for (char c : status.substr(4)) {
    if (!isDigit(c)) return false;
  }
  return true;
}

void checkCsvRow(std::string_view row, const std::vector<std::string>& fields) {
  FUZZ_CHECK(row.ends_with("\r\n"), row);
  std::string_view rest = row.substr(0, row.size() - 2);
  std::vector<std::string> read;
  for (;;) {
    FUZZ_CHECK(rest.starts_with('"'), row);
    rest.remove_prefix(1);
    std::string field;
    for (;;) {
      size_t quote = rest.find('"');
      FUZZ_CHECK(quote != std::string_view::npos, row);
      field.append(rest.substr(0, quote));
      rest.remove_prefix(quote + 1);
      if (!rest.starts_with('"')) break;
      field += '"';  // a doubled quote stands for one
      rest.remove_prefix(1);
    }
    read.push_back(std::move(field));
    if (rest.empty()) break;
    FUZZ_CHECK(rest.starts_with(','), row);
    rest.remove_prefix(1);
  }
  FUZZ_CHECK(read.size() == 6, row);
  FUZZ_CHECK(read == fields, row);
}
