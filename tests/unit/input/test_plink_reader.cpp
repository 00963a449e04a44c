// The fileset reader: the bit rows it decodes from known bytes, the store
// it fills against the text reader's for the same genotypes (every subject
// count around a word boundary, subjects without phenotype, both modes),
// every malformed fileset, and damaged gzip text.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "fileset_writer.h"
#include "genotype_reader.h"
#include "plink_reader_internal.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

struct Read {
  int exit_status = 0;  // 0 when the reader went on
  std::string output;
  GenotypeStore store;
};

Read readInput(const std::filesystem::path& path, bool missing, std::uint16_t process = 1) {
  RunParameters params;
  params.inFile = path.string();
  params.missingGenoOption = missing ? 1 : 0;
  params.processAmount = process == 0 ? 2 : 1;
  params.processID = process;
  Read r;
  console().startCapture();
  const Outcome o = readGenotypeFile(params, r.store);
  r.output = console().endCapture();
  r.exit_status = o.stopped() ? o.exitStatus() : 0;
  return r;
}

std::vector<std::uint64_t> row(const GenotypeStore& store, std::uint64_t r) {
  const std::span<const std::uint64_t> words = store.snp_matrix.rowSpan(r);
  return {words.begin(), words.end()};
}

void expectSameStore(const GenotypeStore& a, const GenotypeStore& b) {
  EXPECT_EQ(a.snp_names, b.snp_names);
  EXPECT_EQ(a.binary_diagnostic_vect, b.binary_diagnostic_vect);
  EXPECT_EQ(a.affected_amount, b.affected_amount);
  EXPECT_EQ(a.unaffected_amount, b.unaffected_amount);
  EXPECT_EQ(a.groups_swapped, b.groups_swapped);
  EXPECT_EQ(a.total_amount, b.total_amount);
  EXPECT_EQ(a.snp_amount, b.snp_amount);
  EXPECT_EQ(a.dimension_vect, b.dimension_vect);
  EXPECT_EQ(a.cumdimension_vect, b.cumdimension_vect);
  ASSERT_EQ(a.snp_matrix.rows(), b.snp_matrix.rows());
  ASSERT_EQ(a.snp_matrix.words(), b.snp_matrix.words());
  for (std::uint64_t r = 0; r < a.snp_matrix.rows(); ++r) EXPECT_EQ(row(a, r), row(b, r)) << "row " << r;
}

class PlinkReader : public ::testing::Test {
 protected:
  // Writes the fileset "x" with `bed` as the genotype bytes after the
  // first three, one SNP "s1" and the given phenotypes.
  void writeOneSnp(const std::string& bed, const std::vector<std::string>& phenotypes) {
    Fileset f;
    f.bed = std::string("\x6c\x1b\x01", 3) + bed;
    f.bim = "7 s1 0 123 A G\n";
    for (std::size_t k = 0; k < phenotypes.size(); ++k) {
      f.fam += "f i" + std::to_string(k) + " 0 0 1 " + phenotypes[k] + "\n";
    }
    writeFileset(dir_ / "x", f);
  }
  ScratchDir dir_;
};

// Byte 0xE4 = 11 10 01 00: subjects 0..3 carry the codes 00, 01, 10, 11,
// that is 2, missing, 1 and 0 copies of allele 1; byte 0x03 gives subject
// 4 the code 11 (0 copies), its padding codes 00 must not count.
TEST_F(PlinkReader, DecodesTheTwoBitCodesIntoTheLevelRows) {
  writeOneSnp("\xE4\x03", {"2", "1", "1", "2", "1"});
  Read r = readInput(dir_ / "x.bed", true);
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(r.store.total_amount, 5);
  EXPECT_EQ(row(r.store, 0), std::vector<std::uint64_t>{0b11000});  // 0 copies
  EXPECT_EQ(row(r.store, 1), std::vector<std::uint64_t>{0b00100});  // 1 copy
  EXPECT_EQ(row(r.store, 2), std::vector<std::uint64_t>{0b00001});  // 2 copies
  EXPECT_EQ(r.store.binary_diagnostic_vect, (std::vector<std::uint16_t>{1, 0, 0, 1, 0}));
  EXPECT_EQ(r.store.snp_chromosomes, std::vector<std::string>{"7"});
  EXPECT_EQ(r.store.snp_positions, std::vector<std::string>{"123"});

  // Without missing genotypes the missing code is refused, naming the SNP
  // and the subject's line; leaving that subject out (no phenotype) makes
  // the same bytes acceptable, and the rows close up over the gap.
  r = readInput(dir_ / "x.bed", false);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_TRUE(contains(r.output, "missing genotype of SNP s1 for the subject on line 2 of")) << r.output;
  writeOneSnp("\xE4\x03", {"2", "-9", "1", "2", "1"});
  r = readInput(dir_ / "x.bed", false);
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(r.store.total_amount, 4);
  EXPECT_EQ(row(r.store, 0), std::vector<std::uint64_t>{0b0010});  // 1 copy
  EXPECT_EQ(row(r.store, 1), std::vector<std::uint64_t>{0b0001});  // 2 copies
  EXPECT_TRUE(contains(r.output, "INFO: 1 of 5 subjects in")) << r.output;
}

TEST_F(PlinkReader, FillsTheStoreTheTextReaderFillsForTheSameData) {
  int checked = 0;
  for (std::size_t subjects : {2, 63, 64, 65, 130}) {
    for (std::size_t unphenotyped : {0, 1, 6}) {
      for (bool missing : {false, true}) {
        SCOPED_TRACE(std::to_string(subjects) + " subjects, " + std::to_string(unphenotyped) + " left out, " +
                     (missing ? "missing" : "nomissing"));
        // More cases than controls at 65: both readers swap the labels.
        GenotypeData data = randomGenotypes(static_cast<std::uint32_t>(subjects * 10 + unphenotyped), 5, subjects,
                                            subjects == 65 ? 0.7 : 0.4, missing ? 0.1 : 0.0);
        data.traits[0] = 1;
        data.traits[1] = 0;
        writeFile(dir_ / "t.txt", data.toText());
        writeFileset(dir_ / "b", makeFileset(data, unphenotyped));
        const Read text = readInput(dir_ / "t.txt", missing);
        const Read bed = readInput(dir_ / "b.bed", missing);
        ASSERT_EQ(text.exit_status, 0) << text.output;
        ASSERT_EQ(bed.exit_status, 0) << bed.output;
        expectSameStore(bed.store, text.store);
        EXPECT_EQ(bed.store.snp_chromosomes, (std::vector<std::string>{"1", "2", "3", "X", "2"}));
        EXPECT_EQ(bed.store.snp_positions[4], positionOf(4));
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 30);
}

// The .bed is read a slice of SNPs at a time: reads of a few SNPs (many
// slices, the last one short) fill the same store as one read of the whole
// file, and a refused missing genotype is reported for the first SNP in
// file order that has one, also when a later slice has another.
TEST_F(PlinkReader, SlicesOfAFewSnpsReadLikeOneSlice) {
  const std::size_t snps = 101;
  GenotypeData data = randomGenotypes(17, snps, 130, 0.4);
  writeFileset(dir_ / "b", makeFileset(data, 0));
  const Read whole = readInput(dir_ / "b.bed", false);
  ASSERT_EQ(whole.exit_status, 0) << whole.output;
  const std::size_t before = plink_internal::setReadSliceBytes(1);
  const Read sliced = readInput(dir_ / "b.bed", false);
  for (std::size_t snp : {std::size_t{70}, std::size_t{39}, std::size_t{38}}) {
    for (std::size_t s = 3; s < 5; ++s) data.genotypes[s][snp] = -9;
  }
  writeFileset(dir_ / "m", makeFileset(data, 0));
  const Read refused = readInput(dir_ / "m.bed", false);
  const Read kept = readInput(dir_ / "m.bed", true);
  plink_internal::setReadSliceBytes(before);
  const Read kept_whole = readInput(dir_ / "m.bed", true);

  ASSERT_EQ(sliced.exit_status, 0) << sliced.output;
  expectSameStore(sliced.store, whole.store);
  EXPECT_EQ(refused.exit_status, 255);
  EXPECT_TRUE(contains(refused.output, "missing genotype of SNP " + data.names[38] + " for the subject on line 4 of"))
      << refused.output;
  ASSERT_EQ(kept.exit_status, 0) << kept.output;
  ASSERT_EQ(kept_whole.exit_status, 0) << kept_whole.output;
  expectSameStore(kept.store, kept_whole.store);
}

TEST_F(PlinkReader, AssemblyReadsTheMapOnly) {
  const GenotypeData data = randomGenotypes(5, 4, 10, 0.4);
  Fileset f = makeFileset(data);
  f.bed = "garbage";
  f.fam = "short line\n";
  writeFileset(dir_ / "x", f);
  const Read r = readInput(dir_ / "x.bed", true, 0);
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(r.store.snp_names, data.names);
  EXPECT_EQ(r.store.total_amount, 0);
}

struct Spoiled {
  const char* label;
  void (*spoil)(Fileset&);
  std::string message;  // expected in the output; "x." stands for the fileset's folder and prefix
};

TEST_F(PlinkReader, EveryMalformedFilesetStopsNamingFileAndLine) {
  const GenotypeData data = randomGenotypes(9, 4, 11, 0.4);
  const std::vector<Spoiled> cases = {
      {"wrong magic", [](Fileset& f) { f.bed[0] = 'B'; }, "x.bed: not a binary genotype file"},
      {"individual-major", [](Fileset& f) { f.bed[2] = '\0'; }, "x.bed: individual-major layout"},
      {"unknown layout byte", [](Fileset& f) { f.bed[2] = '\x02'; }, "x.bed: unknown layout byte"},
      {"too short for its magic", [](Fileset& f) { f.bed = "\x6c"; }, "x.bed: not a binary genotype file"},
      {"a byte too many", [](Fileset& f) { f.bed += '\0'; }, "x.bed: holds 16 bytes, but 4 SNPs"},
      {"a byte too few", [](Fileset& f) { f.bed.pop_back(); }, "x.bed: holds 14 bytes, but 4 SNPs"},
      {"one SNP more in the map", [](Fileset& f) { f.bim += "1 extra 0 5 A C\n"; }, "need 18; the three files"},
      // 11 subjects fill three bytes per SNP, and so would 12: only a
      // count that needs another byte shows in the size.
      {"two subjects more", [](Fileset& f) { f.fam += "f y 0 0 1 2\nf z 0 0 1 2\n"; }, "and 13 subjects"},
      {"short map line", [](Fileset& f) { f.bim.replace(f.bim.find("\tA\tG\n"), 5, "\tA\n"); },
       "x.bim, line 1: expected 6 fields"},
      {"short subject line", [](Fileset& f) { f.fam.replace(f.fam.find(" 0 0 "), 5, " 0 "); },
       "x.fam, line 1: expected 6 fields"},
      {"phenotype 3", [](Fileset& f) { f.fam.replace(f.fam.rfind(' '), 2, " 3"); },
       "x.fam, line 11: phenotype \"3\" is none of"},
      {"quantitative phenotype", [](Fileset& f) { f.fam.replace(f.fam.rfind(' '), 2, " 1.5"); },
       "x.fam, line 11: phenotype \"1.5\""},
      {"empty map", [](Fileset& f) { f.bim.clear(); }, "x.bim: the file lists no SNPs"},
      {"no subjects", [](Fileset& f) { f.fam.clear(); }, "x.fam: the file lists no subjects"},
      {"nobody with a phenotype",
       [](Fileset& f) {
         for (std::size_t at = 0; (at = f.fam.find('\n', at)) != std::string::npos; ++at) f.fam[at - 1] = '0';
       },
       "x.fam: no subject has a phenotype"},
      {"no controls",
       [](Fileset& f) {
         for (std::size_t at = 0; (at = f.fam.find('\n', at)) != std::string::npos; ++at) f.fam[at - 1] = '2';
       },
       "x.fam: no subject is a control"},
  };
  for (const Spoiled& c : cases) {
    SCOPED_TRACE(c.label);
    Fileset f = makeFileset(data);
    c.spoil(f);
    writeFileset(dir_ / "x", f);
    const Read r = readInput(dir_ / "x.bed", true);
    EXPECT_EQ(r.exit_status, 255);
    const std::string message = c.message.starts_with("x.") ? "ERROR: " + (dir_ / c.message).string() : c.message;
    EXPECT_TRUE(contains(r.output, message)) << r.output;
    EXPECT_TRUE(contains(r.output, "ERROR: " + (dir_ / "x.").string())) << r.output;
  }
  for (const char* missing_file : {"x.bed", "x.bim", "x.fam"}) {
    SCOPED_TRACE(missing_file);
    writeFileset(dir_ / "x", makeFileset(data));
    std::filesystem::remove(dir_ / missing_file);
    const Read r = readInput(dir_ / "x.bed", true);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_TRUE(contains(r.output, "ERROR: " + (dir_ / missing_file).string() + ": unable to open")) << r.output;
  }
}

TEST_F(PlinkReader, DamagedGzipTextStopsInsteadOfReadingLess) {
  const std::string text = randomGenotypes(3, 6, 400, 0.4).toText();
  writeGzipFile(dir_ / "g.txt.gz", text);
  const Read whole = readInput(dir_ / "g.txt.gz", true);
  ASSERT_EQ(whole.exit_status, 0) << whole.output;
  EXPECT_EQ(whole.store.total_amount, 400);

  const std::string compressed = readFile(dir_ / "g.txt.gz");
  writeFile(dir_ / "cut.txt.gz", compressed.substr(0, compressed.size() / 2));
  Read r = readInput(dir_ / "cut.txt.gz", true);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_TRUE(contains(r.output, "cut.txt.gz: gzip data is damaged or cut short")) << r.output;

  std::string corrupt = compressed;
  for (std::size_t k = 20; k < 60; ++k) corrupt[k] = static_cast<char>(corrupt[k] ^ 0x5a);
  writeFile(dir_ / "bad.txt.gz", corrupt);
  r = readInput(dir_ / "bad.txt.gz", true);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_TRUE(contains(r.output, "bad.txt.gz: gzip data is damaged or cut short")) << r.output;

  // So short that it ends inside the gzip header: damaged, not an empty
  // header line.
  for (std::size_t length : {std::size_t{3}, std::size_t{12}, std::size_t{30}}) {
    writeFile(dir_ / "short.txt.gz", compressed.substr(0, length));
    r = readInput(dir_ / "short.txt.gz", true);
    EXPECT_EQ(r.exit_status, 255) << length;
    EXPECT_TRUE(contains(r.output, "short.txt.gz: gzip data is damaged or cut short")) << length << r.output;
    EXPECT_FALSE(contains(r.output, "header line")) << length << r.output;
  }
}

// gzip writes several members into one file when files are concatenated
// (cat a.gz b.gz); they are one text, read to the end. Bytes after the last
// member that do not begin another member stop the run at their offset.
TEST_F(PlinkReader, GzipMembersAreReadToTheEndAndTrailingDataIsRefused) {
  const std::string text = randomGenotypes(5, 7, 300, 0.4).toText();
  writeFile(dir_ / "plain.txt", text);
  const std::size_t cut = text.find('\n', text.size() / 3) + 7;  // inside a subject's line
  writeGzipFile(dir_ / "a.gz", text.substr(0, cut));
  writeGzipFile(dir_ / "b.gz", text.substr(cut));
  const std::string first = readFile(dir_ / "a.gz");
  const std::string members = first + readFile(dir_ / "b.gz");
  writeFile(dir_ / "two.txt.gz", members);
  const Read plain = readInput(dir_ / "plain.txt", true);
  ASSERT_EQ(plain.exit_status, 0) << plain.output;
  const Read two = readInput(dir_ / "two.txt.gz", true);
  ASSERT_EQ(two.exit_status, 0) << two.output;
  expectSameStore(two.store, plain.store);

  const std::string offset = std::to_string(members.size());
  for (const std::string& trailing :
       {std::string("garbage\n"), std::string("\x1f\x00\x01\x02", 4), std::string(1, '\0')}) {
    writeFile(dir_ / "tail.txt.gz", members + trailing);
    const Read r = readInput(dir_ / "tail.txt.gz", true);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_TRUE(contains(r.output, "tail.txt.gz: data after the last gzip member, at byte offset " + offset +
                                       ", is not another gzip member"))
        << r.output;
  }
  // A second member cut short is damage, not trailing data.
  writeFile(dir_ / "cut2.txt.gz", first + readFile(dir_ / "b.gz").substr(0, 40));
  const Read r = readInput(dir_ / "cut2.txt.gz", true);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_TRUE(contains(r.output, "cut2.txt.gz: gzip data is damaged or cut short")) << r.output;
}

// Whichever decoder the CPU picks, the rows and the refused-missing answer
// are the portable decoder's, for every length of the last word.
TEST(PlinkDecoders, AgreeOnRandomCodes) {
  using namespace plink_internal;
  const DenseDecoder bmi2 = bmi2DenseDecoder();
  if (bmi2 == nullptr) GTEST_SKIP() << "no bit-extract instruction on this CPU";
  std::mt19937_64 rng(99);
  for (std::uint64_t subjects : {1, 3, 4, 5, 63, 64, 65, 127, 128, 130, 259}) {
    for (bool refuse : {false, true}) {
      SCOPED_TRACE(std::to_string(subjects) + (refuse ? " refusing missing" : ""));
      std::vector<unsigned char> bytes((subjects + 3) / 4);
      for (unsigned char& b : bytes) b = static_cast<unsigned char>(rng());
      // Without a missing code refusal has nothing to find: make one SNP
      // free of them (01 becomes 00) half of the time.
      if (refuse && subjects % 2 == 1) {
        for (unsigned char& b : bytes) {
          for (unsigned k = 0; k < 4; ++k) {
            if (((b >> (2 * k)) & 3) == 1) b = static_cast<unsigned char>(b & ~(3u << (2 * k)));
          }
        }
      }
      const std::uint64_t words = (subjects + 63) / 64;
      std::vector<std::uint64_t> a(3 * words, 0), b(3 * words, 0);
      std::uint64_t* rows_a[3] = {a.data(), a.data() + words, a.data() + 2 * words};
      std::uint64_t* rows_b[3] = {b.data(), b.data() + words, b.data() + 2 * words};
      const std::int64_t first_a = decodeDensePortable({bytes.data(), bytes.size(), subjects, words, rows_a, refuse});
      const std::int64_t first_b = bmi2({bytes.data(), bytes.size(), subjects, words, rows_b, refuse});
      EXPECT_EQ(first_a, first_b);
      EXPECT_EQ(a, b);
      if (!refuse) {
        // Every subject lands in at most one row, and none beyond the last.
        std::uint64_t seen = 0;
        for (std::uint64_t w = 0; w < words; ++w) {
          EXPECT_EQ(a[w] & a[words + w], 0u);
          EXPECT_EQ((a[w] | a[words + w]) & a[2 * words + w], 0u);
          seen += static_cast<std::uint64_t>(std::popcount(a[w] | a[words + w] | a[2 * words + w]));
        }
        EXPECT_LE(seen, subjects);
      }
    }
  }
}

}  // namespace
}  // namespace dyadmill::testing
