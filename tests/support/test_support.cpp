#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dyadmill::testing {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dyadmill-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

RunResult runDyadmill(const std::vector<std::string>& args, const std::filesystem::path& cwd) {
  const std::filesystem::path capture = cwd / ".dyadmill-test-output";
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int fd = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> argv;
    std::string program = DYADMILL_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  RunResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.output = readFile(capture);
  std::filesystem::remove(capture);
  return result;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::vector<std::string> tabFields(const std::string& line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
    out.push_back(line.substr(start, tab - start));
  out.push_back(line.substr(start));
  return out;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

std::string GenotypeData::toText() const {
  std::string text = "Trait";
  for (const std::string& name : names) {
    text += ' ';
    text += name;
  }
  text += "\n";
  for (std::size_t s = 0; s < traits.size(); ++s) {
    text += std::to_string(traits[s]);
    for (int g : genotypes[s]) {
      text += ' ';
      text += std::to_string(g);
    }
    text += "\n";
  }
  return text;
}

GenotypeData randomGenotypes(std::uint32_t seed, std::size_t snps, std::size_t subjects, double case_share,
                             double missing_rate) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  GenotypeData data;
  std::vector<double> frequency(snps);
  for (std::size_t i = 0; i < snps; ++i) {
    data.names.push_back("rs" + std::to_string(1000 + i));
    frequency[i] = 0.05 + 0.45 * unit(rng);
  }
  data.genotypes.assign(subjects, std::vector<int>(snps, 0));
  for (std::size_t s = 0; s < subjects; ++s) {
    data.traits.push_back(unit(rng) < case_share ? 1 : 0);
    for (std::size_t i = 0; i < snps; ++i) {
      int g = (unit(rng) < frequency[i]) + (unit(rng) < frequency[i]);
      if (missing_rate > 0.0 && unit(rng) < missing_rate) g = -9;
      data.genotypes[s][i] = g;
    }
  }
  return data;
}

void PrintTo(const RunMode& m, std::ostream* os) {
  *os << (m.epistasis ? "epistasis " : "association ") << (m.score ? "score " : "likelihood ")
      << (m.missing ? "missing " : "nomissing ") << (m.minP ? "minP " : "maxT ") << m.permutations << " permutations";
}

std::vector<std::string> runModeOptions(const RunMode& m, const std::string& input, const std::string& n,
                                        const std::string& p) {
  std::vector<std::string> args = {"-n",
                                   n,
                                   "-p",
                                   p,
                                   "-i",
                                   input,
                                   "-o",
                                   "res",
                                   "-b",
                                   "3",
                                   "-r",
                                   "11",
                                   "-t",
                                   m.minP ? "0.4" : (m.epistasis ? "2" : "8"),
                                   "--permutations",
                                   std::to_string(m.permutations)};
  args.push_back(m.epistasis ? "--epistasis" : "--association");
  args.push_back(m.score ? "--score" : "--likelihood");
  args.push_back(m.missing ? "--missing" : "--nomissing");
  args.push_back(m.minP ? "--minP" : "--maxT");
  return args;
}

std::vector<ScanMode> everyScanMode(std::initializer_list<int> min_cells) {
  std::vector<ScanMode> modes;
  for (bool epistasis : {false, true}) {
    for (bool score : {false, true}) {
      for (bool missing : {false, true}) {
        for (bool minP : {false, true}) {
          for (int min_cell : min_cells) modes.push_back({epistasis, score, missing, minP, min_cell});
        }
      }
    }
  }
  return modes;
}

std::string describeMode(const ScanMode& m) {
  return std::string(m.epistasis ? "epistasis" : "association") + (m.score ? "/score" : "/likelihood") +
         (m.missing ? "/missing" : "/nomissing") + (m.minP ? "/minP" : "/maxT") + "/m" + std::to_string(m.min_cell);
}

RunParameters modeParameters(const ScanMode& m) {
  RunParameters p;
  p.hypothesisOption = m.epistasis ? 1 : 0;
  p.testTypeOption = m.score ? 1 : 0;
  p.missingGenoOption = m.missing ? 1 : 0;
  p.algoOption = m.minP ? 1 : 0;
  p.minGroupSizeParam = m.min_cell;
  return p;
}

}  // namespace dyadmill::testing
