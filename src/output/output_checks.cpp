#include "output_checks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "console.h"
#include "output_set.h"
#include "partial_results.h"
#include "plink_reader.h"
#include "results_table.h"
#include "run_log.h"

namespace dyadmill {

namespace {

namespace fs = std::filesystem;

bool writesFinalFiles(const RunParameters& params) {
  return params.processID == 0 || params.processAmount <= 1;
}

// Creates and removes a file in `folder`; on failure, `reason` says why.
bool folderTakesFiles(const fs::path& folder, std::string& reason) {
  const fs::path probe = folder / (".dyadmill-write-check-" + std::to_string(::getpid()));
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

fs::path folderOf(const std::string& file) {
  const fs::path parent = fs::path(file).parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

}  // namespace

std::vector<std::string> plannedOutputFiles(const RunParameters& params) {
  std::vector<std::string> files = resultFiles(params);
  if (params.checkPartialParam == 0) files.push_back(runLogPath(params));
  return files;
}

std::vector<std::string> resultFiles(const RunParameters& params) {
  if (!writesFinalFiles(params)) return {partialFileName(params.outFile, params.processID)};
  std::vector<std::string> files = {params.outFile + ".txt"};
  if (params.tableOption) files.push_back(resultsTablePath(params.outFile));
  if (params.fwerOption) files.push_back(fwerFilePath(params.outFile));
  if (params.minP()) {
    files.push_back("SNP_pairs_and_permut_p_vals_minP.txt");
    files.push_back("matrix_minP.txt");
  } else {
    files.push_back("SNP_pairs_and_permut_p_vals_maxT.txt");
  }
  return files;
}

std::vector<std::string> inputFiles(const RunParameters& params) {
  if (!isPlinkFileset(params.inFile)) return {params.inFile};
  const FilesetNames names = filesetNames(params.inFile);
  return {names.bed, names.bim, names.fam};
}

Outcome checkOutputFiles(const RunParameters& params) {
  const std::vector<std::string> outputs = plannedOutputFiles(params);
  for (const std::string& output : outputs) {
    for (const std::string& input : inputFiles(params)) {
      std::error_code ec;
      if (fs::equivalent(output, input, ec) && !ec) {
        console().print("ERROR! Output file %s would overwrite the input file\n", output.c_str());
        return Outcome::stop(kExitError);
      }
    }
  }
  for (const std::string& output : outputs) {
    std::error_code ec;
    if (fs::is_directory(output, ec)) {
      console().print("ERROR: Output file %s is a folder; choose another output name (-o)\n", output.c_str());
      return Outcome::stop(kExitError);
    }
    // Each file is first written under its name plus a temporary suffix.
    const long name_max = ::pathconf(folderOf(output).c_str(), _PC_NAME_MAX);
    const std::size_t longest = name_max > 0 ? static_cast<std::size_t>(name_max) : 255;
    const std::size_t length = fs::path(output).filename().string().size() + temporarySuffixLength();
    if (length > longest) {
      console().print(
          "ERROR: Output file name %s is too long for its folder (at most %zu characters with the "
          "temporary suffix, which needs %zu); choose a shorter output name (-o)\n",
          output.c_str(), longest, temporarySuffixLength());
      return Outcome::stop(kExitError);
    }
  }
  std::set<fs::path> checked;
  for (const std::string& output : outputs) {
    const fs::path folder = folderOf(output);
    if (!checked.insert(folder).second) continue;
    std::string reason;
    if (!folderTakesFiles(folder, reason)) {
      console().line("Unable to open OUTPUT file");
      console().print("ERROR: %s cannot be created: folder %s: %s\n", output.c_str(), folder.c_str(), reason.c_str());
      return Outcome::stop(kExitError);
    }
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
