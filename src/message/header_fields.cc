// Header fields: RFC 5322 header blocks, RFC 2045 parameters, RFC 2047
// encoded words, and name-and-value lines stored as body text.

#include "message/header_fields.h"

#include <utility>

// Only the reverse base64 table is taken from the analyser's pattern object;
// nothing else of src/analysis is used here.
#include "analysis/patterns.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Trims and removes one enclosing pair of double quotes; backslashes are not
// interpreted.
std::string_view unquote(std::string_view text) {
  std::string_view item = trimView(text);
  if (item.size() >= 2 && item.front() == '"' && item.back() == '"') {
    return item.substr(1, item.size() - 2);
  }
  return item;
}

}  // namespace

namespace {

std::string_view nameOf(const FieldMap::Entry& entry) { return entry.first; }
std::string_view nameOf(const HeaderField& field) { return field.name; }

// FNV-1a over the name with A-Z folded, so names equal in any case collide.
std::size_t foldedHash(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(foldCase(c));
    hash *= 1099511628211ULL;
  }
  return static_cast<std::size_t>(hash);
}

// Names equal in any case have the same bit: one of 64, from the length and
// the folded first and last bytes.
std::uint64_t nameBit(std::string_view name) {
  if (name.empty()) return 1;
  const std::size_t mix =
      name.size() * 31 +
      std::size_t{static_cast<unsigned char>(foldCase(name.front()))} * 7 +
      static_cast<unsigned char>(foldCase(name.back()));
  return std::uint64_t{1} << (mix % 64);
}

}  // namespace

template <class Entry>
const Entry* FoldedNameList<Entry>::find(std::string_view name) const {
  if ((nameBits_ & nameBit(name)) == 0) return nullptr;
  if (!index_) {
    for (std::size_t i = 0; i < size_; ++i) {
      if (equalsIgnoreCase(nameOf(entries_[i]), name)) return &entries_[i];
    }
    return nullptr;
  }
  auto [it, end] = index_->equal_range(foldedHash(name));
  for (; it != end; ++it) {
    const Entry& entry = entries_[it->second];
    if (equalsIgnoreCase(nameOf(entry), name)) return &entry;
  }
  return nullptr;
}

template <class Entry>
void FoldedNameList<Entry>::append(Entry entry) {
  spare() = std::move(entry);
  appendSpare();
}

template <class Entry>
Entry& FoldedNameList<Entry>::spare() {
  if (size_ == entries_.size()) {
    // Small sets grow one entry at a time: a report paragraph of three
    // fields, kept by the hundred thousand, then holds no room for a fourth.
    if (entries_.size() == entries_.capacity() && entries_.size() < 4) {
      entries_.reserve(entries_.size() + 1);
    }
    entries_.emplace_back();
  }
  return entries_[size_];
}

template <class Entry>
void FoldedNameList<Entry>::appendSpare() {
  nameBits_ |= nameBit(nameOf(entries_[size_]));
  ++size_;
  indexLast();
}

template <class Entry>
void FoldedNameList<Entry>::storeSpare() {
  Entry& filled = entries_[size_];
  if (Entry* present = find(nameOf(filled))) {
    // The folded name, and so its index entry, stay the same; the entry
    // replaced becomes the spare.
    std::swap(*present, filled);
    return;
  }
  appendSpare();
}

template <class Entry>
void FoldedNameList<Entry>::clear() {
  size_ = 0;
  nameBits_ = 0;
  index_.reset();
  // The spares of a huge set would outlive its message by far.
  if (entries_.size() > kKeptFieldEntries) std::vector<Entry>().swap(entries_);
}

template <class Entry>
void FoldedNameList<Entry>::indexLast() {
  if (index_) {
    index_->emplace(foldedHash(nameOf(entries_[size_ - 1])),
                    static_cast<std::uint32_t>(size_ - 1));
  } else if (size_ > kScanLimit) {
    reindex();
  }
}

template <class Entry>
void FoldedNameList<Entry>::reindex() {
  nameBits_ = 0;
  for (std::size_t i = 0; i < size_; ++i) {
    nameBits_ |= nameBit(nameOf(entries_[i]));
  }
  index_.reset();
  if (size_ <= kScanLimit) return;
  index_ =
      std::make_unique<std::unordered_multimap<std::size_t, std::uint32_t>>();
  index_->reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) {
    index_->emplace(foldedHash(nameOf(entries_[i])),
                    static_cast<std::uint32_t>(i));
  }
}

template class FoldedNameList<FieldMap::Entry>;
template class FoldedNameList<HeaderField>;

const std::string* FieldMap::find(std::string_view key) const {
  const Entry* entry = list_.find(key);
  return entry == nullptr ? nullptr : &entry->second;
}

std::string FieldMap::value(std::string_view key) const {
  const std::string* found = find(key);
  return found == nullptr ? std::string() : *found;
}

void FieldMap::set(std::string_view key, std::string_view value) {
  if (Entry* entry = list_.find(key)) {
    entry->second.assign(value);
    return;
  }
  // A key or value viewing this map would move with its entries as the
  // list grows.
  std::string heldKey;
  std::string heldValue;
  if (!list_.hasSpare()) {
    key = heldKey.assign(key);
    value = heldValue.assign(value);
  }
  Entry& spare = list_.spare();
  spare.first.assign(key);
  spare.second.assign(value);
  list_.appendSpare();
}

std::string HeaderList::value(std::string_view name) const {
  const HeaderField* field = find(name);
  return field == nullptr ? std::string() : field->value;
}

std::string HeaderList::get(std::string_view name, std::string_view key) const {
  const HeaderField* field = find(name);
  if (field == nullptr) return std::string();
  if (key.empty()) return field->value;
  return field->params.value(key);
}

void HeaderList::set(std::string_view name, std::string value) {
  if (HeaderField* field = list_.find(name)) {
    field->value = std::move(value);
    return;
  }
  HeaderField& field = fieldToFill();
  field.name.assign(name);
  field.value = std::move(value);
  list_.appendSpare();
}

HeaderField& HeaderList::fieldToFill() {
  HeaderField& field = list_.spare();
  field.name.clear();
  field.value.clear();
  field.params.clear();
  return field;
}

// A field stored again takes the place of the earlier one, name as now
// written included; the folded name, and so its index entry, stay the same.
void HeaderList::store(HeaderField field) {
  if (HeaderField* present = list_.find(field.name)) {
    *present = std::move(field);
  } else {
    list_.append(std::move(field));
  }
}

bool parseHeaderBlock(const MessageBuffer* buffer, BufferPosition& position,
                      HeaderTarget target) {
  if (buffer == nullptr) return false;
  if (target.headers != nullptr) target.headers->clear();
  if (target.boundary != nullptr) target.boundary->clear();
  std::string_view line;
  std::string joined;
  bool hasLine = buffer->readLineView(position, line, joined);
  // An empty line ends the block. So does a line without a colon, which is
  // no header field; it is consumed and belongs to neither headers nor body.
  while (hasLine && !line.empty() && line.find(':') != std::string_view::npos) {
    hasLine = readField(line, joined, *buffer, position, target);
  }
  return true;
}

bool readField(std::string_view& line, std::string& joined,
               const MessageBuffer& buffer, BufferPosition& position,
               HeaderTarget target) {
  const size_t colon = line.find(':');
  // Filled in place in the target list, so that it reuses the storage of
  // the fields of earlier messages; null when nothing is stored.
  HeaderField* field = nullptr;
  if (colon != std::string_view::npos && target.headers != nullptr) {
    field = &target.headers->fieldToFill();
    field->name.assign(line.substr(0, colon));
    // RFC 5322 puts one space after the colon by convention: skip exactly
    // that one; a tab or further spaces stay in the value.
    size_t start = colon + 1;
    if (start < line.size() && line[start] == ' ') ++start;
    field->value.assign(line.substr(start));
  }
  // RFC 5322 folding: a line starting with a space or tab continues the
  // field. Its first blank is dropped and the rest joined with nothing in
  // between, so a fold written as a single blank joins the words.
  bool hasLine;
  while ((hasLine = buffer.readLineView(position, line, joined)) &&
         !line.empty() && isBlank(line[0])) {
    if (field != nullptr) field->value.append(line.substr(1));
  }
  if (field == nullptr) return hasLine;

  if (equalsIgnoreCase(field->name, "Content-Type")) {
    parseParameters(*field, "type");
    const std::string* boundary = field->params.find("boundary");
    if (target.boundary != nullptr && boundary != nullptr) {
      *target.boundary = *boundary;
    }
  } else if (equalsIgnoreCase(field->name, "Content-Transfer-Encoding")) {
    // Recorded only; bodies are never decoded.
    parseParameters(*field, "encoding");
  } else if (equalsIgnoreCase(field->name, "Subject")) {
    // Without "=?" nothing is decoded, and without a zero byte nothing is
    // cut: the decoder would give the text back as it is.
    const std::string& value = field->value;
    if (value.find("=?") != std::string::npos ||
        value.find('\0') != std::string::npos) {
      field->value = decodeEncodedWords(value);
    }
  }
  target.headers->storeFilled();
  return hasLine;
}

// Quotes are not respected: a semicolon inside a quoted string also cuts, so
// boundary="a;b" gives the boundary "a with its quote.
void parseParameters(HeaderField& field, std::string_view firstKey) {
  field.params.clear();
  std::string_view rest = field.value;
  size_t cut = rest.find(';');
  field.params.set(firstKey, unquote(rest.substr(0, cut)));
  while (cut != std::string_view::npos) {
    rest.remove_prefix(cut + 1);
    cut = rest.find(';');
    std::string_view item = rest.substr(0, cut);
    size_t equals = item.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = trimView(item.substr(0, equals));
    if (key.empty()) continue;
    field.params.set(key, unquote(item.substr(equals + 1)));
  }
}

namespace {

// RFC 2047 encoded words, =?charset?encoding?text?=, decoded in one pass by a
// state machine that emits into `out_` as it goes. When the introducer
// "=?charset?X?" turns out to name B or Q, the output is cut back to the
// equals sign that began it (`mark_`), so the introducer disappears; with
// any other letter it stays as plain text. The charset is ignored and
// decoded bytes are emitted raw. Broken words never fail: an unclosed word
// decodes to the end of the text, an incomplete base64 group at the closing
// "?" is dropped. The output is never longer than the input.
//
// Linear white space between two encoded words is dropped (RFC 2047 section
// 6.2): `wordEnd_` is where the last complete B or Q word ended, and when
// the next introducer is recognised, the output between the two is removed
// if it is only spaces and tabs.
class EncodedWordDecoder {
 public:
  explicit EncodedWordDecoder(std::string_view text)
      : text_(text), base64Reverse_(mailvane().base64Reverse) {
    out_.reserve(text.size());
  }

  std::string decode() {
    for (at_ = 0; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      switch (state_) {
        case State::kText:
        case State::kEquals:
          onText(c);
          break;
        case State::kCharset:
          onCharset(c);
          break;
        case State::kEncoding:
          onEncoding(c);
          break;
        case State::kEncoded:
          onEncoded(c);
          break;
        case State::kClosing:
          onClosing(c);
          break;
      }
    }
    // A zero byte decoded from base64 ends the text, as one ends every line
    // read from a message; otherwise the console, which prints up to it, and
    // the row, which would carry it, would show different subjects.
    size_t zero = out_.find('\0');
    if (zero != std::string::npos) out_.resize(zero);
    return std::move(out_);
  }

 private:
  enum class State { kText, kEquals, kCharset, kEncoding, kEncoded, kClosing };
  enum class Kind { kNone, kB, kQ, kOther };
  static constexpr size_t kNoWord = std::string::npos;

  bool isBOrQ() const { return kind_ == Kind::kB || kind_ == Kind::kQ; }

  // kText: plain text. kEquals: just after an "=", where "?" opens an
  // introducer.
  void onText(char c) {
    out_.push_back(c);
    if (state_ == State::kEquals && c == '?') {
      state_ = State::kCharset;
    } else if (c == '=') {
      mark_ = out_.size() - 1;
      state_ = State::kEquals;
    } else {
      state_ = State::kText;
    }
  }

  // kCharset: the charset, kept as text until its "?".
  void onCharset(char c) {
    out_.push_back(c);
    if (c == '?') {
      kind_ = Kind::kNone;
      state_ = State::kEncoding;
    }
  }

  // kEncoding: the encoding letters up to the "?" that opens the encoded
  // text. Only a single B or Q (any case) makes a word.
  void onEncoding(char c) {
    if (c == '?') {
      if (isBOrQ()) {
        cutIntroducer();
      } else {
        out_.push_back(c);
      }
      state_ = State::kEncoded;
      return;
    }
    if (kind_ != Kind::kNone) {
      kind_ = Kind::kOther;
    } else if (foldCase(c) == 'b') {
      kind_ = Kind::kB;
      groupSize_ = 0;
      padding_ = 0;
    } else {
      kind_ = foldCase(c) == 'q' ? Kind::kQ : Kind::kOther;
    }
    out_.push_back(c);
  }

  // Removes the introducer, and the blanks between it and the word before.
  void cutIntroducer() {
    size_t cut = mark_;
    if (wordEnd_ != kNoWord && wordEnd_ <= mark_) {
      bool isBlankGap = true;
      for (size_t k = wordEnd_; k < mark_ && isBlankGap; ++k) {
        isBlankGap = isBlank(out_[k]);
      }
      if (isBlankGap) cut = wordEnd_;
    }
    out_.resize(cut);
    wordEnd_ = kNoWord;
  }

  // kEncoded: the encoded text up to its "?".
  void onEncoded(char c) {
    if (c == '?') {
      state_ = State::kClosing;
    } else if (kind_ == Kind::kB) {
      addBase64(c);
    } else if (kind_ == Kind::kQ && c == '=') {
      addQuotedEscape(c);
    } else if (kind_ == Kind::kQ && c == '_') {
      out_.push_back(' ');  // RFC 2047 4.2: "_" stands for a space
    } else {
      out_.push_back(c);
    }
  }

  // Base64: four 6-bit values give three bytes, less one for each of the
  // third and fourth characters that is padding.
  void addBase64(char c) {
    if (groupSize_ >= 2 && c == '=') ++padding_;
    int value = base64Reverse_[static_cast<unsigned char>(c)];
    group_[groupSize_++] = c == '=' ? 0 : static_cast<unsigned>(value);
    if (groupSize_ < 4) return;
    unsigned bits =
        (group_[0] << 18) | (group_[1] << 12) | (group_[2] << 6) | group_[3];
    char bytes[3] = {static_cast<char>(bits >> 16),
                     static_cast<char>(bits >> 8), static_cast<char>(bits)};
    out_.append(bytes, 3 - padding_);
    groupSize_ = 0;
    padding_ = 0;
  }

  // "=XY" is one byte. A broken escape keeps its equals sign and the bytes
  // after it are read as text; so does "=00", since a zero byte would end
  // the value for every reader of it.
  void addQuotedEscape(char c) {
    const size_t n = text_.size();
    int high = at_ + 2 < n ? hexValue(text_[at_ + 1]) : -1;
    int low = at_ + 2 < n ? hexValue(text_[at_ + 2]) : -1;
    if (high >= 0 && low >= 0 && (high | low) != 0) {
      out_.push_back(static_cast<char>((high << 4) | low));
      at_ += 2;
    } else {
      out_.push_back(c);
    }
  }

  // kClosing: after the "?" that ends the encoded text; an "=" completes
  // the word, anything else is text again.
  void onClosing(char c) {
    if (c == '=') {
      if (isBOrQ()) wordEnd_ = out_.size();
    } else {
      out_.push_back(c);
    }
    state_ = State::kText;
  }

  std::string_view text_;
  const int* base64Reverse_;
  std::string out_;
  size_t at_ = 0;
  State state_ = State::kText;
  Kind kind_ = Kind::kNone;
  size_t mark_ = 0;
  size_t wordEnd_ = kNoWord;
  unsigned group_[4] = {0, 0, 0, 0};
  int groupSize_ = 0;
  int padding_ = 0;
};

}  // namespace

std::string decodeEncodedWords(std::string_view text) {
  return EncodedWordDecoder(text).decode();
}

// Unlike header folding, a continuation here loses all its leading blanks
// and is joined with one space.
void parseFieldBlock(const TextLines& lines, FieldMap& map) {
  map.clear();
  std::string text;
  size_t i = 0;
  while (i < lines.size()) {
    if (lines[i].empty()) {
      ++i;
      continue;
    }
    i = unfoldLine(lines, i, text);
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    map.set(std::string_view(text).substr(0, colon),
            trimView(std::string_view(text).substr(colon + 1)));
  }
}
