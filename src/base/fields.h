// The one field splitter of the program's whitespace-separated lines that
// are not genotype lines: partial result files and a fileset's .bim and .fam.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/tokenizer.hpp>

namespace dyadmill {

// Fields separated by runs of spaces and tabs; empty fields are dropped.
inline std::vector<std::string> blankSeparatedFields(std::string_view line) {
  static const boost::char_separator<char> separator(" \t");
  const boost::tokenizer<boost::char_separator<char>, std::string_view::const_iterator> tokens(line.begin(), line.end(),
                                                                                               separator);
  return {tokens.begin(), tokens.end()};
}

}  // namespace dyadmill
