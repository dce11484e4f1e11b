// Arbitrary bytes as a field table, as each single field value type, as a content header and as
// a method frame; whatever reads cleanly is written back and read again.
#include <QCoreApplication>
#include <QDataStream>

#include <cstddef>
#include <cstdint>

#include "AmqpFrame.h"
#include "AmqpTable.h"

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(quiet);
    Amqp::registerMetaTypes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));

    {
        QDataStream in(bytes);
        AmqpTable table;
        in >> table;
        if (in.status() == QDataStream::Ok) {
            QByteArray written;
            QDataStream out(&written, QIODevice::WriteOnly);
            out << table;
            QDataStream again(written);
            AmqpTable back;
            again >> back;
            if (out.status() == QDataStream::Ok && (again.status() != QDataStream::Ok || back.size() != table.size()))
                __builtin_trap(); // what we write, we must read
        }
    }
    for (int type = int(AmqpMetaType::Invalid); type <= int(AmqpMetaType::Void); ++type) {
        QDataStream in(bytes);
        const QVariant value = AmqpTable::readFieldValue(in, AmqpMetaType::ValueType(type));
        QByteArray written;
        QDataStream out(&written, QIODevice::WriteOnly);
        AmqpTable::writeFieldValue(out, value);
    }
    {
        AmqpContentFrame header;
        if (header.parse(bytes))
            header.toByteArray();
        AmqpMethodFrame method;
        method.parse(bytes);
    }
    return 0;
}
