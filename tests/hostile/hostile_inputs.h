// Hostile message files and what the program must make of them: a 200 MB
// message, a 50 MB line, a million short lines, 100,000 parts, recipient
// paragraphs or lines naming the recipient, a 10 MB header, zero bytes,
// random bytes, broken UTF-16, a 1 MB encoded subject, texts on which a
// plain pattern search would backtrack for minutes, and a text that drives a
// pattern into the regex library's stack limit.
//
// Each input is written as a stream of bounded chunks, so even the largest
// never sits in memory whole here. Shared by the hostile-input tests and by
// bench/hostile.sh (through bench/hostile_gen.cc), so both work on the same
// bytes. The texts are fixed: the random input comes from a seeded
// generator.

#ifndef MAILVANE_TESTS_HOSTILE_HOSTILE_INPUTS_H_
#define MAILVANE_TESTS_HOSTILE_HOSTILE_INPUTS_H_

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hostile {

constexpr std::size_t kMiB = 1024 * 1024;

// Appends to a file through a 1 MiB buffer. ok() turns false for good once a
// write fails.
class ChunkWriter {
 public:
  explicit ChunkWriter(const std::filesystem::path& path)
      : file_(std::fopen(path.string().c_str(), "wb")),
        isOk_(file_ != nullptr) {
    buffer_.reserve(kMiB);
  }
  ~ChunkWriter() { close(); }
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  void put(std::string_view text) {
    if (buffer_.size() + text.size() > kMiB) flush();
    if (text.size() > kMiB) {
      write(text);
    } else {
      buffer_.append(text);
    }
    written_ += text.size();
  }
  void repeat(std::string_view text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) put(text);
  }
  // Repeats `text` until at least `size` bytes have been written in all.
  void fillTo(std::string_view text, std::size_t size) {
    while (written_ < size) put(text);
  }
  std::size_t written() const { return written_; }
  bool ok() const { return isOk_; }
  void close() {
    if (file_ == nullptr) return;
    flush();
    if (std::fclose(file_) != 0) isOk_ = false;
    file_ = nullptr;
  }

 private:
  void flush() {
    write(buffer_);
    buffer_.clear();
  }
  void write(std::string_view text) {
    if (file_ != nullptr && !text.empty() &&
        std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
      isOk_ = false;
    }
  }

  std::FILE* file_;
  std::string buffer_;
  bool isOk_;
  std::size_t written_ = 0;
};

// One recipient's findings as the program prints and writes them.
struct Row {
  std::string action;
  std::string status;
  std::string recipient;
  bool operator==(const Row&) const = default;
};

// What the program must make of an input: either the verdicts, the subject
// and the rows, or (for `abandonedWith` non-empty) the message given up with
// "Unable to analyse eml" and that library error text, and nothing else.
struct Expected {
  bool isBounce = false;
  bool isFbl = false;
  bool isAutoResponse = false;
  std::string subject;
  std::vector<Row> rows;
  std::string abandonedWith;
};

struct HostileInput {
  std::string name;  // the file name
  std::function<void(ChunkWriter&)> write;
  Expected expected;
};

namespace detail {

// A line that matches no phrase of the status table, names no address and
// holds no status code.
constexpr std::string_view kProse =
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do "
    "eiusmod tempor.\r\n";
constexpr std::string_view kWords = "lorem ipsum dolor sit amet ";
constexpr std::string_view kRecipient = "lost@example.org";
// A bounce whose recipient is listed in "X-failed-recipients": its status
// comes from the scan of the body lines.
constexpr std::string_view kListedBounceHeader =
    "From: MAILER-DAEMON@example.org\r\n"
    "Subject: Mail delivery failed\r\n"
    "X-failed-recipients: lost@example.org\r\n"
    "\r\n";
constexpr std::string_view kListedBounceSubject = "Mail delivery failed";
constexpr std::string_view kReportHeader =
    "From: MAILER-DAEMON@example.org\r\n"
    "Subject: Undelivered Mail Returned to Sender\r\n"
    "Content-Type: multipart/report; report-type=delivery-status; "
    "boundary=\"b\"\r\n"
    "\r\n"
    "--b\r\n"
    "\r\n"
    "The message could not be delivered.\r\n"
    "--b\r\n"
    "Content-Type: message/delivery-status\r\n"
    "\r\n"
    "Reporting-MTA: dns; mx.example.org\r\n"
    "\r\n";
constexpr std::string_view kReportSubject =
    "Undelivered Mail Returned to Sender";

inline Expected bounce(std::string_view subject, std::vector<Row> rows) {
  Expected expected;
  expected.isBounce = true;
  expected.subject = subject;
  expected.rows = std::move(rows);
  return expected;
}

inline Expected nothingFound() { return Expected{}; }

inline Expected abandoned(std::string_view error) {
  Expected expected;
  expected.abandonedWith = error;
  return expected;
}

inline std::string recipientNumbered(int n) {
  char address[32];
  std::snprintf(address, sizeof address, "r%06d@example.org", n);
  return address;
}

// UTF-16 little-endian bytes of code units.
inline std::string utf16Bytes(const std::u16string& units) {
  std::string bytes;
  for (char16_t unit : units) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

inline std::u16string widen(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

inline std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t n = (uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                 (uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                 uint32_t{static_cast<unsigned char>(bytes[i + 2])};
    for (int shift = 18; shift >= 0; shift -= 6) {
      out += kAlphabet[(n >> shift) & 63];
    }
  }
  // Callers pass a multiple of three bytes: no padding is needed.
  return out;
}

// The seeded generator of the random input (xorshift64*).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
  }

 private:
  uint64_t state_;
};

inline constexpr char kStackError[] =
    "Ran out of stack space trying to match the regular expression.";

}  // namespace detail

// The inputs in a fixed order, smallest cost first.
inline std::vector<HostileInput> hostileInputs() {
  using namespace detail;
  const Row lostFailed{"failed", "5.1.1", std::string(kRecipient)};
  const Row lostFull{"transient", "4.2.2", std::string(kRecipient)};
  std::vector<HostileInput> inputs;

  // Zero bytes: the whole file is one line that ends at its first byte, so
  // the header block is empty and so is the body.
  inputs.push_back(
      {"all-nul-8mb.eml",
       [](ChunkWriter& out) { out.fillTo(std::string(4096, '\0'), 8 * kMiB); },
       nothingFound()});

  // Random bytes: no header the analysis looks at, so no finding.
  inputs.push_back({"random-binary-16mb.eml",
                    [](ChunkWriter& out) {
                      Random random(20240305);
                      std::string chunk(8, '\0');
                      while (out.written() < 16 * kMiB) {
                        uint64_t n = random.next();
                        for (int i = 0; i < 8; ++i) {
                          chunk[i] = static_cast<char>(n >> (8 * i));
                        }
                        out.put(chunk);
                      }
                    },
                    nothingFound()});

  // UTF-16 of odd length: the last lone byte is no code unit and is dropped.
  inputs.push_back({"utf16-odd-length.eml",
                    [](ChunkWriter& out) {
                      std::string text(kListedBounceHeader);
                      text += "550 5.1.1 user unknown\r\n";
                      for (int i = 0; i < 2000; ++i) text += kProse;
                      out.put("\xFF\xFE");
                      out.put(utf16Bytes(widen(text)));
                      out.put("A");
                    },
                    bounce(kListedBounceSubject, {lostFailed})});

  // UTF-16 with a lone high and a lone low surrogate in the subject (each
  // becomes U+FFFD), and a surrogate pair whose halves end the first 8192-byte
  // read and start the second (it stays one character).
  {
    const std::u16string start = u"Subject: Mail delivery failed ";
    // The mark takes 2 bytes of the first read, leaving 4095 code units.
    const std::size_t pad = 4094 - start.size();
    std::string subject = "Mail delivery failed " + std::string(pad, 'x') +
                          "\xF0\x9F\x98\x80 \xEF\xBF\xBD \xEF\xBF\xBD";
    inputs.push_back({"utf16-unpaired-surrogates.eml",
                      [start, pad](ChunkWriter& out) {
                        std::u16string units =
                            start + std::u16string(pad, u'x');
                        units += {0xD83D, 0xDE00, u' ', 0xD800, u' ', 0xDC00};
                        units += widen(
                            "\r\nX-failed-recipients: lost@example.org\r\n\r\n"
                            "550 5.1.1 user unknown ");
                        units += {0xDFFF, 0xD800};
                        units += widen("\r\n");
                        out.put("\xFF\xFE");
                        out.put(utf16Bytes(units));
                      },
                      bounce(subject, {lostFailed})});
  }

  // 1 MiB of base64 in one encoded word: 768 KiB of subject text.
  {
    std::string subject = "Undeliverable: ";
    while (subject.size() < 768 * 1024) subject += kWords;
    subject.resize(768 * 1024);
    inputs.push_back({"base64-subject-1mb.eml",
                      [subject](ChunkWriter& out) {
                        out.put("Subject: =?UTF-8?B?");
                        out.put(base64(subject));
                        out.put(
                            "?=\r\nX-failed-recipients: lost@example.org\r\n"
                            "\r\n550 5.1.1 user unknown\r\n");
                      },
                      bounce(subject, {lostFailed})});
  }

  // A 10 MiB header block: the subject folded over some 360,000 lines. Header
  // unfolding drops the first blank of each continuation and joins the rest
  // with nothing between.
  {
    constexpr std::string_view kFold = " lorem ipsum dolor sit amet\r\n";
    const std::size_t folds = 10 * kMiB / kFold.size() + 1;
    std::string subject = "Mail delivery failed:";
    subject.reserve(subject.size() + folds * (kFold.size() - 3));
    for (std::size_t i = 0; i < folds; ++i) {
      subject += kFold.substr(1, kFold.size() - 3);
    }
    inputs.push_back({"header-10mb.eml",
                      [kFold, folds](ChunkWriter& out) {
                        out.put(
                            "From: MAILER-DAEMON@example.org\r\n"
                            "X-failed-recipients: lost@example.org\r\n"
                            "Subject: Mail delivery failed:\r\n");
                        out.repeat(kFold, folds);
                        out.put("\r\n550 5.1.1 user unknown\r\n");
                      },
                      bounce(subject, {lostFailed})});
  }

  // A million short lines: each is scanned against the whole status table
  // before the last one decides.
  inputs.push_back({"short-lines-1m.eml",
                    [](ChunkWriter& out) {
                      out.put(kListedBounceHeader);
                      out.repeat("x\r\n", 1000000);
                      out.put("Mailbox full\r\n");
                    },
                    bounce(kListedBounceSubject, {lostFull})});

  // 100,000 lines naming the recipient without deciding: each one looks
  // ahead over the rest, and the last line decides for all of them.
  inputs.push_back({"lines-naming-recipient-100k.eml",
                    [](ChunkWriter& out) {
                      out.put(kListedBounceHeader);
                      out.repeat(
                          "Delivery to lost@example.org has been attempted\r\n",
                          100000);
                      out.put("Mailbox full\r\n");
                    },
                    bounce(kListedBounceSubject, {lostFull})});

  // 100,000 parts; the report in the second one names one recipient.
  inputs.push_back(
      {"parts-100k.eml",
       [](ChunkWriter& out) {
         out.put(kReportHeader);
         out.put(
             "Final-Recipient: rfc822; lost@example.org\r\n"
             "Action: failed\r\n"
             "Status: 5.1.1\r\n");
         out.repeat("--b\r\nContent-Type: text/plain\r\n\r\npart\r\n", 99998);
         out.put("--b--\r\n");
       },
       bounce(kReportSubject, {lostFailed})});

  // 100,000 recipient paragraphs in one report: one row each, in order.
  {
    std::vector<Row> rows;
    rows.reserve(100000);
    for (int i = 0; i < 100000; ++i) {
      rows.push_back({"failed", "5.1.1", recipientNumbered(i)});
    }
    inputs.push_back(
        {"recipient-paragraphs-100k.eml",
         [](ChunkWriter& out) {
           out.put(kReportHeader);
           for (int i = 0; i < 100000; ++i) {
             out.put("Final-Recipient: rfc822; " + recipientNumbered(i) +
                     "\r\nAction: failed\r\nStatus: 5.1.1\r\n\r\n");
           }
           out.put("--b--\r\n");
         },
         bounce(kReportSubject, std::move(rows))});
  }

  // Texts on which a plain regex search backtracks over every start: each
  // "out" of a subject looks for an "office" after it, each line start of a
  // body line (a form feed starts one) for a refusal word after its reply
  // code, and each "5.7.1 Your message" for the phrase that ends its table
  // row. 4 MiB each; the searches must stay linear and still find what is
  // there.
  const std::string outs = [] {
    std::string text;
    for (std::size_t i = 0; i < 4 * kMiB / 4; ++i) text += "out ";
    return text;
  }();
  inputs.push_back({"absence-subject-4mb.eml",
                    [](ChunkWriter& out) {
                      out.put("From: MAILER-DAEMON@example.org\r\nSubject: ");
                      out.repeat("out ", 4 * kMiB / 4);
                      out.put(
                          "\r\nX-failed-recipients: lost@example.org\r\n"
                          "\r\n550 5.1.1 user unknown\r\n");
                    },
                    bounce(outs, {lostFailed})});
  // With "office" at its very end the subject is an automatic reply's: no
  // recipient is looked for.
  inputs.push_back({"absence-subject-office-4mb.eml",
                    [](ChunkWriter& out) {
                      out.put("From: someone@example.org\r\nSubject: ");
                      out.repeat("out ", 4 * kMiB / 4);
                      out.put("office\r\n\r\nhello\r\n");
                    },
                    bounce(outs + "office", {})});
  // A body line of line starts with reply codes, then `ending`.
  const auto replyCodeLine = [](std::string_view ending) {
    return [ending](ChunkWriter& out) {
      out.put(kListedBounceHeader);
      out.repeat("\f550 x", 4 * kMiB / 6);
      out.put(ending);
    };
  };
  inputs.push_back({"reply-code-line-starts-4mb.eml",
                    replyCodeLine("\r\nMailbox full\r\n"),
                    bounce(kListedBounceSubject, {lostFull})});
  // The refusal word at the very end: the first "550" decides.
  inputs.push_back({"reply-code-refusal-at-end-4mb.eml",
                    replyCodeLine(" denied\r\n"),
                    bounce(kListedBounceSubject, {lostFailed})});
  // The row's end comes first, so the row never matches; the dotted code
  // decides.
  inputs.push_back({"status-row-gap-4mb.eml",
                    [](ChunkWriter& out) {
                      out.put(kListedBounceHeader);
                      out.put("was blocked by ROTA DNSBL ");
                      out.repeat("5.7.1 Your message ", 4 * kMiB / 19);
                      out.put("\r\n");
                    },
                    bounce(kListedBounceSubject,
                           {{"failed", "5.7.1", std::string(kRecipient)}})});

  // One line of 50 MiB, scanned against the whole status table, then a
  // short line that decides.
  inputs.push_back({"single-line-50mb.eml",
                    [](ChunkWriter& out) {
                      out.put(kListedBounceHeader);
                      std::string words;
                      for (int i = 0; i < 4096; ++i) words += kWords;
                      out.fillTo(words, 50 * kMiB);
                      out.put("\r\nMailbox full\r\n");
                    },
                    bounce(kListedBounceSubject, {lostFull})});

  // 200 MiB: a bounce whose returned copy of the message is huge. The scan
  // stops at the copy marker; the copy is only read and stored.
  inputs.push_back(
      {"message-200mb.eml",
       [](ChunkWriter& out) {
         out.put(kListedBounceHeader);
         out.put(
             "550 5.1.1 <lost@example.org>: Recipient address rejected: "
             "User unknown\r\n"
             "------ This is a copy of the message, including all the "
             "headers. ------\r\n");
         std::string prose;
         for (int i = 0; i < 1024; ++i) prose += kProse;
         out.fillTo(prose, 200 * kMiB);
       },
       bounce(kListedBounceSubject, {lostFailed})});

  return inputs;
}

// Inputs on which a pattern reaches one of the regex library's limits, so
// the message is given up: the reply-code pattern, whose repeated
// refusal-word group outgrows the matcher's stack on a line of 70,000
// refusal words.
inline std::vector<HostileInput> regexLimitInputs() {
  using namespace detail;
  std::vector<HostileInput> inputs;
  inputs.push_back({"regex-stack-refusal-line.eml",
                    [](ChunkWriter& out) {
                      out.put(kListedBounceHeader);
                      out.put("550 ");
                      out.repeat("denied", 70000);
                      out.put("\r\n");
                    },
                    abandoned(kStackError)});
  return inputs;
}

}  // namespace hostile

#endif  // MAILVANE_TESTS_HOSTILE_HOSTILE_INPUTS_H_
