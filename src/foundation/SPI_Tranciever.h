#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <linux/spi/spidev.h>

// SPI transfers through a Linux spidev device file (the kernel driver), as an alternative to the
// register-level access of the pin worker.
class SPI_Tranciever {
public:
    SPI_Tranciever();
    ~SPI_Tranciever();
    SPI_Tranciever(const SPI_Tranciever&) = delete;
    SPI_Tranciever& operator=(const SPI_Tranciever&) = delete;

    // Opens path read-write, closing a device already held.
    bool open(const std::string& path);
    void close();
    bool is_open() const { return fd >= 0; }

    // One full-duplex message: sends data and stores the received bytes back into it.
    // Returns the ioctl result, -1 when not open or data is empty.
    int transfer_spi(std::vector<char>& data);
    // One message without a receive buffer. Returns the ioctl result, -1 when not open.
    int write_data(const std::vector<char>& data);

    // Maximum clock in Hz, 0 when not open or on failure.
    uint32_t get_speed_hz() const;
    // The value is kept for later transfers even when the device refuses it.
    bool set_max_speed_hz(uint32_t hz);
    int set_spi_mode(uint8_t mode);
    int get_spi_mode(uint8_t& mode);
    int set_bits_per_word(uint8_t bits);
    int get_bits_per_word(uint8_t& bits);

private:
    // One spidev message of size bytes with the buffers set in tr; failure is logged with the
    // text and the size.
    int run_message(const char* failure, size_t size);

    spi_ioc_transfer tr;
    int fd = -1; // -1: closed
};
