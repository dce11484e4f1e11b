#include "HoppingSettingsReader.h"

#include <QFile>
#include <QTextStream>
#include <algorithm>

const char* const PATH_TO_HOPPING_SETTINGS = "tolvahop.set";

HoppingParams HoppingSettingsReader::loadFromFile(const QString& path, QStringList* refused) const
{
    HoppingParams rows;
    if (path.isEmpty())
        return rows;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return rows;
    QTextStream in(&file);
    int line_no = 0;
    while (!in.atEnd()) {
        ++line_no;
        const QString line = in.readLine().simplified();
        if (line.isEmpty())
            continue;
        HoppingRow row;
        QString bad;
        for (const QString& part : line.split(' ', Qt::SkipEmptyParts)) {
            bool ok = false;
            const qint16 v = part.toShort(&ok, 10);
            if (!ok) {
                bad = part;
                break;
            }
            row.push_back(v);
        }
        if (!bad.isNull()) {
            if (refused)
                refused->append(QStringLiteral("line %1: \"%2\" is not a channel number, pattern ignored")
                                    .arg(line_no)
                                    .arg(bad.left(32)));
            continue;
        }
        rows.push_back(row);
    }
    return rows;
}

void HoppingSettingsReader::invertparams(HoppingParams& params)
{
    for (auto& row : params)
        for (auto& v : row)
            v = static_cast<qint16>(-v);
}

HoppingRow HoppingSettingsReader::getFirstVals(const HoppingParams& params) const
{
    HoppingRow first;
    for (const auto& row : params)
        if (!row.empty())
            first.push_back(row.front());
    return first;
}

qint16 HoppingSettingsReader::channelNum(qint16 value)
{
    // Positions are counted in eighths of a channel; a negative one counts down from 1600.
    const auto pos = static_cast<qint16>(value * 8);
    return pos < 0 ? static_cast<qint16>(1600 + pos) : pos;
}

HoppingRow HoppingSettingsReader::getChannelsNums(const HoppingRow& row)
{
    HoppingRow out;
    out.reserve(row.size());
    for (qint16 v : row)
        out.push_back(channelNum(v));
    return out;
}

HoppingParams HoppingSettingsReader::getChannelsNums(const HoppingParams& params)
{
    HoppingParams out;
    for (const auto& row : params)
        out.push_back(getChannelsNums(row));
    return out;
}

HoppingRow HoppingSettingsReader::modifyChannelNums(const HoppingRow& row)
{
    HoppingRow out(row);
    for (auto& v : out)
        if (v < 0)
            v = static_cast<qint16>(v + 2048);
    return out;
}

HoppingParams HoppingSettingsReader::modifyChannelNums(const HoppingParams& params)
{
    HoppingParams out;
    for (const auto& row : params)
        out.push_back(modifyChannelNums(row));
    return out;
}

HoppingRow HoppingSettingsReader::processFirstValsFromVector(const HoppingParams& params)
{
    const HoppingRow positions = getChannelsNums(getFirstVals(params));
    HoppingRow sorted(positions);
    std::sort(sorted.begin(), sorted.end());

    indexes.clear();
    for (qint16 p : positions) {
        const auto it = std::find(sorted.begin(), sorted.end(), p);
        indexes.push_back(static_cast<qint16>(it - sorted.begin()));
    }

    HoppingRow bounds;
    const size_t n = sorted.size();
    for (size_t i = 0; i + 1 < n; ++i) {
        auto b = static_cast<qint16>(sorted[i] + (sorted[i + 1] - sorted[i]) / 2);
        if (sorted[i] < 800 && b > 800)
            b = 800;
        bounds.push_back(b);
    }
    if (n > 0)
        bounds.push_back(sorted[n - 1] <= 800 ? 800 : 1600);
    return bounds;
}

HoppingParams HoppingSettingsReader::getFreqkHz(const HoppingParams& positions) const
{
    HoppingParams steps;
    for (const auto& row : positions) {
        HoppingRow s;
        for (size_t i = 1; i < row.size(); ++i)
            s.push_back(static_cast<qint16>(row[i] - row[i - 1]));
        if (!row.empty())
            s.push_back(0);
        steps.push_back(s);
    }
    return steps;
}

HoppingParams HoppingSettingsReader::getParams(const HoppingParams& steps) const
{
    return modifyChannelNums(steps);
}

HoppingParams HoppingSettingsReader::getHoppingParams(const QString& path, bool invert)
{
    indexes.clear();
    problem.clear();
    QStringList refused;
    HoppingParams rows = loadFromFile(path, &refused);
    if (!refused.isEmpty())
        problem = QStringLiteral("Hopping settings file %1: %2").arg(path, refused.join(QStringLiteral("; ")));
    if (rows.empty()) {
        if (refused.isEmpty())
            problem = QStringLiteral("Hopping settings file %1 is missing or empty: no hopping patterns").arg(path);
        else
            problem += QStringLiteral("; no hopping patterns");
    } else if (rows.size() > static_cast<size_t>(HOPPING_MAX_ROWS)) {
        if (!problem.isEmpty())
            problem += QStringLiteral("; ");
        problem += QStringLiteral("Hopping settings file %1 has %2 patterns; the FPGA takes %3, the rest are ignored")
                       .arg(path)
                       .arg(rows.size())
                       .arg(HOPPING_MAX_ROWS);
        rows.resize(HOPPING_MAX_ROWS);
    }
    if (invert)
        invertparams(rows);

    const HoppingRow bounds = processFirstValsFromVector(rows);
    const HoppingParams wrapped = getParams(getFreqkHz(getChannelsNums(rows)));

    HoppingParams result;
    for (qint16 k : indexes)
        result.push_back(wrapped[static_cast<size_t>(k)]);
    result.push_back(bounds);
    return result;
}
