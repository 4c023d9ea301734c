// Header fields: reading RFC 5322 header blocks into case-insensitive lists,
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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "message/ascii_text.h"
#include "message/keep_limits.h"
#include "message/message_buffer.h"

// The entries of a FieldMap or HeaderList in one flat vector, in the order
// their names were first stored; a name (any case) occurs at most once. A
// message holds thousands of such small sets (one per part, per report
// paragraph, per typed field), so entries share no nodes and a lookup in a
// small set is a scan, in which names of another length cost one compare.
// Past kScanLimit entries (more than a message's own header block holds as
// a rule) a hash index of the folded names keeps lookups and stores
// constant-time, so a header block of a hundred thousand distinct names
// costs no more per field than a short one.
//
// A 64-bit summary of the stored names (one bit per name, chosen by its
// length and folded first and last bytes) answers most lookups of an absent
// name, and the check made before each store, without a scan.
//
// Emptying keeps up to kKeptFieldEntries entries, texts and all, as spares: an
// entry filled in place through spare() reuses the storage of one stored
// before, so a list reused from message to message stops allocating once
// it has held its largest message.
template <class Entry>
class FoldedNameList {
 public:
  static constexpr std::size_t kScanLimit = 64;
  using const_iterator = typename std::vector<Entry>::const_iterator;

  FoldedNameList() = default;
  FoldedNameList(const FoldedNameList& other)
      : entries_(other.begin(), other.end()), size_(other.size_) {
    reindex();
  }
  FoldedNameList& operator=(const FoldedNameList& other) {
    if (this != &other) {
      entries_.assign(other.begin(), other.end());
      size_ = other.size_;
      reindex();
    }
    return *this;
  }
  FoldedNameList(FoldedNameList&& other) noexcept
      : entries_(std::move(other.entries_)),
        size_(std::exchange(other.size_, 0)),
        nameBits_(std::exchange(other.nameBits_, 0)),
        index_(std::move(other.index_)) {}
  FoldedNameList& operator=(FoldedNameList&& other) noexcept {
    entries_ = std::move(other.entries_);
    size_ = std::exchange(other.size_, 0);
    nameBits_ = std::exchange(other.nameBits_, 0);
    index_ = std::move(other.index_);
    return *this;
  }

  // The entry named `name` (letter case ignored), or null.
  const Entry* find(std::string_view name) const;
  Entry* find(std::string_view name) {
    return const_cast<Entry*>(std::as_const(*this).find(name));
  }
  // Appends an entry whose name is not present yet.
  void append(Entry entry);
  // An entry past the stored ones, holding whatever it last held, to fill
  // in place and then hand to appendSpare() or storeSpare().
  Entry& spare();
  // Whether spare() can give an entry without growing the list (which
  // moves every entry).
  bool hasSpare() const { return size_ < entries_.size(); }
  // Appends the spare entry; its name must not be present yet.
  void appendSpare();
  // Stores the spare entry: it takes the place of a stored entry of the
  // same name, whole, or else is appended.
  void storeSpare();
  void clear();
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const {
    return entries_.begin() + static_cast<std::ptrdiff_t>(size_);
  }

 private:
  // Indexes the new last entry, or all of them once there are enough.
  void indexLast();
  // Summarises and, past kScanLimit, indexes every stored entry afresh.
  void reindex();

  // The first size_ entries are stored; the rest are spares.
  std::vector<Entry> entries_;
  std::size_t size_ = 0;
  // The summary bits of the stored names (nameBit in the source).
  std::uint64_t nameBits_ = 0;
  // Folded-name hash to position; only once there are over kScanLimit.
  std::unique_ptr<std::unordered_multimap<std::size_t, std::uint32_t>> index_;
};

// A map from key to value with case-insensitive keys. Writing a key that is
// present (in any case) replaces its value; the stored key keeps the letter
// case of its first insertion. Iteration gives (key, value) pairs in the
// order the keys were first written.
class FieldMap {
 public:
  using Entry = std::pair<std::string, std::string>;

  bool has(std::string_view key) const { return list_.find(key) != nullptr; }
  // The value of `key`, or null when absent. Valid until the map changes.
  const std::string* find(std::string_view key) const;
  // The value of `key`, or "" when absent.
  std::string value(std::string_view key) const;
  // `key` and `value` may view this map.
  void set(std::string_view key, std::string_view value);
  void clear() { list_.clear(); }
  bool empty() const { return list_.empty(); }
  size_t size() const { return list_.size(); }
  FoldedNameList<Entry>::const_iterator begin() const { return list_.begin(); }
  FoldedNameList<Entry>::const_iterator end() const { return list_.end(); }

 private:
  FoldedNameList<Entry> list_;
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
// for a repeated field only the last occurrence remains (in the place of the
// first). Iteration gives the fields in the order their names first came.
class HeaderList {
 public:
  bool has(std::string_view name) const { return list_.find(name) != nullptr; }
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
  // A field to fill in place and then store with storeFilled(): empty, but
  // with the storage of a field stored before, so filling it seldom
  // allocates.
  HeaderField& fieldToFill();
  // Stores the field fieldToFill() gave, as store() would.
  void storeFilled() { list_.storeSpare(); }
  // The field, or null when absent. Valid until the list changes.
  const HeaderField* find(std::string_view name) const {
    return list_.find(name);
  }
  void clear() { list_.clear(); }
  bool empty() const { return list_.empty(); }
  size_t size() const { return list_.size(); }
  FoldedNameList<HeaderField>::const_iterator begin() const {
    return list_.begin();
  }
  FoldedNameList<HeaderField>::const_iterator end() const {
    return list_.end();
  }

 private:
  FoldedNameList<HeaderField> list_;
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
// reading its continuation lines ahead from `position` (with
// MessageBuffer::readLineView, joining in `joined`), applies the handling of
// "Content-Type", "Content-Transfer-Encoding" and "Subject", and stores it in
// `target`. On return `line` holds the next line that is not a continuation
// (prepared) and the result says whether there is one; false means the text
// is exhausted. A line without a colon stores nothing.
bool readField(std::string_view& line, std::string& joined,
               const MessageBuffer& buffer, BufferPosition& position,
               HeaderTarget target);

// Splits field.value at every semicolon (quotes not respected) into
// field.params: the first item under `firstKey`, the rest as key=value.
void parseParameters(HeaderField& field, std::string_view firstKey);

// Decodes RFC 2047 encoded words to their raw bytes, charset ignored. A
// decoded zero byte ends the result.
std::string decodeEncodedWords(std::string_view text);

// Parses stored lines (no line endings) of name-and-value fields into `map`,
// which is emptied first. Continuations are joined with one space.
void parseFieldBlock(const TextLines& lines, FieldMap& map);

#endif  // MAILVANE_MESSAGE_HEADER_FIELDS_H_
