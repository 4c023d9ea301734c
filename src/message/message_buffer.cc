// Loading a message file into a chain of blocks, and reading it back line by
// line.

#include "message/message_buffer.h"

#include <cstring>

#include "message/utf16.h"

namespace {

constexpr size_t kReadSize = BufferBlock::kBlockTextSize;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// A block with no text yet. Its data area is left as allocated: append()
// zeroes everything after the text once the text is in, which spares
// clearing a whole block that is about to be overwritten.
std::unique_ptr<BufferBlock> newBlock() {
  auto block = std::make_unique<BufferBlock>();
  block->data.reset(new char[BufferBlock::kBlockDataSize]);
  return block;
}

// Reads until `size` bytes have arrived, the end of the file is seen or a
// read returns nothing (a read error), so only the last read of a file comes
// back short. Stopping at the end of the file spares one more read call.
size_t readChunk(std::FILE* file, char* data, size_t size) {
  size_t total = 0;
  while (total < size) {
    size_t n = std::fread(data + total, 1, size - total, file);
    total += n;
    if (n == 0 || std::feof(file)) break;
  }
  return total;
}

bool startsWith(const char* data, size_t n, std::string_view mark) {
  return n >= mark.size() && std::memcmp(data, mark.data(), mark.size()) == 0;
}

// Turns the bytes of successive reads of a UTF-16 file into UTF-8. A high
// surrogate that ends one read is held back and joined with the low
// surrogate that starts the next, so no character is split by a read.
class Utf16Decoder {
 public:
  explicit Utf16Decoder(bool isBigEndian) : isBigEndian_(isBigEndian) {}

  // Replaces `out` with the conversion of `n` bytes. A trailing odd byte is
  // ignored; only the last read of a file can have one. When `isLast` is
  // false a trailing high surrogate waits for the next call.
  void convert(const char* bytes, size_t n, bool isLast, std::string& out) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i + 1 < n; i += 2) {
      units_.push_back(isBigEndian_
                           ? static_cast<char16_t>((b[i] << 8) | b[i + 1])
                           : static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
    }
    size_t count = units_.size();
    bool isHeld = !isLast && count > 0 && units_.back() >= 0xD800 &&
                  units_.back() <= 0xDBFF;
    if (isHeld) --count;
    out.clear();
    appendUtf8FromUtf16(std::u16string_view(units_.data(), count), out);
    units_.erase(0, count);
  }

 private:
  bool isBigEndian_;
  std::u16string units_;
};

}  // namespace

MessageBuffer::~MessageBuffer() { release(); }

bool MessageBuffer::load(const char* path) {
  if (path == nullptr) return false;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file) return false;
  // Every read asks for a whole block, which goes straight into it: a
  // stream buffer would only add a copy (and a buffer to allocate).
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return loadFrom(file.get());
}

bool MessageBuffer::loadFrom(std::FILE* file) {
  // A stream already at its end holds nothing more; an empty buffer is a
  // valid, empty message.
  if (file == nullptr || std::feof(file)) return true;
  std::unique_ptr<BufferBlock> block = newBlock();
  char* data = block->data.get();
  size_t n = readChunk(file, data, kReadSize);
  bool hasMore = n == kReadSize;
  // Byte-order marks are looked for only at the very start of the file.
  if (first == nullptr) {
    if (startsWith(data, n, "\xFF\xFE") || startsWith(data, n, "\xFE\xFF")) {
      isUtf16 = true;
      bool isBigEndian = data[0] == '\xFE';
      loadUtf16(file, std::move(block), n - 2, hasMore, isBigEndian);
      return true;
    }
    if (startsWith(data, n, "\xEF\xBB\xBF")) {
      std::memmove(data, data + 3, n - 3);
      n -= 3;
    }
  }
  for (;;) {
    if (n > 0) append(std::move(block), static_cast<int>(n));
    if (!hasMore) return true;
    block = newBlock();
    n = readChunk(file, block->data.get(), kReadSize);
    hasMore = n == kReadSize;
  }
}

void MessageBuffer::loadUtf16(std::FILE* file,
                              std::unique_ptr<BufferBlock> area, size_t n,
                              bool hasMore, bool isBigEndian) {
  Utf16Decoder decoder(isBigEndian);
  std::string utf8;
  const char* bytes = area->data.get() + 2;
  for (;;) {
    decoder.convert(bytes, n, !hasMore, utf8);
    appendText(utf8);
    if (!hasMore) return;
    bytes = area->data.get();
    n = readChunk(file, area->data.get(), kReadSize);
    hasMore = n == kReadSize;
  }
}

void MessageBuffer::append(std::unique_ptr<BufferBlock> block, int n) {
  // Everything after the text is zero, the four bytes past a full block
  // included; appendText() later fills this room from the front.
  std::memset(block->data.get() + n, 0, BufferBlock::kBlockDataSize - n);
  block->length = n;
  BufferBlock* linked = block.release();
  if (last != nullptr) last->next = linked;
  if (first == nullptr) first = linked;
  last = linked;
}

void MessageBuffer::appendText(std::string_view text) {
  if (last != nullptr && last->length < BufferBlock::kBlockTextSize) {
    size_t room = BufferBlock::kBlockTextSize - last->length;
    size_t take = text.size() < room ? text.size() : room;
    std::memcpy(last->data.get() + last->length, text.data(), take);
    last->length += static_cast<int32_t>(take);
    text.remove_prefix(take);
  }
  while (!text.empty()) {
    size_t take = text.size() < kReadSize ? text.size() : kReadSize;
    std::unique_ptr<BufferBlock> block = newBlock();
    std::memcpy(block->data.get(), text.data(), take);
    append(std::move(block), static_cast<int>(take));
    text.remove_prefix(take);
  }
}

int MessageBuffer::readLine(const BufferPosition& from, char* line,
                            BufferPosition* to) const {
  if (line == nullptr || from.offset < 0) return -1;
  // `to` may be `from` itself: work on copies.
  BufferBlock* block = from.block;
  int32_t offset = from.offset;
  int count = 0;
  while (block != nullptr) {
    if (block->length > 0 && offset < block->length) {
      int take = block->length - offset;
      if (count + take > kMaxLinePiece) take = kMaxLinePiece - count;
      const char* text = block->data.get() + offset;
      const auto* feed =
          static_cast<const char*>(std::memchr(text, '\n', take));
      bool hasEnded = feed != nullptr;
      if (hasEnded) take = static_cast<int>(feed - text) + 1;
      std::memcpy(line + count, text, take);
      count += take;
      offset += take;
      if (to != nullptr) *to = BufferPosition{block, offset};
      if (hasEnded || count == kMaxLinePiece) {
        line[count] = '\0';
        return count;
      }
    }
    // An offset at or past the end of this block carries into the next.
    offset -= block->length;
    block = block->next;
    if (to != nullptr) *to = BufferPosition{block, offset};
  }
  line[count] = '\0';
  return count;
}

// Scans the blocks directly rather than joining readLine pieces; the text and
// the final position are the same as for the pieces joined.
bool MessageBuffer::readTextLine(BufferPosition& position,
                                 std::string& line) const {
  line.clear();
  if (position.offset < 0) return false;
  BufferBlock* block = position.block;
  int32_t offset = position.offset;
  bool hasText = false;
  bool hasEnded = false;
  while (block != nullptr && !hasEnded) {
    if (offset < block->length) {
      const char* text = block->data.get() + offset;
      size_t available = static_cast<size_t>(block->length - offset);
      const auto* feed =
          static_cast<const char*>(std::memchr(text, '\n', available));
      size_t take =
          feed != nullptr ? static_cast<size_t>(feed - text) + 1 : available;
      line.append(text, take);
      hasText = true;
      offset += static_cast<int32_t>(take);
      hasEnded = feed != nullptr;
    }
    if (!hasEnded) {
      offset -= block->length;
      block = block->next;
    }
  }
  position = BufferPosition{block, offset};
  if (!hasText) return false;
  // The line is a zero-terminated text: a zero byte ends it.
  size_t zero = line.find('\0');
  if (zero != std::string::npos) line.resize(zero);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void MessageBuffer::release() {
  BufferBlock* block = first;
  while (block != nullptr) {
    BufferBlock* next = block->next;
    delete block;
    block = next;
  }
  first = nullptr;
  last = nullptr;
  isUtf16 = false;
}
