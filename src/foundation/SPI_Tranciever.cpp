#include "SPI_Tranciever.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

SPI_Tranciever::SPI_Tranciever()
{
    std::memset(&tr, 0, sizeof(tr));
}

SPI_Tranciever::~SPI_Tranciever()
{
    close();
}

bool SPI_Tranciever::open(const std::string& path)
{
    close();
    if (path.empty()) {
        std::cout << "Can't open empty port" << std::endl;
        return false;
    }
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        std::cout << "Can't open port: " << path << std::endl;
        std::cout << std::strerror(err) << std::endl;
        return false;
    }
    std::cout << "Open port: " << path << std::endl;
    return true;
}

void SPI_Tranciever::close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int SPI_Tranciever::transfer_spi(std::vector<char>& data)
{
    if (fd < 0 || data.empty())
        return -1;
    tr.tx_buf = reinterpret_cast<uintptr_t>(data.data());
    tr.rx_buf = reinterpret_cast<uintptr_t>(data.data());
    return run_message("Can't transfer data. size=", data.size());
}

int SPI_Tranciever::write_data(const std::vector<char>& data)
{
    if (fd < 0)
        return -1;
    tr.tx_buf = reinterpret_cast<uintptr_t>(data.data());
    tr.rx_buf = 0;
    return run_message("Can't write data. size=", data.size());
}

int SPI_Tranciever::run_message(const char* failure, size_t size)
{
    tr.len = static_cast<uint32_t>(size);
    const int ret = ::ioctl(fd, SPI_IOC_MESSAGE(1), &tr);
    if (ret < 0) {
        const int err = errno;
        std::cout << failure << size << std::endl;
        std::cout << std::strerror(err) << std::endl;
    }
    // No buffer address outlives the call that lent it.
    tr.tx_buf = 0;
    tr.rx_buf = 0;
    return ret;
}

uint32_t SPI_Tranciever::get_speed_hz() const
{
    if (fd < 0)
        return 0;
    uint32_t speed = 0;
    if (::ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &speed) < 0) {
        std::cout << "Can't read max speed hz" << std::endl;
        return 0;
    }
    return speed;
}

bool SPI_Tranciever::set_max_speed_hz(uint32_t hz)
{
    tr.speed_hz = hz;
    if (fd < 0)
        return false;
    if (::ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &hz) < 0) {
        std::cout << "Can't set max speed hz " << hz << std::endl;
        return false;
    }
    return true;
}

int SPI_Tranciever::set_spi_mode(uint8_t mode)
{
    if (fd < 0)
        return -1;
    int ret = ::ioctl(fd, SPI_IOC_WR_MODE, &mode);
    if (ret < 0)
        std::cout << "Can't set mode for SPI: " << unsigned(mode) << std::endl;
    return ret;
}

int SPI_Tranciever::get_spi_mode(uint8_t& mode)
{
    if (fd < 0)
        return -1;
    int ret = ::ioctl(fd, SPI_IOC_RD_MODE, &mode);
    if (ret < 0)
        std::cout << "Can't get mode for SPI." << std::endl;
    return ret;
}

int SPI_Tranciever::set_bits_per_word(uint8_t bits)
{
    tr.bits_per_word = bits;
    if (fd < 0)
        return -1;
    int ret = ::ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits);
    if (ret < 0) {
        const int err = errno;
        std::cout << "Can't set bits per word for SPI: " << unsigned(bits) << std::endl;
        std::cout << "Could not set SPI bitsPerWord (WR)...ioctl fail" << std::strerror(err) << std::endl;
    }
    return ret;
}

int SPI_Tranciever::get_bits_per_word(uint8_t& bits)
{
    if (fd < 0)
        return -1;
    int ret = ::ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, &bits);
    if (ret < 0) {
        const int err = errno;
        std::cout << "Can't get bits per word for SPI." << std::endl;
        std::cout << std::strerror(err) << std::endl;
    }
    return ret;
}
