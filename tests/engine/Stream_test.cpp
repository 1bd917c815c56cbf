// FileStream and MemoryStream: reading, writing, seeking, pipes, and the messages of each failure.

#include "Stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "TempDir.h"

namespace merolune {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The message of what `action` throws; empty when it throws nothing.
std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& error) {
    return error.what();
  }
  return {};
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FileStream, CreateWritesAndReadsBackAtTheSetPositions) {
  test::TempDir dir;
  const std::string path = dir.File("a.raw");
  FileStream stream(path, FileStream::Mode::Create);
  const Bytes bytes = {1, 2, 3, 4, 5, 6};
  stream.Write(bytes.data(), bytes.size());
  EXPECT_EQ(stream.Position(), 6u);
  EXPECT_EQ(stream.Size(), 6u);
  stream.SeekTo(2);
  std::array<std::uint8_t, 8> back{};
  EXPECT_EQ(stream.Read(back.data(), back.size()), 4u);
  EXPECT_EQ(back[0], 3);
  EXPECT_EQ(back[3], 6);
  EXPECT_EQ(stream.Seek(-1, SeekOrigin::End), 5u);
  EXPECT_EQ(stream.Seek(-2, SeekOrigin::Current), 3u);
  stream.Close();
  EXPECT_EQ(ReadAll(path), bytes);
}

TEST(FileStream, ReadingPastTheEndGivesNothing) {
  test::TempDir dir;
  const std::string path = dir.File("a.raw");
  std::ofstream(path, std::ios::binary) << "abc";
  FileStream stream(path, FileStream::Mode::Read);
  EXPECT_EQ(stream.Seek(10, SeekOrigin::Begin), 10u);
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_EQ(stream.Read(buffer.data(), buffer.size()), 0u);
  EXPECT_FALSE(stream.ReadExact(buffer.data(), 1));
}

TEST(FileStream, CreateEmptiesAnExistingFile) {
  test::TempDir dir;
  const std::string path = dir.File("a.raw");
  std::ofstream(path, std::ios::binary) << "old contents";
  FileStream(path, FileStream::Mode::Create).Close();
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST(FileStream, MissingFileCannotBeOpened) {
  test::TempDir dir;
  const std::string path = dir.File("missing.wav");
  EXPECT_EQ(ErrorOf([&] { FileStream stream(path, FileStream::Mode::Read); }),
            "ファイルを開けません: " + path + " (No such file or directory)");
  EXPECT_EQ(ErrorOf([&] { FileStream stream(path, FileStream::Mode::ReadWrite); }),
            "ファイルを開けません: " + path + " (No such file or directory)");
}

TEST(FileStream, FileInAMissingFolderCannotBeCreated) {
  test::TempDir dir;
  const std::string path = dir.File("no/such/folder.wav");
  EXPECT_EQ(ErrorOf([&] { FileStream stream(path, FileStream::Mode::Create); }),
            "ファイルを作成できません: " + path + " (No such file or directory)");
  EXPECT_EQ(ErrorOf([&] { FileStream stream(path, FileStream::Mode::Write); }),
            "ファイルを作成できません: " + path + " (No such file or directory)");
}

TEST(FileStream, FolderIsNotOpenedAsAFile) {
  test::TempDir dir;
  EXPECT_EQ(ErrorOf([&] { FileStream stream(dir.Path(), FileStream::Mode::Read); }),
            "ファイルを開けません: " + dir.Path() + " (Is a directory)");
}

TEST(FileStream, WriteToAFullDeviceReportsTheReason) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  FileStream stream("/dev/full", FileStream::Mode::Write);
  const Bytes bytes(16, 0x55);
  EXPECT_EQ(ErrorOf([&] { stream.Write(bytes.data(), bytes.size()); }),
            "ファイルに書き込めません: /dev/full (No space left on device)");
}

TEST(FileStream, ClosedStreamRefusesToReadAndWrite) {
  test::TempDir dir;
  const std::string path = dir.File("a.raw");
  FileStream stream(path, FileStream::Mode::Create);
  stream.Close();
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_EQ(ErrorOf([&] { stream.Read(buffer.data(), buffer.size()); }),
            "ファイルを読み込めません: " + path + " (Bad file descriptor)");
  EXPECT_EQ(ErrorOf([&] { stream.Write(buffer.data(), buffer.size()); }),
            "ファイルに書き込めません: " + path + " (Bad file descriptor)");
  EXPECT_EQ(ErrorOf([&] { stream.Size(); }), "ファイル内を移動できません: " + path + " (Bad file descriptor)");
  EXPECT_NO_THROW(stream.Close());
}

TEST(FileStream, SeekBeforeTheStartThrowsAndKeepsThePosition) {
  test::TempDir dir;
  FileStream stream(dir.File("a.raw"), FileStream::Mode::Create);
  stream.SeekTo(3);
  EXPECT_EQ(ErrorOf([&] { stream.Seek(-4, SeekOrigin::Current); }), "negative stream position");
  EXPECT_EQ(ErrorOf([&] { stream.Seek(-1, SeekOrigin::End); }), "negative stream position");
  EXPECT_EQ(stream.Position(), 3u);
}

// A pipe has no positions: what goes in at any stream position comes out in order.
TEST(FileStream, PipeIsWrittenAndReadInOrder) {
  test::TempDir dir;
  const std::string path = dir.File("fifo");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const Bytes sent = {10, 20, 30, 40, 50};
  Bytes received;
  // Opening either end waits for the other one.
  std::thread reader([&] {
    FileStream in(path, FileStream::Mode::Read);
    std::array<std::uint8_t, 16> buffer{};
    for (std::size_t n = 0; (n = in.Read(buffer.data(), buffer.size())) > 0;)
      received.insert(received.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  });
  {
    FileStream out(path, FileStream::Mode::Write);
    out.Write(sent.data(), 2);
    out.SeekTo(100);
    out.Write(sent.data() + 2, 3);
    EXPECT_EQ(out.Position(), 103u);
    out.Close();
  }
  reader.join();
  EXPECT_EQ(received, sent);
}

TEST(MemoryStream, WritesPastTheEndGrowAndReadsStopAtIt) {
  MemoryStream stream;
  const Bytes bytes = {7, 8, 9};
  stream.SeekTo(2);
  stream.Write(bytes.data(), bytes.size());
  EXPECT_EQ(stream.Bytes(), (Bytes{0, 0, 7, 8, 9}));
  stream.SeekTo(4);
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_EQ(stream.Read(buffer.data(), buffer.size()), 1u);
  EXPECT_EQ(buffer[0], 9);
  EXPECT_EQ(stream.Read(buffer.data(), buffer.size()), 0u);
}

TEST(MemoryStream, SeekBeforeTheStartThrowsAndKeepsThePosition) {
  MemoryStream stream(Bytes{1, 2, 3});
  stream.SeekTo(1);
  EXPECT_EQ(ErrorOf([&] { stream.Seek(-4, SeekOrigin::End); }), "negative stream position");
  EXPECT_EQ(stream.Position(), 1u);
}

}  // namespace
}  // namespace merolune
