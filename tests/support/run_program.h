#pragma once

#include <string>
#include <vector>

namespace ostrel::test {

struct TProgramRun {
    int Status = -1; // exit status; -1 when it could not start or did not exit normally
    std::string Out;
    std::string Err;
};

// Starts a program directly, without a shell (request texts hold bytes that shells take as
// syntax), with exactly the given environment, standard input from the given text and, when
// workDir is not empty, in that folder; waits for it and collects its output.
TProgramRun RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& input = "", const std::string& workDir = "");

} // namespace ostrel::test
