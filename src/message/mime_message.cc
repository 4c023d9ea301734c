// Cutting a message body into MIME parts at the message's own boundary
// (RFC 2046 section 5.1), one level deep.

#include "message/mime_message.h"

#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

#include "message/keep_limits.h"

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
    if (spareParts.size() == kKeptParts) break;
    part.clear();
    if (part.lines.capacity() > kKeptPartLines) TextLines().swap(part.lines);
    spareParts.push_back(std::move(part));
  }
  parts.clear();
  joinedLines.clear();
  pausedBody = PausedBody();
}

namespace {

// Reads body lines from `position` to the closing delimiter or the end of the
// text. The part being read, if any, is message.parts.back(); `isHeaderMode`
// tells whether its header block is still being read. Stops early, right
// after the delimiter that opens part `partLimit`, and leaves where it stood
// in message.pausedBody.
void readBody(const MessageBuffer& buffer, BufferPosition& position,
              MimeMessage& message, bool isHeaderMode, std::size_t partLimit) {
  const std::string& boundary = message.boundary;
  std::string_view line;
  std::string joined;
  bool hasLine = buffer.readLineView(position, line, joined);
  while (hasLine) {
    if (isHeaderMode) {
      if (line.empty()) {
        isHeaderMode = false;
        hasLine = buffer.readLineView(position, line, joined);
        continue;
      }
      // A line with a colon is a header field even when it looks like a
      // delimiter; readField leaves the next line in `line`.
      if (line.find(':') != std::string_view::npos) {
        hasLine =
            readField(line, joined, buffer, position,
                      HeaderTarget{&message.parts.back().headers, nullptr});
        continue;
      }
      // A part without headers: the line is its first body line.
      isHeaderMode = false;
    }
    Delimiter delimiter = delimiterOf(line, boundary);
    if (delimiter == Delimiter::kClosing) break;  // the epilogue is not read
    if (delimiter == Delimiter::kOpening) {
      message.parts.push_back(message.newPart());
      isHeaderMode = true;
      if (message.parts.size() > partLimit) {
        message.pausedBody = PausedBody{&buffer, position};
        return;
      }
    } else if (message.parts.empty()) {
      message.root.lines.push_back(keepLine(line, joined, message));
    } else {
      message.parts.back().lines.push_back(keepLine(line, joined, message));
    }
    hasLine = buffer.readLineView(position, line, joined);
  }
  // A missing closing delimiter lets the last part run to the end of the text.
}

}  // namespace

bool parseBody(const MessageBuffer* buffer, BufferPosition& position,
               MimeMessage& message, std::size_t partLimit) {
  if (buffer == nullptr) return false;
  readBody(*buffer, position, message, false, partLimit);
  return true;
}

void finishBody(MimeMessage& message) {
  PausedBody paused = message.pausedBody;
  if (paused.buffer == nullptr) return;
  message.pausedBody = PausedBody();
  readBody(*paused.buffer, paused.position, message, true, SIZE_MAX);
}
