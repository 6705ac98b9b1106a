// Whole runs of the built program and the services against what a careless
// user, another local user or a failing disk can do: odd program paths, line
// ends in the command line, planted modes and hard links, read-only files,
// strangers in the temporary file's name, a held folder lock, huge sparse
// files, and failures that must be said on standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform_services.h"
#include "tests/machine_folder_test.h"
#include "tests/reliability/reliability_support.h"

namespace {

namespace fs = std::filesystem;
using reliability::ProgramRun;
using reliability::RunProgram;

class Safety : public MachineFolderTest {
 protected:
  void SetUp() override {
    MachineFolderTest::SetUp();
    Write("drive_c/WINDOWS/Aquarium.scr", "MZ");
  }

  ProgramRun RunMain(const std::vector<std::string>& environment = {}) {
    return RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, machine_, environment);
  }
};

TEST_F(Safety, TheProgramsOwnPathDoesNotChangeTheTail) {
  const ProgramRun run = RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, scratch_, {},
                                    (scratch_ / "my \"tools\"" / "saverset").string());
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"),
            "[Run]\r\nGlobalPath=D:\\Shows\r\nData=Aquarium.vqx\r\n");
  EXPECT_NE(Read("registry/HKEY_CURRENT_USER.reg")
                .find("\"SCRNSAVE.EXE\"=\"C:\\\\WINDOWS\\\\Aquarium.scr\""),
            std::string::npos);
}

TEST_F(Safety, LineEndsInTheNameOrPathAreRejectedBeforeAnyWrite) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"\"A\nB\"", "D:\\x"},
                                                    {"-g", "\"Aquarium\"", "D:\\x\r\n[Boot]"},
                                                    {"\"Aquarium\"", "D:\\x\n"}}) {
    SCOPED_TRACE(arguments[arguments.size() - 1]);
    fs::remove_all(machine_);
    const ProgramRun run = RunProgram(arguments, scratch_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.errors, "[Bad command line] Screen Saver Installation\n");
    EXPECT_FALSE(Exists(""));
  }
  // Tabs in the path stay accepted.
  EXPECT_EQ(RunProgram({"\"Aquarium\"", "D:\\a\tb"}, scratch_).exitCode, 0);
}

}  // namespace
