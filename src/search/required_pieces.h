// The required pieces of regular expressions: in each branch of a pattern,
// the stretches of consecutive literal characters and small classes that
// every match of that branch contains.
//
// Which bytes each position accepts is asked of Boost.Regex itself: every
// literal and class is compiled alone, with the pattern's own options, and
// tried on each of the 256 byte values. Letter case folding, "\d" and
// classes therefore follow the library's traits and locale exactly, on every
// platform. A pattern whose text uses anything the derivation does not know
// has no required pieces: it may match anything.

#ifndef MAILVANE_SEARCH_REQUIRED_PIECES_H_
#define MAILVANE_SEARCH_REQUIRED_PIECES_H_

#include <bitset>
#include <boost/regex.hpp>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A pattern as compiled: its text proper (without /.../ delimiters) and its
// syntax options.
struct PatternText {
  std::string text;
  boost::regex_constants::syntax_option_type flags;
};

using ByteSet = std::bitset<256>;

// A stretch of consecutive positions that every match of a branch contains;
// each position is the number of its byte set in RequiredPieces::sets.
using Run = std::vector<std::size_t>;

// The prefilter searches for a stretch of at most this many positions of a
// run: any stretch of a required run is required too, and sixteen positions
// rule out as much text as longer ones do. Shorter pieces mean fewer states
// to build at start-up, and lines of 80 bytes and more are then walked in
// two halves. The derivation, choosing which runs stand for a branch,
// weighs each run by its best stretch of at most this many positions too.
inline constexpr std::size_t kMaxPieceLength = 16;

struct RequiredPieces {
  // The distinct byte sets of all run positions.
  std::vector<ByteSet> sets;
  // branchRuns[i][k]: the runs of branch k of pattern i, each branch with at
  // least one; a branch without runs of its own that holds a group stands
  // as that group's branches. Empty when pattern i has a branch without any
  // even so, or a text or options the derivation does not read: that pattern
  // may match anything.
  std::vector<std::vector<std::vector<Run>>> branchRuns;
};

// The bytes that `atom` (one literal, escape or class, which always matches
// exactly one byte) accepts under `flags`, as the library sees them; empty
// when it does not compile or matches anything but a single byte.
ByteSet bytesMatchedBy(std::string_view atom,
                       boost::regex_constants::syntax_option_type flags);

// The required pieces of every pattern, in pattern order.
RequiredPieces deriveRequiredPieces(const std::vector<PatternText>& patterns);

#endif  // MAILVANE_SEARCH_REQUIRED_PIECES_H_
