#include "Initializer_Axsem.h"

#include "Base_Pin_Controller.h"

#include <QThread>

Initializer_Axsem::Initializer_Axsem(std::shared_ptr<Base_Pin_Controller> pins) : pin_worker_(std::move(pins)) {}

bool Initializer_Axsem::init_axsem()
{
    if (!pin_worker_)
        return false;
    pin_worker_->set_pin_state(kResetPin, high);
    QThread::msleep(kPulseMs);
    pin_worker_->set_pin_state(kResetPin, low);
    return true;
}
