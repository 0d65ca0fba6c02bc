#include "platform/interruption.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "platform/interruption_platform.h"

namespace {

constexpr size_t kItemBytes = 32;

char g_folder[kInterruptionNameBytes] = "";
std::atomic<bool> g_watching{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads whether a run is watched");
char g_item[kItemBytes] = "record";
// Two buffers for the record's name: the writer fills the one not shown, then switches, so a
// handler that interrupts the copy still reads a whole name.
char g_records[2][kInterruptionNameBytes];
// -1: no record yet; otherwise (buffer << 1) | done.
std::atomic<int> g_record_state{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the record state");

void CopyCut(char* to, size_t size, const char* from) {
    size_t n = 0;
    while (from[n] != '\0' && n + 1 < size) ++n;
    std::memcpy(to, from, n);
    to[n] = '\0';
}

// Appends `pieces` to the line, keeping room for the line end.
void Append(char* buffer, size_t size, size_t& length, std::initializer_list<const char*> pieces) {
    for (const char* text : pieces) {
        while (*text != '\0' && length + 2 < size) buffer[length++] = *text++;
    }
}

}  // namespace

void Interruption_Watch(const std::string& folder, const char* item) {
    CopyCut(g_folder, sizeof g_folder, folder.c_str());
    CopyCut(g_item, sizeof g_item, item);
    Interruption_NoteWritingThread();
    g_watching.store(true);
}

bool Interruption_Watching() { return g_watching.load(); }

void Interruption_NameRecord(const std::string& name) {
    const int state = g_record_state.load();
    const int buffer = state < 0 ? 0 : 1 - (state >> 1);
    CopyCut(g_records[buffer], kInterruptionNameBytes, name.c_str());
    g_record_state.store(buffer << 1);
}

void Interruption_RecordDone() {
    const int state = g_record_state.load();
    if (state >= 0) g_record_state.store(state | 1);
}

size_t Interruption_Line(const char* cause, char* buffer, size_t size) {
    if (size < 2) return 0;
    const int state = g_record_state.load();
    size_t length = 0;
    Append(buffer, size, length, {" Interrupted by ", cause});
    if (state >= 0 && (state & 1) == 0) {
        Append(buffer, size, length, {": ", g_item, " ", g_records[state >> 1], " in ", g_folder, " not finished "});
    } else if (state < 0) {
        Append(buffer, size, length, {" in ", g_folder, " before its first ", g_item, " "});
    } else {
        Append(buffer, size, length, {" in ", g_folder, " after ", g_item, " ", g_records[state >> 1], " "});
    }
    buffer[length++] = '\n';
    buffer[length] = '\0';
    return length;
}

void Interruption_Reset() {
    g_watching.store(false);
    g_record_state.store(-1);
    g_folder[0] = '\0';
    CopyCut(g_item, sizeof g_item, "record");
}
