// cli_test.cpp: the command line through the real binary: every refusal, its exact message and status,
// and that a refused command leaves the file system as it was.
#include <gtest/gtest.h>

#include <string>

#include "run_tool.h"

namespace {

const std::string usage_tail = " [if=FILE] [of=FILE] [bs=BLOCK-SIZE] fs=FULL-SIZE|count=COUNT (use K, M, G)\n";
const std::string usage_line = "blockmeter: usage: " BLOCKMETER_PATH + usage_tail;
const std::string out_of_range = ": Numerical result out of range\n";

struct refusal {
  const char* operands;  // shell words after the program name
  std::string message;   // the whole of standard error
};

void PrintTo(const refusal& row, std::ostream* out) { *out << row.operands; }

class Refusals : public testing::TestWithParam<refusal> {};

// Every refusal happens before anything is opened: an existing output named first stays as it was.
TEST_P(Refusals, ExactMessageStatusOneOutputUntouched) {
  scratch_dir dir;
  write_file(dir / "keep", "precious");
  const run_result result = run_shell("\"$BM\" of=keep " + std::string(GetParam().operands), dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, GetParam().message);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(read_file(dir / "keep"), "precious");
}

INSTANTIATE_TEST_SUITE_P(
    Operands, Refusals,
    testing::Values(
        refusal{"bs= fs=1", "blockmeter: no bs\n"}, refusal{"bs=1k fs=1", "blockmeter: wrong bs\n"},
        refusal{"bs=1KB fs=1", "blockmeter: wrong bs\n"}, refusal{"'bs=1 K' fs=1", "blockmeter: wrong bs\n"},
        refusal{"bs=+K fs=1", "blockmeter: wrong bs\n"}, refusal{"'bs= K' fs=1", "blockmeter: wrong bs\n"},
        refusal{"bs=1KK fs=1", "blockmeter: wrong bs\n"}, refusal{"bs=x fs=y", "blockmeter: wrong bs\n"},
        refusal{"bs=99999999999999999999 fs=1", "blockmeter: wrong bs" + out_of_range},
        refusal{"bs=-99999999999999999999 fs=1", "blockmeter: wrong bs" + out_of_range},
        refusal{"bs=99999999999999999999x fs=1", "blockmeter: wrong bs\n"}, refusal{"fs=", "blockmeter: no fs\n"},
        refusal{"fs=1m", "blockmeter: wrong fs\n"}, refusal{"fs=2Gb", "blockmeter: wrong fs\n"},
        refusal{"fs=99999999999999999999", "blockmeter: wrong fs" + out_of_range},
        refusal{"fs=99999999999999999999G", "blockmeter: wrong fs" + out_of_range},
        refusal{"count= fs=1", "blockmeter: no count\n"}, refusal{"'count= '", "blockmeter: wrong count\n"},
        refusal{"count=2K", "blockmeter: wrong count\n"},
        refusal{"count=99999999999999999999", "blockmeter: wrong count" + out_of_range},
        refusal{"count=99999999999999999999x", "blockmeter: wrong count\n"},
        refusal{"IF=x fs=1", "blockmeter: IF=x: wrong argument\n"},
        refusal{"ifx=y fs=1", "blockmeter: ifx=y: wrong argument\n"},
        refusal{"fs=1 count bs=2", "blockmeter: count: wrong argument\n"},
        refusal{"fs=1 bs=2 ''", "blockmeter: : wrong argument\n"},
        refusal{"fs=1 wrong bs=x", "blockmeter: wrong: wrong argument\n"},
        // No full size, or one that comes to 0.
        refusal{"", usage_line}, refusal{"if=a bs=4", usage_line}, refusal{"fs=0", usage_line},
        refusal{"count=0", usage_line}, refusal{"count=5 fs=0", usage_line}, refusal{"bs=0 count=5", usage_line},
        refusal{"bs=K count=5", usage_line}, refusal{"bs=-5", usage_line},
        // A scaled size that does not fit 64 bits is out of range, not wrapped.
        refusal{"bs=8589934592G fs=1", "blockmeter: wrong bs" + out_of_range},
        refusal{"fs=8796093022208M", "blockmeter: wrong fs" + out_of_range},
        refusal{"fs=-9007199254740993K", "blockmeter: wrong fs" + out_of_range},
        refusal{"bs=8589934592x fs=1", "blockmeter: wrong bs\n"},
        // A count whose product with the block size does not fit.
        refusal{"bs=4 count=3000000000000000000", "blockmeter: wrong count" + out_of_range},
        refusal{"bs=2 count=-4611686018427387905", "blockmeter: wrong count" + out_of_range},
        // A negative block size, once the operands are all read.
        refusal{"bs=-5 fs=1", "blockmeter: wrong bs\n"}, refusal{"bs=-1 count=3", "blockmeter: wrong bs\n"},
        refusal{"bs=-2 count=4611686018427387904", "blockmeter: wrong bs\n"},
        // An input that cannot be opened, or a block buffer the machine cannot give: both come
        // before the output is created.
        refusal{"bs=1000000G fs=1", "blockmeter: cannot allocate 1073741824000000 bytes: Cannot allocate memory\n"},
        refusal{"if=missing fs=1", "blockmeter: missing: No such file or directory\n"},
        refusal{"if= fs=1", "blockmeter: : No such file or directory\n"}));

TEST(CommandLine, UsageNamesTheInvocationUnchangedAndPrefixesItsLastComponent) {
  scratch_dir dir;
  const run_result result = run_shell("ln -s \"$BM\" bm && ./bm", dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "bm: usage: ./bm" + usage_tail);
}

TEST(CommandLine, NoOperandsAtAllGivesUsage) {
  scratch_dir dir;
  const run_result result = run_shell("\"$BM\"", dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, usage_line);
}

TEST(CommandLine, RefusalCreatesNoOutput) {
  scratch_dir dir;
  const run_result result = run_shell("\"$BM\" of=new bs=1k fs=1", dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "new"));
}

struct accepted {
  const char* operands;
  const char* input;
  const char* output;
};

void PrintTo(const accepted& row, std::ostream* out) { *out << row.operands; }

class Accepted : public testing::TestWithParam<accepted> {};

// Operands that look odd but are sound: later ones win, strtoll's blanks and signs are taken.
TEST_P(Accepted, CopiesAndSaysOk) {
  scratch_dir dir;
  write_file(dir / "in", GetParam().input);
  const run_result result = run_shell("\"$BM\" if=in " + std::string(GetParam().operands), dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(after_screens(result.errors), "OK\n");
  EXPECT_EQ(result.output, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Operands, Accepted,
    testing::Values(accepted{"'bs= 2' count=2", "abcdefgh", "abcd"}, accepted{"bs=+2 count=2", "abcdefgh", "abcd"},
                    accepted{"bs=-5 bs=3 fs=1 count=1", "abcdefgh", "abc"},
                    accepted{"count=2 bs=3", "abcdefgh", "abcdef"}, accepted{"bs=9 count=1 bs=2", "abcdefgh", "ab"},
                    accepted{"fs=0 count=1", "abcdefgh", "a"}, accepted{"fs=-1", "abcdefgh", "abcdefgh"},
                    accepted{"fs=8589934591G", "abc", "abc"}, accepted{"fs=-8589934592G", "abc", "abc"},
                    accepted{"count=-3 bs=2", "abcdefgh", "abcdefgh"}, accepted{"if=missing if=in fs=1", "xyz", "xyz"},
                    accepted{"of=elsewhere of= of=/dev/stdout fs=1", "xyz", "xyz"}));

}  // namespace
