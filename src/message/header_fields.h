// Header fields: reading RFC 5322 header blocks into case-insensitive maps,
// splitting RFC 2045 parameters, decoding RFC 2047 encoded words in
// "Subject", and parsing name-and-value lines stored as body text (the
// machine-readable sections of delivery-status and feedback reports).
//
// Parsing never fails and reports nothing: lines that fit no rule are skipped
// or end the block, so malformed input yields fewer or odder fields. An absent
// header, parameter or field reads as the empty string. Text is 8-bit bytes;
// only the ASCII letters are folded when names are compared.

#ifndef MAILVANE_MESSAGE_HEADER_FIELDS_H_
#define MAILVANE_MESSAGE_HEADER_FIELDS_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "message/ascii_text.h"
#include "message/message_buffer.h"

// Orders keys by their bytes as unsigned values after folding A-Z to a-z.
struct CaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

// An ordered map from key to value with case-insensitive keys. Writing a key
// that is present (in any case) replaces its value; the stored key keeps the
// letter case of its first insertion. Iteration is ascending by key.
class FieldMap {
 public:
  using Map = std::map<std::string, std::string, CaseInsensitiveLess>;

  bool has(std::string_view key) const;
  // The value of `key`, or null when absent. Valid until the map changes.
  const std::string* find(std::string_view key) const;
  // The value of `key`, or "" when absent.
  std::string value(std::string_view key) const;
  void set(std::string_view key, std::string value);
  void clear() { map_.clear(); }
  bool empty() const { return map_.empty(); }
  size_t size() const { return map_.size(); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }

 private:
  Map map_;
};

// One header field. `name` is the text before the colon as written in the
// most recent occurrence (untrimmed); `value` is unfolded (decoded for
// "Subject"); `params` is filled only for "Content-Type" (media type under
// "type") and "Content-Transfer-Encoding" (under "encoding").
struct HeaderField {
  std::string name;
  std::string value;
  FieldMap params;
};

// The header fields of a message or part: at most one entry per name (any
// case); storing a field whose name is present replaces the whole entry, so
// for a repeated field only the last occurrence remains.
class HeaderList {
 public:
  using Map = std::map<std::string, HeaderField, CaseInsensitiveLess>;

  bool has(std::string_view name) const;
  // The field's value, or "" when absent.
  std::string value(std::string_view name) const;
  // With an empty `key`, the field's value; otherwise the value of parameter
  // `key` of that field. "" when the field or the parameter is absent.
  std::string get(std::string_view name, std::string_view key) const;
  // Replaces only the value of a present field (its name and parameters
  // stay); otherwise adds a field with that name, value and no parameters.
  void set(std::string_view name, std::string value);
  // Stores `field` under its name, replacing any entry of that name whole.
  void store(HeaderField field);
  // The field, or null when absent. Valid until the list changes.
  const HeaderField* find(std::string_view name) const;
  void clear() { fields_.clear(); }
  bool empty() const { return fields_.empty(); }
  size_t size() const { return fields_.size(); }
  Map::const_iterator begin() const { return fields_.begin(); }
  Map::const_iterator end() const { return fields_.end(); }

 private:
  Map fields_;
};

// Where a header block goes: a HeaderList and, for the message's own header
// block only, the boundary taken from its "Content-Type" (null for a part).
struct HeaderTarget {
  HeaderList* headers = nullptr;
  std::string* boundary = nullptr;
};

// Reads the header block at `position` (advancing it) into `target`, which is
// emptied first (boundary set to ""). Stops after an empty line, after a line
// without a colon (that line is consumed), or at the end of the text. Returns
// false only when `buffer` is null (nothing is read).
bool parseHeaderBlock(const MessageBuffer* buffer, BufferPosition& position,
                      HeaderTarget target);

// Builds one field from `line`, a prepared line that contains a colon,
// reading its continuation lines ahead from `position`, applies the handling
// of "Content-Type", "Content-Transfer-Encoding" and "Subject", and stores it
// in `target`. On return `line` holds the next line that is not a
// continuation (prepared) and the result says whether there is one; false
// means the text is exhausted. A line without a colon stores nothing.
bool readField(std::string& line, const MessageBuffer& buffer,
               BufferPosition& position, HeaderTarget target);

// Splits field.value at every semicolon (quotes not respected) into
// field.params: the first item under `firstKey`, the rest as key=value.
void parseParameters(HeaderField& field, std::string_view firstKey);

// Decodes RFC 2047 encoded words to their raw bytes, charset ignored. A
// decoded zero byte ends the result.
std::string decodeEncodedWords(std::string_view text);

// Parses stored lines (no line endings) of name-and-value fields into `map`,
// which is emptied first. Continuations are joined with one space.
void parseFieldBlock(const std::vector<std::string>& lines, FieldMap& map);

#endif  // MAILVANE_MESSAGE_HEADER_FIELDS_H_
