// The search of a backup file SQLite cannot read: any bytes, as a damaged file may hold. Every
// row it gives back must be a record.
#include "BackupSalvage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    for (const BackupSalvage::Row& row : BackupSalvage::scanRecords(bytes)) {
        if (!BackupSalvage::isRecordText(row.text))
            std::abort();
    }
    return 0;
}
