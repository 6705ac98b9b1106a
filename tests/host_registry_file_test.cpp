// The REGEDIT4 text of one root key: parse errors, look-ups, value line
// formats and in-place edits that keep every byte they do not touch.
#include "platform/host/registry_file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using saverset::host::FormatRegistryValueLine;
using saverset::host::RegistryFile;
using saverset::host::RegistryParseError;

using namespace std::string_literals;

constexpr const char* kRoot = "HKEY_CURRENT_USER";

RegistryFile Parsed(const std::string& text) {
  RegistryFile file(kRoot);
  RegistryParseError error;
  EXPECT_TRUE(file.Parse(text, &error)) << "line " << error.line << ": " << error.message;
  return file;
}

TEST(RegistryFile, RejectsWhatIsNotRegedit4WithItsLine) {
  struct Case {
    std::string text;
    size_t line;
    std::string message;  // a part of it
  };
  const Case cases[] = {
      {"", 1, "REGEDIT4"},
      {"Windows Registry Editor Version 5.00\r\n\r\n", 1, "REGEDIT4"},
      {"\xEF\xBB\xBFREGEDIT4\r\n", 1, "REGEDIT4"},
      {"regedit4\r\n", 1, "REGEDIT4"},
      {"REGEDIT4\r\n\r\n[-HKEY_CURRENT_USER\\a]\r\n", 3, "deletion"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\a]\n\"x\"=-\n", 3, "deletion"},
      {"REGEDIT4\r\n\"x\"=\"1\"\r\n", 2, "before the first key"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\a]\r\n", 2, "outside the root"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USERS\\a]\r\n", 2, "outside the root"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\a\\\\b]\r\n", 2, "empty key name"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\]\r\n", 2, "empty key name"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\a\r\n", 2, "closing ]"},
      {"REGEDIT4\r\n; fine\r\nsomething else\r\n", 3, "not a key header"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=\"abc\r\n", 3, "closing quote"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\r\n", 3, "closing quote"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=\"C:\\WINDOWS\"\r\n", 3, "escape"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\" \"1\"\r\n", 3, "= expected"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=\"1\" 2\r\n", 3, "after the value"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=dword:\r\n", 3, "dword"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=dword:123456789\r\n", 3, "dword"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=dword:12g\r\n", 3, "after the value"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=hex:01,,02\r\n", 3, "hex byte expected"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=hex:01,\r\n", 3, "hex byte expected"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=hex:012\r\n", 3, "comma expected"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=hex(1g):00\r\n", 3, "hex(type)"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=hex():00\r\n", 3, "hex(type)"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=str(2):\"a\"\r\n", 3, "unknown value data"},
      {"REGEDIT4\n[HKEY_CURRENT_USER]\n\"x\"=hex:01,\\\n  02,\\\n  zz\n", 5, "hex byte expected"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=hex:01,\\\r\n", 3, "end of the file"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER]\r\n\"x\"=hex:01,\\", 3, "end of the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RegistryFile file(kRoot);
    const std::string before = file.Text();
    RegistryParseError error;
    EXPECT_FALSE(file.Parse(c.text, &error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_EQ(error.message.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(file.Text(), before);
  }
}

// A file as a person or another tool may leave it: LF and CRLF mixed,
// comments, odd spacing, keys out of order and listed twice, continuations.
const std::string kForeign =
    "REGEDIT4\n"
    "; made by hand\n"
    "\n"
    "  [hkey_current_user\\Software\\Vendor]  \r\n"
    "\"Name\" = \"Say \\\"hi\\\" \\\\ bye\"\n"
    "@=\"default\"\n"
    "\"Count\"=dword:0000012C\n"
    "\"Blob\"=hex:00,ff,\\\n"
    "  10, 2\n"
    "\"Multi\"=hex(7):61,00,\\\r\n"
    "  00\r\n"
    "\"q\\\"\\\\\"=hex(2a):\n"
    "\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"
    "\"Wallpaper\"=\"old\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\vendor]\n"
    "\"name\"=\"later wins\"\n"
    "\"Extra\"=\"\"";

TEST(RegistryFile, FindsKeysAndValuesCaseInsensitively) {
  const RegistryFile file = Parsed(kForeign);
  struct KeyCase {
    std::string path;
    bool exists;
    std::string stored;
  };
  const KeyCase keys[] = {
      {"", true, ""},
      {"software", true, "Software"},
      {"SOFTWARE\\VENDOR", true, "Software\\Vendor"},
      {"Control Panel", true, "Control Panel"},
      {"control panel\\desktop", true, "Control Panel\\Desktop"},
      {"Control", false, ""},
      {"Software\\Vendor\\Sub", false, ""},
      {"Software\\Vendo", false, ""},
  };
  for (const KeyCase& c : keys) {
    SCOPED_TRACE(c.path);
    std::string stored = "unset";
    EXPECT_EQ(file.KeyExists(c.path, &stored), c.exists);
    if (c.exists) {
      EXPECT_EQ(stored, c.stored);
    }
  }

  struct ValueCase {
    std::string path;
    std::string name;
    bool found;
    DWORD type;
    std::string data;
  };
  const ValueCase values[] = {
      {"software\\vendor", "NAME", true, REG_SZ, "later wins\0"s},
      {"software\\vendor", "", true, REG_SZ, "default\0"s},
      {"software\\vendor", "count", true, REG_DWORD, "\x2c\x01\x00\x00"s},
      {"software\\vendor", "Blob", true, REG_BINARY, "\x00\xff\x10\x02"s},
      {"software\\vendor", "Multi", true, 7, "a\0\0"s},
      {"software\\vendor", "Q\"\\", true, 0x2a, ""},
      {"software\\vendor", "Extra", true, REG_SZ, "\0"s},
      {"software\\vendor", "Wallpaper", false, 0, ""},
      {"Control Panel\\Desktop", "wallpaper", true, REG_SZ, "old\0"s},
      {"Control Panel", "wallpaper", false, 0, ""},
  };
  for (const ValueCase& c : values) {
    SCOPED_TRACE(c.path + " " + c.name);
    DWORD type = 0;
    std::string data;
    ASSERT_EQ(file.FindValue(c.path, c.name, &type, &data), c.found);
    if (!c.found) continue;
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data, c.data);
  }
}

TEST(RegistryFile, FormatsValueLines) {
  struct Case {
    std::string name;
    DWORD type;
    std::string data;
    std::string line;
  };
  const Case cases[] = {
      {"SCRNSAVE.EXE", REG_SZ, "C:\\WINDOWS\\A.scr\0"s,
       "\"SCRNSAVE.EXE\"=\"C:\\\\WINDOWS\\\\A.scr\""},
      {"q\"\\", REG_SZ, "say \"x\"\0"s, "\"q\\\"\\\\\"=\"say \\\"x\\\"\""},
      {"", REG_SZ, "\0"s, "@=\"\""},
      {"@", REG_SZ, "x\0"s, "\"@\"=\"x\""},
      {"T", REG_SZ, "\xe9t\xe9\t;\0"s, "\"T\"=\"\xe9t\xe9\t;\""},
      {"T", REG_DWORD, "\x2c\x01\x00\x00"s, "\"T\"=dword:0000012c"},
      {"T", REG_DWORD, "\xff\xff\xff\xff"s, "\"T\"=dword:ffffffff"},
      // Everything that the two forms above would not give back exactly.
      {"T", REG_SZ, "a\0b\0"s, "\"T\"=hex(1):61,00,62,00"},
      {"T", REG_SZ, "a\r\n\0"s, "\"T\"=hex(1):61,0d,0a,00"},
      {"T", REG_SZ, "ab", "\"T\"=hex(1):61,62"},
      {"T", REG_SZ, "a\0\0"s, "\"T\"=hex(1):61,00,00"},
      {"T", REG_SZ, "", "\"T\"=hex(1):"},
      {"T", REG_EXPAND_SZ, "%a%\0"s, "\"T\"=hex(2):25,61,25,00"},
      {"T", REG_DWORD, "\x01\x02\x03"s, "\"T\"=hex(4):01,02,03"},
      {"T", REG_BINARY, "\x00\xab"s, "\"T\"=hex(3):00,ab"},
      {"T", REG_NONE, "", "\"T\"=hex(0):"},
      {"T", 0xDEADBEEF, "\x01"s, "\"T\"=hex(deadbeef):01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(FormatRegistryValueLine(c.name, c.type, c.data), c.line);
  }
}

// Whatever is set reads back with its exact type and bytes, from the edited
// registry and from a fresh parse of its text.
TEST(RegistryFile, SetValuesReadBackExactly) {
  struct Case {
    std::string name;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {"Plain", REG_SZ, "text\0"s},
      {"Quoted \"\\ name", REG_SZ, "\\\"\0"s},
      {"", REG_SZ, "default\0"s},
      {"Nul", REG_SZ, "a\0b\0"s},
      {"Unterminated", REG_SZ, "ab"},
      {"Empty", REG_BINARY, ""},
      {"Number", REG_DWORD, "\x78\x56\x34\x12"s},
      {"Short", REG_DWORD, "\x01"s},
      {"Odd", 0x12345678, "\x00\x0d\x0a\\\""s},
  };
  for (const char* start : {"", "REGEDIT4\n[HKEY_CURRENT_USER\\k]", "REGEDIT4\r\n\r\n; x"}) {
    RegistryFile file(kRoot);
    if (*start != '\0') file = Parsed(start);
    bool created;
    ASSERT_TRUE(file.CreateKey("k", &created));
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(start) + " / " + c.name);
      ASSERT_TRUE(file.SetValue("K", c.name, c.type, c.data));
      for (const RegistryFile& reader : {file, Parsed(file.Text())}) {
        DWORD type = 0;
        std::string data;
        ASSERT_TRUE(reader.FindValue("k", c.name, &type, &data));
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.data);
      }
    }
  }
}

TEST(RegistryFile, RefusesNamesThatWouldBreakTheLine) {
  RegistryFile file(kRoot);
  bool created;
  EXPECT_FALSE(file.CreateKey("a\r\nb", &created));
  EXPECT_FALSE(file.CreateKey("a\\\\b", &created));
  EXPECT_FALSE(file.CreateKey("\\a", &created));
  ASSERT_TRUE(file.CreateKey("a", &created));
  EXPECT_FALSE(file.SetValue("a", "x\ny", REG_SZ, "1\0"s));
  EXPECT_FALSE(file.SetValue("missing", "x", REG_SZ, "1\0"s));
  EXPECT_EQ(file.Text(), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\a]\r\n\r\n");
}

TEST(RegistryFile, EditsKeepEveryOtherByte) {
  struct Case {
    const char* what;
    std::string before;
    std::string path;
    std::string name;
    std::string text;  // set as REG_SZ
    std::string after;
  };
  const std::string head = "REGEDIT4\n; note \n\n";
  const Case cases[] = {
      {"replaces a value line and keeps its LF",
       head + "[HKEY_CURRENT_USER\\A]\n"
              "  \"x\" =  \"old\"   \n"
              "\"y\"=hex:01,\\\n"
              "  02\n"
              "; tail\n",
       "a", "Y", "new",
       head + "[HKEY_CURRENT_USER\\A]\n"
              "  \"x\" =  \"old\"   \n"
              "\"y\"=\"new\"\n"
              "; tail\n"},
      {"keeps the name as first written", head + "[HKEY_CURRENT_USER\\A]\r\n\"Name\"=\"1\"\r\n",
       "A", "NAME", "2", head + "[HKEY_CURRENT_USER\\A]\r\n\"Name\"=\"2\"\r\n"},
      {"replaces the last of a value given twice",
       head + "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n[HKEY_CURRENT_USER\\a]\n\"X\"=\"2\"\n", "A",
       "x", "3",
       head + "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n[HKEY_CURRENT_USER\\a]\n\"X\"=\"3\"\n"},
      {"gives a last line without end a CRLF", head + "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"", "A",
       "x", "2", head + "[HKEY_CURRENT_USER\\A]\n\"x\"=\"2\"\r\n"},
      {"adds a value after the key's last value line",
       head + "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n; about B\n\n[HKEY_CURRENT_USER\\B]\n", "a",
       "y", "2",
       head + "[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\r\n; about B\n\n"
              "[HKEY_CURRENT_USER\\B]\n"},
      {"adds a first value right after the header",
       head + "[HKEY_CURRENT_USER\\A]\n\n[HKEY_CURRENT_USER\\B]\n", "A", "y", "2",
       head + "[HKEY_CURRENT_USER\\A]\n\"y\"=\"2\"\r\n\n[HKEY_CURRENT_USER\\B]\n"},
      {"ends a header at the end of the file before adding", head + "[HKEY_CURRENT_USER\\A]", "A",
       "", "d", head + "[HKEY_CURRENT_USER\\A]\r\n@=\"d\"\r\n"},
      {"gives a key without a header its own block",
       head + "[HKEY_CURRENT_USER\\A\\B\\C]\n\n[HKEY_CURRENT_USER\\B]\n", "a\\b", "v", "1",
       head + "[HKEY_CURRENT_USER\\A\\B]\r\n\"v\"=\"1\"\r\n\r\n[HKEY_CURRENT_USER\\A\\B\\C]\n\n"
              "[HKEY_CURRENT_USER\\B]\n"},
      {"gives the root key its block first", head + "[HKEY_CURRENT_USER\\A]\n", "", "v", "1",
       head + "[HKEY_CURRENT_USER]\r\n\"v\"=\"1\"\r\n\r\n[HKEY_CURRENT_USER\\A]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegistryFile file = Parsed(c.before);
    ASSERT_TRUE(file.SetValue(c.path, c.name, REG_SZ, c.text + '\0'));
    EXPECT_EQ(file.Text(), c.after);
  }
}

TEST(RegistryFile, CreatesKeysInOrder) {
  struct Case {
    const char* what;
    std::string before;  // blocks after the REGEDIT4 line and a blank one
    std::string path;
    std::string after;
  };
  const std::string a = "[HKEY_CURRENT_USER\\A]\r\n\r\n";
  const std::string a2 = "[HKEY_CURRENT_USER\\A2]\r\n\r\n";
  const std::string ab = "[HKEY_CURRENT_USER\\A\\B]\r\n\r\n";
  const std::string b = "[HKEY_CURRENT_USER\\b]\r\n\"x\"=\"1\"\r\n\r\n";
  const Case cases[] = {
      {"a new file", "", "Control Panel\\Desktop",
       "[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n"
       "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\r\n"},
      {"a key sorts before the keys below it and after its parent", a + a2, "a\\B", a + ab + a2},
      {"missing levels go each to its place", a2 + b, "A\\B", a + ab + a2 + b},
      {"case does not order", a + b, "B2", a + b + "[HKEY_CURRENT_USER\\B2]\r\n\r\n"},
      {"existing levels keep their case", b, "B\\c", b + "[HKEY_CURRENT_USER\\b\\c]\r\n\r\n"},
      {"unsorted files: before the first block sorting after", b + a, "A2", a2 + b + a},
      {"a file without a last line end", "; end", "A", "; end\r\n" + a},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegistryFile file = Parsed("REGEDIT4\r\n\r\n" + c.before);
    bool created = false;
    ASSERT_TRUE(file.CreateKey(c.path, &created));
    EXPECT_TRUE(created);
    EXPECT_EQ(file.Text(), "REGEDIT4\r\n\r\n" + c.after);
  }
}

// An edit moves the file's index along rather than reading the whole text
// again, so after each edit of a sequence the file must answer as its text
// read afresh does, and make the same next edit.
TEST(RegistryFile, EditedFileAnswersAsItsTextReadAgain) {
  struct Step {
    const char* path;
    const char* name;  // null: create the key
    std::string text;
  };
  const Step steps[] = {
      {"Software\\Vendor\\Sub\\Deep", nullptr, ""},
      {"software\\vendor", "NAME", "short"},
      {"Control Panel\\Desktop", nullptr, ""},
      {"Control Panel\\Desktop", "New", "a value"},
      {"AAA", nullptr, ""},
      {"", "root", "r"},
      {"zzz\\y", nullptr, ""},
      {"zzz\\y", "a", std::string(300, 'x')},
      {"Software\\Vendor", "Blob", "now text"},
      {"Software\\Vendor\\Sub", "v", "1"},
      {"A\\B", nullptr, ""},
      {"A", "", "d"},
  };
  const char* const paths[] = {"",
                               "A",
                               "A\\B",
                               "AAA",
                               "Control Panel",
                               "Control Panel\\Desktop",
                               "Software",
                               "Software\\Vendor",
                               "Software\\Vendor\\Sub",
                               "Software\\Vendor\\Sub\\Deep",
                               "zzz",
                               "zzz\\y",
                               "missing"};
  const char* const names[] = {"", "Name", "New", "root", "a", "Blob", "v", "Count", "Extra"};
  for (const std::string& start : {kForeign, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]"s}) {
    SCOPED_TRACE(start);
    RegistryFile file = Parsed(start);
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(step.path) + " " + (step.name ? step.name : "(create)"));
      RegistryFile again = Parsed(file.Text());
      bool created;
      for (RegistryFile* edited : {&file, &again}) {
        if (step.name == nullptr) {
          ASSERT_TRUE(edited->CreateKey(step.path, &created));
        } else {
          ASSERT_TRUE(edited->SetValue(step.path, step.name, REG_SZ, step.text + '\0'));
        }
      }
      ASSERT_EQ(file.Text(), again.Text());
      const RegistryFile fresh = Parsed(file.Text());
      for (const char* path : paths) {
        SCOPED_TRACE(path);
        std::string stored, freshStored;
        ASSERT_EQ(file.KeyExists(path, &stored), fresh.KeyExists(path, &freshStored));
        EXPECT_EQ(stored, freshStored);
        for (const char* name : names) {
          DWORD type = 0, freshType = 0;
          std::string data, freshData;
          ASSERT_EQ(file.FindValue(path, name, &type, &data),
                    fresh.FindValue(path, name, &freshType, &freshData))
              << name;
          EXPECT_EQ(type, freshType) << name;
          EXPECT_EQ(data, freshData) << name;
        }
      }
    }
  }
}

TEST(RegistryFile, CreatingAnExistingKeyChangesNothing) {
  const std::string text = "REGEDIT4\n[HKEY_CURRENT_USER\\A\\B]\n";
  RegistryFile file = Parsed(text);
  for (const char* path : {"", "a", "A\\b"}) {
    SCOPED_TRACE(path);
    bool created = true;
    std::string stored;
    ASSERT_TRUE(file.CreateKey(path, &created, &stored));
    EXPECT_FALSE(created);
    EXPECT_EQ(file.Text(), text);
  }
  bool created = false;
  std::string stored;
  ASSERT_TRUE(file.CreateKey("a\\b\\New", &created, &stored));
  EXPECT_TRUE(created);
  EXPECT_EQ(stored, "A\\B\\New");
}

}  // namespace
