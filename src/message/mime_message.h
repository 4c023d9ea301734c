// The MIME structure of one message: the root part (its own header block and,
// when the body is cut, the preamble) and the child parts cut at the message's
// own boundary, one level deep.
//
// This is the front header of the message subsystem. Bodies are never
// decoded: every part keeps its raw lines, less their line endings. Cutting
// never fails: a delimiter that never occurs leaves every line in the root, a
// missing closing delimiter lets the last part run to the end of the text.

#ifndef MAILVANE_MESSAGE_MIME_MESSAGE_H_
#define MAILVANE_MESSAGE_MIME_MESSAGE_H_

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "message/header_fields.h"
#include "message/message_buffer.h"

// A part's header fields and raw body lines. Each line is one physical line
// of the file without its line feed and a carriage return before it, cut at
// an embedded zero byte; an empty line is an empty string. The lines view
// the loaded text (or the message's joined lines), so they are valid while
// the buffer they were read from stays loaded.
struct MimePart {
  HeaderList headers;
  TextLines lines;

  void clear() {
    headers.clear();
    lines.clear();
  }
};

// Where parseBody stopped reading a body it was asked for the first parts of:
// the buffer it was reading (null when the body was read to its end) and the
// position of the line after the delimiter that opened the last part.
struct PausedBody {
  const MessageBuffer* buffer = nullptr;
  BufferPosition position;
};

struct MimeMessage {
  MimePart root;
  std::string boundary;  // "" when the message is not cut
  std::vector<MimePart> parts;
  // Copies of the body lines that ran across two blocks of the buffer; the
  // lines of the parts view these. Few: at most one per block.
  std::deque<std::string> joinedLines;
  // Set while the body is read only in part; see parseBody.
  PausedBody pausedBody;

  // Emptied parts kept from earlier messages, with their storage, for
  // newPart(); at most kKeptParts.
  std::vector<MimePart> spareParts;

  // The header target of the message's own header block.
  HeaderTarget rootTarget() { return HeaderTarget{&root.headers, &boundary}; }
  // An empty part, with the storage of a part of an earlier message when
  // one is kept.
  MimePart newPart();
  // Empties the message; its parts are kept as spares.
  void clear();
};

// Reads the rest of the message at `position` (where parseHeaderBlock
// stopped), advancing it, up to the closing delimiter line or the end of the
// text; appends to message.root.lines and message.parts. Lines after the
// closing delimiter are never read. Returns false only when `buffer` is null.
//
// A reader that needs only the first `partLimit` parts whole stops once the
// next part opens: message.parts then ends with that part, still empty, and
// message.pausedBody notes where reading stopped, so that finishBody() can
// read on. (Cutting the returned message, often a bounce's largest part, into
// lines is then left until something reads it.)
bool parseBody(const MessageBuffer* buffer, BufferPosition& position,
               MimeMessage& message, std::size_t partLimit = SIZE_MAX);
// Reads the rest of a body that parseBody left paused, so that every part
// is whole; nothing when it was read to its end. The buffer it was read from
// must still be loaded.
void finishBody(MimeMessage& message);

#endif  // MAILVANE_MESSAGE_MIME_MESSAGE_H_
