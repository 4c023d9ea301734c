// The header reader, the MIME cutter and the encoded-word decoder.
//
// The bytes are loaded as a message and read with parseHeaderBlock and
// parseBody; the same bytes are also decoded as a "Subject" value and split
// as a "Content-Type" value. Checks, besides the sanitizers: no field name
// holds a colon, no stored text holds a zero byte and none but a decoded
// subject a line feed; the message's boundary is the boundary parameter of its
// "Content-Type" when that has one, and without a boundary nothing is cut;
// the stored lines never add up to more than the input; decoding never makes
// a text longer or gives a zero byte, and leaves a text without "=?" as it
// is up to its first zero byte; parameter keys come trimmed and non-empty.

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "message/header_fields.h"
#include "message/mime_message.h"

namespace {

bool hasLineBreakOrZero(std::string_view text) {
  return text.find('\n') != std::string_view::npos ||
         text.find('\0') != std::string_view::npos;
}

void checkHeaders(const HeaderList& headers) {
  for (const HeaderField& field : headers) {
    FUZZ_CHECK(field.name.find(':') == std::string::npos, field.name);
    FUZZ_CHECK(!hasLineBreakOrZero(field.name), field.name);
    // Decoding may give a subject line breaks, never a zero byte.
    FUZZ_CHECK(field.value.find('\0') == std::string::npos, field.value);
    if (!equalsIgnoreCase(field.name, "Subject")) {
      FUZZ_CHECK(!hasLineBreakOrZero(field.value), field.value);
    }
    for (const auto& [param, value] : field.params) {
      FUZZ_CHECK(!hasLineBreakOrZero(value), value);
      (void)param;
    }
  }
}

void checkLines(const TextLines& lines, size_t& total) {
  for (std::string_view line : lines) {
    FUZZ_CHECK(!hasLineBreakOrZero(line), std::string(line));
    total += line.size();
  }
}

void checkMessage(std::string_view bytes) {
  MessageBuffer buffer;
  loadBytes(buffer, bytes);
  MimeMessage message;
  BufferPosition position = buffer.start();
  FUZZ_CHECK(parseHeaderBlock(&buffer, position, message.rootTarget()), "");
  FUZZ_CHECK(parseBody(&buffer, position, message), "");

  checkHeaders(message.root.headers);
  // The last "Content-Type" that names a boundary sets it; one without the
  // parameter leaves an earlier boundary in place.
  const HeaderField* type = message.root.headers.find("Content-Type");
  if (type != nullptr && type->params.has("boundary")) {
    FUZZ_CHECK(message.boundary == type->params.value("boundary"),
               message.boundary);
  }
  if (message.boundary.empty()) {
    FUZZ_CHECK(message.parts.empty(), std::to_string(message.parts.size()));
  }
  size_t total = 0;
  checkLines(message.root.lines, total);
  for (const MimePart& part : message.parts) {
    checkHeaders(part.headers);
    checkLines(part.lines, total);
  }
  if (!buffer.isUtf16) FUZZ_CHECK(total <= bytes.size(), "lines too long");
}

void checkDecoding(std::string_view text) {
  std::string decoded = decodeEncodedWords(text);
  FUZZ_CHECK(decoded.size() <= text.size(), decoded);
  FUZZ_CHECK(decoded.find('\0') == std::string::npos, decoded);
  if (text.find("=?") == std::string_view::npos) {
    FUZZ_CHECK(decoded == text.substr(0, text.find('\0')), decoded);
  }
}

void checkParameters(std::string_view text) {
  HeaderField field{"Content-Type", std::string(text), {}};
  parseParameters(field, "type");
  FUZZ_CHECK(field.params.has("type"), text);
  for (const auto& [key, value] : field.params) {
    FUZZ_CHECK(!key.empty() && trim(key) == key, key);
    (void)value;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes = asText(data, size);
  checkMessage(bytes);
  checkDecoding(bytes);
  checkParameters(bytes);
  return 0;
}
