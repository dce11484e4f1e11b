#include "SimBcmBoard.h"

#include <QDir>
#include <QFile>

namespace {

void write_file(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray be32(uint32_t v)
{
    QByteArray b(4, '\0');
    b[0] = char(v >> 24);
    b[1] = char(v >> 16);
    b[2] = char(v >> 8);
    b[3] = char(v);
    return b;
}

} // namespace

SimBcmBoard::SimBcmBoard(uint32_t peripheral_base, bool root)
{
    const QString dir = dir_.path();
    // 32-bit layout: bus address, CPU address, size.
    write_file(dir + "/ranges", be32(0x7E000000) + be32(peripheral_base) + be32(0x01000000));
    write_file(dir + "/mem", QByteArray());
    write_file(dir + "/gpiomem", QByteArray());
    QDir().mkpath(sysfs_root());
    write_file(sysfs_root() + "/export", QByteArray());
    write_file(sysfs_root() + "/unexport", QByteArray());

    system_.ranges_path = (dir + "/ranges").toStdString();
    system_.mem_path = (dir + "/mem").toStdString();
    system_.gpiomem_path = (dir + "/gpiomem").toStdString();
    system_.sysfs_gpio_root = sysfs_root().toStdString();
    system_.is_root = [root] { return root; };

    bcm283x_close();
    bcm283x_set_system(system_);
    bcm283x_set_register_access(&registers_);
}

SimBcmBoard::~SimBcmBoard()
{
    bcm283x_close();
    bcm283x_set_register_access(nullptr);
    bcm283x_set_system(bcm283x_system());
}

QString SimBcmBoard::sysfs_root() const
{
    return dir_.path() + "/gpio";
}

void SimBcmBoard::add_sysfs_pin(unsigned gpio)
{
    const QString pin = sysfs_root() + "/gpio" + QString::number(gpio);
    QDir().mkpath(pin);
    write_file(pin + "/direction", QByteArray());
    write_file(pin + "/edge", QByteArray());
    write_file(pin + "/value", "0\n");
}

void SimBcmBoard::apply(const bcm283x_system& system)
{
    system_ = system;
    bcm283x_set_system(system_);
}
