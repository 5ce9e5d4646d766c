// The system layer (util/process.h, file_io.h, read_only_file.h, path.h,
// temp_folder.h, run_program.h) behaves the same on POSIX and on Windows:
// names outside ASCII, offsets past 4 GiB, replacing an existing file,
// children's exit codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/platform.h"
#include "support/test_paths.h"
#include "util/file_io.h"
#include "util/locked_append.h"
#include "util/memory_size.h"
#include "util/path.h"
#include "util/process.h"
#include "util/read_only_file.h"
#include "util/run_program.h"
#include "util/temp_folder.h"

namespace qae {
namespace {

namespace fs = std::filesystem;

// "Größe Ü 測定": Latin-1 letters, which an ANSI code page holds, and CJK
// ones, which no Western one does.
const std::string kForeign = "Gr\xC3\xB6\xC3\x9F" "e \xC3\x9C \xE6\xB8\xAC\xE5\xAE\x9A";

TEST(Paths, ForeignNamesSurviveTheRoundTrip) {
  EXPECT_EQ(PathText(PathOf(kForeign)), kForeign);
  EXPECT_EQ(PathText(PathOf("a/" + kForeign + "/b.txt").filename()), "b.txt");
  EXPECT_EQ(PathText(PathOf("a/" + kForeign + "/b.txt").parent_path()), "a/" + kForeign);
  // One kind of separator in what the program prints and writes.
  if (test::kOnWindows) {
    EXPECT_EQ(PathText(PathOf("C:\\data\\run") / "x"), "C:/data/run/x");
  }
}

TEST(FileIo, ForeignNamesAreWrittenReadAndReplaced) {
  test::ScratchDir dir;
  const std::string folder = dir.File(kForeign);
  fs::create_directories(PathOf(folder));
  const std::string path = folder + "/" + kForeign + ".txt";
  const std::string text = "first\n";
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                  &error))
      << error;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadWholeFile(path, &bytes, &error)) << error;
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);

  // The file system lists it under the same name.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(PathOf(folder))) names.insert(PathText(e.path()));
  EXPECT_EQ(names, (std::set<std::string>{path}));

  std::FILE* f = OpenStdioFile(path, "ab");
  ASSERT_NE(f, nullptr);
  std::fputs("second\n", f);
  std::fclose(f);
  ASSERT_TRUE(ReadWholeFile(path, &bytes, &error)) << error;
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "first\nsecond\n");
}

TEST(FileIo, MoveFileOverReplacesAnExistingFile) {
  test::ScratchDir dir;
  std::ofstream(PathOf(dir.File("new")), std::ios::binary) << "new";
  std::ofstream(PathOf(dir.File("old")), std::ios::binary) << "old";
  std::string error;
  ASSERT_TRUE(MoveFileOver(dir.File("new"), dir.File("old"), &error)) << error;
  EXPECT_FALSE(fs::exists(PathOf(dir.File("new"))));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadWholeFile(dir.File("old"), &bytes, &error));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "new");

  EXPECT_FALSE(MoveFileOver(dir.File("none"), dir.File("old"), &error));
  EXPECT_FALSE(error.empty());
}

TEST(FileIo, AStreamedReplacementAppearsWholeOrNotAtAll) {
  test::ScratchDir dir;
  const std::string path = dir.File("c.sacs");
  std::ofstream(PathOf(path), std::ios::binary) << "old";
  std::string tmp;
  std::FILE* f = CreateFileBeside(path, &tmp);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tmp.rfind(path + ".tmp.", 0), 0u) << tmp;
  std::fputs("new\n", f);  // binary: no "\r\n" on Windows
  ASSERT_TRUE(FlushToDisk(f));
  ASSERT_TRUE(TakePermissionsOf(f, path));
  std::fclose(f);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadWholeFile(path, &bytes, nullptr));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "old");
  ASSERT_TRUE(MoveFileOver(tmp, path));
  ASSERT_TRUE(ReadWholeFile(path, &bytes, nullptr));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "new\n");

  // An abandoned one leaves nothing behind.
  f = CreateFileBeside(path, &tmp);
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_TRUE(RemoveFile(tmp));
  EXPECT_EQ(std::distance(fs::directory_iterator(PathOf(dir.path())), fs::directory_iterator()),
            1);
}

TEST(FileIo, ADirectoryIsNoFileToRead) {
  test::ScratchDir dir;
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_FALSE(ReadWholeFile(dir.path(), &bytes, &error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  const ReadOnlyFile file(dir.path());
  EXPECT_FALSE(file.ok());
  EXPECT_EQ(file.error(), "not a regular file");
  const ReadOnlyFile missing(dir.File("none"));
  EXPECT_FALSE(missing.ok());
  EXPECT_FALSE(missing.error().empty());
}

// Continuous recordings and shared tables grow past 4 GiB: sizes, appends
// and positioned reads there take 64-bit offsets. The file is sparse, so
// the test writes a few bytes only.
TEST(LargeFiles, OffsetsBeyondFourGibibytes) {
  test::ScratchDir dir;
  const std::string path = dir.File("big.lng");
  const int64_t hole = (int64_t{1} << 32) + 3;
  { std::ofstream(PathOf(path), std::ios::binary); }
  std::error_code ec;
  fs::resize_file(PathOf(path), static_cast<std::uintmax_t>(hole), ec);
  if (ec) GTEST_SKIP() << "no room for a sparse 4 GiB file here: " << ec.message();

  LockedAppendFile table;
  std::string error;
  ASSERT_TRUE(table.Open(path, 1, 0, &error)) << error;
  ASSERT_TRUE(table.Lock(&error)) << error;
  EXPECT_EQ(table.Size(&error), hole);
  bool unknown = false;
  ASSERT_TRUE(table.AppendWhole("MARKER\n", &unknown, &error)) << error;
  EXPECT_EQ(table.Size(&error), hole + 7);
  int64_t torn = -1;
  ASSERT_TRUE(table.CutTornTail(&torn, &error)) << error;
  EXPECT_EQ(torn, 0);
  table.Close();

  const ReadOnlyFile file(path);
  ASSERT_TRUE(file.ok()) << file.error();
  EXPECT_EQ(file.size(), hole + 7);
  uint8_t got[16] = {};
  ASSERT_EQ(file.ReadAt(got, sizeof got, hole - 1), 8u);  // fewer at the end
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 8), std::string("\0MARKER\n", 8));
  EXPECT_EQ(file.ReadAt(got, sizeof got, hole + 7), 0u);
  fs::remove(PathOf(path), ec);
}

TEST(TemporaryFolders, EachIsNewEmptyAndNamedWithSlashes) {
  std::string error;
  const std::string a = MakeTemporaryFolder("qae_tmp_", &error);
  const std::string b = MakeTemporaryFolder("qae_tmp_", &error);
  ASSERT_FALSE(a.empty()) << error;
  ASSERT_FALSE(b.empty()) << error;
  EXPECT_NE(a, b);
  for (const std::string& d : {a, b}) {
    EXPECT_TRUE(fs::is_directory(PathOf(d)));
    EXPECT_TRUE(fs::is_empty(PathOf(d)));
    EXPECT_EQ(d.find('\\'), std::string::npos) << d;
    EXPECT_EQ(PathText(PathOf(d).filename()).rfind("qae_tmp_", 0), 0u) << d;
    fs::remove(PathOf(d));
  }
}

TEST(Processes, ChildrenEndWithTheirOwnExitCodes) {
  long ok_pid = 0;
  long bad_pid = 0;
  std::string error;
  ASSERT_TRUE(StartChildProcess(QAE_EXECUTABLE, {QAE_EXECUTABLE, "--version"}, false, &ok_pid,
                                &error))
      << error;
  ASSERT_TRUE(StartChildProcess(QAE_EXECUTABLE, {QAE_EXECUTABLE, "no-such-command"}, false,
                                &bad_pid, &error))
      << error;
  std::map<long, int> codes;
  for (int i = 0; i < 2; ++i) {
    ChildEnd end;
    ASSERT_TRUE(WaitForChildProcess(&end, &error)) << error;
    EXPECT_EQ(end.how, ChildEnd::How::kExited);
    codes[end.pid] = end.value;
  }
  EXPECT_EQ(codes, (std::map<long, int>{{ok_pid, 0}, {bad_pid, 2}}));
  // Nothing is left to wait for, and the collected ones count as ended.
  ChildEnd none;
  EXPECT_FALSE(WaitForChildProcess(&none, &error));
  EXPECT_TRUE(CollectIfEnded(ok_pid));
}

TEST(Processes, ArgumentsReachAChildUnchanged) {
  // Quotes, backslashes before them and at the end, blanks, and letters
  // outside the code page.
  const std::string odd = "a \"b\" \\\"c\\ " + kForeign + "\\";
  const ProgramResult r = RunProgram({QAE_EXECUTABLE, "params", odd});
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot open parameter file " + odd + ": "), std::string::npos) << r.err;
}

TEST(Processes, AChildWritesUnderAForeignName) {
  test::ScratchDir dir;
  const std::string exp = dir.File(kForeign + " x");
  long pid = 0;
  std::string error;
  ASSERT_TRUE(StartChildProcess(QAE_EXECUTABLE,
                                {QAE_EXECUTABLE, "synth", exp, "--events", "2", "--samples",
                                 "1024", "--sensors", "4", "--templates", "1"},
                                false, &pid, &error))
      << error;
  ChildEnd end;
  ASSERT_TRUE(WaitForChildProcess(&end, &error)) << error;
  EXPECT_EQ(end.pid, pid);
  EXPECT_EQ(end.value, 0);
  EXPECT_TRUE(fs::exists(PathOf(exp + "/ML_CC_AE_pars.txt")));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadWholeFile(exp + "/ML_CC_AE_pars.txt", &bytes, &error)) << error;
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find(exp + "/events/"), std::string::npos) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(Processes, AMissingProgramIsNotStarted) {
  long pid = 0;
  std::string error;
  test::ScratchDir dir;
  const std::string missing = dir.File(ExecutableFileName("none"));
  EXPECT_FALSE(StartChildProcess(missing, {missing}, false, &pid, &error));
  EXPECT_FALSE(error.empty());
}

TEST(Processes, RunProgramCapturesBothStreamsAndTheExitCode) {
  ProgramResult r = RunProgram({QAE_EXECUTABLE, "--version"});
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("Quorvex_AE ", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos) << "stdout must end lines with \\n alone";
  r = RunProgram({QAE_EXECUTABLE, "params"});
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("PARFILE"), std::string::npos) << r.err;
  // Output past the limit is dropped, not waited on.
  r = RunProgram({QAE_EXECUTABLE, "--help"}, 10);
  EXPECT_EQ(r.out.size(), 10u);
  EXPECT_EQ(r.exitCode, 0);

  r = RunProgram({"qae-no-such-program"});
  EXPECT_FALSE(r.started);
  EXPECT_FALSE(r.error.empty());
}

TEST(Processes, FactsAboutThisProcess) {
  EXPECT_GT(OwnProcessId(), 0);
  const std::string self = OwnExecutablePath();
  EXPECT_EQ(PathText(PathOf(self).filename()), ExecutableFileName("qae_tests"));
  EXPECT_EQ(self.find('\\'), std::string::npos) << self;
  EXPECT_TRUE(fs::exists(PathOf(self)));
  EXPECT_GT(AvailableMemoryBytes(), uint64_t{64} << 20);
}

}  // namespace
}  // namespace qae
