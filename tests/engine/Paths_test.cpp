// MakeTempWavName and ExpandLongPath.

#include "Paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "Stream.h"
#include "TempDir.h"
#include "WaveFFT.h"

namespace merolune {
namespace {

// ---------------------------------------------------------------------------------------------
// MakeTempWavName and ExpandLongPath

// Sets TMPDIR for one test and puts the old value back afterwards.
class TempNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) saved_ = old;
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  static void SetTmpdir(const std::string& value) { ::setenv("TMPDIR", value.c_str(), 1); }

  test::TempDir dir_;

 private:
  std::optional<std::string> saved_;
};

TEST_F(TempNameTest, CreatesAnEmptyPrivateFileNamedCcHexWavInTmpdir) {
  SetTmpdir(dir_.Path());
  const std::string path = MakeTempWavName();
  const std::string prefix = dir_.Path() + "/cc";
  ASSERT_EQ(path.rfind(prefix, 0), 0u) << path;
  ASSERT_GT(path.size(), prefix.size() + 4) << path;
  ASSERT_EQ(path.substr(path.size() - 4), ".wav") << path;
  const std::string number = path.substr(prefix.size(), path.size() - prefix.size() - 4);
  EXPECT_EQ(number.find_first_not_of("0123456789abcdef"), std::string::npos) << path;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TempNameTest, NamesAreUniqueOverManyCalls) {
  SetTmpdir(dir_.Path());
  std::set<std::string> names;
  for (int i = 0; i < 2000; ++i) names.insert(MakeTempWavName());
  EXPECT_EQ(names.size(), 2000u);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.Path())) ++files;
  EXPECT_EQ(files, 2000u);
}

TEST_F(TempNameTest, NamesAreUniqueAcrossThreads) {
  SetTmpdir(dir_.Path());
  constexpr int kThreads = 4;
  constexpr int kEach = 250;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[static_cast<std::size_t>(t)].push_back(MakeTempWavName());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> names;
  for (const auto& list : made) names.insert(list.begin(), list.end());
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST_F(TempNameTest, ExistingFilesAreNeverReused) {
  SetTmpdir(dir_.Path());
  const std::string first = MakeTempWavName();
  {
    std::ofstream(first) << "keep";
  }
  for (int i = 0; i < 100; ++i) EXPECT_NE(MakeTempWavName(), first);
  EXPECT_EQ(std::filesystem::file_size(first), 4u);
}

TEST_F(TempNameTest, TrailingSlashInTmpdirGivesNoDoubleSlash) {
  SetTmpdir(dir_.Path() + "//");
  const std::string path = MakeTempWavName();
  EXPECT_EQ(path.rfind(dir_.Path() + "/cc", 0), 0u) << path;
  EXPECT_EQ(path.find("//"), std::string::npos) << path;
}

TEST_F(TempNameTest, RelativeTmpdirGivesAnAbsolutePath) {
  const auto relative = std::filesystem::relative(dir_.Path(), std::filesystem::current_path());
  ASSERT_FALSE(relative.empty());
  SetTmpdir(relative.string());
  const std::string path = MakeTempWavName();
  ASSERT_EQ(path.front(), '/');
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(path).parent_path(), dir_.Path())) << path;
}

class TempNameFallback : public TempNameTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TempNameFallback, UnsetOrEmptyTmpdirUsesTmp) {
  if (GetParam()) {
    SetTmpdir("");
  } else {
    ::unsetenv("TMPDIR");
  }
  const std::string path = MakeTempWavName();
  EXPECT_EQ(path.rfind("/tmp/cc", 0), 0u) << path;
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(DeleteFileIfExists(path));
}

INSTANTIATE_TEST_SUITE_P(Tmpdir, TempNameFallback, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Empty" : "Unset"; });

struct TempFailureCase {
  std::string name;
  std::string subpath;  // inside the test directory
  bool makeFile;        // a regular file at subpath, so that it is no directory
  int error;
};

void PrintTo(const TempFailureCase& c, std::ostream* os) { *os << c.subpath; }

class TempNameFailure : public TempNameTest, public ::testing::WithParamInterface<TempFailureCase> {};

TEST_P(TempNameFailure, ThrowsNamingTheDirectoryAndTheReason) {
  const TempFailureCase& c = GetParam();
  const std::string bad = dir_.File(c.subpath);
  if (c.makeFile) std::ofstream(bad) << "x";
  SetTmpdir(bad);
  try {
    MakeTempWavName();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("一時ファイルを作成できません"), std::string::npos) << message;
    EXPECT_NE(message.find(bad), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(c.error)), std::string::npos) << message;
  }
}

INSTANTIATE_TEST_SUITE_P(Directories, TempNameFailure,
                         ::testing::Values(TempFailureCase{"Missing", "missing", false, ENOENT},
                                           TempFailureCase{"MissingParent", "no/such/dir", false, ENOENT},
                                           TempFailureCase{"RegularFile", "plain", true, ENOTDIR}),
                         [](const ::testing::TestParamInfo<TempFailureCase>& param) { return param.param.name; });

std::string CurrentDirectory() { return std::filesystem::current_path().string(); }

TEST(ExpandLongPath, EmptyPathStaysEmpty) { EXPECT_EQ(ExpandLongPath(""), ""); }

TEST(ExpandLongPath, AbsolutePathsAreReturnedAsGiven) {
  for (const std::string p : {"/", "/tmp", "/no/such/file.wav", "/a/../b/./c", "/tmp//x"}) {
    EXPECT_EQ(ExpandLongPath(p), p);
  }
}

TEST(ExpandLongPath, RelativePathsAreJoinedToTheCurrentDirectoryComponentByComponent) {
  const std::string cwd = CurrentDirectory();
  for (const std::string p : {"song.wav", "no/such/dir/x.wav", "./a", "../b", "with space.wav"}) {
    EXPECT_EQ(ExpandLongPath(p), cwd + "/" + p);
  }
}

TEST(ExpandLongPath, SymbolicLinksAreNotResolved) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.File("real"));
  std::filesystem::create_directory_symlink(dir.File("real"), dir.File("link"));
  EXPECT_EQ(ExpandLongPath(dir.File("link") + "/x.wav"), dir.File("link") + "/x.wav");
}

}  // namespace
}  // namespace merolune
