// Required pieces of regular expressions, and the automaton that searches a
// text for all of them at once.

#include "analysis/phrase_prefilter.h"

#include <algorithm>
#include <bit>
#include <bitset>
#include <map>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace {

using ByteSet = std::bitset<256>;
using Flags = boost::regex_constants::syntax_option_type;

// A position that accepts more bytes than this (".", "\W", a wide class)
// says little about the text and ends a piece.
constexpr std::size_t kMaxSetBytes = 40;
// A piece is searched for as every string of byte classes it accepts; a
// piece with more of them than this is cut to a narrower stretch.
constexpr std::size_t kMaxExpansions = 64;
// State numbers are 16 bits wide.
constexpr std::size_t kMaxStates = 65535;

// The bytes that `atom` (one literal, escape or class, which always matches
// exactly one byte) accepts: compiled alone with the pattern's options and
// searched for in a text of all 256 byte values, so the answer is the
// library's own. Remembered per atom and options.
class AtomProbe {
 public:
  AtomProbe() {
    for (int b = 0; b < 256; ++b) allBytes_[b] = static_cast<char>(b);
  }

  // False when the atom does not compile, accepts no byte at all, or
  // matches anything but a single byte.
  bool bytesOf(std::string_view atom, Flags flags, ByteSet& out) {
    auto key = std::make_pair(std::string(atom), static_cast<unsigned>(flags));
    auto found = cache_.find(key);
    if (found == cache_.end()) {
      found = cache_.emplace(std::move(key), probe(atom, flags)).first;
    }
    out = found->second;
    return out.any();
  }

 private:
  ByteSet probe(std::string_view atom, Flags flags) const {
    ByteSet bytes;
    try {
      boost::regex re(atom.begin(), atom.end(), flags);
      const char* const begin = allBytes_;
      const char* const end = allBytes_ + sizeof allBytes_;
      boost::match_results<const char*> match;
      for (const char* at = begin;
           at < end && boost::regex_search(at, end, match, re); ++at) {
        if (match.length(0) != 1) return ByteSet();
        at = match[0].first;
        bytes.set(static_cast<std::size_t>(at - begin));
      }
    } catch (const std::exception&) {
      bytes.reset();
    }
    return bytes;
  }

  char allBytes_[256];
  std::map<std::pair<std::string, unsigned>, ByteSet> cache_;
};

// One element of a parsed pattern: a position that accepts a set of bytes,
// a group, or anything else (which only ends a piece: ".", anchors, word
// boundaries).
struct Item {
  enum class Kind { kSet, kGroup, kBreak };
  Kind kind = Kind::kBreak;
  ByteSet set;
  std::vector<std::vector<Item>> alternatives;  // a group's branches
  int min = 1;                // how often the item occurs at least
  bool isRepeatable = false;  // whether it may occur more than once
};

bool isAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

bool isOneOf(char c, std::string_view set) {
  return set.find(c) != std::string_view::npos;
}

// Parses the subset of Perl syntax the derivation understands: literals,
// escaped punctuation, \d \s \w and their negations, bracket classes
// without escapes, (...) and (?:...) groups, "|", the quantifiers ? * + and
// {n,m} (lazy or possessive too), ".", "^", "$" and the zero-width escapes.
// Anything else makes parse() fail, and the pattern is then always a
// candidate.
class PatternParser {
 public:
  PatternParser(std::string_view text, Flags flags, AtomProbe& probe)
      : text_(text), flags_(flags), probe_(probe) {}

  bool parse(std::vector<std::vector<Item>>& alternatives) {
    pos_ = 0;
    return parseAlternatives(alternatives) && pos_ == text_.size();
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }

  // Stops at the end of the text or before a ")".
  bool parseAlternatives(std::vector<std::vector<Item>>& out) {
    out.assign(1, {});
    while (!atEnd()) {
      char c = text_[pos_];
      if (c == '|') {
        out.emplace_back();
        ++pos_;
        continue;
      }
      if (c == ')') return true;
      Item item;
      if (!parseAtom(item) || !parseQuantifier(item)) return false;
      out.back().push_back(std::move(item));
    }
    return true;
  }

  bool parseAtom(Item& item) {
    const char c = text_[pos_];
    switch (c) {
      case '(':
        ++pos_;
        if (!atEnd() && text_[pos_] == '?') {
          // Only the non-capturing group; look-arounds, options and named
          // groups are not understood.
          if (pos_ + 1 >= text_.size() || text_[pos_ + 1] != ':') return false;
          pos_ += 2;
        }
        item.kind = Item::Kind::kGroup;
        if (!parseAlternatives(item.alternatives)) return false;
        if (atEnd()) return false;  // unclosed group
        ++pos_;                     // the ")"
        return true;
      case '[':
        return parseClass(item);
      case '\\':
        return parseEscape(item);
      case '.':
      case '^':
      case '$':
        item.kind = Item::Kind::kBreak;
        ++pos_;
        return true;
      case '*':
      case '+':
      case '?':
      case '{':
      case '}':
      case ']':
        return false;
      default:
        return probeAtom(text_.substr(pos_++, 1), item);
    }
  }

  bool parseEscape(Item& item) {
    if (pos_ + 1 >= text_.size()) return false;
    const auto e = static_cast<unsigned char>(text_[pos_ + 1]);
    std::string_view atom = text_.substr(pos_, 2);
    pos_ += 2;
    if (isAsciiAlnum(e)) {
      if (isOneOf(static_cast<char>(e), "dDsSwW")) return probeAtom(atom, item);
      // Zero-width assertions: word boundaries, text start and end.
      if (isOneOf(static_cast<char>(e), "bBAzZG")) {
        item.kind = Item::Kind::kBreak;
        return true;
      }
      return false;  // back-references, \x, \Q, \p and the like
    }
    // Word start and end, buffer start and end.
    if (isOneOf(static_cast<char>(e), "<>`'")) {
      item.kind = Item::Kind::kBreak;
      return true;
    }
    if (e < 0x20 || e >= 0x7F) return false;
    return probeAtom(atom, item);  // escaped punctuation or space
  }

  // A bracket class without escapes, POSIX names or collating elements.
  bool parseClass(Item& item) {
    std::size_t end = pos_ + 1;
    if (end < text_.size() && text_[end] == '^') ++end;
    if (end < text_.size() && text_[end] == ']') ++end;  // a literal "]"
    while (end < text_.size() && text_[end] != ']') {
      if (text_[end] == '\\') return false;
      if (text_[end] == '[' && end + 1 < text_.size() &&
          isOneOf(text_[end + 1], ":.=")) {
        return false;
      }
      ++end;
    }
    if (end >= text_.size()) return false;
    std::string_view atom = text_.substr(pos_, end + 1 - pos_);
    pos_ = end + 1;
    return probeAtom(atom, item);
  }

  bool probeAtom(std::string_view atom, Item& item) {
    item.kind = Item::Kind::kSet;
    return probe_.bytesOf(atom, flags_, item.set);
  }

  bool parseNumber(int& value) {
    std::size_t start = pos_;
    value = 0;
    while (!atEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      value = value * 10 + (text_[pos_] - '0');
      if (value > 100000) return false;
      ++pos_;
    }
    return pos_ > start;
  }

  bool parseQuantifier(Item& item) {
    if (atEnd()) return true;
    int min = 1;
    int max = 1;  // -1: no upper bound
    switch (text_[pos_]) {
      case '?':
        min = 0;
        ++pos_;
        break;
      case '*':
        min = 0;
        max = -1;
        ++pos_;
        break;
      case '+':
        max = -1;
        ++pos_;
        break;
      case '{':
        ++pos_;
        if (!parseNumber(min)) return false;
        max = min;
        if (!atEnd() && text_[pos_] == ',') {
          ++pos_;
          max = -1;
          if (!atEnd() && text_[pos_] != '}' && !parseNumber(max)) return false;
        }
        if (atEnd() || text_[pos_] != '}') return false;
        ++pos_;
        if (max != -1 && max < min) return false;
        break;
      default:
        return true;
    }
    // A lazy or possessive mark changes how a match is found, not what the
    // item accepts.
    if (!atEnd() && (text_[pos_] == '?' || text_[pos_] == '+')) ++pos_;
    item.min = min;
    item.isRepeatable = max != 1;
    return true;
  }

  std::string_view text_;
  Flags flags_;
  AtomProbe& probe_;
  std::size_t pos_ = 0;
};

// The distinct byte sets of all run positions; a run refers to them by
// number.
class SetTable {
 public:
  std::size_t intern(const ByteSet& set) {
    auto found = ids_.try_emplace(set, sets_.size());
    if (found.second) sets_.push_back(set);
    return found.first->second;
  }
  const std::vector<ByteSet>& sets() const { return sets_; }

 private:
  std::vector<ByteSet> sets_;
  std::unordered_map<ByteSet, std::size_t> ids_;
};

// A stretch of consecutive positions that every match contains, as numbers
// of SetTable sets.
using Run = std::vector<std::size_t>;

// Appends the runs of `items` to `runs`, continuing `current`. A position
// that may be absent or repeated ends the run, since what stands on either
// side of it need not be adjacent in the text; a group that occurs exactly
// once with a single branch is read through; any other group ends the run.
void collectRuns(const std::vector<Item>& items, SetTable& table, Run& current,
                 std::vector<Run>& runs) {
  auto close = [&] {
    if (!current.empty()) runs.push_back(current);
    current.clear();
  };
  for (const Item& item : items) {
    switch (item.kind) {
      case Item::Kind::kBreak:
        close();
        break;
      case Item::Kind::kSet:
        if (item.min == 0 || item.set.count() > kMaxSetBytes) {
          close();
          break;
        }
        current.push_back(table.intern(item.set));
        if (item.isRepeatable) close();
        break;
      case Item::Kind::kGroup:
        if (item.alternatives.size() != 1 || item.min == 0) {
          close();
          break;
        }
        if (item.isRepeatable) close();
        collectRuns(item.alternatives.front(), table, current, runs);
        if (item.isRepeatable) close();
        break;
    }
  }
}

// The classes a set of bytes covers, ascending.
std::vector<std::uint8_t> classesOf(const ByteSet& set,
                                    const std::array<std::uint8_t, 256>& classOf) {
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
// mark), positions of two or three classes counting half, among those with
// at most kMaxExpansions class strings; then the one with fewer strings.
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

Window bestWindow(const std::vector<std::vector<std::uint8_t>>& positions) {
  Window best;
  for (std::size_t begin = 0; begin < positions.size(); ++begin) {
    std::size_t product = 1;
    double score = 0;
    for (std::size_t end = begin; end < positions.size(); ++end) {
      const std::size_t width = positions[end].size();
      product *= width;
      if (product > kMaxExpansions) break;
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
    if (bits != 0) return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
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

// Building takes four steps: parse each pattern into the runs of each of its
// branches (a pattern with a branch that has none is always a candidate);
// split the byte values into classes that no run position tells apart; pick
// in every branch the run stretch to search for and spell it out as class
// strings; and build the Aho-Corasick automaton of all those strings, whose
// every state knows the patterns of all pieces that end there.
PhrasePrefilter::PhrasePrefilter(const std::vector<Pattern>& patterns) {
  if (patterns.size() > PatternCandidates::kCapacity) {
    throw std::length_error("too many patterns for one prefilter");
  }
  AtomProbe probe;
  SetTable table;
  // branchRuns[i][k]: the runs of branch k of pattern i.
  std::vector<std::vector<std::vector<Run>>> branchRuns(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    std::vector<std::vector<Item>> branches;
    PatternParser parser(patterns[i].text, patterns[i].flags, probe);
    // Only plain Perl syntax, case-insensitive or not, is understood; other
    // syntaxes and options (free spacing, literal text...) read differently.
    const Flags other = patterns[i].flags & ~Flags(boost::regex::icase);
    bool isUsable = other == Flags(boost::regex::perl) && parser.parse(branches);
    for (const std::vector<Item>& branch : branches) {
      if (!isUsable) break;
      std::vector<Run> runs;
      Run current;
      collectRuns(branch, table, current, runs);
      if (!current.empty()) runs.push_back(current);
      isUsable = !runs.empty();
      branchRuns[i].push_back(std::move(runs));
    }
    if (!isUsable) {
      alwaysCandidates_.add(i);
      branchRuns[i].clear();
    }
  }

  // Byte classes: two bytes share a class when every run position accepts
  // both or neither. At most 256 classes, one per byte value.
  // Found by refinement: each set splits every class into the bytes it
  // accepts and those it does not.
  const std::vector<ByteSet>& sets = table.sets();
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
  const std::size_t k = classCount_;
  std::vector<std::vector<std::uint8_t>> classesOfSet;
  for (const ByteSet& set : sets) classesOfSet.push_back(classesOf(set, classOf_));

  // The pieces of every pattern, as class strings.
  std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> pieces;
  std::size_t totalLength = 0;
  for (std::size_t i = 0; i < branchRuns.size(); ++i) {
    for (const auto& runs : branchRuns[i]) {
      std::vector<std::vector<std::uint8_t>> bestPositions;
      Window best;
      for (const Run& run : runs) {
        std::vector<std::vector<std::uint8_t>> positions;
        for (std::size_t set : run) positions.push_back(classesOfSet[set]);
        Window window = bestWindow(positions);
        if (window.isBetterThan(best)) {
          best = window;
          bestPositions = std::move(positions);
        }
      }
      std::vector<std::vector<std::uint8_t>> strings;
      std::vector<std::uint8_t> prefix;
      expand(bestPositions, best.begin, best.end, prefix, strings);
      for (std::vector<std::uint8_t>& piece : strings) {
        totalLength += piece.size();
        pieces.emplace_back(i, std::move(piece));
      }
    }
  }
  pieceCount_ = pieces.size();

  // The trie, built right in the transition table: row `state` holds the
  // state's children, 0 where it has none (no piece leads back to the root).
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

  // Breadth-first, so that a state's failure state (the state of the
  // longest proper suffix of its string) is complete before it: a missing
  // transition takes the failure state's, and a state ends every piece its
  // failure state ends. A row keeps its trie children until its state is
  // reached here.
  const std::size_t states = ends.size();
  std::vector<std::uint16_t> failure(states, 0);
  std::vector<std::uint16_t> order;
  order.reserve(states);
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

  outputs_.assign(1, PatternCandidates());
  outputIndex_.assign(states, 0);
  for (std::size_t state = 0; state < states; ++state) {
    if (ends[state].empty()) continue;
    outputIndex_[state] = static_cast<std::uint16_t>(outputs_.size());
    outputs_.push_back(ends[state]);
  }
}

PatternCandidates PhrasePrefilter::candidates(std::string_view text) const {
  PatternCandidates found = alwaysCandidates_;
  if (transitions_.empty()) return found;
  const std::uint16_t* transitions = transitions_.data();
  const std::uint16_t* outputIndex = outputIndex_.data();
  const std::size_t k = classCount_;
  std::size_t state = 0;
  for (char c : text) {
    state = transitions[state * k + classOf_[static_cast<unsigned char>(c)]];
    if (outputIndex[state] != 0) found.merge(outputs_[outputIndex[state]]);
  }
  return found;
}
