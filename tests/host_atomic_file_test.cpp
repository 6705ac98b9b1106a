// Durable replacement of files: every failing system call of a write leaves
// the old file as it was and nothing behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/host/host_backend.h"
#include "tests/failing_file_call.h"
#include "tests/machine_folder_test.h"

namespace {

using saverset::host::ReadWholeFile;
using saverset::host::UpdateFile;

class AtomicFile : public MachineFolderTest {
 protected:
  LONG Replace(const std::string& content) {
    return UpdateFile(machine_ / "file.ini",
                      [&](std::string_view, bool, std::string* edited, bool*) {
                        *edited = content;
                        return ERROR_SUCCESS;
                      });
  }
  size_t EntriesInFolder() const {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(machine_))
      ++count;
    return count;
  }
};

TEST_F(AtomicFile, ReplacesAndKeepsNothingElse) {
  Write("file.ini", "old");
  EXPECT_EQ(Replace(std::string(100000, 'n')), ERROR_SUCCESS);
  EXPECT_EQ(Read("file.ini"), std::string(100000, 'n'));
  EXPECT_EQ(EntriesInFolder(), 1u);
}

// The buffer has room for a block more than the file holds; sizes around
// that block read whole all the same.
TEST_F(AtomicFile, ReadsFilesOfEverySizeWhole) {
  for (size_t size : {0, 1, 4095, 4096, 4097, 8192, 8193, 1 << 20}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    Write("file.ini", bytes);
    std::string content = "stale";
    ASSERT_EQ(ReadWholeFile(machine_ / "file.ini", &content), ERROR_SUCCESS);
    EXPECT_EQ(content, bytes);
  }
  std::string content = "stale";
  EXPECT_EQ(ReadWholeFile(machine_ / "missing.ini", &content), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(content, "");
}

TEST_F(AtomicFile, AnEditThatFailsOrChangesNothingWritesNothing) {
  Write("file.ini", "old");
  const auto before = std::filesystem::last_write_time(machine_ / "file.ini");
  auto unchanged = [](std::string_view current, bool exists, std::string*, bool* same) {
    EXPECT_TRUE(exists);
    EXPECT_EQ(current, "old");
    *same = true;
    return ERROR_SUCCESS;
  };
  EXPECT_EQ(UpdateFile(machine_ / "file.ini", unchanged), ERROR_SUCCESS);
  auto refused = [](std::string_view, bool, std::string* edited, bool*) {
    *edited = "new";
    return ERROR_BADDB;
  };
  EXPECT_EQ(UpdateFile(machine_ / "file.ini", refused), ERROR_BADDB);
  EXPECT_EQ(Read("file.ini"), "old");
  EXPECT_EQ(std::filesystem::last_write_time(machine_ / "file.ini"), before);
  EXPECT_EQ(UpdateFile(machine_ / "missing" / "file.ini", refused), ERROR_PATH_NOT_FOUND);
}

TEST_F(AtomicFile, EveryFailingCallLeavesTheOldFile) {
  for (auto call :
       {FailingCall::kOpen, FailingCall::kWrite, FailingCall::kFsync, FailingCall::kRename}) {
    for (int error : {ENOSPC, EIO}) {
      // The n-th use of the call fails, for every n that the write makes.
      for (int nth = 0;; ++nth) {
        SCOPED_TRACE(testing::Message() << "call " << call << " errno " << error << " nth " << nth);
        Write("file.ini", "old content");
        LONG result;
        bool fired;
        {
          FailingCall fault(call, error, nth);
          result = Replace(std::string(300000, 'x'));
          fired = FailingCall::Fired();
        }
        if (!fired) {
          EXPECT_EQ(result, ERROR_SUCCESS);
          break;
        }
        EXPECT_NE(result, ERROR_SUCCESS);
        EXPECT_EQ(Read("file.ini"), "old content");
        EXPECT_EQ(EntriesInFolder(), 1u);
      }
    }
  }
}

}  // namespace
