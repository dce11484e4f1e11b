#pragma once

#include "SimBcmRegisters.h"

#include "bcm283x.h"

#include <QString>
#include <QTemporaryDir>

#include <cstdint>

// Runs the BCM283x register library (and so the BCM283x pin worker) on the register model: a
// temporary folder holds a device-tree ranges file for the given peripheral base, an empty
// stand-in for /dev/mem and /dev/gpiomem, and a sysfs GPIO root with export and unexport files.
// The model is installed as the register accessor; the destructor unmaps and restores the
// library's defaults. One at a time per process, like the library itself.
class SimBcmBoard {
public:
    explicit SimBcmBoard(uint32_t peripheral_base = 0x3F000000, bool root = true);
    ~SimBcmBoard();
    SimBcmBoard(const SimBcmBoard&) = delete;
    SimBcmBoard& operator=(const SimBcmBoard&) = delete;

    SimBcmRegisters& registers() { return registers_; }
    QString path() const { return dir_.path(); }
    QString sysfs_root() const;
    // Creates gpio<N>/direction, edge and value under the sysfs root, as exporting the pin does.
    void add_sysfs_pin(unsigned gpio);

    // Replaces the library's system seams (starting from the ones this board set up).
    bcm283x_system system() const { return system_; }
    void apply(const bcm283x_system& system);

private:
    QTemporaryDir dir_;
    SimBcmRegisters registers_;
    bcm283x_system system_;
};
