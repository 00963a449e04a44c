#include "Help.h"

#include <cstdio>

#include "console.h"

namespace dyadmill {

namespace {

// Kept verbatim, spelling included: scripts and users compare against it.
// Five lines end in a space on purpose.
constexpr char kHelpText[] = R"HELP(
***********************************
*          WELCOME TO DyadMILL     *
***********************************
DyadMILL impliments following epistatis detection algortithms: BOOST and TX-LQW(partially)

SYNOPSIS
     dyadmill [PARAMETERS] 'txlqwFile'

SERIAL RUN: dyadmill -n 1 -p 1
PARALLEL RUN: dyadmill -n 10 -p 1

PARAMETERS:
 -o output file name to which the ".txt" suffix will be appended.
    Avoid use of special characters (\ and %%)
    IMPORTANT: The .txt suffix will be ALWAYS appended to the name
 -i input file name in TX-LQW format (see below)
 -n total number of processes  between 1 to n.
  SERIAL MODE: -n=1
  PARALELL MODE: -n>1 then parallel processing mode is ON
 -p the process number ranging between 0 ... n.
    Where n is a total number of processes.    if p=0 the assembly of partial results starts
 -m group size option representing minimum number of indivuals required to be present in a given cell of 3x3 genotypic table
 -t statistical threshold used to filter SNP pairs. (use Bonferroni and R qchisq() or pchisq() ). 
In case of --minP the threshold is p-value and in case of --maxT option is the chi-square value -r random seed to make sure that permutation runs are comparable.
    Select the same value for all runs to increase reproducibility
 --permutations [integer]; Use this option to indecate number of permutations to do.
    E.g. --permutations 999 (DEFAULT: 0 permutations)
 --fwer genome-wide family-wise error rate from the permutations: writes NAME.fwer and the P_FWER column of NAME.tsv (implies --table; needs --permutations > 1 and -r)

***********************************
*   RUN-SPECIFIC OPTIONS          *
***********************************
 * TYPE OF INTERACTION BETWEEN LOCI paramters to define "hypothesisOption":
    --association the association hypothesis is applied on the SNP data and the hypothesisOption = 1
    --epistasis the epistasis hypothesis is applied on the SNP data and the hypothesisOption = 0
 * MULTIPLE-TESING CORRECTION parameters to define "algoOption":
    --maxT applies maxT step-down algorithm to correct for multiple-testing errors
    --minP applies step-down  minP algorithm to correct multiple-tesing
 * TEST-STATISTIC ALGORITHM parameters to define "testTypeOption"
    --score  use score test. Used for TX-LQW like mode(faster)
    --likelihood use likelihood ratio test. Used for BOOST like mode
 * MISSINGNESS IN DATA parameters to define "missingGenoOption"
    --missing use this option if some genotypes for particular 2 loci are missing (indicated by -9 value) or lower than -m threshold
    --nomissing use this option if you know that each genotype is well represented and there is not data missingness
***********************************
*   TX-LQW input file details     *
***********************************
The file is structured in such a way that columns are variables (i.e. SNP names and trait vector) while columns are samples(i.e subjects)
--> column 0: belongs to the trait (e.g. disease status)
--> colunn 1..n: belongs to SNP names
--> rows are subjects, but the sample ids are not present
Example of space delimited TX-LQW file
Trait SNP1  SNP2 SNP3 SNP4 SNP5
 0      1     2    0    1    0 
 0      1     2    1    2    1 
 1      0     1    0    1    0 
Important: Trait could only be binary. Continuous traits are not implemented
Important: TX-LQW input file is space delimited

***********************************
*   MORE OPTIONS                  *
***********************************
 -i also takes the same text gzip-compressed (recognised by its content) or PREFIX.bed of a binary fileset (PREFIX.bim and PREFIX.fam beside it)
 -b number of data blocks the SNPs are cut into (DEFAULT: 0 = automatic)
 --table also write the annotated table NAME.tsv
 --cells also write each pair's nine case and nine control cell counts (after -m) in NAME.tsv: CASE_CELLS, CONTROL_CELLS (implies --table)
 --threads worker threads, 1..1024 (DEFAULT: the CPUs this process may run on); the results are the same for every count
 --quiet print only warnings, errors and a short summary; every line is still in the run's log NAME.log
 --check-partial K with -p 0: only check worker K's partial file
 --extract FILE scan only the SNPs named in FILE (names separated by spaces, tabs or new lines)
 --exclude FILE leave out the SNPs named in FILE
 --chr LIST scan only these chromosomes, e.g. 1-22,X (PREFIX.bed input only)
 --keep FILE scan only the subjects of FILE, one "family-ID subject-ID" per line as in a .fam (PREFIX.bed input only)
 --remove FILE leave out the subjects of FILE, same form as --keep (PREFIX.bed input only)
 --maf X leave out SNPs whose minor allele frequency among the scanned subjects with a genotype is below X
 --geno X leave out SNPs whose missing rate among the scanned subjects is above X
 --set1 FILE test only the pairs with one SNP named in FILE and the other among the scanned SNPs
 --set2 FILE with --set1: test only the pairs with one SNP in --set1 and the other named in FILE
   candidate genes against the genome: ... --set1 candidates.txt --maf 0.01 --geno 0.05 -i study.bed
   one chromosome per cluster job:     ... --chr 22 -i study.bed   (P_BONF counts the pairs tested)
 --version print the program's version and exit
 --help, -h print this text and exit
 dyadmill-local and dyadmill-slurm run the processes of a split run; their --resume keeps the complete partial files of an unfinished run


EXAMPLE COMMANDS:
 * BOOST-like mode:   dyadmill  -n 1 -p 1 -r 1980 -t 60 -m 1 --likelihood --epistasis --maxT --permutations 0 --missing -o output -i 'txlqwFile'
 * TX-LQW-like mode:  dyadmill  -n 1 -p 1 -r 1980 -t 0.001 -m 10 --score --epistasis --minP --permutations 999 --missing -o output -i 'txlqwFile' 
)HELP";

}  // namespace

void PrintHelp::print_help() const {
  console().write(std::string_view(kHelpText, sizeof(kHelpText) - 1));
}

}  // namespace dyadmill
