#include "platform/interruption.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Line(const char* cause) {
    char buffer[4096];
    const size_t length = Interruption_Line(cause, buffer, sizeof buffer);
    return std::string(buffer, length);
}

TEST(Interruption, LineNamesTheFolderAndTheRecordNotFinished) {
    // The platform's handlers are not installed here (no Interruption_Watch): only the line is made.
    Interruption_Reset();
    struct Step {
        void (*change)();
        const char* expected;
    };
    const Step steps[] = {
        {[] {}, " Interrupted by SIGTERM in  before its first record \n"},
        {[] { Interruption_NameRecord("A.bin"); }, " Interrupted by SIGTERM: record A.bin in  not finished \n"},
        {[] { Interruption_RecordDone(); }, " Interrupted by SIGTERM in  after record A.bin \n"},
        {[] { Interruption_NameRecord("B.bin"); }, " Interrupted by SIGTERM: record B.bin in  not finished \n"},
        {[] { Interruption_NameRecord("C.bin"); }, " Interrupted by SIGTERM: record C.bin in  not finished \n"},
        {[] { Interruption_RecordDone(); Interruption_RecordDone(); }, " Interrupted by SIGTERM in  after record C.bin \n"},
    };
    for (const Step& step : steps) {
        step.change();
        EXPECT_EQ(Line("SIGTERM"), step.expected);
    }
    Interruption_Reset();
}

TEST(Interruption, LineIsCutToTheBufferAndAlwaysEndsTheLine) {
    Interruption_Reset();
    Interruption_NameRecord(std::string(5000, 'r'));
    const std::string whole = Line("Ctrl-C");
    EXPECT_EQ(whole.substr(0, 33), " Interrupted by Ctrl-C: record rr");
    EXPECT_EQ(whole.find(std::string(kInterruptionNameBytes, 'r')), std::string::npos);  // cut to the name buffer
    char small[20];
    const size_t length = Interruption_Line("Ctrl-C", small, sizeof small);
    EXPECT_EQ(std::string(small, length), " Interrupted by Ct\n");
    EXPECT_EQ(small[length], '\0');
    Interruption_Reset();
}

}  // namespace
