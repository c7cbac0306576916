// SPDX-License-Identifier: MIT
// operands_test.cpp: the settings the operand parser gives, field by field. The parser is private
// to the program's main file, so that file is compiled in here with its main renamed.
#include <gtest/gtest.h>

#include <vector>

#define main blockmeter_main
#include "main.cpp"
#undef main

namespace {

transfer_settings parse(const std::vector<const char*>& operands) {
  std::vector<char*> argv{const_cast<char*>("blockmeter")};
  for (const char* operand : operands) argv.push_back(const_cast<char*>(operand));
  argv.push_back(nullptr);
  return parse_operands(argv.data());
}

struct parsed {
  std::vector<const char*> operands;
  int64_t block_size;
  uint64_t full_size;
  int64_t block_limit;
};

void PrintTo(const parsed& row, std::ostream* out) {
  for (const char* operand : row.operands) *out << operand << ' ';
}

class Parsed : public testing::TestWithParam<parsed> {};

TEST_P(Parsed, FieldsAreExact) {
  const transfer_settings settings = parse(GetParam().operands);
  EXPECT_EQ(settings.block_size, GetParam().block_size);
  EXPECT_EQ(settings.full_size, GetParam().full_size);
  EXPECT_EQ(settings.block_limit, GetParam().block_limit);
}

constexpr uint64_t kib = uint64_t{1} << 10;
constexpr uint64_t mib = uint64_t{1} << 20;
constexpr uint64_t gib = uint64_t{1} << 30;

INSTANTIATE_TEST_SUITE_P(Operands, Parsed,
                         testing::Values(
                             // count= takes the block size in effect when it is read.
                             parsed{{"count=3", "bs=1K"}, 1024, 3, 3}, parsed{{"bs=1K", "count=3"}, 1024, 3 * kib, 3},
                             parsed{{"fs=1M", "count=2"}, 1, 2, 2}, parsed{{"count=2", "fs=1M"}, 1, mib, 2},
                             parsed{{"fs=0", "count=5"}, 1, 5, 5}, parsed{{"bs=1M", "fs=4G"}, 1 << 20, 4 * gib, -1},
                             parsed{{"bs= 12", "fs=1"}, 12, 1, -1}, parsed{{"bs=+12", "fs=1"}, 12, 1, -1},
                             parsed{{"bs=-5", "bs=10", "fs=1"}, 10, 1, -1}, parsed{{"fs=-1"}, 1, UINT64_MAX, -1},
                             parsed{{"fs=8589934591G"}, 1, 8589934591 * gib, -1},
                             parsed{{"fs=-8589934592G"}, 1, uint64_t{1} << 63, -1},
                             parsed{{"bs=3", "count=-2"}, 3, static_cast<uint64_t>(-6), -2},
                             parsed{{"count=1", "count=4"}, 1, 4, 4}));

TEST(Operands, PathsPointIntoTheArguments) {
  char in[] = "if=in.img";
  char out[] = "of=";
  char size[] = "fs=1";
  char* argv[] = {const_cast<char*>("blockmeter"), in, out, size, nullptr};
  const transfer_settings settings = parse_operands(argv);
  EXPECT_EQ(settings.input_path, in + 3);
  EXPECT_EQ(settings.output_path, out + 3);
}

// The kernel gives a program at least one argument, so only a direct call can pass none.
TEST(OperandsDeathTest, EmptyArgumentVectorGivesUsageWithTheProgramName) {
  char* argv[] = {nullptr};
  EXPECT_EXIT(blockmeter_main(0, argv), testing::ExitedWithCode(1),
              "^blockmeter: usage: blockmeter \\[if=FILE\\] \\[of=FILE\\] \\[bs=BLOCK-SIZE\\] "
              "fs=FULL-SIZE\\|count=COUNT \\(use K, M, G\\)\n$");
}

}  // namespace
