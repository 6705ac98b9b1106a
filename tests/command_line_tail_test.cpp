// The command line tail as the GUI start-up derives it.
#include "platform/command_line_tail.h"

#include <gtest/gtest.h>

#include <string>

namespace {

BOOL NoLeadBytes(BYTE) {
  return FALSE;
}

// A double-byte code page whose lead bytes are 0x81 to 0x9F, as in Shift JIS;
// the trail byte may be any value, a double quote among them.
BOOL ShiftJisLeadBytes(BYTE byte) {
  return byte >= 0x81 && byte <= 0x9F;
}

TEST(CommandLineTail, SkipsProgramNameAndFollowingBlanks) {
  struct Case {
    const char* line;
    const char* tail;
    LeadByteTest isLeadByte;
  } cases[] = {
      {"\"C:\\Program Files\\saverset.exe\" -g \"A\" D:\\x", "-g \"A\" D:\\x", NoLeadBytes},
      {"saverset.exe -g \"A\"", "-g \"A\"", NoLeadBytes},
      {"saverset.exe", "", NoLeadBytes},
      {"", "", NoLeadBytes},
      {"\"saverset.exe\"", "", NoLeadBytes},
      // Blanks inside the quotes belong to the name.
      {"\"saverset.exe -g \"A\"", "A\"", NoLeadBytes},
      // Without a closing quote the whole line is the program's name.
      {"\"unterminated -g", "", NoLeadBytes},
      // A quoted name ends at its closing quote even when text follows it.
      {"\"saverset\"x \"A\"", "x \"A\"", NoLeadBytes},
      // Every character from 1 to 32 after the name is skipped, tabs included.
      {"saverset.exe \t\r\n\x01 \"A\"", "\"A\"", NoLeadBytes},
      {"saverset.exe\t\"A\"", "\"A\"", NoLeadBytes},
      // Bytes above 127 are above 32: they belong to an unquoted name.
      {"saver\xE9set.exe \"A\"", "\"A\"", NoLeadBytes},
      // A line that begins with a blank or a control character has an empty
      // program name; the rest of the line is the tail.
      {" \"C:\\saverset.exe\" \"A\"", "\"C:\\saverset.exe\" \"A\"", NoLeadBytes},
      {"\t-g \"A\"", "-g \"A\"", NoLeadBytes},
      // A trail byte with the value of a quote does not end the name...
      {"\"\x81\"name\" -g \"A\"", "-g \"A\"", ShiftJisLeadBytes},
      // ...which it does in a code page without lead bytes.
      {"\"\x81\"name\" -g \"A\"", "name\" -g \"A\"", NoLeadBytes},
      // A lead byte right before the end of the line ends the scan there.
      {"\"saver\x81", "", ShiftJisLeadBytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string line = c.line;
    LPSTR tail = GetCommandLineTail(line.data(), c.isLeadByte);
    EXPECT_STREQ(tail, c.tail);
    // The tail points into the line, so the parser can write into it.
    EXPECT_GE(tail, line.data());
    EXPECT_LE(tail, line.data() + line.size());
  }
}

}  // namespace
