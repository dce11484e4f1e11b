#include "SimAx5043Scenario.h"

#include "SimAx5043.h"

#include <QStringList>

bool SimAx5043Scenario::extract(const QString& text, SimAx5043Scenario& out, QString* rest, QString* error)
{
    SimAx5043Scenario s;
    QStringList lines = text.split('\n');
    for (int ln = 0; ln < lines.size(); ++ln) {
        QString line = lines[ln];
        const int hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        const QStringList p = line.simplified().split(' ', Qt::SkipEmptyParts);
        if (p.isEmpty() || p[0] != QLatin1String("ax5043"))
            continue;
        lines[ln].clear();
        const auto fail = [&](const QString& why) {
            if (error)
                *error = QStringLiteral("line %1: %2").arg(ln + 1).arg(why);
            return false;
        };
        const QString what = p.value(1);
        bool ok = false;
        if (what == QLatin1String("never_end") && p.size() == 3) {
            const uint n = p[2].toUInt(&ok);
            if (!ok || n > 1000000)
                return fail("never_end takes a count of packets");
            s.never_end = n;
        } else if (what == QLatin1String("ranging_fails") && p.size() == 2) {
            s.ranging_fails = true;
        } else if (what == QLatin1String("revision") && p.size() == 3) {
            const uint r = p[2].startsWith(QLatin1String("0x")) ? p[2].mid(2).toUInt(&ok, 16) : p[2].toUInt(&ok);
            if (!ok || r > 255)
                return fail("revision takes a byte");
            s.revision = int(r);
        } else if (what == QLatin1String("irq_stuck") && p.size() == 3
            && (p[2] == QLatin1String("low") || p[2] == QLatin1String("high"))) {
            s.irq_stuck = p[2] == QLatin1String("high") ? 1 : 0;
        } else if (what == QLatin1String("air_offset") && p.size() == 3) {
            const int hz = p[2].toInt(&ok);
            if (!ok || hz < -1000000 || hz > 1000000)
                return fail("air_offset takes hertz, at most 1 MHz either way");
            s.air_offset_hz = hz;
        } else {
            return fail("an ax5043 statement is never_end <count>, ranging_fails, revision <byte>, "
                        "irq_stuck low|high or air_offset <Hz>");
        }
    }
    out = s;
    if (rest)
        *rest = lines.join('\n');
    return true;
}

void SimAx5043Scenario::apply(SimAx5043& chip) const
{
    chip.set_never_end_packets(never_end);
    chip.set_ranging_fails(ranging_fails);
    if (revision >= 0)
        chip.set_revision(uint8_t(revision));
    chip.set_irq_stuck(irq_stuck);
}
