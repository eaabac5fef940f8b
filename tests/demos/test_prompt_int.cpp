// The integer prompt: what it accepts, what it refuses, what it prints.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "prompt_int.h"

namespace {

struct Answer {
  int value;
  std::string out;
};

Answer ask(const std::string& input, int min, int max, int def, const std::string& text = "Pick") {
  std::istringstream in(input);
  std::ostringstream out;
  int v = demos::prompt_int(in, out, text, min, max, def);
  return Answer{v, out.str()};
}

const char kRetry[] = "Input out of range, please try again.\n";

TEST(PromptInt, PrintsTextWithRangeAndReturnsAnAcceptedNumber) {
  Answer r = ask("3\n", 0, 5, 0, "\nPlease select the serial port");
  EXPECT_EQ(r.value, 3);
  EXPECT_EQ(r.out, "\nPlease select the serial port [0 - 5]\n");
  EXPECT_EQ(ask("-2\n", -5, 5, 0).value, -2);
  EXPECT_EQ(ask("+4\n", 0, 5, 0).value, 4);
  EXPECT_EQ(ask("5\n", 0, 5, 0).value, 5);
  EXPECT_EQ(ask("0\n", 0, 5, 3).value, 0);
}

TEST(PromptInt, EmptyLineGivesTheDefaultEvenOutsideTheRange) {
  EXPECT_EQ(ask("\n", 0, 1, 0).value, 0);
  EXPECT_EQ(ask("\n", 0, 3, -1).value, -1);
  EXPECT_EQ(ask("\r\n", 1, 255, 1).value, 1);  // a script with CR LF line ends
}

TEST(PromptInt, LeadingBlanksAndTrailingLettersAreTolerated) {
  EXPECT_EQ(ask(" 12abc\n", 0, 100, 0).value, 12);
  EXPECT_EQ(ask("\t7 8\n", 0, 100, 0).value, 7);
}

TEST(PromptInt, RefusedAnswersPrintTheMessageAndAskAgain) {
  // No digits, beyond int, below and above the range, a lone sign.
  Answer r = ask("abc\n99999999999\n-1\n6\n-\n4\n", 0, 5, 0);
  EXPECT_EQ(r.value, 4);
  EXPECT_EQ(r.out, std::string("Pick [0 - 5]\n") + kRetry + "Pick [0 - 5]\n" + kRetry + "Pick [0 - 5]\n" + kRetry +
                       "Pick [0 - 5]\n" + kRetry + "Pick [0 - 5]\n" + kRetry + "Pick [0 - 5]\n");
}

TEST(PromptInt, IntLimitsAreNumbersButOneBeyondIsNot) {
  EXPECT_EQ(ask("2147483647\n", 0, 2147483647, 0).value, 2147483647);
  EXPECT_EQ(ask("-2147483648\n", -2147483647 - 1, 0, 0).value, -2147483647 - 1);
  Answer r = ask("2147483648\n1\n", 0, 2147483647, 0);
  EXPECT_EQ(r.value, 1);
  EXPECT_NE(r.out.find(kRetry), std::string::npos);
}

TEST(PromptInt, EndedInputReturnsTheDefaultInsteadOfAskingForever) {
  EXPECT_EQ(ask("", 0, 7, 0).value, 0);
  EXPECT_EQ(ask("", 0, 3, -1).value, -1);
  // Refused answers, then the end: still ends.
  Answer r = ask("9\n", 0, 7, 2);
  EXPECT_EQ(r.value, 2);
  EXPECT_NE(r.out.find(kRetry), std::string::npos);
  // A last line without a line end still counts as an answer.
  EXPECT_EQ(ask("6", 0, 7, 0).value, 6);
}

TEST(TryPromptInt, TellsAnEndedInputApartFromAnAnswer) {
  auto answer = [](const std::string& input, int* value) {
    std::istringstream in(input);
    std::ostringstream out;
    *value = -99;
    return demos::try_prompt_int(in, out, "Target position", 0, 10000, 0, value);
  };
  int v = 0;
  EXPECT_FALSE(answer("", &v));
  EXPECT_EQ(v, -99) << "nothing written at the end of input";
  EXPECT_FALSE(answer("20000\nabc\n", &v)) << "refused answers, then the end";
  EXPECT_EQ(v, -99);
  ASSERT_TRUE(answer("\n", &v));
  EXPECT_EQ(v, 0) << "an empty line is an answer: the default";
  ASSERT_TRUE(answer("x\n7000", &v));
  EXPECT_EQ(v, 7000);
}

}  // namespace
