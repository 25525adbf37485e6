#pragma once
// Header only: runs a program as a user would and keeps what it printed.

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace korvani::test_support {

struct ProgramRun {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;    // standard output and error
};

// Runs `program` with `arguments` (each quoted for the shell, so no quoting is needed; none may
// hold a single quote), killed after two minutes.
inline ProgramRun runProgram(const std::string& program,
                             const std::vector<std::string>& arguments) {
  std::string command = "timeout -k 5 120 '" + program + "'";
  for (const std::string& argument : arguments)
    command += " '" + argument + "'";
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  ProgramRun run;
  char buffer[4096];
  for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.out.append(buffer, n);
  const int status = pipe ? ::pclose(pipe) : -1;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace korvani::test_support
