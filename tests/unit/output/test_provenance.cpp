// Provenance lines: what a worker writes reads back the same, damaged lines
// are refused, and a mismatch names the first differing field.
#include <gtest/gtest.h>

#include "provenance.h"

namespace dyadmill {
namespace {

Provenance sample() {
  RunParameters params;
  params.processAmount = 5;
  params.processID = 2;
  params.blockAmount = 0;  // automatic: 4 in use
  params.hypothesisOption = 1;
  params.testTypeOption = 7;  // any non-zero value is the score test
  params.algoOption = 1;
  params.missingGenoOption = 0;
  params.minGroupSizeParam = -3;
  params.thresholdParam = 0.123456789f;
  params.permutationParam = 99;
  params.randomParam = static_cast<std::uint64_t>(-12);
  return provenanceOf(params, 4, {"rs1", "rs2", "rs3"}, 250);
}

TEST(Provenance, WrittenLinesReadBackExactly) {
  const Provenance p = sample();
  const std::string line = formatProvenanceLine(p);
  EXPECT_EQ(line.rfind("# dyadmill-partial v2 n=5 p=2 b=0 b_used=4 hypothesis=epistasis test=score algo=minP "
                       "missing=nomissing m=-3 t=0.123456791 permutations=99 seed=-12 fwer=0 snps=3 subjects=250 "
                       "snp_names=fnv1a64:",
                       0),
            0u)
      << line;
  Provenance back;
  std::string problem;
  ASSERT_TRUE(parseProvenanceLine(line.substr(0, line.size() - 1), back, problem)) << problem;
  EXPECT_FALSE(compareProvenance(back, p, true).has_value());
  EXPECT_EQ(back.thresholdParam, p.thresholdParam);
  EXPECT_EQ(back.subjectAmount, 250u);
  Provenance with_fwer = p;
  with_fwer.fwerOption = true;
  const std::string fwer_line = formatProvenanceLine(with_fwer);
  ASSERT_TRUE(parseProvenanceLine(fwer_line.substr(0, fwer_line.size() - 1), back, problem)) << problem;
  const auto fwer = compareProvenance(back, p, true);
  ASSERT_TRUE(fwer.has_value());
  EXPECT_EQ(fwer->field + " " + fwer->found + " " + fwer->expected, "--fwer 1 0");

  std::uint64_t pairs = 0;
  std::optional<std::uint64_t> hash = 5;
  ASSERT_TRUE(parsePairCountLine("# pairs=17", pairs, hash));
  EXPECT_EQ(pairs, 17u);
  EXPECT_FALSE(hash.has_value());  // files written before the hash was added
  for (const char* bad : {"# pairs=", "# pairs=-1", "# pairs=1x", "#pairs=3", "# count=3", "# pairs=3 extra"}) {
    EXPECT_FALSE(parsePairCountLine(bad, pairs, hash)) << bad;
  }
}

TEST(Provenance, PairCountLineCarriesTheContentHash) {
  const std::string line = formatPairCountLine(42, 0x00ab0000000000cdu);
  EXPECT_EQ(line, "# pairs=42 hash=xxh3:00ab0000000000cd\n");
  std::uint64_t pairs = 0;
  std::optional<std::uint64_t> hash;
  ASSERT_TRUE(parsePairCountLine(line.substr(0, line.size() - 1), pairs, hash));
  EXPECT_EQ(pairs, 42u);
  ASSERT_TRUE(hash.has_value());
  EXPECT_EQ(*hash, 0x00ab0000000000cdu);
  for (const char* bad : {"# pairs=3 hash=xxh3:00ab0000000000c", "# pairs=3 hash=xxh3:00ab0000000000cd0",
                          "# pairs=3 hash=xxh3:00ab0000000000cg", "# pairs=3 hash=fnv1a64:00ab0000000000cd",
                          "# pairs=3 hash=xxh3:-0ab0000000000cd", "# pairs=3 hash=xxh3:00ab0000000000cd x"}) {
    EXPECT_FALSE(parsePairCountLine(bad, pairs, hash)) << bad;
  }

  // Fed in pieces or whole, the same bytes give the same hash; a changed,
  // dropped or reordered line gives another.
  const auto hashOf = [](std::initializer_list<std::string_view> parts) {
    ContentHash content;
    for (const std::string_view part : parts) content.add(part);
    return content.value();
  };
  const std::uint64_t whole = hashOf({"0 1 2.5 4  1 2\n3 4 7 8  0.5 9\n"});
  EXPECT_EQ(hashOf({"0 1 2.5 4  1 2\n", "3 4 7 8", "  0.5 9\n"}), whole);
  EXPECT_NE(hashOf({"3 4 7 8  0.5 9\n0 1 2.5 4  1 2\n"}), whole);
  EXPECT_NE(hashOf({"0 1 2.5 4  1 2\n"}), whole);
  EXPECT_NE(hashOf({"0 1 2.5 4  1 2\n3 4 7 8  0.5 8\n"}), whole);
  EXPECT_NE(hashOf({}), hashOf({"\n"}));
}

TEST(Provenance, DamagedLinesAreRefused) {
  const std::string line = formatProvenanceLine(sample());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string copy = line.substr(0, line.size() - 1);
    copy.replace(copy.find(from), from.size(), to);
    return copy;
  };
  const std::string cases[] = {
      replaced(" v2 ", " v3 "),
      replaced(" v2 ", " v1 "),  // version 1 had no fwer field
      replaced(" fwer=0", ""),   // ... which version 2 must have
      replaced("fwer=0", "fwer=2"),
      replaced("dyadmill-partial", "other"),
      replaced(" n=5", ""),
      replaced("n=5", "n=5 n=5"),
      replaced("algo=minP", "algo=best"),
      replaced("t=0.123456791", "t=nan"),
      replaced("seed=-12", "seed="),
      replaced("fnv1a64:", "md5:"),
      replaced("snps=3", "snps=3 color=red"),
      line.substr(0, 30),
  };
  for (const std::string& bad : cases) {
    Provenance p;
    std::string problem;
    EXPECT_FALSE(parseProvenanceLine(bad, p, problem)) << bad;
    EXPECT_FALSE(problem.empty());
  }
}

// Version 1 lines, written before the fwer field existed, still read.
TEST(Provenance, VersionOneLinesAndFwerLines) {
  std::string line = formatProvenanceLine(sample());
  line.pop_back();
  line.replace(line.find(" v2 "), 4, " v1 ");
  line.erase(line.find(" fwer=0"), 7);
  EXPECT_EQ(provenanceVersion(line), 1u);
  EXPECT_EQ(provenanceVersion("# dyadmill-partial v3 n=1"), 0u);
  Provenance back;
  std::string problem;
  ASSERT_TRUE(parseProvenanceLine(line, back, problem)) << problem;
  EXPECT_EQ(back.version, 1u);
  EXPECT_FALSE(back.fwerOption);
  EXPECT_EQ(compareProvenance(back, sample(), true)->field, "format version");

  const std::vector<double> values = {0.1, 1.0 / 3.0, 1e-300, 0.0};
  const std::string fwer = formatFwerLine(values);
  EXPECT_EQ(fwer, "# fwer=0.1,0.3333333333333333,1e-300,0\n");
  std::vector<double> read;
  ASSERT_TRUE(isFwerLine(fwer) && parseFwerLine(fwer.substr(0, fwer.size() - 1), read, problem)) << problem;
  EXPECT_EQ(read, values);
  for (const char* bad : {"# fwer=1,,2", "# fwer=1,2,", "# fwer=0x1", "# fwer=1 2"}) {
    EXPECT_FALSE(parseFwerLine(bad, read, problem)) << bad;
  }
}

TEST(Provenance, FingerprintAndComparison) {
  // The separator keeps differently split names apart.
  EXPECT_NE(snpNamesFingerprint({"ab", "c"}), snpNamesFingerprint({"a", "bc"}));
  EXPECT_NE(snpNamesFingerprint({"a", "b"}), snpNamesFingerprint({"b", "a"}));
  EXPECT_EQ(snpNamesFingerprint({"a", "b"}), snpNamesFingerprint({"a", "b"}));

  const Provenance expected = sample();
  Provenance found = expected;
  found.randomParam = 5;
  EXPECT_FALSE(compareProvenance(found, expected, false).has_value());  // the seed only when asked
  const auto seed = compareProvenance(found, expected, true);
  ASSERT_TRUE(seed.has_value());
  EXPECT_EQ(seed->field, "-r (seed)");
  EXPECT_EQ(seed->found, "5");
  EXPECT_EQ(seed->expected, "-12");

  found = expected;
  found.subjectAmount = 1;  // the assembly does not know the subjects
  EXPECT_FALSE(compareProvenance(found, expected, true).has_value());
  found.thresholdParam = 0.5f;
  found.processID = 3;
  const auto first = compareProvenance(found, expected, true);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->field, "-p (process number)");
}

// The data fingerprint: written after the SNP names, read back, optional in
// version 2 (lines of earlier builds lack it), unknown to version 1, and
// compared only when both lines have one.
TEST(Provenance, DataFingerprintField) {
  Provenance p = sample();
  p.dataFingerprint = 0x00ab0000000000cdULL;
  std::string line = formatProvenanceLine(p);
  line.pop_back();
  EXPECT_TRUE(line.ends_with(" data=xxh3:00ab0000000000cd")) << line;
  EXPECT_LT(line.find(" snp_names="), line.find(" data="));
  Provenance back;
  std::string problem;
  ASSERT_TRUE(parseProvenanceLine(line, back, problem)) << problem;
  ASSERT_TRUE(back.dataFingerprint.has_value());
  EXPECT_EQ(*back.dataFingerprint, 0x00ab0000000000cdULL);
  EXPECT_FALSE(compareProvenance(back, p, true).has_value());

  // With a selection the data field still precedes the selection's fields.
  Provenance with_selection = p;
  with_selection.selection["maf"] = "0.05";
  const std::string selected = formatProvenanceLine(with_selection);
  EXPECT_LT(selected.find(" data="), selected.find(" maf="));

  for (const char* bad : {"data=xxh3:00ab0000000000c", "data=xxh3:00ab0000000000cdd", "data=fnv1a64:00ab0000000000cd",
                          "data=xxh3:00ab00000000-0cd", "data=xxh3:00ab0000000000cg", "data="}) {
    std::string damaged = line;
    damaged.replace(damaged.find("data="), std::string::npos, bad);
    EXPECT_FALSE(parseProvenanceLine(damaged, back, problem)) << bad;
  }
  EXPECT_FALSE(parseProvenanceLine(line + " data=xxh3:00ab0000000000cd", back, problem));  // twice

  // Absent: read as absent, never as a fingerprint of zero.
  std::string without = line.substr(0, line.find(" data="));
  ASSERT_TRUE(parseProvenanceLine(without, back, problem)) << problem;
  EXPECT_FALSE(back.dataFingerprint.has_value());
  EXPECT_FALSE(compareProvenance(back, p, true).has_value());  // left to the caller
  EXPECT_FALSE(compareProvenance(p, back, true).has_value());

  // Version 1 never had the field.
  std::string v1 = line;
  v1.replace(v1.find(" v2 "), 4, " v1 ");
  v1.erase(v1.find(" fwer=0"), 7);
  EXPECT_FALSE(parseProvenanceLine(v1, back, problem));
  EXPECT_NE(problem.find("data=xxh3:"), std::string::npos) << problem;

  // A differing fingerprint is named after every option, the SNP names and
  // the selection, and its expected value is the genotype file's.
  Provenance found = sample();
  found.dataFingerprint = 1;
  Provenance expected = sample();
  expected.dataFingerprint = 2;
  const auto data = compareProvenance(found, expected, true);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->field, "the genotype data's fingerprint");
  EXPECT_EQ(data->found, "xxh3:0000000000000001");
  EXPECT_EQ(data->expected, "xxh3:0000000000000002");
  EXPECT_TRUE(data->of_input);
  found.selection["extract"] = "fnv1a64:0000000000000003";
  const auto selection = compareProvenance(found, expected, true);
  ASSERT_TRUE(selection.has_value());
  EXPECT_EQ(selection->field, "--extract");
  EXPECT_FALSE(selection->of_input);
  // Another selection scans other SNPs: it is named before the names.
  found.snpNamesFingerprint ^= 1;
  EXPECT_EQ(compareProvenance(found, expected, true)->field, "--extract");
  found.selection.clear();
  const auto names = compareProvenance(found, expected, true);
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(names->field, "SNP names of the genotype file");
  EXPECT_FALSE(names->of_input);
}

}  // namespace
}  // namespace dyadmill
