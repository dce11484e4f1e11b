#pragma once

#include <QString>

#include <cstdint>

class SimAx5043;

// Scenario statements for the simulated AX5043 and its air link, written in the station's
// scenario file beside the receiver FPGA's statements, one per line:
//   ax5043 never_end <count>      the next count packets never end
//   ax5043 ranging_fails          synthesizer ranging reports failure
//   ax5043 revision <number>      REVISION reads this instead of 0x51
//   ax5043 irq_stuck low|high     the interrupt line stays at that level
//   ax5043 air_offset <Hz>        autocorrection echoes are heard this much below the carrier
struct SimAx5043Scenario {
    unsigned never_end = 0;
    bool ranging_fails = false;
    int revision = -1;
    int irq_stuck = -1;
    int32_t air_offset_hz = 0;

    // Parses the "ax5043" statements of a scenario text and gives the text back with those
    // lines blanked (so the other parser's line numbers still hold). False names the line.
    static bool extract(const QString& text, SimAx5043Scenario& out, QString* rest, QString* error = nullptr);
    void apply(SimAx5043& chip) const;
};
