// Runs built programs through the POSIX shell; only the native build's end-to-end tests use it.
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

ProgramRun RunCalstars2fp(const std::vector<std::string>& arguments, const std::string& input,
                          const std::string& shell_prefix) {
    return RunExecutable(CALSTARS2FP_EXE, arguments, input, shell_prefix);
}

ProgramRun RunExecutable(const std::string& executable, const std::vector<std::string>& arguments, const std::string& input,
                         const std::string& shell_prefix) {
    ScratchFolder io;
    WriteText(io / "stdin", input);
    std::string command = shell_prefix + ShellQuote(executable);
    for (const std::string& argument : arguments) command += " " + ShellQuote(argument);
    command += " < " + ShellQuote(io / "stdin") + " > " + ShellQuote(io / "stdout") + " 2>&1";
    const int raw = std::system(command.c_str());
    ProgramRun run;
    run.output = ReadText(io / "stdout");
    if (WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) run.status = 128 + WTERMSIG(raw);
    return run;
}
