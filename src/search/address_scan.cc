// The address scan (see the header).

#include "search/address_scan.h"

#include <boost/regex.hpp>

namespace {

bool isIn(const ByteSet& set, std::string_view line, std::size_t i) {
  return set.test(static_cast<unsigned char>(line[i]));
}

}  // namespace

AddressScan::AddressScan(std::string_view text) {
  const auto flags = boost::regex::perl | boost::regex::icase;
  localBytes_ = bytesMatchedBy("[A-Z0-9._%-]", flags);
  domainBytes_ = bytesMatchedBy("[A-Z0-9.-]", flags);
  letterBytes_ = bytesMatchedBy("[A-Z]", flags);
  wordBytes_ = bytesMatchedBy(R"(\w)", flags);
  ByteSet at;
  at.set('@');
  ByteSet point;
  point.set('.');
  // The scan takes "@" and "\." for themselves, and relies on neither
  // class holding an "@": then the local part of a match lies between two
  // of them.
  isEngaged_ = text == kEmailAddress && bytesMatchedBy("@", flags) == at &&
               bytesMatchedBy(R"(\.)", flags) == point &&
               !localBytes_.test('@') && !domainBytes_.test('@');
}

// Whether "\b" holds before byte i: a word byte on one side only (the ends
// of the line count as no word byte).
bool AddressScan::isWordEdge(std::string_view line, std::size_t i) const {
  return (i > 0 && isIn(wordBytes_, line, i - 1)) !=
         (i < line.size() && isIn(wordBytes_, line, i));
}

// The domain part is the longest run of domain bytes after the "@", given
// back from the right until a point, four, three or two letters and a word
// edge follow.
std::size_t AddressScan::domainEnd(std::string_view line,
                                   std::size_t at) const {
  const std::size_t n = line.size();
  std::size_t end = at + 1;
  while (end < n && isIn(domainBytes_, line, end)) ++end;
  // The point after at least one domain byte, from the right.
  for (std::size_t point = end + 1; point-- > at + 2;) {
    if (point >= n || line[point] != '.') continue;
    std::size_t letters = 0;
    while (letters < 4 && point + 1 + letters < n &&
           isIn(letterBytes_, line, point + 1 + letters)) {
      ++letters;
    }
    for (; letters >= 2; --letters) {
      const std::size_t stop = point + 1 + letters;
      if (isWordEdge(line, stop)) return stop;
    }
  }
  return 0;
}

// The pattern read at each "@" in turn, as the library's backtracking
// search reads it. A match holds exactly one "@", so its local part is the
// run of local bytes before one, and the leftmost match starts at the first
// word edge in that run, at the first "@" whose domain part matches; the
// local part's start plays no part in where the domain part ends.
bool AddressScan::find(std::string_view line, std::string_view& address) const {
  for (std::size_t at = line.find('@'); at != std::string_view::npos;
       at = line.find('@', at + 1)) {
    std::size_t start = at;
    while (start > 0 && isIn(localBytes_, line, start - 1)) --start;
    while (start < at && !isWordEdge(line, start)) ++start;
    if (start == at) continue;
    const std::size_t stop = domainEnd(line, at);
    if (stop != 0) {
      address = line.substr(start, stop - start);
      return true;
    }
  }
  return false;
}
