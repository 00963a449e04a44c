// The selection's parts that need no genotype file: chromosome lists and
// their codes, and the plan of which SNP goes where in the store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"
#include "selection.h"

namespace dyadmill {
namespace {

TEST(ChromosomeList, CodesAreNormalisedBeforeTheyAreCompared) {
  EXPECT_EQ(chromosomeCode("chr7"), "7");
  EXPECT_EQ(chromosomeCode("CHR07"), "7");
  EXPECT_EQ(chromosomeCode("x"), "23");
  EXPECT_EQ(chromosomeCode("chrY"), "24");
  EXPECT_EQ(chromosomeCode("XY"), "25");
  EXPECT_EQ(chromosomeCode("chrM"), "26");
  EXPECT_EQ(chromosomeCode("MT"), "26");
  EXPECT_EQ(chromosomeCode("Un_gl000220"), "UN_GL000220");

  ChromosomeList list;
  std::string problem;
  ASSERT_TRUE(list.parse("1-3,X,chr22", problem)) << problem;
  for (const char* in : {"1", "2", "chr3", "03", "X", "23", "chrX", "22"}) EXPECT_TRUE(list.contains(in)) << in;
  for (const char* out : {"4", "21", "Y", "MT", "0", "Un"}) EXPECT_FALSE(list.contains(out)) << out;

  ChromosomeList numbered;
  ASSERT_TRUE(numbered.parse("20-X", problem)) << problem;  // X is 23: a range up to it
  EXPECT_TRUE(numbered.contains("chrX"));
  EXPECT_FALSE(numbered.contains("Y"));
}

TEST(ChromosomeList, UnreadableListsAreRefused) {
  for (const char* text : {"", "1,", ",2", "1,,2", "1-", "5-3", "X-3", "a-b"}) {
    ChromosomeList list;
    std::string problem;
    EXPECT_FALSE(list.parse(text, problem)) << text;
    EXPECT_FALSE(problem.empty()) << text;
  }
}

TEST(SnpPlan, PairSetsGroupTheSnpsAndKeepFileOrderInsideEachGroup) {
  ConsoleCapture quiet(ConsoleCapture::Mode::Discard);
  RunParameters params;
  params.selection.set1File = "set1";
  params.selection.set2File = "set2";
  SelectionLists lists;
  lists.set1 = NameList{"--set1", "set1", {"e", "b", "c"}, 0};
  lists.set2 = NameList{"--set2", "set2", {"c", "a", "f"}, 0};
  const std::vector<std::string> names = {"a", "b", "c", "d", "e", "f"};
  SnpPlan plan;
  ASSERT_FALSE(planSnps(params, lists, names, {}, plan).stopped());
  // First set only (b, e), both (c), second only (a, f); d is in neither.
  EXPECT_EQ(plan.inStoreOrder(names), (std::vector<std::string>{"b", "e", "c", "a", "f"}));
  EXPECT_EQ(plan.store_index, (std::vector<std::int64_t>{3, 0, 2, -1, 1, 4}));
  EXPECT_EQ(plan.layout.first_only, 2u);
  EXPECT_EQ(plan.layout.both, 1u);
  EXPECT_EQ(plan.layout.second_only, 2u);
  EXPECT_EQ(plan.layout.file_index, (std::vector<std::uint64_t>{1, 4, 2, 0, 5}));
  // b-c, b-a, b-f, e-c, e-a, e-f, c-a, c-f.
  EXPECT_EQ(plan.layout.pairs(5), 8u);
}

TEST(SnpPlan, ListsRemoveInTurnAndAnEmptyResultStops) {
  RunParameters params;
  params.selection.extractFile = "keep";
  params.selection.excludeFile = "drop";
  SelectionLists lists;
  lists.extract = NameList{"--extract", "keep", {"a", "b", "c", "zz"}, 0};
  lists.exclude = NameList{"--exclude", "drop", {"b"}, 0};
  const std::vector<std::string> names = {"a", "b", "c", "d"};
  SnpPlan plan;
  {
    ConsoleCapture console_text;
    ASSERT_FALSE(planSnps(params, lists, names, {}, plan).stopped());
    EXPECT_NE(
        console_text.text().find("WARNING: 1 of the 4 entries of --extract keep are not SNPs of the input file: zz"),
        std::string::npos)
        << console_text.text();
    EXPECT_NE(console_text.text().find("--extract keep removes 1 SNPs"), std::string::npos);
    EXPECT_NE(console_text.text().find("--exclude drop removes 1 SNPs"), std::string::npos);
  }
  EXPECT_EQ(plan.inStoreOrder(names), (std::vector<std::string>{"a", "c"}));
  EXPECT_FALSE(plan.layout.active);

  lists.exclude->entries = {"a", "b", "c"};
  ConsoleCapture console_text;
  const Outcome o = planSnps(params, lists, names, {}, plan);
  EXPECT_TRUE(o.stopped());
  EXPECT_EQ(o.exitStatus(), kExitError);
  EXPECT_NE(console_text.text().find("the selection leaves 0 SNPs to scan"), std::string::npos) << console_text.text();
}

}  // namespace
}  // namespace dyadmill
