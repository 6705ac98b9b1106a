// The registration sequence, run against a fresh machine folder.
#include "installer/registration.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/machine_folder_test.h"

namespace {

class Registration : public MachineFolderTest {
 protected:
  void Register(const char* name, const char* path, bool global) {
    InstallRequest request;
    lstrcpyA(request.name, name);
    lstrcpyA(request.path, path);
    request.global = global ? 1 : 0;
    RegisterScreenSaver(&request);
  }
};

TEST_F(Registration, LeavesEveryEntryOfOneRun) {
  Write("drive_c/WINDOWS/Aquarium.scr", "MZ");
  Register("Aquarium", "D:\\Shows\\Aquarium", true);

  EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"),
            "[Run]\r\nGlobalPath=D:\\Shows\\Aquarium\r\nData=Aquarium.vqx\r\n");
  EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"),
            "[Boot]\r\nSCRNSAVE.EXE=C:\\WINDOWS\\Aquarium.scr\r\n");
  EXPECT_EQ(Read("registry/HKEY_CURRENT_USER.reg"),
            "REGEDIT4\r\n\r\n"
            "[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n"
            "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n"
            "\"SCRNSAVE.EXE\"=\"C:\\\\WINDOWS\\\\Aquarium.scr\"\r\n"
            "\"ScreenSaveTimeOut\"=\"300\"\r\n\r\n");
  EXPECT_EQ(Read("session/desktop.ini"),
            "[Desktop]\r\nScreenSaveActive=1\r\nScreenSaveTimeOut=300\r\n");
  EXPECT_EQ(Read("session/broadcasts.log"), "WM_SETTINGCHANGE 17\n");
}

TEST_F(Registration, GivesSystemIniTheShortFormAndTheRegistryTheLongForm) {
  Write("drive_c/WINDOWS/Deep Sea Fish.scr", "MZ");
  Register("Deep Sea Fish", "", false);
  EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"),
            "[Boot]\r\nSCRNSAVE.EXE=C:\\WINDOWS\\DEEPSE~1.SCR\r\n");
  EXPECT_NE(Read("registry/HKEY_CURRENT_USER.reg")
                .find("\"SCRNSAVE.EXE\"=\"C:\\\\WINDOWS\\\\Deep Sea Fish.scr\"\r\n"),
            std::string::npos);
  // An empty path is written as an empty value.
  EXPECT_EQ(Read("drive_c/WINDOWS/Deep Sea Fish.ini"),
            "[Run]\r\nPath=\r\nData=Deep Sea Fish.vqx\r\n");
}

TEST_F(Registration, RunsInFullWithoutTheScreenSaverFile) {
  Register("Deep Sea Fish", "D:\\x", false);
  // No short form exists for a missing file: system.ini gets the long form.
  EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"),
            "[Boot]\r\nSCRNSAVE.EXE=C:\\WINDOWS\\Deep Sea Fish.scr\r\n");
  EXPECT_TRUE(Exists("drive_c/WINDOWS/Deep Sea Fish.ini"));
  EXPECT_NE(Read("registry/HKEY_CURRENT_USER.reg").find("\"ScreenSaveTimeOut\"=\"300\""),
            std::string::npos);
  EXPECT_EQ(Read("session/desktop.ini"),
            "[Desktop]\r\nScreenSaveActive=1\r\nScreenSaveTimeOut=300\r\n");
}

TEST_F(Registration, KeepsWhatEarlierRunsAndOthersWrote) {
  Write("drive_c/WINDOWS/system.ini",
        "; boot settings\r\n[boot]\r\nshell=Explorer.exe\r\nSCRNSAVE.EXE=C:\\OLD.SCR\r\n\r\n"
        "[drivers]\r\nwave=mmdrv.dll\r\n");
  Write("session/desktop.ini", "[Desktop]\r\nScreenSaveActive=0\r\nScreenSaveTimeOut=60\r\n");
  Register("Aquarium", "D:\\Global", true);
  Register("Aquarium", "D:\\Local", false);

  // Each run writes one of the two path keys and removes neither.
  EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"),
            "[Run]\r\nGlobalPath=D:\\Global\r\nData=Aquarium.vqx\r\nPath=D:\\Local\r\n");
  EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"),
            "; boot "
            "settings\r\n[boot]\r\nshell=Explorer.exe\r\nSCRNSAVE.EXE=C:\\WINDOWS\\Aquarium.scr\r\n"
            "\r\n[drivers]\r\nwave=mmdrv.dll\r\n");
  EXPECT_EQ(Read("session/desktop.ini"),
            "[Desktop]\r\nScreenSaveActive=1\r\nScreenSaveTimeOut=300\r\n");
  EXPECT_EQ(Read("session/broadcasts.log"), "WM_SETTINGCHANGE 17\nWM_SETTINGCHANGE 17\n");
}

TEST_F(Registration, ChangesNothingForANameThatDoesNotFit) {
  Register(std::string(245, 'n').c_str(), "", false);
  EXPECT_FALSE(Exists(""));
}

TEST(ScreenSaverPath, IsTheWindowsDirectoryAndTheNameWithItsExtension) {
  CHAR buffer[MAX_PATH];
  ASSERT_TRUE(BuildScreenSaverPath("Aquarium", buffer));
  EXPECT_STREQ(buffer, "C:\\WINDOWS\\Aquarium.scr");
  EXPECT_TRUE(ScreenSaverNameFits(std::string(244, 'n').c_str()));
  EXPECT_FALSE(ScreenSaverNameFits(std::string(245, 'n').c_str()));
  EXPECT_FALSE(BuildScreenSaverPath(std::string(245, 'n').c_str(), buffer));
  EXPECT_STREQ(buffer, "");
}

}  // namespace
