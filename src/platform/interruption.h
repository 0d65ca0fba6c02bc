// Interrupted runs: what the program does when it is told to stop (POSIX: every signal whose default
// action ends the process: SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
// SIGPROF, SIGXCPU, and SIGPIPE sent by another process; SIGXFSZ is ignored so that a write beyond
// the file size limit fails as any write does; Windows: the console's Ctrl-C, Ctrl-Break and close events).
//
// It stops where it is, removes the temporary files it is writing and the hidden folders they are in
// (SafeOutput_RemoveTemporaries), leaves every file already renamed to its final name as it is,
// prints one line on standard output naming the folder and the record it did not finish, and ends as
// a program stopped by that signal:
//   POSIX    the signal's default action is restored and the signal raised again, so the parent sees
//            a death by that signal (a shell shows 128 + its number: 130, 143, 129 ...); the line is
//            written without waiting (dropped when standard output is a full pipe);
//   Windows  exit status 128 + the signal's number: 130 for Ctrl-C (SIGINT), 149 for Ctrl-Break
//            (SIGBREAK), 129 for the closing of the console (taken as SIGHUP).
// A signal that was ignored when the program started (nohup, a background job of a shell without job
// control) stays ignored.
//
// The line, one of:
//   " Interrupted by SIGTERM: record <name> in <folder> not finished \n"
//   " Interrupted by SIGTERM in <folder> after record <name> \n"      (its file is complete)
//   " Interrupted by SIGTERM in <folder> before its first record \n"
// where "record" is the word that Interruption_Watch was given.
//
// Use: the program's main calls Interruption_InstallHandlers once (signal dispositions belong to the
// process, so library code never installs them: a host process such as the Python interpreter keeps
// its own). The run calls Interruption_Watch once, from the thread that writes the output files,
// before the first one; then around every record Interruption_NameRecord and, once its file is renamed,
// Interruption_RecordDone, both from that same thread. A signal delivered to any other thread (a
// worker) is passed on to the writing thread, so the clean-up never runs beside a write in progress.
// The handler takes no lock and allocates nothing: the names are copied into fixed buffers here.
// The handlers are in one source file per platform (interruption_posix.cpp, interruption_windows.cpp),
// the line and the names in interruption.cpp.
#pragma once

#include <cstddef>
#include <string>

// Longest folder or record name the line shows; longer ones are cut.
constexpr size_t kInterruptionNameBytes = 1024;

// Installs the handlers (once, whatever the number of calls), on the stop signals still at their
// default action, and ignores SIGXFSZ. For a program's main only. Until Interruption_Watch, a stop
// ends the process by its signal without a line (there is nothing to clean up yet).
void Interruption_InstallHandlers();

// Notes `folder` for the line and `item` ("record", or "file" for the viewer) as the word before a
// record's name. The calling thread is the writing one. Installs nothing.
void Interruption_Watch(const std::string& folder, const char* item = "record");

// True once Interruption_Watch has noted a folder (until Interruption_Reset). Async-signal-safe.
bool Interruption_Watching();

// `name` is the record now being made: the line names it until Interruption_RecordDone.
void Interruption_NameRecord(const std::string& name);

// The record last named has its file complete under its final name.
void Interruption_RecordDone();

// Assembles the line for a stop by `cause` ("SIGTERM", "Ctrl-C") into `buffer` (always ending in a
// line end, cut to fit) and returns its length. Async-signal-safe: the handlers call it.
size_t Interruption_Line(const char* cause, char* buffer, size_t size);

// Forgets the folder and record (tests).
void Interruption_Reset();
