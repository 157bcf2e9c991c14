// A helper program run to its end: started with an argument vector (the program looked up on
// the search path), standard input on /dev/null, standard output and error collected together,
// in a process group of its own so that a time-out ends it with everything it started.
//
// RunChild blocks the calling thread until the child has ended or the time-out has passed;
// then the whole group is killed and reaped. Nothing of the child is left behind on any path:
// no zombie, no descriptor. The child inherits no descriptor of the caller besides the three
// standard ones. Any thread (everything the child needs is prepared before the fork).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace faxmail::platform {

struct ChildResult {
  bool exited = false;    // ended by itself (exitCode is valid)
  int exitCode = -1;      // its exit status
  bool timedOut = false;  // killed when the time-out passed
  std::string output;     // standard output and error, the first maxOutput bytes
};

// 0 when the child ran (whatever its exit status; see out), or the error of starting it:
// kErrorFileNotFound when the program is not found, kErrorInvalidParameter for an empty argv.
long RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
              std::size_t maxOutput, ChildResult& out);

}  // namespace faxmail::platform
