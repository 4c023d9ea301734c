// Loading a message file into a chain of blocks, and reading it back line by
// line.

#include "message/message_buffer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "message/keep_limits.h"
#include "message/utf16.h"

namespace {

constexpr size_t kReadSize = BufferBlock::kBlockTextSize;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Data areas of released buffers wait here for the next load, so a run over
// many messages allocates its areas once rather than once per message. A
// message of up to kKeptAreas blocks (the common case by far) reuses them
// all; the areas of a bigger one beyond that are freed.
//
// Debug builds (the fuzz targets' included) and AddressSanitizer builds keep
// none: every release frees its areas and every load allocates new ones. A
// view of a released buffer (a body line of a parsed message, say) would
// otherwise read the next message's bytes from a reused area, which no
// sanitizer can tell from a valid read; freed, the area is poisoned and
// AddressSanitizer reports the read. GCC says it instruments through
// __SANITIZE_ADDRESS__, clang through __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAILVANE_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(MAILVANE_ADDRESS_SANITIZER) || \
    !defined(NDEBUG)
constexpr bool kKeepsAreas = false;
#else
constexpr bool kKeepsAreas = true;
#endif
// thread_local: the areas outlive the buffer that released them (a buffer
// lasts one file), and each thread keeps its own without a lock.
thread_local std::vector<std::unique_ptr<char[]>> tSpareAreas;

// A data area for a block. A reused area is left as found: append() zeroes
// the four bytes after the text once the text is in, and the line-feed map
// ignores what lies past them. A new area starts zeroed, so that no byte of
// it is ever read before it is written.
std::unique_ptr<char[]> newArea() {
  if (tSpareAreas.empty()) {
    return std::unique_ptr<char[]>(new char[BufferBlock::kAreaSize]());
  }
  std::unique_ptr<char[]> area = std::move(tSpareAreas.back());
  tSpareAreas.pop_back();
  return area;
}

// A released area, or one no block took, goes back to wait for the next
// load; it is freed when the spare areas are full or none are kept.
void keepArea(std::unique_ptr<char[]> area) {
  if (kKeepsAreas && area && tSpareAreas.size() < kKeptAreas) {
    tSpareAreas.push_back(std::move(area));
  }
}

// A block with no text yet.
std::unique_ptr<BufferBlock> newBlock() {
  auto block = std::make_unique<BufferBlock>();
  block->data = newArea();
  return block;
}

// The line feeds and the zero bytes among the 64 bytes at `text`, one bit
// per byte.
struct ByteMasks {
  std::uint64_t feeds = 0;
  std::uint64_t zeros = 0;
};

ByteMasks masksOf64(const char* text) {
  ByteMasks masks;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  for (int part = 0; part < 4; ++part) {
    const __m128i chunk = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(text + std::ptrdiff_t{16} * part));
    const auto feeds =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, feed)));
    const auto zeros =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, zero)));
    masks.feeds |= std::uint64_t{feeds} << (16 * part);
    masks.zeros |= std::uint64_t{zeros} << (16 * part);
  }
#else
  for (int i = 0; i < 64; ++i) {
    masks.feeds |= std::uint64_t{text[i] == '\n'} << i;
    masks.zeros |= std::uint64_t{text[i] == '\0'} << i;
  }
#endif
  return masks;
}

// Makes the block's line-feed map from text byte `from` on (the words
// before stay as they are) and notes any zero byte there. The text room is
// read whole, 64 bytes at a time; bits past the text are cleared.
void mapFeeds(BufferBlock& block, int from) {
  char* data = block.data.get();
  const auto length = static_cast<std::size_t>(block.length);
  std::uint64_t zeros = 0;
  for (std::size_t word = static_cast<std::size_t>(from) / 64;
       word * 64 < length; ++word) {
    ByteMasks masks = masksOf64(data + word * 64);
    const std::size_t left = length - word * 64;
    if (left < 64) {
      const std::uint64_t inText = (std::uint64_t{1} << left) - 1;
      masks.feeds &= inText;
      masks.zeros &= inText;
    }
    zeros |= masks.zeros;
    std::memcpy(data + BufferBlock::kFeedMapOffset + word * 8, &masks.feeds, 8);
  }
  block.hasZero = block.hasZero || zeros != 0;
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

// Reads a file in blocks of kReadSize bytes. Each read goes on until the
// block is full or the source reports its end or a failure, so only the last
// block of a file comes back short. With the file's size known it asks for no
// more than is left, so the last block ends without a read that only finds
// the end; and a file of up to kWholeReadSize bytes is read at once into as
// many data areas as it fills (one readv where the source has it), which
// the blocks then take over, so a message costs one read whatever its size
// and its bytes are copied by the system only.
class MessageBuffer::BlockReader {
 public:
  static constexpr std::uint64_t kWholeReadSize = 1 << 20;

  BlockReader(ByteSource& source, std::uint64_t size)
      : source_(source), unread_(size), isSizeKnown_(size > 0) {
    if (size > kReadSize && size <= kWholeReadSize) readAhead(size);
  }
  ~BlockReader() {
    for (std::unique_ptr<char[]>& area : areas_) keepArea(std::move(area));
  }

  // The next block, with up to kReadSize bytes as `n`; `hasMore` says
  // whether the file may go on after them.
  std::unique_ptr<BufferBlock> next(size_t& n, bool& hasMore) {
    auto block = std::make_unique<BufferBlock>();
    if (taken_ < areas_.size()) {
      n = aheadIn(taken_);
      block->data = std::move(areas_[taken_++]);
      finish(n, hasMore);
    } else {
      block->data = newArea();
      n = read(block->data.get(), hasMore);
    }
    return block;
  }

  // The same bytes copied into `data` (of kReadSize bytes at least).
  size_t read(char* data, bool& hasMore) {
    size_t total;
    if (taken_ < areas_.size()) {
      total = aheadIn(taken_);
      std::memcpy(data, areas_[taken_].get(), total);
      keepArea(std::move(areas_[taken_++]));
    } else {
      size_t want = kReadSize;
      if (isSizeKnown_ && unread_ < want) want = static_cast<size_t>(unread_);
      total = fill(data, want);
    }
    finish(total, hasMore);
    return total;
  }

 private:
  void readAhead(std::uint64_t size) {
    const auto whole = static_cast<size_t>(size);
    const size_t count = (whole + kReadSize - 1) / kReadSize;
    std::vector<char*> data;
    for (size_t i = 0; i < count; ++i) {
      areas_.push_back(newArea());
      data.push_back(areas_.back().get());
    }
    while (ahead_ < whole) {
      std::ptrdiff_t n =
          source_.readAreas(data.data(), kReadSize, ahead_, whole);
      if (n <= 0) break;
      ahead_ += static_cast<size_t>(n);
    }
  }

  // The bytes read ahead into area `i`.
  size_t aheadIn(size_t i) const {
    const size_t start = i * kReadSize;
    if (ahead_ <= start) return 0;
    return ahead_ - start < kReadSize ? ahead_ - start : kReadSize;
  }

  void finish(size_t total, bool& hasMore) {
    if (isSizeKnown_) unread_ -= total;
    hasMore = total == kReadSize && !(isSizeKnown_ && unread_ == 0);
  }

  size_t fill(char* data, size_t want) {
    size_t total = 0;
    while (total < want) {
      std::ptrdiff_t n = source_.read(data + total, want - total);
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    return total;
  }

  ByteSource& source_;
  std::uint64_t unread_;
  bool isSizeKnown_;
  std::vector<std::unique_ptr<char[]>> areas_;  // read ahead
  size_t ahead_ = 0;                            // bytes in them
  size_t taken_ = 0;                            // areas handed out
};

// One read into a staging area, then copied into the areas: a source that
// cannot read into several areas at once still takes a message in one call.
std::ptrdiff_t ByteSource::readAreas(char* const* areas, std::size_t areaSize,
                                     std::size_t from, std::size_t end) {
  // thread_local: the area outlives the call and the source (one per file),
  // so a run allocates it once; it is at most one whole read (1 MiB).
  thread_local std::unique_ptr<char[]> staging;
  thread_local std::size_t stagingSize = 0;
  const std::size_t want = end - from;
  if (stagingSize < want) {
    staging.reset(new char[want]);
    stagingSize = want;
  }
  const std::ptrdiff_t n = read(staging.get(), want);
  if (n > 0) {
    copyIntoAreas(staging.get(), static_cast<std::size_t>(n), areas, areaSize,
                  from);
  }
  return n;
}

void copyIntoAreas(const char* bytes, std::size_t count, char* const* areas,
                   std::size_t areaSize, std::size_t from) {
  for (std::size_t done = 0; done < count;) {
    const std::size_t at = (from + done) % areaSize;
    const std::size_t take = std::min(areaSize - at, count - done);
    std::memcpy(areas[(from + done) / areaSize] + at, bytes + done, take);
    done += take;
  }
}

void copyOutOfAreas(char* bytes, std::size_t count, const char* const* areas,
                    std::size_t areaSize, std::size_t from) {
  for (std::size_t done = 0; done < count;) {
    const std::size_t at = (from + done) % areaSize;
    const std::size_t take = std::min(areaSize - at, count - done);
    std::memcpy(bytes + done, areas[(from + done) / areaSize] + at, take);
    done += take;
  }
}

std::ptrdiff_t readStream(std::FILE* file, char* data, std::size_t want) {
  if (std::feof(file)) return 0;
  size_t n = std::fread(data, 1, want, file);
  if (n == 0 && std::ferror(file)) return -1;
  return static_cast<std::ptrdiff_t>(n);
}

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

bool MessageBuffer::loadFrom(std::FILE* file, std::uint64_t size) {
  if (file == nullptr) return true;
  struct StreamSource final : ByteSource {
    explicit StreamSource(std::FILE* f) : file(f) {}
    std::ptrdiff_t read(char* data, std::size_t want) override {
      return readStream(file, data, want);
    }
    std::FILE* file;
  } source(file);
  return loadFrom(source, size);
}

bool MessageBuffer::loadFrom(ByteSource& source, std::uint64_t size) {
  // A source already at its end yields no block; an empty buffer is a
  // valid, empty message.
  BlockReader reader(source, size);
  bool hasMore = false;
  size_t n = 0;
  std::unique_ptr<BufferBlock> block = reader.next(n, hasMore);
  char* data = block->data.get();
  // Byte-order marks are looked for only at the very start of the file.
  if (first == nullptr) {
    if (startsWith(data, n, "\xFF\xFE") || startsWith(data, n, "\xFE\xFF")) {
      isUtf16 = true;
      bool isBigEndian = data[0] == '\xFE';
      loadUtf16(reader, std::move(block), n - 2, hasMore, isBigEndian);
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
    block = reader.next(n, hasMore);
  }
}

void MessageBuffer::loadUtf16(BlockReader& reader,
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
    n = reader.read(area->data.get(), hasMore);
  }
}

std::uint64_t BufferBlock::feedWord(std::size_t word) const {
  std::uint64_t bits;
  std::memcpy(&bits, data.get() + kFeedMapOffset + word * 8, 8);
  return bits;
}

void MessageBuffer::append(std::unique_ptr<BufferBlock> block, int n) {
  // Four zero bytes end the text, the four past a full block included.
  std::memset(block->data.get() + n, 0, 4);
  block->length = n;
  block->hasZero = false;
  mapFeeds(*block, 0);
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
    const int32_t from = last->length;
    last->length += static_cast<int32_t>(take);
    std::memset(last->data.get() + last->length, 0, 4);
    mapFeeds(*last, from);
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

bool MessageBuffer::readLineView(BufferPosition& position,
                                 std::string_view& line,
                                 std::string& joined) const {
  BufferBlock* block = position.block;
  const int32_t offset = position.offset;
  if (block != nullptr && offset >= 0 && offset < block->length) {
    const char* text = block->data.get() + offset;
    const auto from = static_cast<size_t>(offset);
    const size_t words = (static_cast<size_t>(block->length) + 63) / 64;
    size_t word = from / 64;
    std::uint64_t feeds =
        block->feedWord(word) & (~std::uint64_t{0} << (from % 64));
    while (feeds == 0 && ++word < words) feeds = block->feedWord(word);
    if (feeds != 0) {
      size_t take =
          word * 64 + static_cast<size_t>(std::countr_zero(feeds)) - from + 1;
      position.offset = offset + static_cast<int32_t>(take);
      line = std::string_view(text, take);
      if (block->hasZero) {
        const auto* zero =
            static_cast<const char*>(std::memchr(text, '\0', take));
        if (zero != nullptr) line = line.substr(0, zero - text);
      }
      if (line.ends_with('\n')) line.remove_suffix(1);
      if (line.ends_with('\r')) line.remove_suffix(1);
      return true;
    }
  }
  // A line that crosses into the next block, ends the text without a line
  // feed, or starts past the end of its block: joined by the copying reader.
  const bool hasLine = readTextLine(position, joined);
  line = joined;
  return hasLine;
}

void MessageBuffer::release() {
  BufferBlock* block = first;
  while (block != nullptr) {
    BufferBlock* next = block->next;
    keepArea(std::move(block->data));
    delete block;
    block = next;
  }
  first = nullptr;
  last = nullptr;
  isUtf16 = false;
}

std::size_t MessageBuffer::spareAreaCount() { return tSpareAreas.size(); }
