// The automaton that searches a text for the required pieces of many
// patterns at once.

#include "search/phrase_prefilter.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <utility>

namespace {

// A piece is searched for as every string of byte classes it accepts; a
// piece with more of them than this, or with more than kMaxPieceLength
// positions (see required_pieces.h), is cut to a narrower stretch.
constexpr std::size_t kMaxExpansions = 64;
// The pieces of a literal set are searched for whole up to this length
// instead, so that finding one is finding a match.
constexpr std::size_t kMaxLiteralLength = 32;
// State numbers are 16 bits wide.
constexpr std::size_t kMaxStates = 65535;

// The classes a set of bytes covers, ascending.
std::vector<std::uint8_t> classesOf(
    const ByteSet& set, const std::array<std::uint8_t, 256>& classOf) {
  std::vector<std::uint8_t> classes;
  for (int b = 0; b < 256; ++b) {
    if (!set.test(b)) continue;
    std::uint8_t c = classOf[b];
    bool isNew = true;
    for (std::uint8_t known : classes) isNew = isNew && known != c;
    if (isNew) classes.push_back(c);
  }
  std::sort(classes.begin(), classes.end());
  return classes;
}

// The stretch of one run searched for: the one with the most positions that
// accept a single class (a letter in either case, one digit, one punctuation
// mark), positions of two or three classes counting half, among those of at
// most `maxLength` positions with at most kMaxExpansions class strings;
// then the one with fewer strings.
struct Window {
  std::size_t begin = 0;
  std::size_t end = 0;
  double score = -1;
  std::size_t expansions = 0;

  bool isBetterThan(const Window& other) const {
    if (score != other.score) return score > other.score;
    return expansions < other.expansions;
  }
};

Window bestWindow(const std::vector<std::vector<std::uint8_t>>& positions,
                  std::size_t maxLength) {
  Window best;
  for (std::size_t begin = 0; begin < positions.size(); ++begin) {
    std::size_t product = 1;
    double score = 0;
    for (std::size_t end = begin; end < positions.size(); ++end) {
      const std::size_t width = positions[end].size();
      product *= width;
      if (product > kMaxExpansions || end - begin >= maxLength) break;
      score += width == 1 ? 1.0 : width <= 3 ? 0.5 : 0.0;
      Window window{begin, end + 1, score, product};
      if (window.isBetterThan(best)) best = window;
    }
  }
  return best;
}

// Every string of classes the window accepts.
void expand(const std::vector<std::vector<std::uint8_t>>& positions,
            std::size_t at, std::size_t end, std::vector<std::uint8_t>& prefix,
            std::vector<std::vector<std::uint8_t>>& out) {
  if (at == end) {
    out.push_back(prefix);
    return;
  }
  for (std::uint8_t c : positions[at]) {
    prefix.push_back(c);
    expand(positions, at + 1, end, prefix, out);
    prefix.pop_back();
  }
}

}  // namespace

std::size_t PatternCandidates::next(std::size_t from) const {
  for (std::size_t w = from / 64; w < words_.size(); ++w) {
    std::uint64_t bits = words_[w];
    if (w == from / 64) bits &= ~std::uint64_t{0} << (from % 64);
    if (bits != 0)
      return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
  }
  return kCapacity;
}

bool PatternCandidates::empty() const {
  for (std::uint64_t word : words_) {
    if (word != 0) return false;
  }
  return true;
}

PatternCandidates PatternCandidates::firstN(std::size_t count) {
  PatternCandidates all;
  for (std::size_t i = 0; i < count && i < kCapacity; ++i) all.add(i);
  return all;
}

// Building takes four steps: derive the runs of each branch of each pattern
// (a pattern without them is always a candidate); split the byte values
// into classes that no run position tells apart; pick in every branch the
// run stretch to search for and spell it out as class strings; and build
// the Aho-Corasick automaton of all those strings, whose every state knows
// the patterns of all pieces that end there.
PhrasePrefilter::PhrasePrefilter(const std::vector<Pattern>& patterns,
                                 const PatternCandidates& literalSets) {
  if (patterns.size() > PatternCandidates::kCapacity) {
    throw std::length_error("too many patterns for one prefilter");
  }
  const RequiredPieces required = deriveRequiredPieces(patterns);
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (required.branchRuns[i].empty()) alwaysCandidates_.add(i);
  }
  splitByteClasses(required.sets);
  std::size_t totalLength = 0;
  PatternCandidates spelledWhole;
  const std::vector<Piece> pieces =
      spellPieces(required, literalSets, totalLength, spelledWhole);
  pieceCount_ = pieces.size();
  for (const auto& piece : pieces) {
    longestPiece_ = std::max(longestPiece_, piece.second.size());
  }
  std::vector<PatternCandidates> ends = buildTrie(pieces, totalLength);
  // A literal set is exact when each of its branches is searched for whole,
  // and none was left out for want of room (which makes it a candidate for
  // every text).
  for (std::size_t i = spelledWhole.next(0); i < patterns.size();
       i = spelledWhole.next(i + 1)) {
    if (!alwaysCandidates_.has(i)) exact_.add(i);
  }
  linkFailures(ends);
  outputs_.assign(1, PatternCandidates());
  outputIndex_.assign(ends.size(), 0);
  for (std::size_t state = 0; state < ends.size(); ++state) {
    if (ends[state].empty()) continue;
    outputIndex_[state] = static_cast<std::uint16_t>(outputs_.size());
    outputs_.push_back(ends[state]);
  }
  layOutRows();
}

// The search follows one transition per byte, each depending on the last,
// so the table is laid out for that walk: a state's row holds the offsets
// of the next states' rows (no multiplication on the way) and, in one more
// column, its own output index. The states that end a piece are numbered
// last, so a step tells from the row offset alone whether it reached one,
// and reads the output column only then.
void PhrasePrefilter::layOutRows() {
  const std::size_t k = classCount_;
  const std::size_t width = k + 1;
  const std::size_t states = outputIndex_.size();
  // Shallow states are visited far more often than deep ones, so the states
  // are numbered in breadth-first order: the rows a walk keeps coming back
  // to lie together in a few pages and cache lines.
  std::vector<std::uint32_t> byDepth{0};
  std::vector<bool> isSeen(states, false);
  isSeen[0] = true;
  for (std::size_t at = 0; at < byDepth.size(); ++at) {
    for (std::size_t c = 0; c < k; ++c) {
      const std::uint16_t child = transitions_[byDepth[at] * k + c];
      if (!isSeen[child]) {
        isSeen[child] = true;
        byDepth.push_back(child);
      }
    }
  }
  std::vector<std::uint32_t> renumbered(states);
  std::size_t next = 0;
  for (const bool hasOutput : {false, true}) {
    if (hasOutput) outputRowStart_ = next * width;
    for (const std::uint32_t state : byDepth) {
      if ((outputIndex_[state] != 0) == hasOutput) {
        renumbered[state] = static_cast<std::uint32_t>(next++);
      }
    }
  }
  rows_.assign(states * width, 0);
  for (std::size_t state = 0; state < states; ++state) {
    const std::size_t row = renumbered[state] * width;
    for (std::size_t c = 0; c < k; ++c) {
      rows_[row + c] = static_cast<std::uint32_t>(
          renumbered[transitions_[state * k + c]] * width);
    }
    rows_[row + k] = outputIndex_[state];
  }
  rowWidth_ = width;
  std::vector<std::uint16_t>().swap(transitions_);
  std::vector<std::uint16_t>().swap(outputIndex_);
}

// Two bytes share a class when every run position accepts both or neither:
// at most 256 classes, one per byte value. Found by refinement: each set
// splits every class into the bytes it accepts and those it does not.
void PhrasePrefilter::splitByteClasses(const std::vector<ByteSet>& sets) {
  classOf_.fill(0);
  std::size_t classCount = 1;
  for (const ByteSet& set : sets) {
    std::array<int, 512> renumbered;
    renumbered.fill(-1);
    std::size_t next = 0;
    for (std::size_t b = 0; b < 256; ++b) {
      int& id = renumbered[classOf_[b] * 2u + (set.test(b) ? 1u : 0u)];
      if (id < 0) id = static_cast<int>(next++);
      classOf_[b] = static_cast<std::uint8_t>(id);
    }
    classCount = next;
  }
  classCount_ = classCount;
}

// In every branch, the best window over all its runs, spelt out as every
// class string it accepts; `totalLength` sums their lengths. A literal set
// whose every branch is one run searched for whole goes into `spelledWhole`.
std::vector<PhrasePrefilter::Piece> PhrasePrefilter::spellPieces(
    const RequiredPieces& required, const PatternCandidates& literalSets,
    std::size_t& totalLength, PatternCandidates& spelledWhole) const {
  std::vector<std::vector<std::uint8_t>> classesOfSet;
  for (const ByteSet& set : required.sets) {
    classesOfSet.push_back(classesOf(set, classOf_));
  }
  std::vector<Piece> pieces;
  totalLength = 0;
  for (std::size_t i = 0; i < required.branchRuns.size(); ++i) {
    const bool isLiteralSet = literalSets.has(i);
    bool isWhole = isLiteralSet && !required.branchRuns[i].empty();
    for (const auto& runs : required.branchRuns[i]) {
      std::vector<std::vector<std::uint8_t>> bestPositions;
      Window best;
      for (const Run& run : runs) {
        std::vector<std::vector<std::uint8_t>> positions;
        for (std::size_t set : run) positions.push_back(classesOfSet[set]);
        Window window = bestWindow(
            positions, isLiteralSet ? kMaxLiteralLength : kMaxPieceLength);
        if (window.isBetterThan(best)) {
          best = window;
          bestPositions = std::move(positions);
        }
      }
      isWhole = isWhole && runs.size() == 1 && best.begin == 0 &&
                best.end == bestPositions.size();
      std::vector<std::vector<std::uint8_t>> strings;
      std::vector<std::uint8_t> prefix;
      expand(bestPositions, best.begin, best.end, prefix, strings);
      for (std::vector<std::uint8_t>& piece : strings) {
        totalLength += piece.size();
        pieces.emplace_back(i, std::move(piece));
      }
    }
    if (isWhole) spelledWhole.add(i);
  }
  return pieces;
}

// The trie, built right in the transition table: row `state` holds the
// state's children, 0 where it has none (no piece leads back to the root).
// Returns, per state, the patterns whose pieces end there.
std::vector<PatternCandidates> PhrasePrefilter::buildTrie(
    const std::vector<Piece>& pieces, std::size_t totalLength) {
  const std::size_t k = classCount_;
  const std::size_t maxStates = std::min(totalLength + 1, kMaxStates);
  transitions_.reserve(maxStates * k);
  transitions_.assign(k, 0);
  std::vector<PatternCandidates> ends(1);
  ends.reserve(maxStates);
  for (const auto& [pattern, piece] : pieces) {
    if (ends.size() + piece.size() > kMaxStates) {
      alwaysCandidates_.add(pattern);  // too large to search: never ruled out
      continue;
    }
    std::size_t state = 0;
    for (std::uint8_t c : piece) {
      std::uint16_t child = transitions_[state * k + c];
      if (child == 0) {
        child = static_cast<std::uint16_t>(ends.size());
        transitions_[state * k + c] = child;
        transitions_.resize(transitions_.size() + k, 0);
        ends.emplace_back();
      }
      state = child;
    }
    ends[state].add(pattern);
  }
  return ends;
}

// Breadth-first, so that a state's failure state (the state of the longest
// proper suffix of its string) is complete before it: a missing transition
// takes the failure state's, and a state ends every piece its failure state
// ends. A row keeps its trie children until its state is reached here.
void PhrasePrefilter::linkFailures(std::vector<PatternCandidates>& ends) {
  const std::size_t k = classCount_;
  std::vector<std::uint16_t> failure(ends.size(), 0);
  std::vector<std::uint16_t> order;
  order.reserve(ends.size());
  for (std::size_t c = 0; c < k; ++c) {
    if (transitions_[c] != 0) order.push_back(transitions_[c]);
  }
  for (std::size_t at = 0; at < order.size(); ++at) {
    const std::size_t state = order[at];
    const std::size_t viaFailure = failure[state] * k;
    ends[state].merge(ends[failure[state]]);
    for (std::size_t c = 0; c < k; ++c) {
      std::uint16_t& entry = transitions_[state * k + c];
      if (entry == 0) {
        entry = transitions_[viaFailure + c];
        continue;
      }
      failure[entry] = transitions_[viaFailure + c];
      order.push_back(entry);
    }
  }
}

// One step of the walk: the next row for byte `c`, merging into `found` the
// patterns of the pieces that end there. The column of the byte's class is
// found off the chain of dependent loads, so each step costs one load:
// row = column[row].
inline std::uint32_t PhrasePrefilter::step(std::uint32_t row, char c,
                                           PatternCandidates& found) const {
  const std::uint32_t* column =
      rows_.data() + classOf_[static_cast<unsigned char>(c)];
#if defined(__GNUC__)
  // Left to itself the compiler adds the class to the row instead, which
  // puts that add back on the chain.
  asm("" : "+r"(column));
#endif
  row = column[row];
  if (row >= outputRowStart_) {
    found.merge(outputs_[rows_[row + rowWidth_ - 1]]);
  }
  return row;
}

bool PhrasePrefilter::isWalkedInHalves(std::size_t size) const {
  return longestPiece_ > 0 && size >= 4 * longestPiece_ + 16;
}

// Each step of the walk depends on the one before, so a long text is walked
// as two halves side by side, each from the start state: the first half
// runs on for one piece length less one past the middle, so every piece that
// starts in it also ends in it, and the second half finds every piece that
// starts at or after the middle. Together they find every piece the whole
// walk would.
PatternCandidates PhrasePrefilter::candidates(std::string_view text) const {
  PatternCandidates found = alwaysCandidates_;
  if (rows_.empty()) return found;
  const std::size_t size = text.size();
  std::size_t second = 0;  // where the walk of the second half stands
  std::uint32_t secondRow = 0;
  if (isWalkedInHalves(size)) {
    const std::size_t middle = size / 2;
    const std::size_t firstEnd = middle + longestPiece_ - 1;
    std::uint32_t firstRow = 0;
    second = middle;
    for (std::size_t at = 0; at < middle; ++at, ++second) {
      firstRow = step(firstRow, text[at], found);
      secondRow = step(secondRow, text[second], found);
    }
    for (std::size_t at = middle; at < firstEnd; ++at) {
      firstRow = step(firstRow, text[at], found);
    }
  }
  for (; second < size; ++second) {
    secondRow = step(secondRow, text[second], found);
  }
  return found;
}
