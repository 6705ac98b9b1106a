// SystemParametersInfoA: the live value in session/desktop.ini, the user
// profile in the registry and the announcements in session/broadcasts.log.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform_services.h"
#include "tests/machine_folder_test.h"

namespace {

using SystemParameters = MachineFolderTest;

// The REG_SZ text of a value of HKEY_CURRENT_USER\Control Panel\Desktop, or
// "missing".
std::string DesktopValue(const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return "missing";
  }
  char data[64] = "";
  DWORD type = 0;
  DWORD size = sizeof data;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "missing";
  if (type != REG_SZ || size == 0 || data[size - 1] != '\0') return "not a REG_SZ text";
  return std::string(data, size - 1);
}

TEST_F(SystemParameters, EachFlagCombination) {
  struct Case {
    UINT action;
    UINT number;
    UINT flags;
    const char* desktopIni;
    const char* registryName;
    const char* registryValue;
    const char* broadcasts;
  } cases[] = {
      {SPI_SETSCREENSAVEACTIVE, 1, 0, "[Desktop]\r\nScreenSaveActive=1\r\n", "ScreenSaveActive",
       "missing", ""},
      {SPI_SETSCREENSAVEACTIVE, 0, SPIF_SENDWININICHANGE, "[Desktop]\r\nScreenSaveActive=0\r\n",
       "ScreenSaveActive", "missing", "WM_SETTINGCHANGE 17\n"},
      {SPI_SETSCREENSAVEACTIVE, 7, SPIF_UPDATEINIFILE, "[Desktop]\r\nScreenSaveActive=1\r\n",
       "ScreenSaveActive", "1", ""},
      {SPI_SETSCREENSAVETIMEOUT, 300, SPIF_UPDATEINIFILE, "[Desktop]\r\nScreenSaveTimeOut=300\r\n",
       "ScreenSaveTimeOut", "300", ""},
      {SPI_SETSCREENSAVETIMEOUT, 60, SPIF_UPDATEINIFILE | SPIF_SENDWININICHANGE,
       "[Desktop]\r\nScreenSaveTimeOut=60\r\n", "ScreenSaveTimeOut", "60", "WM_SETTINGCHANGE 15\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.action << " " << c.number << " flags " << c.flags);
    TearDown();
    SetUp();
    ASSERT_TRUE(SystemParametersInfoA(c.action, c.number, nullptr, c.flags));
    EXPECT_EQ(Read("session/desktop.ini"), c.desktopIni);
    EXPECT_EQ(DesktopValue(c.registryName), c.registryValue);
    EXPECT_EQ(Read("session/broadcasts.log"), c.broadcasts);
  }
}

TEST_F(SystemParameters, LaterCallsUpdateAndAnnounceAgain) {
  Write("session/desktop.ini", "; live settings\n[Desktop]\nWallpaper=x.bmp\n");
  ASSERT_TRUE(SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, nullptr, SPIF_SENDWININICHANGE));
  ASSERT_TRUE(SystemParametersInfoA(SPI_SETSCREENSAVETIMEOUT, 600, nullptr, SPIF_UPDATEINIFILE));
  ASSERT_TRUE(SystemParametersInfoA(SPI_SETSCREENSAVETIMEOUT, 300, nullptr, 3));
  ASSERT_TRUE(SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, nullptr, SPIF_SENDWININICHANGE));
  EXPECT_EQ(Read("session/desktop.ini"),
            "; live settings\n[Desktop]\nWallpaper=x.bmp\nScreenSaveActive=1\r\n"
            "ScreenSaveTimeOut=300\r\n");
  EXPECT_EQ(DesktopValue("ScreenSaveTimeOut"), "300");
  EXPECT_EQ(DesktopValue("ScreenSaveActive"), "missing");
  EXPECT_EQ(Read("session/broadcasts.log"),
            "WM_SETTINGCHANGE 17\nWM_SETTINGCHANGE 15\nWM_SETTINGCHANGE 17\n");
}

TEST_F(SystemParameters, OtherActionsFailAndLeaveNoTrace) {
  for (UINT action : {0u, 16u, 0x14u, 0x2000u}) {
    SCOPED_TRACE(action);
    EXPECT_FALSE(
        SystemParametersInfoA(action, 1, nullptr, SPIF_UPDATEINIFILE | SPIF_SENDWININICHANGE));
  }
  EXPECT_FALSE(Exists(""));
}

}  // namespace
