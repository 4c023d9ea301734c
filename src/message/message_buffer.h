// The text of one message file held in memory as a chain of fixed-size
// blocks, and a cursor into it.
//
// A MessageBuffer is filled once by load(), read any number of times through
// BufferPositions, and emptied by release() (or its destructor). Files that
// start with a UTF-16 byte-order mark are converted to UTF-8 while loading; a
// leading UTF-8 byte-order mark is dropped; every other file is kept byte for
// byte. Loading never fails once the file is open: malformed text is simply
// text. Single-threaded; a BufferPosition is meaningless once its buffer is
// released.

#ifndef MAILVANE_MESSAGE_MESSAGE_BUFFER_H_
#define MAILVANE_MESSAGE_MESSAGE_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// Where a load takes the bytes of a message from: an open file, pipe or
// in-memory stream, read from its current position on.
class ByteSource {
 public:
  // Fills `data` with up to `want` bytes, at least 1 when `want` is not 0
  // and the source goes on. Returns how many arrived, 0 at the end and -1
  // on a failure; a load takes either as the end of the message.
  virtual std::ptrdiff_t read(char* data, std::size_t want) = 0;
  // read() into consecutive areas of `areaSize` bytes each, as if they were
  // one: fills them from byte `from` (counted from the start of the first)
  // up to byte `end`. A source that can fill several areas in one call
  // (readv) overrides it; this one reads into a staging area and copies.
  virtual std::ptrdiff_t readAreas(char* const* areas, std::size_t areaSize,
                                   std::size_t from, std::size_t end);

 protected:
  ~ByteSource() = default;
};

// ByteSource::read on a stream: 0 once the stream has seen its end, so a
// short read that found the end costs no further call.
std::ptrdiff_t readStream(std::FILE* file, char* data, std::size_t want);

// Copies `count` bytes between `bytes` and consecutive areas of `areaSize`
// bytes each, taken as one run from byte `from` of the first area on: the
// layout of ByteSource::readAreas.
void copyIntoAreas(const char* bytes, std::size_t count, char* const* areas,
                   std::size_t areaSize, std::size_t from);
void copyOutOfAreas(char* bytes, std::size_t count, const char* const* areas,
                    std::size_t areaSize, std::size_t from);

// One link of the chain. `length` is 1 to kBlockTextSize for every block in a
// chain; at least four zero bytes always follow the text in `data`.
//
// Behind the text room the data area holds the block's line-feed map: bit
// i % 64 of word i / 64 is set when text byte i is a line feed. It is made
// in the pass over the freshly read text that looks for zero bytes, so the
// line reader finds a line's end from a word or two of it instead of
// searching the text byte by byte.
struct BufferBlock {
  static constexpr int kBlockTextSize = 8192;
  static constexpr int kBlockDataSize = kBlockTextSize + 4;
  static constexpr int kFeedWords = kBlockTextSize / 64;
  static constexpr int kFeedMapOffset = (kBlockDataSize + 63) / 64 * 64;
  static constexpr int kAreaSize = kFeedMapOffset + kFeedWords * 8;

  // Word `word` of the line-feed map. REQUIRES: word < (length + 63) / 64.
  std::uint64_t feedWord(std::size_t word) const;

  BufferBlock* next = nullptr;
  int32_t length = 0;
  // Whether the text holds a zero byte, which ends any line it falls in:
  // lines of a block without one need no search for it.
  bool hasZero = false;
  std::unique_ptr<char[]> data;  // kAreaSize bytes: text, zeros, feed map
};

// A (block, offset) cursor. A plain value that owns nothing. `block` is null
// once the text is exhausted. The offset may equal or exceed the block's
// length: readLine carries the excess into the following blocks.
struct BufferPosition {
  BufferBlock* block = nullptr;
  int32_t offset = 0;
};

class MessageBuffer {
 public:
  // The longest piece readLine returns; the line area must hold one more byte.
  static constexpr int kMaxLinePiece = 4095;
  static constexpr int kLineAreaSize = kMaxLinePiece + 1;

  MessageBuffer() = default;
  ~MessageBuffer();
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;

  // Reads the file at `path` ("rb") into an empty buffer. Returns false only
  // when `path` is null or the file does not open; everything after the open
  // succeeds, including an empty file or one holding only a byte-order mark
  // (no blocks then).
  bool load(const char* path);

  // The fill step of load() on an already open source, which stays open.
  // Always succeeds. Used by the run loop on the message file it opened.
  // `size`, when not 0, is the file's size when it was opened: reading stops
  // once that many bytes have arrived, which spares the read that would only
  // find the end (a file that grows meanwhile is taken as it was). 0 reads
  // to the end.
  bool loadFrom(ByteSource& source, std::uint64_t size = 0);
  // The same on an open stream (null reads as empty). Used by load() and by
  // tests (through fmemopen).
  bool loadFrom(std::FILE* file, std::uint64_t size = 0);

  // Copies the next line piece starting at `from` into `line` and terminates
  // it with a zero byte: up to and including the next line feed, but at most
  // kMaxLinePiece bytes. Returns the byte count, 0 when the text is
  // exhausted, or -1 when `line` is null or from.offset is negative. When
  // `to` is given it receives the position after the piece; it may be &from.
  // REQUIRES: `line` holds at least kLineAreaSize bytes.
  int readLine(const BufferPosition& from, char* line,
               BufferPosition* to) const;

  // Reads one whole physical line at `position`, joining the readLine pieces
  // of a line longer than kMaxLinePiece, and prepares it: the text is cut at
  // an embedded zero byte, then a final line feed is removed and then a final
  // carriage return. Returns false when the text is exhausted (`line` is then
  // empty). Reuses the capacity of `line`, so reading allocates nothing once
  // the string has grown to the longest line.
  bool readTextLine(BufferPosition& position, std::string& line) const;

  // readTextLine without the copy: a line that lies within one block is
  // returned as a view of the block's text, valid until release(); a line
  // that runs on into the next block is joined in `joined` (replacing what
  // it held) and `line` views that. Same lines, same final position.
  bool readLineView(BufferPosition& position, std::string_view& line,
                    std::string& joined) const;

  // Frees every block; the buffer may be loaded again afterwards.
  void release();

  // How many data areas of released buffers wait for reuse by later loads
  // on this thread; always 0 in debug and AddressSanitizer builds, which
  // free every released area. Used by tests.
  static std::size_t spareAreaCount();

  // The start of the text: (first, 0).
  BufferPosition start() const { return BufferPosition{first, 0}; }

  BufferBlock* first = nullptr;
  BufferBlock* last = nullptr;
  bool isUtf16 = false;

 private:
  // Links a block holding `n` text bytes behind `last`.
  void append(std::unique_ptr<BufferBlock> block, int n);
  // Copies `text` behind the text held so far: first into the spare room of
  // `last`, then into new blocks of at most kBlockTextSize bytes.
  void appendText(std::string_view text);
  class BlockReader;  // reads a file block by block
  // Fills the buffer from a UTF-16 file whose mark has been read. `area`
  // holds the first read: `n` bytes after the mark at offset 2, then serves
  // as the area for the later reads. `hasMore` says whether that read filled
  // the whole block, so the file may go on.
  void loadUtf16(BlockReader& reader, std::unique_ptr<BufferBlock> area,
                 size_t n, bool hasMore, bool isBigEndian);
};

#endif  // MAILVANE_MESSAGE_MESSAGE_BUFFER_H_
