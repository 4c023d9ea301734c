// How much storage the objects reused from message to message keep.
//
// Kept storage is what an object emptied for the next message holds on to
// instead of freeing: a parsed part's line list, a field list's entries, a
// released buffer's data areas, a results vector. A run over many messages
// then allocates when it meets a larger message than before, not once per
// message. Past these limits an emptied object frees its storage instead, so
// that one huge message does not hold its memory for the rest of the run.
// Each limit is well above what an ordinary bounce needs and well below what
// a pathological message takes; none changes any result, only memory and
// speed.

#ifndef MAILVANE_MESSAGE_KEEP_LIMITS_H_
#define MAILVANE_MESSAGE_KEEP_LIMITS_H_

#include <cstddef>

// Data areas of released buffers (8 KiB of text each): a message of up to
// 128 KiB, far more than most, loads into reused areas only.
inline constexpr std::size_t kKeptAreas = 16;
// Emptied parts of a parsed message: more than any report has, fewer than a
// message cut into thousands of parts.
inline constexpr std::size_t kKeptParts = 64;
// Line entries of one kept part (16 bytes each, so 64 KiB): a part of more
// lines frees its list.
inline constexpr std::size_t kKeptPartLines = 4096;
// Entries of one emptied header list or field map, texts and all: a header
// block holds a few dozen, a huge set of distinct names far more.
inline constexpr std::size_t kKeptFieldEntries = 256;
// Emptied paragraphs of a delivery-status report: one per recipient, and a
// report seldom names more than a few.
inline constexpr std::size_t kKeptReportGroups = 64;
// Bytes of a report's field line joined from its continuations: field
// lines are short, a line of a megabyte is not worth keeping.
inline constexpr std::size_t kKeptReportLineBytes = 1 << 16;
// Bytes of a message's subject and of its CSV rows: a few hundred for most
// messages.
inline constexpr std::size_t kKeptTextBytes = 1 << 16;
// Results (rows) of one message: a report to a whole mailing list may name
// thousands, most bounces one.
inline constexpr std::size_t kKeptRecipients = 256;

// Empties `storage` (a string or vector) for the next message, keeping its
// capacity when that is at most `limit` and freeing it otherwise.
template <class Storage>
void clearKeepingUpTo(Storage& storage, std::size_t limit) {
  if (storage.capacity() > limit) {
    Storage().swap(storage);
  } else {
    storage.clear();
  }
}

#endif  // MAILVANE_MESSAGE_KEEP_LIMITS_H_
