#pragma once

#include <memory>

class Base_Pin_Controller;

// Resets the AXSEM radio chip of the Quabo and QORM LTE boards with a 20 ms pulse on GPIO 5.
class Initializer_Axsem {
public:
    static constexpr unsigned kResetPin = 5;
    static constexpr unsigned kPulseMs = 20;

    explicit Initializer_Axsem(std::shared_ptr<Base_Pin_Controller> pins);

    // False only without a pin controller.
    bool init_axsem();

private:
    std::shared_ptr<Base_Pin_Controller> pin_worker_;
};
