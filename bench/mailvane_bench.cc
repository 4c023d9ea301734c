// Micro-benchmarks of what a run over a large mailbox spends its time on:
// reading lines across many blocks, the header block, the MIME cut, the
// encoded-word decoder, the phrase-table scan over a free-text bounce with a
// long SMTP transcript, and analyse() of each example message (and of the
// development corpus beside the repository, when it is there).
//
// Messages are loaded into memory before timing starts, so file reading is
// not measured here; bench/throughput.sh times whole runs over files.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "analysis/message_analysis.h"
#include "analysis/patterns.h"
#include "analysis/status_codes.h"
#include "message/header_fields.h"
#include "message/message_buffer.h"
#include "message/mime_message.h"

namespace {

namespace fs = std::filesystem;

// Fills `buffer` with `bytes` through the same fill path a file takes.
void loadText(MessageBuffer& buffer, const std::string& bytes) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  buffer.loadFrom(file);
  std::fclose(file);
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// About a megabyte of lines of mixed length: mostly short and medium text
// lines, empty lines, and now and then one longer than a readLine piece.
std::string mixedLines() {
  std::string text;
  unsigned seed = 12345;
  while (text.size() < (1u << 20)) {
    seed = seed * 1103515245u + 12345u;
    unsigned pick = (seed >> 16) % 100;
    std::size_t length = pick < 10 ? 0 : pick < 95 ? 20 + pick : 5000;
    for (std::size_t i = 0; i < length; ++i) {
      text += static_cast<char>('a' + (i * 7 + pick) % 26);
    }
    text += pick % 2 == 0 ? "\r\n" : "\n";
  }
  return text;
}

// The header block of a bounce as relays leave it: a stack of folded
// "Received" fields, the usual fields and a multipart "Content-Type".
std::string bounceHeaderBlock() {
  std::string text = "Return-Path: <>\n";
  for (int hop = 0; hop < 8; ++hop) {
    std::string n = std::to_string(hop);
    text += "Received: from mx" + n + ".example.net (mx" + n +
            ".example.net [192.0.2." + n +
            "])\n\tby relay.example.com (Postfix) with ESMTPS id 4F2C41A0E" +
            n + "\n\tfor <newsletter@example.com>; Tue,  5 Mar 2024 10:02:1" +
            n + " +0100 (CET)\n";
  }
  text +=
      "Date: Tue,  5 Mar 2024 10:02:11 +0100 (CET)\n"
      "From: MAILER-DAEMON@mx.example.net (Mail Delivery System)\n"
      "To: orders@example.com\n"
      "Subject: =?UTF-8?B?VW5kZWxpdmVyZWQgTWFpbA==?= Returned to Sender\n"
      "Auto-Submitted: auto-replied\n"
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/report; report-type=delivery-status;\n"
      "\tboundary=\"8F2C41A0E3.1709629331/mx.example.net\"\n"
      "Content-Transfer-Encoding: 7bit\n"
      "Message-Id: <20240305090211.9D1B7A0E44@mx.example.net>\n"
      "\n";
  return text;
}

// A delivery-status report with a long returned message: the header block
// above, a notification part, the report part and the returned message.
std::string multipartBounce() {
  const std::string boundary = "--8F2C41A0E3.1709629331/mx.example.net";
  std::string text = bounceHeaderBlock();
  text += "This is a MIME-encapsulated message.\n\n" + boundary +
          "\nContent-Description: Notification\n"
          "Content-Type: text/plain; charset=us-ascii\n\n"
          "<ines.moreau@example.org>: host mx.example.org[198.51.100.12] "
          "said: 550 5.1.1\n    <ines.moreau@example.org>: Recipient address "
          "rejected: User unknown\n\n" +
          boundary +
          "\nContent-Type: message/delivery-status\n\n"
          "Reporting-MTA: dns; mx.example.net\n\n"
          "Final-Recipient: rfc822; ines.moreau@example.org\n"
          "Action: failed\nStatus: 5.1.1\n"
          "Diagnostic-Code: smtp; 550 5.1.1 User unknown\n\n" +
          boundary + "\nContent-Type: message/rfc822\n\n";
  text += bounceHeaderBlock();
  for (int i = 0; i < 300; ++i) {
    text += "Line " + std::to_string(i) +
            " of the newsletter, with some ordinary words in it and a link "
            "to https://example.com/spring\n";
  }
  text += boundary + "--\n";
  return text;
}

constexpr char kTranscriptRecipient[] = "nadia.vogel@example.org";

// A free-text bounce whose transcript of `rounds` delivery attempts comes
// between the recipient's line and the rejection. No transcript line decides
// anything, so the scan tests every one of them against the whole table.
std::string transcriptBounce(int rounds) {
  const std::string rcpt = kTranscriptRecipient;
  std::string text =
      "From: Mail Delivery Subsystem <MAILER-DAEMON@relay.example.com>\n"
      "To: <newsletter@example.com>\n"
      "Subject: Returned mail: see transcript for details\n"
      "Content-Type: text/plain; charset=us-ascii\n\n"
      "The original message was received at Mon, 11 Mar 2024 09:43:21 GMT\n"
      "from client.example.com [192.0.2.15]\n\n"
      "   ----- The following addresses had permanent fatal errors -----\n<" +
      rcpt + ">\n\n   ----- Transcript of session follows -----\n";
  for (int r = 0; r < rounds; ++r) {
    std::string n = std::to_string(r % 10);
    text += "... while talking to mx" + n +
            ".example.org.:\n"
            ">>> EHLO relay.example.com\n"
            "<<< 250-mx" +
            n +
            ".example.org Hello relay.example.com [192.0.2.1], pleased to meet "
            "you\n"
            "<<< 250-ENHANCEDSTATUSCODES\n"
            "<<< 250-PIPELINING\n"
            "<<< 250-8BITMIME\n"
            "<<< 250-SIZE 52428800\n"
            "<<< 250-DSN\n"
            "<<< 250 HELP\n"
            ">>> MAIL FROM:<newsletter@example.com> SIZE=4120\n"
            "<<< 250 Sender ok\n"
            ">>> RCPT TO:<" +
            rcpt +
            ">\n"
            "<<< 250 Recipient ok\n"
            ">>> DATA\n"
            "<<< 354 Enter mail, end with \".\" on a line by itself\n"
            ">>> .\n"
            "Deferred: Connection reset by mx" +
            n +
            ".example.org.\n"
            "Will keep on trying for the next hours; this is attempt " +
            std::to_string(r + 1) + "\n";
  }
  text += "<<< 550 5.1.1 <" + rcpt + ">... User unknown\n" + "550 5.1.1 <" +
          rcpt + ">... User unknown\n\n" +
          "------ This is a copy of the message, including all the headers. "
          "------\n\n";
  return text;
}

// The body lines of a message as the analysis stores them, as copies that
// outlive the buffer.
std::vector<std::string> bodyLines(const std::string& text) {
  MessageBuffer buffer;
  loadText(buffer, text);
  MimeMessage message;
  BufferPosition position = buffer.start();
  parseHeaderBlock(&buffer, position, message.rootTarget());
  parseBody(&buffer, position, message);
  return {message.root.lines.begin(), message.root.lines.end()};
}

void BM_ReadLine(benchmark::State& state) {
  const std::string text = mixedLines();
  MessageBuffer buffer;
  loadText(buffer, text);
  char line[MessageBuffer::kLineAreaSize];
  for (auto _ : state) {
    BufferPosition position = buffer.start();
    int total = 0;
    int n;
    while ((n = buffer.readLine(position, line, &position)) > 0) total += n;
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadLine);

void BM_ReadTextLine(benchmark::State& state) {
  const std::string text = mixedLines();
  MessageBuffer buffer;
  loadText(buffer, text);
  std::string line;
  for (auto _ : state) {
    BufferPosition position = buffer.start();
    std::size_t total = 0;
    while (buffer.readTextLine(position, line)) total += line.size();
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadTextLine);

void BM_ReadLineView(benchmark::State& state) {
  const std::string text = mixedLines();
  MessageBuffer buffer;
  loadText(buffer, text);
  std::string_view line;
  std::string joined;
  for (auto _ : state) {
    BufferPosition position = buffer.start();
    std::size_t total = 0;
    while (buffer.readLineView(position, line, joined)) total += line.size();
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadLineView);

void BM_HeaderBlock(benchmark::State& state) {
  const std::string text = bounceHeaderBlock();
  MessageBuffer buffer;
  loadText(buffer, text);
  MimeMessage message;
  for (auto _ : state) {
    BufferPosition position = buffer.start();
    parseHeaderBlock(&buffer, position, message.rootTarget());
    benchmark::DoNotOptimize(message.boundary.data());
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_HeaderBlock);

void BM_MimeCut(benchmark::State& state) {
  const std::string text = multipartBounce();
  MessageBuffer buffer;
  loadText(buffer, text);
  MimeMessage message;
  BufferPosition bodyStart = buffer.start();
  parseHeaderBlock(&buffer, bodyStart, message.rootTarget());
  for (auto _ : state) {
    message.root.lines.clear();
    message.parts.clear();
    BufferPosition position = bodyStart;
    parseBody(&buffer, position, message);
    benchmark::DoNotOptimize(message.parts.data());
  }
  if (message.parts.size() != 3) state.SkipWithError("the cut found no parts");
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_MimeCut);

void BM_DecodeEncodedWords(benchmark::State& state) {
  const std::string subject =
      "=?UTF-8?B?VW5kZWxpdmVyZWQgTWFpbCBSZXR1cm5lZCB0byBTZW5kZXI=?= "
      "=?ISO-8859-1?Q?R=E9ponse_automatique_=3A_absent_du_bureau?= "
      "(ticket 30817) =?utf-8?q?Unzustellbar=3A_Ihre_Nachricht?=";
  for (auto _ : state) {
    std::string decoded = decodeEncodedWords(subject);
    benchmark::DoNotOptimize(decoded.data());
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(subject.size()));
}
BENCHMARK(BM_DecodeEncodedWords);

// The phrase table alone on one line that no row matches, so every row is
// tried: the cost of one undecided body line.
void BM_MatchStatusPhraseNoMatch(benchmark::State& state) {
  const std::string line =
      "<<< 250-mx1.example.org Hello relay.example.com [192.0.2.1], pleased "
      "to meet you";
  const Mailvane& patterns = mailvane();
  for (auto _ : state) {
    std::string status = patterns.matchStatusPhrase(line);
    benchmark::DoNotOptimize(status.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MatchStatusPhraseNoMatch);

void BM_ScanForStatusTranscript(benchmark::State& state) {
  const std::vector<std::string> owned =
      bodyLines(transcriptBounce(static_cast<int>(state.range(0))));
  const TextLines lines(owned.begin(), owned.end());
  const std::string recipient = kTranscriptRecipient;
  const Mailvane& patterns = mailvane();
  std::string status;
  for (auto _ : state) {
    status = scanForStatus(patterns, lines, recipient, 0);
    benchmark::DoNotOptimize(status.data());
  }
  if (status != "5.1.1") state.SkipWithError("the scan found the wrong status");
  state.SetItemsProcessed(state.iterations() *
                          static_cast<int64_t>(lines.size()));
  state.SetLabel(std::to_string(lines.size()) + " lines");
}
BENCHMARK(BM_ScanForStatusTranscript)->Arg(30);

// analyse() of messages loaded once; items are messages.
void analyseBuffers(benchmark::State& state,
                    const std::vector<std::unique_ptr<MessageBuffer>>* buffers,
                    int64_t bytes) {
  MessageAnalysis& analysis = messageAnalysis();
  for (auto _ : state) {
    for (const auto& buffer : *buffers) {
      analysis.analyse(buffer.get());
      benchmark::DoNotOptimize(analysis.recipients.data());
    }
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<int64_t>(buffers->size()));
  state.SetBytesProcessed(state.iterations() * bytes);
}

// Messages loaded for the analyse benchmarks; they live for the whole run.
struct LoadedSet {
  std::vector<std::unique_ptr<MessageBuffer>> buffers;
  int64_t bytes = 0;

  void add(const std::string& text) {
    buffers.push_back(std::make_unique<MessageBuffer>());
    loadText(*buffers.back(), text);
    bytes += static_cast<int64_t>(text.size());
  }
};

std::vector<std::unique_ptr<LoadedSet>>& loadedSets() {
  static std::vector<std::unique_ptr<LoadedSet>> sets;
  return sets;
}

void registerAnalyse(const std::string& name, LoadedSet* set) {
  benchmark::RegisterBenchmark(
      ("BM_Analyse/" + name).c_str(), [set](benchmark::State& state) {
        analyseBuffers(state, &set->buffers, set->bytes);
      });
}

void registerAnalyseBenchmarks() {
  std::vector<fs::path> examples;
  for (const auto& entry :
       fs::directory_iterator(fs::path(MAILVANE_SOURCE_DIR) / "examples")) {
    if (entry.path().extension() == ".eml") examples.push_back(entry.path());
  }
  std::sort(examples.begin(), examples.end());
  for (const fs::path& path : examples) {
    auto set = std::make_unique<LoadedSet>();
    set->add(readFile(path));
    registerAnalyse(path.stem().string(), set.get());
    loadedSets().push_back(std::move(set));
  }

  auto transcript = std::make_unique<LoadedSet>();
  transcript->add(transcriptBounce(30));
  registerAnalyse("generated-transcript", transcript.get());
  loadedSets().push_back(std::move(transcript));

  // The development corpus lies beside the repository for development only;
  // without it this one benchmark is simply not registered. CR-only files
  // are left out, as in the throughput benchmark.
  const fs::path corpus = fs::path(MAILVANE_SHARED_DIR) / "corpus";
  std::error_code error;
  if (!fs::is_directory(corpus, error)) return;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(corpus, error)) {
    const fs::path& path = entry.path();
    if (entry.is_regular_file() && path.extension() == ".eml" &&
        path.parent_path().filename() != "mac") {
      files.push_back(path);
    }
  }
  std::sort(files.begin(), files.end());
  auto set = std::make_unique<LoadedSet>();
  for (const fs::path& path : files) set->add(readFile(path));
  registerAnalyse("corpus", set.get());
  loadedSets().push_back(std::move(set));
}

}  // namespace

int main(int argc, char** argv) {
  registerAnalyseBenchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
