#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/command_line.h"

namespace {

RunSettings parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"orvctl"};
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

struct ParseCase {
  std::vector<std::string> args;
  uint32_t freq;
  int am, wb, hf, sound, debug, rssi;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
  for (const std::string& arg : c.args) {
    *os << '"' << arg << "\" ";
  }
}

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesSettings) {
  const ParseCase& c = GetParam();
  const RunSettings s = parse(c.args);
  EXPECT_EQ(s.FreqInHz, c.freq);
  EXPECT_EQ(s.AM, c.am);
  EXPECT_EQ(s.WB, c.wb);
  EXPECT_EQ(s.HF, c.hf);
  EXPECT_EQ(s.EmitSound, c.sound);
  EXPECT_EQ(s.Debug, c.debug);
  EXPECT_EQ(s.DisplayRSSI, c.rssi);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Arguments, ParseTest, testing::Values(
  //        args                          freq        am wb hf  s  d  r
  ParseCase{{"-"},                        0,          0, 0, 0, 0, 0, 0},
  ParseCase{{"700", "-"},                 700,        0, 0, 0, 0, 0, 0},
  ParseCase{{"-xyz", "--"},               0,          0, 0, 0, 0, 0, 0},
  ParseCase{{"-aw", "700"},               700,        0, 1, 0, 0, 0, 0},
  ParseCase{{"-wa", "700"},               700,        1, 0, 0, 0, 0, 0},
  ParseCase{{"-a", "-n"},                 0,          0, 0, 0, 0, 0, 0},
  ParseCase{{"-a", "-w", "-a"},           0,          1, 0, 0, 0, 0, 0},
  ParseCase{{"-sr"},                      0,          0, 0, 0, 1, 0, 1},
  ParseCase{{"-s", "-r", "-d"},           0,          0, 0, 0, 1, 1, 1},
  ParseCase{{"-h"},                       0,          0, 0, 1, 0, 0, 0},
  ParseCase{{"-hv"},                      0,          0, 0, 0, 0, 0, 0},
  ParseCase{{"-vh"},                      0,          0, 0, 1, 0, 0, 0},
  ParseCase{{"-h", "-v", "-h"},           0,          0, 0, 1, 0, 0, 0},
  ParseCase{{"145500", "abc"},            0,          0, 0, 0, 0, 0, 0},
  ParseCase{{"145500", "700"},            700,        0, 0, 0, 0, 0, 0},
  ParseCase{{"-5"},                       0,          0, 0, 0, 0, 0, 0},
  ParseCase{{"-s700"},                    0,          0, 0, 0, 1, 0, 0},
  ParseCase{{""},                         0,          0, 0, 0, 0, 0, 0},
  ParseCase{{" -5"},                      0xFFFFFFFBu,0, 0, 0, 0, 0, 0},
  ParseCase{{"700", "-dhw"},              700,        0, 1, 1, 0, 1, 0}));
// clang-format on

struct FrequencyCase {
  const char* text;
  int32_t value;  // as atoi would give it, saturated
};

void PrintTo(const FrequencyCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class FrequencyTest : public testing::TestWithParam<FrequencyCase> {};

TEST_P(FrequencyTest, ReadsLikeAtoiButSaturates) {
  EXPECT_EQ(parse_frequency(GetParam().text), static_cast<uint32_t>(GetParam().value))
      << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FrequencyTest,
    testing::Values(FrequencyCase{"12.5", 12}, FrequencyCase{"+500", 500}, FrequencyCase{" -5", -5},
                    FrequencyCase{"\t\n\v\f\r 42", 42}, FrequencyCase{"700kHz", 700},
                    FrequencyCase{"abc", 0}, FrequencyCase{"", 0}, FrequencyCase{"+", 0},
                    FrequencyCase{"+-5", 0}, FrequencyCase{"- 5", 0}, FrequencyCase{"0007", 7},
                    FrequencyCase{"2147483647", INT_MAX}, FrequencyCase{"2147483648", INT_MAX},
                    FrequencyCase{"-2147483648", INT_MIN}, FrequencyCase{"-2147483649", INT_MIN},
                    FrequencyCase{"99999999999999999999999999999999", INT_MAX},
                    FrequencyCase{"-99999999999999999999999999999999", INT_MIN}));

}  // namespace
