// How a stage of the run ends: either the run goes on, or it stops with an
// exit status. Stages print their own messages before returning a stop; the
// entry routine only turns the status into the process's exit status.
#pragma once

namespace dyadmill {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitLimit = 1;    // a storage or size limit was hit
inline constexpr int kExitError = 255;  // bad input, bad options, unreadable or unwritable files

class [[nodiscard]] Outcome {
 public:
  static Outcome proceed() { return Outcome(false, kExitOk); }
  static Outcome stop(int exit_status) { return Outcome(true, exit_status); }

  bool stopped() const { return stopped_; }
  int exitStatus() const { return exit_status_; }

 private:
  Outcome(bool stopped, int exit_status) : stopped_(stopped), exit_status_(exit_status) {}
  bool stopped_;
  int exit_status_;
};

}  // namespace dyadmill
