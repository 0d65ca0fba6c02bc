// POSIX side of the file chooser: a desktop dialog (zenity) when one can be shown, else a console
// prompt, in place of the Windows open-file dialog. The prompt is written to the controlling
// terminal (standard error without one); the answer is read from standard input.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/file_chooser.h"

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool HasDesktop() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

std::string FindInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return "";
    std::string entries = path;
    size_t start = 0;
    while (start <= entries.size()) {
        size_t end = entries.find(':', start);
        if (end == std::string::npos) end = entries.size();
        const std::string candidate = entries.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Runs the desktop file dialog without a shell and reads the chosen path from its output.
bool AskWithDialog(const std::string& zenity, std::string& chosen) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        return false;
    }
    if (child == 0) {
        ::dup2(pipe_ends[1], STDOUT_FILENO);
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        const char* arguments[] = {zenity.c_str(),
                                   "--file-selection",
                                   "--title=Navigate to CALSTARS File",
                                   "--file-filter=Calibration Stars File (CALSTARS*.txt) | CALSTARS*.txt",
                                   "--file-filter=All Files (*.*) | *",
                                   nullptr};
        ::execv(zenity.c_str(), const_cast<char* const*>(arguments));
        ::_exit(127);
    }
    ::close(pipe_ends[1]);
    std::string output;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(got));
    ::close(pipe_ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    chosen = output;
    return true;
}

// The prompt goes where the person at the keyboard sees it, never into standard output, which may be
// the list of record names a caller keeps (`echo path | calstars2fp > names.txt`): the controlling
// terminal when the process has one, else standard error.
FILE* OpenPromptStream() {
    FILE* terminal = std::fopen("/dev/tty", "w");
    return terminal != nullptr ? terminal : stderr;
}

void ClosePromptStream(FILE* prompt) {
    if (prompt == stderr) {
        std::fflush(stderr);
    } else {
        std::fclose(prompt);
    }
}

bool AskOnConsole(std::string& chosen) {
    FILE* prompt = OpenPromptStream();
    std::fputs(" Path of a CALSTARS file: ", prompt);
    std::fflush(prompt);
    std::string answer;
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') answer.push_back(static_cast<char>(c));
    // End of input leaves the prompt's line open: ended here, so that the next line starts on its own.
    if (c == EOF) std::fputs("\n", prompt);
    ClosePromptStream(prompt);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    chosen = answer;
    return true;
}

}  // namespace

bool SelectCalStarsFile(std::string& destination) {
    std::printf(" Opening dialog box to search for a CALSTARS*.txt file\n");
    std::fflush(stdout);
    std::string chosen;
    const std::string zenity = HasDesktop() ? FindInPath("zenity") : "";
    const bool answered = zenity.empty() ? AskOnConsole(chosen) : AskWithDialog(zenity, chosen);
    if (!answered || chosen.empty()) return false;
    // The full path of an existing file, as the Windows dialog returns it.
    char resolved[PATH_MAX];
    if (::realpath(chosen.c_str(), resolved) == nullptr || !IsRegularFile(resolved)) return false;
    destination = resolved;
    return true;
}
