#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <vector>

// Hopping patterns as read from the settings file and as written to the FPGA: rows of signed
// 16-bit values.
using HoppingRow = std::vector<qint16>;
using HoppingParams = std::vector<HoppingRow>;

// Relative to the working directory of the station program.
extern const char* const PATH_TO_HOPPING_SETTINGS;

// The FPGA has nine table registers: eight pattern rows plus the boundary row.
constexpr int HOPPING_MAX_ROWS = 8;

// Turns the hopping settings file into the step tables and the boundary row that the receiver
// FPGA takes.
class HoppingSettingsReader
{
public:
    // A line with an entry that is not a 16-bit decimal number is left out as a whole: one
    // wrong channel would put the pattern's other hops on wrong channels too. Each line left
    // out is described in refused when given.
    HoppingParams loadFromFile(const QString& path, QStringList* refused = nullptr) const;
    static void invertparams(HoppingParams& params);
    HoppingRow getFirstVals(const HoppingParams& params) const;

    static qint16 channelNum(qint16 value);
    static HoppingRow getChannelsNums(const HoppingRow& row);
    static HoppingParams getChannelsNums(const HoppingParams& params);
    static HoppingRow modifyChannelNums(const HoppingRow& row);
    static HoppingParams modifyChannelNums(const HoppingParams& params);

    HoppingRow processFirstValsFromVector(const HoppingParams& params);
    HoppingParams getFreqkHz(const HoppingParams& positions) const;
    HoppingParams getParams(const HoppingParams& steps) const;

    // The whole computation; with n usable rows the result has n + 1 rows, the last one being
    // the boundary row.
    HoppingParams getHoppingParams(const QString& path, bool invert);

    const HoppingRow& getIndexes() const { return indexes; }
    // What was odd about the file at the last computation (missing, empty, lines left out, too
    // many rows), or empty when nothing was.
    const QString& lastProblem() const { return problem; }

private:
    HoppingRow indexes;
    QString problem;
};
