// The program's usage text, printed when it is started with too few arguments.
#pragma once

namespace dyadmill {

class PrintHelp {
 public:
  void print_help() const;
};

}  // namespace dyadmill
