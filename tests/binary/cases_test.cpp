// SPDX-License-Identifier: MIT
// cases_test.cpp: the real program on one-line cases: operands, input, status, screens, message, output.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "run_tool.h"

namespace {

// Each case runs `"$BM" < in OPERANDS` in a fresh directory where `in` holds INPUT and `keep`
// holds "precious". OPERANDS are shell words, so a case may quote, redirect (later redirections win) or close a stream.
// MESSAGE is standard error after the last screen; OUTPUT is standard output, or what `keep` holds
// afterwards when the case names of=keep. A case that fails must create no file, and `in` must
// come out of every case as it went in.
struct row {
  const char* operands;
  const char* input;
  int status;
  size_t screens;
  std::string message;
  const char* output;
};

void PrintTo(const row& r, std::ostream* out) { *out << r.operands; }

const std::string usage = "blockmeter: usage: " BLOCKMETER_PATH
                          " [if=FILE] [of=FILE] [bs=BLOCK-SIZE] fs=FULL-SIZE|count=COUNT (use K, M, G)\n";
const std::string range = ": Numerical result out of range\n";
const char* const kept = "precious";

class Cases : public testing::TestWithParam<row> {};

TEST_P(Cases, StatusScreensMessageOutput) {
  const row& r = GetParam();
  scratch_dir dir;
  write_file(dir / "in", r.input);
  write_file(dir / "keep", kept);
  const run_result result = run_shell("\"$BM\" < in " + std::string(r.operands), dir.path);
  EXPECT_EQ(result.status, r.status);
  EXPECT_EQ(count_screens(result.errors), r.screens);
  EXPECT_EQ(after_screens(result.errors), r.message);
  const bool into_keep = std::string(r.operands).find("of=keep") != std::string::npos;
  EXPECT_EQ(into_keep ? read_file(dir / "keep") : result.output, r.output);
  EXPECT_EQ(read_file(dir / "in"), r.input);
  if (r.status != 0) {
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path)) ++files;
    EXPECT_EQ(files, 2u) << "a failed run left a new file";
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Cases,
    testing::Values(
        // Every refusal of the command line comes before anything is opened or created.
        row{"of=keep bs= fs=1", "", 1, 0, "blockmeter: no bs\n", kept},
        row{"of=keep bs=1k fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=1KB fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep 'bs=1 K' fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=+K fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep 'bs= K' fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=1KK fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=x fs=y", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=99999999999999999999 fs=1", "", 1, 0, "blockmeter: wrong bs" + range, kept},
        row{"of=keep bs=-99999999999999999999 fs=1", "", 1, 0, "blockmeter: wrong bs" + range, kept},
        // The suffix is judged before the range: no system text.
        row{"of=keep bs=99999999999999999999x fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep fs=", "", 1, 0, "blockmeter: no fs\n", kept},
        row{"of=keep fs=1m", "", 1, 0, "blockmeter: wrong fs\n", kept},
        row{"of=keep fs=2Gb", "", 1, 0, "blockmeter: wrong fs\n", kept},
        row{"of=keep fs=99999999999999999999", "", 1, 0, "blockmeter: wrong fs" + range, kept},
        row{"of=keep fs=99999999999999999999G", "", 1, 0, "blockmeter: wrong fs" + range, kept},
        row{"of=keep count= fs=1", "", 1, 0, "blockmeter: no count\n", kept},
        row{"of=keep 'count= '", "", 1, 0, "blockmeter: wrong count\n", kept},
        row{"of=keep count=2K", "", 1, 0, "blockmeter: wrong count\n", kept},
        row{"of=keep count=99999999999999999999", "", 1, 0, "blockmeter: wrong count" + range, kept},
        row{"of=keep count=99999999999999999999x", "", 1, 0, "blockmeter: wrong count\n", kept},
        row{"of=keep IF=x fs=1", "", 1, 0, "blockmeter: IF=x: wrong argument\n", kept},
        row{"of=keep ifx=y fs=1", "", 1, 0, "blockmeter: ifx=y: wrong argument\n", kept},
        row{"of=keep fs=1 count bs=2", "", 1, 0, "blockmeter: count: wrong argument\n", kept},
        row{"of=keep fs=1 bs=2 ''", "", 1, 0, "blockmeter: : wrong argument\n", kept},
        row{"of=keep fs=1 wrong bs=x", "", 1, 0, "blockmeter: wrong: wrong argument\n", kept},
        row{"of=new bs=1k fs=1", "", 1, 0, "blockmeter: wrong bs\n", ""},
        // No full size, or one that comes to 0: the usage line.
        row{"", "", 1, 0, usage, ""}, row{"of=keep", "", 1, 0, usage, kept},
        row{"of=keep if=a bs=4", "", 1, 0, usage, kept}, row{"of=keep fs=0", "", 1, 0, usage, kept},
        row{"of=keep count=0", "", 1, 0, usage, kept}, row{"of=keep count=5 fs=0", "", 1, 0, usage, kept},
        row{"of=keep bs=0 count=5", "", 1, 0, usage, kept}, row{"of=keep bs=K count=5", "", 1, 0, usage, kept},
        row{"of=keep bs=-5", "", 1, 0, usage, kept},
        // A scaled size that does not fit 64 bits is out of range, not wrapped.
        row{"of=keep bs=8589934592G fs=1", "", 1, 0, "blockmeter: wrong bs" + range, kept},
        row{"of=keep fs=8796093022208M", "", 1, 0, "blockmeter: wrong fs" + range, kept},
        row{"of=keep fs=-9007199254740993K", "", 1, 0, "blockmeter: wrong fs" + range, kept},
        row{"of=keep bs=8589934592x fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        // A count whose product with the block size does not fit.
        row{"of=keep bs=4 count=3000000000000000000", "", 1, 0, "blockmeter: wrong count" + range, kept},
        row{"of=keep bs=2 count=-4611686018427387905", "", 1, 0, "blockmeter: wrong count" + range, kept},
        // A negative block size, judged once the operands are all read.
        row{"of=keep bs=-5 fs=1", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=-1 count=3", "", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=-2 count=4611686018427387904", "", 1, 0, "blockmeter: wrong bs\n", kept},
        // A block size of 0 would read nothing and report success on an emptied output.
        row{"of=keep bs=0 fs=1", "abc", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=0K fs=1", "abc", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=K fs=1", "abc", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"of=keep bs=-0 fs=1", "abc", 1, 0, "blockmeter: wrong bs\n", kept},
        row{"bs=0 bs=3 fs=7", "abcdefg", 0, 4, "OK\n", "abcdefg"}));

INSTANTIATE_TEST_SUITE_P(
    Copy, Cases,
    testing::Values(
        // One screen before every read: N for count=N, N + 1 when the input ends after N blocks.
        row{"fs=1", "abc", 0, 4, "OK\n", "abc"}, row{"fs=1", "", 0, 1, "OK\n", ""},
        row{"if=in bs=4 fs=1", "0123456789", 0, 4, "OK\n", "0123456789"},
        row{"if=in bs=5 fs=1", "0123456789", 0, 3, "OK\n", "0123456789"},
        row{"if=in count=3 bs=2", "0123456789", 0, 3, "OK\n", "012345"},
        row{"if=in count=5 bs=2", "0123456789", 0, 5, "OK\n", "0123456789"},
        row{"if=in count=6 bs=2", "0123456789", 0, 6, "OK\n", "0123456789"},
        // count= limits the copy in blocks of the last bs=, whatever the full size says.
        row{"if=in count=2 bs=3", "abcdefgh", 0, 2, "OK\n", "abcdef"},
        row{"if=in bs=9 count=1 bs=2", "abcdefgh", 0, 1, "OK\n", "ab"},
        row{"if=in count=-3 bs=2", "abcdefgh", 0, 5, "OK\n", "abcdefgh"},
        row{"if=in fs=-1", "abc", 0, 4, "OK\n", "abc"}, row{"count=0 fs=1", "abc", 0, 0, "OK\n", ""},
        // The last of= and if= win; an existing output is truncated, an empty input makes it empty.
        row{"if=missing if=in fs=1", "xyz", 0, 4, "OK\n", "xyz"},
        row{"if=in of=elsewhere of= of=/dev/stdout fs=1", "xyz", 0, 4, "OK\n", "xyz"},
        row{"if=in of=keep fs=3", "new", 0, 4, "OK\n", "new"}, row{"if=in of=keep fs=10", "", 0, 1, "OK\n", ""},
        // With no block to copy the input is never read, so even a directory will do.
        row{"if=. of=keep count=0 fs=1", "", 0, 0, "OK\n", ""},
        // A device on both sides is no same-file copy.
        row{"if=/dev/null of=/dev/null fs=1", "", 0, 1, "OK\n", ""}));

INSTANTIATE_TEST_SUITE_P(
    Failures, Cases,
    testing::Values(
        row{"if=missing fs=1", "", 1, 0, "blockmeter: missing: No such file or directory\n", ""},
        row{"if= fs=1", "", 1, 0, "blockmeter: : No such file or directory\n", ""},
        row{"of=keep bs=1000000G fs=1", "", 1, 0,
            "blockmeter: cannot allocate 1073741824000000 bytes: Cannot allocate memory\n", kept},
        row{"if=in of=nodir/out fs=1", "abc", 1, 0, "blockmeter: nodir/out: No such file or directory\n", ""},
        row{"if=in of=. fs=1", "abc", 1, 0, "blockmeter: .: Is a directory\n", ""},
        // A device name that does not exist is a typo, not a file to make in /dev.
        row{"if=in of=/dev/blockmeter-missing fs=1", "abc", 1, 0,
            "blockmeter: /dev/blockmeter-missing: No such file or directory\n", ""},
        row{"if=in of=/dev/../dev/blockmeter-missing fs=1", "abc", 1, 0,
            "blockmeter: /dev/../dev/blockmeter-missing: No such file or directory\n", ""},
        // An input no read can succeed on is reported before the output is created or truncated.
        row{"if=. of=keep fs=1", "", 255, 0, "read(...) failed: Is a directory\n", kept},
        row{"of=keep fs=3 0<&-", "abc", 255, 0, "read(...) failed: Bad file descriptor\n", kept},
        row{"of=keep fs=3 0>>in", "abc", 255, 0, "read(...) failed: Bad file descriptor\n", kept},
        row{"of=/dev/full fs=1", "abc", 255, 1, "write(...) failed: No space left on device\n", ""},
        row{"count=0 fs=1 0<&-", "", 1, 0, "blockmeter: standard input: cannot close: Bad file descriptor\n", ""},
        row{"fs=1 >&-", "", 1, 1, "blockmeter: standard output: cannot close: Bad file descriptor\n", ""},
        // A closed standard stream stays closed: the output does not take its descriptor.
        row{"count=0 fs=1 of=keep 0<&-", "", 1, 0, "blockmeter: standard input: cannot close: Bad file descriptor\n",
            ""},
        row{"fs=1 >&-", "abc", 255, 1, "write(...) failed: Bad file descriptor\n", ""},
        // A standard error that takes nothing loses the screens, not the copy; closed, it is not
        // replaced by a file the program opens, and nothing meant for it lands in the copy.
        row{"fs=1 2>/dev/full", "abc", 0, 0, "", "abc"}, row{"of=keep fs=3 2>&-", "abc", 0, 0, "", "abc"},
        row{"if=in of=keep fs=3 0<&- 1>&- 2>&-", "abc", 0, 0, "", "abc"},
        // Creating the file the input is read from would truncate it before a byte is read.
        row{"if=keep of=keep fs=1", "", 1, 0, "blockmeter: keep: input file is output file\n", kept},
        row{"if=./keep of=keep fs=1", "", 1, 0, "blockmeter: keep: input file is output file\n", kept},
        row{"of=keep fs=1 < keep", "", 1, 0, "blockmeter: keep: input file is output file\n", kept},
        // Standard output appended to the input would read back what it writes, until the disk is full
        // (count= bounds the harm should the refusal ever go).
        row{"if=in count=100 >> in", "abc", 1, 0, "blockmeter: standard output: input file is output file\n", ""},
        row{"count=100 >> in", "abc", 1, 0, "blockmeter: standard output: input file is output file\n", ""},
        row{"count=100 >> in", "", 0, 1, "OK\n", ""}));

}  // namespace
