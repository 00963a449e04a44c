// The block table and process shares as a run prints them, for the 10-SNP
// file cut into 3 blocks and for the automatic block count.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fileset_writer.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

const std::string kAfterReading = "INFO: Done reading the input genotype data\n";
const std::string kLoopStart = "INFO: Starting to loop over the data block combinations\n";

// Ten SNPs in three blocks: [0, 4), [4, 7), [7, 10); distinct-block
// combinations first, then every block with itself.
std::string threeBlockTable() {
  const std::vector<std::pair<std::string, std::string>> combos = {
      {"0 SNP1 begin[]: 0 SNP1 end[]: 4", "begin2[]: 4 end2[]: 7"},
      {"1 SNP1 begin[]: 0 SNP1 end[]: 4", "begin2[]: 7 end2[]: 10"},
      {"2 SNP1 begin[]: 4 SNP1 end[]: 7", "begin2[]: 7 end2[]: 10"},
      {"3 SNP1 begin[]: 0 SNP1 end[]: 4", "begin2[]: 0 end2[]: 4"},
      {"4 SNP1 begin[]: 4 SNP1 end[]: 7", "begin2[]: 4 end2[]: 7"},
      {"5 SNP1 begin[]: 7 SNP1 end[]: 10", "begin2[]: 7 end2[]: 10"},
  };
  std::string text = "\n***Final blockAmount : 3 ***\nINFO: Defining data block combinations of data\nK:6\n";
  for (const auto& [first, second] : combos) text += "\nBlock combination  #: " + first + "\n" + second + "\n";
  return text;
}

std::string shares(unsigned per_process, unsigned processes, const std::vector<std::pair<int, int>>& ranges) {
  std::string text = "blockcombo_perprocess: " + std::to_string(per_process) +
                     "\nprocessAmount: " + std::to_string(processes) + "\nK:6\n";
  for (std::size_t p = 0; p < ranges.size(); ++p) {
    text += std::to_string(p) + ":Kbegin_vect[p]:" + std::to_string(ranges[p].first) +
            " // Kend_vect[p]: " + std::to_string(ranges[p].second) + "\n";
  }
  return text;
}

const std::string kLoadError = "\nERROR: \nNon-uniform load distribution per thread!\n";

struct Case {
  const char* label;
  std::string options;  // besides the fixed scan options
  int status;
  std::string after_reading;  // what the run prints once the file is read
  bool stops_there;           // true: nothing follows
};

TEST(BlocksRun, BlockTableAndProcessShares) {
  const std::string table = threeBlockTable();
  const std::vector<Case> cases = {
      {"one process takes all", "-b 3 -n 1 -p 1", 0,
       table + "Total amount of block comb. to process: 6 with 4 SNPs each\nKbegin=0  Kend=6\n" + kLoopStart, false},
      {"first of two processes", "-b 3 -n 2 -p 1", 0,
       table + shares(3, 2, {{0, 3}, {3, 6}}) + "Kbegin=0  Kend=3\n" + kLoopStart, false},
      {"second of two processes", "-b 3 -n 2 -p 2", 0,
       table + shares(3, 2, {{0, 3}, {3, 6}}) + "Kbegin=3  Kend=6\n" + kLoopStart, false},
      {"middle of three processes", "-b 3 -n 3 -p 2", 0,
       table + shares(2, 3, {{0, 2}, {2, 4}, {4, 6}}) + "Kbegin=2  Kend=4\n" + kLoopStart, false},
      // Whatever its own number, every process of an ill-chosen -n stops,
      // as soon as the SNPs are known and before any genotype is read.
      {"four processes, process 1", "-b 3 -n 4 -p 1", 255,
       kLoadError + "MODE:NO PERMUTATIONS\n>>Set  -n to 6>>OR set -n to6\n", true},
      {"four processes, process 4", "-b 3 -n 4 -p 4", 255,
       kLoadError + "MODE:NO PERMUTATIONS\n>>Set  -n to 6>>OR set -n to6\n", true},
      {"four processes with permutations", "-b 3 -n 4 -p 2 --permutations 10 -r 3", 255,
       kLoadError + "MODE:PERMUTATIONS\n>>Set  -n to 6>>OR set -n to6\n", true},
      // One combination per process leaves no second suggestion; more
      // processes than combinations get the -b that gives enough.
      {"seven processes", "-b 3 -n 7 -p 1", 255,
       kLoadError + "MODE:NO PERMUTATIONS\n>>Set  -n to 6\nERROR: -n 7 needs at least 7 block combinations: give -b 4 "
                    "or more\n",
       true},
      {"automatic count, one process", "-n 1 -p 1", 0,
       "1\nBlock combinations for parallel process #: 1\n\n***Final blockAmount : 1 ***\n"
       "INFO: Defining data block combinations of data\nK:1\n\n"
       "Block combination  #: 0 SNP1 begin[]: 0 SNP1 end[]: 10\nbegin2[]: 0 end2[]: 10\n"
       "Total amount of block comb. to process: 1 with 10 SNPs each\nKbegin=0  Kend=1\n" +
           kLoopStart,
       false},
      {"automatic count of 1 with two processes", "-n 2 -p 1", 255,
       "ERROR: No need for parallel mode with such small dataset! Aborting\nERROR: -n 2 needs at least 2 block "
       "combinations: give -b 2 or more\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    writeFile(dir / "g.txt", randomGenotypes(17, 10, 40, 0.4).toText());
    std::vector<std::string> args = {"--association", "--maxT", "--score", "--missing", "-t",
                                     "1000",          "-i",     "g.txt",   "-o",        "out"};
    for (std::string::size_type at = 0; at < c.options.size();) {
      const auto space = c.options.find(' ', at);
      args.push_back(c.options.substr(at, space - at));
      at = space == std::string::npos ? space : space + 1;
    }
    const RunResult r = runDyadmill(args, dir.path());
    EXPECT_EQ(r.exit_status, c.status);
    if (c.stops_there) {
      // Stopped right after the header: nothing counted or read.
      const std::string header = "INFO: Reading SNP names\n";
      const auto read = r.output.find(header);
      ASSERT_NE(read, std::string::npos) << r.output;
      EXPECT_EQ(r.output.substr(read + header.size()), c.after_reading);
      continue;
    }
    const auto read = r.output.find(kAfterReading);
    ASSERT_NE(read, std::string::npos) << r.output;
    const std::string rest = r.output.substr(read + kAfterReading.size());
    EXPECT_EQ(rest.substr(0, c.after_reading.size()), c.after_reading);
  }
}

// A fileset is judged on its .bim alone: the .fam and .bed are never read.
TEST(BlocksRun, ATooFineSplitOfAFilesetStopsBeforeItsGenotypes) {
  ScratchDir dir;
  writeFileset(dir / "set", makeFileset(randomGenotypes(18, 10, 40, 0.4)));
  const RunResult r = runDyadmill({"--association", "--maxT", "--score", "--missing", "-t", "1000", "-i", "set.bed",
                                   "-o", "out", "-n", "2", "-p", "2"},
                                  dir.path());
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_TRUE(r.output.ends_with("ERROR: -n 2 needs at least 2 block combinations: give -b 2 or more\n")) << r.output;
  EXPECT_FALSE(contains(r.output, "Starting to convert genotypes")) << r.output;
}

}  // namespace
}  // namespace dyadmill::testing
