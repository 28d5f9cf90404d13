#include "Diagnostics.h"

#include <gtest/gtest.h>

#include <string>

TEST(DiagnosticsTest, PrintFormatsAndCutsOverlongLinesWithoutOverrun) {
    RecordingDiagnostics diagnostics;
    diagnostics.Print(Diagnostics::Stream::Out, "broadcas ID:%lu\n", 4294967295UL);
    diagnostics.Print(Diagnostics::Stream::Err, "%s", std::string(2000, 'x').c_str());
    EXPECT_EQ(diagnostics.Text(Diagnostics::Stream::Out), "broadcas ID:4294967295\n");
    EXPECT_EQ(diagnostics.Text(Diagnostics::Stream::Err), std::string(511, 'x'));
}
