// Cutting a message body into MIME parts at the message's own boundary
// (RFC 2046 section 5.1), one level deep.

#include "message/mime_message.h"

#include <string_view>
#include <type_traits>
#include <utility>

// Parts are moved into MimeMessage::parts; a throwing move would make the
// vector copy every part each time it grows.
static_assert(std::is_nothrow_move_constructible_v<MimePart>);

namespace {

enum class Delimiter { kNone, kOpening, kClosing };

// RFC 2046: a delimiter line is "--" and the boundary, the closing one has
// "--" after it. The comparison is exact: letter case counts and nothing may
// follow, not even the blanks the RFC allows, so such a line is body text.
Delimiter delimiterOf(std::string_view line, std::string_view boundary) {
  if (boundary.empty() || line.substr(0, 2) != "--") return Delimiter::kNone;
  line.remove_prefix(2);
  if (line == boundary) return Delimiter::kOpening;
  if (line.size() == boundary.size() + 2 && line.starts_with(boundary) &&
      line.ends_with("--")) {
    return Delimiter::kClosing;
  }
  return Delimiter::kNone;
}

// A line read into `joined` is moved to the message's own store, so that it
// outlives the next read; a line that views the buffer stays as it is.
std::string_view keepLine(std::string_view line, std::string& joined,
                          MimeMessage& message) {
  if (line.empty()) return {};
  if (line.data() != joined.data()) return line;
  message.joinedLines.push_back(std::move(joined));
  joined = std::string();
  return message.joinedLines.back();
}

// A part whose line list grew past this many lines gives its storage back
// rather than keep it for later messages.
constexpr std::size_t kSpareLineLimit = 4096;

}  // namespace

MimePart MimeMessage::newPart() {
  if (spareParts.empty()) return MimePart();
  MimePart part = std::move(spareParts.back());
  spareParts.pop_back();
  return part;
}

void MimeMessage::clear() {
  root.clear();
  boundary.clear();
  for (MimePart& part : parts) {
    if (spareParts.size() == kSpareParts) break;
    part.clear();
    if (part.lines.capacity() > kSpareLineLimit) TextLines().swap(part.lines);
    spareParts.push_back(std::move(part));
  }
  parts.clear();
  joinedLines.clear();
}

bool parseBody(const MessageBuffer* buffer, BufferPosition& position,
               MimeMessage& message) {
  if (buffer == nullptr) return false;
  const std::string& boundary = message.boundary;
  MimePart part;  // the part being read, once the first delimiter is seen
  int delimiterCount = 0;
  bool isHeaderMode = false;
  std::string_view line;
  std::string joined;
  bool hasLine = buffer->readLineView(position, line, joined);
  while (hasLine) {
    if (isHeaderMode) {
      if (line.empty()) {
        isHeaderMode = false;
        hasLine = buffer->readLineView(position, line, joined);
        continue;
      }
      // A line with a colon is a header field even when it looks like a
      // delimiter; readField leaves the next line in `line`.
      if (line.find(':') != std::string_view::npos) {
        hasLine = readField(line, joined, *buffer, position,
                            HeaderTarget{&part.headers, nullptr});
        continue;
      }
      // A part without headers: the line is its first body line.
      isHeaderMode = false;
    }
    Delimiter delimiter = delimiterOf(line, boundary);
    if (delimiter == Delimiter::kClosing) break;  // the epilogue is not read
    if (delimiter == Delimiter::kOpening) {
      if (delimiterCount > 0) message.parts.push_back(std::move(part));
      part = message.newPart();
      ++delimiterCount;
      isHeaderMode = true;
    } else if (delimiterCount == 0) {
      message.root.lines.push_back(keepLine(line, joined, message));
    } else {
      part.lines.push_back(keepLine(line, joined, message));
    }
    hasLine = buffer->readLineView(position, line, joined);
  }
  // A missing closing delimiter lets the last part run to the end of the text.
  if (delimiterCount > 0) message.parts.push_back(std::move(part));
  return true;
}
