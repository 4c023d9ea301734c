// Reading a message file that may be a mailbox (mbox): one file holding
// several messages, each opened by a "From " line that follows an empty line.
//
// A MailboxReader sits between a message file and MessageBuffer::loadFrom and
// hands out one message at a time; the messages joined give the file back
// byte for byte (each keeps its From line and the empty line that ends it;
// no ">From" unquoting). A file whose first line is not a From line passes
// through untouched, with every read delegated to the file itself. Memory is
// a fixed buffer of kBufferSize bytes (plus, at most, a copy of the first
// read of a mailbox), whatever the size of the file. Reading never fails on
// malformed input: a file that is not a mailbox is one message. Single-
// threaded; the file must outlive the reader.

#ifndef MAILVANE_MESSAGE_MAILBOX_READER_H_
#define MAILVANE_MESSAGE_MAILBOX_READER_H_

#include <cstddef>
#include <memory>
#include <string_view>

#include "message/message_buffer.h"

// The longest line, less its line end (LF or CR LF), that may be a From
// line. A longer line is body text, and the reader never holds back more
// than such a line.
constexpr std::size_t kMaxFromLine = 1000;

// Whether `line` (one line, without its line feed; at most kMaxFromLine
// bytes besides a final CR) is an mbox From line: "From ", a non-empty
// sender token (no blanks), one or more blanks (spaces or tabs, as between
// all the fields), then an asctime date: weekday (Mon..Sun), month
// (Jan..Dec), day (1-2 digits, may be padded with a space: "Apr  9"), time
// hh:mm or hh:mm:ss; an optional time zone (letters, or +hhmm/-hhmm) and an
// optional 4-digit year may follow in either order, as mail systems write
// them; trailing blanks and a final CR allowed.
bool isMboxFromLine(std::string_view line);

// A ByteSource over a message file that may be a mailbox. The file is a
// mailbox when its first line (from byte 0: a file that opens with a
// byte-order mark is not one) is a From line; then every From line that
// directly follows an empty line ("\n\n" or "\n\r\n" before it) starts a
// further message, and a message runs up to, not including, that line.
// Each message ends as a file would: read() gives 0. A From line inside a
// body that does not follow an empty line starts nothing.
class MailboxReader final : public ByteSource {
 public:
  // The internal buffer: the bytes read from the file and not yet handed
  // out, and the last few handed out, which say whether a line follows an
  // empty line.
  static constexpr std::size_t kBufferSize = std::size_t{64} * 1024;

  // `source` is the file, read from its start.
  explicit MailboxReader(ByteSource& source);
  MailboxReader(const MailboxReader&) = delete;
  MailboxReader& operator=(const MailboxReader&) = delete;

  // The bytes of the current message. 0 at its end, which is the end of the
  // file unless isAtNextMessage(). -1 when a read of a file that is not a
  // mailbox fails, as the file's own read gives it; in a mailbox a failed
  // read ends the message as the end of the file does (see hasFailed()).
  std::ptrdiff_t read(char* data, std::size_t want) override;
  // read() into consecutive areas, as ByteSource::readAreas. The first call
  // and every call on a file that is not a mailbox go to the file's own
  // readAreas, straight into the areas.
  std::ptrdiff_t readAreas(char* const* areas, std::size_t areaSize,
                           std::size_t from, std::size_t end) override;

  // True when the current message ended (read gave 0) at the From line of a
  // further message.
  bool isAtNextMessage() const { return isAtNext_; }
  // Starts reading that further message, from its From line.
  // REQUIRES: isAtNextMessage().
  void startNextMessage();
  // True when a read of the file failed: the file ends there, short of its
  // end, and no further message follows.
  bool hasFailed() const { return hasFailed_; }

 private:
  enum class Mode { kUndecided, kPassThrough, kMailbox };
  enum class Verdict { kFromLine, kNotFromLine, kNeedMore };

  // The caller's destination: `areas` of `areaSize` bytes each, to be
  // filled from byte `from` to byte `end`; one area for read().
  struct Target {
    char* const* areas;
    std::size_t areaSize;
    std::size_t from;
    std::size_t end;
    bool isScattered;  // readAreas, not read
  };

  std::ptrdiff_t readInto(const Target& target);
  std::ptrdiff_t delegate(const Target& target);
  // The first read of the file: straight into the target, then a look at
  // the first line decides the mode.
  std::ptrdiff_t readFirst(const Target& target);
  // Serves the current message from the buffer.
  std::ptrdiff_t serveMessage(const Target& target);
  // Copies up to the target's room from the buffer, at most `count` bytes.
  std::size_t handOut(const Target& target, std::size_t count);
  // Reads more of the file behind the buffered bytes, first dropping the
  // bytes handed out but the last few.
  void fill();
  // Moves limit_ as far as the buffered bytes allow.
  void scan();
  // The first position from `from` on, at most end_, where a line follows
  // an empty line and its buffered bytes could begin "From "; end_ + 1 when
  // there is none.
  std::size_t nextCandidate(std::size_t from) const;
  Verdict judgeLine(std::size_t at) const;

  ByteSource& source_;
  Mode mode_ = Mode::kUndecided;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  // Buffer positions: bytes [begin_, end_) are not yet handed out; those of
  // [begin_, limit_) belong to the current message; a further message starts
  // at limit_ when isSplitAtLimit_. No line from scanFrom_ on has been
  // judged yet.
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t limit_ = 0;
  std::size_t scanFrom_ = 0;
  bool isSplitAtLimit_ = false;
  bool isScanned_ = false;  // limit_ is as far as the buffered bytes allow
  bool hasEnded_ = false;   // the file gave its end or failed
  bool hasFailed_ = false;
  bool isAtNext_ = false;
};

#endif  // MAILVANE_MESSAGE_MAILBOX_READER_H_
