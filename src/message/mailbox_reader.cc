// Telling mbox From lines from text, and splitting a mailbox into its
// messages while it streams through a fixed buffer.

#include "message/mailbox_reader.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

#include "message/ascii_text.h"

namespace {

constexpr std::string_view kFromPrefix = "From ";
// The bytes before a line that say whether it follows an empty line: "\n\n"
// or "\n\r\n".
constexpr std::size_t kHistory = 3;
// The most bytes that hold a From line with its line end: the line, CR, LF.
constexpr std::size_t kFromLineArea = kMaxFromLine + 2;

bool isAsciiDigits(std::string_view text, std::size_t least, std::size_t most) {
  return text.size() >= least && text.size() <= most &&
         std::all_of(text.begin(), text.end(), isAsciiDigit);
}

// One of the three-letter names in `names`, written as asctime writes it.
bool isNameIn(std::string_view token, std::string_view names) {
  if (token.size() != 3) return false;
  for (std::size_t at = 0; at < names.size(); at += 3) {
    if (names.substr(at, 3) == token) return true;
  }
  return false;
}

// hh:mm or hh:mm:ss.
bool isTime(std::string_view token) {
  if (token.size() != 5 && token.size() != 8) return false;
  for (std::size_t at = 0; at < token.size(); at += 3) {
    if (!isAsciiDigit(token[at]) || !isAsciiDigit(token[at + 1])) return false;
    if (at + 2 < token.size() && token[at + 2] != ':') return false;
  }
  return true;
}

// A zone name (UTC, PDT) or an offset (+0200, -0700).
bool isZone(std::string_view token) {
  if (token.size() == 5 && (token[0] == '+' || token[0] == '-')) {
    return isAsciiDigits(token.substr(1), 4, 4);
  }
  return !token.empty() &&
         std::all_of(token.begin(), token.end(), isAsciiLetter);
}

// Splits `text` at runs of blanks into at most `most` tokens; false when
// there are more.
template <std::size_t N>
bool splitTokens(std::string_view text, std::array<std::string_view, N>& out,
                 std::size_t& count) {
  count = 0;
  std::size_t at = 0;
  for (;;) {
    while (at < text.size() && isBlank(text[at])) ++at;
    if (at == text.size()) return true;
    if (count == N) return false;
    std::size_t end = at;
    while (end < text.size() && !isBlank(text[end])) ++end;
    out[count++] = text.substr(at, end - at);
    at = end;
  }
}

}  // namespace

// The grammar, step by step:
//   "From " sender blank+ weekday blank+ month blank+ day blank+ time
//   [blank+ zone-or-year [blank+ zone-or-year]] blank* [CR]
// where the two optional fields are one zone and one year, in either order.
bool isMboxFromLine(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (line.size() > kMaxFromLine || !line.starts_with(kFromPrefix)) {
    return false;
  }
  line.remove_prefix(kFromPrefix.size());
  // The sender starts right after "From " and runs to the next blank.
  std::size_t senderEnd = 0;
  while (senderEnd < line.size() && !isBlank(line[senderEnd])) ++senderEnd;
  if (senderEnd == 0 || senderEnd == line.size()) return false;
  std::array<std::string_view, 6> tokens;
  std::size_t count = 0;
  if (!splitTokens(line.substr(senderEnd), tokens, count) || count < 4) {
    return false;
  }
  if (!isNameIn(tokens[0], "MonTueWedThuFriSatSun") ||
      !isNameIn(tokens[1], "JanFebMarAprMayJunJulAugSepOctNovDec") ||
      !isAsciiDigits(tokens[2], 1, 2) || !isTime(tokens[3])) {
    return false;
  }
  bool hasYear = false;
  bool hasZone = false;
  for (std::size_t i = 4; i < count; ++i) {
    if (!hasYear && isAsciiDigits(tokens[i], 4, 4)) {
      hasYear = true;
    } else if (!hasZone && isZone(tokens[i])) {
      hasZone = true;
    } else {
      return false;
    }
  }
  return true;
}

MailboxReader::MailboxReader(ByteSource& source) : source_(source) {}

std::ptrdiff_t MailboxReader::read(char* data, std::size_t want) {
  return readInto(Target{&data, want, 0, want, false});
}

std::ptrdiff_t MailboxReader::readAreas(char* const* areas,
                                        std::size_t areaSize, std::size_t from,
                                        std::size_t end) {
  return readInto(Target{areas, areaSize, from, end, true});
}

void MailboxReader::startNextMessage() {
  assert(isAtNext_);
  isAtNext_ = false;
  isSplitAtLimit_ = false;
  isScanned_ = false;
  // The From line at begin_ opens this message; it cannot end it.
  scanFrom_ = begin_ + 1;
}

std::ptrdiff_t MailboxReader::readInto(const Target& target) {
  if (target.from >= target.end) return 0;
  if (mode_ == Mode::kUndecided) return readFirst(target);
  if (mode_ == Mode::kMailbox) return serveMessage(target);
  // Not a mailbox: what the look at the first line kept goes first, then
  // the file's own reads.
  if (begin_ == end_) return hasEnded_ ? 0 : delegate(target);
  const std::size_t n = handOut(target, end_ - begin_);
  if (begin_ == end_) buffer_.reset();
  return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t MailboxReader::delegate(const Target& target) {
  const std::ptrdiff_t n =
      target.isScattered ? source_.readAreas(target.areas, target.areaSize,
                                             target.from, target.end)
                         : source_.read(target.areas[0] + target.from,
                                        target.end - target.from);
  if (n < 0) hasFailed_ = true;
  return n;
}

// The first read goes straight into the caller's areas, as it would without
// the reader. Only a first line that is a From line, or that this read does
// not hold whole (a pipe may give a few bytes at a time), makes the reader
// keep the bytes in its buffer: they stay in the caller's areas as well,
// and the buffer serves what follows them.
std::ptrdiff_t MailboxReader::readFirst(const Target& target) {
  mode_ = Mode::kPassThrough;
  const std::ptrdiff_t got = delegate(target);
  if (got <= 0) return got;
  const auto n = static_cast<std::size_t>(got);
  std::array<char, kFromLineArea> head;
  // Nearly every file is told by its first five bytes, before the rest of
  // its first line is looked at.
  const std::size_t prefixSize = std::min(n, kFromPrefix.size());
  copyOutOfAreas(head.data(), prefixSize, target.areas, target.areaSize,
                 target.from);
  if (!kFromPrefix.starts_with(std::string_view(head.data(), prefixSize))) {
    return got;
  }
  const std::size_t headSize = std::min(n, head.size());
  copyOutOfAreas(head.data(), headSize, target.areas, target.areaSize,
                 target.from);
  const std::string_view headText(head.data(), headSize);
  const std::size_t feed = headText.find('\n');
  if ((feed == std::string_view::npos && headSize == head.size()) ||
      (feed != std::string_view::npos &&
       !isMboxFromLine(headText.substr(0, feed)))) {
    return got;
  }
  capacity_ = std::max(kBufferSize, n);
  buffer_.reset(new char[capacity_]);
  copyOutOfAreas(buffer_.get(), n, target.areas, target.areaSize, target.from);
  end_ = n;
  // Read on until the first line is whole, too long for a From line, or
  // the whole file.
  const char* feedAt = nullptr;
  while ((feedAt = static_cast<const char*>(std::memchr(
              buffer_.get(), '\n', std::min(end_, head.size())))) == nullptr &&
         end_ < head.size() && !hasEnded_) {
    fill();
  }
  const std::size_t lineSize =
      feedAt != nullptr ? static_cast<std::size_t>(feedAt - buffer_.get())
                        : std::min(end_, head.size());
  begin_ = n;
  if (!isMboxFromLine(std::string_view(buffer_.get(), lineSize))) return got;
  mode_ = Mode::kMailbox;
  // The first line opens the first message; lines from 1 on may start more.
  scanFrom_ = 1;
  scan();
  isScanned_ = true;
  begin_ = std::min(n, limit_);
  if (begin_ == limit_ && isSplitAtLimit_) isAtNext_ = true;
  return static_cast<std::ptrdiff_t>(begin_);
}

std::ptrdiff_t MailboxReader::serveMessage(const Target& target) {
  for (;;) {
    if (isAtNext_) return 0;
    if (begin_ < limit_) {
      const std::size_t n = handOut(target, limit_ - begin_);
      if (begin_ == limit_ && isSplitAtLimit_) isAtNext_ = true;
      return static_cast<std::ptrdiff_t>(n);
    }
    if (isSplitAtLimit_) {
      isAtNext_ = true;
      return 0;
    }
    if (!isScanned_) {
      scan();
      isScanned_ = true;
    } else if (hasEnded_) {
      return 0;
    } else {
      fill();
      isScanned_ = false;
    }
  }
}

std::size_t MailboxReader::handOut(const Target& target, std::size_t count) {
  const std::size_t n = std::min(count, target.end - target.from);
  copyIntoAreas(buffer_.get() + begin_, n, target.areas, target.areaSize,
                target.from);
  begin_ += n;
  return n;
}

// When more bytes are needed every byte before begin_ is handed out and at
// most the start of one line (under kFromLineArea bytes) waits behind it, so
// the buffer always has room. A buffer grown to hold a large first read
// shrinks back here.
void MailboxReader::fill() {
  const std::size_t shift = begin_ - std::min(begin_, kHistory);
  const std::size_t kept = end_ - shift;
  if (capacity_ > kBufferSize && kept <= kBufferSize / 2) {
    std::unique_ptr<char[]> smaller(new char[kBufferSize]);
    std::memcpy(smaller.get(), buffer_.get() + shift, kept);
    buffer_ = std::move(smaller);
    capacity_ = kBufferSize;
  } else if (shift > 0) {
    std::memmove(buffer_.get(), buffer_.get() + shift, kept);
  }
  begin_ -= shift;
  end_ -= shift;
  limit_ -= std::min(limit_, shift);
  scanFrom_ -= std::min(scanFrom_, shift);
  // A failed read ends the file as its end does: the bytes before it are
  // still split and handed out, the last message ends where they end.
  const std::ptrdiff_t n = source_.read(buffer_.get() + end_, capacity_ - end_);
  if (n <= 0) {
    hasEnded_ = true;
    hasFailed_ = hasFailed_ || n < 0;
    return;
  }
  end_ += static_cast<std::size_t>(n);
}

void MailboxReader::scan() {
  std::size_t at = scanFrom_;
  for (;;) {
    at = nextCandidate(at);
    if (at > end_) {
      limit_ = end_;
      scanFrom_ = end_ + 1;
      return;
    }
    switch (judgeLine(at)) {
      case Verdict::kFromLine:
        limit_ = at;
        isSplitAtLimit_ = true;
        return;
      case Verdict::kNeedMore:
        limit_ = at;
        scanFrom_ = at;
        return;
      case Verdict::kNotFromLine:
        ++at;
        break;
    }
  }
}

// Byte 0 of the buffer is either the file's first byte or at least kHistory
// bytes before `at`, so a position before it is the start of the file.
std::size_t MailboxReader::nextCandidate(std::size_t from) const {
  const char* text = buffer_.get();
  auto isAfterEmptyLine = [&](std::size_t at) {
    return at >= 2 && text[at - 1] == '\n' &&
           (text[at - 2] == '\n' ||
            (at >= 3 && text[at - 2] == '\r' && text[at - 3] == '\n'));
  };
  from = std::max<std::size_t>(from, 1);
  const std::string_view buffered(text, end_);
  // Whole "\nFrom " first; the last few positions may hold only its start.
  for (std::size_t feed = from - 1;
       (feed = buffered.find("\nFrom ", feed)) != std::string_view::npos;
       ++feed) {
    if (isAfterEmptyLine(feed + 1)) return feed + 1;
  }
  const std::size_t tail =
      end_ >= kFromPrefix.size() ? end_ - kFromPrefix.size() + 1 : 0;
  for (std::size_t at = std::max(from, tail); at <= end_; ++at) {
    if (isAfterEmptyLine(at) && kFromPrefix.starts_with(buffered.substr(at))) {
      return at;
    }
  }
  return end_ + 1;
}

MailboxReader::Verdict MailboxReader::judgeLine(std::size_t at) const {
  const std::size_t available = end_ - at;
  const std::size_t most = std::min(available, kFromLineArea);
  const char* line = buffer_.get() + at;
  const auto* feed = static_cast<const char*>(std::memchr(line, '\n', most));
  std::size_t size = 0;
  if (feed != nullptr) {
    size = static_cast<std::size_t>(feed - line);
  } else if (available >= kFromLineArea) {
    return Verdict::kNotFromLine;
  } else if (hasEnded_) {
    size = available;  // the file's last line, without a line feed
  } else {
    return Verdict::kNeedMore;
  }
  return isMboxFromLine(std::string_view(line, size)) ? Verdict::kFromLine
                                                      : Verdict::kNotFromLine;
}
