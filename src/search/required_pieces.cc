// Required pieces of regular expressions, read from the pattern texts.

#include "search/required_pieces.h"

#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "message/ascii_text.h"

// Compiled alone with the given options and searched for in a text of all
// 256 byte values, so the answer is the library's own.
ByteSet bytesMatchedBy(std::string_view atom,
                       boost::regex_constants::syntax_option_type flags) {
  char allBytes[256];
  for (int b = 0; b < 256; ++b) allBytes[b] = static_cast<char>(b);
  ByteSet bytes;
  try {
    const boost::regex re(atom.begin(), atom.end(), flags);
    const char* const begin = allBytes;
    const char* const end = allBytes + sizeof allBytes;
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

namespace {

using Flags = boost::regex_constants::syntax_option_type;

// A position that accepts more bytes than this (".", "\W", a wide class)
// says little about the text and ends a piece.
constexpr std::size_t kMaxSetBytes = 40;

// bytesMatchedBy, remembered per atom and options.
class AtomProbe {
 public:
  // False when the atom does not compile, accepts no byte at all, or
  // matches anything but a single byte.
  bool bytesOf(std::string_view atom, Flags flags, ByteSet& out) {
    auto key = std::make_pair(std::string(atom), static_cast<unsigned>(flags));
    auto found = cache_.find(key);
    if (found == cache_.end()) {
      found = cache_.emplace(std::move(key), bytesMatchedBy(atom, flags)).first;
    }
    out = found->second;
    return out.any();
  }

 private:
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
    if (isAsciiAlnum(static_cast<char>(e))) {
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
    while (!atEnd() && isAsciiDigit(text_[pos_])) {
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
  const ByteSet& set(std::size_t id) const { return sets_[id]; }
  std::vector<ByteSet> take() { return std::move(sets_); }

 private:
  std::vector<ByteSet> sets_;
  std::unordered_map<ByteSet, std::size_t> ids_;
};

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

// How much the best of `runs` rules out, as the prefilter will judge it: its
// best stretch of up to kMaxPieceLength positions, a position that accepts
// one byte or a letter in either case counting 1 and one of up to six bytes
// a half.
double weightOf(const std::vector<Run>& runs, const SetTable& table) {
  double best = 0;
  for (const Run& run : runs) {
    for (std::size_t begin = 0; begin < run.size(); ++begin) {
      double weight = 0;
      for (std::size_t at = begin;
           at < run.size() && at < begin + kMaxPieceLength; ++at) {
        const std::size_t count = table.set(run[at]).count();
        weight += count <= 2 ? 1.0 : count <= 6 ? 0.5 : 0.0;
      }
      best = std::max(best, weight);
    }
  }
  return best;
}

bool addBranchRuns(const std::vector<Item>& branch, SetTable& table,
                   std::vector<std::vector<Run>>& out);

// The branches of `group` added to `out` with the weight of the weakest of
// them; false when one of them has no runs.
bool addGroupRuns(const Item& group, SetTable& table,
                  std::vector<std::vector<Run>>& out, double& weight) {
  const std::size_t first = out.size();
  for (const std::vector<Item>& alternative : group.alternatives) {
    if (!addBranchRuns(alternative, table, out)) return false;
  }
  weight = out.size() > first ? weightOf(out[first], table) : 0;
  for (std::size_t k = first; k < out.size(); ++k) {
    weight = std::min(weight, weightOf(out[k], table));
  }
  return true;
}

// A branch whose own runs weigh less than this says next to nothing about a
// text (a "\s" between two groups of words, say).
constexpr double kWeakRuns = 2;

// Appends the runs of `branch` to `out` as one branch or several. A group
// that occurs at least once in the branch may stand for it, as that group's
// branches, since every match of the branch contains a match of one of
// them: so it does when the branch has no runs of its own, or only weak
// ones and the weakest of the group's branches weighs more. (Own runs of
// some weight are kept: a reply code and a blank is rarer in a text than
// the common words a group may list.) False when no runs can be found
// either way.
bool addBranchRuns(const std::vector<Item>& branch, SetTable& table,
                   std::vector<std::vector<Run>>& out) {
  std::vector<Run> runs;
  Run current;
  collectRuns(branch, table, current, runs);
  if (!current.empty()) runs.push_back(current);
  // The groups are tried on a copy of the table, so that the byte sets of a
  // group not taken do not split the byte classes.
  const double ownWeight = runs.empty() ? -1 : weightOf(runs, table);
  double bestWeight = ownWeight;
  const Item* bestGroup = nullptr;
  for (const Item& item : branch) {
    if (ownWeight >= kWeakRuns) break;
    if (item.kind != Item::Kind::kGroup || item.min == 0) continue;
    SetTable trial = table;
    std::vector<std::vector<Run>> expanded;
    double weight = 0;
    if (addGroupRuns(item, trial, expanded, weight) && weight > bestWeight) {
      bestWeight = weight;
      bestGroup = &item;
    }
  }
  if (bestGroup != nullptr) {
    double weight = 0;
    return addGroupRuns(*bestGroup, table, out, weight);
  }
  if (runs.empty()) return false;
  out.push_back(std::move(runs));
  return true;
}

// The runs of each branch of one pattern; false when the pattern cannot be
// read or has a branch without any run.
bool branchRunsOf(const PatternText& pattern, AtomProbe& probe, SetTable& table,
                  std::vector<std::vector<Run>>& out) {
  // Only plain Perl syntax, case-insensitive or not, is understood; other
  // syntaxes and options (free spacing, literal text...) read differently.
  const Flags other = pattern.flags & ~Flags(boost::regex::icase);
  std::vector<std::vector<Item>> branches;
  PatternParser parser(pattern.text, pattern.flags, probe);
  if (other != Flags(boost::regex::perl) || !parser.parse(branches)) {
    return false;
  }
  for (const std::vector<Item>& branch : branches) {
    if (!addBranchRuns(branch, table, out)) return false;
  }
  return true;
}

}  // namespace

RequiredPieces deriveRequiredPieces(const std::vector<PatternText>& patterns) {
  AtomProbe probe;
  SetTable table;
  RequiredPieces pieces;
  pieces.branchRuns.resize(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (!branchRunsOf(patterns[i], probe, table, pieces.branchRuns[i])) {
      pieces.branchRuns[i].clear();
    }
  }
  pieces.sets = table.take();
  return pieces;
}
