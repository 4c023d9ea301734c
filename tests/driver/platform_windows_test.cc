// The Windows side of the system layer: path rules, the output file held
// without sharing, the "FileVersion" lookup in version resources (the test
// binary carries records 2 to 6 besides the program's record 1), the
// program's manifest and the console's output code page.

#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver/platform.h"
#include "driver/run.h"
#include "driver/version.h"
#include "test_util.h"

namespace {

TEST(WindowsPathTest, NamesFollowTheLastBackslashThenSlashThenColon) {
  const std::pair<const char*, const char*> cases[] = {
      {"mail\\a.eml", "a.eml"},
      {"mail/a.eml", "a.eml"},
      {"D:\\mail\\a.eml", "a.eml"},
      {"D:a.eml", "a.eml"},
      {"D:mail/a.eml", "a.eml"},
      {"mail/sub\\a.eml", "a.eml"},
      // A "\\" anywhere wins over a later "/".
      {"mail\\sub/a.eml", "sub/a.eml"},
      {"a.eml", "a.eml"},
      {"mail\\", ""},
  };
  for (const auto& [path, want] : cases) {
    std::string_view got = baseName(path);
    EXPECT_EQ(got, want) << "path " << path << ": got " << got << ", want "
                         << want;
  }
}

TEST(WindowsOutputFileTest, HeldFileRefusesEveryOtherOpenAndKeepsItsText) {
  ScratchDir dir;
  const std::string path = (dir.path() / "r.csv").string();
  OutputFile out;
  OutputFailure failure;
  ASSERT_TRUE(out.open(path, false, failure)) << "error " << failure.error;
  ASSERT_TRUE(out.write("row\r\n", failure));

  for (bool append : {false, true}) {
    OutputFile second;
    OutputFailure secondFailure;
    EXPECT_FALSE(second.open(path, append, secondFailure))
        << "append " << append;
    EXPECT_EQ(secondFailure.error, EACCES) << "append " << append;
    EXPECT_TRUE(secondFailure.isRetryable) << "append " << append;
  }
  // Reading it as a message fails too, but the run still knows its own file.
  std::FILE* reader = std::fopen(path.c_str(), "rb");
  EXPECT_EQ(reader, nullptr);
  if (reader != nullptr) std::fclose(reader);
  EXPECT_TRUE(isSameFile(path, out.stream()));
  dir.write("other.csv", "");
  EXPECT_FALSE(isSameFile((dir.path() / "other.csv").string(), out.stream()));
  EXPECT_TRUE(out.close(failure));

  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "row\r\n");
}

TEST(WindowsVersionResourceTest, FileVersionOfEachRecord) {
  // Record 3 lists two language and code-page pairs, so neither is used:
  // its table for US English and code page 1200 answers only when that is
  // the user's default language.
  const std::string twoPairs =
      GetUserDefaultLangID() == 0x0409 ? "3.0.0.2" : "";
  const struct {
    const char* name;
    int resourceId;
    std::string want;
  } cases[] = {
      {"program's own record", 1, "1.1.0.15"},
      {"the one listed pair wins", 2, "1, 2, 0, 7"},
      {"two pairs fall back to the user's language", 3, twoPairs},
      {"no FileVersion in the table", 4, ""},
      {"value of 254 bytes does not fit", 5, ""},
      {"value of 253 bytes fits", 6, "6." + std::string(251, '1')},
      {"no such record", 99, ""},
  };
  for (const auto& c : cases) {
    std::string got = fileVersionOfResource(c.resourceId);
    EXPECT_EQ(got, c.want) << c.name << ": got \"" << got << "\", want \""
                           << c.want << "\"";
  }
  EXPECT_EQ(buildVersionText(), " 1.1 build 15");
}

TEST(WindowsManifestTest, ProgramCarriesOneManifestThatAsksForUtf8) {
  const std::string path =
      std::filesystem::path(MAILVANE_EXE).make_preferred().string();
  HMODULE program =
      LoadLibraryExA(path.c_str(), nullptr,
                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(program, nullptr) << "error " << GetLastError();
  // A second manifest (a toolchain's default one) would compete for id 1.
  std::vector<ULONG_PTR> ids;
  EnumResourceNamesA(
      program, RT_MANIFEST,
      [](HMODULE, LPCSTR, LPSTR name, LONG_PTR found) -> BOOL {
        reinterpret_cast<std::vector<ULONG_PTR>*>(found)->push_back(
            IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 0);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&ids));
  EXPECT_EQ(ids, std::vector<ULONG_PTR>{1});
  std::string manifest;
  if (HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(1), RT_MANIFEST)) {
    manifest.assign(
        static_cast<const char*>(LockResource(LoadResource(program, found))),
        SizeofResource(program, found));
  }
  FreeLibrary(program);
  EXPECT_NE(
      manifest.find("<activeCodePage xmlns=\"http://schemas.microsoft.com/"
                    "SMI/2019/WindowsSettings\">UTF-8</activeCodePage>"),
      std::string::npos)
      << manifest;
}

// Needs a console window: Wine gives one only to a program started on a
// terminal, so the Windows test script runs this case once more that way and
// sets MAILVANE_CONSOLE_TESTS, which turns the skip into a failure.
TEST(WindowsConsoleTest, RunSetsUtf8ForItsWindowAndGivesTheFormerCodePageBack) {
  DWORD mode;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    if (std::getenv("MAILVANE_CONSOLE_TESTS") != nullptr)
      FAIL() << "no console";
    GTEST_SKIP() << "no console window";
  }
  const UINT former = GetConsoleOutputCP();
  ASSERT_TRUE(SetConsoleOutputCP(850));
  ScratchDir dir;
  dir.write("a.eml",
            "Subject: Auto-Response: away\r\n"
            "Return-Path: <a@example.com>\r\n\r\nAway.\r\n");
  const std::string program =
      std::filesystem::path(MAILVANE_EXE).make_preferred().string();
  // -waitexit holds each run until a byte comes on its input: meanwhile the
  // code page is the run's.
  const struct {
    const char* args;
    bool isRedirected;
    UINT want;
  } cases[] = {
      {"-eml a.eml -out r.csv -waitexit", false, CP_UTF8},
      {"-eml a.eml -waitexit", false, CP_UTF8},  // unusable options
      {"-eml a.eml -out r.csv -waitexit", true, 850},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.args) + (c.isRedirected ? " > pipe" : ""));
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE input[2];  // read end, write end
    HANDLE output[2] = {nullptr, GetStdHandle(STD_OUTPUT_HANDLE)};
    ASSERT_TRUE(CreatePipe(&input[0], &input[1], &inherited, 0));
    SetHandleInformation(input[1], HANDLE_FLAG_INHERIT, 0);
    if (c.isRedirected) {
      ASSERT_TRUE(CreatePipe(&output[0], &output[1], &inherited, 0));
      SetHandleInformation(output[0], HANDLE_FLAG_INHERIT, 0);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input[0];
    startup.hStdOutput = output[1];
    startup.hStdError = output[1];
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + program + "\" " + c.args;
    ASSERT_TRUE(CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr,
                               TRUE, 0, nullptr, dir.path().string().c_str(),
                               &startup, &process));
    CloseHandle(input[0]);
    UINT during = 0;
    if (c.isRedirected) {
      CloseHandle(output[1]);
      std::string text;
      char chunk[512];
      DWORD n;
      while (text.find("Press any key") == std::string::npos &&
             ReadFile(output[0], chunk, sizeof chunk, &n, nullptr) && n > 0) {
        text.append(chunk, n);
      }
      during = GetConsoleOutputCP();
    } else {
      for (int i = 0; i < 500 && during != c.want; ++i) {
        Sleep(10);
        during = GetConsoleOutputCP();
      }
    }
    DWORD n;
    WriteFile(input[1], "x", 1, &n, nullptr);
    CloseHandle(input[1]);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (c.isRedirected) CloseHandle(output[0]);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    EXPECT_EQ(during, c.want);
    EXPECT_EQ(GetConsoleOutputCP(), 850u);
  }
  SetConsoleOutputCP(former);
}

}  // namespace
