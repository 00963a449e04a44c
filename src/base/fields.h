// The one field splitter of the program's whitespace-separated lines that
// are not genotype lines: partial result files and a fileset's .bim and .fam.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/tokenizer.hpp>

namespace dyadmill {

// Fields separated by runs of spaces and tabs; empty fields are dropped.
// Into `fields`, whose strings are reused: a reader of many lines then
// allocates nothing per line.
inline void blankSeparatedFields(std::string_view line, std::vector<std::string>& fields) {
  static const boost::char_separator<char> separator(" \t");
  const boost::tokenizer<boost::char_separator<char>, std::string_view::const_iterator> tokens(line.begin(), line.end(),
                                                                                               separator);
  fields.assign(tokens.begin(), tokens.end());
}

inline std::vector<std::string> blankSeparatedFields(std::string_view line) {
  std::vector<std::string> fields;
  blankSeparatedFields(line, fields);
  return fields;
}

}  // namespace dyadmill
