// A hand scan for the address pattern of body lines,
// "\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,4})\b" with letter case ignored:
// one pass per "@" in place of the library's backtracking, which on a long
// line of local-part bytes starts over at each of them.
//
// The scan reads the pattern text below and nothing else: it engages only
// when the text it is given is exactly that one (and the library reads "@"
// and "\." as themselves, which no class holds), so a changed table row
// makes it step aside rather than give another answer. The bytes of its
// classes and of "\b" are the library's own. Built once; afterwards
// read-only.

#ifndef MAILVANE_SEARCH_ADDRESS_SCAN_H_
#define MAILVANE_SEARCH_ADDRESS_SCAN_H_

#include <string_view>

#include "search/required_pieces.h"

class AddressScan {
 public:
  // The pattern text the scan reads, in /pattern/flags form.
  static constexpr std::string_view kEmailAddress =
      R"(/\b([A-Z0-9._%-]+@[A-Z0-9.-]+\.[A-Z]{2,4})\b/i)";

  // A scan for the pattern of `text`; engaged only when it is kEmailAddress.
  explicit AddressScan(std::string_view text);

  bool isEngaged() const { return isEngaged_; }

  // The leftmost match in `line` as `address`, as the library's search
  // finds it; false when there is none.
  // REQUIRES: isEngaged()
  bool find(std::string_view line, std::string_view& address) const;

 private:
  bool isWordEdge(std::string_view line, std::size_t i) const;
  // The end of the leftmost domain part after the "@" at `at`, with its
  // point and two to four letters and a word edge after them; 0 when none.
  std::size_t domainEnd(std::string_view line, std::size_t at) const;

  bool isEngaged_ = false;
  ByteSet localBytes_;
  ByteSet domainBytes_;
  ByteSet letterBytes_;
  ByteSet wordBytes_;
};

#endif  // MAILVANE_SEARCH_ADDRESS_SCAN_H_
