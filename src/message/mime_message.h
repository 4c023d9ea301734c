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

struct MimeMessage {
  MimePart root;
  std::string boundary;  // "" when the message is not cut
  std::vector<MimePart> parts;
  // Copies of the body lines that ran across two blocks of the buffer; the
  // lines of the parts view these. Few: at most one per block.
  std::deque<std::string> joinedLines;

  // Emptied parts kept from earlier messages, with their storage, for
  // newPart(); at most kSpareParts.
  std::vector<MimePart> spareParts;
  static constexpr std::size_t kSpareParts = 64;

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
bool parseBody(const MessageBuffer* buffer, BufferPosition& position,
               MimeMessage& message);

#endif  // MAILVANE_MESSAGE_MIME_MESSAGE_H_
