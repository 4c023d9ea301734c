// A one-pass test in front of a list of regular expressions: for a text it
// tells which of the patterns may match, so that only those need to run.
//
// A pattern is ruled out only when a piece of text that every match of it
// must contain is absent. Trying the remaining patterns in their order
// therefore finds the same first match as trying all of them, and any
// pattern that is ruled out is certain not to match. The pieces come from
// deriveRequiredPieces (required_pieces.h); all of them are searched for
// together by one Aho-Corasick automaton over byte classes.
//
// Built once; afterwards read-only. Querying allocates nothing.

#ifndef MAILVANE_SEARCH_PHRASE_PREFILTER_H_
#define MAILVANE_SEARCH_PHRASE_PREFILTER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "search/required_pieces.h"

// A set of pattern indexes below kCapacity.
class PatternCandidates {
 public:
  static constexpr std::size_t kCapacity = 256;

  bool has(std::size_t index) const {
    return (words_[index / 64] >> (index % 64)) & 1u;
  }
  void add(std::size_t index) {
    words_[index / 64] |= std::uint64_t{1} << (index % 64);
  }
  void merge(const PatternCandidates& other) {
    for (std::size_t w = 0; w < words_.size(); ++w)
      words_[w] |= other.words_[w];
  }
  // The smallest index at or after `from` in the set; kCapacity when none.
  std::size_t next(std::size_t from) const;
  bool empty() const;
  // Every index below `count`.
  static PatternCandidates firstN(std::size_t count);

  bool operator==(const PatternCandidates&) const = default;

 private:
  std::array<std::uint64_t, kCapacity / 64> words_{};
};

class PhrasePrefilter {
 public:
  using Pattern = PatternText;

  // No patterns: every query gives the empty set.
  PhrasePrefilter() = default;
  // At most PatternCandidates::kCapacity patterns; index i of a candidate
  // set stands for patterns[i]. Throws std::length_error for more.
  //
  // The patterns in `literalSets` are the caller's word that each is an
  // alternation of plain literals, with no anchors, groups or classes. Their
  // pieces are searched for whole where they are not too long, and
  // isExact() tells for which of them a candidate is certain to match.
  explicit PhrasePrefilter(const std::vector<Pattern>& patterns,
                           const PatternCandidates& literalSets = {});

  // The patterns that may match somewhere in `text`: every pattern that
  // matches it is in the set.
  PatternCandidates candidates(std::string_view text) const;

  // Whether pattern `index` is never ruled out (no required piece could be
  // derived from its text). Used by tests.
  bool isAlwaysCandidate(std::size_t index) const {
    return alwaysCandidates_.has(index);
  }
  // Whether pattern `index`, one of the literal sets, is in the candidates
  // of exactly the texts it matches: each of its literals is searched for
  // whole.
  bool isExact(std::size_t index) const { return exact_.has(index); }
  // The number of distinct required pieces searched for. Used by tests.
  std::size_t pieceCount() const { return pieceCount_; }

 private:
  // A string of byte classes to search for, and the pattern it stands for.
  using Piece = std::pair<std::size_t, std::vector<std::uint8_t>>;

  // The building steps, in order (see the constructor).
  void splitByteClasses(const std::vector<ByteSet>& sets);
  std::vector<Piece> spellPieces(const RequiredPieces& required,
                                 const PatternCandidates& literalSets,
                                 std::size_t& totalLength,
                                 PatternCandidates& spelledWhole) const;
  std::vector<PatternCandidates> buildTrie(const std::vector<Piece>& pieces,
                                           std::size_t totalLength);
  void linkFailures(std::vector<PatternCandidates>& ends);
  void layOutRows();
  // The walk (see candidates()).
  std::uint32_t step(std::uint32_t row, char c, PatternCandidates& found) const;
  bool isWalkedInHalves(std::size_t size) const;

  // Byte value -> byte class; bytes that no piece position tells apart
  // share a class, class 0 being the bytes no piece accepts anywhere.
  std::array<std::uint8_t, 256> classOf_{};
  std::size_t classCount_ = 0;
  // The automaton: transitions_[state * classCount_ + class] is the next
  // state (failure links already folded in); outputIndex_[state] indexes
  // outputs_, where entry 0 is the empty set.
  std::vector<std::uint16_t> transitions_;
  std::vector<std::uint16_t> outputIndex_;
  // The table the search walks, built from the two above (which are then
  // freed): row r starts at r * rowWidth_; its first classCount_ entries
  // are the offsets of the next rows, the last its output index. The rows
  // from outputRowStart_ on, and only they, have an output; the start
  // state's row is row 0.
  std::vector<std::uint32_t> rows_;
  std::size_t rowWidth_ = 0;
  std::uint32_t outputRowStart_ = 0;
  // The length of the longest piece searched for.
  std::size_t longestPiece_ = 0;
  std::vector<PatternCandidates> outputs_;
  PatternCandidates alwaysCandidates_;
  PatternCandidates exact_;
  std::size_t pieceCount_ = 0;
};

#endif  // MAILVANE_SEARCH_PHRASE_PREFILTER_H_
