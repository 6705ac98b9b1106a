// A file that does not exist yet, made through the file layer's system call
// seam with each call failing in turn: the service reports the failure and
// the folder holds nothing afterwards, not even an empty file; an append
// that fails leaves the log as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/host/host_backend.h"
#include "tests/failing_file_call.h"
#include "tests/machine_folder_test.h"

namespace {

using saverset::host::AppendLine;
using saverset::host::UpdateFile;

using NewFileFaults = MachineFolderTest;

TEST_F(NewFileFaults, AFailedFirstWriteLeavesNoFile) {
  std::filesystem::create_directories(machine_);
  for (auto call :
       {FailingCall::kOpen, FailingCall::kWrite, FailingCall::kFsync, FailingCall::kRename}) {
    for (int error : {ENOSPC, EIO}) {
      for (int nth = 0;; ++nth) {
        SCOPED_TRACE(testing::Message() << "call " << call << " errno " << error << " nth " << nth);
        std::filesystem::remove(machine_ / "new.ini");
        LONG result;
        bool fired;
        {
          FailingCall fault(call, error, nth);
          result = UpdateFile(machine_ / "new.ini",
                              [](std::string_view, bool exists, std::string* edited, bool*) {
                                EXPECT_FALSE(exists);
                                *edited = std::string(200000, 'n');
                                return ERROR_SUCCESS;
                              });
          fired = FailingCall::Fired();
        }
        if (!fired) {
          EXPECT_EQ(result, ERROR_SUCCESS);
          break;
        }
        EXPECT_NE(result, ERROR_SUCCESS);
        EXPECT_TRUE(std::filesystem::is_empty(machine_));
      }
    }
  }
}

TEST_F(NewFileFaults, AFailedAppendLeavesTheLogAsItWas) {
  Write("broadcasts.log", "WM_SETTINGCHANGE 20\n");
  for (auto call : {FailingCall::kOpen, FailingCall::kWrite, FailingCall::kFsync}) {
    SCOPED_TRACE(testing::Message() << "call " << call);
    {
      FailingCall fault(call, ENOSPC, 0);
      EXPECT_NE(AppendLine(machine_ / "broadcasts.log", "WM_SETTINGCHANGE 17"), ERROR_SUCCESS);
    }
    EXPECT_EQ(Read("broadcasts.log"), "WM_SETTINGCHANGE 20\n");
  }
}

}  // namespace
