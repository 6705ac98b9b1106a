// The command line parser: rejections, options, names and paths.
#include "installer/command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/machine_folder_test.h"

namespace {

class CommandLine : public MachineFolderTest {};

struct Parsed {
  CommandLineResult result;
  std::string name;
  std::string path;
  bool global;
};

Parsed Parse(std::string tail) {
  InstallRequest request;
  // Garbage beforehand: the parser must clear what it does not fill.
  std::memset(&request, 'z', sizeof request);
  CommandLineResult result = ParseCommandLine(tail.data(), &request);
  if (result != COMMAND_LINE_ACCEPTED) return {result, "", "", false};
  return {result, request.name, request.path, request.global != 0};
}

TEST_F(CommandLine, RejectsMalformedTails) {
  const std::string longName(245, 'n');
  const std::string longPath(260, 'p');
  struct Case {
    std::string tail;
    CommandLineResult result;
    const char* title;
  } cases[] = {
      {"", COMMAND_LINE_EMPTY, "No command line"},
      {"-", COMMAND_LINE_BAD_OPTION, "Bad command line option"},
      {"-g", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      {"Aquarium D:\\x", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      {"\"Aquarium D:\\x", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      // The option letter is taken even when it is the opening quote.
      {"-\"Aquarium\" D:\\x", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      {"\"\" D:\\x", COMMAND_LINE_NO_NAME, "No name specified"},
      {"-g \"\"", COMMAND_LINE_NO_NAME, "No name specified"},
      // A line end in the name or the path would split the lines that record them.
      {"\"A\nB\" D:\\x", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      {"-g \"A\rB\" D:\\x", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      {"\"Aquarium\" D:\\x\r\n[Boot]", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      {"\"Aquarium\" D:\\x\n", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      {"\"Aquarium\" \r", COMMAND_LINE_NO_QUOTES, "Bad command line"},
      // C:\WINDOWS\ + name + .scr must fit in 259 characters.
      {"\"" + longName + "\"", COMMAND_LINE_NAME_TOO_LONG, "Name too long"},
      {"\"" + std::string(400, 'n') + "\"", COMMAND_LINE_NAME_TOO_LONG, "Name too long"},
      {"\"A\" " + longPath, COMMAND_LINE_PATH_TOO_LONG, "Path too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail.substr(0, 40));
    EXPECT_EQ(Parse(c.tail).result, c.result);
    EXPECT_STREQ(CommandLineErrorTitle(c.result), c.title);
  }
  EXPECT_EQ(CommandLineErrorTitle(COMMAND_LINE_ACCEPTED), nullptr);
  InstallRequest request;
  EXPECT_EQ(ParseCommandLine(nullptr, &request), COMMAND_LINE_EMPTY);
  // Parsing reads the Windows directory and writes nothing.
  EXPECT_FALSE(Exists(""));
}

TEST_F(CommandLine, AcceptsWellFormedTails) {
  const std::string fittingName(244, 'n');
  const std::string fittingPath(259, 'p');
  struct Case {
    std::string tail;
    std::string name;
    std::string path;
    bool global;
  } cases[] = {
      {"-g \"Aquarium\" D:\\Shows\\Aquarium", "Aquarium", "D:\\Shows\\Aquarium", true},
      {"-G \"Aquarium\" D:\\x", "Aquarium", "D:\\x", true},
      {"-x \"Aquarium\" D:\\x", "Aquarium", "D:\\x", false},
      {"\"Aquarium\" D:\\x", "Aquarium", "D:\\x", false},
      // The rest of the option word, and any text before the quote, is ignored.
      {"-gfoo \"Aquarium\" D:\\x", "Aquarium", "D:\\x", true},
      {"-g word \"Aquarium\" D:\\x", "Aquarium", "D:\\x", true},
      {"word \"Aquarium\" D:\\x", "Aquarium", "D:\\x", false},
      // An option is only the very first character of the tail.
      {"x -g \"Aquarium\"", "Aquarium", "", false},
      // "-" and a quote: the quote is the option, a later pair gives the name.
      {"-\"A\" \"B\" C", " ", "B\" C", false},
      {"\"My Fish, 2\" D:\\x", "My Fish, 2", "D:\\x", false},
      {"\"Aquarium\"", "Aquarium", "", false},
      {"\"Aquarium\"D:\\x", "Aquarium", "D:\\x", false},
      // Only blanks are skipped; a tab and trailing blanks stay in the path,
      // and so do further quotes.
      {"\"Aquarium\"   D:\\x  ", "Aquarium", "D:\\x  ", false},
      {"\"Aquarium\"\tD:\\x", "Aquarium", "\tD:\\x", false},
      {"\"Aquarium\" \"D:\\my shows\"", "Aquarium", "\"D:\\my shows\"", false},
      {"\"Aquarium\"    ", "Aquarium", "", false},
      // The program's own quoted path when the command line began with a blank.
      {"\"C:\\saverset.exe\" -g \"A\"", "C:\\saverset.exe", "-g \"A\"", false},
      {"\"" + fittingName + "\" " + fittingPath, fittingName, fittingPath, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail.substr(0, 40));
    Parsed parsed = Parse(c.tail);
    ASSERT_EQ(parsed.result, COMMAND_LINE_ACCEPTED);
    EXPECT_EQ(parsed.name, c.name);
    EXPECT_EQ(parsed.path, c.path);
    EXPECT_EQ(parsed.global, c.global);
  }
}

TEST_F(CommandLine, EndsTheNameInTheTail) {
  std::string tail = "-g \"Aquarium\" D:\\x";
  InstallRequest request;
  ASSERT_EQ(ParseCommandLine(tail.data(), &request), COMMAND_LINE_ACCEPTED);
  EXPECT_EQ(tail[12], '\0');
}

}  // namespace
