// The search engine: general machinery for answering regular-expression
// searches faster than the library's backtracking, each answer the one the
// library would give. Nothing here knows about bounces; src/analysis holds
// the patterns and tables (analysis/patterns.h, the Mailvane object) and
// decides which search serves which rule. Nothing here includes
// src/analysis; the only other include is message/ascii_text.h.
//
//   required_pieces.h    what every match of a pattern must contain
//   phrase_prefilter.h   one automaton pass that rules patterns out
//   long_text_search.h   linear forms of the searches that grow with the
//                        square of the text, and FoldedText
//   status_code_scan.h   the hand scan for the status-code patterns
//   address_scan.h       the hand scan for the address pattern
//
// Fast paths. Each one answers as a reference, and a test compares the two
// over generated and real input. Mailvane(false) is the object with no fast
// path at all: the library tries every pattern and every phrase row in
// order. A hand scan and the linear searches engage only when the pattern
// text is the one they read; Mailvane::fastPaths() tells which are engaged,
// and PhrasePrefilterTest.EveryFastPathIsEngagedForTheShippedTables expects
// all of them (so a table change that switches one off shows).
//
// - Line prefilter (phrase rows and the four line patterns): as
//   Mailvane(false). PhrasePrefilterTest.GeneratedLinesDecideAsWithoutFilter,
//   .CorpusDecidesAsWithoutFilter, .ExampleMessagesDecideAsWithoutFilter;
//   fuzz/fuzz_searches.cc.
// - The prefilter of any pattern: as the library (a pattern that matches is
//   a candidate). PhrasePrefilterTest.AMatchingPatternIsAlwaysACandidate.
// - Header prefilter: as the library.
//   PhrasePrefilterTest.HeaderRulesAnswerAsTheLibrary.
// - Subject prefilter and the bounce subject's plain words: as the library.
//   PhrasePrefilterTest.BounceSubjectsAnswerAsTheLibrary.
// - Absence tail of the subject patterns (hasAbsenceBeforeOffice): as the
//   library. LongTextSearchTest.SubjectPatternsAnswerAsTheLibrary.
// - Reply code opening a refusal (ReplyCodeRefusal): as the library.
//   LongTextSearchTest.ReplyCodeSearchFindsTheLibrarysMatch;
//   fuzz/fuzz_searches.cc.
// - Gapped phrase rows (GappedPhrase): as the library.
//   LongTextSearchTest.GappedPhrasesAreRecognisedAndAnswerAsTheLibrary.
// - Status-code scan (StatusCodeScan): as Mailvane(false).
//   StatusCodesTest.ScansAnswerAsTheLibrary.
// - Address scan (AddressScan): as Mailvane(false), and from an offset as
//   the library's iteration. AddressSearchTest.ScanAnswersAsTheLibrary.
// - FoldedText: as findIgnoreCase.
//   LongTextSearchTest.FoldedTextAnswersAsFindIgnoreCase.

#ifndef MAILVANE_SEARCH_SEARCH_H_
#define MAILVANE_SEARCH_SEARCH_H_

#include "search/address_scan.h"
#include "search/long_text_search.h"
#include "search/phrase_prefilter.h"
#include "search/required_pieces.h"
#include "search/status_code_scan.h"

#endif  // MAILVANE_SEARCH_SEARCH_H_
