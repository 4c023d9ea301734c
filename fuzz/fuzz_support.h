// What the fuzz targets share: loading bytes into a MessageBuffer without a
// file, the invariant checks they apply to what the library gives back, and
// the failure report that stops the run.
//
// Nothing here touches the file system: inputs arrive in memory and stay
// there. A failed check prints what was wrong to the error stream and aborts,
// which libFuzzer records as a crash with its input, and which fails the
// replay test that runs the kept inputs under GCC.

#ifndef MAILVANE_FUZZ_FUZZ_SUPPORT_H_
#define MAILVANE_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "message/ascii_text.h"
#include "message/message_buffer.h"

// Prints "check failed: `what`" with `detail` and aborts.
[[noreturn]] void failCheck(const char* what, std::string_view detail);

#define FUZZ_CHECK(condition, detail)                  \
  do {                                                 \
    if (!(condition)) failCheck(#condition, (detail)); \
  } while (false)

// The input as text.
std::string_view asText(const uint8_t* data, size_t size);

// Loads `bytes` through MessageBuffer::loadFrom on an in-memory stream, the
// fill path a real file takes. An empty input leaves the buffer empty, as an
// empty file does.
void loadBytes(MessageBuffer& buffer, std::string_view bytes);

// Reads the whole buffer with readLine and checks the pieces: none is longer
// than MessageBuffer::kMaxLinePiece, only the last lacks a line feed unless it
// was cut at the limit, and the pieces joined give the text of `bytes`: for
// 8-bit input the bytes less a leading UTF-8 byte-order mark, for UTF-16
// input (after its mark) all of it converted at once, so that converting it
// read by read is checked too.
void checkLinePieces(const MessageBuffer& buffer, std::string_view bytes);

// Reads the whole buffer with readLineView and with readTextLine side by
// side: the same lines, ending at the same positions. readLineView finds line
// ends in the blocks' line-feed maps, readTextLine in the text itself.
void checkLineReaders(const MessageBuffer& buffer);

// The input cut into stored lines the way a part's body lines are stored:
// split at line feeds, a carriage return before the feed removed, each line
// cut at an embedded zero byte. The lines view `text`.
TextLines splitStoredLines(std::string_view text);

// Whether `status` is empty or an RFC 3463 code: digit, point, digit, point
// and a detail of one to three digits.
bool isStatusOrEmpty(std::string_view status);

// Checks that `row` is six double-quoted fields, separated by commas and
// ending in CRLF, whose unquoted texts (doubled quotes read as one) are
// `fields` in order.
void checkCsvRow(std::string_view row, const std::vector<std::string>& fields);

#endif  // MAILVANE_FUZZ_FUZZ_SUPPORT_H_
